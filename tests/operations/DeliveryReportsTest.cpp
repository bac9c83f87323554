// Delivery reports end to end against the simulated phone, which answers
// every send that asks for a report with status reports after a delay:
// watched files (one across the reference wrap, a long one) get their .dlv
// files; a report that comes after a restart is still matched; a temporary
// state, a final failure and a report that matches nothing.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

#include <regex>

#include "DeliveryReports.h"
#include "GatewayFixture.h"
#include "Receiving.h"
#include "TempDir.h"
#include "sms_decode.h"

namespace {

namespace fs = std::filesystem;
using pdulink::test::Slurp;

class DeliveryReportsTest : public GatewayTest {
 protected:
  void StartMatching() {
    Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nAutoSend=1\r\nWatchInt=1\r\nLongSms=1\r\nMatchReports=1\r\n"
          "LogDir=" + logs.Path() + "\r\nWatchDir=" + outbox.Path() + "/smss*.txt\r\n",
          {"--memories", "SM"});
  }
  // Files in the working directory, where sent files are renamed to.
  std::vector<std::string> Named(const std::string& pattern) const {
    std::vector<std::string> out;
    const std::regex re(pattern);
    for (auto& e : fs::directory_iterator(phone->Directory()))
      if (std::regex_match(e.path().filename().string(), re)) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  void Drop(const std::string& name, const std::string& line) {
    const std::string path = outbox.Path() + "/" + name;
    std::ofstream(path + ".new") << line << "\r\n";
    fs::rename(path + ".new", path);
  }
  void Restart() {
    form.reset();
    StartupOptions options;
    options.configArg = phone->Directory() + "/gateway.ini";
    form = std::make_unique<TForm1>(options);
    form->state().BaseDir = phone->Directory();
    form->timer1()->setInterval(100);
    form->cycle().ExitPause = [] {};
  }
  pdulink::test::TempDir logs{"pdulink-reports"};
  pdulink::test::TempDir outbox{"pdulink-outbox"};
};

TEST_F(DeliveryReportsTest, WatchedFilesAcrossTheReferenceWrapAndALongMessageAreDelivered) {
  StartMatching();
  ASSERT_TRUE(phone->Ok(phone->Control("reports delay=300 on")));
  ASSERT_TRUE(phone->Ok(phone->Control("next-mr 255")));
  Drop("smss1.txt", "12345678901 first");
  ASSERT_TRUE(RunUntil([&] { return Named(R"(SMS\d{17}\.dlv)").size() == 1; }, 30)) << Journal();
  Drop("smss2.txt", "+4915112345678 second");
  Drop("smss3.txt", "0301234567 " + std::string(300, 'x'));  // 2 parts
  ASSERT_TRUE(RunUntil([&] { return Named(R"(SMS\d{17}\.dlv)").size() == 3; }, 30)) << Journal();

  // Every PDU asked for its report (TP-SRR), with references 255, 0, 1, 2.
  const std::vector<std::string> pdus = phone->Submitted();
  ASSERT_EQ(4u, pdus.size());
  for (const std::string& pdu : pdus) EXPECT_TRUE(std::stoi(pdu.substr(2, 2), nullptr, 16) & 0x20) << pdu;
  const std::string dump = phone->Control("dump submitted");
  EXPECT_NE(dump.find("submitted 1 255 "), std::string::npos) << dump;
  EXPECT_NE(dump.find("submitted 2 0 "), std::string::npos) << dump;

  const std::vector<std::string> sent = Named(R"(SMS\d{17}\.snd)");
  ASSERT_EQ(3u, sent.size());
  for (const std::string& snd : sent) {
    const std::string name = fs::path(snd).filename().string();
    const std::string dlv = snd.substr(0, snd.size() - 4) + ".dlv";
    ASSERT_TRUE(fs::exists(dlv)) << name;
    EXPECT_EQ(0u, Slurp(dlv).rfind("status=00\ntext=" + pdulink::StatusReportText(0) + "\ntime=", 0)) << Slurp(dlv);
    EXPECT_TRUE(JournalHas("Delivered " + name + " to ")) << Journal();
  }
  EXPECT_TRUE(JournalHas(" to 12345678901 at "));
  EXPECT_TRUE(JournalHas(" part 1/2 to 0301234567 at ") || JournalHas(" part 2/2 to 0301234567 at ")) << Journal();
  EXPECT_FALSE(JournalHas("Report without a sent message"));
  EXPECT_EQ(3u, form->gateway().reports().Counts().delivered);

  // A message sent by hand has no file: its report is journaled only.
  form->ui().ed_totel->setText(QStringLiteral("+4930123456"));
  form->ui().Ed_smsbody->setText(QStringLiteral("by hand"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Delivered message to +4930123456 at "); }, 30)) << Journal();
  EXPECT_EQ(3u, Named(R"(SMS\d{17}\.dlv)").size());
  const pdulink::ReportCounts counts = form->gateway().reports().Counts();
  EXPECT_EQ(4u, counts.delivered);
  EXPECT_EQ(0u, counts.awaiting);
}

TEST_F(DeliveryReportsTest, ReportsAfterARestartEachClassAndOneThatMatchesNothing) {
  StartMatching();
  // The centre first says it is still trying, then gives up.
  ASSERT_TRUE(phone->Ok(phone->Control("reports delay=2500 status=0x21,0x46 on")));
  Drop("smss1.txt", "+4915112345678 hello");
  ASSERT_TRUE(RunUntil([&] { return Named(R"(SMS\d{17}\.snd)").size() == 1; }, 30)) << Journal();
  ASSERT_EQ(0u, form->gateway().reports().Counts().delivered);
  EXPECT_EQ(1u, form->gateway().reports().Counts().awaiting);
  EXPECT_TRUE(fs::exists(phone->Directory() + "/smsSent.rec"));

  Restart();
  // What a later hook or spool would be told.
  std::vector<DeliveryReports::Matched> matched;
  form->gateway().reports().OnMatched = [&](const DeliveryReports::Matched& m) { matched.push_back(m); };
  ASSERT_TRUE(RunUntil([&] { return Named(R"(SMS\d{17}\.und)").size() == 1; }, 30)) << Journal();
  const std::string name = fs::path(Named(R"(SMS\d{17}\.snd)").at(0)).filename().string();
  EXPECT_TRUE(JournalHas("Delivery pending " + name + " to +4915112345678: 21:" + pdulink::StatusReportText(0x21)))
      << Journal();
  EXPECT_TRUE(JournalHas("Undeliverable " + name + " to +4915112345678: 46:" + pdulink::StatusReportText(0x46)));
  EXPECT_TRUE(Named(R"(SMS\d{17}\.dlv)").empty());
  const std::string und = Slurp(Named(R"(SMS\d{17}\.und)").at(0));
  EXPECT_EQ(0u, und.rfind("status=46\n", 0)) << und;
  EXPECT_NE(und.find("\nnumber=+4915112345678\nreference=0\n"), std::string::npos) << und;
  EXPECT_EQ(1u, form->gateway().reports().Counts().undeliverable);
  ASSERT_EQ(2u, matched.size());
  EXPECT_FALSE(matched[0].final);
  EXPECT_EQ(0x21, matched[0].status);
  EXPECT_TRUE(matched[1].final);
  EXPECT_TRUE(matched[1].messageDone);
  EXPECT_EQ(name, matched[1].name);
  EXPECT_EQ("+4915112345678", matched[1].number);
  EXPECT_EQ(0, matched[1].reference);
  EXPECT_EQ(Named(R"(SMS\d{17}\.und)").at(0), matched[1].reportFile);

  // A report for nothing sent is archived as any report, with one line;
  // this one lacks TP-PI, so its archive is the raw PDU.
  ASSERT_TRUE(phone->Ok(phone->Control("status-report 77 +4930123456 0")));
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Report without a sent message"); }, 30)) << Journal();
  EXPECT_EQ(1u, JournalCount("Report without a sent message"));
  EXPECT_TRUE(JournalHas("Parse Error:Get Byte error"));
  bool archived = false;
  for (auto& e : fs::directory_iterator(logs.Path()))
    if (e.path().extension() == ".pdu" && Slurp(e.path().string()).find("064D0A91") != std::string::npos)
      archived = true;
  EXPECT_TRUE(archived);
}

// Reports read by a listing by hand, with automatic reading off, are
// matched too; a report that comes before the sent file's rename (which
// failed and waits for a retry) gets its report file, and OnMatched, once
// the file has its final name.
TEST_F(DeliveryReportsTest, ReportsMatchedWithoutAutomaticReadingAndAfterALateRename) {
  Start("MatchReports=1\r\nLogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  DeliveryReports& reports = form->gateway().reports();
  std::vector<DeliveryReports::Matched> matched;
  reports.OnMatched = [&](const DeliveryReports::Matched& m) { matched.push_back(m); };
  const std::string first = outbox.Path() + "/smss1.txt", second = outbox.Path() + "/smss2.txt";
  reports.Sent(first, "+4915112345678", 1, 1, 7);
  reports.Settled(first, "SMS20261208100000001.snd");
  reports.Sent(second, "+4915112345678", 1, 1, 8);  // its rename failed
  ASSERT_TRUE(phone->Ok(phone->Control("status-report 7 +4915112345678 0")));
  ASSERT_TRUE(phone->Ok(phone->Control("status-report 8 +4915112345678 0")));
  Connect();
  form->ui().cb_autoread->setChecked(false);
  form->ui().cb_smstype->setCurrentIndex(4);
  form->clock().PendingCommand = kNoCommand;
  form->gateway().receiving().listSMS();
  EXPECT_TRUE(JournalHas("TotalReaded=2")) << Journal();
  EXPECT_TRUE(fs::exists(phone->Directory() + "/SMS20261208100000001.dlv")) << Journal();
  EXPECT_TRUE(JournalHas("Delivered SMS20261208100000001.snd to +4915112345678 at "));
  ASSERT_EQ(1u, matched.size());
  EXPECT_TRUE(Named(R"(SMS\d{17}\.dlv)").size() == 1u);

  reports.Settled(second, "SMS20261208100000002.snd");
  const std::string dlv = phone->Directory() + "/SMS20261208100000002.dlv";
  ASSERT_TRUE(fs::exists(dlv)) << Journal();
  EXPECT_EQ(0u, Slurp(dlv).rfind("status=00\n", 0)) << Slurp(dlv);
  EXPECT_NE(Slurp(dlv).find("\nreference=8\n"), std::string::npos) << Slurp(dlv);
  ASSERT_EQ(2u, matched.size());
  EXPECT_EQ("SMS20261208100000002.snd", matched[1].name);
  EXPECT_EQ(dlv, matched[1].reportFile);
  EXPECT_TRUE(matched[1].messageDone);

  // Listed again: nothing new.
  form->gateway().receiving().listSMS();
  EXPECT_EQ(2u, matched.size());
  EXPECT_EQ(2u, Named(R"(SMS\d{17}\.dlv)").size());
}

}  // namespace
