// SMS-SUBMIT assembly: the PDU field by field, the send options, the
// journal lines in their order, and round trips through the decoder.
#include <gtest/gtest.h>

#include "gsm_alphabet.h"
#include "sms_decode.h"
#include "sms_submit.h"

namespace pdulink {
namespace {

using Lines = std::vector<std::string>;

SubmitPdu Assemble(std::string_view number, std::string_view body, bool options = false, bool srr = false,
                   StoredValidity stored = {}) {
  SubmitChoices c;
  c.sendOptions = options;
  c.statusReport = srr;
  c.stored = std::move(stored);
  return AssembleSubmit(number, body, c);
}

// The decoder wants a service centre; the phone's own ("00") is replaced by
// a real one for the round trip.
tSMSDecode DecodeSent(const SubmitPdu& p) {
  std::string hex = p.pduHex;
  if (p.smscField == "00") hex = "07919730071111F1" + hex.substr(2);
  tSMSDecode d;
  d.Decode(hex);
  return d;
}

class SubmitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BuildGsmTables(); }
};

TEST_F(SubmitTest, WorkedExampleFieldByFieldWithItsJournal) {
  SubmitPdu p = Assemble("12345678901", "abc");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.pduHex, "0011000B912143658709F10000A70361F118");
  EXPECT_EQ(p.cmgsLength, 17);
  EXPECT_EQ(p.userDataLength, 3);
  EXPECT_EQ(p.journal, (Lines{"Start sending to: 12345678901", "is  International telephone number", "00",
                              "Relative Validity Period=167"}));
}

TEST_F(SubmitTest, NumberFormsAndTypes) {
  // "+" and no "+" give the same length and digits; 10 digits or fewer are
  // national unless written with "+".
  EXPECT_EQ(Assemble("+12345678901", "abc").pduHex, Assemble("12345678901", "abc").pduHex);
  SubmitPdu national = Assemble(" 12345\t", "x");
  EXPECT_EQ(national.pduHex.substr(2, 16), "110005812143F500");
  EXPECT_EQ(national.journal[0], "Start sending to: 12345");
  EXPECT_EQ(national.journal[1], "is  National telephone number");
  EXPECT_EQ(Assemble("+12345", "x").pduHex.substr(8, 2), "91");

  for (const char* bad : {"", "12a45", "8 916", "+", "-5", "12345678901234567890"}) {
    SubmitPdu p = Assemble(bad, "x");
    EXPECT_FALSE(p.ok) << bad;
    EXPECT_EQ(p.journal.back(), std::string("Not Valid telephone number:") + bad) << bad;
    EXPECT_TRUE(p.pduHex.empty());
  }
}

TEST_F(SubmitTest, CodingFlashAndStatusReport) {
  SubmitPdu cyr = Assemble("12345", "\xCF\xF0\xE8\xE2\xE5\xF2");  // Privet
  EXPECT_EQ(cyr.dataCoding, 0x08);
  EXPECT_EQ(cyr.userDataLength, 12);
  EXPECT_EQ(cyr.pduHex.substr(18), "08A70C041F04400438043204350442");
  SubmitPdu flashCyr = Assemble("12345", "#flash#\xCF", true);
  EXPECT_EQ(flashCyr.dataCoding, 0x18);
  EXPECT_EQ(Assemble("12345", "#FLASH#hi", true).dataCoding, 0x10);
  // Options off: the option text is message text.
  SubmitPdu plain = Assemble("12345", "#flash#hi");
  EXPECT_EQ(plain.dataCoding, 0x00);
  EXPECT_EQ(plain.userDataLength, 9);
  EXPECT_EQ(Assemble("12345", "x", false, true).pduHex.substr(2, 2), "31");
}

TEST_F(SubmitTest, EmptyBodyHasNoUserData) {
  SubmitPdu p = Assemble("12345", "  \r\n ");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.userDataLength, 0);
  EXPECT_EQ(p.pduHex, "00110005812143F50000A700");
  EXPECT_EQ(p.cmgsLength, 11);
}

