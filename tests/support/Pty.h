#pragma once
// A pseudo-terminal pair for serial tests: the code under test opens the
// slave's path; the test plays the device on the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

class Pty {
 public:
  Pty() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
      error_ = errno;
      master_ = slave_ = -1;
      return;
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0; }
  int error() const { return error_; }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int slave() const { return slave_; }  // the test's own handle on the device side

  // Writes all of `bytes` to the master (the device sending to the port).
  bool Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t r = write(master_, bytes.data() + done, bytes.size() - done);
      if (r > 0) {
        done += static_cast<size_t>(r);
      } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 100);
      } else {
        return false;
      }
    }
    return true;
  }

  // Reads what the port has sent so far, without waiting.
  std::string ReadAvailable() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t r = read(master_, buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

  // The device goes away: the port's side sees a hang-up.
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  int error_ = 0;
  std::string path_;
};
