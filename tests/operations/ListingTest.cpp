// Listing, archiving and deleting end to end: the real window offscreen on
// the simulated phone, the polling cycle driving the automatic reading, the
// latched List and Delete buttons, and the headless commands that latch them.
#include <fcntl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Console.h"
#include "GatewayFixture.h"
#include "PhoneScript.h"
#include "ReceivedRecord.h"
#include "Receiving.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

// Received messages the tests store as read: "hellohello" from 1098765432,
// and another text from the same sender.
const std::string kStranded = "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";
const std::string kArchivedBefore = "07912143658709F1040A81018967452300005060912222712103C3E110";

class ListingTest : public GatewayTest {
 protected:
  size_t FileCount(const std::string& dir) const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
  }
  std::string Stored() const { return phone->Control("dump stored"); }
  // The index the phone gave a delivered message ("stored SM 3").
  static std::string IndexOf(const std::string& reply) {
    size_t at = reply.find("stored SM ");
    return at == std::string::npos ? "?" : reply.substr(at + 10, reply.find('\n', at) - at - 10);
  }
};

// Run with the configuration as it is and with Utf8Files=1: the listing,
// the journal, the deletes and the files are the same.
class ListingBothEncodings : public ListingTest, public ::testing::WithParamInterface<const char*> {};
INSTANTIATE_TEST_SUITE_P(Encodings, ListingBothEncodings, ::testing::Values("", "Utf8Files=1\r\n"),
                         [](const auto& info) { return std::string(*info.param ? "Utf8Files" : "Cp1251"); });