TEST_F(SubmitTest, CustomServiceCentreAndValidityOptions) {
  SubmitPdu p = Assemble("12345", "#flash##smsc+79001234567##vp11#Hello", true);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.smscField, "07919700214365F7");  // 8 octets with its length octet
  EXPECT_EQ(p.cmgsLength, static_cast<int>((p.pduHex.size() - 16) / 2));
  EXPECT_EQ(p.validityPeriod, 11);
  EXPECT_EQ(p.body, "Hello");
  EXPECT_EQ(p.journal, (Lines{"Custom SMSC: +79001234567", "Start sending to: 12345",
                              "is  National telephone number", "07919700214365F7",
                              "Relative Validity Period=11"}));

  EXPECT_EQ(Assemble("12345", "#vp#x", true).validityPeriod, 167);
  EXPECT_EQ(Assemble("12345", "#vp300#x", true).validityPeriod, 44);
  EXPECT_EQ(Assemble("12345", "#vp-1#x", true).validityPeriod, 255);
  EXPECT_EQ(Assemble("12345", "#vpabc#x", true).validityPeriod, 167);
  // Options only in their order: a flash after the validity period is text.
  SubmitPdu late = Assemble("12345", "#vp11##flash#x", true);
  EXPECT_EQ(late.dataCoding, 0);
  EXPECT_EQ(late.body, "#flash#x");
}

TEST_F(SubmitTest, MalformedOptionsStopBeforeTheNumber) {
  struct Case {
    const char* body;
    Lines journal;
  } cases[] = {
      {"#smsc#Hello", {"Invalid #SMSC# Option"}},
      {"#smsc+7900", {"Invalid #SMSC# Option"}},
      {"#smsc12a#Hello", {"Custom SMSC: 12a", "Invalid Custom SMSC"}},
      {"#vp11 Hello", {"Invalid #VP# Option"}},
  };
  for (const Case& c : cases) {
    SubmitPdu p = Assemble("12345", c.body, true, false, StoredValidity{20, "Error Value in file: sms_vp.ini"});
    EXPECT_FALSE(p.ok) << c.body;
    EXPECT_EQ(p.journal, c.journal) << c.body;
  }
}

TEST_F(SubmitTest, StoredValidityLineComesOnlyWhenItIsUsed) {
  StoredValidity stored{20, "Error Read File: sms_vp.ini"};
  SubmitPdu used = Assemble("12345", "x", true, false, stored);
  EXPECT_EQ(used.validityPeriod, 20);
  EXPECT_EQ(used.journal.front(), "Error Read File: sms_vp.ini");
  SubmitPdu replaced = Assemble("12345", "#vp5#x", true, false, stored);
  EXPECT_EQ(replaced.validityPeriod, 5);
  EXPECT_EQ(replaced.journal.front(), "Start sending to: 12345");
}

TEST_F(SubmitTest, LongBodiesAreCutToOneMessage) {
  SubmitPdu latin = Assemble("12345", std::string(200, 'a'));
  EXPECT_EQ(latin.userDataLength, 160);
  EXPECT_EQ(latin.pduHex.size(), 2u + 2 * (11 + 140));
  SubmitPdu cyr = Assemble("12345", std::string(71, '\xE0'));
  EXPECT_EQ(cyr.userDataLength, 140);
}

