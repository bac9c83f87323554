// pdulink-phone: a simulated GSM phone behind a pseudo-terminal.
//
// One thread, one poll() loop: the pty master (the "serial line"), the
// control socket and its clients, a signalfd for SIGTERM/SIGINT, and timers
// for delayed or chunked replies and for RING.

#include "Control.h"
#include "Modem.h"
#include "Transcript.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using namespace pdulink::phone;

namespace {

constexpr Millis kClosedProbeMs = 50;           // how often a closed device is checked for a new opener
constexpr std::size_t kMaxControlLine = 1 << 20;

Millis Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Options {
  std::string link, control, transcript;
  std::string memories, smsc;
  int smCapacity = 30, meCapacity = 100;
  Millis ringInterval = 3000, latency = 0, chunkPause = 0;
  int chunkSize = 0;
};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: pdulink-phone [OPTIONS]\n"
               "A simulated GSM phone on a pseudo-terminal, answering AT commands in SMS PDU mode.\n\n"
               "  --link PATH          put a symbolic link to the device at PATH (e.g. /tmp/phone0)\n"
               "  --control PATH       listen for control commands on a UNIX socket at PATH\n"
               "  --transcript FILE    append every received line and every sent byte to FILE\n"
               "  --memories LIST      message memories offered, e.g. SM or SM,ME,MT (default SM,ME,MT)\n"
               "  --sm-capacity N      slots in SM (default 30)\n"
               "  --me-capacity N      slots in ME (default 100)\n"
               "  --smsc NUMBER        service-centre number (default +12345678901)\n"
               "  --ring-interval MS   pause between RINGs of an incoming call (default 3000)\n"
               "  --latency MS         delay before each reply (default 0)\n"
               "  --chunks SIZE,PAUSE  split replies into SIZE-byte writes PAUSE ms apart\n"
               "  --help, --version\n\n"
               "It runs until SIGTERM or SIGINT and then removes the link and the socket.\n"
               "Talk to the control socket with pdulink-phonectl PATH COMMAND (see 'help').\n");
}

