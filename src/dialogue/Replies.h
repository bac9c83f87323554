#pragma once
// Pure parsers for the phone's replies: text in, values out. No widget, no
// port; each is tested on captured and hand-made replies.
#include <string>

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

// --- Battery and call list ---------------------------------------------
#include <functional>

// Takes the field before the first case-insensitive occurrence of marker,
// trimmed of blanks and control characters at both ends, and cuts the text
// up to and including the marker. Not found: "" and the text unchanged.
std::string CutField(std::string& text, const std::string& marker);

// The charge level from an AT+CBC reply (TS 27.007 "+CBC: <bcs>,<bcl>"):
// 0..100, or -1 when the reply has no "+CBC:", a connection status that is
// not a number, no comma, a level that is not a number or lies outside
// 0..100, or a level line that was cut off before its CR.
int ParseBatteryLevel(std::string reply);

// What a scan of an AT+CLCC reply (TS 27.007 call list) found.
struct CallListScan {
  // The number of the first incoming voice call (direction 1, state 4,
  // mode 0) that has one, as the phone gave it between the quotes.
  std::string number;
  int entries = 0;            // "+CLCC:" entries read
  bool hiddenCaller = false;  // an incoming voice call came without a number
};

// Reads the "+CLCC:" entries one by one until one gives a number. Each
// entry is read within its own line, so a truncated entry cannot swallow the
// next one. eachTurn (may be empty) runs after every entry.
CallListScan ScanCallList(const std::string& reply, const std::function<void()>& eachTurn = {});
