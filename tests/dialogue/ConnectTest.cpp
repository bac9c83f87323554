// Connect, disconnect and the command transaction against the simulated phone.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "Connection.h"
#include "Gateway.h"
#include "GatewayFixture.h"
#include "Lamp.h"

namespace {

using ConnectTest = GatewayTest;

TEST_F(ConnectTest, FullSequencePrefersMtAndReadsTheServiceCentre) {
  Start();
  Connect();
  std::vector<std::string> expected = {"AT\\r",          "AT\\r",       "ATE0\\r",           "AT+CGMI\\r",
                                       "AT+CGMM\\r",      "AT+CSCS=\"GSM\"\\r", "AT+CSCA?\\r", "AT+CPMS=?\\r",
                                       "AT+CPMS=MT\\r"};
  auto received = Received();
  ASSERT_GE(received.size(), expected.size());
  // The second AT may be dropped by the port while the first is written.
  if (received[1] != "AT\\r") expected.erase(expected.begin() + 1);
  EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + expected.size()), expected);
  EXPECT_TRUE(JournalHas("COM1 19200"));
  EXPECT_TRUE(JournalHas("SMS Memory Select:MT"));
  EXPECT_EQ(form->ui().ed_smsc->text(), QStringLiteral("12345678901"));
  EXPECT_EQ(form->tray().Index() == 1 || form->tray().Index() == 2, true);
  EXPECT_TRUE(form->ui().led_connect->Color() == LampColor::Lime || form->ui().led_connect->Color() == LampColor::Green);
  EXPECT_FALSE(form->ui().cb_comport->isEnabled());
  EXPECT_FALSE(form->ui().sb_connect->isChecked());
  EXPECT_EQ(form->connection().SmsMemory, "MT");
}

TEST_F(ConnectTest, OnlySimMemoryNationalCentreAndSilentMode) {
  Start("SoundMode=1\r\n", {"--memories", "SM", "--smsc", "0850123"});
  Connect();
  auto received = Received();
  EXPECT_NE(std::find(received.begin(), received.end(), "AT+CALM=1\\r"), received.end());
  EXPECT_EQ(received.back(), "AT+CPMS=SM\\r");
  EXPECT_TRUE(JournalHas("SMS Memory Select:SM"));
  EXPECT_EQ(form->ui().ed_smsc->text(), QString());
}

TEST_F(ConnectTest, ConnectingAgainKeepsThePortOpenAndRepeatsTheDialogue) {
  Start();
  Connect();
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("SMS Memory Select:MT") == 2; })) << Journal();
  std::string t = phone->Transcript();
  size_t opens = 0;
  for (size_t at = t.find("host opened the device"); at != std::string::npos;
       at = t.find("host opened the device", at + 1))
    ++opens;
  EXPECT_EQ(opens, 1u);
  EXPECT_EQ(JournalCount("COM1 19200"), 2u);
}

TEST_F(ConnectTest, RejectedMemoryLeavesThePortOpenWithoutConnected) {
  Start();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CPMS error")));
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("SMS Memory Select:"); }));
  ASSERT_TRUE(RunUntil([this] { return Received().back() == "AT+CPMS=\\r"; }));
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(form->clock().PendingCommand, 0);
  EXPECT_TRUE(form->comport().Active());
  EXPECT_EQ(form->tray().Index(), 3u);
  EXPECT_EQ(form->ui().led_connect->Color(), LampColor::Yellow);
  EXPECT_FALSE(JournalHas("SMS Memory Select:M"));
}

TEST_F(ConnectTest, ReplyInTwoBurstsAndErrorReplies) {
  Start();
  Connect();
  Transaction& t = form->dialogue();
  // Chunks far apart become separate clusters: the first one already counts
  // as the reply, the final OK comes whole with the second.
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("chunks 11 1500")));
  t.OkFlag = false;
  EXPECT_TRUE(t.SendCommand("AT+CGMI\r"));
  EXPECT_FALSE(t.OkFlag);
  EXPECT_TRUE(t.WaitReply("ok"));
  EXPECT_TRUE(t.OkFlag);
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("chunks off")));
  RunUntil([] { return false; }, 1);

  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGMM error")));
  EXPECT_TRUE(t.SendCommand("AT+CGMM\r"));
  EXPECT_FALSE(t.OkFlag);
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CSQ reply \\xFF\\x01garbage>\\r\\n")));
  EXPECT_TRUE(t.SendCommand("AT+CSQ\r"));
  EXPECT_FALSE(t.OkFlag);
  EXPECT_TRUE(t.PromptFlag);
}

