// pdulink-phone's life: applying the options, the signals, starting and
// cleaning up, and the poll loop that runs the line and the control clients.
#include "PhoneLoop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace pdulink::phone {

Millis Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Phone::ApplyAsControl(const std::string& option, const std::string& command, std::string& error) {
  ControlActions ignored;
  std::string reply = control_.Execute(command, ignored);
  if (reply.rfind("OK", 0) == 0) return true;
  error = option + ": " + reply.substr(6, reply.size() - 7);
  return false;
}

bool Phone::ApplyOptions(std::string& error) {
  PhoneSettings& s = modem_.settings;
  if (!options_.memories.empty() && !ApplyAsControl("--memories", "memories " + options_.memories, error))
    return false;
  if (!modem_.Store().SetCapacity(Memory::SM, options_.smCapacity) ||
      !modem_.Store().SetCapacity(Memory::ME, options_.meCapacity)) {
    error = "capacities must be 0..1000";
    return false;
  }
  if (!options_.smsc.empty() && !ApplyAsControl("--smsc", "smsc " + options_.smsc, error)) return false;
  s.ringIntervalMs = options_.ringInterval;
  s.latencyMs = options_.latency;
  s.chunkSize = options_.chunkSize;
  s.chunkPauseMs = options_.chunkPause;
  return true;
}

bool Phone::BlockStopSignals(std::string& error) {
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
  return true;
}

bool Phone::Start(std::string& error) {
  if (!ApplyOptions(error)) return false;
  if (!options_.transcript.empty() && !transcript_.Open(options_.transcript, error)) return false;
  if (!BlockStopSignals(error)) return false;

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

void Phone::ProbeClosedDevice(Millis now) {
  // Closed device: probe the master now and then for a new opener (while
  // nobody has the slave open, the master reports POLLHUP all the time).
  if (master_ < 0 || hostOpen_ || now < nextProbe_) return;
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) {
    hostOpen_ = true;
    transcript_.Write("--", "host opened the device");
  } else if (p.revents & POLLIN) {
    ReadHost();  // data left by a host that came and went between probes
  }
  nextProbe_ = now + kClosedProbeMs;
}

Millis Phone::NextWake() const {
  Millis wake = -1;
  auto consider = [&](Millis t) {
    if (t >= 0 && (wake < 0 || t < wake)) wake = t;
  };
  if (!output_.empty()) consider(output_.front().due);
  consider(modem_.NextDue());
  if (master_ >= 0 && !hostOpen_) consider(nextProbe_);
  return wake;
}

Phone::PollSet Phone::BuildPollSet(Millis now) const {
  PollSet set;
  std::vector<pollfd>& fds = set.fds;
  fds.push_back({signalFd_, POLLIN, 0});
  if (master_ >= 0 && hostOpen_) {
    set.masterSlot = static_cast<int>(fds.size());
    short events = POLLIN;
    if (!output_.empty() && output_.front().due <= now) events |= POLLOUT;
    fds.push_back({master_, events, 0});
  }
  if (listen_ >= 0) {
    set.listenSlot = static_cast<int>(fds.size());
    fds.push_back({listen_, POLLIN, 0});
  }
  set.firstClient = fds.size();
  for (auto& c : clients_) fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
  return set;
}

void Phone::HandleSignal() {
  signalfd_siginfo info{};
  if (read(signalFd_, &info, sizeof info) > 0)
    transcript_.Write("--", std::string("stopped by ") + strsignal(static_cast<int>(info.ssi_signo)));
  stop_ = true;
}

void Phone::HandleHost(short rev) {
  if (rev & POLLIN) ReadHost();
  if (hostOpen_ && (rev & (POLLHUP | POLLERR)) && !(rev & POLLIN)) HostGone("hang-up");
  if (hostOpen_ && (rev & POLLOUT)) FlushDue(Now());
}

void Phone::HandleClients(const PollSet& set) {
  const std::vector<pollfd>& fds = set.fds;
  for (std::size_t i = 0; i < clients_.size();) {
    std::size_t slot = set.firstClient + i;
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
}

int Phone::Run() {
  while (!stop_) {
    Millis now = Now();
    FlushDue(now);
    modem_.Tick(now);
    FlushDue(now);
    ProbeClosedDevice(now);

    const Millis wake = NextWake();
    PollSet set = BuildPollSet(now);
    int timeout = wake < 0 ? -1 : static_cast<int>(std::max<Millis>(0, wake - now));
    if (poll(set.fds.data(), set.fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      std::perror("pdulink-phone: poll");
      return 1;
    }
    if (set.fds[0].revents & POLLIN) HandleSignal();
    if (set.masterSlot >= 0) HandleHost(set.fds[static_cast<std::size_t>(set.masterSlot)].revents);
    HandleClients(set);
    if (set.listenSlot >= 0 && (set.fds[static_cast<std::size_t>(set.listenSlot)].revents & POLLIN)) AcceptClient();
  }
  return 0;
}

}  // namespace pdulink::phone