TEST_P(ListingBothEncodings, AutomaticReadingArchivesDeletesAndKeepsWhatFailsToDecodeAsRawPdu) {
  pdulink::test::TempDir logs;
  Start(std::string(GetParam()) + "AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nAppend2FileSMSIN=1\r\nLogDir=" +
            logs.Path() + "\r\n",
        {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Hello there")), "1");
  ASSERT_EQ(IndexOf(phone->Control("deliver MyBank \"Ваш код: 4711\"")), "2");
  // The phone's status report carries no parameter-indicator octet, which
  // the decoder requires: it never decodes, so its raw PDU is kept in a file.
  ASSERT_EQ(IndexOf(phone->Control("status-report 7 +4915112345678 0")), "3");
  std::string stored3 = Stored();
  size_t at = stored3.find("stored SM 3 ");
  ASSERT_NE(at, std::string::npos) << stored3;
  std::string pdu = stored3.substr(stored3.rfind(' ', stored3.find('\n', at)) + 1);
  pdu = pdu.substr(0, pdu.find('\n'));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=3") && Sent("AT+CMGD=").size() >= 3; }))
      << Journal();

  EXPECT_TRUE(JournalHas("From tel= 4915112345678"));
  EXPECT_TRUE(JournalHas("From tel= MyBank"));
  // The raw PDU follows the error on a line of its own, ready to paste into Parse.
  std::string j = Journal();
  size_t err = j.find("Parse Error:Get Byte error\n");
  ASSERT_NE(err, std::string::npos);
  size_t next = err + std::string("Parse Error:Get Byte error\n").size();
  EXPECT_EQ(j.substr(next + 20, pdu.size() + 1), pdu + "\n");
  EXPECT_FALSE(JournalHas("Kept on the phone"));
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r", "AT+CMGD=2\\r", "AT+CMGD=3\\r"}));
  std::vector<fs::path> raw;
  for (auto& e : fs::directory_iterator(logs.Path()))
    if (e.path().extension() == ".pdu") raw.push_back(e.path());
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(pdulink::test::Slurp(raw[0].string()), pdu + "\r\n");
  EXPECT_TRUE(JournalHas("File:" + logs.Path() + "/" + raw[0].filename().string()));
  EXPECT_EQ(FileCount(logs.Path()), 6u);  // 2 x (.txt, .xml), the .pdu, PDULINKL.TXT
  EXPECT_EQ(Stored().find("stored SM"), std::string::npos) << Stored();
  // Everything went: no record is left, and no listing of read messages follows.
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=0"); })) << Journal();
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
  EXPECT_TRUE(Sent("AT+CMGL=1").empty());
}

// A run killed after its listing left one message read but not archived (B)
// and one archived but not deleted (C); the record says so. The next run's
// first automatic turn lists the read messages once: B is archived, C only
// deleted, and the record goes.
TEST_F(ListingTest, MessagesLeftByAKilledRunArePickedUpOnceNoneArchivedTwice) {
  pdulink::test::TempDir logs;
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 New one")), "1");
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu state=1 " + kStranded)), "2");
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu state=1 " + kArchivedBefore)), "3");
  const std::string stem = logs.Path() + "/SMS20050619222217045";
  std::ofstream(stem + ".txt") << "C";
  std::ofstream(stem + ".xml") << "C";
  std::ofstream(phone->Directory() + "/" + kReceivedRecordFile)
      << "listing\n" << PduDigest(kArchivedBefore) << " " << stem << "\n"
      << PduDigest(kStranded) << " " << logs.Path() << "/SMS20050619222217046\n";  // killed before its files
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=2") && Sent("AT+CMGD=").size() >= 3; })) << Journal();
  EXPECT_EQ(Sent("AT+CMGL="), (std::vector<std::string>{"AT+CMGL=0\\r", "AT+CMGL=1\\r"}));
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r", "AT+CMGD=2\\r", "AT+CMGD=3\\r"}));
  EXPECT_TRUE(JournalHas("Archived before: " + stem));
  EXPECT_TRUE(JournalHas("hellohello"));
  EXPECT_EQ(FileCount(logs.Path()), 6u);  // three messages, two files each
  EXPECT_EQ(pdulink::test::Slurp(stem + ".txt"), "C");
  EXPECT_EQ(Stored().find("stored SM"), std::string::npos) << Stored();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TotalReaded=0") >= 2; })) << Journal();
  EXPECT_EQ(Sent("AT+CMGL=1").size(), 1u);
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// A message is archived once, whatever fails after its files: with the
// collective file unwritable it keeps its one pair of files pass after pass,
// the failure is said once, and once the file can be written the line is
// added, the message deleted, nothing archived again.
TEST_F(ListingTest, UnwritableCollectiveFileArchivesTheMessageOnceAndSaysSoOnce) {
  pdulink::test::TempDir logs;
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nAppend2FileSMSIN=1\r\nLogDir=" + logs.Path() + "\r\n",
        {"--memories", "SM"});
  fs::create_directory(logs.Path() + "/PDULINKL.TXT");
  // What a killed writer left half written goes at the first listing.
  std::ofstream(logs.Path() + "/SMS20050619222217045.txt.999999999-3.tmp") << "half";
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Once only")), "1");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return Sent("AT+CMGL=1").size() >= 3; })) << Journal();
  EXPECT_EQ(FileCount(logs.Path()), 3u);  // one .txt, one .xml, the directory
  EXPECT_FALSE(fs::exists(logs.Path() + "/SMS20050619222217045.txt.999999999-3.tmp"));
  EXPECT_EQ(JournalCount("ERROR Append SMS to file"), 2u) << Journal();  // the failure and the kept line
  EXPECT_EQ(JournalCount("Kept on the phone N Msg = 1: ERROR Append SMS to file"), 1u) << Journal();
  EXPECT_EQ(JournalCount("File:"), 1u);
  EXPECT_TRUE(Sent("AT+CMGD=").empty());

  fs::remove(logs.Path() + "/PDULINKL.TXT");
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty(); })) << Journal();
  EXPECT_TRUE(JournalHas("OK Create SMS file "));
  EXPECT_EQ(FileCount(logs.Path()), 3u);  // the pair and the collective file
  const std::string collective = pdulink::test::Slurp(logs.Path() + "/PDULINKL.TXT");
  EXPECT_EQ(std::count(collective.begin(), collective.end(), '\n'), 1);
  EXPECT_EQ(Stored().find("stored SM"), std::string::npos) << Stored();
}

