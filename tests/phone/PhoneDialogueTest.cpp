// Dialogues with the real pdulink-phone over its pseudo-terminal, driven
// through the control channel the way end-to-end tests will drive it.
#include "DeliverCheck.h"
#include "PhoneProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <gtest/gtest.h>

namespace {

using pdulink::test::PhoneProcess;

// The host side of the line: opens the link like a serial port.
class Device {
 public:
  explicit Device(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~Device() {
    if (fd_ >= 0) close(fd_);
  }
  bool IsOpen() const { return fd_ >= 0; }
  void Send(const std::string& bytes) { ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd_, bytes.data(), bytes.size())); }
  // Reads until `marker` has arrived (or 10 s pass, which fails the caller's
  // comparison); `reads` counts the bursts.
  std::string ReadUntil(const std::string& marker, int* reads = nullptr) {
    std::string got;
    if (reads) *reads = 0;
    while (got.find(marker) == std::string::npos) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0 || !(p.revents & POLLIN)) break;
      char buf[4096];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
      if (reads) ++*reads;
    }
    return got;
  }
  std::string Command(const std::string& line, const std::string& until = "\r\nOK\r\n") {
    Send(line + "\r");
    return ReadUntil(until);
  }
  int Fd() const { return fd_; }

 private:
  int fd_;
};

std::vector<std::string> DumpLines(const PhoneProcess& phone, const std::string& what) {
  std::vector<std::string> lines;
  std::string reply = phone.Control("dump " + what), line;
  for (char c : reply) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line != "OK") lines.push_back(line);
    line.clear();
  }
  return lines;
}

TEST(PhoneDialogue, EchoAndRepliesSurviveCloseAndReopen) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  {
    Device dev(phone.LinkPath());
    ASSERT_TRUE(dev.IsOpen());
    EXPECT_EQ("AT\r\r\nOK\r\n", dev.Command("AT"));
    EXPECT_EQ("ATE0\r\r\nOK\r\n", dev.Command("ATE0"));
    EXPECT_EQ("\r\npdulink\r\n\r\nOK\r\n", dev.Command("AT+CGMI"));
  }
  Device again(phone.LinkPath());
  ASSERT_TRUE(again.IsOpen());
  EXPECT_EQ("\r\nOK\r\n", again.Command("AT"));  // echo stays off: the phone kept its state
  std::string log = phone.Transcript();
  EXPECT_NE(std::string::npos, log.find(" <- ATE0\\r\n")) << log;
  EXPECT_NE(std::string::npos, log.find(" -> ATE0\\r\n")) << log;  // the echo, in its own burst
}

TEST(PhoneDialogue, ListingMarksReceivedMessagesRead) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  ASSERT_EQ("stored SM 1\nOK\n", phone.Control("deliver time=050619222217+12 1098765432 hellohello"));
  ASSERT_EQ("stored SM 2\nOK\n", phone.Control("deliver MyBank Hi"));
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  std::string first = dev.Command("AT+CMGL=0");
  EXPECT_EQ(0u, first.find("\r\n+CMGL: 1,0,,27\r\n07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37\r\n"
                           "+CMGL: 2,0,,"))
      << first;
  EXPECT_EQ("\r\nOK\r\n", dev.Command("AT+CMGL=0"));
  std::string read = dev.Command("AT+CMGL=1");
  EXPECT_NE(std::string::npos, read.find("+CMGL: 2,1,,")) << read;
  auto lines = DumpLines(phone, "stored");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u, lines[1].find("stored SM 2 1 07912143658709F1040BD0CDBC30EC5E03")) << lines[1];
}

