#include "WorkThread.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "SerialPort.h"

namespace {

constexpr int kPassMs = 75;   // longest wait of an active pass
constexpr int kIdleMs = 200;  // look at Active this often while closed
// Longest wait of an active pass on a device with nothing to poll: no modem
// lines, no error counters (a pseudo-terminal), and nothing pending. Bytes,
// a write and every request to the port still end the wait at once.
constexpr int kQuietPassMs = 1000;
// Fast mode: a reply end must stay the end this long before its cluster
// closes, so that bytes following hard on it in the same burst (an unsolicited
// line, the rest of a text that merely contains "OK") still join it.
constexpr uint32_t kReplySettleMs = 5;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A 32-bit millisecond tick; differences are taken modulo 2^32, so a wrap is harmless.
uint32_t Tick() { return static_cast<uint32_t>(NowMs()); }

uint32_t ModemBits(int tiocm) {
  uint32_t s = 0;
  if (tiocm & TIOCM_CTS) s |= MS_CTS_ON;
  if (tiocm & TIOCM_DSR) s |= MS_DSR_ON;
  if (tiocm & TIOCM_RI) s |= MS_RING_ON;
  if (tiocm & TIOCM_CD) s |= MS_RLSD_ON;
  return s;
}

}  // namespace

namespace serial_impl {

uint32_t LineErrorsFromCounters(const serial_icounter_struct& before, const serial_icounter_struct& now,
                                uint32_t& events) {
  uint32_t e = 0;
  if (now.buf_overrun != before.buf_overrun) e |= CE_RXOVER;
  if (now.overrun != before.overrun) e |= CE_OVERRUN;
  if (now.parity != before.parity) e |= CE_RXPARITY;
  if (now.frame != before.frame) e |= CE_FRAME;
  if (now.brk != before.brk) {
    e |= CE_BREAK;
    events |= EV_BREAK;
  }
  if (e & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME)) events |= EV_ERR;
  return e;
}

uint32_t ModemEvents(uint32_t before, uint32_t now) {
  const uint32_t changed = now ^ before;
  uint32_t events = 0;
  if (changed & MS_CTS_ON) events |= EV_CTS;
  if (changed & MS_DSR_ON) events |= EV_DSR;
  if ((changed & MS_RING_ON) && (now & MS_RING_ON)) events |= EV_RING;  // one ring, one event
  if (changed & MS_RLSD_ON) events |= EV_RLSD;
  return events;
}

ReadOutcome ClassifyRead(ssize_t result, int err) {
  if (result > 0) return ReadOutcome::Data;
  // With VMIN = VTIME = 0 a read of 0 bytes means the queue was empty by
  // then (another reader drained it), not a hang-up: the hang-up shows as
  // POLLHUP or as EIO / ENXIO.
  if (result == 0) return ReadOutcome::Nothing;
  if (err == EAGAIN || err == EINTR) return ReadOutcome::Nothing;
  if (err == EIO || err == ENXIO) return ReadOutcome::Gone;
  return ReadOutcome::Failed;
}

}  // namespace serial_impl

TWorkThread::TWorkThread(TSerialPort& port) : Port(port) { thread_ = std::thread([this] { Execute(); }); }

TWorkThread::~TWorkThread() {
  if (thread_.joinable()) thread_.join();
  if (arrivals_ >= 0) close(arrivals_);
}

void TWorkThread::Execute() {
  TSerialPort& P = Port;
  bool activeMode = P.active_.load();
  bool done = P.terminate_.load();
  while (!done) {
    if (activeMode) {
      P.threadBusy_.store(true);
      ActivePass();
      if (!P.active_.load() && !P.sendInProgress_.load()) activeMode = false;
    } else {
      if (P.threadBusy_.exchange(false)) P.NotifyHub();
      activeMode = P.active_.load();
      if (!activeMode && !P.terminate_.load()) IdleWait();
    }
    if (P.terminate_.load() && !activeMode) done = true;
  }
  // Termination: the port's destructor waits for these.
  P.threadEnded_.store(true);
  P.threadBusy_.store(false);
  P.NotifyHub();
}

