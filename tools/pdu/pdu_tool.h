// pdulink-pdu: decode SMS PDUs, or build the one pdulink sends, from the
// command line, for people who debug modems and for scripts (--json). Kept apart from main() so it can be
// driven in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "sms_decode.h"

namespace pdulink::pdutool {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // some PDU did not decode
inline constexpr int kExitUsage = 2;

// Runs the tool with the arguments after the program name.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err);

// `utf8` as the body of a JSON string (quotes not included).
std::string JsonEscape(std::string_view utf8);

// The decoder's fields as one JSON object on one line (texts in UTF-8).
std::string DecodeToJson(const tSMSDecode& d);

// The decoded fields as readable "Name  value" lines.
std::string DecodeToText(const tSMSDecode& d);

// UTF-8 (as typed on a command line) to cp1251; characters cp1251 lacks and
// broken sequences become "?".
std::string Utf8ToAnsi(std::string_view utf8);

// True for a standard-input line that cannot be a PDU and is skipped: blank,
// or a line of a pasted modem dialogue ("AT+CMGL=4", "+CMGL: 1,0,,23", "OK").
bool IsNonPduLine(std::string_view line);

}  // namespace pdulink::pdutool
