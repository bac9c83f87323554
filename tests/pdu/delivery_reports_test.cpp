// Delivery reports matched to the parts sent: the status classes, one
// recipient in national and international form, the newest record winning
// when references wrap, a long message's parts reported in any order, and
// the record across a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>

#include "TempDir.h"
#include "delivery_reports.h"
#include "sms_decode.h"
#include "sms_time.h"

namespace {

using namespace pdulink;

constexpr std::int64_t kNow = 1'800'000'000;

StatusReportFacts Report(int reference, const std::string& recipient, std::uint8_t status) {
  StatusReportFacts r;
  r.reference = reference;
  r.recipient = recipient;
  r.status = status;
  r.statusText = StatusReportText(status);
  r.centreTime = "26-12-08 09:30:00 [+1]";
  r.dischargeTime = "26-12-08 09:30:05 [+1]";
  return r;
}

TEST(DeliveryStatus, ClassesAtTheEdgesOfEachRange) {
  struct Case {
    int status;
    ReportKind kind;
  };
  for (const Case& c : {Case{0x00, ReportKind::Delivered}, Case{0x02, ReportKind::Delivered},
                        Case{0x03, ReportKind::Failed}, Case{0x0F, ReportKind::Failed},
                        Case{0x10, ReportKind::Delivered}, Case{0x1F, ReportKind::Delivered},
                        Case{0x20, ReportKind::Temporary}, Case{0x3F, ReportKind::Temporary},
                        Case{0x40, ReportKind::Failed}, Case{0x5F, ReportKind::Failed}, Case{0x60, ReportKind::Failed},
                        Case{0x7F, ReportKind::Failed}, Case{0x80, ReportKind::Failed}, Case{0xFF, ReportKind::Failed}})
    EXPECT_EQ(static_cast<int>(c.kind), static_cast<int>(ClassifyStatus(static_cast<std::uint8_t>(c.status))))
        << std::hex << c.status;
}

TEST(Recipient, NationalAndInternationalFormsOfOneNumber) {
  EXPECT_TRUE(SameRecipient("+4915112345678", "4915112345678"));
  EXPECT_TRUE(SameRecipient("+4915112345678", "015112345678"));   // trunk prefix 0
  EXPECT_TRUE(SameRecipient("015112345678", "+4915112345678"));
  EXPECT_TRUE(SameRecipient("89161234567", "+79161234567"));      // trunk prefix 8
  EXPECT_TRUE(SameRecipient("79161234567", "89161234567"));       // international digits without "+"
  EXPECT_TRUE(SameRecipient("9161234567", "+79161234567"));       // national number without its prefix
  EXPECT_TRUE(SameRecipient("00 49 151-1234 5678", "+49 (151) 12345678"));
  EXPECT_TRUE(SameRecipient("+3531234567", "+3531234567"));

  EXPECT_TRUE(SameRecipient("+353871234567", "0871234567"));     // a three-digit country code
  EXPECT_TRUE(SameRecipient("0871234567", "00353871234567"));
  EXPECT_FALSE(SameRecipient("+4915112345678", "+4315112345678"));  // two countries
  EXPECT_FALSE(SameRecipient("+4915112345678", "015112345679"));
  EXPECT_FALSE(SameRecipient("+49123456", "0123456"));   // too short to be sure
  EXPECT_FALSE(SameRecipient("+4915112345678", "15112345679"));
  EXPECT_FALSE(SameRecipient("+12345", ""));
  EXPECT_FALSE(SameRecipient("1234", "+991234"));
}

TEST(ReportFile, NameAndText) {
  EXPECT_EQ("SMS20261208093000123.dlv", ReportFileName("SMS20261208093000123.snd", kDeliveredSuffix));
  EXPECT_EQ("SMS20261208093000123.und", ReportFileName("SMS20261208093000123.unknown", kUndeliverableSuffix));
  SentPart p;
  p.number = "+4915112345678";
  p.reference = 7;
  p.seq = 2;
  p.total = 3;
  EXPECT_EQ(ReportFileText(p, Report(7, "+4915112345678", 0x46)),
            "status=46\ntext=" + StatusReportText(0x46) +
                "\ntime=26-12-08 09:30:00 [+1]\ndischarge=26-12-08 09:30:05 [+1]\nnumber=+4915112345678\n"
                "reference=7\npart=2/3\n");
}

TEST(ReportFacts, FromADecodedStatusReport) {
  tSMSDecode sms;
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "50609122227121" "00" "00");
  auto facts = ReportFactsOf(sms);
  ASSERT_TRUE(facts) << sms.ErrorText;
  EXPECT_EQ(5, facts->reference);
  EXPECT_EQ("+4915112345678", facts->recipient);
  EXPECT_EQ(0, facts->status);
  EXPECT_EQ("05-06-19 22:22:17 [+3]", facts->dischargeTime);
  // Without TP-PI the decoder fails, yet the status is there.
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "50609122227121" "46");
  ASSERT_TRUE(sms.HasError);
  facts = ReportFactsOf(sms);
  ASSERT_TRUE(facts);
  EXPECT_EQ(0x46, facts->status);
  EXPECT_EQ(StatusReportText(0x46), facts->statusText);
  // Cut before the status, or after TP-PI with more to come: no facts.
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "50609122227121");
  EXPECT_FALSE(ReportFactsOf(sms));
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "5060912222");
  EXPECT_FALSE(ReportFactsOf(sms));
  sms.Decode("07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37");
  EXPECT_FALSE(ReportFactsOf(sms));  // an SMS-DELIVER
}

