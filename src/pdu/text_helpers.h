// Small text, number, time and file helpers shared by the codec, the
// archive and the message operations. Texts are cp1251 std::string.
#pragma once

#include <string>
#include <string_view>

namespace pdulink {

// The low 8 bits of `value` as two upper-case hex digits ("0A", "FF").
std::string ByteToHex(unsigned value);

// Type-of-address texts written into a PDU.
inline constexpr std::string_view kTypeNational = "81";       // unknown type, ISDN plan
inline constexpr std::string_view kTypeInternational = "91";  // international, ISDN plan

// Trims the number; a leading "+" is removed and sets `type` to "91". Returns
// the remaining digits unchanged (leading zeros kept) when they are a
// decimal number that fits a signed 64-bit integer, otherwise "".
std::string NormalizePhone(std::string_view number, std::string& type);

// The semi-octet address value of a PDU ("12345" -> "2143F5"); sets `type`
// to "81" (1..10 digits, unless already decided) or "91" (11 digits or more).
// Returns "" (type untouched) for an unreadable number.
std::string EncodePhone(std::string_view number, std::string& type);

// Every character below 0x21 that follows another character becomes a
// blank, and a run of them one blank. A lone control character at the very
// start stays as it is.
std::string CollapseBlanks(std::string_view text);

// The n-th (from 1) blank-separated word, or "" when there are fewer words.
std::string NthWord(std::string_view text, int n);

// Prefixes `fill` until the text is `width` long; longer texts are unchanged.
std::string PadLeft(std::string_view text, int width, char fill);

// `number` as an unsigned 16-bit value in decimal, zero-padded to `width`.
std::string ZeroPad(unsigned number, int width);

// A broken-down local time with milliseconds.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The current local time.
LocalTime LocalNow();

// 17 digits YYYYMMDDHHNNSSZZZ of the given or the current local time.
std::string TimeStampName(const LocalTime& t);
std::string TimeStampName();

// Trimmed directory with one trailing "/" (an existing "/" or "\" counts);
// an empty text stays empty so that files land in the current directory.
std::string WithTrailingDelimiter(std::string_view dir);

// Writes FF FE and the text as UTF-16LE; true when the file was written and
// closed, false on any failure.
bool SaveUnicodeFile(const std::string& fileName, std::u16string_view wide);

// UTC minus local standard time, in minutes (negative east of Greenwich);
// daylight saving is not applied.
int TimeZoneBias();

// Characters up to 0x20 removed at both ends.
std::string_view TrimBlanks(std::string_view text);

// ASCII letters compared without regard to case (other bytes as they are).
bool EqualNoCase(std::string_view a, std::string_view b);
// Position of the first case-insensitive occurrence of marker in text, from
// `from` on; npos when there is none or the marker is empty.
size_t FindNoCase(std::string_view text, std::string_view marker, size_t from = 0);

}  // namespace pdulink