// A hook that moves the archive files away, and a delete the phone refuses
// once: the next pass deletes the message without archiving it again or
// running the hook again.
TEST_F(ListingTest, FilesMovedByTheHookAndARefusedDeleteArchiveAndHookOnce) {
  pdulink::test::TempDir logs, moved;
  const std::string hook = moved.Path() + "/hook.sh";
  std::ofstream(hook) << "#!/bin/sh\nmv \"$1\" \"$2\" " << moved.Path() << "/\necho run >> " << moved.Path()
                      << "/runs\n";
  fs::permissions(hook, fs::perms::owner_all);
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nOnReceived=" + hook + "\r\nLogDir=" + logs.Path() + "\r\n",
        {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Move me")), "1");
  ASSERT_EQ(phone->Control("fail times=1 +CMGD=1 error"), "OK\n");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return Sent("AT+CMGD=").size() >= 2; })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TotalReaded=0") >= 2; })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Hook OnReceived "); })) << Journal();
  EXPECT_EQ(JournalCount("Hook OnReceived "), 1u) << Journal();
  EXPECT_EQ(pdulink::test::Slurp(moved.Path() + "/runs"), "run\n");
  EXPECT_EQ(FileCount(logs.Path()), 0u);
  EXPECT_EQ(FileCount(moved.Path()), 4u);  // the hook, its runs, one .txt, one .xml
  EXPECT_EQ(JournalCount("File:"), 1u) << Journal();
  EXPECT_EQ(Stored().find("stored SM"), std::string::npos) << Stored();
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// A record whose message has only its .txt on disk (a kill between the two
// renames) is not archived: the pair is written whole before the delete.
TEST_F(ListingTest, RecordedMessageWithOnlyItsTxtIsArchivedWholeBeforeItsDelete) {
  pdulink::test::TempDir logs;
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu state=1 " + kStranded)), "1");
  const std::string stem = logs.Path() + "/SMS20050619222217046";
  std::ofstream(stem + ".txt") << "half";
  std::ofstream(phone->Directory() + "/" + kReceivedRecordFile) << "listing\n"
                                                                << PduDigest(kStranded) << " " << stem << "\n";
  Connect();
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty(); })) << Journal();
  EXPECT_TRUE(JournalHas("hellohello"));
  EXPECT_FALSE(JournalHas("Archived before"));
  std::vector<fs::path> txt, xml;
  for (auto& e : fs::directory_iterator(logs.Path()))
    (e.path().extension() == ".txt" ? txt : xml).push_back(e.path());
  ASSERT_EQ(txt.size(), 1u);
  ASSERT_EQ(xml.size(), 1u);
  EXPECT_EQ(xml[0].stem(), txt[0].stem());
  EXPECT_NE(pdulink::test::Slurp(txt[0].string()).find("hellohello"), std::string::npos);
}

// A PDU garbled on the line is read once more before it is given up: read
// well the second time, it is archived as a message; read garbled the same
// way twice (a PDU the decoder cannot take), it is kept raw and deleted.
TEST_F(ListingTest, PduGarbledOnceIsReadAgainAndOnlyOneFailingTwiceIsKeptRaw) {
  pdulink::test::TempDir logs;
  Start("LogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu " + kStranded)), "1");
  ASSERT_EQ(IndexOf(phone->Control("status-report 7 +4915112345678 0")), "2");
  const std::string stored = Stored();
  const size_t at = stored.find("stored SM 2 ");
  const std::string report = stored.substr(stored.rfind(' ', stored.find('\n', at)) + 1,
                                           stored.find('\n', at) - stored.rfind(' ', stored.find('\n', at)) - 1);
  const std::string garbled = kStranded.substr(0, kStranded.size() - 12);
  ASSERT_EQ(phone->Control("fail times=1 +CMGL=4 reply " +
                           pdulink::test::EscapeReply("\r\n+CMGL: 1,0,,30\r\n" + garbled + "\r\n+CMGL: 2,0,,30\r\n" +
                                                      report + "\r\n\r\nOK\r\n")),
            "OK\n");
  Connect();
  form->ui().cb_autoread->setChecked(true);
  form->ui().cb_smstype->setCurrentIndex(4);
  form->ui().cb_deletesms->setChecked(true);
  FastTicks();
  form->clock().PendingCommand = kNoCommand;
  form->gateway().receiving().listSMS();
  EXPECT_EQ(Sent("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1\\r", "AT+CMGR=2\\r"}));
  EXPECT_TRUE(JournalHas("hellohello"));
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r", "AT+CMGD=2\\r"}));
  std::vector<std::string> kinds;
  for (auto& e : fs::directory_iterator(logs.Path())) kinds.push_back(e.path().extension().string());
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds, (std::vector<std::string>{".pdu", ".txt", ".xml"}));
  for (auto& e : fs::directory_iterator(logs.Path())) {
    if (e.path().extension() == ".pdu") {
      EXPECT_EQ(pdulink::test::Slurp(e.path().string()), report + "\r\n");
    }
  }
}

