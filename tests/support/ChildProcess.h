#pragma once
// A program started for a test: standard input from a pipe, standard output
// and error read into texts, killed at the end if it is still running.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace pdulink::test {

// Without a display: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset.
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::string outText, errText;

  // env: "NAME=value" sets a variable, a bare "NAME" removes it.
  Child(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env = {}) {
    int i[2], o[2], e[2];
    if (::pipe(i) != 0 || ::pipe(o) != 0 || ::pipe(e) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(i[0], 0);
      ::dup2(o[1], 1);
      ::dup2(e[1], 2);
      ::close(i[1]);
      ::close(o[0]);
      ::close(e[0]);
      if (::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("QT_QPA_PLATFORM");
      for (const std::string& e : env) {
        const size_t eq = e.find('=');
        if (eq == std::string::npos)
          ::unsetenv(e.c_str());
        else
          ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
      }
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(i[0]);
    ::close(o[1]);
    ::close(e[1]);
    in = i[1];
    out = o[0];
    err = e[0];
  }
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
  }
  // Reads both pipes until `needle` shows on stdout after position `from`,
  // or the deadline passes.
  bool WaitFor(const std::string& needle, int seconds = 30, size_t from = 0) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (outText.find(needle, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end) return false;
      if (!Pump(100)) return outText.find(needle, from) != std::string::npos;
    }
    return true;
  }
  bool Pump(int ms) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    if (::poll(fds, 2, ms) <= 0) return true;
    bool open = false;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) {
        open = true;
        continue;
      }
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) (i == 0 ? outText : errText).append(buf, static_cast<size_t>(n)), open = true;
    }
    return open;
  }
  void Type(const std::string& line) {
    std::string l = line + "\n";
    [[maybe_unused]] ssize_t n = ::write(in, l.data(), l.size());
  }
  int Wait(int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      Pump(50);
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        for (int i = 0; i < 20; ++i) Pump(10);  // what it wrote last
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }
};

}  // namespace pdulink::test
