// The program run as a gateway on a server: no display, journal on standard
// output, message boxes on standard error, SIGTERM acts like Exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Console.h"
#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "TempDir.h"

namespace {

using pdulink::test::Child;

class HeadlessTest : public ::testing::Test {
 protected:
  pdulink::test::TempDir tmp_{"pdulink-headless"};
  const std::string dir_ = tmp_.Path();
};

TEST_F(HeadlessTest, JournalOnStdoutAndSigtermExitsLikeTheExitButton) {
  // (A port number out of range ends headless start-up: see below.)
  std::ofstream(dir_ + "/gw.ini") << "[Main]\r\nComPort=1\r\nAutoConnect=1\r\n"
                                     "[Ports]\r\nCOM1=" << dir_ << "/no-such-device\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir_);
  ASSERT_GT(p.pid, 0);
  ASSERT_TRUE(p.WaitFor("AutoConnecting...", 30)) << p.outText << p.errText;
  // The connect step runs at the third tick and cannot open the port.
  ASSERT_TRUE(p.WaitFor("COM1 19200", 30)) << p.outText;
  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(p.Wait(30), 0) << p.outText << p.errText;
  EXPECT_NE(p.outText.find(" Disconnected\n"), std::string::npos) << p.outText;
  // Every journal line carries the date-and-time prefix.
  size_t at = p.outText.find("AutoConnecting...");
  ASSERT_GE(at, 20u);
  EXPECT_EQ(p.outText[at - 1], ' ');
  EXPECT_EQ(p.outText[at - 18], '.');
}

// A service manager must see a configuration that cannot work: headless
// start-up ends at once with status 78 and one line on standard error that
// names the file (and the key).
TEST_F(HeadlessTest, MissingUnreadableOrInvalidConfigEndsWithStatus78) {
  const std::string here = std::filesystem::canonical(dir_).string();
  auto run = [&](const std::vector<std::string>& args) {
    auto start = std::chrono::steady_clock::now();
    Child p(args, dir_);
    int status = p.Wait(10);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 2000) << p.errText;
    EXPECT_EQ(std::count(p.errText.begin(), p.errText.end(), '\n'), 1) << p.errText;
    return std::make_pair(status, p.errText);
  };
  auto [missing, missingErr] = run({PDULINK_BIN, "--headless"});
  EXPECT_EQ(missing, 78);
  EXPECT_EQ(missingErr, "INI file not exist:" + here + "/pdulink.ini\n");

  std::filesystem::create_directory(dir_ + "/dir.ini");
  auto [unreadable, unreadableErr] = run({PDULINK_BIN, "--headless", "dir.ini"});
  EXPECT_EQ(unreadable, 78);
  EXPECT_EQ(unreadableErr, "INI file not readable:" + here + "/dir.ini\n");

  const std::pair<const char*, const char*> cases[] = {
      {"ComPort=12", "ComPort=12: out of range (1 to 10)"},
      {"ComPort=ttyUSB0", "ComPort=ttyUSB0: unknown port (a number 1 to 10)"},
      {"BaudRate=4800", "BaudRate=4800: not offered"},
      {"Pin=12", "Pin=12: not 4 to 8 digits"},
      {"StoreAlarm=120", "StoreAlarm=120: out of range (percent, 0 to 100)"},
      {"HookTimeout=0", "HookTimeout=0: not seconds (1 or more)"},
  };
  for (const auto& [line, said] : cases) {
    std::ofstream(dir_ + "/bad.ini") << "[Main]\r\nAutoConnect=1\r\n" << line << "\r\n";
    auto [status, err] = run({PDULINK_BIN, "--headless", "bad.ini"});
    EXPECT_EQ(status, 78) << line;
    EXPECT_EQ(err.rfind("pdulink: " + here + "/bad.ini: " + said, 0), 0u) << err;
  }
}

TEST(Console, LinesStandForTheButtons) {
  EXPECT_EQ(ParseConsoleLine("/connect"), ConsoleAction::Connect);
  EXPECT_EQ(ParseConsoleLine("  /disconnect\r"), ConsoleAction::Disconnect);
  EXPECT_EQ(ParseConsoleLine("/abort"), ConsoleAction::Abort);
  EXPECT_EQ(ParseConsoleLine("/exit"), ConsoleAction::Exit);
  EXPECT_EQ(ParseConsoleLine("/what"), ConsoleAction::Help);
  EXPECT_EQ(ParseConsoleLine("AT+CSQ"), ConsoleAction::Command);
  EXPECT_EQ(ParseConsoleLine(" \t "), ConsoleAction::None);
}