TEST(PhoneDialogue, SendingWithPromptLengthCheckAndEscape) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  EXPECT_EQ("\r\n> ", dev.Command("AT+CMGS=17", "> "));
  dev.Send("0011000B912143658709F10000A70361F118\x1A");
  EXPECT_EQ("\r\n+CMGS: 0\r\n\r\nOK\r\n", dev.ReadUntil("OK\r\n"));
  EXPECT_EQ("\r\n> ", dev.Command("AT+CMGS=16", "> "));
  dev.Send("0011000B912143658709F10000A70361F118\x1A");
  EXPECT_EQ("\r\n+CMS ERROR: 304\r\n", dev.ReadUntil("304\r\n"));
  EXPECT_EQ("\r\n> ", dev.Command("AT+CMGS=17", "> "));
  dev.Send("0011000B\x1B");
  EXPECT_EQ("\r\n> ", dev.Command("AT+CMGS=17", "> "));  // the cancelled PDU left no trace
  dev.Send("0011000B912143658709F10000A70361F118\x1A");
  EXPECT_EQ("\r\n+CMGS: 1\r\n\r\nOK\r\n", dev.ReadUntil("OK\r\n"));
  auto lines = DumpLines(phone, "submitted");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("submitted 1 0 0011000B912143658709F10000A70361F118", lines[0]);
  EXPECT_EQ("submitted 2 1 0011000B912143658709F10000A70361F118", lines[1]);
  EXPECT_NE(std::string::npos, phone.Transcript().find("<- 0011000B\\x1B")) << phone.Transcript();
}

TEST(PhoneDialogue, RingingUntilHungUp) {
  PhoneProcess phone({"--ring-interval", "200"});
  ASSERT_TRUE(phone.Started()) << phone.Error();
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  ASSERT_EQ("OK\n", phone.Control("ring +4930123"));
  EXPECT_EQ("\r\nRING\r\n\r\nRING\r\n", dev.ReadUntil("RING\r\n\r\nRING\r\n").substr(0, 16));
  std::string status = dev.Command("AT+CPAS;+CLCC");
  EXPECT_NE(std::string::npos, status.find("\r\n+CPAS: 3\r\n\r\n+CLCC: 1,1,4,0,0,\"+4930123\",145\r\n")) << status;
  dev.Command("ATH0");
  EXPECT_EQ("\r\n+CPAS: 0\r\n\r\nOK\r\n", dev.Command("AT+CPAS;+CLCC"));
}

TEST(PhoneDialogue, ChunkedRepliesArriveInSeveralReads) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  ASSERT_EQ("OK\n", phone.Control("chunks 16 50"));
  int reads = 0;
  dev.Send("AT+CPMS=?\r");
  std::string reply = dev.ReadUntil("\r\nOK\r\n", &reads);
  EXPECT_EQ("\r\n+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")\r\n\r\nOK\r\n", reply);
  EXPECT_GE(reads, 2);
  ASSERT_EQ("OK\n", phone.Control("chunks off"));
  dev.Send("AT+CPMS=?\r");
  EXPECT_EQ(reply, dev.ReadUntil("\r\nOK\r\n", &reads));
  EXPECT_EQ(1, reads);
}

TEST(PhoneDialogue, LongTextsArriveAsConcatenatedParts) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  std::string gsm;
  for (int i = 0; i < 20; ++i) gsm += "Part " + std::to_string(i % 10) + " ok ";  // 200 characters
  std::string cyrillic;
  for (int i = 0; i < 100; ++i) cyrillic += "\xD0\x96";
  ASSERT_EQ("stored SM 1\nstored SM 2\nOK\n", phone.Control("deliver ref=9 +4915112345678 " + gsm));
  ASSERT_EQ("stored ME 1\nstored ME 2\nOK\n", phone.Control("deliver mem=ME 1234 " + cyrillic));
  auto lines = DumpLines(phone, "stored");
  ASSERT_EQ(4u, lines.size());
  std::string text;
  std::u16string units;
  for (int i = 0; i < 4; ++i) {
    auto part = phonetest::ReadDeliver(lines[static_cast<std::size_t>(i)].substr(lines[static_cast<std::size_t>(i)].rfind(' ') + 1));
    ASSERT_TRUE(part.ok) << lines[static_cast<std::size_t>(i)];
    EXPECT_EQ(2, part.total);
    EXPECT_EQ(i % 2 + 1, part.sequence);
    if (i < 2) {
      EXPECT_EQ(9, part.reference);
      EXPECT_EQ("+4915112345678", part.sender);
      text += part.text;
    } else {
      EXPECT_EQ(0x08, part.dcs);
      EXPECT_EQ("1234", part.sender);
      units += part.units;
    }
  }
  EXPECT_EQ(gsm, text);
  EXPECT_EQ(std::u16string(100, u'\u0416'), units);
}