// A record whose bytes a crash lost (the turn's record reaches the disk by
// its name first) still owes the listing of the read messages.
TEST_F(ListingTest, EmptyRecordFileOwesAListingOfTheReadMessages) {
  pdulink::test::TempDir logs;
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu state=1 " + kStranded)), "1");
  std::ofstream(phone->Directory() + "/" + kReceivedRecordFile).flush();
  Connect();
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty(); })) << Journal();
  EXPECT_EQ(Sent("AT+CMGL="), (std::vector<std::string>{"AT+CMGL=0\\r", "AT+CMGL=1\\r"}));
  EXPECT_TRUE(JournalHas("hellohello"));
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TotalReaded=0") >= 2; })) << Journal();
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// A listing that ends without its final OK (here at the reply timeout, its
// second message never captured though the phone marked it read) is
// reported, and the next turn lists the read messages and archives the rest.
TEST_F(ListingTest, ListingCutShortIsReportedAndWhatItMissedIsPickedUp) {
  pdulink::test::TempDir logs;
  Start("LogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Captured")), "1");
  ASSERT_EQ(IndexOf(phone->Control("deliver-pdu state=1 " + kStranded)), "2");
  const std::string stored = Stored();
  const std::string pdu1 = stored.substr(stored.find("stored SM 1 0 ") + 14, stored.find('\n') - 14);
  ASSERT_EQ(phone->Control("fail times=1 +CMGL=0 reply " +
                           pdulink::test::EscapeReply("\r\n+CMGL: 1,0,,30\r\n" + pdu1 + "\r\n+CMGL: 2,0,,30\r\n0791")),
            "OK\n");
  Connect();
  form->ui().cb_autoread->setChecked(true);
  form->ui().cb_smstype->setCurrentIndex(0);
  form->ui().cb_deletesms->setChecked(true);
  FastTicks();
  form->clock().PendingCommand = kNoCommand;
  Receiving& receiving = form->gateway().receiving();
  receiving.listSMS();
  EXPECT_TRUE(JournalHas("TimeOut Rx Done"));
  EXPECT_EQ(JournalCount("Listing incomplete: the reply has no final OK"), 1u);
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r"}));
  EXPECT_TRUE(Sent("AT+CMGL=1").empty());  // not in the turn that failed

  receiving.listSMS();
  EXPECT_EQ(Sent("AT+CMGL=1").size(), 1u);
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r", "AT+CMGD=2\\r"}));
  EXPECT_TRUE(JournalHas("hellohello"));
  EXPECT_EQ(FileCount(logs.Path()), 4u);
  EXPECT_EQ(JournalCount("Listing incomplete"), 1u);
  EXPECT_EQ(Stored().find("stored SM"), std::string::npos) << Stored();
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// Without the record the listing would strand what it marks read: nothing
// is listed, and the message stays unread on the phone.
TEST_F(ListingTest, RecordThatCannotBeWrittenLeavesTheMessagesUnread) {
  pdulink::test::TempDir logs;
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + logs.Path() + "\r\n", {"--memories", "SM"});
  form->state().BaseDir = logs.Path() + "/missing";
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Wait for me")), "1");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("Receiving record not written: ") >= 2; })) << Journal();
  EXPECT_TRUE(Sent("AT+CMGL").empty());
  EXPECT_NE(Stored().find("stored SM 1 0 "), std::string::npos) << Stored();
  EXPECT_EQ(FileCount(logs.Path()), 0u);
}

