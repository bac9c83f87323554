// The polling cycle: connect at start, duty passes and their cadences,
// off-line mode, a lost connection and Exit in the middle of a pass.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "GatewayFixture.h"
#include "Lamp.h"

namespace {

using PollingTest = GatewayTest;

TEST(PollClock, CounterWrapsAndElapsedCountsAcrossMidnight) {
  PollClock c;
  c.SecondsCounter = 86398;
  c.Advance();
  EXPECT_EQ(c.SecondsCounter, 86399u);
  c.Advance();
  EXPECT_EQ(c.SecondsCounter, 0u);
  EXPECT_EQ(PollClock::Elapsed(86399, 0), 1u);
  EXPECT_EQ(PollClock::Elapsed(86300, 80), 180u);
  EXPECT_EQ(PollClock::Elapsed(5, 5), 0u);
}

TEST_F(PollingTest, AutoConnectAtStartThenPassesWithAutoReadCadence) {
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=4\r\n");
  EXPECT_TRUE(JournalHas("AutoConnecting..."));
  std::vector<uint32_t> snapshots;
  form->cycle().duties.listSMS = [&] { snapshots.push_back(form->clock().SecondsCounter); };
  ASSERT_TRUE(RunUntil([&] { return snapshots.size() >= 3; }, 30)) << Journal();
  EXPECT_TRUE(JournalHas("AutoReading Mode."));
  for (uint32_t s : snapshots) EXPECT_EQ(s % 4, 0u) << s;
  EXPECT_EQ(form->ui().cb_smstype->currentIndex(), 0);
  EXPECT_TRUE(form->ui().cb_deletesms->isChecked());
}

// The cadences follow SecondsCounter exactly: connect at multiples of 3
// only, reading at every multiple of the polling interval, a watch turn at
// every multiple of the watch interval, the battery at multiples of 1800.
TEST_F(PollingTest, CadencesFollowTheCounterExactly) {
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=4\r\nAutoSend=1\r\nWatchInt=6\r\nBatteryCheck=1\r\n");
  form->timer1()->stop();
  RunUntil([] { return false; }, 1);  // a tick already posted runs now
  form->ui().cb_bat->setChecked(true);
  form->clock().SecondsCounter = 0;
  form->clock().PendingCommand = kConnect;
  form->cycle().timer1Timer();  // 1
  form->cycle().timer1Timer();  // 2
  EXPECT_EQ(form->clock().PendingCommand, kConnect);
  EXPECT_FALSE(JournalHas("COM1 19200"));
  form->cycle().timer1Timer();  // 3: the connect step
  EXPECT_TRUE(JournalHas("COM1 19200"));
  ASSERT_EQ(form->clock().PendingCommand, kDutyPass) << Journal();

  std::vector<uint32_t> reads, turns, batteries;
  form->cycle().duties.listSMS = [&] { reads.push_back(form->clock().SecondsCounter); };
  form->cycle().duties.WatchTurn = [&] { turns.push_back(form->clock().SecondsCounter); };
  form->cycle().duties.CheckBattery = [&] {
    batteries.push_back(form->clock().SecondsCounter);
    return 50;
  };
  form->clock().SecondsCounter = 1790;
  ASSERT_TRUE(form->ui().cb_autoread->isChecked());
  ASSERT_TRUE(form->ui().cb_autosend->isChecked());
  ASSERT_EQ(form->state().PollingInterval, 4);
  ASSERT_EQ(form->state().WatchInterval, 6);
  for (int i = 0; i < 20; ++i) form->cycle().timer1Timer();  // 1791 .. 1810
  EXPECT_EQ(reads, (std::vector<uint32_t>{1792, 1796, 1800, 1804, 1808}));
  EXPECT_EQ(turns, (std::vector<uint32_t>{1794, 1800, 1806}));
  EXPECT_EQ(batteries, (std::vector<uint32_t>{1800}));
  EXPECT_EQ(JournalCount("Battery Check:"), 1u);
}

TEST_F(PollingTest, LatchedRequestsAreServedAndReleased) {
  Start();
  Connect();
  int lists = 0, sends = 0;
  std::string number, body;
  form->cycle().duties.listSMS = [&] { ++lists; };
  form->cycle().duties.SendSMS = [&](const std::string& n, const std::string& b) {
    number = n;
    body = b;
    ++sends;
    return 7;
  };
  form->ui().Ed_smsbody->setText(QStringLiteral("Hello"));
  form->ui().sb_listSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_listSMS->isChecked(); }));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); }));
  EXPECT_EQ(lists, 1);
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(number, "0850");
  EXPECT_EQ(body, "Hello");
  EXPECT_TRUE(JournalHas("Send errorlevel(bytes):7"));
}