void TWorkThread::IdleWait() {
  if (Port.wakeFd_ < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kIdleMs));
    return;
  }
  pollfd p{Port.wakeFd_, POLLIN, 0};
  if (poll(&p, 1, kIdleMs) > 0) {
    uint64_t v;
    while (read(Port.wakeFd_, &v, sizeof v) > 0) {
    }
  }
}

// A new device is open: forget what was seen on the previous one.
void TWorkThread::StartSession() {
  session_ = Port.openCount_;
  refTick_ = Tick();
  seenInQueue_ = 0;
  lastInQueue_ = 0;
  modemErr_ = 0;
  statusErr_ = 0;
  modemSeeded_ = false;
  icountSupported_ = true;
  modemSupported_ = true;
  icountSeeded_ = false;
  filter_.Reset();
  held_.clear();
  heldCount_ = 0;
  heldErrors_ = 0;
}

void TWorkThread::ActivePass() {
  TSerialPort& P = Port;
  Pending out;
  uint32_t events = 0;
  int goneCode = 0;
  uint64_t session = 0;
  bool pollFailed = false;
  {
    std::unique_lock io(P.ioMutex_);
    const int fd = P.fd_.load();
    if (fd < 0) {
      io.unlock();
      if (P.sendInProgress_.load()) AbortWrite(ECANCELED, out);
      P.commEvent_.store(0);
      for (auto& c : out.calls) P.CallOnUi(std::move(c));
      return;
    }
    if (P.openCount_ != session_) StartSession();
    session = session_;
    TakeFilterSettings();
    PollLineStatus(fd, events, out);
    CheckWriteDone(fd, out);
    const bool active = P.active_.load();
    bool present = true;
    if (active) present = TryRead(fd, events, out, goneCode);

    if (!active) {
      // Closing ends the line-event wait with an empty mask.
      P.commEvent_.store(0);
    } else if (present && events == 0 && out.calls.empty()) {
      // A pass with something to hand over does not wait: the next follows.
      present = WaitForLine(fd, out, goneCode, pollFailed);
    }
    if (!present) {
      // Stop serving this device; the close below releases it.
      events = 0;
    }
  }
  if (events) DispatchLineEvents(out, events);
  for (auto& c : out.calls) P.CallOnUi(std::move(c));
  if (pollFailed) std::this_thread::sleep_for(std::chrono::milliseconds(kPassMs));
  if (goneCode != 0) CloseGoneDevice(goneCode, session);
}

void TWorkThread::TakeFilterSettings() {
  TSerialPort& P = Port;
  std::lock_guard lk(P.filterMutex_);
  if (P.filterGeneration_ != filterGeneration_) {
    filter_.SetOptions(P.filterOptions_);
    eventChar_ = P.filterEventChar_;
    filterGeneration_ = P.filterGeneration_;
  }
}

bool TWorkThread::WaitForLine(int fd, Pending& out, int& goneCode, bool& pollFailed) {
  TSerialPort& P = Port;
  // The line-event wait: sleep until bytes arrive, the device can take
  // more of a pending write, the port is woken, or the pass time is up.
  // While bytes wait for their burst to end, POLLIN is left out (it would
  // return at once) and the wait ends at the cluster deadline instead.
  bool present = true;
  if (seenInQueue_ > 0 && OnlyInputToWatch() &&
      WaitForArrivals(fd, WaitTimeoutMs(NowMs()), out, goneCode, present))
    return present;
  pollfd fds[2] = {{fd, 0, 0}, {P.wakeFd_, POLLIN, 0}};
  if (seenInQueue_ == 0) fds[0].events |= POLLIN;
  if (P.sendInProgress_.load()) fds[0].events |= POLLOUT;
  const int nfds = P.wakeFd_ >= 0 ? 2 : 1;
  const int r = poll(fds, nfds, WaitTimeoutMs(NowMs()));
  if (r < 0 && errno != EINTR) {
    // The wait itself failed (not the device): report it, and let the
    // pass time go by so that a persistent failure cannot spin.
    RelayError(out, 9911, static_cast<uint32_t>(errno), "Error getting Overlappedresult");
    pollFailed = true;
  } else if (r > 0) {
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      goneCode = EIO;
      present = false;
    } else if ((fds[0].events & POLLIN) && (fds[0].revents & POLLIN) && heldCount_ == 0) {
      // The queue was empty up to this moment: the burst starts now.
      refTick_ = Tick();
    }
    if (nfds == 2 && (fds[1].revents & POLLIN)) DrainWake(out);
  }
  return present;
}

