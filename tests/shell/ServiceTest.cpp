// The program under a service manager: readiness, status and watchdog pings
// over a notify socket the test binds, as systemd does for Type=notify.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "TempDir.h"

namespace {

using pdulink::test::Child;
using Clock = std::chrono::steady_clock;

// The service manager's end: a datagram socket that collects notifications.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool Bound() const { return bound_; }
  // Every notification received so far (one datagram each).
  const std::vector<std::string>& Read() {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0) got_.emplace_back(buf, static_cast<size_t>(n));
    return got_;
  }
  size_t Count(const std::string& field) {
    size_t count = 0;
    for (const std::string& d : Read())
      if (("\n" + d + "\n").find("\n" + field + "\n") != std::string::npos) ++count;
    return count;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> got_;
};

// Pumps the child's output until pred holds or seconds pass.
template <typename Pred>
bool PumpUntil(Child& p, Pred pred, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (!pred()) {
    if (Clock::now() > end) return false;
    p.Pump(100);
  }
  return true;
}

TEST(ServiceTest, ReadyThenWatchdogPingsThatStopWhileThePhoneIsSilent) {
  pdulink::test::TempDir tmp("pdulink-service");
  const std::string dir = tmp.Path();
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  NotifySocket notify(dir + "/notify");
  ASSERT_TRUE(notify.Bound());
  std::ofstream(dir + "/gw.ini") << "[Main]\r\nAutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nBatteryCheck=0\r\n"
                                    "ReplyTimeout=2\r\n[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir,
          {"NOTIFY_SOCKET=" + dir + "/notify", "WATCHDOG_USEC=4000000", "WATCHDOG_PID"});
  ASSERT_GT(p.pid, 0);
  ASSERT_TRUE(PumpUntil(p, [&] { return !notify.Read().empty(); }, 10)) << p.outText << p.errText;
  EXPECT_EQ(notify.Read()[0].rfind("READY=1\nSTATUS=", 0), 0u) << notify.Read()[0];
  ASSERT_TRUE(p.WaitFor("AutoReading Mode.", 30)) << p.outText;
  // The status names the connection once it is up; pings come every tick
  // while the phone answers (at least every half of the 4 s).
  auto connected = [&] {
    for (const std::string& d : notify.Read())
      if (d.find("STATUS=Connected to COM1 (" + phone.LinkPath() + ")") != std::string::npos) return true;
    return false;
  };
  ASSERT_TRUE(PumpUntil(p, connected, 5));
  const size_t before = notify.Count("WATCHDOG=1");
  ASSERT_TRUE(PumpUntil(p, [&] { return notify.Count("WATCHDOG=1") >= before + 2; }, 4));

  // The phone falls silent mid-command: once the 2-second reply timeout has
  // passed, no more pings.
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("fail + silent")));
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("fail E silent")));
  ASSERT_TRUE(p.WaitFor("TimeOut Rx Done", 10)) << p.outText;
  p.Pump(200);
  const size_t pings = notify.Count("WATCHDOG=1");
  const auto quiet = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < quiet) p.Pump(100);
  EXPECT_EQ(notify.Count("WATCHDOG=1"), pings) << p.outText.substr(p.outText.find("TimeOut Rx Done") - 300);

  // It answers again: the pings come back.
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("unfail")));
  EXPECT_TRUE(PumpUntil(p, [&] { return notify.Count("WATCHDOG=1") > pings; }, 10)) << p.outText;

  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(p.Wait(30), 0) << p.errText;
  bool stopping = false;
  for (const std::string& d : notify.Read()) stopping = stopping || d.rfind("STOPPING=1", 0) == 0;
  EXPECT_TRUE(stopping);
}

TEST(ServiceTest, WithoutNotifySocketNothingIsSent) {
  // Not under systemd: the program runs as before (the socket stays empty).
  pdulink::test::TempDir tmp("pdulink-service");
  const std::string dir = tmp.Path();
  NotifySocket notify(dir + "/notify");
  std::ofstream(dir + "/gw.ini") << "[Main]\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir, {"NOTIFY_SOCKET", "WATCHDOG_USEC=4000000"});
  for (int i = 0; i < 20; ++i) p.Pump(100);
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0);
  EXPECT_TRUE(notify.Read().empty());
}

}  // namespace

namespace {

TEST(ServiceTest, SimBusyAtPowerOnIsAskedAgainUntilReady) {
  pdulink::test::TempDir tmp("pdulink-service");
  const std::string dir = tmp.Path();
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  std::ofstream(dir + "/gw.ini") << "[Main]\r\nAutoConnect=1\r\nAutoRead=1\r\nBatteryCheck=0\r\n[Ports]\r\nCOM1="
                                 << phone.LinkPath() << "\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir);
  // Powered on as the connect starts: the SIM answers "busy" for 5 seconds.
  ASSERT_TRUE(p.WaitFor("COM1 19200", 30)) << p.outText << p.errText;
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("sim busy=5000")));
  ASSERT_TRUE(p.WaitFor("AutoReading Mode.", 30)) << p.outText << p.errText;
  EXPECT_NE(p.outText.find(" SIM not ready (+CMS ERROR: 314): asking again in 1 s\n"), std::string::npos) << p.outText;
  EXPECT_NE(p.outText.find(" SIM not ready (+CMS ERROR: 314): asking again in 2 s\n"), std::string::npos) << p.outText;
  // Connected once ready, with the service centre read from the SIM.
  EXPECT_NE(p.outText.find("+CSCA: \"+12345678901\",145"), std::string::npos) << p.outText;
  EXPECT_NE(p.outText.find(" SMS Memory Select:MT\n"), std::string::npos);
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0);
}

}  // namespace