TEST_F(HeadlessTest, PersonDrivesTheGatewayFromStandardInput) {
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  std::ofstream(dir_ + "/gw.ini") << "[Main]\r\n[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir_);
  ASSERT_GT(p.pid, 0);
  p.Type("/connect");
  ASSERT_TRUE(p.WaitFor("SMS Memory Select:MT", 30)) << p.outText << p.errText;
  p.Type("AT+CSQ");
  ASSERT_TRUE(p.WaitFor("+CSQ:", 30)) << p.outText;
  EXPECT_NE(p.outText.find(" >AT+CSQ\n"), std::string::npos);
  p.Type("/disconnect");
  ASSERT_TRUE(p.WaitFor(" Disconnected\n", 30)) << p.outText;
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0) << p.outText << p.errText;
}

TEST_F(HeadlessTest, VersionAndHelp) {
  Child v({PDULINK_BIN, "--version"}, dir_);
  EXPECT_EQ(v.Wait(30), 0);
  EXPECT_EQ(v.outText, "pdulink " PDULINK_VERSION_TEXT "\n");
  Child h({PDULINK_BIN, "--help"}, dir_);
  EXPECT_EQ(h.Wait(30), 0);
  EXPECT_NE(h.outText.find("--headless"), std::string::npos);
  Child bad({PDULINK_BIN, "--bogus"}, dir_);
  EXPECT_EQ(bad.Wait(30), 2);
  EXPECT_NE(bad.errText.find("--bogus"), std::string::npos);
}

TEST(Console, StatusBlockNamesEveryFactAndWhatWasNotChecked) {
  EXPECT_EQ(ParseConsoleLine(" /status "), ConsoleAction::Status);
  StatusFacts f;
  f.port = "COM1";
  f.device = "/dev/ttyS0";
  f.baud = 19200;
  f.connection = "not connected";
  EXPECT_EQ(StatusBlock(f),
            "Status:\nPort: COM1 (/dev/ttyS0), 19200 baud\nConnection: not connected\nSIM: not checked\n"
            "Network: not checked\nSignal: not checked\nMemory: none\nSince start: received 0, sent 0, errors 0\n"
            "Send queue: 0");
  f.connection = "connected";
  f.offline = true;
  f.sim = "ready";
  f.network = "registered (roaming)";
  f.signal = "-71 dBm (21/31), BER 0";
  f.memory = "MT";
  f.received = 3;
  f.sent = 2;
  f.errors = 1;
  std::string block = StatusBlock(f);
  EXPECT_NE(block.find("\nConnection: connected (off-line mode)\nSIM: ready\nNetwork: registered (roaming)\n"
                       "Signal: -71 dBm (21/31), BER 0\nMemory: MT\nSince start: received 3, sent 2, errors 1"),
            std::string::npos)
      << block;
  EXPECT_EQ(block.find("Reports:"), std::string::npos);  // without MatchReports
  f.reports = true;
  f.delivered = 4;
  f.undeliverable = 1;
  f.awaiting = 2;
  block = StatusBlock(f);
  EXPECT_EQ(block.substr(block.find("\nSend queue: ")), "\nSend queue: 0\nReports: delivered 4, undeliverable 1, awaiting 2");
}

TEST_F(HeadlessTest, StatusCommandReportsTheConnectedPhone) {
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("creg 5")));
  std::ofstream(dir_ + "/gw.ini") << "[Main]\r\nSimCheck=1\r\nSignalInt=2\r\n[Ports]\r\nCOM1=" << phone.LinkPath()
                                  << "\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, dir_);
  ASSERT_GT(p.pid, 0);
  p.Type("/status");
  ASSERT_TRUE(p.WaitFor("Since start:", 30)) << p.outText << p.errText;
  EXPECT_NE(p.outText.find("Connection: not connected\nSIM: not checked\n"), std::string::npos) << p.outText;
  p.Type("/connect");
  ASSERT_TRUE(p.WaitFor("Signal: -71 dBm", 30)) << p.outText << p.errText;
  p.Type("/status");
  ASSERT_TRUE(p.WaitFor("Memory: MT", 30)) << p.outText;
  EXPECT_NE(p.outText.find("Port: COM1 (" + phone.LinkPath() + "), 19200 baud\nConnection: connected\nSIM: ready\n"
                           "Network: registered (roaming)\nSignal: -71 dBm (21/31), BER unknown\nMemory: MT\n"
                           "Since start: received 0, sent 0, errors 0"),
            std::string::npos)
      << p.outText;
  p.Type("/help");
  ASSERT_TRUE(p.WaitFor("/status", 30));
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0) << p.outText << p.errText;
}