bool TWorkThread::OnlyInputToWatch() const {
  const TSerialPort& P = Port;
  return !modemSupported_ && !icountSupported_ && heldCount_ == 0 && P.wakeFd_ >= 0 && !P.sendInProgress_.load() &&
         !P.txNotEmpty_.load() && !P.readRequest_.load();
}

bool TWorkThread::WaitForArrivals(int fd, int timeoutMs, Pending& out, int& goneCode, bool& present) {
  TSerialPort& P = Port;
  if (arrivalsSession_ != session_ || arrivals_ < 0) {
    // A new device: a new set (a closed descriptor leaves the old one).
    if (arrivals_ >= 0) close(arrivals_);
    arrivals_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event device{EPOLLIN | EPOLLET, {.fd = fd}};
    epoll_event wake{EPOLLIN, {.fd = P.wakeFd_}};
    if (arrivals_ < 0 || epoll_ctl(arrivals_, EPOLL_CTL_ADD, fd, &device) != 0 ||
        epoll_ctl(arrivals_, EPOLL_CTL_ADD, P.wakeFd_, &wake) != 0) {
      if (arrivals_ >= 0) close(arrivals_);
      arrivals_ = -1;
      return false;
    }
    arrivalsSession_ = session_;
  }
  // Bytes that arrive end the wait: the pass looks whether the burst has
  // reached the cluster size. Its end is the timeout, as in the poll wait.
  epoll_event seen[2];
  const int r = epoll_wait(arrivals_, seen, 2, timeoutMs);
  if (r < 0) return errno == EINTR;  // a failed wait falls back to poll, which reports it
  for (int i = 0; i < r; ++i) {
    if (seen[i].data.fd == P.wakeFd_) {
      DrainWake(out);
    } else if (seen[i].events & (EPOLLHUP | EPOLLERR)) {
      goneCode = EIO;
      present = false;
    }
  }
  return true;
}

void TWorkThread::CloseGoneDevice(int goneCode, uint64_t session) {
  TSerialPort& P = Port;
  // The device has gone (unplugged, or the other side of a pseudo-terminal
  // closed): report it and close the port on the user-interface thread.
  Pending report;
  RelayError(report, 9907, static_cast<uint32_t>(goneCode), "Error calling WaitCommEvent");
  for (auto& c : report.calls) P.CallOnUi(std::move(c));
  if (P.threadBusy_.exchange(false)) P.NotifyHub();  // the close must not wait for this thread
  P.CallOnUi([&P, session] {
    if (!P.destroying_.load() && P.openCount_ == session && P.fd_.load() >= 0) P.ReopenPort(false);
  });
  // Returning here, the port is closed, or a close or destruction is under
  // way and will release the device (this thread touches it only under
  // ioMutex_, where it finds it closed).
}

