// The call message: time-zone octet, time stamp, the synthetic SMS-DELIVER
// byte for byte, and the decoder reading it back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "call_message.h"
#include "sms_decode.h"

namespace pdulink {
namespace {

const LocalTime kDec6 = {2026, 12, 6, 21, 54, 46, 123};  // 21:54:46 on 6 December 2026
constexpr int kUtcPlus3 = -180;

TEST(TimeZoneOctet, QuartersAsSwappedDecimalWithSignBitWestOfGreenwich) {
  struct Case {
    int bias;
    const char* octet;
  } cases[] = {
      {-180, "21"},   // UTC+3: 12 quarters
      {300, "0A"},    // UTC-5: 20 quarters, sign bit
      {0, "08"},      // UTC carries the sign bit too
      {-60, "40"},    // UTC+1
      {-120, "80"},   // UTC+2 (or UTC+1 with summer time)
      {240, "69"},    // UTC-4: 16 quarters
      {-330, "22"},   // UTC+5:30
      {210, "49"},    // UTC-3:30
      {570, "8B"},    // UTC-9:30
      {-345, "32"},   // UTC+5:45
      {-765, "15"},   // UTC+12:45
      {-840, "65"},   // UTC+14: 56 quarters, the most a real zone has
      {720, "8C"},    // UTC-12: 48 quarters
      {-14, "08"},    // under a quarter either way: the fraction goes
      {14, "08"},
      {-1185, "97"},  // 79 quarters still fit
      {-1200, "00"},  // 80 quarters and beyond do not
      {1200, "00"},
      {-99999, "00"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeZoneOctet(c.bias), c.octet) << c.bias;
}

TEST(CallMessage, WorkedExampleByteForByteAndDecodedBack) {
  EXPECT_EQ(ServiceCentreTimeStamp(kDec6, kUtcPlus3), "62216012456421");
  const std::string pdu = CallMessagePdu("+12345678901", kDec6, kUtcPlus3);
  EXPECT_EQ(pdu, "0191040B912143658709F100006221601245642106A36198CD1E01");

  tSMSDecode d;
  d.Decode(pdu);
  ASSERT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(d.Mti, 0);
  EXPECT_EQ(d.AddrType, 0x91);
  EXPECT_EQ(d.Address, "12345678901");
  EXPECT_EQ(d.Text, "#Call#");
  EXPECT_EQ(d.TimeText, "26-12-06 21:54:46 [+3]");
}

TEST(CallMessage, AddressLengthCountsDigitsAndPadsOddCounts) {
  struct Case {
    const char* number;
    const char* address;  // length, type, semi-octets
    const char* digits;   // as the decoder reads them back
  } cases[] = {
      {"+1234567890", "0A912143658709", "1234567890"},       // even: no padding
      {"1234567890", "0A912143658709", "1234567890"},        // always type 91
      {"+12345", "05912143F5", "12345"},
      {" 0301234 ", "0791301032F4", "0301234"},            // blanks trimmed, zero kept
      {"5", "0191F5", "5"},
      {"+1234567890123456789", "1391214365870921436587F9", "1234567890123456789"},
  };
  for (const auto& c : cases) {
    std::string pdu = CallMessagePdu(c.number, kDec6, kUtcPlus3);
    EXPECT_EQ(pdu, std::string("019104") + c.address + "0000" + "62216012456421" + "06A36198CD1E01") << c.number;
    tSMSDecode d;
    d.Decode(pdu);
    EXPECT_FALSE(d.HasError) << c.number << ": " << d.ErrorText;
    EXPECT_EQ(d.Address, c.digits);
    EXPECT_EQ(d.Text, "#Call#");
  }
}

TEST(CallMessage, UnreadableNumbersGiveNoMessage) {
  for (const char* number : {"", "+", "12AB", "+49 30 123", "++4930", "-1", "12345678901234567890"})
    EXPECT_EQ(CallMessagePdu(number, kDec6, kUtcPlus3), "") << number;
}

// Sets TZ for one test and puts the old value back.
class ZoneTest : public ::testing::Test {
 protected:
  void SetZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  void SetUp() override {
    if (const char* old = std::getenv("TZ")) saved_ = old;
  }
  void TearDown() override {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// 2026-07-01 12:00:00 UTC and 2026-12-06 18:54:46 UTC.
constexpr std::time_t kJuly1 = 1782907200;
constexpr std::time_t kDec6Utc = 1796583286;

TEST_F(ZoneTest, RecordedTimeAndZoneFollowSummerTime) {
  SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
  ZonedTime summer = ZonedAt(kJuly1);
  EXPECT_EQ(summer.local.hour, 14);
  EXPECT_EQ(summer.biasMinutes, -120);
  // The time stamp says 14:00 local, so the zone must say +2 for the
  // receiver to get 12:00 UTC back.
  EXPECT_EQ(ServiceCentreTimeStamp(summer.local, summer.biasMinutes), "62701041000080");
  ZonedTime winter = ZonedAt(kDec6Utc);
  EXPECT_EQ(winter.biasMinutes, -60);
  EXPECT_EQ(TimeZoneOctet(winter.biasMinutes), "40");

  SetZone("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(TimeZoneOctet(ZonedAt(kJuly1).biasMinutes), "69");
  EXPECT_EQ(TimeZoneOctet(ZonedAt(kDec6Utc).biasMinutes), "0A");
}

TEST_F(ZoneTest, WorkedExampleMomentInMoscowAndAQuarterHourZone) {
  SetZone("MSK-3");
  ZonedTime z = ZonedAt(kDec6Utc, 5);
  EXPECT_EQ(TimeStampName(z.local), "20261206215446005");
  EXPECT_EQ(CallMessagePdu("+12345678901", z.local, z.biasMinutes),
            "0191040B912143658709F100006221601245642106A36198CD1E01");
  SetZone("NPT-5:45");
  EXPECT_EQ(TimeZoneOctet(ZonedAt(kDec6Utc).biasMinutes), "32");
}

}  // namespace
}  // namespace pdulink
