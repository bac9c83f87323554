#include "SerialPort.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "PortNames.h"
#include "WorkThread.h"

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t Code(int err) { return static_cast<uint32_t>(err); }

}  // namespace

TSerialPort::TSerialPort(UiDispatcher& ui, void* owner) : ui_(ui), owner_(owner), hub_(std::make_shared<SyncHub>()) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) ReportError(1001, Code(errno), 0, "Error Creating Overlapped Event");
  worker_ = std::make_unique<TWorkThread>(*this);
}

TSerialPort::~TSerialPort() {
  destroying_.store(true);
  hub_->alive.store(false);  // calls still queued on the dispatcher do nothing from now on
  NotifyHub();
  ReopenPort(false);
  terminate_.store(true);
  Wake();
  NotifyHub();
  {
    std::unique_lock lk(hub_->m);
    hub_->cv.wait_for(lk, std::chrono::milliseconds(1250), [&] { return threadEnded_.load(); });
  }
  worker_.reset();  // joins the thread
  if (wakeFd_ >= 0) close(wakeFd_);
  wakeFd_ = -1;
  clusterQueue_.clear();
}

// ---------------------------------------------------------------- helpers

void TSerialPort::Wake() {
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0 && errno != EAGAIN) {
    // the worker then notices the change at its next pass (75 ms at most)
  }
}

void TSerialPort::NotifyHub() {
  { std::lock_guard lk(hub_->m); }
  hub_->cv.notify_all();
}

bool TSerialPort::CancelWaits() const { return !active_.load() || destroying_.load() || terminate_.load(); }

void TSerialPort::CallOnUi(std::function<void()> call) {
  auto hub = hub_;
  auto done = std::make_shared<bool>(false);  // guarded by hub->m
  ui_.Post([hub, done, call = std::move(call)] {
    struct Finish {
      SyncHub& h;
      bool& d;
      ~Finish() {
        { std::lock_guard lk(h.m); d = true; }
        h.cv.notify_all();
      }
    } finish{*hub, *done};
    if (hub->alive.load()) call();
  });
  std::unique_lock lk(hub->m);
  hub->cv.wait(lk, [&] { return *done || CancelWaits(); });
}

void TSerialPort::Raise(const NotifyEvent& handler) {
  NotifyEvent h = handler;  // a handler may reassign itself while it runs
  if (h) h(*this);
}

std::string TSerialPort::DevicePath() const {
  // Names are limited to 79 characters; a path is taken whole.
  std::string name = commPort_;
  if (name.empty() || name[0] != '/') name = name.substr(0, 79);
  return ResolvePortName(name, portMap_);
}

uint32_t TSerialPort::ComHandle() const {
  int fd = fd_.load();
  return fd < 0 ? kInvalidHandle : static_cast<uint32_t>(fd);
}

// ---------------------------------------------------------------- open / close

void TSerialPort::ReopenPort(bool reopen) {
  if (fd_.load() >= 0) ClosePort();
  if (!reopen) return;

  ReportError(110, 0, 2, "Msg start reactivating Port");
  int err = 0;
  const int fd = OpenExclusive(DevicePath(), err);
  if (fd < 0) {
    active_.store(false);
    ReportError(112, Code(err), 0, "Error reopening Port");
    return;
  }
  StartServing(fd);
}