TEST_F(PollingTest, UncheckingAutoReadUnchecksDeleteAndFixesTheInterval) {
  Start();
  form->ui().ed_polint->setText(QStringLiteral("x"));
  form->ui().cb_autoread->setChecked(true);
  EXPECT_EQ(form->state().PollingInterval, 10);
  EXPECT_EQ(form->ui().ed_polint->text(), QStringLiteral("10"));
  EXPECT_FALSE(form->ui().cb_smstype->isEnabled());
  form->ui().cb_deletesms->setChecked(true);
  form->ui().cb_autoread->setChecked(false);
  EXPECT_FALSE(form->ui().cb_deletesms->isChecked());
  EXPECT_TRUE(form->ui().ed_polint->isEnabled());
}

TEST_F(PollingTest, OffLineModeOpensThePortForAPassAndClosesItAfter) {
  Start("AutoConnect=1\r\nOffLineMode=1\r\n");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("SMS Memory Select:"); }));
  // The pass after the connect posts a disconnect, whose tick posts a pass.
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Disconnected"); }));
  EXPECT_FALSE(form->comport().Active());
  bool duty = false;
  form->cycle().duties.listSMS = [&] {
    duty = true;
    form->dialogue().SendCommand("AT+CSQ\r");
  };
  form->ui().sb_listSMS->click();
  ASSERT_TRUE(RunUntil([&] { return duty; }));
  auto received = Received();
  // The command was preceded by the on-demand handshake on a reopened port.
  auto csq = std::find(received.begin(), received.end(), "AT+CSQ\\r");
  ASSERT_NE(csq, received.end());
  EXPECT_EQ(*(csq - 1), "ATE0\\r");
  EXPECT_TRUE(RunUntil([&] { return JournalCount("Disconnected") >= 2 && !form->comport().Active(); }));
  EXPECT_EQ(form->clock().PendingCommand, kDutyPass);
  EXPECT_NE(phone->Transcript().find("host opened the device"), std::string::npos);
}

TEST_F(PollingTest, OffLineConnectRetriesWhenThePhoneDoesNotAnswer) {
  Start("AutoConnect=1\r\nOffLineMode=1\r\n");
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail AT silent")));
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail E0 silent")));
  // Each on-demand handshake waits 10 ticks for a reply and 10 for ATE0;
  // then the connect is posted again.
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TimeOut Rx Done") >= 4; }, 40)) << Journal();
  EXPECT_GE(JournalCount("COM1 19200"), 2u);
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("unfail")));
  EXPECT_TRUE(RunUntil([this] { return JournalHas("SMS Memory Select:"); }, 30));
}

TEST_F(PollingTest, VanishedDeviceShowsConnectionLostAndStopsTheCycle) {
  Start();
  Connect();
  phone->Control("vanish");
  ASSERT_TRUE(RunUntil([this] { return !form->comport().Active(); }));
  ASSERT_TRUE(RunUntil([this] { return form->tray().Hint() == QStringLiteral("Connection Lost"); }));
  EXPECT_EQ(form->tray().Index(), 3u);
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(form->clock().PendingCommand, 0);
  EXPECT_FALSE(JournalHas("Connection Lost"));  // the tray only
  EXPECT_TRUE(JournalHas("Port COM1 (" + phone->LinkPath() + "): Error calling WaitCommEvent (9907")) << Journal();
}

