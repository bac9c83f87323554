// Fields of the simulated phone's PDUs: service-centre time stamps, TP
// addresses and the service-centre field of PDU mode.
#include "Pdu.h"

#include <ctime>

namespace pdulink::phone {
namespace {

std::uint8_t Bcd(int v) { return static_cast<std::uint8_t>(((v % 10) << 4) | ((v / 10) % 10)); }

bool IsDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

void AppendSemiOctets(Bytes& out, std::string_view digits) {
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    int lo = digits[i] - '0';
    int hi = i + 1 < digits.size() ? digits[i + 1] - '0' : 0xF;
    out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
  }
}

}  // namespace

Timestamp NowTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  Timestamp ts;
  ts.year = local.tm_year % 100;
  ts.month = local.tm_mon + 1;
  ts.day = local.tm_mday;
  ts.hour = local.tm_hour;
  ts.minute = local.tm_min;
  ts.second = local.tm_sec;
  ts.zoneQuarters = static_cast<int>(local.tm_gmtoff / 900);
  return ts;
}

bool ParseTimestamp(std::string_view text, Timestamp& out) {
  if (text.size() < 14 || !IsDigits(text.substr(0, 12))) return false;
  auto two = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  Timestamp ts;
  ts.year = two(0);
  ts.month = two(2);
  ts.day = two(4);
  ts.hour = two(6);
  ts.minute = two(8);
  ts.second = two(10);
  char sign = text[12];
  std::string_view quarters = text.substr(13);
  if ((sign != '+' && sign != '-') || !IsDigits(quarters) || quarters.size() > 2) return false;
  int q = std::stoi(std::string(quarters));
  if (q > 79) return false;  // two BCD digits beside the sign bit
  ts.zoneQuarters = sign == '-' ? -q : q;
  if (ts.month < 1 || ts.month > 12 || ts.day < 1 || ts.day > 31 || ts.hour > 23 || ts.minute > 59 ||
      ts.second > 59)
    return false;
  out = ts;
  return true;
}

void AppendTimestamp(Bytes& out, const Timestamp& ts) {
  out.push_back(Bcd(ts.year));
  out.push_back(Bcd(ts.month));
  out.push_back(Bcd(ts.day));
  out.push_back(Bcd(ts.hour));
  out.push_back(Bcd(ts.minute));
  out.push_back(Bcd(ts.second));
  int q = ts.zoneQuarters < 0 ? -ts.zoneQuarters : ts.zoneQuarters;
  if (q > 79) q = 0;
  auto zone = Bcd(q);
  if (ts.zoneQuarters < 0) zone = static_cast<std::uint8_t>(zone | 0x08);
  out.push_back(zone);
}

bool AppendAddress(Bytes& out, std::string_view number, std::string& error) {
  bool international = !number.empty() && number[0] == '+';
  std::string_view digits = international ? number.substr(1) : number;
  if (IsDigits(digits)) {
    if (digits.size() > 20) {
      error = "number longer than 20 digits";
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(digits.size()));
    out.push_back(international ? 0x91 : 0x81);
    AppendSemiOctets(out, digits);
    return true;
  }
  // Alphanumeric sender (TS 23.040 9.1.2.5: type of number 101).
  std::u32string text;
  Bytes septets;
  if (number.empty() || !DecodeUtf8(number, text) || !ToGsmSeptets(text, septets)) {
    error = "sender is neither a number nor a name in the GSM alphabet";
    return false;
  }
  if (septets.size() > 11) {
    error = "alphanumeric sender longer than 11 characters";
    return false;
  }
  Bytes packed = PackSeptets(septets);
  out.push_back(static_cast<std::uint8_t>((septets.size() * 7 + 3) / 4));  // useful semi-octets
  out.push_back(0xD0);
  out.insert(out.end(), packed.begin(), packed.end());
  return true;
}

bool AppendSmscField(Bytes& out, std::string_view number, std::string& error) {
  if (number.empty()) {
    out.push_back(0);
    return true;
  }
  bool international = number[0] == '+';
  std::string_view digits = international ? number.substr(1) : number;
  if (!IsDigits(digits) || digits.size() > 20) {
    error = "service centre must be digits with an optional leading +";
    return false;
  }
  out.push_back(static_cast<std::uint8_t>(1 + (digits.size() + 1) / 2));
  out.push_back(international ? 0x91 : 0x81);
  AppendSemiOctets(out, digits);
  return true;
}

int SmscFieldLength(const Bytes& pdu) {
  if (pdu.empty()) return -1;
  std::size_t len = 1 + pdu[0];
  return len <= pdu.size() ? static_cast<int>(len) : -1;
}

}  // namespace pdulink::phone
