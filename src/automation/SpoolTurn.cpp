#include "SpoolTurn.h"

#include <QCheckBox>
#include <QSysInfo>
#include <algorithm>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Replies.h"
#include "SerialPort.h"
#include "SpoolInbox.h"
#include "Transaction.h"

namespace {

std::string Utf8(const QString& s) { return s.toStdString(); }

// "-73 dBm (21/31), BER 0" -> -73.
std::optional<int> SignalDbm(const std::string& text) {
  const size_t at = text.find(" dBm");
  if (at == std::string::npos) return std::nullopt;
  try {
    return std::stoi(text.substr(0, at));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

SpoolTurn::SpoolTurn(Context& ctx, Transaction& dialogue, SendFunction send, const std::string& spoolKey,
                     const std::string& gateway)
    : ctx_(ctx), dialogue_(dialogue), send_(std::move(send)), gateway_(QString::fromStdString(gateway)) {
  spool::Target target;
  QString why;
  if (!spool::ParseTarget(QString::fromStdString(spoolKey), &target, &why)) {
    badKey_ = why;
    return;
  }
  worker_ = std::make_unique<spool::SpoolWorker>(target, gateway_, QStringLiteral("pdulink-spool"));
}

SpoolTurn::~SpoolTurn() {
  // A worker stuck in a statement (a stopped server) is left to itself
  // rather than holding the program's end.
  if (worker_ && !worker_->Finish(std::chrono::milliseconds(3000))) (void)worker_.release();
}

void SpoolTurn::Start() {
  if (!worker_) {
    // Never as if the spool were off: received messages stay on the phone.
    ctx_.journal.WriteLog("Error Spool in INIFile (" + Utf8(badKey_) + "): messages stay on the phone");
    return;
  }
  worker_->start();
}

void SpoolTurn::SayWorkerLines() {
  if (!worker_) return;
  for (const std::string& line : worker_->TakeJournal()) ctx_.journal.WriteLogUtf8(line);
  // A database that answers slowly (a lock held, a stopped server): once
  // when it starts and once when it ends.
  QString why;
  const bool slow = worker_->Slow(&why);
  if (slow && !slowSaid_)
    ctx_.journal.WriteLogUtf8("Spool slow: " + Utf8(worker_->target().shown) + " (" + Utf8(why) +
                              "); messages stay on the phone, the other work goes on");
  else if (!slow && slowSaid_)
    ctx_.journal.WriteLogUtf8("Spool answering again: " + Utf8(worker_->target().shown));
  slowSaid_ = slow;
}

bool SpoolTurn::MayList() {
  SayWorkerLines();
  return Reachable();
}

bool SpoolTurn::Insert(const spool::InboxRow& row) {
  if (!Reachable()) return false;
  const bool done = worker_->Insert(row, kMoment);
  SayWorkerLines();
  return done;
}

bool SpoolTurn::Kept(const std::string& pduHex, const std::string& stem, const std::string& digest) {
  return Insert(InboxRowFromPdu(pduHex, stem, digest));
}

bool SpoolTurn::JoinedKept(const pdulink::JoinedMessage& m, const std::string& txtPath) {
  return Insert(InboxRowFromJoined(m, txtPath, ctx_.state.Utf8Files));
}

void SpoolTurn::RecordReport(const std::string& recipient, int reference, const QDateTime& discharge, int status) {
  if (worker_) worker_->Report(QString::fromStdString(recipient), reference, discharge, status);
}

bool SpoolTurn::Woken() {
  // A row that did not go out (the phone not ready, a send stopped) waits
  // for the next watch turn, not for the next moment.
  if (heldAt_) {
    const uint32_t since = (ctx_.clock.SecondsCounter + 86400u - *heldAt_) % 86400u;
    if (since < static_cast<uint32_t>(std::max(1, ctx_.state.WatchInterval))) return false;
    heldAt_.reset();
  }
  return Reachable() && worker_->WorkWaiting();
}

void SpoolTurn::Tick() {
  if (!worker_) return;
  SayWorkerLines();
  spool::GatewayStatus s;
  s.host = QSysInfo::machineHostName();
  if (ctx_.comport.Active()) s.connection = QStringLiteral("connected");
  else if (ctx_.ui.cb_offline->isChecked()) s.connection = QStringLiteral("offline");
  else if (ctx_.clock.PendingCommand == kConnect) s.connection = QStringLiteral("connecting");
  else s.connection = QStringLiteral("disconnected");
  s.signal = SignalDbm(ctx_.state.SignalState);
  if (ctx_.state.BatteryLevel >= 0) s.battery = ctx_.state.BatteryLevel;
  s.sim = QString::fromStdString(ctx_.state.SimState);
  s.network = QString::fromStdString(ctx_.state.NetworkState);
  HealthInto(s);
  worker_->SetStatus(s);
}

void SpoolTurn::HealthInto(spool::GatewayStatus& s) const {
  const FormState& state = ctx_.state;
  if (const long since = dialogue_.SinceLastAnswer(); since >= 0) {
    s.lastAnswer = QString::fromStdString(dialogue_.LastAnswered());
    // Whole seconds, as the tick counts them: the row does not change
    // between two writes while the phone is quiet.
    QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-since);
    at.setTime(QTime(at.time().hour(), at.time().minute(), at.time().second()));
    s.lastAnswerAt = at;
  }
  s.restarts = static_cast<int>(state.PhoneRestarts);
  if (state.StoreUsed >= 0) s.storeUsed = state.StoreUsed;
  if (state.StoreTotal >= 0) s.storeTotal = state.StoreTotal;
  s.storeFull = state.StoreFull;
  if (!state.NetworkState.empty()) s.registered = state.NetworkState.rfind("registered", 0) == 0;
}

bool SpoolTurn::MayContinue() const {
  const int pending = ctx_.clock.PendingCommand;
  if (pending == kDisconnect || pending == kExit || dialogue_.ExitUnderway) return false;
  return ctx_.comport.Active() || ctx_.ui.cb_offline->isChecked();
}

void SpoolTurn::Run() {
  if (running_ || !worker_) return;
  running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{running_};
  SayWorkerLines();
  const unsigned stops = ctx_.state.StopClicks;
  const uint32_t tick = ctx_.clock.SecondsCounter;
  for (int n = 0;; ++n) {
    // Back to back until the tick comes round: then the cycle's other
    // duties (receiving, calls, battery) have their turn first.
    if (n > 0 && (!MayContinue() || ctx_.state.StopClicks != stops || ctx_.clock.SecondsCounter != tick)) break;
    if (!Reachable()) break;
    std::optional<spool::Claimed> row = worker_->Claim(kMoment);
    if (!row) break;
    if (!SendOne(*row)) break;
  }
  SayWorkerLines();
}

bool SpoolTurn::SendOne(const spool::Claimed& row) {
  ctx_.journal.WriteLog("Outbox row " + std::to_string(row.id));
  const uint32_t disconnects = ctx_.clock.DisconnectsRun;
  RowProgress progress;
  const SendHooks hooks = RowHooks(row, progress);
  const int rc = send_ ? send_(Utf8(row.number), Utf8(row.text), hooks) : -1;
  const spool::SpoolWorker::Outcome o = OutcomeOf(row, rc, progress, disconnects);
  worker_->Record(o);
  // A row kept for later, or one that may have gone out, ends the turn.
  using Outcome = spool::SpoolWorker::Outcome;
  const bool goOn = o.kind != Outcome::Requeue && o.kind != Outcome::Unknown;
  if (!goOn) heldAt_ = ctx_.clock.SecondsCounter;
  return goOn;
}

SendHooks SpoolTurn::RowHooks(const spool::Claimed& row, RowProgress& progress) {
  SendHooks hooks;
  hooks.BeforePdu = [&progress] {
    ++progress.written;
    return true;
  };
  hooks.Answered = [this, &progress](bool confirmed) {
    ++progress.answered;
    if (confirmed) {
      if (auto mr = ParseCmgsReference(dialogue_.CaptureText)) progress.refs << QString::number(*mr);
    } else if (progress.refused.isEmpty()) {
      const std::string line = ErrorLine(dialogue_.CaptureText);
      progress.refused = line.empty() ? QStringLiteral("no confirmation from the phone") : QString::fromStdString(line);
    }
  };
  SendHooks::OwnSettings own;
  own.flash = row.flash;
  if (row.validity) own.validity = static_cast<std::uint8_t>(*row.validity);
  own.smsc = Utf8(row.smsc);
  // With MatchReports every message asks for its report, as a file's does.
  own.statusReport = row.report || ctx_.state.MatchReports;
  hooks.own = own;
  return hooks;
}

spool::SpoolWorker::Outcome SpoolTurn::OutcomeOf(const spool::Claimed& row, int rc, const RowProgress& progress,
                                                 uint32_t disconnects) {
  Journal& journal = ctx_.journal;
  using Outcome = spool::SpoolWorker::Outcome;
  Outcome o;
  o.id = row.id;
  o.refs = progress.refs.join(u',');
  if (rc >= 0) {
    journal.WriteLog("Auto Send SMS OK");
    o.kind = Outcome::Sent;
    return o;
  }
  journal.WriteLog("Auto Send SMS ERROR");
  const PollClock& clock = ctx_.clock;
  const bool stopped = clock.StopPosted() || dialogue_.ExitUnderway || clock.DisconnectsRun != disconnects;
  const int written = progress.written;
  // No prompt came (a phone that speaks on its own): nothing went out either.
  if (written == 0 && (stopped || rc == Sending::kNotSent ||
                       (rc == -2 && ctx_.ui.cb_offline->isChecked() && dialogue_.OfflineSession))) {
    // Nothing went out: the row waits for a later turn.
    if (rc == -2 && !stopped) journal.WriteLog("Send ERROR at Offline mode. Try after...");
    else journal.WriteLog("Send stopped, outbox row kept: " + std::to_string(row.id));
    o.kind = Outcome::Requeue;
  } else if (written > progress.answered) {
    // A PDU whose answer never came may have gone out.
    o.kind = Outcome::Unknown;
    o.error = QStringLiteral("no answer from the phone");
  } else {
    o.kind = Outcome::Failed;
    o.error = written == 0 ? QStringLiteral("not sent: invalid number or text, or the phone not ready")
                           : (progress.refused.isEmpty() ? QStringLiteral("refused by the phone") : progress.refused);
    if (written > 1) o.error += QStringLiteral(" (part %1 of the message)").arg(progress.answered);
  }
  return o;
}