// The reply flags need their framing: OK only as the line "\r\nOK\r\n",
// RING only as "RING\r\n"; a ">" anywhere is a prompt. Each cluster sets or
// clears all three.
TEST_F(ConnectTest, ReplyFlagsNeedTheirFraming) {
  Start();
  Connect();
  form->clock().PendingCommand = 0;
  Transaction& t = form->dialogue();
  struct Case {
    const char* reply;  // control-channel escapes
    bool ok, ring, prompt;
  } cases[] = {
      {"\\r\\nOK\\r\\n", true, false, false},
      {"\\r\\nNOKIA\\r\\n", false, false, false},                 // a manufacturer
      {"\\r\\n+CMGL: 1,1,,5\\r\\nLOOK OK\\r\\n", false, false, false},  // "OK" inside a message
      {"\\r\\nOK", false, false, false},                          // the line not ended
      {"OK\\r\\n", false, false, false},                          // nor begun
      {"\\r\\nRING\\r\\n", false, true, false},
      {"\\r\\n+X: \\\"STRING\\\"\\r\\n", false, false, false},        // "RING" inside a word
      {"\\r\\nRING", false, false, false},
      {"\\r\\n> ", false, false, true},
      {"\\r\\nRING\\r\\n\\r\\nOK\\r\\n>", true, true, true},
      {"\\r\\nERROR\\r\\n", false, false, false},  // clears what the one before set
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control(std::string("fail +CSQ reply ") + c.reply)));
    t.OkFlag = !c.ok;
    t.RingFlag = !c.ring;
    t.PromptFlag = !c.prompt;
    EXPECT_TRUE(t.SendCommand("AT+CSQ\r")) << c.reply;
    EXPECT_EQ(t.OkFlag, c.ok) << c.reply;
    EXPECT_EQ(t.RingFlag, c.ring) << c.reply;
    EXPECT_EQ(t.PromptFlag, c.prompt) << c.reply;
    ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("unfail +CSQ")));
  }

  // A wait for OK is not ended by an unframed "OK" in the first burst.
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("identity manufacturer NOKIA")));
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("chunks 9 1500")));
  EXPECT_TRUE(t.SendCommand("AT+CGMI\r"));
  EXPECT_FALSE(t.OkFlag);
  EXPECT_TRUE(t.WaitReply("ok"));
  EXPECT_TRUE(t.OkFlag);
  EXPECT_TRUE(JournalHas("NOKIA"));
}

TEST_F(ConnectTest, TimeoutAbortAndTheWaitAfterThem) {
  Start();
  Connect();
  Transaction& t = form->dialogue();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGSN silent")));
  FastTicks();
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_EQ(JournalCount("TimeOut Rx Done"), 1u);
  EXPECT_FALSE(t.AbortFlag);
  EXPECT_FALSE(form->ui().b_abort->isEnabled());

  // Abort ends the wait at its next pass, and only that wait.
  form->dialogue().Pause = [] { QThread::msleep(50); };
  QTimer::singleShot(300, form.get(), [this] {
    EXPECT_TRUE(form->ui().b_abort->isEnabled());
    form->ui().b_abort->click();
  });
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_TRUE(JournalHas("Manual Abort"));
  EXPECT_TRUE(t.SendCommand("AT\r"));
  EXPECT_TRUE(t.OkFlag);
}

TEST_F(ConnectTest, WaitAcrossMidnightTimesOutAfterItsTicks) {
  Start();
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGSN silent")));
  form->timer1()->stop();
  RunUntil([] { return false; }, 1);  // a tick already posted runs now
  int ticks = 0;
  form->clock().SecondsCounter = 86390;
  form->dialogue().Pause = [&] {
    QThread::msleep(1);
    form->clock().Advance();
    ++ticks;
  };
  EXPECT_FALSE(form->dialogue().SendCommand("AT+CGSN\r"));
  EXPECT_EQ(ticks, 181);  // more than 180 ticks, not the 10 before the wrap
}

TEST_F(ConnectTest, DisconnectDuringAWaitEndsItAndClosesThePort) {
  Start();
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGSN silent")));
  form->clock().PendingCommand = 0;  // no passes: the test drives the wait
  QTimer::singleShot(300, form.get(), [this] { form->ui().B_disconnect->click(); });
  EXPECT_FALSE(form->dialogue().SendCommand("AT+CGSN\r"));
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Disconnected"); }));
  EXPECT_FALSE(form->comport().Active());
  EXPECT_EQ(form->ui().led_connect->Color(), LampColor::Red);
  EXPECT_EQ(form->tray().Index(), 4u);
  EXPECT_TRUE(form->ui().cb_comport->isEnabled());
  EXPECT_EQ(form->clock().PendingCommand, 0);
}

