#include "Transaction.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "AnsiText.h"
#include "Controls.h"
#include "Journal.h"
#include "Lamp.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "TrayState.h"
#include "text_helpers.h"

namespace {
// Longest fast pause. Any change a wait looks at ends it earlier, so this only
// sets how often an idle wait looks without cause.
constexpr int kFastPauseMs = 500;
// The default pause: a wait looks every step; nothing changing, at least
// once a second.
constexpr int kStepMs = 50;
constexpr int kIdleLookMs = 1000;
}  // namespace

Transaction::Transaction(Context& ctx)
    : ProcessEvents([] { QCoreApplication::processEvents(QEventLoop::AllEvents); }),
      Pause([this] {
        if (fastWaits_) {
          WaitForCluster(kFastPauseMs);
        } else {
          PauseOnSteps();
        }
      }),
      ui_(ctx.ui),
      journal_(ctx.journal),
      tray_(ctx.tray),
      comport_(ctx.comport),
      clock_(ctx.clock) {}

Transaction::~Transaction() = default;

bool Transaction::WaitReply(const std::string& kind) {
  ui_.b_abort->setEnabled(true);
  const uint32_t start = clock_.SecondsCounter;
  bool met = false;
  lastLook_.reset();
  do {
    if (ExitUnderway) {
      AbortFlag = true;
      break;
    }
    const uint64_t mark = clusterCount_;
    ProcessEvents();
    pauseMark_ = mark;
    Pause();
    if (kind == "ok") met = OkFlag;
    if (kind == "rx") met = ReplyFlag;
    // A port that closed meanwhile (Disconnect, or the device vanished) can
    // bring no reply: the wait ends now rather than at its timeout.
    if (!met && !comport_.Active()) AbortFlag = true;
    if (PollClock::Elapsed(start, clock_.SecondsCounter) > static_cast<uint32_t>(ReplyTimeout)) {
      journal_.WriteLog("TimeOut Rx Done");
      AbortFlag = true;
    }
  } while (!AbortFlag && !met);
  // An abort (Abort, Disconnect, Exit, a closed port) is not the phone
  // falling silent; only a timeout keeps the command counted unanswered.
  if (AbortFlag && PollClock::Elapsed(start, clock_.SecondsCounter) <= static_cast<uint32_t>(ReplyTimeout))
    unanswered_ = false;
  bool result = !AbortFlag;
  AbortFlag = false;
  ui_.b_abort->setEnabled(false);
  return result;
}