TEST(ReportFacts, QuarterHourZonesAreKeptExactly) {
  // Centre time +05:30 (22 quarters), discharge +05:45 (23).
  tSMSDecode sms;
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227122" "50609122227132" "00" "00");
  auto facts = ReportFactsOf(sms);
  ASSERT_TRUE(facts) << sms.ErrorText;
  EXPECT_EQ("05-06-19 22:22:17 [+5:30]", facts->centreTime);
  EXPECT_EQ("05-06-19 22:22:17 [+5:45]", facts->dischargeTime);
  EXPECT_EQ("05-06-19 22:22:17 [+5]", sms.TimeText);  // the archive's form
  EXPECT_EQ("2005-06-19T22:22:17+05:45", IsoTimeText(facts->dischargeTime));
  SentPart p;
  p.number = "+4915112345678";
  EXPECT_NE(ReportFileText(p, *facts).find("time=05-06-19 22:22:17 [+5:30]\ndischarge=05-06-19 22:22:17 [+5:45]\n"),
            std::string::npos);
  // An SMS-DELIVER stamped -03:30 (14 quarters, west).
  sms.Decode("07912143658709F1040A8101896745230000506091222271490AE8329BFD4697D9EC37");
  ASSERT_FALSE(sms.HasError);
  EXPECT_EQ("05-06-19 22:22:17 [-3]", sms.TimeText);
  EXPECT_EQ("05-06-19 22:22:17 [-3:30]", ExactTimeText(sms.TimeText, sms.TimeZoneQuarters));
  EXPECT_EQ("2005-06-19T22:22:17-03:30", IsoTimeText(ExactTimeText(sms.TimeText, sms.TimeZoneQuarters)));
  // Whole hours as before; anything else is no time.
  EXPECT_EQ("05-06-19 22:22:17 [+3]", ExactTimeText("05-06-19 22:22:17 [+3]", 12));
  EXPECT_EQ("2005-06-19T22:22:17+03:00", IsoTimeText("05-06-19 22:22:17 [+3]"));
  EXPECT_EQ("2005-06-19T22:22:17+11:00", IsoTimeText("05-06-19 22:22:17 [+11]"));
  EXPECT_EQ("", IsoTimeText("05-06-19 22:22:17 [+5:3]"));
  EXPECT_EQ("", IsoTimeText("05-06-19 22:22:17 [5]"));
  EXPECT_EQ("", IsoTimeText("1 day"));
}

class SentRecordTest : public ::testing::Test {
 protected:
  pdulink::test::TempDir dir;
  std::string path = dir.Path() + "/smsSent.rec";
  SentRecord record{path};
};

TEST_F(SentRecordTest, EachStatusClassAndARepeatedReport) {
  record.AddPart("/w/smss1.txt", "+4915112345678", 1, 1, 7, kNow);
  record.Name("/w/smss1.txt", "SMS20261208093000123.snd");

  // Temporary: a journal line, nothing kept, no file.
  ReportMatch m = record.Match(Report(7, "+4915112345678", 0x21));
  ASSERT_TRUE(m.matched);
  EXPECT_EQ("Delivery pending SMS20261208093000123.snd to +4915112345678: 21:" + StatusReportText(0x21),
            m.journalLine);
  EXPECT_TRUE(m.reportFileName.empty());
  EXPECT_EQ(-1, record.Parts()[0].status);
  EXPECT_EQ(1u, record.Counts().awaiting);

  m = record.Match(Report(7, "+4915112345678", 0x00));
  EXPECT_EQ("Delivered SMS20261208093000123.snd to +4915112345678 at 26-12-08 09:30:05 [+1]", m.journalLine);
  EXPECT_EQ("SMS20261208093000123.dlv", m.reportFileName);
  EXPECT_TRUE(m.messageDelivered);
  EXPECT_EQ(0, record.Parts()[0].status);
  EXPECT_EQ(1u, record.Counts().delivered);

  // The same report again (a listing repeated after a crash): nothing new.
  m = record.Match(Report(7, "+4915112345678", 0x00));
  EXPECT_TRUE(m.matched);
  EXPECT_TRUE(m.repeated);
  EXPECT_TRUE(m.journalLine.empty());
  EXPECT_TRUE(m.reportFileName.empty());

  record.AddPart("/w/smss2.txt", "015112345678", 1, 1, 8, kNow);
  record.Name("/w/smss2.txt", "SMS20261208093100000.snd");
  m = record.Match(Report(8, "+4915112345678", 0x46));  // reported in international form
  ASSERT_TRUE(m.matched);
  EXPECT_EQ("Undeliverable SMS20261208093100000.snd to 015112345678: 46:" + StatusReportText(0x46), m.journalLine);
  EXPECT_EQ("SMS20261208093100000.und", m.reportFileName);
  EXPECT_EQ(1u, record.Counts().undeliverable);
}

