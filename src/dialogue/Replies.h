#pragma once
// Pure parsers for the phone's replies: text in, values out. No widget, no
// port; each is tested on captured and hand-made replies.
#include <string>
#include <string_view>
#include <vector>

// Removes everything up to and including the first case-insensitive
// occurrence of marker; false (text unchanged) when there is none.
bool CutThrough(std::string& text, const std::string& marker);

// The memory to select from an AT+CPMS=? reply: MT before ME before SM;
// empty when the reply has no "+CPMS:".
std::string ChooseSmsMemory(const std::string& cpmsReply);

// The service-centre digits (without "+") from an AT+CSCA? reply; empty for
// a number stored without "+" or a reply without "+CSCA:". The reply is cut
// in place up to the number.
std::string ParseSmscReply(std::string& reply);

// ---- Message listing (AT+CMGL in PDU mode, TS 27.005 3.4.2) ----
// One listed message: its storage index (-1 when the header's index field
// is not a number) and its PDU line.
struct ListedMessage {
  int index = -1;
  std::string pdu;
};

// Splits a captured AT+CMGL reply into its messages, in listed order. For
// every "+CMGL:" header: the index is the text up to the next "," (trimmed,
// decimal), the rest of the header line is skipped, blank and empty lines
// are skipped, and the next line is the PDU. A header or a PDU line without
// its closing CR LF ends the listing (a reply cut short).
std::vector<ListedMessage> ParseCmglListing(std::string_view reply);