bool ParseNumber(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// One burst waiting to be written to the host.
struct Pending {
  Millis due;
  std::string bytes;
};

struct Client {
  int fd = -1;
  std::string in, out;
  bool closeAfterWrite = false;
};

class Phone {
 public:
  explicit Phone(const Options& options)
      : options_(options), modem_([this](OutputKind kind, std::string text) { Queue(kind, std::move(text)); }),
        control_(modem_, Now) {
    modem_.clock = Now;
  }

  ~Phone() { Cleanup(); }

  bool Start(std::string& error);
  int Run();

 private:
  bool OpenPty(std::string& error);
  void ClosePty();
  bool MakeLink(std::string& error);
  bool MakeControlSocket(std::string& error);
  void Queue(OutputKind kind, std::string text);
  void FlushDue(Millis now);
  void ReadHost();
  void HostGone(const char* why);
  void LogReceived(std::string_view bytes);
  void FlushReceivedLog();
  void AcceptClient();
  bool ServeClient(Client& client);  // false: close it
  bool WriteClient(Client& client);
  void Cleanup();

  Options options_;
  Modem modem_;
  Control control_;
  Transcript transcript_;

  int master_ = -1;
  std::string slaveName_;
  bool hostOpen_ = false;
  Millis nextProbe_ = 0;
  std::deque<Pending> output_;
  OutputKind lastKind_ = OutputKind::Reply;
  std::string rxLog_;

  int listen_ = -1;
  int signalFd_ = -1;
  std::vector<std::unique_ptr<Client>> clients_;
  bool stop_ = false;
  bool linkMade_ = false, socketMade_ = false;
};

bool Phone::Start(std::string& error) {
  PhoneSettings& s = modem_.settings;
  if (!options_.memories.empty()) {
    ControlActions ignored;
    std::string reply = control_.Execute("memories " + options_.memories, ignored);
    if (reply.rfind("OK", 0) != 0) {
      error = "--memories: " + reply.substr(6, reply.size() - 7);
      return false;
    }
  }
  if (!modem_.Store().SetCapacity(Memory::SM, options_.smCapacity) ||
      !modem_.Store().SetCapacity(Memory::ME, options_.meCapacity)) {
    error = "capacities must be 0..1000";
    return false;
  }
  if (!options_.smsc.empty()) {
    ControlActions ignored;
    std::string reply = control_.Execute("smsc " + options_.smsc, ignored);
    if (reply.rfind("OK", 0) != 0) {
      error = "--smsc: " + reply.substr(6, reply.size() - 7);
      return false;
    }
  }
  s.ringIntervalMs = options_.ringInterval;
  s.latencyMs = options_.latency;
  s.chunkSize = options_.chunkSize;
  s.chunkPauseMs = options_.chunkPause;

  if (!options_.transcript.empty() && !transcript_.Open(options_.transcript, error)) return false;

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signalFd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ < 0) {
    error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  signal(SIGPIPE, SIG_IGN);

  // The socket first and the link last: once the link exists, everything answers.
  if (!options_.control.empty() && !MakeControlSocket(error)) return false;
  if (!OpenPty(error)) return false;
  if (!options_.link.empty() && !MakeLink(error)) return false;
  transcript_.Write("--", "started on " + slaveName_ + (options_.link.empty() ? "" : " linked at " + options_.link));
  std::printf("pdulink-phone: %s%s%s\n", slaveName_.c_str(),
              options_.link.empty() ? "" : (" linked at " + options_.link).c_str(),
              options_.control.empty() ? "" : (", control " + options_.control).c_str());
  std::fflush(stdout);
  return true;
}

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

bool Phone::MakeControlSocket(std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (options_.control.size() >= sizeof addr.sun_path) {
    error = "control path too long (at most " + std::to_string(sizeof addr.sun_path - 1) + " bytes): " + options_.control;
    return false;
  }
  std::memcpy(addr.sun_path, options_.control.c_str(), options_.control.size() + 1);
  struct stat st{};
  if (lstat(options_.control.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "refusing to replace " + options_.control + ": it exists and is not a socket";
      return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (alive) {
      error = "another process is listening on " + options_.control;
      return false;
    }
    unlink(options_.control.c_str());  // left over from a phone that was killed
  }
  listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 16) != 0) {
    error = "cannot listen on " + options_.control + ": " + std::strerror(errno);
    return false;
  }
  socketMade_ = true;
  return true;
}