TEST_F(SentRecordTest, WrappedReferenceGoesToTheNewestAwaitedRecord) {
  record.AddPart("", "+4915112345678", 1, 1, 5, kNow);        // sent by hand, an hour ago
  record.AddPart("/w/a.txt", "+4915112345678", 1, 1, 5, kNow + 3600);  // 256 messages later
  record.Name("/w/a.txt", "SMSa.snd");
  record.AddPart("/w/b.txt", "+4930123456", 1, 1, 5, kNow + 3600);     // same reference, another number
  record.Name("/w/b.txt", "SMSb.snd");

  ReportMatch m = record.Match(Report(5, "+4915112345678", 0));
  ASSERT_TRUE(m.matched);
  EXPECT_EQ("SMSa.snd", m.part.name);
  // The older one is still awaited: the next report with the reference is its own.
  m = record.Match(Report(5, "4915112345678", 0));
  ASSERT_TRUE(m.matched);
  EXPECT_EQ("", m.part.name);
  EXPECT_EQ("Delivered message to +4915112345678 at 26-12-08 09:30:05 [+1]", m.journalLine);
  EXPECT_TRUE(m.reportFileName.empty());  // no file to put it beside
  EXPECT_EQ(-1, record.Parts()[2].status);

  EXPECT_FALSE(record.Match(Report(6, "+4915112345678", 0)).matched);
  EXPECT_FALSE(record.Match(Report(5, "+4915112345670", 0)).matched);
}

TEST_F(SentRecordTest, AReportListedAgainSettlesNothingElse) {
  // Delivered to +4915112345678, reference 5, discharged 05-06-19 22:22:17.
  const std::string hex = "07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227121" "50609122227121" "00" "00";
  tSMSDecode sms;
  sms.Decode(hex);
  auto facts = ReportFactsOf(sms);
  ASSERT_TRUE(facts);
  record.AddPart("/w/old.txt", "015112345678", 1, 1, 5, kNow);
  record.Name("/w/old.txt", "SMSold.snd");
  ReportMatch m = record.Match(*facts);
  EXPECT_EQ("SMSold.dlv", m.reportFileName);
  ASSERT_TRUE(record.Save());
  // 256 messages later the reference comes round again; the old report is
  // listed once more (its delete refused), also after a restart.
  SentRecord again(path);
  ASSERT_TRUE(again.Load(kNow + 60));
  again.AddPart("/w/new.txt", "+4915112345678", 1, 1, 5, kNow + 60);
  again.Name("/w/new.txt", "SMSnew.snd");
  m = again.Match(*facts);
  EXPECT_TRUE(m.repeated);
  EXPECT_TRUE(m.reportFileName.empty());
  EXPECT_EQ(-1, again.Parts()[1].status);
  // Its own report (discharged a minute later) settles it.
  sms.Decode("07912143658709F1" "06" "05" "0D91945111325476F8" "50609122237121" "50609122237121" "00" "00");
  m = again.Match(*ReportFactsOf(sms));
  EXPECT_FALSE(m.repeated);
  EXPECT_EQ("SMSnew.dlv", m.reportFileName);
}