TEST_F(HeadlessTest, QtOwnWarningsStayOffStandardErrorUnlessAskedFor) {
  // As under a service manager: no XDG_RUNTIME_DIR, which Qt warns about.
  std::ofstream(dir_ + "/gw.ini") << "[Main]\r\n";
  Child quiet({PDULINK_BIN, "--headless", "gw.ini"}, dir_, {"XDG_RUNTIME_DIR", "PDULINK_QT_DEBUG", "QT_LOGGING_RULES"});
  ASSERT_GT(quiet.pid, 0);
  quiet.Type("/exit");
  EXPECT_EQ(quiet.Wait(30), 0) << quiet.errText;
  EXPECT_EQ(quiet.errText, "");
  EXPECT_NE(quiet.outText.find(" Disconnected\n"), std::string::npos) << quiet.outText;

  Child asked({PDULINK_BIN, "--headless", "gw.ini"}, dir_, {"XDG_RUNTIME_DIR", "PDULINK_QT_DEBUG=1"});
  ASSERT_GT(asked.pid, 0);
  asked.Type("/exit");
  EXPECT_EQ(asked.Wait(30), 0) << asked.errText;
  EXPECT_NE(asked.errText.find("XDG_RUNTIME_DIR"), std::string::npos) << asked.errText;
}

TEST_F(HeadlessTest, CyrillicPathsReachTheJournalAndMessagesIntact) {
  // Paths come in the locale's encoding (UTF-8); inside they are cp1251,
  // and the terminal shows them as UTF-8 again.
  const std::string folder = dir_ + "/\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";  // "Папка"
  std::filesystem::create_directory(folder);
  Child missing({PDULINK_BIN, "--headless"}, folder);
  ASSERT_GT(missing.pid, 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (missing.errText.find("pdulink.ini") == std::string::npos && std::chrono::steady_clock::now() < end)
    missing.Pump(100);
  EXPECT_NE(missing.errText.find("INI file not exist:" + std::filesystem::canonical(folder).string() + "/pdulink.ini"),
            std::string::npos)
      << missing.errText;
  EXPECT_EQ(missing.Wait(30), 78);

  std::ofstream(folder + "/gw.ini") << "[Main]\r\n[Ports]\r\nCOM1=" << folder << "/\xD0\xBC\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBC\r\n";
  Child p({PDULINK_BIN, "--headless", "gw.ini"}, folder);
  ASSERT_GT(p.pid, 0);
  p.Type("/connect");
  ASSERT_TRUE(p.WaitFor("Error reopening Port", 30)) << p.outText << p.errText;
  EXPECT_NE(p.outText.find("Port COM1 (" + folder + "/\xD0\xBC\xD0\xBE\xD0\xB4\xD0\xB5\xD0\xBC): Error reopening Port (112, No such file or directory)"),
            std::string::npos)
      << p.outText;
  p.Type("/exit");
  EXPECT_EQ(p.Wait(30), 0);
}

TEST_F(HeadlessTest, SigtermWhileTheStartupBoxIsOpenEndsTheProgram) {
  // Window mode (Qt's offscreen platform) without a configuration file: the
  // "INI file not exist:" box holds start-up when the signal comes.
  Child p({PDULINK_BIN}, dir_, {"QT_QPA_PLATFORM=offscreen"});
  ASSERT_GT(p.pid, 0);
  for (int i = 0; i < 30; ++i) p.Pump(100);  // the box is up by now
  ASSERT_EQ(::waitpid(p.pid, nullptr, WNOHANG), 0) << "ended without the signal: " << p.errText;
  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(p.Wait(30), 0) << p.errText;
}

}  // namespace