TEST(PhoneDialogue, ControlChannelReportsErrorsAndTheToolExitsNonZero) {
  PhoneProcess phone({"--sm-capacity", "1"});
  ASSERT_TRUE(phone.Started()) << phone.Error();
  EXPECT_EQ("stored SM 1\nOK\n", phone.Control("deliver +1 one"));
  EXPECT_EQ("ERROR memory SM full (1 of 1 used, 1 needed)\n", phone.Control("deliver +1 two"));
  EXPECT_EQ("ERROR memory SM full\n", phone.Control("status-report 1 +1 0"));
  EXPECT_EQ("ERROR unknown command nonsense (try help)\n", phone.Control("nonsense"));
  std::string ctl = std::string(PDULINK_PHONECTL_BIN) + " " + phone.ControlPath();
  EXPECT_EQ(0, std::system((ctl + " battery 15 1 >/dev/null").c_str()));
  EXPECT_NE(0, std::system((ctl + " battery 150 2>/dev/null").c_str()));
  EXPECT_NE(0, std::system((std::string(PDULINK_PHONECTL_BIN) + " " + phone.Directory() + "/absent status 2>/dev/null").c_str()));
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  EXPECT_EQ("\r\n+CBC: 1,15\r\n\r\nOK\r\n", dev.Command("AT+CBC"));
}

TEST(PhoneDialogue, HangupLineVanishAndStopRemoveTheDevice) {
  PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  Device dev(phone.LinkPath());
  dev.Command("ATE0");
  ASSERT_EQ("OK\n", phone.Control("hangup-line"));
  pollfd p{dev.Fd(), POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 10000));
  EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
  struct stat st{};
  EXPECT_NE(0, lstat(phone.LinkPath().c_str(), &st));
  ASSERT_EQ("OK\n", phone.Control("replug"));
  Device fresh(phone.LinkPath());
  ASSERT_TRUE(fresh.IsOpen());
  EXPECT_EQ("\r\nOK\r\n", fresh.Command("AT"));
  ASSERT_EQ("OK\n", phone.Control("vanish"));
  EXPECT_EQ(0, phone.WaitForExit(10000));
  EXPECT_NE(0, lstat(phone.LinkPath().c_str(), &st));
  EXPECT_NE(0, lstat(phone.ControlPath().c_str(), &st));

  PhoneProcess second;
  ASSERT_TRUE(second.Started()) << second.Error();
  EXPECT_EQ(0, second.Stop());
  EXPECT_NE(0, lstat(second.LinkPath().c_str(), &st));
  EXPECT_NE(0, lstat(second.ControlPath().c_str(), &st));
}

TEST(PhoneDialogue, BadStartOptionsGiveClearErrors) {
  PhoneProcess noDir({"--link", "/nonexistent-dir/phone0"});
  EXPECT_FALSE(noDir.Started());
  EXPECT_NE(std::string::npos, noDir.Error().find("cannot create the link /nonexistent-dir/phone0")) << noDir.Error();
  PhoneProcess badMemory({"--memories", "SM,XX"});
  EXPECT_FALSE(badMemory.Started());
  EXPECT_NE(std::string::npos, badMemory.Error().find("--memories: unknown memory XX")) << badMemory.Error();
}

}  // namespace