void TSerialPort::ClosePort() {
  ReportError(100, 0, 2, "Msg start deactivating Port");
  eventMask_.store(0);
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0 && errno != EAGAIN)
      ReportError(101, Code(errno), 0, "Error disabling CommEvents");
  }
  active_.store(false);
  Wake();  // a worker that took the first wake before this sees the change now
  NotifyHub();
  {
    std::unique_lock lk(hub_->m);
    if (!hub_->cv.wait_for(lk, std::chrono::milliseconds(1500), [&] { return !threadBusy_.load(); })) {
      lk.unlock();
      ReportError(104, 0, 1, "Warning ThreadIsRunning");
    }
  }
  // The worker uses the descriptor only under ioMutex_, so it can never
  // see a closed (and possibly reused) descriptor. Reports wait until the
  // lock is released, since a handler may call back into the port.
  int flushErr = 0, dtrErr = 0, rtsErr = 0, closeErr = 0;
  {
    std::lock_guard io(ioMutex_);
    int fd = fd_.load();
    if (tcflush(fd, TCIOFLUSH) != 0) flushErr = errno;
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &dtr) != 0) dtrErr = errno;
    if (ioctl(fd, TIOCMBIC, &rts) != 0) rtsErr = errno;
    if (haveSavedTermios_) tcsetattr(fd, TCSANOW, &savedTermios_);  // leave the device as we found it
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    if (close(fd) != 0) closeErr = errno;
    fd_.store(-1);
    haveSavedTermios_ = false;
  }
  dtrState_ = false;
  rtsState_ = false;
  if (flushErr) ReportError(102, Code(flushErr), 0, "Error clearing Queues");
  if (dtrErr) ReportError(602, Code(dtrErr), 0, "Error clearing DTR");
  if (rtsErr) ReportError(502, Code(rtsErr), 0, "Error clearing RTS");
  if (closeErr) ReportError(103, Code(closeErr), 0, "Error closing Port");
}

int TSerialPort::OpenExclusive(const std::string& path, int& err) {
  int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  err = path.empty() ? ENOENT : errno;
  if (fd >= 0 && !isatty(fd)) {
    // Not a terminal (a plain file, a directory...): reading it would never end.
    err = ENOTTY;
    close(fd);
    fd = -1;
  }
  if (fd >= 0 && ioctl(fd, TIOCEXCL) != 0) {
    err = errno;
    close(fd);
    fd = -1;
  }
  // TIOCEXCL keeps out other opens, but not root's. The advisory lock keeps
  // out every program that also locks (another gateway, terminal programs),
  // so two of them never interleave commands on one phone. "Already locked"
  // (EWOULDBLOCK) is a busy port.
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    err = errno;
    close(fd);
    fd = -1;
  }
  return fd;
}

void TSerialPort::StartServing(int fd) {
  haveSavedTermios_ = tcgetattr(fd, &savedTermios_) == 0;
  {
    std::lock_guard io(ioMutex_);
    fd_.store(fd);
    ++openCount_;
  }
  SetQueueSizes(111, "Error setup Queuesize");
  ApplyLineSettings();
  SetDTRState(true);
  SetRTSState(true);
  eventMask_.store(EV_ALL);
  active_.store(true);
  Wake();
  NotifyHub();
}

void TSerialPort::SetQueueSizes(uint32_t failPlace, const char* failMsg) {
  // The Linux drivers have fixed queues: the sizes are kept for the XON/XOFF
  // limits, and the call fails only when no device is open.
  termios t;
  int fd = fd_.load();
  if (fd < 0) {
    ReportError(failPlace, Code(EBADF), 0, failMsg);
  } else if (tcgetattr(fd, &t) != 0) {
    ReportError(failPlace, Code(errno), 0, failMsg);
  }
}

