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
