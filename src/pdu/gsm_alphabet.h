// The GSM 7-bit default alphabet (3GPP TS 23.038) against cp1251 text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pdulink {

// Septet 0x00..0x7F -> cp1251 byte.
using GsmDecodeTableType = std::array<std::uint8_t, 128>;
// Septet after the escape septet 0x1B -> cp1251 byte ("?" when none).
using GsmEscapeTableType = std::array<std::uint8_t, 256>;
// cp1251 byte -> low byte: septet; high byte: 0x00 single septet, 0x1B escape
// pair (0x1B goes first, then the low byte). Unlisted bytes go as 0x14.
using GsmEncodeTableType = std::array<std::uint16_t, 256>;

// The three tables are constant-initialised when the program is loaded and
// never change, so they are valid before anything runs and safe to read
// from any thread.
extern const GsmDecodeTableType GsmDecodeTable;
extern const GsmEscapeTableType GsmEscapeTable;
extern const GsmEncodeTableType GsmEncodeTable;

inline constexpr std::uint8_t kGsmEscape = 0x1B;

// For the encoder's common case: the single septet of a printable byte
// (above 0x20) that is not an escape pair, and 0xFF for every other byte.
extern const std::array<std::uint8_t, 256> kGsmPlainSeptet;

// The default alphabet in Unicode: septet 0x00..0x7F -> character (the
// escape septet 0x1B as a blank).
extern const std::array<char16_t, 128> kGsmUnicode;
// The extension table in Unicode: the character of the septet after an
// escape, 0 when the table has none.
char16_t GsmExtensionUnicode(std::uint8_t septet);

// Start-up hook kept for the start-up sequence; the tables are already
// filled (see above), so this only confirms it.
void BuildGsmTables();

// Septets (one per character, 0x00..0x7F) to cp1251 text. 0x1B takes the
// next septet from the escape table; values >= 0x80 are skipped; a final
// lone 0x1B gives nothing.
std::string GsmToAnsi(std::string_view septets);

// True when the text holds Ё (0xA8), ё (0xB8) or one of А..я (0xC0..0xFF),
// i.e. it must be sent as UCS2.
bool NeedsUcs2(std::string_view text);

}  // namespace pdulink