TEST_F(SubmitTest, DecodeGivesBackNumberTextAndChoices) {
  struct Case {
    const char* number;
    const char* body;
    bool srr;
    const char* digits;
    const char* text;
    unsigned vp;
    unsigned dcs;
  } cases[] = {
      {"12345678901", "abc", false, "12345678901", "abc", 167, 0x00},
      // The euro sign has no septet of its own: it goes as 0x14 and comes
      // back as that septet's look-alike.
      {"+4915112345678", "#vp11#Hello [world] {x} | \x80", true, "4915112345678",
       "Hello [world] {x} | \xCB", 11, 0x00},
      {"0301234", "#flash#\xCF\xF0\xE8\xE2\xE5\xF2 \xB8", false, "0301234", "\xCF\xF0\xE8\xE2\xE5\xF2 \xB8", 167,
       0x18},
      {"12345", "line\r\nbreak\ttab", false, "12345", "line break tab", 167, 0x00},
  };
  for (const Case& c : cases) {
    SubmitPdu p = Assemble(c.number, c.body, true, c.srr);
    ASSERT_TRUE(p.ok) << c.body;
    tSMSDecode d = DecodeSent(p);
    ASSERT_FALSE(d.HasError) << d.ErrorText << " " << p.pduHex;
    EXPECT_EQ(d.Mti, 1);
    EXPECT_NE(d.Address.find(c.digits), std::string::npos) << d.Address;
    EXPECT_EQ(d.Text, c.text);
    EXPECT_EQ(d.VpByte, c.vp);
    EXPECT_EQ(d.Dcs, c.dcs);
    EXPECT_EQ((d.FirstOctet & 0x20) != 0, c.srr);
  }
  // The custom service centre comes back too.
  tSMSDecode d = DecodeSent(Assemble("12345", "#smsc+79001234567#hi", true));
  ASSERT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_NE(d.SmscNumber.find("79001234567"), std::string::npos) << d.SmscNumber;
}

TEST(ValidityPeriod, LabelTextsAtTheRangeBoundaries) {
  EXPECT_EQ(ValidityPeriodLabel(0), "5 min =0 h");
  EXPECT_EQ(ValidityPeriodLabel(11), "60 min =1 h");
  EXPECT_EQ(ValidityPeriodLabel(143), "720 min =12 h");
  EXPECT_EQ(ValidityPeriodLabel(144), "750 min =12 h");
  EXPECT_EQ(ValidityPeriodLabel(167), "1440 min =24 h");
  EXPECT_EQ(ValidityPeriodLabel(168), "2 days");
  EXPECT_EQ(ValidityPeriodLabel(196), "30 days");
  EXPECT_EQ(ValidityPeriodLabel(197), "5 weeks");
  EXPECT_EQ(ValidityPeriodLabel(255), "63 weeks");
  EXPECT_EQ(ValidityPeriodLabel(256 + 11), "60 min =1 h");  // low eight bits
}

TEST(ValidityPeriod, FileContents) {
  EXPECT_EQ(ParseValidityFile(false, false, "").value, 167);
  EXPECT_EQ(ParseValidityFile(false, false, "").journalLine, "");
  EXPECT_EQ(ParseValidityFile(true, true, "255").value, 255);
  EXPECT_EQ(ParseValidityFile(true, true, " \t11  ").value, 11);
  EXPECT_EQ(ParseValidityFile(true, true, "0").value, 0);
  for (const char* out : {"256", "-1", "99999999999"}) {
    StoredValidity s = ParseValidityFile(true, true, out);
    EXPECT_EQ(s.value, 167) << out;
    EXPECT_EQ(s.journalLine, std::string(out) == "99999999999" ? "" : "Error Value in file: sms_vp.ini") << out;
  }
  for (const char* quiet : {"", "abc", "12abc", "1 2"}) {
    StoredValidity s = ParseValidityFile(true, true, quiet);
    EXPECT_EQ(s.value, 167) << quiet;
    EXPECT_EQ(s.journalLine, "") << quiet;
  }
  StoredValidity unreadable = ParseValidityFile(true, false, "11");
  EXPECT_EQ(unreadable.value, 167);
  EXPECT_EQ(unreadable.journalLine, "Error Read File: sms_vp.ini");
}

TEST(SendOptions, CutPrefixIgnoresCaseAndKeepsTheRest) {
  std::string body = "#FlAsH#text";
  EXPECT_TRUE(CutPrefix(body, "#flash#"));
  EXPECT_EQ(body, "text");
  EXPECT_FALSE(CutPrefix(body, "#flash#"));
  std::string shortBody = "#fl";
  EXPECT_FALSE(CutPrefix(shortBody, "#flash#"));
  EXPECT_EQ(shortBody, "#fl");
}

}  // namespace
}  // namespace pdulink