TEST_F(ConnectTest, ReplySplitAtEveryByteStillCountsAsAReply) {
  Start();
  Connect();
  form->clock().PendingCommand = 0;
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("chunks 1 60")));
  EXPECT_TRUE(form->dialogue().SendCommand("AT+CGMI\r"));
  ASSERT_TRUE(RunUntil([this] { return JournalHas("pdulink"); }));
  EXPECT_TRUE(form->comport().Active());
}

TEST_F(ConnectTest, DeviceVanishingMidCommandEndsTheWaitAtOnce) {
  Start();
  Connect();
  form->clock().PendingCommand = 0;
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGSN silent")));
  form->timer1()->stop();
  int passes = 0;
  form->dialogue().Pause = [&] {
    QThread::msleep(20);
    if (++passes == 10) phone->Control("vanish");
    if (passes > 30) form->clock().Advance();  // ticks that a wait on a lost device would wait out
  };
  EXPECT_FALSE(form->dialogue().SendCommand("AT+CGSN\r"));
  EXPECT_FALSE(form->comport().Active());
  EXPECT_FALSE(JournalHas("TimeOut Rx Done")) << Journal();
  EXPECT_LT(passes, 100);  // ended when the port closed, not after 180 ticks
  EXPECT_TRUE(JournalHas("Port COM1 (" + phone->LinkPath() + "): Error calling WaitCommEvent")) << Journal();
  EXPECT_FALSE(form->ui().b_abort->isEnabled());

  // Later commands of the operation fail at once, each with its journal line.
  passes = 0;
  EXPECT_FALSE(form->dialogue().SendCommand("AT+CGMI\r"));
  EXPECT_FALSE(form->dialogue().SendCommand("AT+CGMM\r"));
  EXPECT_EQ(passes, 0);
  EXPECT_EQ(JournalCount("Error writing Data (903, Bad file descriptor)"), 2u) << Journal();
  EXPECT_FALSE(form->dialogue().AbortFlag);
}

TEST_F(ConnectTest, ManualCommandFromTheTestPage) {
  Start();
  Connect();
  form->ui().ed_send->setText(QStringLiteral("  AT+CSQ \t"));
  form->ui().b_send->click();
  EXPECT_TRUE(JournalHas(">AT+CSQ"));
  ASSERT_TRUE(RunUntil([this] { return JournalHas("+CSQ:"); }));
  size_t before = Received().size();
  form->ui().ed_send->setText(QStringLiteral("   "));
  form->ui().b_send->click();
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(Received().size(), before);
}

TEST_F(ConnectTest, MissingDeviceGivesNotConnected) {
  Start("ComPort=2\r\n");  // COM2 has no [Ports] entry: /dev/ttyS1 is absent or not ours
  form->comport().SetPortMap({{"COM2", phone->Directory() + "/nothing-here"}});
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("COM2 19200"); }));
  EXPECT_FALSE(form->comport().Active());
  EXPECT_EQ(form->ui().led_connect->Color(), LampColor::Red);
  EXPECT_EQ(form->tray().Index(), 4u);
  EXPECT_EQ(form->tray().Hint(), QStringLiteral("Not Connected"));
  // The report names the device that was tried.
  EXPECT_TRUE(JournalHas("Port COM2 (" + phone->Directory() + "/nothing-here): Error reopening Port (112, "
                         "No such file or directory)"))
      << Journal();
}

