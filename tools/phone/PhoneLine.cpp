// The device side of the simulated phone: the pseudo-terminal and its
// link, the queue of bursts to the host, and what it reads from the host.
#include "PhoneLoop.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pdulink::phone {

bool Phone::OpenPty(std::string& error) {
  int slave = -1;
  char name[256] = {};
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  // Raw on the device side: no echo or line editing by the terminal driver,
  // or the phone would read its own replies back. The setting outlives our
  // descriptor, so the host finds the line raw when it opens it.
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  slaveName_ = name;
  hostOpen_ = false;
  nextProbe_ = 0;
  return true;
}

void Phone::ClosePty() {
  if (master_ >= 0) close(master_);
  master_ = -1;
  hostOpen_ = false;
  output_.clear();
  modem_.HostClosed();
  FlushReceivedLog();
}

bool Phone::MakeLink(std::string& error) {
  struct stat st{};
  if (lstat(options_.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = "refusing to replace " + options_.link + ": it exists and is not a symbolic link";
    return false;
  }
  // Replace atomically, so a reader never sees the path missing.
  std::string temp = options_.link + ".tmp" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(slaveName_.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), options_.link.c_str()) != 0) {
    error = "cannot create the link " + options_.link + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  linkMade_ = true;
  return true;
}

void Phone::Queue(OutputKind kind, std::string text) {
  if (!hostOpen_) {
    transcript_.Write("--", "device closed, not sent: " + EscapeBytes(text), false);
    return;
  }
  Millis now = Now();
  Millis tail = output_.empty() ? now : std::max(now, output_.back().due);
  const PhoneSettings& s = modem_.settings;
  Millis due = std::max(tail, kind == OutputKind::Reply ? now + s.latencyMs : now);
  // The noisy phone: a reply after an unsolicited write comes a pause later,
  // so the two reach the host as bursts of their own.
  const Noise& noise = modem_.NoiseSettings();
  if (noise.on && kind == OutputKind::Reply && lastKind_ == OutputKind::Unsolicited) due += noise.gapMs;
  lastKind_ = kind;
  if (kind == OutputKind::Echo || s.chunkSize <= 0 || text.size() <= static_cast<std::size_t>(s.chunkSize)) {
    output_.push_back({due, std::move(text)});
    return;
  }
  for (std::size_t at = 0; at < text.size(); at += static_cast<std::size_t>(s.chunkSize)) {
    output_.push_back({due, text.substr(at, static_cast<std::size_t>(s.chunkSize))});
    due += s.chunkPauseMs;
  }
}

void Phone::FlushDue(Millis now) {
  while (!output_.empty() && output_.front().due <= now && hostOpen_) {
    auto& item = output_.front();
    ssize_t n = write(master_, item.bytes.data(), item.bytes.size());
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;  // the host is not reading; POLLOUT brings us back
      HostGone("write failed");
      return;
    }
    transcript_.Write("->", std::string_view(item.bytes).substr(0, static_cast<std::size_t>(n)));
    if (static_cast<std::size_t>(n) < item.bytes.size()) {
      item.bytes.erase(0, static_cast<std::size_t>(n));
      return;
    }
    output_.pop_front();
  }
}

void Phone::LogReceived(std::string_view bytes) {
  auto terminator = [](char c) { return c == '\r' || c == '\n' || c == 0x1A || c == 0x1B; };
  for (char c : bytes) {
    if (!rxLog_.empty() && terminator(rxLog_.back()) && !terminator(c)) FlushReceivedLog();
    rxLog_.push_back(c);
  }
  if (!rxLog_.empty() && terminator(rxLog_.back())) FlushReceivedLog();
}

void Phone::FlushReceivedLog() {
  if (rxLog_.empty()) return;
  transcript_.Write("<-", rxLog_);
  rxLog_.clear();
}

void Phone::HostGone(const char* why) {
  FlushReceivedLog();
  hostOpen_ = false;
  output_.clear();
  modem_.HostClosed();
  nextProbe_ = Now() + kClosedProbeMs;
  transcript_.Write("--", std::string("host closed the device (") + why + ")");
  // Drop what the host did not read, so the next opener starts clean.
  int slave = open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave >= 0) {
    tcflush(slave, TCIFLUSH);
    close(slave);
  }
}

void Phone::ReadHost() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
      LogReceived(std::string_view(buf, static_cast<std::size_t>(n)));
      modem_.Receive(std::string_view(buf, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    HostGone(n == 0 ? "end of file" : "hang-up");  // EIO: the last opener closed it
    return;
  }
}

}  // namespace pdulink::phone