namespace {

// A gateway that reads every second from the simulated phone.
struct ReadingGateway {
  pdulink::test::TempDir tmp{"pdulink-service"};
  const std::string dir = tmp.Path();
  pdulink::test::PhoneProcess phone;
  std::unique_ptr<Child> p;

  bool Start(const std::string& extra = "") {
    if (!phone.Started()) return false;
    std::ofstream(dir + "/gw.ini") << "[Main]\r\nAutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nBatteryCheck=0\r\n" << extra
                                      << "LogDir=" << dir << "\r\n[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
    p = std::make_unique<Child>(std::vector<std::string>{PDULINK_BIN, "--headless", "gw.ini"}, dir);
    return p->WaitFor("AutoReading Mode.", 30);
  }
  // A message delivered now is listed and archived by the next turn.
  bool Receives(const std::string& text) {
    if (!pdulink::test::PhoneProcess::Ok(phone.Control("deliver +4915112345678 " + text))) return false;
    return p->WaitFor(text, 15);
  }
};

TEST(ServiceTest, DeviceThatGoesAndComesBackUnderItsLinkIsReopened) {
  ReadingGateway g;
  ASSERT_TRUE(g.Start()) << g.phone.Error() << (g.p ? g.p->outText + g.p->errText : "");
  // A USB reset: the device node goes, then a new one comes behind the same
  // link (as /dev/serial/by-id/ names it).
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control("hangup-line")));
  ASSERT_TRUE(g.p->WaitFor("Error calling WaitCommEvent", 15)) << g.p->outText;
  for (int i = 0; i < 20; ++i) g.p->Pump(100);  // gone for a while: nothing to reopen
  EXPECT_EQ(g.p->outText.find("connecting again"), std::string::npos);
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control("replug")));
  ASSERT_TRUE(g.p->WaitFor("Port COM1 (" + g.phone.LinkPath() + "): device back, connecting again\n", 10))
      << g.p->outText;
  const size_t back = g.p->outText.find("device back");
  ASSERT_TRUE(g.p->WaitFor("AutoReading Mode.", 15, back)) << g.p->outText.substr(back);
  EXPECT_TRUE(g.Receives("after-the-reset")) << g.p->outText.substr(back);
  g.p->Type("/exit");
  EXPECT_EQ(g.p->Wait(30), 0);
}

// A phone that restarts says so (RDY) and forgets its settings: with
// indications on, it is set up again and an indicated message is archived.
TEST(ServiceTest, PhoneThatSaysRdyIsSetUpAgain) {
  ReadingGateway g;
  ASSERT_TRUE(g.Start("Indications=1\r\n")) << g.phone.Error() << (g.p ? g.p->outText + g.p->errText : "");
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control("restart")));
  ASSERT_TRUE(g.p->WaitFor("phone restarted (power-on line), connecting again\n", 10)) << g.p->outText;
  const size_t again = g.p->outText.find("connecting again");
  ASSERT_TRUE(g.p->WaitFor("New-message indications: AT+CNMI=", 15, again)) << g.p->outText.substr(again);
  EXPECT_TRUE(g.Receives("after-the-power-cycle")) << g.p->outText.substr(again);
  EXPECT_EQ(g.p->outText.find("connecting again", again + 1), std::string::npos) << g.p->outText.substr(again);
  g.p->Type("/exit");
  EXPECT_EQ(g.p->Wait(30), 0);
}

// SimCheck finds the phone reporting its registration: its lines are
// unsolicited, so a power-on line among them is seen too.
TEST(ServiceTest, PhoneWithRegistrationReportsIsSetUpAgainAfterItsRdy) {
  ReadingGateway g;
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control("fail +CREG? reply \\r\\n+CREG: 1,1\\r\\n\\r\\nOK\\r\\n")));
  ASSERT_TRUE(g.Start("SimCheck=1\r\n")) << g.phone.Error() << (g.p ? g.p->outText + g.p->errText : "");
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control("restart")));
  ASSERT_TRUE(g.p->WaitFor("phone restarted (power-on line), connecting again\n", 10)) << g.p->outText;
  const size_t again = g.p->outText.find("connecting again");
  ASSERT_TRUE(g.p->WaitFor("AutoReading Mode.", 15, again)) << g.p->outText.substr(again);
  EXPECT_TRUE(g.Receives("after-the-rdy"));
  g.p->Type("/exit");
  EXPECT_EQ(g.p->Wait(30), 0);
}

