// PhoneProcess: runs the simulated phone (pdulink-phone) for an end-to-end
// test and stops it again.
//
// The constructor makes a private temporary directory, starts the binary
// there with --link, --control and --transcript, and waits (up to 10 s) until
// the link exists; the phone creates the link last, so by then the device
// and the control socket answer. The destructor sends SIGTERM to that pid,
// reaps it with waitpid and removes the directory (set the environment
// variable PDULINK_KEEP_PHONE_DIR=1 to keep it, e.g. to read the transcript).
//
//   #include "PhoneProcess.h"
//
//   pdulink::test::PhoneProcess phone;              // or phone({"--memories", "SM"})
//   ASSERT_TRUE(phone.Started()) << phone.Error();
//   EXPECT_EQ("stored SM 1\nOK\n", phone.Control("deliver +4915112345678 Hello"));
//   // point the gateway at phone.LinkPath(): [Ports] COM1=<LinkPath()>
//   ...
//   std::string log = phone.Transcript();           // what went over the line
//
// Control() sends one control-channel line and returns the reply: every line
// ended by "\n", the last one "OK" or "ERROR <reason>". When the channel
// cannot be used it returns "ERROR control channel: <reason>\n".
// Ok(reply) tells whether a reply ended with "OK".
//
// CMake for a test target t:
//   target_link_libraries(t PRIVATE pdulink_testsupport)
//   target_compile_definitions(t PRIVATE PDULINK_PHONE_BIN="$<TARGET_FILE:pdulink-phone>")
//   add_dependencies(t pdulink-phone)
// and give its tests the CTest label "threaded" (they start a process).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace pdulink::test {

class PhoneProcess {
 public:
  explicit PhoneProcess(std::vector<std::string> extraArgs = {}) { Start(std::move(extraArgs)); }
  ~PhoneProcess() {
    Stop();
    const char* keep = std::getenv("PDULINK_KEEP_PHONE_DIR");
    if (!dir_.empty() && !(keep && *keep && std::string(keep) != "0")) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }
  PhoneProcess(const PhoneProcess&) = delete;
  PhoneProcess& operator=(const PhoneProcess&) = delete;

  bool Started() const { return started_; }
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return pid_; }
  const std::string& Directory() const { return dir_; }
  const std::string& LinkPath() const { return link_; }
  const std::string& ControlPath() const { return control_; }
  const std::string& TranscriptPath() const { return transcript_; }

  // The PDUs the phone took with AT+CMGS, in order (its "dump submitted").
  std::vector<std::string> Submitted() const {
    std::vector<std::string> pdus;
    std::istringstream in(Control("dump submitted"));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("submitted ", 0) == 0) pdus.push_back(line.substr(line.rfind(' ') + 1));
    return pdus;
  }

  std::string Control(const std::string& line) const {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control_.size() >= sizeof addr.sun_path) return "ERROR control channel: path too long\n";
    std::memcpy(addr.sun_path, control_.c_str(), control_.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::string why = std::strerror(errno);
      if (fd >= 0) close(fd);
      return "ERROR control channel: " + why + "\n";
    }
    std::string request = line + "\n", reply, pending;
    bool sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    while (sent) {
      std::size_t eol = pending.find('\n');
      if (eol != std::string::npos) {
        std::string l = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        reply += l + "\n";
        if (l == "OK" || l.rfind("ERROR", 0) == 0) {
          close(fd);
          return reply;
        }
        continue;
      }
      pollfd p{fd, POLLIN, 0};
      char buf[4096];
      ssize_t n = poll(&p, 1, 10000) > 0 ? recv(fd, buf, sizeof buf, 0) : -1;
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return reply + "ERROR control channel: no complete reply\n";
  }

  static bool Ok(const std::string& reply) {
    return reply == "OK\n" || (reply.size() >= 4 && reply.compare(reply.size() - 4, 4, "\nOK\n") == 0);
  }

  std::string Transcript() const {
    std::ifstream in(transcript_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Waits up to timeoutMs for the phone to end by itself (after "vanish").
  // Returns its exit status, or -1 when it is still running.
  int WaitForExit(int timeoutMs) {
    for (int waited = 0; pid_ > 0; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (waited >= timeoutMs) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // SIGTERM to our child and waitpid; returns its exit status (-1 when it
  // was not running). Safe to call twice.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  void Start(std::vector<std::string> extraArgs) {
    std::string base = std::filesystem::temp_directory_path().string() + "/pdulink-phone-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
      error_ = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    dir_ = name.data();
    link_ = dir_ + "/phone";
    control_ = dir_ + "/control";
    transcript_ = dir_ + "/transcript.txt";
    std::string log = dir_ + "/phone.log";

    std::vector<std::string> args = {PDULINK_PHONE_BIN, "--link", link_, "--control", control_,
                                     "--transcript", transcript_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, PDULINK_PHONE_BIN, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      error_ = std::string("cannot start " PDULINK_PHONE_BIN ": ") + std::strerror(rc);
      return;
    }
    for (int waited = 0; waited < 10000; waited += 10) {
      struct stat st{};
      if (lstat(link_.c_str(), &st) == 0) {
        started_ = true;
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        std::ifstream in(log);
        std::ostringstream text;
        text << in.rdbuf();
        error_ = "pdulink-phone ended at start: " + text.str();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = "pdulink-phone did not create its link within 10 s";
  }

  std::string dir_, link_, control_, transcript_, error_;
  pid_t pid_ = -1;
  bool started_ = false;
};

}  // namespace pdulink::test
