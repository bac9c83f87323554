// SIM PIN, network registration and the signal check against the simulated
// phone: opt-in, and with the keys absent the dialogue is the old one.
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>

#include "Connection.h"
#include "GatewayFixture.h"
#include "Lamp.h"

namespace {

using pdulink::test::PhoneProcess;

class SimTest : public GatewayTest {
 protected:
  size_t Sent(const std::string& line) const {
    auto r = Received();
    return static_cast<size_t>(std::count(r.begin(), r.end(), line));
  }
  void Phone(const std::string& command) { ASSERT_TRUE(PhoneProcess::Ok(phone->Control(command))) << command; }
  // Presses Connect and waits until the connect writes this line (count
  // times in all).
  void ConnectUntil(const std::string& line, size_t count = 1) {
    form->ui().sb_connect->click();
    ASSERT_TRUE(RunUntil([&] { return JournalCount(line) >= count; })) << Journal();
    ASSERT_TRUE(RunUntil([this] { return !form->ui().sb_connect->isChecked(); }));
  }
  // The journal positions of two lines are in this order.
  bool Before(const std::string& first, const std::string& second) const {
    std::string j = Journal();
    size_t a = j.find(first), b = j.find(second);
    return a != std::string::npos && b != std::string::npos && a < b;
  }
};

TEST_F(SimTest, DefaultConfigurationSendsExactlyTheOldLines) {
  Start();
  Connect();
  const uint32_t start = form->clock().SecondsCounter;
  RunUntil([&] { return PollClock::Elapsed(start, form->clock().SecondsCounter) >= 12; });
  std::vector<std::string> expected = {"AT\\r",       "AT\\r",       "ATE0\\r",           "AT+CGMI\\r",
                                       "AT+CGMM\\r",  "AT+CSCS=\"GSM\"\\r", "AT+CSCA?\\r", "AT+CPMS=?\\r",
                                       "AT+CPMS=MT\\r"};
  auto received = Received();
  if (received.size() > 1 && received[1] != "AT\\r") expected.erase(expected.begin() + 1);
  EXPECT_EQ(received, expected);
  EXPECT_FALSE(JournalHas("SIM"));
  EXPECT_FALSE(JournalHas("Network:"));
  EXPECT_FALSE(JournalHas("Signal:"));
  EXPECT_EQ(form->ui().l_signal->text(), QString());
  EXPECT_EQ(form->tray().ToolTip(), form->tray().Hint());
}

TEST_F(SimTest, PinAcceptedOnceTheSimHasStartedAndNeverJournalled) {
  Start("Pin=8642\r\n");
  Phone("sim pin=8642 delay=400 pin");
  Connect();
  EXPECT_TRUE(Before("SIM PIN accepted", "Network: registered (home)")) << Journal();
  EXPECT_TRUE(Before("Network: registered (home)", "SMS Memory Select:MT")) << Journal();
  EXPECT_EQ(form->clock().PendingCommand, kDutyPass);
  EXPECT_FALSE(JournalHas("8642"));
  EXPECT_EQ(Sent("AT+CPIN=\"8642\"\\r"), 1u);

  // ATE0, the state, the PIN, the state again until the SIM is ready (it
  // answers busy for a while), the network, then identification.
  auto r = Received();
  auto at = std::find(r.begin(), r.end(), "ATE0\\r");
  ASSERT_NE(at, r.end());
  ASSERT_GE(r.end() - at, 6);
  EXPECT_EQ(at[1], "AT+CPIN?\\r");
  EXPECT_EQ(at[2], "AT+CPIN=\"8642\"\\r");
  auto creg = std::find(at, r.end(), "AT+CREG?\\r");
  ASSERT_NE(creg, r.end());
  EXPECT_GE(creg - at, 5) << "the SIM was asked again while busy";
  EXPECT_TRUE(std::all_of(at + 3, creg, [](const std::string& l) { return l == "AT+CPIN?\\r"; }));
  EXPECT_EQ(creg[1], "AT+CGMI\\r");
  EXPECT_EQ(form->state().SimState, "ready");
  EXPECT_EQ(form->state().NetworkState, "registered (home)");
}

TEST_F(SimTest, RejectedPinIsNeverSentAgainUntilAnotherIsSaved) {
  Start("SimCheck=1\r\nPin=9999\r\n");
  Phone("sim pin");
  ConnectUntil("SIM PIN rejected");
  ConnectUntil("SIM PIN rejected", 2);
  EXPECT_EQ(Sent("AT+CPIN=\"9999\"\\r"), 1u);
  EXPECT_EQ(Sent("AT+CGMI\\r"), 0u);
  EXPECT_NE(phone->Control("status").find("pin-attempts=2"), std::string::npos);
  EXPECT_EQ(form->ui().led_connect->Color(), LampColor::Yellow);

  // Saving the same PIN changes nothing.
  form->b_save_iniFileClick();
  ConnectUntil("SIM PIN rejected", 3);
  EXPECT_EQ(Sent("AT+CPIN=\"9999\"\\r"), 1u);

  // Typing another PIN is not enough; saving it is.
  Phone("sim pin=2580");
  form->ui().ed_pin->setText(QStringLiteral("2580"));
  ConnectUntil("SIM PIN rejected", 4);
  EXPECT_EQ(Sent("AT+CPIN=\"2580\"\\r"), 0u);
  form->b_save_iniFileClick();
  ConnectUntil("SMS Memory Select:MT");
  EXPECT_EQ(Sent("AT+CPIN=\"2580\"\\r"), 1u);
  EXPECT_TRUE(JournalHas("SIM PIN accepted"));
  EXPECT_FALSE(JournalHas("9999"));
  EXPECT_FALSE(JournalHas("2580"));
}

TEST_F(SimTest, SimThatWantsAPinWithoutOneConfigured) {
  Start("SimCheck=1\r\nAutoConnect=1\r\nAutoRead=1\r\n");
  Phone("sim pin");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("SIM asks for a PIN: set Pin in the configuration"); }))
      << Journal();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("Network:") == 0 && !form->ui().sb_connect->isChecked(); }));
  RunUntil([] { return false; }, 1);
  EXPECT_FALSE(JournalHas("AutoReading Mode.")) << Journal();  // the connect did not succeed
  EXPECT_EQ(Sent("AT+CPIN?\\r"), 1u);
  EXPECT_EQ(Sent("AT+CGMI\\r"), 0u);
  EXPECT_EQ(Received().back(), "AT+CPIN?\\r");
  EXPECT_EQ(form->state().SimState, "asks for a PIN");
}