int TWorkThread::WaitTimeoutMs(int64_t now) const {
  TSerialPort& P = Port;
  // Queued bytes need no pass of their own where new ones end the wait.
  const bool nothingToPoll = modemErr_ != 0 && !icountSupported_ &&
                             (seenInQueue_ == 0 || (OnlyInputToWatch() && arrivals_ >= 0)) &&
                             !P.sendInProgress_.load() && !P.txNotEmpty_.load() && !P.readRequest_.load();
  double limit = nothingToPoll ? kQuietPassMs : kPassMs;
  if (heldCount_ > 0) {
    // Fast mode holds a burst: wake when its time is up, or when a reply end
    // has settled.
    const double bound =
        heldCount_ * static_cast<double>(P.rtoCharDelayTime_.load()) / 1000.0 + P.rtoExtraDelayTime_.load();
    const double elapsed = static_cast<uint32_t>(static_cast<uint32_t>(now) - refTick_);
    limit = std::min(limit, std::max(1.0, std::floor(bound - elapsed) + 1.0));
    const TSerialPort::ReplyEndRule endsReply = P.replyEnd_.load();
    if (endsReply && endsReply(held_)) {
      const double settled = static_cast<uint32_t>(static_cast<uint32_t>(now) - lastByteTick_);
      limit = std::min(limit, std::max(1.0, kReplySettleMs - settled));
    }
  } else if (seenInQueue_ > 0) {
    // Wake up when the burst's time is up.
    const uint32_t n = lastInQueue_;
    const double bound = n * static_cast<double>(P.rtoCharDelayTime_.load()) / 1000.0 + P.rtoExtraDelayTime_.load();
    const double elapsed = static_cast<uint32_t>(static_cast<uint32_t>(now) - refTick_);
    limit = std::min(limit, std::max(1.0, std::floor(bound - elapsed) + 1.0));
  }
  if (P.sendInProgress_.load() && P.writeDeadlineMs_ >= 0)
    limit = std::min(limit, static_cast<double>(std::max<int64_t>(1, P.writeDeadlineMs_ - now + 1)));
  return static_cast<int>(limit);
}

void TWorkThread::DrainWake(Pending& out) {
  uint64_t v;
  while (read(Port.wakeFd_, &v, sizeof v) > 0) {
  }
  if (errno != EAGAIN && errno != EINTR)
    RelayError(out, 1101, static_cast<uint32_t>(errno), "Error resetting Overlapped Event");
}

bool TWorkThread::PollLineStatus(int fd, uint32_t& events, Pending& out) {
  TSerialPort& P = Port;
  PollModemLines(fd, events, out);
  int inq = 0, outq = 0;
  if (!PollQueues(fd, inq, outq, out)) return false;
  const uint32_t errors = PollErrorCounters(fd, events);
  const uint32_t in = static_cast<uint32_t>(std::max(inq, 0));
  const uint32_t outCount = static_cast<uint32_t>(std::max(outq, 0));
  if (in > seenInQueue_) events |= EV_RXCHAR;
  seenInQueue_ = in;
  lastInQueue_ = in;
  if (outCount == 0 && !P.sendInProgress_.load() && P.txNotEmpty_.exchange(false)) events |= EV_TXEMPTY;
  PublishCommState(errors, in, outCount, out);
  return true;
}

void TWorkThread::PollModemLines(int fd, uint32_t& events, Pending& out) {
  TSerialPort& P = Port;
  int tiocm = 0;
  if (!modemSupported_) return;  // no modem lines on this device: asked once, reported once
  if (ioctl(fd, TIOCMGET, &tiocm) != 0) {
    if (errno == modemErr_) return;
    // Reported once per failure: a pseudo-terminal refuses this on every pass.
    modemErr_ = errno;
    if (modemErr_ == ENOTTY || modemErr_ == EINVAL) modemSupported_ = false;
    RelayError(out, 9905, static_cast<uint32_t>(modemErr_), "Error getting ModemStatus");
    return;
  }
  modemErr_ = 0;
  const uint32_t now = ModemBits(tiocm);
  const uint32_t before = P.modemState_.load();
  if (!modemSeeded_) {
    // The lines as found at open are states, not changes.
    modemSeeded_ = true;
    P.ctsState_.store(now & MS_CTS_ON);
    P.dsrState_.store(now & MS_DSR_ON);
    P.ringState_.store(now & MS_RING_ON);
    P.rlsdState_.store(now & MS_RLSD_ON);
  } else {
    events |= serial_impl::ModemEvents(before, now);
    // The ring state follows the line on both edges; only a rising edge is a ring.
    P.ringState_.store(now & MS_RING_ON);
  }
  P.modemState_.store(now);
}

