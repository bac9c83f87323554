#pragma once
// The shape every reply of the phone shares: its lines, the final result
// codes that end it, the message prompt and the phone's error line; and the
// small readers the parsers of each command's reply share. Pure: text in,
// values out.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Removes everything up to and including the first case-insensitive
// occurrence of marker; false (text unchanged) when there is none.
bool CutThrough(std::string& text, const std::string& marker);

// Takes the field before the first case-insensitive occurrence of marker,
// trimmed of blanks and control characters at both ends, and cuts the text
// up to and including the marker. Not found: "" and the text unchanged.
std::string CutField(std::string& text, const std::string& marker);

// ---- Final result codes (V.250, TS 27.007 9.2, TS 27.005 3.2.5) ----
// What ends the phone's reply to a command: a line of its own that reads
// "OK", "ERROR", "NO CARRIER", "+CME ERROR: <err>" or "+CMS ERROR: <err>"
// (<err> a number, or a verbose text after AT+CMEE=2). The message prompt of
// AT+CMGS (TS 27.005 3.5.1), "> " at the start of a line, ends the first
// half of a send. Read in two ways below: strictly on the bytes of one
// burst, and leniently on a captured reply.

// The serial port's framing rule in fast mode: whether the bytes received so
// far end with a final result line framed by CR LF on both sides and spelt
// exactly as above, or with the prompt ("\r\n> ", or "> " right after an
// echo's CR). A result without its leading CR LF (for example "AT\rOK\r\n"
// from a phone that drops it after the echo) does not count: the receive
// handler only recognises the framed "\r\nOK\r\n", so such a reply keeps
// the normal cluster rule and nothing it reports changes. Anything else
// (RING, +CMTI, an information line, a reply cut short) is not an end
// either. Pure, so the port's worker thread may call it.
bool EndsWithReplyEnd(std::string_view bytes);

// Whether a captured reply already holds its final result code on a
// complete line of its own; case, blanks and quotes do not matter. A reply
// that arrives in several bursts is complete only with it.
bool HasFinalResult(const std::string& reply);

// Whether a captured reply (which may have come in several bursts) holds the
// final "OK": "\r\nOK\r\n" anywhere, or "OK\r\n" at its start.
bool ReplyHoldsOk(const std::string& reply);

// The phone's error line in a reply, for a record of why a command failed:
// from the first "+CMS ERROR", else the first "+CME ERROR", else the first
// "ERROR", to the end of its line ("+CMS ERROR: 500"); empty when the reply
// holds none.
std::string ErrorLine(std::string_view reply);

// Whether a reply holds the message prompt: "> " at the start of a line.
bool HoldsPrompt(std::string_view reply);

// ---- Readers the reply parsers share ----
namespace reply_grammar {

// The reply's lines, blanks around each removed, empty ones dropped.
std::vector<std::string> ReplyLines(const std::string& reply);

bool StartsNoCase(std::string_view text, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view tail);

// The text after "prefix:" of the last line that starts with it, blanks
// trimmed; nothing when no line does.
std::optional<std::string> LastField(const std::string& reply, const std::string& prefix);

// Upper case, quotes dropped, runs of blanks as one blank.
std::string Canonical(const std::string& text);

// A small non-negative decimal number (at most three digits), nothing else.
std::optional<int> SmallNumber(std::string_view text);

// The comma-separated fields of a text, each trimmed of blanks.
std::vector<std::string> SplitFields(const std::string& text);

// A decimal integer with an optional sign, blanks around it allowed (at
// most nine digits).
bool ReadInt(std::string_view text, int& value);

// A decimal integer with an optional "+" that fits 32 bits, and nothing else.
bool ReadIndex(std::string_view text, int& value);

// A line already in Canonical form that is a final result: the code, or an
// error report with anything after its colon.
bool IsCanonicalFinalResult(std::string_view upper);

}  // namespace reply_grammar