void TSerialPort::ApplyLineSettings() {
  int fd = fd_.load();
  termios t;
  if (tcgetattr(fd, &t) != 0) {
    ReportError(801, Code(errno), 0, "Error getting DCB from CommState");
    return;
  }
  ++applyCount_;
  serial_impl::TLineSettings s;
  s.BaudRate = baudRate_;
  s.Flags = serial_impl::kFlagBinary;
  if (parityType_ != 0) s.Flags |= serial_impl::kFlagParity;
  if (parityErrorReplacement_) s.Flags |= serial_impl::kFlagErrorChar;
  s.Flags |= static_cast<uint32_t>(flowControl_);
  if (stripNullChars_) s.Flags |= serial_impl::kFlagNull;
  s.Parity = parityType_;
  s.ErrorChar = parityErrorChar_;
  s.EventChar = eventChar_;
  s.StopBits = stopBits_;
  s.ByteSize = dataBits_;
  s.XonChar = xonChar_;
  s.XoffChar = xoffChar_;
  s.EofChar = 0;
  s.XonLim = static_cast<uint16_t>(uint32_t{rxQueueSize_} * xonLimDiv_ / 100);
  s.XoffLim = static_cast<uint16_t>(uint32_t{rxQueueSize_} * xoffLimDiv_ / 100);
  lastSettings_ = s;

  // The receive timeouts: reads return at once with what is queued. Writes
  // get their time limit from SendData.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) ReportError(802, Code(errno), 0, "Error setting CommTimeout");

  // The line state. A field the device cannot take is refused alone: raw
  // mode and the timeouts are written all the same.
  bool custom = false;
  const int refused = serial_impl::ToTermios(s, t, custom);
  int err = tcsetattr(fd, TCSANOW, &t) != 0 ? errno : 0;
  if (err == 0 && custom) err = serial_impl::SetCustomBaud(fd, s.BaudRate);
  if (err == 0) err = refused;
  if (err == 0) err = VerifyLineState(fd, t, custom ? s.BaudRate : 0);
  if (err != 0) ReportError(802, Code(err), 0, "Error setting CommState, 87 indicate that Parms are incorrect");

  std::lock_guard lk(filterMutex_);
  filterOptions_.Unmark = (s.Flags & serial_impl::kFlagParity) != 0;
  filterOptions_.Replace = (s.Flags & serial_impl::kFlagErrorChar) != 0;
  filterOptions_.ErrorChar = s.ErrorChar;
  filterOptions_.StripNulls = (s.Flags & serial_impl::kFlagNull) != 0;
  filterEventChar_ = s.EventChar;
  ++filterGeneration_;
}

int TSerialPort::VerifyLineState(int fd, const termios& wanted, uint32_t customBaud) {
  // tcsetattr succeeds when any one of the changes took effect: an adapter
  // that ignores a parity, a data-bit count or a rate is found only by
  // reading the state back.
  termios got;
  if (tcgetattr(fd, &got) != 0) return errno;
  serial_impl::TUnapplied missing = serial_impl::UnappliedFields(wanted, got);
  if (customBaud != 0) {
    uint32_t in = 0, out = 0;
    if (serial_impl::GetCustomBaud(fd, in, out) != 0) return errno;
    // Drivers round an arbitrary rate to what their clock can make; a UART
    // copes with about 2 %.
    const auto near = [customBaud](uint32_t rate) {
      const uint32_t diff = rate > customBaud ? rate - customBaud : customBaud - rate;
      return uint64_t{diff} * 50 <= customBaud;
    };
    missing.speed = !near(in) || !near(out);
  }
  return missing.Any() ? EINVAL : 0;
}

void TSerialPort::ReApply() {
  if (fd_.load() >= 0) ApplyLineSettings();
}

// ---------------------------------------------------------------- setters

void TSerialPort::SetActive(bool v) {
  if (v == Active()) return;
  ReopenPort(v);
}

void TSerialPort::SetCommPort(std::string v) {
  if (v.size() > 255) v.resize(255);
  if (v == commPort_) return;
  commPort_ = std::move(v);
  ReopenPort(Active());
}

void TSerialPort::SetBaudRate(uint32_t v) {
  if (v == baudRate_) return;
  baudRate_ = v;
  if (xtoAuto_) AutoCharDelay();
  ReApply();
}

#define PDULINK_REAPPLY_SETTER(Name, member, Type) \
  void TSerialPort::Set##Name(Type v) {            \
    if (v == member) return;                       \
    member = v;                                    \
    ReApply();                                     \
  }