bool TWorkThread::PollQueues(int fd, int& inq, int& outq, Pending& out) {
  if (ioctl(fd, FIONREAD, &inq) != 0 || ioctl(fd, TIOCOUTQ, &outq) != 0) {
    if (errno != statusErr_) {
      statusErr_ = errno;
      RelayError(out, 9803, static_cast<uint32_t>(errno), "Error ClearCommError");
    }
    return false;
  }
  statusErr_ = 0;
  return true;
}

uint32_t TWorkThread::PollErrorCounters(int fd, uint32_t& events) {
  if (!icountSupported_) return 0;
  uint32_t errors = 0;
  serial_icounter_struct ic{};
  if (ioctl(fd, TIOCGICOUNT, &ic) == 0) {
    if (icountSeeded_) errors = serial_impl::LineErrorsFromCounters(icount_, ic, events);
    icount_ = ic;
    icountSeeded_ = true;
  } else if (errno == ENOTTY || errno == EINVAL) {
    icountSupported_ = false;  // no error counters: the line counts as clean
  }
  return errors;
}

void TWorkThread::PublishCommState(uint32_t errors, uint32_t in, uint32_t outCount, Pending& out) {
  TSerialPort& P = Port;
  const uint32_t holds = 0;  // the Linux drivers do not tell why output is held
  if (errors == P.commError_.load() && holds == P.commStateFlags_.load() && in == P.commStateInQueue_.load() &&
      outCount == P.commStateOutQueue_.load())
    return;
  P.commError_.store(errors);
  P.commStateFlags_.store(holds);
  P.commStateInQueue_.store(in);
  P.commStateOutQueue_.store(outCount);
  TSerialPort* port = &P;
  if (P.OnCommStat.Assigned())
    out.calls.push_back([port] {
      if (!port->destroying_.load()) port->Raise(port->OnCommStat);
    });
}

void TWorkThread::AbortWrite(uint32_t code, Pending& out) {
  TSerialPort& P = Port;
  P.writtenBytes_.store(P.writtenSoFar_);
  P.pendingWrite_.clear();
  P.sendInProgress_.store(false);
  RelayError(out, 9702, code, "Error getting Overlapped Result");
  TSerialPort* port = &P;
  if (P.OnWriteDone.Assigned())
    out.calls.push_back([port] {
      if (!port->destroying_.load()) port->Raise(port->OnWriteDone);
    });
}

void TWorkThread::CheckWriteDone(int fd, Pending& out) {
  TSerialPort& P = Port;
  if (!P.sendInProgress_.load()) return;
  if (!P.active_.load()) {
    // The port is closing: the pending bytes are dropped, as a purge would.
    AbortWrite(ECANCELED, out);
    return;
  }
  while (!P.pendingWrite_.empty()) {
    ssize_t r = write(fd, P.pendingWrite_.data(), P.pendingWrite_.size());
    if (r > 0) {
      P.writtenSoFar_ += static_cast<uint32_t>(r);
      P.pendingWrite_.erase(0, static_cast<size_t>(r));
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) {
      AbortWrite(static_cast<uint32_t>(errno), out);
      return;
    }
    break;  // the device takes no more for now
  }
  const bool timedOut = P.writeDeadlineMs_ >= 0 && NowMs() >= P.writeDeadlineMs_;
  if (!P.pendingWrite_.empty() && !timedOut) return;  // still incomplete: look again next pass

  const bool shortWrite = !P.pendingWrite_.empty();
  P.writtenBytes_.store(P.writtenSoFar_);
  P.pendingWrite_.clear();
  P.txNotEmpty_.store(true);
  P.sendInProgress_.store(false);
  if (shortWrite) RelayError(out, 9701, 0, "Error write TimeOut");
  TSerialPort* port = &P;
  if (P.OnWriteDone.Assigned())
    out.calls.push_back([port] {
      if (!port->destroying_.load()) port->Raise(port->OnWriteDone);
    });
}

