// tSMSDecode: worked examples, every error text, headers, the three message
// types, and inputs cut or garbled anywhere.
#include <gtest/gtest.h>

#include <random>

#include "sms_decode.h"

namespace pdulink {
namespace {

const std::string kSmsc = "07912143658709F1";  // +12345678901
const std::string kOrig = "0A810189674523";    // 1098765432, national
const std::string kStamp = "50609122227121";   // 05-06-19 22:22:17 [+3]

// An SMS-DELIVER with the given first octet, coding scheme and user data.
std::string Deliver(const std::string& first, const std::string& dcs, const std::string& udl,
                    const std::string& ud, const std::string& addr = kOrig) {
  return kSmsc + first + addr + "00" + dcs + kStamp + udl + ud;
}

tSMSDecode Decoded(const std::string& pdu) {
  tSMSDecode d;
  d.Decode(pdu);
  return d;
}

TEST(Decode, WorkedExampleDeliver7Bit) {
  tSMSDecode d =
      Decoded("07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37");
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("", d.ErrorText);
  EXPECT_EQ(7, d.SmscLen);
  EXPECT_EQ(0x91, d.SmscType);
  EXPECT_EQ("12345678901", d.SmscNumber);
  EXPECT_EQ(0, d.Mti);
  EXPECT_FALSE(d.Udhi);
  EXPECT_EQ(10, d.AddrLen);
  EXPECT_EQ(0x81, d.AddrType);
  EXPECT_EQ("1098765432", d.Address);
  EXPECT_EQ(0, d.Coding);
  EXPECT_EQ("05-06-19 22:22:17 [+3]", d.TimeText);
  EXPECT_EQ(10, d.Udl);
  EXPECT_EQ("hellohello", d.Text);
  EXPECT_EQ(35, d.OctetCount);
  EXPECT_EQ("70191234", d.Hex.substr(0, 8));  // pairs stored swapped
}

TEST(Decode, WorkedExampleConcatenatedUcs2Part) {
  tSMSDecode d =
      Decoded("07912143658709F1440A8101896745230008506091222271210A0500032A020100480069");
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_TRUE(d.Udhi);
  EXPECT_EQ(8, d.Coding);
  EXPECT_EQ(5, d.Udhl);
  EXPECT_EQ("00032A0201", d.HeaderHex);
  EXPECT_TRUE(d.IsConcatenated);
  EXPECT_EQ(42, d.ConcatRef);
  EXPECT_EQ(2, d.ConcatTotal);
  EXPECT_EQ(1, d.ConcatPart);
  EXPECT_EQ(4, d.Udl);  // 10 less the six header octets
  EXPECT_EQ("Hi", d.Text);
}

TEST(Decode, LowerCaseBlanksAndLineBreaksAreIgnored) {
  const std::string clean =
      "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";
  tSMSDecode a = Decoded(clean);
  tSMSDecode b = Decoded(
      "07 91 21 43 65 87 09 f1\r\n040a8101896745230000506091222271210ae8329bfd4697d9ec37\n");
  EXPECT_FALSE(b.HasError) << b.ErrorText;
  EXPECT_EQ(a.Hex, b.Hex);
  EXPECT_EQ(a.Text, b.Text);
  EXPECT_EQ(a.TimeText, b.TimeText);
}

TEST(Decode, EveryErrorText) {
  struct Case {
    const char* what;
    std::string pdu;
    std::string_view error;
  } cases[] = {
      {"empty", "", decode_error::kLength},
      {"three digits", "079", decode_error::kLength},
      {"no hex digit at all", "xyz \r\n", decode_error::kLength},
      {"no service centre", "00040A81", decode_error::kNoSmsc},
      {"national service centre", "07812143658709F1040A81", decode_error::kSmscNotInternational},
      {"reserved message type", kSmsc + "03", decode_error::kReservedType},
      {"coding bits 3..2 both set", Deliver("04", "0C", "01", "41"), decode_error::kCoding},
      {"ends after the service centre", kSmsc, decode_error::kByte},
      {"service-centre digits cut", "0791214365", decode_error::kNibble},
      {"address digits cut", kSmsc + "040A810189", decode_error::kNibble},
      {"time stamp cut", kSmsc + "04" + kOrig + "0000" + "506091", decode_error::kTimeStamp},
      {"7-bit data shorter than Udl", Deliver("04", "00", "0A", "E8329BFD06"), decode_error::kSeptet},
      {"UCS2 data shorter than Udl", Deliver("04", "08", "04", "0048"), decode_error::kByte},
      {"no Udl", Deliver("04", "00", "", ""), decode_error::kByte},
      {"fill bit missing after a header that is all of Udl",
       Deliver("44", "00", "07", "050003010201"), decode_error::kBit},
      {"status report without parameter indicator",
       kSmsc + "06" + "2A" + kOrig + kStamp + kStamp + "46", decode_error::kByte},
  };
  for (const Case& c : cases) {
    tSMSDecode d = Decoded(c.pdu);
    EXPECT_TRUE(d.HasError) << c.what;
    EXPECT_EQ(c.error, d.ErrorText) << c.what;
  }
}

TEST(Decode, FieldsReadBeforeAFailureKeepTheirValues) {
  tSMSDecode d = Decoded(Deliver("04", "00", "0A", "E8329BFD06"));
  EXPECT_EQ("1098765432", d.Address);
  EXPECT_EQ("05-06-19 22:22:17 [+3]", d.TimeText);
  EXPECT_EQ("hello", d.Text);  // the septets that were there, nothing made up
  EXPECT_EQ(d.OctetCount, d.OctetIndex);
}

TEST(Decode, AlphanumericOriginator) {
  // Eight septets in 14 semi-octets, then the fields from the next octet.
  tSMSDecode d = Decoded(Deliver("04", "00", "05", "E8329BFD06", "0ED0D4F29C2E0CBBD7"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("TestBank", d.Address);
  EXPECT_EQ("hello", d.Text);
  // Six septets in 11 semi-octets: six padding bits are skipped.
  d = Decoded(Deliver("04", "00", "05", "E8329BFD06", "0BD0CDBC30EC5E03"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("MyBank", d.Address);
  EXPECT_EQ("05-06-19 22:22:17 [+3]", d.TimeText);
  EXPECT_EQ("hello", d.Text);
}

TEST(Decode, OddDigitCountDropsTheFiller) {
  tSMSDecode d = Decoded(kSmsc + "04" + "0B912143658709F1" + "12" + "00" + kStamp + "05E8329BFD06");
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("12345678901", d.Address);
  EXPECT_EQ(0x12, d.Pid);
  EXPECT_EQ("hello", d.Text);
}

TEST(Decode, SevenBitWithConcatenationHeaderSkipsOneFillBit) {
  tSMSDecode d = Decoded(Deliver("44", "00", "0C", "0500032A0302D06536FB0D"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("00032A0302", d.HeaderHex);
  EXPECT_EQ(5, d.Udl);  // 12 less 7 septets of header
  EXPECT_EQ(42, d.ConcatRef);
  EXPECT_EQ(3, d.ConcatTotal);
  EXPECT_EQ(2, d.ConcatPart);
  EXPECT_EQ("hello", d.Text);
}

TEST(Decode, HeaderElements) {
  struct Case {
    const char* what;
    std::string header;  // with its length octet
    bool concatenated;
    unsigned ref, total, part;
  } cases[] = {
      {"16-bit reference", "06080401020302", true, 0x0102, 3, 2},
      {"other element first", "090A020000" "0003070201", true, 7, 2, 1},
      {"last concatenation element wins", "0A0003010201" "0003020302", true, 2, 3, 2},
      {"concatenation with another length", "0400020102", false, 0, 0, 0},
      {"element longer than the header", "050007010203", false, 0, 0, 0},
      {"length octet missing", "0100", false, 0, 0, 0},
      {"empty header", "00", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    unsigned headerOctets = static_cast<unsigned>(c.header.size() / 2);
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", headerOctets + 2);
    tSMSDecode d = Decoded(Deliver("44", "08", buf, c.header + "0048"));
    EXPECT_FALSE(d.HasError) << c.what << ": " << d.ErrorText;
    EXPECT_EQ(c.concatenated, d.IsConcatenated) << c.what;
    EXPECT_EQ(c.ref, d.ConcatRef) << c.what;
    EXPECT_EQ(c.total, d.ConcatTotal) << c.what;
    EXPECT_EQ(c.part, d.ConcatPart) << c.what;
    EXPECT_EQ("H", d.Text) << c.what;
  }
}

TEST(Decode, HeaderScanStaysInsideHeaderHex) {
  tSMSDecode d;
  for (std::string h : {"0", "00", "000", "0003", "000301", "00030102", "0804AABB", "FF"}) {
    d.HeaderHex = h;
    d.ParseHeader();
    EXPECT_FALSE(d.IsConcatenated) << h;
  }
}

TEST(Decode, HeaderLongerThanUserDataIsAnError) {
  // Udl 2 cannot hold a six-octet header; nothing past it is read as text.
  tSMSDecode d = Decoded(Deliver("44", "00", "02", "0500032A0302D06536FB0D"));
  EXPECT_EQ(decode_error::kSeptet, d.ErrorText);
  EXPECT_EQ("", d.Text);
  d = Decoded(Deliver("44", "08", "03", "0500032A030200480069"));
  EXPECT_EQ(decode_error::kByte, d.ErrorText);
  EXPECT_EQ("", d.Text);
}

TEST(Decode, CodingComesFromBits3And2Only) {
  struct Case {
    const char* dcs;
    std::string ud;
    unsigned coding;
    const char* text;
  } cases[] = {
      {"00", "05E8329BFD06", 0, "hello"}, {"10", "05E8329BFD06", 0, "hello"},
      {"F0", "05E8329BFD06", 0, "hello"}, {"08", "04041F0440", 8, "\xCF\xF0"},
      {"18", "04041F0440", 8, "\xCF\xF0"}, {"04", "03414243", 4, ""},
      {"F4", "03414243", 4, ""},          {"04", "FF", 4, ""},  // 8-bit: user data not read
  };
  for (const Case& c : cases) {
    tSMSDecode d = Decoded(kSmsc + "04" + kOrig + "00" + c.dcs + kStamp + c.ud);
    EXPECT_FALSE(d.HasError) << c.dcs << ": " << d.ErrorText;
    EXPECT_EQ(c.coding, d.Coding) << c.dcs;
    EXPECT_EQ(c.text, d.Text) << c.dcs;
  }
}

TEST(Decode, Ucs2CharacterOutsideCp1251BecomesQuestionMark) {
  tSMSDecode d = Decoded(Deliver("04", "08", "06", "4E2D00410416"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("?A\xC6", d.Text);
}

TEST(Decode, OddUcs2LengthLeavesTheLastOctetUnread) {
  tSMSDecode d = Decoded(Deliver("04", "08", "03", "004100"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("A", d.Text);
}

TEST(Decode, EscapedSeptetsInText) {
  // "[1]" and the euro sign: 1B 3C 31 1B 3E 1B 65
  tSMSDecode d = Decoded(Deliver("04", "00", "07", "1B5E6CE3DB9401"));
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("[1]\xA4", d.Text);
}

TEST(Decode, TimeZoneSignAndWholeHours) {
  struct Case {
    const char* zone;
    const char* shown;
  } cases[] = {{"21", "[+3]"}, {"0A", "[-5]"}, {"00", "[+0]"}, {"08", "[-0]"},
               {"22", "[+5]"}, {"2A", "[-5]"}};  // 22 quarters: 5.5 h shown as 5
  for (const Case& c : cases) {
    tSMSDecode d = Decoded(kSmsc + "04" + kOrig + "0000" + "506091222271" + c.zone + "00");
    EXPECT_EQ(std::string("05-06-19 22:22:17 ") + c.shown, d.TimeText) << c.zone;
  }
}

TEST(Decode, StatusReport) {
  tSMSDecode d = Decoded(kSmsc + "06" + "2A" + kOrig + kStamp + "50609122227221" + "46" + "00");
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(2, d.Mti);
  EXPECT_EQ(42, d.MessageRef);
  EXPECT_EQ("1098765432", d.Address);
  EXPECT_EQ("05-06-19 22:22:17 [+3]", d.TimeText);
  EXPECT_EQ("05-06-19 22:22:27 [+3]", d.DischargeTime);
  EXPECT_EQ(0x46, d.Status);
  EXPECT_EQ(
      "SM Validity Period Expired (Permanent error, SC is not making any more transfer attempts)",
      d.StatusText);
  EXPECT_EQ("", d.Text);
}

TEST(StatusReportText, BaseTextAndCategory) {
  struct Case {
    unsigned status;
    const char* text;
  } cases[] = {
      {0x00, "Short message received by the SME (Short message transaction completed)"},
      {0x02, "Short message replaced by the SC (Short message transaction completed)"},
      {0x03, "Reserved (Service Rejected) ()"},
      {0x1F, "Values specific to each SC ()"},
      {0x21, "SME busy (Temporary error, SC still trying to transfer SM)"},
      {0x26, "Reserved (Temporary error, SC still trying to transfer SM)"},
      {0x30, "Values specific to each SC (Temporary error, SC still trying to transfer SM)"},
      {0x44, "Quality of service not available (Permanent error, SC is not making any more "
             "transfer attempts)"},
      {0x4A, "Reserved (Service Rejected) (Permanent error, SC is not making any more transfer "
             "attempts)"},
      {0x65, "Error in SME (Temporary error, SC is not making any more transfer attempts)"},
      {0x70, "Values specific to each SC (Temporary error, SC is not making any more transfer "
             "attempts)"},
      {0x80, "Reserved (Service Rejected) ()"},
      {0xFF, "Reserved (Service Rejected) ()"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, StatusReportText(static_cast<std::uint8_t>(c.status))) << c.status;
  }
  EXPECT_EQ(0u, StatusReportText(0x49).find("SM does not exist (The SM may have previously"));
}

// Every edge of the base-text ranges and of the categories: a range or a
// category that ends one value early or late shows at one of these.
TEST(StatusReportText, RangeEdges) {
  const std::string t1 = " (Temporary error, SC still trying to transfer SM)";
  const std::string p = " (Permanent error, SC is not making any more transfer attempts)";
  const std::string t2 = " (Temporary error, SC is not making any more transfer attempts)";
  struct Case {
    unsigned status;
    std::string text;
  } cases[] = {
      {0x0F, "Reserved (Service Rejected) ()"},
      {0x10, "Values specific to each SC ()"},
      {0x20, "Congestion" + t1},
      {0x25, "Error in SME" + t1},
      {0x2F, "Reserved" + t1},
      {0x3F, "Values specific to each SC" + t1},
      {0x40, "Remote procedure error" + p},
      {0x4F, "Reserved (Service Rejected)" + p},
      {0x50, "Values specific to each SC" + p},
      {0x5F, "Values specific to each SC" + p},
      {0x60, "Congestion" + t2},
      {0x66, "Reserved (Service Rejected)" + t2},
      {0x6F, "Reserved (Service Rejected)" + t2},
      {0x7F, "Values specific to each SC" + t2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, StatusReportText(static_cast<std::uint8_t>(c.status))) << std::hex << c.status;
  }
}

TEST(Decode, SubmitValidityPeriodFormats) {
  const std::string head = kSmsc;
  const std::string rest = "00" + kOrig + "0000";
  struct Case {
    const char* first;
    std::string vp;
    unsigned vpf, vpByte;
    const char* timeText;
  } cases[] = {
      {"01", "", 0, 0, ""},
      {"09", "A7", 1, 0xA7, ""},
      {"11", "AA", 2, 0xAA, "4 days"},
      {"19", kStamp, 3, 0, "05-06-19 22:22:17 [+3]"},
  };
  for (const Case& c : cases) {
    tSMSDecode d = Decoded(head + c.first + rest + c.vp + "05E8329BFD06");
    EXPECT_FALSE(d.HasError) << c.first << ": " << d.ErrorText;
    EXPECT_EQ(1, d.Mti);
    EXPECT_EQ(c.vpf, d.Vpf) << c.first;
    EXPECT_EQ(c.vpByte, d.VpByte) << c.first;
    EXPECT_EQ(c.timeText, d.TimeText) << c.first;
    EXPECT_EQ("1098765432", d.Address) << c.first;
    EXPECT_EQ("hello", d.Text) << c.first;
  }
}

TEST(Decode, SubmitAddressIsAlwaysDigits) {
  tSMSDecode d = Decoded(kSmsc + "01" + "00" + "04D02143" + "0000" + "01" + "41");
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ("1234", d.Address);
}

TEST(ValidityPeriodText, Ranges) {
  struct Case {
    unsigned v;
    const char* text;
  } cases[] = {{0, "5 min"},     {11, "60 min"},   {143, "720 min"}, {144, "750 min"},
               {167, "1440 min"}, {168, "2 days"}, {170, "4 days"},  {196, "30 days"},
               {197, "5 weeks"},  {255, "63 weeks"}};
  for (const Case& c : cases) EXPECT_EQ(c.text, ValidityPeriodText(static_cast<std::uint8_t>(c.v)));
}

TEST(Decode, ReusedDecoderStartsClean) {
  tSMSDecode d;
  d.Decode("07912143658709F1440A8101896745230008506091222271210A0500032A020100480069");
  d.Decode("0011");
  EXPECT_EQ(decode_error::kNoSmsc, d.ErrorText);
  EXPECT_FALSE(d.IsConcatenated);
  EXPECT_EQ("", d.Text);
  EXPECT_EQ("", d.Address);
  d.Decode("07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37");
  EXPECT_FALSE(d.HasError);
  EXPECT_EQ("", d.HeaderHex);
  EXPECT_EQ("hellohello", d.Text);
}

TEST(DecodeReaders, FailedReadsNeitherMoveNorDeliver) {
  tSMSDecode d;
  d.Decode("0791");  // stops at the missing service-centre number
  std::uint8_t value = 0x55;
  d.BitIndex = 4;
  d.OctetIndex = 0;
  EXPECT_FALSE(d.GetByte(value));
  EXPECT_EQ(0x55, value);
  EXPECT_EQ(decode_error::kByte, d.ErrorText);
  char c = 'x';
  int v = 9;
  EXPECT_TRUE(d.GetNibble(c, v));  // high semi-octet of 07
  EXPECT_EQ('0', c);
  EXPECT_FALSE(d.HasError);
  EXPECT_EQ(1, d.OctetIndex);
  EXPECT_EQ(0, d.BitIndex);
  EXPECT_EQ(1, d.Get1Bit());  // 0x91, bit 0
  EXPECT_EQ(0x48, d.Get7Bit());  // bits 1..7
  EXPECT_FALSE(d.HasError);
  EXPECT_EQ(0, d.Get1Bit());
  EXPECT_EQ(decode_error::kBit, d.ErrorText);
  EXPECT_FALSE(d.GetNibble(c, v));
  EXPECT_EQ('0', c);
  EXPECT_EQ(decode_error::kNibble, d.ErrorText);
  EXPECT_EQ(2, d.OctetIndex);
  EXPECT_EQ(0, d.BitIndex);
  EXPECT_EQ("", d.GetTimeStamp());
  EXPECT_EQ(decode_error::kTimeStamp, d.ErrorText);
}

// Every prefix and many garbled copies of real PDUs: each yields fields or
// an error, and the read position never leaves the input.
TEST(Decode, CutAndGarbledInputsNeverLeaveTheInput) {
  const std::string samples[] = {
      "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37",
      "07912143658709F1440A8101896745230008506091222271210A0500032A020100480069",
      Deliver("44", "00", "0C", "0500032A0302D06536FB0D"),
      Deliver("04", "00", "05", "E8329BFD06", "0ED0D4F29C2E0CBBD7"),
      kSmsc + "06" + "2A" + kOrig + kStamp + kStamp + "4600",
      kSmsc + "19" + "00" + kOrig + "0000" + kStamp + "05E8329BFD06",
  };
  std::mt19937 rng(12345);
  const char alphabet[] = "0123456789ABCDEFabcdef x\n";
  for (const std::string& s : samples) {
    for (std::size_t n = 0; n <= s.size(); ++n) {
      tSMSDecode d = Decoded(s.substr(0, n));
      EXPECT_EQ(d.HasError, !d.ErrorText.empty());
      EXPECT_LE(d.OctetIndex, d.OctetCount);
      EXPECT_EQ(static_cast<std::size_t>(d.OctetCount) * 2, d.Hex.size());
    }
    for (int i = 0; i < 300; ++i) {
      std::string g = s;
      for (int k = 0; k < 3; ++k) g[rng() % g.size()] = alphabet[rng() % (sizeof alphabet - 1)];
      tSMSDecode d = Decoded(g);
      EXPECT_EQ(d.HasError, !d.ErrorText.empty());
      EXPECT_LE(d.OctetIndex, d.OctetCount);
    }
  }
}

}  // namespace
}  // namespace pdulink