TEST_F(PollingTest, DisconnectInThePassIsCarriedOutAfterThePass) {
  Start();
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CMGL silent")));
  bool after = false;
  form->cycle().duties.listSMS = [&] {
    QTimer::singleShot(400, form.get(), [this] { form->ui().B_disconnect->click(); });
    EXPECT_FALSE(form->dialogue().SendCommand("AT+CMGL=4\r"));
    after = true;
  };
  form->ui().sb_listSMS->click();
  ASSERT_TRUE(RunUntil([&] { return after; }));
  // The abort ends the wait before a tick comes; the pass must not post its
  // next pass over the request.
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Disconnected"); }));
  EXPECT_FALSE(form->comport().Active());
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(form->clock().PendingCommand, 0);
}

TEST_F(PollingTest, ExitDuringAPassEndsThePassAndClosesTheWindow) {
  Start();
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CMGL silent")));
  int commandsAfterExit = 0;
  form->cycle().duties.listSMS = [&] {
    QTimer::singleShot(400, form.get(), [this] { form->ui().b_exit->click(); });
    EXPECT_FALSE(form->dialogue().SendCommand("AT+CMGL=4\r"));
    // The rest of the pass runs without waiting for the stopped timer.
    if (!form->dialogue().SendCommand("AT+CMGD=1\r")) ++commandsAfterExit;
  };
  form->ui().sb_listSMS->click();
  ASSERT_TRUE(RunUntil([&] { return windowClosed && commandsAfterExit == 1; })) << Journal();
  EXPECT_FALSE(form->timer1()->isActive());
  EXPECT_FALSE(form->comport().Active());
  EXPECT_TRUE(JournalHas("Disconnected"));
}

// Connect pressed while the manual send waits for the phone: the send is
// not disturbed by a nested connect, runs once (its button is still down
// meanwhile), and the connect follows when the pass has ended.
TEST_F(PollingTest, AConnectAskedForDuringASendWaitsUntilThePassHasEnded) {
  Start();
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("latency 300")));
  auto real = form->cycle().duties.SendSMS;
  int sends = 0;
  size_t connectsWhenSent = 0;
  form->cycle().duties.SendSMS = [&](const std::string& number, const std::string& body) {
    ++sends;
    QTimer::singleShot(0, form.get(), [this] { form->ui().sb_connect->click(); });
    int rc = real(number, body);
    connectsWhenSent = JournalCount("SMS Memory Select:");
    return rc;
  };
  form->ui().ed_totel->setText(QStringLiteral("12345"));
  form->ui().Ed_smsbody->setText(QStringLiteral("Hi"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return JournalCount("SMS Memory Select:") >= 2; }, 60)) << Journal();
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(connectsWhenSent, 1u);
  EXPECT_EQ(phone->Submitted().size(), 1u);
  EXPECT_EQ(JournalCount("Send errorlevel(bytes):2"), 1u);
  EXPECT_EQ(form->clock().PendingCommand, kDutyPass);
}

TEST_F(PollingTest, RingFloodAndGarbageDoNotStopTheDialogue) {
  Start("", {"--ring-interval", "100"});
  Connect();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("ring +4915112345678")));
  ASSERT_TRUE(RunUntil([this] { return form->dialogue().RingFlag; }));
  form->clock().PendingCommand = 0;
  EXPECT_TRUE(form->dialogue().SendCommand("AT+CGMI\r"));
  phone->Control("ring-stop");
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone->Control("fail +CGMM reply \\x00\\x1b\\xff\\xfe\\r\\n")));
  EXPECT_TRUE(form->dialogue().SendCommand("AT+CGMM\r"));
  EXPECT_FALSE(form->dialogue().OkFlag);
  EXPECT_TRUE(form->comport().Active());
}

}  // namespace