bool TWorkThread::TryRead(int fd, uint32_t& events, Pending& out, int& goneCode) {
  TSerialPort& P = Port;
  // Held bytes left from fast mode are finished the same way when it is
  // switched off, so none are lost or reordered.
  if (P.ReplyAwareFraming() || heldCount_ > 0) return TryReadHeld(fd, events, out, goneCode);
  const uint32_t n = lastInQueue_;
  const uint32_t now = Tick();
  if (n == 0) {
    refTick_ = now;
    return true;
  }
  const double bound = n * static_cast<double>(P.rtoCharDelayTime_.load()) / 1000.0 + P.rtoExtraDelayTime_.load();
  const uint32_t elapsed = now - refTick_;
  const bool readNow = P.readRequest_.load() || n >= P.clusterSize_.load() || elapsed > bound ||
                       (P.commError_.load() & CE_READ_NOW) != 0;
  if (!readNow) return true;

  auto buf = std::make_unique<char[]>(n);
  ssize_t r = read(fd, buf.get(), n);
  const int err = r < 0 ? errno : 0;
  switch (serial_impl::ClassifyRead(r, err)) {
    case serial_impl::ReadOutcome::Nothing:
      seenInQueue_ = 0;  // nothing there after all (another reader took it): wait for bytes again
      return true;
    case serial_impl::ReadOutcome::Gone:
      goneCode = err;
      return false;
    case serial_impl::ReadOutcome::Failed:
      P.readRequest_.store(false);
      RelayError(out, 9804, static_cast<uint32_t>(err), "Error reading Data");
      return true;
    case serial_impl::ReadOutcome::Data: break;
  }
  P.readRequest_.store(false);
  const uint32_t got = static_cast<uint32_t>(r);
  seenInQueue_ = seenInQueue_ > got ? seenInQueue_ - got : 0;
  std::string bytes;
  filter_.Apply(buf.get(), got, bytes);
  if (bytes.find(eventChar_) != std::string::npos) events |= EV_RXFLAG;
  DeliverCluster(out, std::move(bytes), P.commError_.load());
  refTick_ = Tick();
  return true;
}

bool TWorkThread::TryReadHeld(int fd, uint32_t& events, Pending& out, int& goneCode) {
  TSerialPort& P = Port;
  const uint32_t queued = lastInQueue_;
  if (queued > 0) {
    auto buf = std::make_unique<char[]>(queued);
    ssize_t r = read(fd, buf.get(), queued);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
      seenInQueue_ = 0;  // nothing there after all
    } else if (r == 0 || (r < 0 && errno == EIO)) {
      goneCode = EIO;  // end of file on a terminal: the device has hung up
      return false;
    } else if (r < 0) {
      P.readRequest_.store(false);
      RelayError(out, 9804, static_cast<uint32_t>(errno), "Error reading Data");
      return true;
    } else {
      const uint32_t got = static_cast<uint32_t>(r);
      seenInQueue_ = seenInQueue_ > got ? seenInQueue_ - got : 0;
      const size_t from = held_.size();
      filter_.Apply(buf.get(), got, held_);
      if (held_.find(eventChar_, from) != std::string::npos) events |= EV_RXFLAG;
      heldCount_ += got;
      heldErrors_ |= P.commError_.load();
      lastByteTick_ = Tick();
    }
  }
  const uint32_t now = Tick();
  if (heldCount_ == 0) {
    refTick_ = now;  // the queue is empty: a burst starts with the next byte
    return true;
  }
  // The cluster rule over the held bytes, as TryRead applies it to queued ones.
  const double bound =
      heldCount_ * static_cast<double>(P.rtoCharDelayTime_.load()) / 1000.0 + P.rtoExtraDelayTime_.load();
  const uint32_t elapsed = now - refTick_;
  bool close = P.readRequest_.load() || heldCount_ >= P.clusterSize_.load() || elapsed > bound ||
               ((heldErrors_ | P.commError_.load()) & CE_READ_NOW) != 0;
  const TSerialPort::ReplyEndRule endsReply = P.replyEnd_.load();
  if (!close && endsReply && endsReply(held_))
    close = static_cast<uint32_t>(now - lastByteTick_) >= kReplySettleMs;
  if (close) DeliverHeld(out);
  return true;
}

void TWorkThread::DeliverHeld(Pending& out) {
  TSerialPort& P = Port;
  P.readRequest_.store(false);
  DeliverCluster(out, std::move(held_), heldErrors_ | P.commError_.load());
  held_.clear();
  heldCount_ = 0;
  heldErrors_ = 0;
  refTick_ = Tick();
}