TEST_F(ListingTest, UnwritableLogDirectoryDeletesNothing) {
  pdulink::test::TempDir logs;
  const std::string missing = logs.Path() + "/not-there";
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + missing + "\r\n", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Keep me")), "1");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Kept on the phone N Msg = 1: Save .txt Error ("); })) << Journal();
  EXPECT_TRUE(JournalHas("Save .xml Error"));
  EXPECT_TRUE(Sent("AT+CMGD=").empty());
  EXPECT_NE(Stored().find("stored SM 1 "), std::string::npos);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(ListingTest, FiveHundredMessagesAreAllListed) {
  Start("", {"--memories", "SM", "--sm-capacity", "500"});
  for (int i = 1; i <= 500; ++i)
    ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("deliver 1098765432 n" + std::to_string(i))));
  Connect();
  std::string all;  // the journal window keeps 1000 lines; the whole run goes here
  form->journal().SetMirror([&](const std::string& line) { all += line + "\n"; });
  form->ui().cb_smstype->setCurrentIndex(4);
  form->ui().sb_listSMS->setChecked(true);
  ASSERT_TRUE(RunUntil([&] { return all.find("TotalReaded=") != std::string::npos; }, 60)) << Journal();
  EXPECT_NE(all.find("TotalReaded=500"), std::string::npos);
  EXPECT_NE(all.find("n500\n"), std::string::npos);
  std::vector<int> expected(500);
  for (int i = 0; i < 500; ++i) expected[static_cast<size_t>(i)] = i + 1;
  EXPECT_EQ(form->gateway().receiving().ListedIndexes, expected);
  EXPECT_TRUE(Sent("AT+CMGD=").empty());  // Delete is unchecked after choosing a type
  // (Deleting them all is the same loop over these indexes; on the pty each
  // command takes a few hundred milliseconds, so it is not repeated here.)
}

TEST(ConsoleCommands, ListAndDeleteArguments) {
  EXPECT_EQ(ParseConsoleLine("/list"), ConsoleAction::List);
  EXPECT_EQ(ParseConsoleLine(" /list 4 "), ConsoleAction::List);
  EXPECT_EQ(ParseConsoleLine("/delete 3,7"), ConsoleAction::Delete);
  EXPECT_EQ(ParseConsoleLine("/listing"), ConsoleAction::Help);
  EXPECT_EQ(ConsoleArgument("/list   4 "), "4");
  EXPECT_EQ(ConsoleArgument("/list"), "");
  EXPECT_EQ(ConsoleListType(""), -1);
  EXPECT_EQ(ConsoleListType("4"), 4);
  EXPECT_FALSE(ConsoleListType("5").has_value());
  EXPECT_FALSE(ConsoleListType("01").has_value());
  EXPECT_FALSE(ConsoleListType("x").has_value());
  EXPECT_EQ(ConsoleDeleteNumbers("3,7, 12"), "3 7 12");
  EXPECT_EQ(ConsoleDeleteNumbers("3 x"), "3 x");  // the delete skips x itself
  EXPECT_EQ(ConsoleDeleteNumbers("0,x"), "");
  EXPECT_EQ(ConsoleDeleteNumbers(""), "");
}

// The headless commands latch the buttons; the Delete button itself sends
// each number of its field and releases itself.
TEST_F(ListingTest, HeadlessListAndDeleteLatchTheButtons) {
  Start("", {"--memories", "SM"});
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 One")), "1");
  ASSERT_EQ(IndexOf(phone->Control("deliver +4915112345678 Two")), "2");
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  auto console = std::make_unique<Console>(*form, fds[0]);
  Connect();
  auto type = [&](const std::string& line) { ASSERT_EQ(::write(fds[1], line.data(), line.size()), ssize_t(line.size())); };

  type("/list 9\n");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Usage: /list [type]"); }));
  type("/list 0\n");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=2"); })) << Journal();
  EXPECT_EQ(form->ui().cb_smstype->currentIndex(), 0);
  EXPECT_TRUE(Sent("AT+CMGD=").empty());  // Delete was not chosen
  type("/delete 2,1\n");
  ASSERT_TRUE(RunUntil([this] { return Sent("AT+CMGD=").size() == 2; })) << Journal();
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=2\\r", "AT+CMGD=1\\r"}));
  type("/delete x\n/help\n");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("/list [type] /delete N[,M...]"); }));
  EXPECT_TRUE(JournalHas("Usage: /delete N[,M...]"));

  form->ui().ed_nums->setText(QStringLiteral("3 x 0 007 -4"));
  form->ui().sb_delete->setChecked(true);
  ASSERT_TRUE(RunUntil([this] { return !form->ui().sb_delete->isChecked(); })) << Journal();
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=2\\r", "AT+CMGD=1\\r", "AT+CMGD=3\\r",
                                                      "AT+CMGD=7\\r", "AT+CMGD=-4\\r"}));
  EXPECT_TRUE(JournalHas("Delete N Msg = 007"));
  EXPECT_FALSE(JournalHas("Delete N Msg = 0\n"));
  EXPECT_FALSE(JournalHas("Delete N Msg = x"));
  console.reset();
  ::close(fds[1]);
  ::close(fds[0]);
}

}  // namespace
