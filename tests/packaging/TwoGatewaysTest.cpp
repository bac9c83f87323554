// Two gateways side by side, as two instances of the service run them: each
// in its own working directory with its own configuration, both calling
// their port COM1, each mapped by [Ports] to its own phone. Neither may talk
// to the other's phone, and stopping one must leave the other working.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "TempDir.h"

namespace {

// `pdulink --headless gw.ini` in its own directory.
struct Gateway : pdulink::test::Child {
  explicit Gateway(const std::string& dir) : Child({PDULINK_BIN, "--headless", "gw.ini"}, dir) {}
  const std::string& Text() const { return outText; }
  // Exit status, or -1 when it does not end in time.
  int Stop(int signal) {
    if (signal) ::kill(pid, signal);
    return Wait(30);
  }
};

TEST(TwoGateways, EachTalksToItsOwnPhoneAndOutlivesTheOther) {
  pdulink::test::TempDir tmp("pdulink-two");
  pdulink::test::PhoneProcess phone1, phone2;
  ASSERT_TRUE(phone1.Started()) << phone1.Error();
  ASSERT_TRUE(phone2.Started()) << phone2.Error();
  ASSERT_TRUE(phone1.Ok(phone1.Control("identity imei 111111111111119")));
  ASSERT_TRUE(phone2.Ok(phone2.Control("identity imei 222222222222228")));

  const std::string dir1 = tmp.Path() + "/modem1", dir2 = tmp.Path() + "/modem2";
  ASSERT_EQ(::mkdir(dir1.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(dir2.c_str(), 0700), 0);
  std::ofstream(dir1 + "/gw.ini") << "[Main]\nComPort=1\nBaudRate=115200\n[Ports]\nCOM1=" << phone1.LinkPath() << "\n";
  std::ofstream(dir2 + "/gw.ini") << "[Main]\nComPort=1\nBaudRate=115200\n[Ports]\nCOM1=" << phone2.LinkPath() << "\n";

  Gateway gw1(dir1), gw2(dir2);
  ASSERT_GT(gw1.pid, 0);
  ASSERT_GT(gw2.pid, 0);
  gw1.Type("/connect");
  gw2.Type("/connect");
  ASSERT_TRUE(gw1.WaitFor("SMS Memory Select:")) << gw1.Text();
  ASSERT_TRUE(gw2.WaitFor("SMS Memory Select:")) << gw2.Text();

  // The same port name, two devices: each reads its own phone's IMEI.
  gw1.Type("AT+CGSN");
  gw2.Type("AT+CGSN");
  ASSERT_TRUE(gw1.WaitFor("111111111111119")) << gw1.Text();
  ASSERT_TRUE(gw2.WaitFor("222222222222228")) << gw2.Text();
  EXPECT_EQ(gw1.Text().find("222222222222228"), std::string::npos);
  EXPECT_EQ(gw2.Text().find("111111111111119"), std::string::npos);
  EXPECT_EQ(phone1.Transcript().find("AT+CGSN"), phone1.Transcript().rfind("AT+CGSN"))
      << "phone 1 got a command twice:\n" << phone1.Transcript();

  // Stopping the first (as systemctl stop does) leaves the second at work.
  EXPECT_EQ(gw1.Stop(SIGTERM), 0) << gw1.Text();
  EXPECT_NE(gw1.Text().find(" Disconnected"), std::string::npos) << gw1.Text();
  const size_t mark = gw2.Text().size();
  gw2.Type("AT+CSQ");
  EXPECT_TRUE(gw2.WaitFor("+CSQ:", 30, mark)) << gw2.Text();
  gw2.Type("/exit");
  EXPECT_EQ(gw2.Stop(0), 0) << gw2.Text();
}

// Two gateways started from one working directory would share its records
// of messages in flight, owed and sent: the second refuses with one line and
// ends (status 3); so does a second one joining parts in the same log
// directory. Once the first ends, a gateway starts there again.
TEST(TwoGateways, SecondGatewayInTheSameDirectoryRefusesToStart) {
  pdulink::test::TempDir tmp("pdulink-two-same");
  const std::string dir = tmp.Path() + "/modem", other = tmp.Path() + "/other", logs = tmp.Path() + "/logs";
  for (const std::string& d : {dir, other, logs}) ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
  std::ofstream(dir + "/gw.ini") << "[Main]\nComPort=1\nJoinParts=1\nLogDir=" << logs << "\n";
  std::ofstream(other + "/gw.ini") << "[Main]\nComPort=1\nJoinParts=1\nLogDir=" << logs << "\n";
  Gateway first(dir);
  ASSERT_GT(first.pid, 0);
  first.Type("/help");
  ASSERT_TRUE(first.WaitFor("/list")) << first.Text();

  Gateway second(dir);
  EXPECT_EQ(second.Stop(0), 3) << second.Text();
  EXPECT_NE(second.Text().find("Another pdulink gateway works in " + dir + ": this one does not start"),
            std::string::npos)
      << second.Text();
  Gateway joining(other);
  EXPECT_EQ(joining.Stop(0), 3) << joining.Text();
  EXPECT_NE(joining.Text().find("Another pdulink gateway joins long messages in " + logs + ": this one does not start"),
            std::string::npos)
      << joining.Text();

  first.Type("/exit");
  EXPECT_EQ(first.Stop(0), 0) << first.Text();
  Gateway again(dir);
  again.Type("/help");
  EXPECT_TRUE(again.WaitFor("/list")) << again.Text();
  again.Type("/exit");
  EXPECT_EQ(again.Stop(0), 0) << again.Text();
}

}  // namespace
