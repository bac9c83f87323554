// Service-centre time stamps as text. The archive shows a time stamp's zone
// in whole hours ("05-06-19 22:22:17 [+5]"); report files, the spool and
// scripts get zones of a quarter hour exactly ("[+5:30]", "+05:30").
#pragma once

#include <string>
#include <string_view>

namespace pdulink {

// The decoder's time text with its zone given exactly: unchanged for a
// whole-hour zone, otherwise "[+5:30]", "[+5:45]", "[-3:30]". zoneQuarters
// is signed (TS 23.040 9.2.3.11: quarters of an hour).
std::string ExactTimeText(std::string_view timeText, int zoneQuarters);

// "YY-MM-DD HH:MM:SS [+Z]" or "[+Z:MM]" as ISO 8601 ("20YY-MM-DDTHH:MM:SS+0Z:MM");
// empty for anything else.
std::string IsoTimeText(std::string_view timeText);

}  // namespace pdulink
