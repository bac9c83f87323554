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

#include "PhoneProcess.h"
#include "TempDir.h"

namespace {

// `pdulink --headless gw.ini` in a directory, standard input from a pipe,
// standard output and error read into one text.
class Gateway {
 public:
  explicit Gateway(const std::string& dir) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      ::close(in[1]);
      ::close(out[0]);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("QT_QPA_PLATFORM");
      ::execl(PDULINK_BIN, PDULINK_BIN, "--headless", "gw.ini", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Gateway() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
  }
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  bool Running() const { return pid_ > 0; }
  const std::string& Text() const { return text_; }

  void Type(const std::string& line) {
    std::string l = line + "\n";
    [[maybe_unused]] ssize_t n = ::write(in_, l.data(), l.size());
  }
  // Reads until needle shows up after position `from` of the text.
  bool WaitFor(const std::string& needle, size_t from = 0, int seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (text_.find(needle, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end || !Read(100)) return text_.find(needle, from) != std::string::npos;
    }
    return true;
  }
  // Exit status, or -1 when it does not end in time.
  int Stop(int signal, int seconds = 30) {
    if (signal) ::kill(pid_, signal);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      Read(50);
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        while (Read(10)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

 private:
  bool Read(int ms) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return true;
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    text_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string text_;
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
  ASSERT_TRUE(gw1.Running());
  ASSERT_TRUE(gw2.Running());
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
  EXPECT_TRUE(gw2.WaitFor("+CSQ:", mark)) << gw2.Text();
  gw2.Type("/exit");
  EXPECT_EQ(gw2.Stop(0), 0) << gw2.Text();
}

}  // namespace
