// Hook programs in the whole gateway against the simulated phone: each hook
// finds its event's files on disk and gets the event's number, text and
// reference.
#include <QCheckBox>
#include <QLineEdit>
#include <QToolButton>
#include <sys/stat.h>

#include <cctype>
#include <fstream>

#include "DeliveryReports.h"
#include "GatewayFixture.h"
#include "HookRunner.h"
#include "TempDir.h"

namespace {

class HooksTest : public GatewayTest {
 protected:
  // A hook that notes, in OUT.<event>, its arguments (each with whether the
  // file is there and not empty) and its variables.
  static std::string NotingHook(const std::string& dir) {
    const std::string path = dir + "/hook.sh";
    std::ofstream(path) << "#!/bin/sh\n"
                           "{ for a in \"$@\"; do if [ -s \"$a\" ]; then echo \"file $a\"; else echo \"missing $a\"; "
                           "fi; done\n"
                           "echo \"number=$PDULINK_NUMBER\"; echo \"text=$PDULINK_TEXT\"\n"
                           "echo \"reference=${PDULINK_REFERENCE-unset}\"; } > \"$0.$PDULINK_EVENT.tmp\"\n"
                           "mv \"$0.$PDULINK_EVENT.tmp\" \"$0.$PDULINK_EVENT\"\n"
                           "echo noted $PDULINK_EVENT\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }
};

TEST_F(HooksTest, ReceivedMessageAndRejectedCallRunTheirHooksWithTheArchiveFiles) {
  pdulink::test::TempDir logs("pdulink-hooklog");
  const std::string hookCopy = NotingHook(logs.Path());
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nInCalls=1\r\nSaveCalls=1\r\nLogDir=" + logs.Path() +
            "/\r\nOnReceived=" + hookCopy + "\r\nOnCall=" + hookCopy + "\r\nHookTimeout=0\r\n",
        {"--ring-interval", "200"});
  EXPECT_TRUE(JournalHas("Error HookTimeout in INIFile (seconds): 30 used"));
  ASSERT_TRUE(RunUntil([this] { return JournalHas("SMS Memory Select:"); })) << Journal();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("deliver +4915112345678 Hello hooks")));
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".received"); })) << Journal();
  const std::string received = pdulink::test::Slurp(hookCopy + ".received");
  // Two arguments, the .txt and .xml files, both written when the hook ran.
  EXPECT_NE(received.find("file " + logs.Path() + "/SMS"), std::string::npos) << received;
  EXPECT_NE(received.find(".txt\nfile " + logs.Path() + "/SMS"), std::string::npos) << received;
  EXPECT_NE(received.find(".xml\nnumber=+4915112345678\ntext=Hello hooks\nreference=unset\n"), std::string::npos)
      << received;
  EXPECT_EQ(received.find("missing"), std::string::npos) << received;
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Hook OnReceived "); })) << Journal();
  EXPECT_TRUE(JournalHas("Hook OnReceived " + hookCopy + ": exit 0\n  noted received")) << Journal();

  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("ring +4930123456")));
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".call"); })) << Journal();
  const std::string call = pdulink::test::Slurp(hookCopy + ".call");
  EXPECT_NE(call.find(".txt\nfile " + logs.Path() + "/SMS"), std::string::npos) << call;
  EXPECT_NE(call.find(".xml\nnumber=+4930123456\n"), std::string::npos) << call;
  EXPECT_TRUE(JournalHas("Terminate incoming call:"));
  // The call's record is the call's event, not a received message.
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Hook OnCall "); })) << Journal();
  EXPECT_EQ(JournalCount("Hook OnReceived "), 1u) << Journal();
}