TEST_F(SentRecordTest, ThreePartsReportedInEveryOrder) {
  std::array<int, 3> order = {0, 1, 2};
  do {
    SentRecord r(path);
    for (int seq = 1; seq <= 3; ++seq) r.AddPart("/w/long.txt", "12345", seq, 3, 40 + seq, kNow);
    r.Name("/w/long.txt", "SMSlong.snd");
    for (size_t k = 0; k < 3; ++k) {
      const int seq = order[k] + 1;
      ReportMatch m = r.Match(Report(40 + seq, "12345", 0));
      ASSERT_TRUE(m.matched);
      const bool last = k == 2;
      EXPECT_EQ(last, m.messageDelivered);
      EXPECT_EQ(last ? "SMSlong.dlv" : "", m.reportFileName);
      EXPECT_EQ(last ? "Delivered SMSlong.snd to 12345 at 26-12-08 09:30:05 [+1]"
                     : "Delivered SMSlong.snd part " + std::to_string(seq) + "/3 to 12345 at 26-12-08 09:30:05 [+1]",
                m.journalLine);
      EXPECT_EQ(last ? 1u : 0u, r.Counts().delivered);
    }
  } while (std::next_permutation(order.begin(), order.end()));

  // One part failing settles the message at once; a second failure and
  // the remaining delivered part write nothing more.
  SentRecord r(path);
  for (int seq = 1; seq <= 3; ++seq) r.AddPart("/w/long.txt", "12345", seq, 3, 40 + seq, kNow);
  r.Name("/w/long.txt", "SMSlong.snd");
  ReportMatch m = r.Match(Report(42, "12345", 0x41));
  EXPECT_TRUE(m.messageFailed);
  EXPECT_EQ("SMSlong.und", m.reportFileName);
  EXPECT_EQ("Undeliverable SMSlong.snd part 2/3 to 12345: 41:" + StatusReportText(0x41), m.journalLine);
  m = r.Match(Report(41, "12345", 0));
  EXPECT_FALSE(m.messageDelivered);
  EXPECT_TRUE(m.reportFileName.empty());
  m = r.Match(Report(43, "12345", 0x62));
  EXPECT_FALSE(m.messageFailed);
  EXPECT_TRUE(m.reportFileName.empty());
  EXPECT_EQ(1u, r.Counts().undeliverable);
  EXPECT_EQ(0u, r.Counts().awaiting);
}

TEST_F(SentRecordTest, PartsOfSeparateMessagesAndNamesOfFilesNotRenamed) {
  // Two copies of one file, then the same path again after its first file
  // changed during the send (never renamed).
  record.AddPart("/w/smss1.txt", "12345", 1, 1, 1, kNow);
  record.AddPart("/w/smss1.txt", "12345", 1, 1, 2, kNow);
  record.Name("/w/smss1.txt", "SMS1.snd");
  record.AddPart("/w/smss1.txt", "12345", 1, 1, 3, kNow);
  record.Name("/w/smss1.txt", "");
  record.AddPart("/w/smss1.txt", "12345", 1, 2, 4, kNow);
  record.AddPart("/w/smss1.txt", "12345", 2, 2, 5, kNow);
  record.Name("/w/smss1.txt", "SMS2.snd");
  const std::vector<SentPart>& p = record.Parts();
  ASSERT_EQ(5u, p.size());
  EXPECT_EQ("SMS1.snd", p[0].name);
  EXPECT_EQ("SMS1.snd", p[1].name);
  EXPECT_NE(p[0].message, p[1].message);  // each copy a message of its own
  EXPECT_EQ("", p[2].name);
  EXPECT_EQ("", p[2].source);
  EXPECT_EQ("SMS2.snd", p[3].name);
  EXPECT_EQ(p[3].message, p[4].message);
  EXPECT_EQ(4u, record.Counts().awaiting);
}

TEST_F(SentRecordTest, RestartKeepsTheRecordAndDropsWhatIsAWeekOld) {
  record.AddPart("/w/old.txt", "12345", 1, 1, 9, kNow - kSentRecordKeepSeconds);
  record.AddPart("/w/tab\tname.txt", "+4915112345678", 1, 2, 10, kNow - 60);
  record.AddPart("/w/tab\tname.txt", "+4915112345678", 2, 2, 11, kNow - 60);
  ASSERT_TRUE(record.Save());
  EXPECT_FALSE(record.Dirty());
  {
    std::ofstream(path, std::ios::app) << "S\tnot a line\n";
  }

  SentRecord again(path);
  ASSERT_TRUE(again.Load(kNow));
  EXPECT_EQ(1, again.DroppedLines());
  ASSERT_EQ(2u, again.Parts().size());  // the week-old part is gone
  EXPECT_TRUE(again.Dirty());
  again.Name("/w/tab\tname.txt", "SMS3.snd");
  EXPECT_FALSE(again.Match(Report(9, "12345", 0)).matched);
  EXPECT_FALSE(again.Match(Report(10, "+4915112345678", 0)).messageDelivered);
  ReportMatch m = again.Match(Report(11, "+4915112345678", 0));
  EXPECT_TRUE(m.messageDelivered);
  EXPECT_EQ("SMS3.dlv", m.reportFileName);
  ASSERT_TRUE(again.Save());

  // A message sent after the restart is not taken for one before it.
  again.AddPart("/w/new.txt", "12345", 1, 1, 12, kNow);
  EXPECT_GT(again.Parts().back().message, again.Parts().front().message);
  SentRecord third(path);
  ASSERT_TRUE(third.Load(kNow));
  EXPECT_EQ(0u, third.Counts().awaiting);
  EXPECT_EQ(1u, third.Counts().delivered);
  EXPECT_EQ(0, third.DroppedLines());
}

}  // namespace