PDULINK_REAPPLY_SETTER(ParityType, parityType_, uint8_t)
PDULINK_REAPPLY_SETTER(ParityErrorChar, parityErrorChar_, char)
PDULINK_REAPPLY_SETTER(ParityErrorReplacement, parityErrorReplacement_, bool)
PDULINK_REAPPLY_SETTER(StopBits, stopBits_, uint8_t)
PDULINK_REAPPLY_SETTER(DataBits, dataBits_, uint8_t)
PDULINK_REAPPLY_SETTER(XONChar, xonChar_, char)
PDULINK_REAPPLY_SETTER(XOFFChar, xoffChar_, char)
PDULINK_REAPPLY_SETTER(FlowControl, flowControl_, int32_t)
PDULINK_REAPPLY_SETTER(StripNullChars, stripNullChars_, bool)
PDULINK_REAPPLY_SETTER(EventChar, eventChar_, char)
PDULINK_REAPPLY_SETTER(WTOCharDelayTime, wtoCharDelayTime_, uint32_t)
PDULINK_REAPPLY_SETTER(WTOExtraDelayTime, wtoExtraDelayTime_, uint16_t)
#undef PDULINK_REAPPLY_SETTER

void TSerialPort::SetXONLimDiv(uint8_t v) {
  if (v == xonLimDiv_) return;
  if (v > 100) {
    ReportError(100, v, 1, "Warning XOnLimDef set to 100");
    v = 100;
    if (v == xonLimDiv_) return;
  }
  xonLimDiv_ = v;
  ReApply();
}

void TSerialPort::SetXOFFLimDiv(uint8_t v) {
  if (v == xoffLimDiv_) return;
  if (v > 100) {
    ReportError(100, v, 1, "Warning XOffLimDef set to 100");
    v = 100;
    if (v == xoffLimDiv_) return;
  }
  xoffLimDiv_ = v;
  ReApply();
}

void TSerialPort::SetRTOCharDelayTime(uint32_t v) { rtoCharDelayTime_.store(v); }
void TSerialPort::SetRTOExtraDelayTime(uint16_t v) { rtoExtraDelayTime_.store(v); }

void TSerialPort::SetReplyFraming(ReplyEndRule endsReply) {
  replyEnd_.store(endsReply);
  Wake();  // a burst being held is judged again at once
}

void TSerialPort::SetRxQueueSize(uint16_t v) {
  if (v == rxQueueSize_) return;
  rxQueueSize_ = v;
  SetQueueSizes(101, "Error can not set Quesize");
}

void TSerialPort::SetTxQueueSize(uint16_t v) {
  if (v == txQueueSize_) return;
  txQueueSize_ = v;
  SetQueueSizes(102, "Error can not set Quesize");
}

void TSerialPort::SetXTOAuto(bool v) {
  if (v == xtoAuto_) return;
  xtoAuto_ = v;
  if (v) AutoCharDelay();
}

void TSerialPort::SetReadRequest(bool v) {
  readRequest_.store(v);
  if (v) Wake();
}

// Control lines: nothing happens on a closed port; otherwise the line is
// driven and the value stored even when the driver refused (a pseudo-terminal
// has no modem lines).
void TSerialPort::SetRTSState(bool v) {
  int fd = fd_.load();
  if (fd < 0) return;
  int bits = TIOCM_RTS;
  if (ioctl(fd, v ? TIOCMBIS : TIOCMBIC, &bits) != 0)
    ReportError(v ? 501 : 502, Code(errno), 0, v ? "Error setting RTS" : "Error clearing RTS");
  rtsState_ = v;
}

void TSerialPort::SetDTRState(bool v) {
  int fd = fd_.load();
  if (fd < 0) return;
  int bits = TIOCM_DTR;
  if (ioctl(fd, v ? TIOCMBIS : TIOCMBIC, &bits) != 0)
    ReportError(v ? 601 : 602, Code(errno), 0, v ? "Error setting DTR" : "Error clearing DTR");
  dtrState_ = v;
}