// With indications on, a listing answered in text mode shows a phone that
// restarted into its power-on settings: one line, set up again.
TEST(ServiceTest, PhoneBackInTextModeIsSetUpAgain) {
  ReadingGateway g;
  ASSERT_TRUE(g.Start("Indications=1\r\n")) << g.phone.Error() << (g.p ? g.p->outText + g.p->errText : "");
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(g.phone.Control(
      "fail times=1 +CMGL reply \\r\\n+CMGL: 1,\\\"REC UNREAD\\\",\\\"+4915112345678\\\",,\\\"26/12/08,10:00:00+04\\\"\\r\\nHi\\r\\n\\r\\nOK\\r\\n")));
  g.p->Type("/list 4");
  ASSERT_TRUE(g.p->WaitFor("phone left PDU mode (restarted), connecting again\n", 10)) << g.p->outText;
  const size_t again = g.p->outText.find("connecting again");
  ASSERT_TRUE(g.p->WaitFor("New-message indications: AT+CNMI=", 15, again)) << g.p->outText.substr(again);
  EXPECT_TRUE(g.Receives("after-text-mode"));
  EXPECT_EQ(g.p->outText.find("connecting again", again + 1), std::string::npos) << g.p->outText.substr(again);
  g.p->Type("/exit");
  EXPECT_EQ(g.p->Wait(30), 0);
}

TEST(ServiceTest, PhoneThatEchoesAgainIsSetUpAgain) {
  ReadingGateway g;
  ASSERT_TRUE(g.Start()) << g.phone.Error() << (g.p ? g.p->outText + g.p->errText : "");
  // Its echo back at the power-on value, as after a restart.
  g.p->Type("ATE1");
  ASSERT_TRUE(g.p->WaitFor("phone echoes again (restarted), connecting again\n", 10)) << g.p->outText;
  const size_t again = g.p->outText.find("connecting again");
  ASSERT_TRUE(g.p->WaitFor("AutoReading Mode.", 15, again)) << g.p->outText.substr(again);
  EXPECT_EQ(g.p->outText.find("connecting again", again + 1), std::string::npos) << g.p->outText.substr(again);
  EXPECT_TRUE(g.Receives("after-the-restart"));
  g.p->Type("/exit");
  EXPECT_EQ(g.p->Wait(30), 0);
}

}  // namespace

namespace {

TEST(ServiceTest, StoreAlarmSaysOnceWhenTheStoreFillsAndAtOnceWhenFull) {
  pdulink::test::TempDir tmp("pdulink-service");
  const std::string dir = tmp.Path();
  pdulink::test::PhoneProcess phone({"--memories", "SM", "--sm-capacity", "10"});
  ASSERT_TRUE(phone.Started()) << phone.Error();
  for (int i = 0; i < 9; ++i)
    ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("deliver +4915112345678 m" + std::to_string(i))));
  std::ofstream(dir + "/alarm.sh") << "#!/bin/sh\necho \"$1 $2\" >> " << dir << "/alarms\n";
  std::filesystem::permissions(dir + "/alarm.sh", std::filesystem::perms::owner_all);
  std::ofstream(dir + "/gw.ini") << "[Main]\r\nAutoConnect=1\r\nBatteryCheck=0\r\nStoreAlarm=80\r\nOnAlarm=" << dir
                                 << "/alarm.sh\r\n[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir);
  ASSERT_TRUE(p.WaitFor("SMS Memory Select:SM", 30)) << p.outText << p.errText;
  // Two listings at 9 of 10: one line.
  for (int turn = 1; turn <= 2; ++turn) {
    p.Type("/list 4");
    size_t from = 0;
    for (int seen = 0; seen < turn; ++seen) {
      ASSERT_TRUE(p.WaitFor("N Msg = 9\n", 15, from)) << p.outText;
      from = p.outText.find("N Msg = 9\n", from) + 1;
    }
  }
  const std::string reached = " Message store SM: 9 of 10 used (90 %), StoreAlarm=80 reached\n";
  ASSERT_NE(p.outText.find(reached), std::string::npos) << p.outText;
  EXPECT_EQ(p.outText.find(reached, p.outText.find(reached) + 1), std::string::npos);
  p.Type("/status");
  ASSERT_TRUE(p.WaitFor("Store: SM 9 of 10 used (90 %)\n", 10)) << p.outText;
  EXPECT_NE(p.outText.find("Last answer: AT+CMGL=4, "), std::string::npos) << p.outText;

  // The tenth message fills it: said at once, with its hook.
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("deliver +4915112345678 m9")));
  p.Type("/list 4");
  ASSERT_TRUE(p.WaitFor(" Message store full (10 of 10 used): no message can arrive until it is emptied\n", 15))
      << p.outText;
  const auto end = Clock::now() + std::chrono::seconds(10);
  std::string alarms;
  while (alarms.find("store-full") == std::string::npos && Clock::now() < end) {
    p.Pump(100);
    std::ifstream in(dir + "/alarms");
    alarms.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(alarms, "store 90\nstore-full 10 of 10 used\n");
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0);
}

}  // namespace
