// Conversions between the program's 8-bit Windows-1251 texts, UTF-16,
// the DOS Cyrillic code page 866 and UTF-8. Pure table look-ups: no locale,
// no iconv, so the results are the same on every machine.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace pdulink {

// The one code page every caller passes.
inline constexpr int kCp1251 = 1251;

// 8-bit text of `codePage` to UTF-16, one code unit per byte. Only 1251 is
// known; any other code page is read as Latin-1.
std::u16string AnsiToWide(std::string_view text, int codePage = kCp1251);

// UTF-16 to 8-bit text of `codePage`; a character the code page cannot
// represent (a surrogate pair counts as one character) becomes "?".
std::string WideToAnsi(std::u16string_view wide, int codePage = kCp1251);

// cp1251 to cp866 byte for byte (same length); characters cp866 lacks
// become "?".
std::string AnsiToOem(std::string_view text);

// cp1251 to UTF-8, for terminals, JSON and logs.
std::string AnsiToUtf8(std::string_view text);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);

// UTF-16 of the cp1251 bytes 0x80..0xFF.
extern const std::array<char16_t, 128> kCp1251HighHalf;

// One cp1251 byte as its UTF-16 code unit.
inline char16_t Cp1251ToUnicode(unsigned char byte) {
  return byte < 0x80 ? char16_t(byte) : kCp1251HighHalf[byte - 0x80u];
}

// One UTF-16 code unit as its cp1251 byte, or -1 when cp1251 lacks it.
int UnicodeToCp1251(char16_t unit);

}  // namespace pdulink