void TWorkThread::RelayError(Pending& out, uint32_t place, uint32_t code, const char* msg) {
  if (!Port.OnProcessError.Assigned()) return;  // nobody listens: no hand-over
  TSerialPort* port = &Port;
  std::string text = msg;
  out.calls.push_back([port, place, code, text] { port->ReportError(place, code, 0, text); });
}

void TWorkThread::DeliverCluster(Pending& out, std::string bytes, uint32_t error) {
  TSerialPort& P = Port;
  if (P.destroying_.load()) return;
  auto cluster = std::make_shared<std::unique_ptr<TSerialCluster>>(
      std::make_unique<TSerialCluster>(bytes.data(), static_cast<uint32_t>(bytes.size()), error));
  TSerialPort* port = &P;
  out.calls.push_back([port, cluster] {
    if (port->destroying_.load()) return;
    port->clusterQueue_.push_back(std::move(*cluster));
    port->Raise(port->OnRxClusterEvent);
  });
}

void TWorkThread::DispatchLineEvents(Pending& out, uint32_t mask) {
  TSerialPort& P = Port;
  if (P.destroying_.load()) return;
  mask &= P.eventMask_.load();
  if (mask == 0) return;
  P.commEvent_.store(mask);
  const uint32_t ms = P.modemState_.load();
  if (mask & EV_CTS) P.ctsState_.store(ms & MS_CTS_ON);
  if (mask & EV_DSR) P.dsrState_.store(ms & MS_DSR_ON);
  if (mask & EV_RING) P.ringState_.store(ms & MS_RING_ON);
  if (mask & EV_RLSD) P.rlsdState_.store(ms & MS_RLSD_ON);
  // The states are updated above in any case; the hand-over happens only
  // when a handler of one of these events, or of OnCommEvent, is assigned.
  bool listened = P.OnCommEvent.Assigned();
  const struct {
    uint32_t bit;
    const TSerialPort::NotifyEvent& handler;
  } kListeners[] = {
      {EV_BREAK, P.OnBreakEvent}, {EV_CTS, P.OnCTSEvent},       {EV_DSR, P.OnDSREvent},
      {EV_ERR, P.OnLineErrorEvent}, {EV_RING, P.OnRingEvent},   {EV_RLSD, P.OnRLSDEvent},
      {EV_RXCHAR, P.OnRxCharEvent}, {EV_RXFLAG, P.OnRxEventCharEvent}, {EV_TXEMPTY, P.OnTxQueueEmptyEvent},
  };
  for (const auto& row : kListeners) listened = listened || ((mask & row.bit) && row.handler.Assigned());
  if (!listened) return;
  TSerialPort* port = &P;
  auto hub = P.hub_;
  out.calls.push_back([port, hub, mask] {
    using Handler = TSerialPort::NotifyEvent TSerialPort::*;
    static constexpr struct {
      uint32_t bit;
      Handler handler;
    } kOrder[] = {
        {EV_BREAK, &TSerialPort::OnBreakEvent},   {EV_CTS, &TSerialPort::OnCTSEvent},
        {EV_DSR, &TSerialPort::OnDSREvent},       {EV_ERR, &TSerialPort::OnLineErrorEvent},
        {EV_RING, &TSerialPort::OnRingEvent},     {EV_RLSD, &TSerialPort::OnRLSDEvent},
        {EV_RXCHAR, &TSerialPort::OnRxCharEvent}, {EV_RXFLAG, &TSerialPort::OnRxEventCharEvent},
        {EV_TXEMPTY, &TSerialPort::OnTxQueueEmptyEvent},
    };
    for (const auto& row : kOrder) {
      // A handler may destroy the port: stop as soon as it is gone.
      if (!hub->alive.load() || port->destroying_.load()) return;
      if (mask & row.bit) port->Raise(port->*row.handler);
    }
    if (hub->alive.load() && !port->destroying_.load()) port->Raise(port->OnCommEvent);
  });
}