void TSerialPort::SetBREAKState(bool v) {
  int fd = fd_.load();
  if (fd < 0) return;
  if (ioctl(fd, v ? TIOCSBRK : TIOCCBRK) != 0)
    ReportError(v ? 701 : 702, Code(errno), 0, v ? "Error setting BREAK State" : "Error clearing BREAK State");
  breakState_ = v;
}

void TSerialPort::AutoCharDelay() {
  uint32_t micros = 1100;
  for (const TCharTime& row : CharTimeTable) {
    if (row.Baud >= baudRate_) {
      micros = row.Micros;
      break;
    }
  }
  SetRTOCharDelayTime(micros);
  SetWTOCharDelayTime(micros);
}

// ---------------------------------------------------------------- writing

void TSerialPort::SendData(const void* buffer, uint32_t count) {
  if (sendInProgress_.load()) {
    ReportError(901, 0, 2, "Msg, dont enter SendData while SendInProgress is set");
    return;
  }
  const int fd = fd_.load();
  termios t;
  if (fd < 0) ReportError(902, Code(EBADF), 0, "Error setting CommTimeout");
  else if (tcgetattr(fd, &t) != 0) ReportError(902, Code(errno), 0, "Error setting CommTimeout");
  // Computed wide so that a large write cannot wrap to a short limit; 0 means no limit.
  const uint64_t limitMs = uint64_t{count} * wtoCharDelayTime_ / 1000 + wtoExtraDelayTime_;

  if (fd < 0) {
    ReportError(903, Code(EBADF), 0, "Error writing Data");
    return;
  }
  ssize_t r = count ? write(fd, buffer, count) : 0;
  if (r < 0 && errno != EAGAIN && errno != EINTR) {
    ReportError(903, Code(errno), 0, "Error writing Data");
    return;
  }
  const uint32_t done = r < 0 ? 0 : static_cast<uint32_t>(r);
  if (count) txNotEmpty_.store(true);
  if (done == count) {
    writtenBytes_.store(count);
    Raise(OnWriteDone);
    return;
  }
  // The device took only part: the worker writes the rest within the limit.
  pendingWrite_.assign(static_cast<const char*>(buffer) + done, count - done);
  requestedWrite_ = count;
  writtenSoFar_ = done;
  writeDeadlineMs_ = limitMs == 0 ? -1 : NowMs() + static_cast<int64_t>(limitMs);
  sendInProgress_.store(true);
  Wake();
}

void TSerialPort::SendText(const std::string& text) {
  if (!text.empty()) SendData(text.data(), static_cast<uint32_t>(text.size()));
}

// ---------------------------------------------------------------- clusters

void TSerialPort::DropEmptyClusters() {
  while (!clusterQueue_.empty() && !clusterQueue_.front()) clusterQueue_.pop_front();
}

int TSerialPort::PeekClusterSize() {
  DropEmptyClusters();
  return clusterQueue_.empty() ? -1 : static_cast<int>(clusterQueue_.front()->Size);
}

int TSerialPort::PeekClusterError() {
  DropEmptyClusters();
  return clusterQueue_.empty() ? -1 : static_cast<int>(clusterQueue_.front()->Error);
}

std::string TSerialPort::TakeClusterText() {
  DropEmptyClusters();
  if (clusterQueue_.empty()) return {};
  std::unique_ptr<TSerialCluster> c = std::move(clusterQueue_.front());
  clusterQueue_.pop_front();
  return c->Text();
}

// ---------------------------------------------------------------- reports

void TSerialPort::ReportError(uint32_t place, uint32_t code, uint8_t level, const std::string& msg) {
  if (destroying_.load() || level > errorNoise_ || !OnProcessError) return;
  ErrorEvent h = OnProcessError;
  h(owner_, place, code, msg);
}
