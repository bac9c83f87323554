// The code-page tables against glibc's converters.
#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>

#include "codepage.h"

namespace pdulink {
namespace {

// One conversion through iconv; nullopt when iconv rejects the input.
std::optional<std::string> Iconv(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string src = in;
  std::string out(16, '\0');
  char* inp = src.data();
  size_t inLeft = src.size();
  char* outp = out.data();
  size_t outLeft = out.size();
  size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

bool Available(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

std::string Utf16Le(char16_t u) {
  return std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
}

TEST(CodePage, Cp1251ToUtf16MatchesIconv) {
  if (!Available("UTF-16LE", "CP1251")) GTEST_SKIP() << "glibc has no CP1251 converter here";
  for (unsigned b = 0; b < 256; ++b) {
    std::string in(1, static_cast<char>(b));
    std::u16string wide = AnsiToWide(in, 1251);
    ASSERT_EQ(1u, wide.size());
    auto ref = Iconv("UTF-16LE", "CP1251", in);
    if (!ref) {
      EXPECT_EQ(0x98u, b) << "only 0x98 is unassigned in cp1251";
      EXPECT_EQ(u'\u0098', wide[0]);
      continue;
    }
    EXPECT_EQ(*ref, Utf16Le(wide[0])) << "byte 0x" << std::hex << b;
  }
}

TEST(CodePage, Utf16ToCp1251MatchesIconvForTheWholeBmp) {
  if (!Available("CP1251", "UTF-16LE")) GTEST_SKIP() << "glibc has no CP1251 converter here";
  for (unsigned u = 0; u < 0x10000; ++u) {
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    std::string ours = WideToAnsi(std::u16string(1, static_cast<char16_t>(u)), 1251);
    auto ref = Iconv("CP1251", "UTF-16LE", Utf16Le(static_cast<char16_t>(u)));
    if (u == 0x98) continue;  // kept for the round trip of byte 0x98
    EXPECT_EQ(ref ? *ref : std::string("?"), ours) << "U+" << std::hex << u;
  }
}

TEST(CodePage, Cp1251ToCp866MatchesIconv) {
  if (!Available("CP866", "CP1251")) GTEST_SKIP() << "glibc has no CP866 converter here";
  for (unsigned b = 0; b < 256; ++b) {
    std::string in(1, static_cast<char>(b));
    auto ref = Iconv("CP866", "CP1251", in);
    EXPECT_EQ(ref ? *ref : std::string("?"), AnsiToOem(in)) << "byte 0x" << std::hex << b;
  }
}

TEST(CodePage, WideToAnsiReplacesWhatCp1251Lacks) {
  EXPECT_EQ("a?b", WideToAnsi(u"a\u4E2Db", 1251));
  EXPECT_EQ("?", WideToAnsi(u"\U0001F600", 1251));  // one character, one "?"
  EXPECT_EQ("??", WideToAnsi(std::u16string{0xD800, 0xD800}, 1251));
  EXPECT_EQ("\xCF\xF0\xE8\xE2\xE5\xF2", WideToAnsi(u"Привет", 1251));
  EXPECT_EQ("", WideToAnsi(u"", 1251));
  EXPECT_EQ(u"", AnsiToWide("", 1251));
}

TEST(CodePage, AnsiToOemKeepsLengthAndAscii) {
  std::string in = "Ab1\xC0\xFF\xA8\xB3\x88";
  std::string out = AnsiToOem(in);
  ASSERT_EQ(in.size(), out.size());
  EXPECT_EQ("Ab1\x80\xEF\xF0??", out);
}

TEST(CodePage, Utf8Conversions) {
  EXPECT_EQ("\xD0\x9F\xD1\x80\xD0\xB8", AnsiToUtf8("\xCF\xF0\xE8"));
  EXPECT_EQ("\xE2\x82\xAC", AnsiToUtf8("\x88"));
  EXPECT_EQ("\xF0\x9F\x98\x80", WideToUtf8(u"\U0001F600"));
  EXPECT_EQ("\xEF\xBF\xBD", WideToUtf8(std::u16string{0xDC00}));
}

}  // namespace
}  // namespace pdulink