void Transaction::WaitForCluster(int ms) {
  const uint64_t mark = pauseMark_;
  if (clusterCount_ != mark) return;  // the flags may have changed: look now
  // Everything a wait looks at (the reply flags, Abort, the exit, the tick
  // counter) changes only in handlers of this thread's events, so the pause
  // sleeps in the event wait and ends as soon as one of them has changed. A
  // single-shot timer bounds it; its expiry is an event too. Waits nest (a
  // tick handled here may start another command): each pause keeps its own
  // mark and deadline.
  if (!pauseTimer_) {
    pauseTimer_ = std::make_unique<QTimer>();
    pauseTimer_->setSingleShot(true);
  }
  const uint32_t tick = clock_.SecondsCounter;
  QDeadlineTimer deadline(ms);
  while (clusterCount_ == mark && !AbortFlag && !ExitUnderway && clock_.SecondsCounter == tick &&
         !deadline.hasExpired()) {
    pauseTimer_->start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

Transaction::Look Transaction::Looked() const {
  return Look{clusterCount_, clock_.SecondsCounter, AbortFlag, ExitUnderway, comport_.Active()};
}

void Transaction::PauseOnSteps() {
  // A wait handles events and then sleeps one step before it looks at its
  // flags, so an event that came during a step is seen one step after that
  // step's end. The pause keeps exactly these moments, but steps in which no
  // event changed what the wait looks at are slept through in the event
  // wait instead of each ending in a look that finds nothing. Events are
  // handled as they come up to the end of the step in which something
  // changed; in the step after it none are (a plain sleep, as before), so
  // the wait sees what it would have seen.
  QElapsedTimer since;
  since.start();
  const Look entry = Looked();
  if (lastLook_ && *lastLook_ == entry) {
    if (!pauseTimer_) {
      pauseTimer_ = std::make_unique<QTimer>();
      pauseTimer_->setSingleShot(true);
      pauseTimer_->setTimerType(Qt::PreciseTimer);
    }
    // Woken by events only: the tick changes the look every second, and a
    // second without one is looked at all the same.
    while (Looked() == entry && since.elapsed() < kIdleLookMs) {
      pauseTimer_->start(static_cast<int>(kIdleLookMs - since.elapsed()));
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    const qint64 stepEnd = (since.elapsed() / kStepMs + 1) * kStepMs;
    while (since.elapsed() < stepEnd) {
      pauseTimer_->start(static_cast<int>(stepEnd - since.elapsed()));
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    pauseTimer_->stop();
  }
  // The step before the wait looks: the wait's first, the one after the
  // events just handled changed something, or the one after the step in
  // which they came.
  QThread::msleep(kStepMs);
  lastLook_ = Looked();
}

bool Transaction::SendCommand(const std::string& command, const std::string& mode) {
  if (ui_.cb_offline->isChecked() && mode.empty() && !OpenOffline()) return false;
  ReplyTimeout = CommandTimeout;
  ReplyFlag = false;
  if (cancelPrompt_ && comport_.Active()) {
    // A prompt given up on may still be open on the phone: it would take
    // this command for a message body.
    comport_.SendText("\x1B");
    journal_.WriteLog("Message prompt cancelled (ESC)");
  }
  NoteCommand(command);
  comport_.SendText(command);
  if (!comport_.Active()) {
    // Nothing was written (the port reports it in the journal) and no reply
    // can come: fail at once instead of waiting out the timeout.
    AbortFlag = false;
    OfflineSession = ui_.cb_offline->isChecked();
    return false;
  }
  bool result = WaitReply("rx");
  OfflineSession = ui_.cb_offline->isChecked();
  if (command == "ATE0\r" && result && OkFlag) echoOff_ = true;
  return result;
}

bool Transaction::ActivatePort() {
  if (!comport_.Active()) comport_.SetActive(true);
  if (!comport_.Active()) {
    ui_.led_connect->SetColor(LampColor::Red);
    tray_.SetTrayState(4, "Not Connected");
    return false;
  }
  ui_.cb_comport->setEnabled(false);
  ui_.cb_speed->setEnabled(false);
  ui_.led_connect->SetColor(LampColor::Yellow);
  tray_.SetTrayState(3, "Connecting...");
  return true;
}

bool Transaction::OpenOffline() {
  ReplyTimeout = 10;
  if (!ActivatePort()) return true;
  OkFlag = false;
  // The handshake's replies are not part of the command's: a capture
  // that is on keeps only what it held before, so the OK to ATE0 here
  // cannot pass for the command's own answer.
  const std::string captured = CaptureText;
  // The second AT is dropped by the port while the first is still being
  // written; phones that sleep wake on the first one.
  comport_.SendText("AT\r");
  comport_.SendText("AT\r");
  WaitReply("rx");
  // ATE0 is confirmed by an OK that came after it, not by the AT's.
  OkFlag = false;
  comport_.SendText("ATE0\r");
  const bool ready = WaitReply("ok");
  CaptureText = captured;
  if (!ready) return false;
  ui_.led_connect->SetColor(LampColor::Lime);
  tray_.SetTrayState(2, "Connected");
  return true;
}

void Transaction::NoteCommand(const std::string& command) {
  unsolicited_.Asked(command);
  if (!unanswered_) {
    unanswered_ = true;
    unansweredSince_ = clock_.SecondsCounter;
  }
  inFlight_ = command;
  firstCluster_ = true;
  // Commands that switch the echo back on (or reset the phone) make an echo
  // expected again.
  for (const char* reset : {"ATZ", "AT&F", "ATE1"})
    if (pdulink::EqualNoCase(command.substr(0, std::string_view(reset).size()), reset)) echoOff_ = false;
}

std::string Transaction::ReplyCapture(const std::string& word) {
  std::string previous = CaptureText;
  using pdulink::EqualNoCase;
  if (EqualNoCase(word, "clear")) {
    CaptureText.clear();
    CaptureOn = false;
  } else if (EqualNoCase(word, "start")) {
    CaptureText.clear();
    CaptureOn = true;
  } else if (EqualNoCase(word, "stop")) {
    CaptureOn = false;
  } else if (EqualNoCase(word, "cont")) {
    CaptureOn = true;
  }
  return previous;
}

void Transaction::comportRxClusterEvent() {
  std::string text;
  if (!TakeCluster(text)) return;
  const bool filter = Filtering();
  const UnsolicitedFilter::Split split = SplitBurst(text, filter);
  NoteAnswer(split, filter);
  NoteEcho(text);
  if (CaptureOn) CaptureText += split.reply;
  if (ClusterTaken) ClusterTaken(text);
  journal_.WriteLog(text);
  BlinkLamps();
  RingFlag = text.find("RING\r\n") != std::string::npos;
  ++clusterCount_;
  NotePowerOn(split);
  // Unsolicited lines alone are no reply: the flags stay as they were.
  if (filter && !split.AnyReply()) return;
  SetReplyFlags(split.reply, filter);
}

bool Transaction::TakeCluster(std::string& text) {
  int size = comport_.PeekClusterSize();
  if (size == 0) {
    // An empty cluster (a read that completed with no bytes) would block the
    // queue: drop it.
    comport_.TakeClusterText();
    return false;
  }
  if (size < 0) return false;
  if (comport_.PeekClusterError() != 0) journal_.WriteLog("Rx Error (BaudRate Tune)");
  text = comport_.TakeClusterText();
  return true;
}

UnsolicitedFilter::Split Transaction::SplitBurst(const std::string& text, bool filter) {
  // With a phone that speaks on its own, the reply is the burst without its
  // unsolicited lines; otherwise the whole burst.
  // A line held back from before the port was reopened ends nowhere.
  if (filter != filtering_ || comport_.OpenCount() != filterOpenCount_) unsolicited_.Reset();
  filtering_ = filter;
  filterOpenCount_ = comport_.OpenCount();
  UnsolicitedFilter::Split split;
  if (filter) {
    split = unsolicited_.Take(text);
  } else {
    split.reply = text;
  }
  return split;
}

void Transaction::NoteAnswer(const UnsolicitedFilter::Split& split, bool filter) {
  // Unsolicited lines alone answer no command.
  if (!unanswered_ || (filter && !split.AnyReply())) return;
  unanswered_ = false;
  answeredOnce_ = true;
  lastAnswerAt_ = clock_.SecondsCounter;
  lastAnswered_ = inFlight_.substr(0, inFlight_.find('\r'));
}

void Transaction::NoteEcho(const std::string& text) {
  // A phone that restarted echoes again: the first cluster after a command
  // holds the command itself at the start of a line (behind what the phone
  // still had to say, perhaps).
  if (firstCluster_ && echoOff_ && !inFlight_.empty() &&
      (text.compare(0, inFlight_.size(), inFlight_) == 0 || text.find("\n" + inFlight_) != std::string::npos)) {
    echoOff_ = false;
    EchoBack = true;
  }
  firstCluster_ = false;
}

void Transaction::BlinkLamps() {
  Lamp* lamp = ui_.led_connect;
  if (lamp->Color() == LampColor::Green) {
    lamp->SetColor(LampColor::Lime);
  } else if (lamp->Color() == LampColor::Lime) {
    lamp->SetColor(LampColor::Green);
  }
  if (tray_.Index() == 1) {
    tray_.SetTrayState(2, "Ok");
  } else if (tray_.Index() == 2) {
    tray_.SetTrayState(1, "Ok");
  }
}

void Transaction::NotePowerOn(const UnsolicitedFilter::Split& split) {
  if (split.powerOn <= 0) return;
  powerOnLines_ += static_cast<uint64_t>(split.powerOn);
  PowerOnSeen = true;
  if (PowerOn) PowerOn();
}

void Transaction::SetReplyFlags(const std::string& reply, bool filter) {
  if (filter && AnsweredInTextMode(inFlight_, reply)) SettingsLost = true;
  OkFlag = reply.find("\r\nOK\r\n") != std::string::npos;
  PromptFlag = reply.find('>') != std::string::npos;
  ReplyFlag = true;
  if (filter && cancelPrompt_) {
    if (HoldsPrompt(reply)) {
      // The prompt given up on came after all: nothing goes into it.
      comport_.SendText("\x1B");
      journal_.WriteLog("Late message prompt cancelled (ESC)");
      cancelPrompt_ = false;
    } else if (HasFinalResult(reply)) {
      cancelPrompt_ = false;  // the phone answers commands: no prompt is open
    }
  }
}

bool Transaction::Rest(int ticks) {
  const uint32_t start = clock_.SecondsCounter;
  lastLook_.reset();
  while (PollClock::Elapsed(start, clock_.SecondsCounter) < static_cast<uint32_t>(ticks)) {
    if (AbortFlag || ExitUnderway || !comport_.Active()) return false;
    // A fast pause ends on clusters that came since this mark only.
    pauseMark_ = clusterCount_;
    ProcessEvents();
    Pause();
  }
  return true;
}

bool Transaction::Stuck() const {
  return unanswered_ && comport_.Active() &&
         PollClock::Elapsed(unansweredSince_, clock_.SecondsCounter) > static_cast<uint32_t>(ReplyTimeout);
}

long Transaction::SinceLastAnswer() const {
  return answeredOnce_ ? static_cast<long>(PollClock::Elapsed(lastAnswerAt_, clock_.SecondsCounter)) : -1;
}

void Transaction::b_sendClick() {
  // Blanks and control characters at both ends go, as a command is typed.
  std::string text(pdulink::TrimBlanks(ToAnsi(ui_.ed_send->text())));
  if (text.empty()) return;
  journal_.WriteLog(">" + text);
  comport_.SendText(text + "\r");
}

void Transaction::b_abortClick() {
  AbortFlag = true;
  journal_.WriteLog("Manual Abort");
}

bool WaitWhole(Transaction& dialogue) {
  while (!HasFinalResult(dialogue.CaptureText)) {
    dialogue.ReplyFlag = false;
    if (!dialogue.WaitReply("rx")) return false;
  }
  return true;
}

bool AskWhole(Transaction& dialogue, const std::string& command) {
  dialogue.ReplyCapture("start");
  bool answered = dialogue.SendCommand(command) && WaitWhole(dialogue);
  dialogue.ReplyCapture("stop");
  return answered;
}

bool CommandWithFinalReply(Transaction& dialogue, const std::string& command) {
  return AskWhole(dialogue, command) && ReplyHoldsOk(dialogue.CaptureText);
}
