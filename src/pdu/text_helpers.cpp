#include "text_helpers.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

namespace pdulink {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// A number is read as decimal digits only: a sign or a second "+" would end
// up inside the address field of a PDU, where the phone rejects it.
bool ReadsAsInt64(std::string_view digits) {
  if (digits.empty()) return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - d) / 10) return false;
    value = value * 10 + d;
  }
  return true;
}

}  // namespace

std::string ByteToHex(unsigned value) {
  return std::string{kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  return text;
}

namespace {
inline unsigned char LowerAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

size_t FindNoCase(std::string_view text, std::string_view marker, size_t from) {
  if (marker.empty() || marker.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + marker.size() <= text.size(); ++i)
    if (EqualNoCase(text.substr(i, marker.size()), marker)) return i;
  return std::string_view::npos;
}

std::string NormalizePhone(std::string_view number, std::string& type) {
  std::string_view rest = TrimBlanks(number);
  if (!rest.empty() && rest.front() == '+') {
    rest.remove_prefix(1);
    type = kTypeInternational;
  }
  return ReadsAsInt64(rest) ? std::string(rest) : std::string();
}

std::string EncodePhone(std::string_view number, std::string& type) {
  std::string digits = NormalizePhone(number, type);
  // The address-length octet counts digits, so 255 is the most it can say.
  if (digits.empty() || digits.size() > 255) return {};
  if (digits.size() <= 10) {
    if (type.empty()) type = kTypeNational;
  } else {
    type = kTypeInternational;
  }
  if (digits.size() % 2 != 0) digits.push_back('F');
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) std::swap(digits[i], digits[i + 1]);
  return digits;
}

std::string CollapseBlanks(std::string_view text) {
  // One pass with the same result as walking the text and deleting the
  // second of every two adjacent control characters.
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 0 || !IsBlankOrControl(c)) {
      out.push_back(c);
    } else if (IsBlankOrControl(out.back())) {
      out.back() = ' ';
    } else {
      out.push_back(' ');
    }
  }
  return out;
}

std::string NthWord(std::string_view text, int n) {
  if (n < 1) return {};
  std::string_view rest = text;
  for (int count = 1;; ++count) {
    rest = TrimBlanks(rest);
    if (rest.empty()) return {};
    std::size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    if (count == n) return std::string(word);
    rest.remove_prefix(word.size());
  }
}

std::string PadLeft(std::string_view text, int width, char fill) {
  std::string out;
  if (width > 0 && text.size() < static_cast<std::size_t>(width)) {
    out.assign(static_cast<std::size_t>(width) - text.size(), fill);
  }
  out.append(text);
  return out;
}

std::string ZeroPad(unsigned number, int width) {
  return PadLeft(std::to_string(number & 0xFFFFu), width, '0');
}

LocalTime LocalNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ms)};
}

std::string TimeStampName(const LocalTime& t) {
  std::string out;
  out.reserve(17);
  out += ZeroPad(static_cast<unsigned>(t.year), 4);
  out += ZeroPad(static_cast<unsigned>(t.month), 2);
  out += ZeroPad(static_cast<unsigned>(t.day), 2);
  out += ZeroPad(static_cast<unsigned>(t.hour), 2);
  out += ZeroPad(static_cast<unsigned>(t.minute), 2);
  out += ZeroPad(static_cast<unsigned>(t.second), 2);
  out += ZeroPad(static_cast<unsigned>(t.millisecond), 3);
  return out;
}

std::string TimeStampName() { return TimeStampName(LocalNow()); }

std::string WithTrailingDelimiter(std::string_view dir) {
  std::string out(TrimBlanks(dir));
  if (!out.empty() && out.back() != '/' && out.back() != '\\') out.push_back('/');
  return out;
}

bool SaveUnicodeFile(const std::string& fileName, std::u16string_view wide) {
  std::vector<unsigned char> bytes;
  bytes.reserve(2 + 2 * wide.size());
  bytes.push_back(0xFF);
  bytes.push_back(0xFE);
  for (char16_t u : wide) {
    bytes.push_back(static_cast<unsigned char>(u & 0xFF));
    bytes.push_back(static_cast<unsigned char>(u >> 8));
  }
  std::FILE* f = std::fopen(fileName.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

int TimeZoneBias() {
  tzset();
  // `timezone`: seconds west of UTC for standard time.
  return static_cast<int>(timezone / 60);
}

}  // namespace pdulink
