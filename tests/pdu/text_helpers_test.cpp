// Hex, phone numbers, text clean-up, words, time stamps and file helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "text_helpers.h"

namespace pdulink {
namespace {

TEST(ByteToHex, LowByteInUpperCase) {
  EXPECT_EQ("00", ByteToHex(0));
  EXPECT_EQ("0A", ByteToHex(10));
  EXPECT_EQ("FF", ByteToHex(255));
  EXPECT_EQ("F3", ByteToHex(0x1F3));
}

TEST(EncodePhone, NumbersAndTypes) {
  struct Case {
    const char* number;
    const char* typeBefore;
    const char* encoded;
    const char* typeAfter;
  } cases[] = {
      {"+12345678901", "", "2143658709F1", "91"},
      {"12345", "", "2143F5", "81"},
      {"+12345", "", "2143F5", "91"},
      {"0123456789", "", "1032547698", "81"},       // leading zero kept
      {"12345678901", "", "2143658709F1", "91"},    // 11 digits: international
      {"12345678901", "81", "2143658709F1", "91"},
      {"123456", "91", "214365", "91"},             // decided type kept
      {"  \t1234\r\n", "", "2143", "81"},           // trimmed
      {"8 916", "", "", ""},                        // blank inside
      {"", "", "", ""},
      {"+", "", "", "91"},                          // "+" alone: type set, number unreadable
      {"-1", "", "", ""},
      {"-5", "", "", ""},                           // a sign is no phone number
      {"++123", "", "", "91"},
      {"12a4", "", "", ""},
      {"9223372036854775807", "", "293273026358745708F7", "91"},
      {"9223372036854775808", "", "", ""},          // beyond 64 bits
      {"00000000000000000000001", "", "0000000000000000000000F1", "91"},  // 23 digits, value 1
  };
  for (const Case& c : cases) {
    std::string type = c.typeBefore;
    SCOPED_TRACE(c.number);
    EXPECT_EQ(c.encoded, EncodePhone(c.number, type));
    EXPECT_EQ(c.typeAfter, type);
  }
}

TEST(NormalizePhone, KeepsDigitsAndLeavesTypeWithoutPlus) {
  std::string type = "81";
  EXPECT_EQ("007", NormalizePhone(" 007 ", type));
  EXPECT_EQ("81", type);
  EXPECT_EQ("49301234", NormalizePhone("+49301234", type));
  EXPECT_EQ("91", type);
}

TEST(EncodePhone, MoreDigitsThanTheLengthOctetCountsIsRefused) {
  std::string type;
  EXPECT_EQ("", EncodePhone(std::string(256, '0'), type));
  EXPECT_EQ(256u, EncodePhone(std::string(255, '0'), type).size());
}

TEST(CollapseBlanks, ControlRunsBecomeOneBlank) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"a\r\n\tb", "a b"},
      {"one\r\n\r\ntwo", "one two"},
      {"\ra", "\ra"},             // a lone control at the start stays
      {"\r\na", " a"},
      {"a\x01" "b", "a b"},
      {"a  b ", "a b "},
      {"", ""},
      {"\x01", "\x01"},
      {"x\xC0\xFF y", "x\xC0\xFF y"},  // cp1251 letters are not controls
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, CollapseBlanks(c.in)) << testing::PrintToString(c.in);
}

TEST(NthWord, BlankSeparatedWords) {
  EXPECT_EQ("34", NthWord("  12  34 ", 2));
  EXPECT_EQ("", NthWord("12 34", 3));
  EXPECT_EQ("12", NthWord("12 34", 1));
  EXPECT_EQ("", NthWord("12 34", 0));
  EXPECT_EQ("", NthWord("12 34", -1));
  EXPECT_EQ("a\tb", NthWord("x a\tb", 2));   // a tab does not separate words
  EXPECT_EQ("", NthWord("", 1));
}

TEST(PadLeft, FillsOnlyShorterTexts) {
  EXPECT_EQ("007", PadLeft("7", 3, '0'));
  EXPECT_EQ("1234", PadLeft("1234", 3, '0'));
  EXPECT_EQ("ab", PadLeft("ab", -5, '0'));
  EXPECT_EQ("00065535", ZeroPad(65535, 8));
  EXPECT_EQ("0", ZeroPad(65536, 1));  // taken as 16 bits
}

TEST(TimeStampName, SeventeenZeroPaddedDigits) {
  EXPECT_EQ("20050619222217045", TimeStampName(LocalTime{2005, 6, 19, 22, 22, 17, 45}));
  EXPECT_EQ("20050102090503007", TimeStampName(LocalTime{2005, 1, 2, 9, 5, 3, 7}));
  std::string now = TimeStampName();
  ASSERT_EQ(17u, now.size());
  EXPECT_EQ(std::string::npos, now.find_first_not_of("0123456789"));
}

TEST(WithTrailingDelimiter, TrimsAndAddsOneSlash) {
  EXPECT_EQ("/var/log/sms/", WithTrailingDelimiter("  /var/log/sms \t"));
  EXPECT_EQ("/var/log/sms/", WithTrailingDelimiter("/var/log/sms/"));
  EXPECT_EQ("C:\\sms\\", WithTrailingDelimiter("C:\\sms\\"));
  EXPECT_EQ("", WithTrailingDelimiter(""));
  EXPECT_EQ("", WithTrailingDelimiter("   "));
}

class SaveUnicodeFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pdulink-pdu-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    std::remove((dir_ + "/a.xml").c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(SaveUnicodeFileTest, WritesBomAndLittleEndianUnits) {
  std::string path = dir_ + "/a.xml";
  ASSERT_TRUE(SaveUnicodeFile(path, u"A\u0416"));
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string("\xFF\xFE" "A\x00\x16\x04", 6), bytes);
}

TEST_F(SaveUnicodeFileTest, FailureToCreateIsFalse) {
  EXPECT_FALSE(SaveUnicodeFile(dir_ + "/missing/a.xml", u"x"));
  EXPECT_FALSE(SaveUnicodeFile(dir_, u"x"));  // a directory
}

TEST(TimeZoneBias, StandardTimeWithoutDaylightSaving) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  struct Case {
    const char* tz;
    int bias;
  } cases[] = {{"UTC0", 0}, {"EST5EDT", 300}, {"CET-1CEST", -60}, {"<+0530>-5:30", -330}};
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(c.bias, TimeZoneBias()) << c.tz;
  }
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace pdulink
