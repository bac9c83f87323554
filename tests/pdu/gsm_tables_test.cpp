// The GSM alphabet tables, row by row, against their data model, and the
// routines built on them.
#include <gtest/gtest.h>

#include <map>

#include "gsm_alphabet.h"

namespace pdulink {
namespace {

bool IsIdentityRange(unsigned v) {
  return (v >= 0x20 && v <= 0x23) || (v >= 0x25 && v <= 0x3F) || (v >= 0x41 && v <= 0x5A) ||
         (v >= 0x61 && v <= 0x7A);
}

TEST(GsmDecodeTable, EveryRowMatchesTheDefaultAlphabet) {
  BuildGsmTables();
  const std::map<unsigned, unsigned> listed = {
      {0x00, 0x40}, {0x01, 0xA3}, {0x02, 0x24}, {0x03, 0xA5}, {0x04, 0xE8}, {0x05, 0xE9},
      {0x06, 0xF9}, {0x07, 0xEC}, {0x08, 0xF2}, {0x09, 0xC7}, {0x0A, 0x0A}, {0x0B, 0xD8},
      {0x0C, 0xF8}, {0x0D, 0x0D}, {0x0E, 0xC5}, {0x0F, 0xE5}, {0x10, 0xC4}, {0x11, 0x5F},
      {0x12, 0xD4}, {0x13, 0xC3}, {0x14, 0xCB}, {0x15, 0xCE}, {0x16, 0xEF}, {0x17, 0xD4},
      {0x18, 0x53}, {0x19, 0x3F}, {0x1A, 0x3F}, {0x1C, 0xC6}, {0x1D, 0xE6}, {0x1E, 0xDF},
      {0x1F, 0xC9}, {0x24, 0xA4}, {0x40, 0xA1}, {0x5B, 0xC4}, {0x5C, 0xD6}, {0x5D, 0xD1},
      {0x5E, 0xDC}, {0x5F, 0xA7}, {0x60, 0x3F}, {0x7B, 0xE4}, {0x7C, 0xF6}, {0x7D, 0xF1},
      {0x7E, 0xFC}, {0x7F, 0xE0},
  };
  for (unsigned s = 0; s < 128; ++s) {
    if (s == 0x1B) continue;  // the escape septet is never looked up
    SCOPED_TRACE(testing::Message() << "septet 0x" << std::hex << s);
    auto it = listed.find(s);
    ASSERT_TRUE(IsIdentityRange(s) || it != listed.end());
    unsigned expected = it != listed.end() ? it->second : s;
    EXPECT_EQ(expected, GsmDecodeTable[s]);
  }
}

TEST(GsmEscapeTable, TenExtensionCharactersAndQuestionMarkElsewhere) {
  const std::map<unsigned, unsigned> listed = {
      {0x0A, 0x0C}, {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
      {0x3C, '['},  {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, 0xA4},
  };
  for (unsigned s = 0; s < 256; ++s) {
    auto it = listed.find(s);
    EXPECT_EQ(it != listed.end() ? it->second : unsigned('?'), GsmEscapeTable[s]) << "septet " << s;
  }
}

TEST(GsmEncodeTable, EveryByteMatchesItsCode) {
  const std::map<unsigned, unsigned> listed = {
      {0x0A, 0x000A}, {0x0C, 0x1B0A}, {0x0D, 0x000D}, {0x24, 0x0002}, {0x40, 0x0000},
      {0x5B, 0x1B3C}, {0x5C, 0x1B2F}, {0x5D, 0x1B3E}, {0x5E, 0x1B14}, {0x5F, 0x0011},
      {0x60, 0x0027}, {0x7B, 0x1B28}, {0x7C, 0x1B40}, {0x7D, 0x1B29}, {0x7E, 0x1B3D},
      {0xA1, 0x0040}, {0xA3, 0x0001}, {0xA4, 0x0024}, {0xA5, 0x0003}, {0xA7, 0x005F},
      {0xBF, 0x0060}, {0xC4, 0x005B}, {0xC5, 0x000E}, {0xC6, 0x001C}, {0xC7, 0x0009},
      {0xC9, 0x001F}, {0xD1, 0x005D}, {0xD6, 0x005C}, {0xD8, 0x000B}, {0xDC, 0x005E},
      {0xDF, 0x001E}, {0xE0, 0x007F}, {0xE4, 0x007B}, {0xE5, 0x000F}, {0xE6, 0x001D},
      {0xE8, 0x0004}, {0xE9, 0x0005}, {0xEC, 0x0007}, {0xF1, 0x007D}, {0xF2, 0x0008},
      {0xF6, 0x007C}, {0xF8, 0x000C}, {0xF9, 0x0006}, {0xFC, 0x007E},
  };
  for (unsigned b = 0; b < 256; ++b) {
    auto it = listed.find(b);
    unsigned expected = it != listed.end() ? it->second : (IsIdentityRange(b) ? b : 0x0014u);
    EXPECT_EQ(expected, GsmEncodeTable[b]) << "byte 0x" << std::hex << b;
  }
}

TEST(GsmEncodeTable, InvertsTheDecodeTablesExceptTheListedLookAlikes) {
  for (unsigned b = 0; b < 256; ++b) {
    unsigned code = GsmEncodeTable[b];
    // grave accent as apostrophe, 0xC4 as the A diaeresis, inverted question
    // mark shown as "?" on the way back
    if (code == 0x0014 || b == 0x60 || b == 0xC4 || b == 0xBF) continue;
    unsigned back = (code >> 8) == 0x1B ? GsmEscapeTable[code & 0xFF] : GsmDecodeTable[code & 0x7F];
    EXPECT_EQ(b, back) << "byte 0x" << std::hex << b;
  }
}

TEST(GsmToAnsi, EscapeSequences) {
  struct Case {
    std::string septets;
    std::string expected;
  } cases[] = {
      {"\x1B\x65", "\xA4"},                // euro sign shown as the currency sign
      {"\x1B\x41", "?"},                   // no extension character
      {"ab\x1B", "ab"},                    // lone trailing escape
      {std::string("\x00\x02\x11", 3), "@$_"},
      {"\x1B\x1B\x28", "?("},              // escape of escape, then a plain septet
      {"a\x80\xFF" "b", "ab"},             // values >= 0x80 are skipped
      {"\x1B\x80", "?"},                   // ...but not right after an escape
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, GsmToAnsi(c.septets));
}

TEST(NeedsUcs2, OnlyRussianLettersAndYoCount) {
  EXPECT_FALSE(NeedsUcs2("Hello 123"));
  EXPECT_FALSE(NeedsUcs2(""));
  EXPECT_TRUE(NeedsUcs2("abc\xB8"));   // ё
  EXPECT_TRUE(NeedsUcs2("\xA8"));      // Ё
  EXPECT_TRUE(NeedsUcs2("x\xC0"));     // А
  EXPECT_TRUE(NeedsUcs2("\xFF"));      // я
  EXPECT_FALSE(NeedsUcs2("\xB3"));     // Ukrainian і
  EXPECT_FALSE(NeedsUcs2("\x88\xBF\xA7"));
}

}  // namespace
}  // namespace pdulink
