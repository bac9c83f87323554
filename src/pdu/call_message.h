// An incoming voice call recorded as a received message: a synthetic
// SMS-DELIVER (TS 23.040) with the text "#Call#" from the caller's number,
// time-stamped with the local time and its zone. The time and the zone are
// arguments, so the result depends on nothing but them; ZonedNow() is the
// one place that asks the system.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "text_helpers.h"

namespace pdulink {

// A local time with the offset in force at that moment.
struct ZonedTime {
  LocalTime local;
  // UTC minus local time in minutes (negative east of Greenwich), daylight
  // saving included: the time stamp carries the local clock time, so its
  // zone must be the one that clock runs in.
  int biasMinutes = 0;
};

// The local time and offset of a moment, and of now.
ZonedTime ZonedAt(std::time_t seconds, int millisecond = 0);
ZonedTime ZonedNow();

// The time-zone octet of a service-centre time stamp (TS 23.040 9.2.3.11)
// as its two hex characters in PDU order. b = biasMinutes / 15 (fraction
// dropped); the octet holds |b| as two decimal digits with the sign bit
// 0x80 set for b >= 0 (west of Greenwich, and UTC itself), and the two
// characters are written swapped: UTC+3 gives "21", UTC-5 "0A", UTC "08".
// Offsets of 80 quarters or more, which two decimal digits cannot hold,
// give "00".
std::string TimeZoneOctet(int biasMinutes);
std::string TimeZoneOctet();  // the zone in force now

// The 14 hex digits of a service-centre time stamp: year (two digits),
// month, day, hour, minute, second, each as two decimal digits swapped,
// then the time-zone octet.
std::string ServiceCentreTimeStamp(const LocalTime& t, int biasMinutes);

// The user data of the call message: 6 septets, "#Call#" packed.
inline constexpr std::string_view kCallUserData = "06A36198CD1E01";

// The call message in hex text with the service-centre prefix of PDU mode
// (TS 27.005): "019104", the address length (digits without "+"), type
// "91", the semi-octets of EncodePhone, "0000", the time stamp, the user
// data. "" when EncodePhone cannot read the number (empty, letters, more
// digits than a 64-bit integer holds).
std::string CallMessagePdu(std::string_view number, const LocalTime& t, int biasMinutes);

}  // namespace pdulink