TEST_F(SimTest, EchoPukPin2AndNoSimEachStopTheConnectWithTheirOwnLine) {
  Start("Pin=1234\r\n");
  Phone("sim pin");
  Phone("fail E0 error");  // echo stays on: the PIN would come back into the journal
  ConnectUntil("SIM PIN not sent: the phone echoes commands");
  EXPECT_NE(phone->Control("status").find("pin-attempts=3"), std::string::npos);
  Phone("unfail");
  Phone("sim puk");
  ConnectUntil("SIM asks for the PUK (SIM PUK): unlock it in a phone");
  Phone("sim pin2");
  ConnectUntil("SIM asks for PIN2 (SIM PIN2)");
  Phone("sim absent");
  Phone("fail times=1 +CPIN? cme 10");
  ConnectUntil("No SIM in the phone (+CME ERROR: 10)");
  Phone("fail times=1 +CPIN? reply \\r\\n+CPIN: NO SIM\\r\\n\\r\\nOK\\r\\n");
  ConnectUntil("No SIM in the phone (NO SIM)");
  ConnectUntil("SIM not ready (ERROR)");  // AT+CMEE=0: a plain ERROR
  EXPECT_EQ(Sent("AT+CPIN=\"1234\"\\r"), 0u);
  EXPECT_EQ(Sent("AT+CGMI\\r"), 0u);
  EXPECT_EQ(form->state().SimState, "not ready (ERROR)");
}

TEST_F(SimTest, SimThatNeverBecomesReadyGetsThePinOnce) {
  Start("Pin=1234\r\n");
  Phone("sim delay=600000 pin");
  ConnectUntil("SIM not ready after the PIN");
  EXPECT_EQ(Sent("AT+CPIN?\\r"), 1u + SimCheck::kReadyPolls);
  ConnectUntil("SIM not ready (ERROR)");  // still busy
  EXPECT_EQ(Sent("AT+CPIN=\"1234\"\\r"), 1u);
  EXPECT_EQ(Sent("AT+CGMI\\r"), 0u);
}

TEST_F(SimTest, GatewayThatIsNotRegisteredStillConnectsButSaysSo) {
  Start("SimCheck=1\r\n");
  Phone("creg 0");
  Connect();
  EXPECT_TRUE(Before("Network: not registered", "SMS Memory Select:MT")) << Journal();
  EXPECT_EQ(form->clock().PendingCommand, kDutyPass);
  EXPECT_EQ(Sent("AT+CPIN=\"1234\"\\r"), 0u);  // the SIM was ready
  Phone("creg 5");
  ConnectUntil("Network: registered (roaming)");
  Phone("fail times=1 +CREG? reply \\r\\n+CREG: 0,9x\\r\\n\\r\\nOK\\r\\n");
  ConnectUntil("Network: unknown (unreadable reply)");
  Phone("fail times=1 +CREG? error");
  ConnectUntil("Network: unknown (no reply)");
  EXPECT_EQ(form->state().NetworkState, "unknown (no reply)");
  EXPECT_EQ(JournalCount("SMS Memory Select:MT"), 4u);  // connected each time
}

TEST_F(SimTest, SignalCheckJournalsLabelsAndTooltips) {
  Start("SignalInt=1\r\n");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Signal: -71 dBm (21/31), BER unknown"); })) << Journal();
  EXPECT_EQ(form->ui().l_signal->text(), QStringLiteral("-71 dBm"));
  EXPECT_EQ(form->tray().ToolTip(), form->tray().Hint() + QStringLiteral("\nSignal: -71 dBm (21/31), BER unknown"));
  Phone("signal 99 99");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Signal: unknown (99)"); })) << Journal();
  EXPECT_EQ(form->ui().l_signal->text(), QStringLiteral("? dBm"));
  Phone("fail times=1 +CSQ reply \\r\\n+CSQ: abc\\r\\n\\r\\nOK\\r\\n");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Signal: unknown (unreadable reply)"); })) << Journal();
  EXPECT_EQ(form->state().SignalState, "unknown (unreadable reply)");
  EXPECT_EQ(Sent("AT+CPIN?\\r"), 0u);  // the SIM check is a key of its own

  // Off through its field: no more checks.
  form->ui().ed_signalInt->setText(QStringLiteral("0"));
  emit form->ui().ed_signalInt->editingFinished();
  EXPECT_EQ(form->state().SignalInterval, 0);
  RunUntil([] { return false; }, 1);
  size_t checks = Sent("AT+CSQ\\r");
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(Sent("AT+CSQ\\r"), checks);
}

}  // namespace