void Phone::Cleanup() {
  FlushReceivedLog();
  if (linkMade_) {
    char target[256] = {};
    ssize_t n = readlink(options_.link.c_str(), target, sizeof target - 1);
    // Only our own link: another phone may have taken the path over since.
    if (n > 0 && slaveName_ == std::string(target, static_cast<std::size_t>(n))) unlink(options_.link.c_str());
    linkMade_ = false;
  }
  if (socketMade_) {
    unlink(options_.control.c_str());
    socketMade_ = false;
  }
  for (auto& c : clients_) close(c->fd);
  clients_.clear();
  if (listen_ >= 0) close(listen_);
  listen_ = -1;
  if (master_ >= 0) close(master_);
  master_ = -1;
  if (signalFd_ >= 0) close(signalFd_);
  signalFd_ = -1;
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

void Phone::AcceptClient() {
  for (;;) {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto c = std::make_unique<Client>();
    c->fd = fd;
    clients_.push_back(std::move(c));
  }
}

bool Phone::WriteClient(Client& client) {
  while (!client.out.empty()) {
    ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    client.out.erase(0, static_cast<std::size_t>(n));
  }
  return !client.closeAfterWrite;
}

bool Phone::ServeClient(Client& client) {
  char buf[4096];
  ssize_t n = recv(client.fd, buf, sizeof buf, 0);
  if (n == 0) return !client.out.empty() && WriteClient(client);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  client.in.append(buf, static_cast<std::size_t>(n));
  std::size_t eol;
  while ((eol = client.in.find('\n')) != std::string::npos) {
    std::string line = client.in.substr(0, eol);
    client.in.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    transcript_.Write("##", line);
    ControlActions actions;
    std::string reply = control_.Execute(line, actions);
    client.out += reply;
    if (reply.rfind("ERROR", 0) == 0 || reply.find("\nERROR") != std::string::npos)
      transcript_.Write("##", reply.substr(0, reply.size() - 1));
    if (actions.hangupLine) {
      if (master_ >= 0) {
        transcript_.Write("--", "line hung up: device closed");
        ClosePty();
        if (linkMade_) {
          unlink(options_.link.c_str());
          linkMade_ = false;
        }
      }
    }
    if (actions.replug && master_ < 0) {
      std::string error;
      if (!OpenPty(error) || (!options_.link.empty() && !MakeLink(error))) {
        std::fprintf(stderr, "pdulink-phone: replug: %s\n", error.c_str());
      } else {
        transcript_.Write("--", "device plugged in again as " + slaveName_);
      }
    }
    if (actions.vanish) {
      WriteClient(client);
      transcript_.Write("--", "vanished");
      stop_ = true;
      return true;
    }
  }
  if (client.in.size() > kMaxControlLine) {
    client.out += "ERROR line too long\n";
    client.closeAfterWrite = true;
    client.in.clear();
  }
  return WriteClient(client);
}

int Phone::Run() {
  while (!stop_) {
    Millis now = Now();
    FlushDue(now);
    modem_.Tick(now);
    FlushDue(now);

    // Closed device: probe the master now and then for a new opener (while
    // nobody has the slave open, the master reports POLLHUP all the time).
    if (master_ >= 0 && !hostOpen_ && now >= nextProbe_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
        hostOpen_ = true;
        transcript_.Write("--", "host opened the device");
      } else if (p.revents & POLLIN) {
        ReadHost();  // data left by a host that came and went between probes
      }
      nextProbe_ = now + kClosedProbeMs;
    }

    Millis wake = -1;
    auto consider = [&](Millis t) {
      if (t >= 0 && (wake < 0 || t < wake)) wake = t;
    };
    if (!output_.empty()) consider(output_.front().due);
    consider(modem_.NextDue());
    if (master_ >= 0 && !hostOpen_) consider(nextProbe_);

    std::vector<pollfd> fds;
    fds.push_back({signalFd_, POLLIN, 0});
    int masterSlot = -1, listenSlot = -1;
    if (master_ >= 0 && hostOpen_) {
      masterSlot = static_cast<int>(fds.size());
      short events = POLLIN;
      if (!output_.empty() && output_.front().due <= now) events |= POLLOUT;
      fds.push_back({master_, events, 0});
    }
    if (listen_ >= 0) {
      listenSlot = static_cast<int>(fds.size());
      fds.push_back({listen_, POLLIN, 0});
    }
    std::size_t firstClient = fds.size();
    for (auto& c : clients_) fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});

    int timeout = wake < 0 ? -1 : static_cast<int>(std::max<Millis>(0, wake - now));
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      std::perror("pdulink-phone: poll");
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd_, &info, sizeof info) > 0)
        transcript_.Write("--", std::string("stopped by ") + strsignal(static_cast<int>(info.ssi_signo)));
      stop_ = true;
    }
    if (masterSlot >= 0) {
      short rev = fds[static_cast<std::size_t>(masterSlot)].revents;
      if (rev & POLLIN) ReadHost();
      if (hostOpen_ && (rev & (POLLHUP | POLLERR)) && !(rev & POLLIN)) HostGone("hang-up");
      if (hostOpen_ && (rev & POLLOUT)) FlushDue(Now());
    }
    for (std::size_t i = 0; i < clients_.size();) {
      std::size_t slot = firstClient + i;
      bool keep = true;
      if (slot < fds.size() && fds[slot].revents) {
        if (fds[slot].revents & (POLLIN | POLLHUP | POLLERR)) keep = ServeClient(*clients_[i]);
        else if (fds[slot].revents & POLLOUT) keep = WriteClient(*clients_[i]);
      }
      if (!keep) {
        close(clients_[i]->fd);
        clients_.erase(clients_.begin() + static_cast<long>(i));
        // fds no longer lines up with clients_ after an erase; finish this round.
        break;
      }
      ++i;
    }
    if (listenSlot >= 0 && (fds[static_cast<std::size_t>(listenSlot)].revents & POLLIN)) AcceptClient();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  enum { kLink = 1, kControl, kTranscript, kMemories, kSmCap, kMeCap, kSmsc, kRing, kLatency, kChunks, kHelp, kVersion };
  static const option kLong[] = {
      {"link", required_argument, nullptr, kLink},
      {"control", required_argument, nullptr, kControl},
      {"transcript", required_argument, nullptr, kTranscript},
      {"memories", required_argument, nullptr, kMemories},
      {"sm-capacity", required_argument, nullptr, kSmCap},
      {"me-capacity", required_argument, nullptr, kMeCap},
      {"smsc", required_argument, nullptr, kSmsc},
      {"ring-interval", required_argument, nullptr, kRing},
      {"latency", required_argument, nullptr, kLatency},
      {"chunks", required_argument, nullptr, kChunks},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  auto bad = [](const char* what, const char* value) {
    std::fprintf(stderr, "pdulink-phone: bad value for --%s: %s\n", what, value);
    return 2;
  };
  int opt;
  opterr = 0;
  while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    long v = 0;
    switch (opt) {
      case kLink: options.link = optarg; break;
      case kControl: options.control = optarg; break;
      case kTranscript: options.transcript = optarg; break;
      case kMemories: options.memories = optarg; break;
      case kSmsc: options.smsc = optarg; break;
      case kSmCap:
        if (!ParseNumber(optarg, 0, 1000, v)) return bad("sm-capacity", optarg);
        options.smCapacity = static_cast<int>(v);
        break;
      case kMeCap:
        if (!ParseNumber(optarg, 0, 1000, v)) return bad("me-capacity", optarg);
        options.meCapacity = static_cast<int>(v);
        break;
      case kRing:
        if (!ParseNumber(optarg, 100, 600000, v)) return bad("ring-interval", optarg);
        options.ringInterval = v;
        break;
      case kLatency:
        if (!ParseNumber(optarg, 0, 600000, v)) return bad("latency", optarg);
        options.latency = v;
        break;
      case kChunks: {
        std::string text = optarg;
        auto comma = text.find(',');
        long size = 0, pause = 0;
        if (comma == std::string::npos || !ParseNumber(text.substr(0, comma).c_str(), 0, 65536, size) ||
            !ParseNumber(text.substr(comma + 1).c_str(), 0, 60000, pause))
          return bad("chunks", optarg);
        options.chunkSize = static_cast<int>(size);
        options.chunkPause = pause;
        break;
      }
      case kHelp: Usage(stdout); return 0;
      case kVersion: std::printf("pdulink-phone %s\n", PDULINK_VERSION_TEXT); return 0;
      default:
        std::fprintf(stderr, "pdulink-phone: unknown or incomplete option %s\n", argv[optind - 1]);
        Usage(stderr);
        return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "pdulink-phone: unexpected argument %s\n", argv[optind]);
    return 2;
  }
  Phone phone(options);
  std::string error;
  if (!phone.Start(error)) {
    std::fprintf(stderr, "pdulink-phone: %s\n", error.c_str());
    return 1;
  }
  return phone.Run();
}
