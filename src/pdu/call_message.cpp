#include "call_message.h"

#include <chrono>
#include <cstdlib>

namespace pdulink {
namespace {

// Two decimal digits of value % 100, written units first.
std::string SwappedDecimal(int value) {
  int v = std::abs(value) % 100;
  return std::string{static_cast<char>('0' + v % 10), static_cast<char>('0' + v / 10)};
}

}  // namespace

ZonedTime ZonedAt(std::time_t seconds, int millisecond) {
  std::tm tm{};
  localtime_r(&seconds, &tm);
  ZonedTime z;
  z.local = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                      tm.tm_min,         tm.tm_sec,     millisecond};
  z.biasMinutes = static_cast<int>(-tm.tm_gmtoff / 60);
  return z;
}

ZonedTime ZonedNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  return ZonedAt(system_clock::to_time_t(now), static_cast<int>(ms));
}

std::string TimeZoneOctet(int biasMinutes) {
  int quarters = biasMinutes / 15;  // C++ division drops the fraction
  int magnitude = std::abs(quarters);
  if (magnitude >= 80) return "00";
  unsigned octet = static_cast<unsigned>(((magnitude / 10) << 4) | (magnitude % 10));
  if (quarters >= 0) octet |= 0x80;
  std::string hex = ByteToHex(octet);
  return std::string{hex[1], hex[0]};
}

std::string TimeZoneOctet() { return TimeZoneOctet(ZonedNow().biasMinutes); }

std::string ServiceCentreTimeStamp(const LocalTime& t, int biasMinutes) {
  std::string out;
  out.reserve(14);
  for (int part : {t.year, t.month, t.day, t.hour, t.minute, t.second}) out += SwappedDecimal(part);
  out += TimeZoneOctet(biasMinutes);
  return out;
}

std::string CallMessagePdu(std::string_view number, const LocalTime& t, int biasMinutes) {
  std::string type;
  std::string digits = NormalizePhone(number, type);
  std::string address = EncodePhone(number, type);
  if (address.size() < 2) return {};
  std::string pdu = "019104";
  pdu += ByteToHex(static_cast<unsigned>(digits.size()));
  pdu += kTypeInternational;
  pdu += address;
  pdu += "0000";
  pdu += ServiceCentreTimeStamp(t, biasMinutes);
  pdu += kCallUserData;
  return pdu;
}

}  // namespace pdulink