TEST_F(HooksTest, SentFileAndFailedManualSendRunTheirHooks) {
  pdulink::test::TempDir spool("pdulink-hookspool");
  const std::string hookCopy = NotingHook(spool.Path());
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + spool.Path() + "/smss*.txt\r\nOnSent=" + hookCopy +
        "\r\nOnFailed=" + hookCopy + "\r\nOnReport=" + hookCopy + "\r\nHookTimeout=5\r\n");
  std::ofstream(spool.Path() + "/smss1.txt") << "+4915112345678 See you at 8\r\n";
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".sent"); })) << Journal();
  const std::string sent = pdulink::test::Slurp(hookCopy + ".sent");
  // The file renamed into the working directory, with its new name.
  EXPECT_EQ(sent.rfind("file " + phone->Directory() + "/SMS", 0), 0u) << sent;
  EXPECT_NE(sent.find(".snd\nnumber=+4915112345678\ntext=See you at 8\nreference="), std::string::npos) << sent;
  const size_t ref = sent.find("reference=") + 10;
  EXPECT_TRUE(ref < sent.size() && std::isdigit(static_cast<unsigned char>(sent[ref]))) << sent;
  EXPECT_TRUE(JournalHas("Rename smss1.txt OK") || JournalHas("Rename " + spool.Path() + "/smss1.txt OK")) << Journal();

  // With send options the text sent is the body after them, not the line.
  std::filesystem::remove(hookCopy + ".sent");
  form->ui().cb_sendoptions->setChecked(true);
  std::ofstream(spool.Path() + "/smss2.txt") << "+4915112345678 #vp167#Flash at 9\r\n";
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".sent"); })) << Journal();
  EXPECT_NE(pdulink::test::Slurp(hookCopy + ".sent").find("\ntext=Flash at 9\n"), std::string::npos)
      << pdulink::test::Slurp(hookCopy + ".sent");
  form->ui().cb_sendoptions->setChecked(false);

  // A message typed by hand that fails: OnFailed without a file.
  form->ui().ed_totel->setText(QStringLiteral("12x45"));
  form->ui().Ed_smsbody->setText(QStringLiteral("By hand"));
  form->ui().sb_sendSMS->setChecked(true);
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".failed"); })) << Journal();
  EXPECT_EQ(pdulink::test::Slurp(hookCopy + ".failed"), "number=12x45\ntext=By hand\nreference=\n");

  // A report matched to a sent file: the report file, then the sent file.
  const std::string report = spool.Path() + "/SMS1.dlv", sentFile = spool.Path() + "/SMS1.snd";
  std::ofstream(report) << "status=0\n";
  std::ofstream(sentFile) << "+4915112345678 See you at 8\r\n";
  form->gateway().RunReportHook(report, sentFile, "+4915112345678", "Delivered", "42");
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".report"); })) << Journal();
  EXPECT_EQ(pdulink::test::Slurp(hookCopy + ".report"), "file " + report + "\nfile " + sentFile +
                                                            "\nnumber=+4915112345678\ntext=Delivered\nreference=42\n");

  // A sent file whose outcome stayed unknown (renamed .unknown) gets its
  // final report: the hook is given that file as it is named.
  form->state().MatchReports = true;
  std::filesystem::remove(hookCopy + ".report");
  const std::string source = spool.Path() + "/smss9.txt", unknown = phone->Directory() + "/SMS20260101120000000.unknown";
  std::ofstream(unknown) << "+4915112345678 Lost answer\r\n";
  form->gateway().reports().Sent(source, "+4915112345678", 1, 1, 9);
  form->gateway().reports().Settled(source, "SMS20260101120000000.unknown");
  // Reference 9 to +4915112345678: 46, given up.
  form->gateway().reports().Report("07912143658709F1" "06" "09" "0D91945111325476F8" "50609122227121"
                                   "50609122227121" "46" "00");
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(hookCopy + ".report"); })) << Journal();
  EXPECT_EQ(pdulink::test::Slurp(hookCopy + ".report").rfind("file " + phone->Directory() +
                                                                 "/SMS20260101120000000.und\nfile " + unknown + "\n",
                                                             0),
            0u)
      << pdulink::test::Slurp(hookCopy + ".report");
}

}  // namespace
