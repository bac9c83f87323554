// tSMSmsg: packing, limits, and round trips through the decoder.
#include <gtest/gtest.h>

#include "gsm_alphabet.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "text_helpers.h"

namespace pdulink {
namespace {

struct Packed {
  unsigned count;
  std::string hex;
  unsigned length;
  unsigned bitPos;
};

Packed Pack(std::string_view text) {
  tSMSmsg m;
  m.Clear();
  unsigned count = m.AddText(text);
  return {count, m.ToHex(), m.Length, m.BitPos};
}

TEST(AddText, WorkedExamples) {
  struct Case {
    const char* text;
    unsigned count;
    const char* hex;
  } cases[] = {
      {"hello", 5, "E8329BFD06"},
      {"[", 2, "1B1E"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2", 12, "041F04400438043204350442"},  // Привет
      {"`@$", 3, "2780"  "00"},  // grave as apostrophe, @ as 00, $ as 02
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    Packed p = Pack(c.text);
    EXPECT_EQ(c.count, p.count) << c.text;
    EXPECT_EQ(c.hex, p.hex) << c.text;
  }
}

TEST(AddText, SeptetBoundaries) {
  Packed one = Pack("A");
  EXPECT_EQ(0u, one.length);
  EXPECT_EQ(7u, one.bitPos);
  EXPECT_EQ("41", one.hex);

  Packed eight = Pack("ABCDEFGH");
  EXPECT_EQ(8u, eight.count);
  EXPECT_EQ(7u, eight.length);
  EXPECT_EQ(0u, eight.bitPos);
  EXPECT_EQ(14u, eight.hex.size());
}

TEST(AddText, LimitsOfTheBuffer) {
  std::string latin(161, 'x');
  latin[159] = 'y';
  latin[160] = 'z';
  Packed p = Pack(latin);
  EXPECT_EQ(160u, p.count);
  EXPECT_EQ(280u, p.hex.size());

  tSMSDecode d;  // the last letter kept is the 160th
  d.Decode("07912143658709F1040A8101896745230000" "50609122227121" "A0" + p.hex);
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(latin.substr(0, 160), d.Text);

  std::string cyrillic(71, '\xC0');
  EXPECT_EQ(140u, Pack(cyrillic).count);
  EXPECT_EQ(280u, Pack(cyrillic).hex.size());
}

TEST(AddText, EscapePairCutAtTheEndLeavesTheEscapeSeptet) {
  Packed p = Pack(std::string(159, 'a') + "[");
  EXPECT_EQ(160u, p.count);
  EXPECT_EQ(280u, p.hex.size());
  // septet 160 sits in the top seven bits of the last octet
  EXPECT_EQ("37", p.hex.substr(278));  // 0x1B << 1, below it the top bit of the last "a"
}

TEST(AddText, ControlCharactersBecomeOneBlank) {
  EXPECT_EQ(Pack("one two").hex, Pack("one\r\n\r\ntwo").hex);
  EXPECT_EQ(7u, Pack("one\r\ntwo").count);
  EXPECT_EQ(Pack("a b").hex, Pack("a\tb").hex);
}

TEST(AddText, OneYoSendsTheWholeTextAsUcs2) {
  Packed p = Pack("ab\xB8");
  EXPECT_EQ(6u, p.count);
  EXPECT_EQ("006100620451", p.hex);
}

TEST(AddText, UnlistedBytesGoAsSeptet14) {
  EXPECT_EQ("14", Pack("\x88").hex);  // euro sign of cp1251
  EXPECT_EQ(Pack("\x93").hex, Pack("\x94").hex);
}

TEST(AddText, AppendsAfterExistingData) {
  tSMSmsg m;
  m.Clear();
  EXPECT_EQ(5, m.AddText("hello"));
  EXPECT_EQ(5, m.AddText("hello"));
  EXPECT_EQ("E8329BFD4697D9EC37", m.ToHex());
}

TEST(TSMSmsg, PushPrimitives) {
  tSMSmsg m;
  m.Clear();
  EXPECT_TRUE(m.PushBit(1));
  EXPECT_FALSE(m.PushByte(0xFF));  // not on an octet boundary
  EXPECT_EQ(0u, m.Length);
  for (int i = 0; i < 7; ++i) EXPECT_TRUE(m.PushBit(0));
  EXPECT_TRUE(m.PushByte(0xAB));
  EXPECT_EQ("01AB", m.ToHex());
  while (m.Length < tSMSmsg::kCapacity) ASSERT_TRUE(m.PushByte(0x11));
  EXPECT_FALSE(m.PushByte(0x22));
  EXPECT_FALSE(m.PushBit(1));
  EXPECT_FALSE(m.Push7Bit(0x7F));
  EXPECT_EQ(280u, m.ToHex().size());
}

TEST(TSMSmsg, Push7BitKeepsTheBitsThatFit) {
  tSMSmsg m;
  m.Clear();
  for (int i = 0; i < 139; ++i) ASSERT_TRUE(m.PushByte(0));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(m.PushBit(0));
  EXPECT_FALSE(m.Push7Bit(0x7F));   // five bits fit, two do not
  EXPECT_EQ(140u, m.Length);
  EXPECT_EQ(0u, m.BitPos);
  EXPECT_EQ(0xF8u, m.Buffer[139]);
}

TEST(TSMSmsg, ClearEmptiesAndZeroes) {
  tSMSmsg m;
  m.AddText("something");
  m.Clear();
  EXPECT_EQ(0u, m.Length);
  EXPECT_EQ(0u, m.BitPos);
  EXPECT_EQ("", m.ToHex());
  for (auto b : m.Buffer) ASSERT_EQ(0u, b);
  EXPECT_EQ("41", (m.AddText("A"), m.ToHex()));  // no stale bits in the partial octet
}

// Text -> AddText/ToHex -> an SMS-DELIVER around it -> Decode.
std::string RoundTrip(std::string_view text) {
  tSMSmsg m;
  m.Clear();
  unsigned udl = m.AddText(text);
  std::string dcs = NeedsUcs2(text) ? "08" : "00";
  tSMSDecode d;
  d.Decode("07912143658709F1040A810189674523" "00" + dcs + "50609122227121" + ByteToHex(udl) +
           m.ToHex());
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  return d.Text;
}

TEST(RoundTrip, TextComesBackThroughTheDecoder) {
  struct Case {
    std::string text;
    std::string back;
  } cases[] = {
      {"Hello, world! 123", "Hello, world! 123"},
      {"{[~]}|^\\ \xA4 @$_", "{[~]}|^\\ \xA4 @$_"},
      {"\xA1\xA3\xA5\xA7 x", "\xA1\xA3\xA5\xA7 x"},  // ¡£¥§ stay 7-bit
      {"it`s", "it's"},
      {"line\r\nbreak", "line break"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! \xA8\xB8", "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! \xA8\xB8"},
      {"\xCF\xF0\xE8\xE2\xE5\xF2 \x88 \xB9", "\xCF\xF0\xE8\xE2\xE5\xF2 \x88 \xB9"},  // € and № in UCS2
      {std::string(160, 'q'), std::string(160, 'q')},
      {std::string(79, 'q') + "[", std::string(79, 'q') + "["},
  };
  for (const Case& c : cases) EXPECT_EQ(c.back, RoundTrip(c.text)) << testing::PrintToString(c.text);
}

TEST(RoundTrip, SevenBitAfterAConcatenationHeader) {
  tSMSmsg m;
  m.Clear();
  for (unsigned b : {0x05u, 0x00u, 0x03u, 0x2Au, 0x03u, 0x02u}) ASSERT_TRUE(m.PushByte(static_cast<std::uint8_t>(b)));
  ASSERT_TRUE(m.PushBit(0));  // fill bit up to the septet boundary
  unsigned count = m.AddText("hello");
  EXPECT_EQ("0500032A0302D06536FB0D", m.ToHex());
  tSMSDecode d;
  d.Decode("07912143658709F1440A8101896745230000" "50609122227121" + ByteToHex(7 + count) + m.ToHex());
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("hello", d.Text);
  EXPECT_EQ(3, d.ConcatTotal);
}

}  // namespace
}  // namespace pdulink

namespace pdulink {
namespace {

// The hex writer (four octets at a time) against the plain digit table, for
// every octet value and every length up to the builder's capacity.
TEST(BuilderHex, EveryOctetValueAndLength) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (unsigned start = 0; start < 256; start += 137) {
    tSMSmsg m;
    std::string expected;
    for (unsigned i = 0; i < tSMSmsg::kCapacity; ++i) {
      const auto octet = static_cast<std::uint8_t>((start + i * 7) & 0xFF);
      ASSERT_TRUE(m.PushByte(octet));
      expected.push_back(kDigits[octet >> 4]);
      expected.push_back(kDigits[octet & 0xF]);
      ASSERT_EQ(expected, m.ToHex());
    }
  }
  for (unsigned v = 0; v < 256; ++v) {
    tSMSmsg m;
    for (int k = 0; k < 4; ++k) m.PushByte(static_cast<std::uint8_t>(v));
    std::string appended = "x";
    m.AppendHex(appended);
    std::string expected = "x";
    for (int k = 0; k < 4; ++k) expected += {kDigits[v >> 4], kDigits[v & 0xF]};
    EXPECT_EQ(expected, appended);
  }
}

}  // namespace
}  // namespace pdulink
