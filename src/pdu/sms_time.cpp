#include "sms_time.h"

#include <cstdlib>

namespace pdulink {
namespace {

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::string ExactTimeText(std::string_view timeText, int zoneQuarters) {
  std::string out(timeText);
  const int minutes = std::abs(zoneQuarters) % 4 * 15;
  if (minutes == 0 || out.size() < 3 || out.back() != ']') return out;
  // Minutes are 15, 30 or 45: two digits after the colon, before the "]".
  const char minuteText[] = {':', char('0' + minutes / 10), char('0' + minutes % 10)};
  out.insert(out.size() - 1, minuteText, sizeof minuteText);
  return out;
}

std::string IsoTimeText(std::string_view t) {
  if (t.size() < 21 || t[2] != '-' || t[5] != '-' || t[8] != ' ' || t[11] != ':' || t[14] != ':' || t[17] != ' ' ||
      t[18] != '[' || (t[19] != '+' && t[19] != '-') || t.back() != ']')
    return {};
  for (std::size_t i : {0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16})
    if (t[i] < '0' || t[i] > '9') return {};
  std::string_view zone = t.substr(20, t.size() - 21);
  std::string_view minutes = "00";
  if (const std::size_t colon = zone.find(':'); colon != std::string_view::npos) {
    minutes = zone.substr(colon + 1);
    zone = zone.substr(0, colon);
    if (minutes.size() != 2 || !Digits(minutes)) return {};
  }
  if (zone.size() > 2 || !Digits(zone)) return {};
  const std::string hours = zone.size() == 1 ? "0" + std::string(zone) : std::string(zone);
  std::string out = "20";
  out.append(t.substr(0, 2)).append("-").append(t.substr(3, 2)).append("-").append(t.substr(6, 2));
  out.append("T").append(t.substr(9, 8)).append(1, t[19]).append(hours).append(":").append(minutes);
  return out;
}

}  // namespace pdulink
