// The phone's PDU packing against hand-checked vectors.
#include "DeliverCheck.h"
#include "Pdu.h"

#include <gtest/gtest.h>

using namespace pdulink::phone;

namespace {

const char* kHelloHello = "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";
const char* kUcs2Part = "07912143658709F1440A8101896745230008506091222271210A0500032A020100480069";

Timestamp At(const char* text) {
  Timestamp ts;
  EXPECT_TRUE(ParseTimestamp(text, ts)) << text;
  return ts;
}

std::string Hex(const std::vector<std::uint8_t>& b) { return ToHex(b); }

TEST(PhonePdu, SevenBitDeliverMatchesWorkedExample) {
  DeliverRequest r{"+12345678901", "1098765432", "hellohello", At("050619222217+12")};
  std::vector<Bytes> pdus;
  std::string error;
  ASSERT_TRUE(BuildDeliver(r, pdus, error)) << error;
  ASSERT_EQ(1u, pdus.size());
  EXPECT_EQ(kHelloHello, ToHex(pdus[0]));
}

TEST(PhonePdu, TestReaderAgreesWithWorkedExamples) {
  auto a = phonetest::ReadDeliver(kHelloHello);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ("+12345678901", a.smsc);
  EXPECT_EQ("1098765432", a.sender);
  EXPECT_EQ("hellohello", a.text);
  EXPECT_EQ("50609122227121", a.timestamp);
  auto b = phonetest::ReadDeliver(kUcs2Part);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(42, b.reference);
  EXPECT_EQ(2, b.total);
  EXPECT_EQ(1, b.sequence);
  EXPECT_EQ(u"Hi", b.units);
}

TEST(PhonePdu, PackingVectors) {
  struct Case {
    std::u32string text;
    const char* packed;
  } cases[] = {
      {U"hello", "E8329BFD06"},
      {U"hellohello", "E8329BFD4697D9EC37"},
      {U"abc", "61F118"},
      {U"\u20AC", "9B32"},  // escape + 0x65: the euro sign costs two septets
  };
  for (const auto& c : cases) {
    Bytes septets;
    ASSERT_TRUE(ToGsmSeptets(c.text, septets));
    EXPECT_EQ(c.packed, Hex(PackSeptets(septets))) << c.packed;
    EXPECT_EQ(c.text, FromGsmSeptets(UnpackSeptets(PackSeptets(septets), static_cast<unsigned>(septets.size()))));
  }
  Bytes none;
  EXPECT_FALSE(ToGsmSeptets(U"\u0416", none));  // Cyrillic Zhe is not in the GSM alphabet
}

TEST(PhonePdu, AddressVectors) {
  struct Case {
    const char* number;
    const char* field;
  } cases[] = {
      {"+12345678901", "0B912143658709F1"},
      {"1098765432", "0A810189674523"},
      {"MyBank", "0BD0CDBC30EC5E03"},  // 6 septets = 42 bits = 11 semi-octets
  };
  for (const auto& c : cases) {
    Bytes out;
    std::string error;
    ASSERT_TRUE(AppendAddress(out, c.number, error)) << c.number << ": " << error;
    EXPECT_EQ(c.field, Hex(out)) << c.number;
  }
  Bytes out;
  std::string error;
  EXPECT_FALSE(AppendAddress(out, "TwelveLetter", error));
  EXPECT_FALSE(AppendAddress(out, "\u0416", error));
  EXPECT_FALSE(AppendAddress(out, "", error));
}

TEST(PhonePdu, TimeZoneOctetCarriesSignInBitThree) {
  struct Case {
    const char* text;
    const char* octets;
  } cases[] = {
      {"050619222217+12", "50609122227121"},
      {"261206215446-20", "6221601245640A"},  // UTC-5
      {"000101000000+0", "00101000000000"},
  };
  for (const auto& c : cases) {
    Bytes out;
    AppendTimestamp(out, At(c.text));
    EXPECT_EQ(c.octets, Hex(out)) << c.text;
  }
  Timestamp ts;
  EXPECT_FALSE(ParseTimestamp("0506192222+12", ts));
  EXPECT_FALSE(ParseTimestamp("051319222217+12", ts));
  EXPECT_FALSE(ParseTimestamp("050619222217*12", ts));
}

TEST(PhonePdu, LongTextsSplitAtPartLimits) {
  std::string zhe71;
  for (int i = 0; i < 71; ++i) zhe71 += "\xD0\x96";  // Cyrillic Zhe, UCS2 only
  struct Case {
    std::string text;
    std::vector<unsigned> udl;  // user-data length of each part
  } cases[] = {
      {std::string(160, 'a'), {160}},
      {std::string(161, 'a'), {160, 15}},                         // 7 header septets + 153, then 7 + 8
      {std::string(152, 'a') + "\xE2\x82\xAC" + std::string(10, 'b'), {159, 19}},  // the escape pair moves on
      {zhe71, {6 + 134, 6 + 8}},                                  // 67 + 4 UTF-16 units
  };
  for (const auto& c : cases) {
    DeliverRequest r{"", "+123", c.text, At("050619222217+12"), 7};
    std::vector<Bytes> pdus;
    std::string error;
    ASSERT_TRUE(BuildDeliver(r, pdus, error)) << error;
    ASSERT_EQ(c.udl.size(), pdus.size()) << c.text.size();
    for (std::size_t i = 0; i < pdus.size(); ++i) {
      auto part = phonetest::ReadDeliver(ToHex(pdus[i]));
      ASSERT_TRUE(part.ok) << ToHex(pdus[i]);
      std::size_t udlAt = 1 + 1 + 4 + 1 + 1 + 7;  // empty SMSC, FO, address "+123", PID, DCS, SCTS
      EXPECT_EQ(c.udl[i], pdus[i][udlAt]) << "part " << i;
      if (pdus.size() > 1) {
        EXPECT_EQ(7, part.reference);
        EXPECT_EQ(static_cast<int>(i + 1), part.sequence);
      }
    }
  }
}

TEST(PhonePdu, StatusReportFields) {
  Bytes pdu;
  std::string error;
  ASSERT_TRUE(BuildStatusReport("+12345678901", 5, "+4915112345678", 0, At("050619222217+12"), pdu, error));
  EXPECT_EQ("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "50609122227121" "00", Hex(pdu));
  EXPECT_FALSE(BuildStatusReport("", 256, "+1", 0, At("050619222217+12"), pdu, error));
}

TEST(PhonePdu, SubmitChecks) {
  struct Case {
    const char* tpdu;
    bool sound;
  } cases[] = {
      {"11000B912143658709F10000A70361F118", true},
      {"01000B912143658709F100000361F118", true},        // no validity period
      {"11000B912143658709F10000A70361F1", false},        // user data short by one octet
      {"11000B912143658709F10000A70361F11800", false},    // one octet too many
      {"04000B912143658709F10000A70361F118", false},      // SMS-DELIVER type
      {"11000B912143658709F10008A7FF", false},            // UCS2 length over 140
      {"51000B912143658709F10000A70309F118", false},      // header length runs past the data
      {"1100", false},
  };
  for (const auto& c : cases) {
    Bytes tpdu;
    ASSERT_TRUE(FromHex(c.tpdu, tpdu));
    EXPECT_EQ(c.sound, CheckSubmit(tpdu).empty()) << c.tpdu << ": " << CheckSubmit(tpdu);
  }
}

TEST(PhonePdu, MalformedUtf8IsRejected) {
  std::u32string out;
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80\x80", "a\x80"})
    EXPECT_FALSE(DecodeUtf8(bad, out)) << bad;
  ASSERT_TRUE(DecodeUtf8("a\xE2\x82\xAC\xF0\x9F\x98\x80", out));
  EXPECT_EQ(U"a\u20AC\U0001F600", out);
}

}  // namespace