// Disconnect or Exit pressed during a wait of the connect sequence, with the
// phone silent on that command. The test plays the timer: no tick runs
// until the sequence has ended, so the request is still posted when it ends
// and must not be overwritten by the start of the duty passes.
class ConnectInterruptTest : public GatewayTest, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(ConnectInterruptTest, RequestDuringAWaitIsCarriedOut) {
  const auto [command, exit] = GetParam();
  const std::string pattern = command;
  Start();
  form->timer1()->stop();
  RunUntil([] { return false; }, 1);  // a tick already posted runs now
  // (a quoted pattern is not taken for an option of the control command)
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail \"" + pattern + "\" silent")));
  const auto sentLast = [&] {
    auto r = Received();
    if (r.empty()) return false;
    return pattern == "AT" ? r.back() == "AT\\r" : r.back().rfind("AT" + pattern, 0) == 0;
  };
  bool clicked = false;
  form->dialogue().Pause = [&] {
    QThread::msleep(20);
    if (clicked || !sentLast()) return;
    clicked = true;
    if (exit)
      form->ui().b_exit->click();
    else
      form->ui().B_disconnect->click();
  };
  form->clock().PendingCommand = 0;
  form->connection().b_open();  // what the connect step runs
  ASSERT_TRUE(clicked) << phone->Transcript();
  EXPECT_EQ(form->clock().PendingCommand, exit ? kExit : kDisconnect) << phone->Transcript();

  // The next ticks carry the request out.
  form->dialogue().Pause = [] { QThread::msleep(20); };
  for (int i = 0; i < 3; ++i) form->cycle().timer1Timer();
  if (exit) {
    EXPECT_TRUE(windowClosed);
  } else {
    EXPECT_TRUE(JournalHas("Disconnected")) << Journal();
    EXPECT_FALSE(form->comport().Active());
    EXPECT_EQ(form->clock().PendingCommand, 0);
    EXPECT_EQ(form->tray().Index(), 4u);
    EXPECT_EQ(form->ui().led_connect->Color(), LampColor::Red);
  }
}

INSTANTIATE_TEST_SUITE_P(EachWait, ConnectInterruptTest,
                         ::testing::Combine(::testing::Values("AT", "E0", "+CGMI", "+CGMM", "+CSCS", "+CSCA?",
                                                              "+CPMS=?", "+CPMS=MT"),
                                            ::testing::Bool()));

TEST_F(ConnectTest, DisconnectDuringTheServiceCentreQueryEndsTheSequenceWithoutTimeouts) {
  Start();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CSCA? silent")));
  bool clicked = false;
  form->dialogue().Pause = [&] {
    QThread::msleep(50);
    if (clicked) return;
    auto r = Received();
    if (r.empty() || r.back() != "AT+CSCA?\\r") return;
    clicked = true;
    form->ui().B_disconnect->click();
    form->cycle().timer1Timer();  // a tick inside this wait closes the port
  };
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([&] { return clicked && !form->ui().b_abort->isEnabled(); }));
  // The rest of the sequence met a closed port: each command failed at once
  // (the 180-tick timeout would take 18 s per command at this tick rate).
  EXPECT_TRUE(JournalHas("Disconnected")) << Journal();
  EXPECT_TRUE(JournalHas("SMS Memory Select:")) << Journal();
  EXPECT_FALSE(JournalHas("TimeOut Rx Done"));
  EXPECT_GE(JournalCount("Error writing Data (903"), 2u) << Journal();
  EXPECT_EQ(Received().back(), "AT+CSCA?\\r");  // nothing more reached the phone
  RunUntil([] { return false; }, 1);
  EXPECT_FALSE(form->comport().Active());
  EXPECT_EQ(form->clock().PendingCommand, 0);
  EXPECT_EQ(form->tray().Index(), 4u);
}

// A pure rule of the journal line for the port's reports.
TEST(PortReport, NamesTheDeviceAndConvertsLocaleTexts) {
  EXPECT_EQ(PortReportLine("COM5", "/dev/ttyS4", 112, ENOENT, "Error reopening Port"),
            "Port COM5 (/dev/ttyS4): Error reopening Port (112, No such file or directory)");
  // A port named by its path is not named twice; code 0 adds no text.
  EXPECT_EQ(PortReportLine("/dev/ttyUSB0", "/dev/ttyUSB0", 9701, 0, "Error write TimeOut"),
            "Port /dev/ttyUSB0: Error write TimeOut (9701)");
  EXPECT_EQ(PortReportLine("COM1", "/dev/ttyACM0", 112, EWOULDBLOCK, "Error reopening Port"),
            "Port COM1 (/dev/ttyACM0): Error reopening Port (112, Resource temporarily unavailable: "
            "another program holds the port)");
  // A device path in the locale's encoding (UTF-8) becomes Windows-1251.
  EXPECT_EQ(PortReportLine("COM2", "/dev/serial/by-id/\xD0\x9C\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBC", 112, ENOENT,
                           "Error reopening Port"),
            "Port COM2 (/dev/serial/by-id/\xCC\xEE\xE4\xE5\xEC): Error reopening Port (112, No such file or directory)");
}

}  // namespace
