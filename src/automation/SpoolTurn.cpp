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

// The phone's error line in a reply ("+CMS ERROR: 500", "ERROR").
QString ErrorLine(const std::string& reply) {
  for (const char* mark : {"+CMS ERROR", "+CME ERROR", "ERROR"}) {
    const size_t at = reply.find(mark);
    if (at == std::string::npos) continue;
    size_t end = reply.find_first_of("\r\n", at);
    return QString::fromStdString(reply.substr(at, end == std::string::npos ? std::string::npos : end - at));
  }
  return QStringLiteral("no confirmation from the phone");
}

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
  spool_ = spool::Spool::Make(target, gateway_, QStringLiteral("pdulink-spool"));
}

SpoolTurn::~SpoolTurn() = default;

void SpoolTurn::Start() {
  if (!spool_) {
    // Never as if the spool were off: received messages stay on the phone.
    ctx_.journal.WriteLog("Error Spool in INIFile (" + Utf8(badKey_) + "): messages stay on the phone");
    return;
  }
  Available();
}

void SpoolTurn::Down(const QString& why) {
  if (spool_) spool_->Close();
  if (!down_) ctx_.journal.WriteLogUtf8("Spool unreachable: " + Utf8(spool_->target().shown) + " (" + Utf8(why) + ")");
  down_ = true;
  lastTry_ = std::chrono::steady_clock::now();
}

bool SpoolTurn::Available() {
  if (!spool_) return false;
  QString why;
  if (spool_->IsOpen()) {
    if (spool_->Check(&why)) return true;
    Down(why);
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  if (lastTry_ && now - *lastTry_ < kRetryEvery) return false;
  lastTry_ = now;
  // A SQLite file is created at the first start only; one that went away
  // later is missing, not new.
  if (!spool_->Open(&why, !everOpen_)) {
    Down(why);
    return false;
  }
  auto held = spool_->Sending(&why);
  if (!held) {
    Down(why);
    return false;
  }
  if (!everOpen_) {
    // Left by an earlier run between the claim and the phone's answer: it
    // may have gone out, so it is never sent again by itself.
    if (!held->empty() && !spool_->SetUnknown(*held, QStringLiteral("the gateway stopped during the send"), &why)) {
      Down(why);
      return false;
    }
    for (qint64 id : *held) ctx_.journal.WriteLog("Send outcome unknown: outbox row " + std::to_string(id));
    everOpen_ = true;
  } else {
    // Claimed by this run, whose claim was cut off before it heard of the
    // commit: never sent, so it waits again. Rows whose outcome is owed, and
    // the one in flight, are not among them.
    std::vector<qint64> strays;
    for (qint64 id : *held) {
      const bool owed = std::any_of(owed_.begin(), owed_.end(), [id](const Outcome& o) { return o.id == id; });
      if (!owed && inFlight_ != id) strays.push_back(id);
    }
    if (!strays.empty() && !spool_->Requeue(strays, &why)) {
      Down(why);
      return false;
    }
  }
  return true;
}

void SpoolTurn::Up() {
  // Said once work succeeds again, not at a mere connect: a database that
  // takes the connection but refuses the work is still down.
  if (down_) ctx_.journal.WriteLogUtf8("Spool reachable again: " + Utf8(spool_->target().shown));
  down_ = false;
}

bool SpoolTurn::MayList() { return Available(); }

bool SpoolTurn::Kept(const std::string& pduHex, const std::string& stem, const std::string& digest) {
  if (!Available()) return false;
  QString why;
  if (spool_->InsertInbox(InboxRowFromPdu(pduHex, stem, digest), &why)) {
    Up();
    return true;
  }
  Down(why);
  return false;
}

bool SpoolTurn::JoinedKept(const pdulink::JoinedMessage& m, const std::string& txtPath) {
  if (!Available()) return false;
  QString why;
  if (spool_->InsertInbox(InboxRowFromJoined(m, txtPath, ctx_.state.Utf8Files), &why)) {
    Up();
    return true;
  }
  Down(why);
  return false;
}

bool SpoolTurn::RecordReport(const std::string& recipient, int reference, const QDateTime& discharge, int status) {
  if (!Available()) return false;
  QString why;
  auto id = spool_->RecordReport(QString::fromStdString(recipient), reference, discharge, status, &why);
  if (!id && !why.isEmpty()) Down(why);
  return id.has_value();
}

bool SpoolTurn::Woken() { return spool_ && spool_->IsOpen() && spool_->TakeWake(); }

void SpoolTurn::Tick() {
  const auto now = std::chrono::steady_clock::now();
  if (lastStatus_ && now - *lastStatus_ < kStatusEvery) return;
  if (!Available()) return;
  lastStatus_ = now;
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
  QString why;
  s.queue = spool_->QueueLength(&why);
  if (!s.queue || !spool_->WriteStatus(s, &why)) Down(why);
  else Up();
}

bool SpoolTurn::Write(const Outcome& o) {
  QString why;
  bool ok = false;
  switch (o.kind) {
    case Outcome::Sent: ok = spool_->MarkSent(o.id, o.refs, &why); break;
    case Outcome::Failed: ok = spool_->MarkFailed(o.id, o.error, &why); break;
    case Outcome::Unknown: ok = spool_->MarkUnknown(o.id, o.error, &why); break;
    case Outcome::Requeue: ok = spool_->Requeue({o.id}, &why); break;
  }
  if (ok) Up();
  else Down(why);
  return ok;
}

bool SpoolTurn::FlushOwed() {
  while (!owed_.empty()) {
    if (!Available() || !Write(owed_.front())) return false;
    owed_.erase(owed_.begin());
  }
  return true;
}

bool SpoolTurn::MayContinue() const {
  const int pending = ctx_.clock.PendingCommand;
  if (pending == kDisconnect || pending == kExit || dialogue_.ExitUnderway) return false;
  return ctx_.comport.Active() || ctx_.ui.cb_offline->isChecked();
}

void SpoolTurn::Run() {
  if (running_) return;
  running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{running_};
  if (!Available() || !FlushOwed()) return;
  const int limit = ctx_.state.FastMode ? kBatchLimit : 1;
  const unsigned stops = ctx_.state.StopClicks;
  for (int n = 0; n < limit; ++n) {
    if (n > 0 && (!MayContinue() || ctx_.state.StopClicks != stops)) break;
    if (!Available()) break;
    bool error = false;
    QString why;
    std::optional<spool::Claimed> row = spool_->Claim(&error, &why);
    if (error) {
      Down(why);
      break;
    }
    Up();
    if (!row) break;
    if (!SendOne(*row)) break;
  }
}

bool SpoolTurn::SendOne(const spool::Claimed& row) {
  Journal& journal = ctx_.journal;
  journal.WriteLog("Outbox row " + std::to_string(row.id));
  inFlight_ = row.id;
  const uint32_t disconnects = ctx_.clock.DisconnectsRun;
  int written = 0, answered = 0;
  QStringList refs;
  QString refused;
  SendHooks hooks;
  hooks.BeforePdu = [&] {
    ++written;
    return true;
  };
  hooks.Answered = [&](bool confirmed) {
    ++answered;
    if (confirmed) {
      if (auto mr = ParseCmgsReference(dialogue_.CaptureText)) refs << QString::number(*mr);
    } else if (refused.isEmpty()) {
      refused = ErrorLine(dialogue_.CaptureText);
    }
  };
  SendHooks::OwnSettings own;
  own.flash = row.flash;
  if (row.validity) own.validity = static_cast<std::uint8_t>(*row.validity);
  own.smsc = Utf8(row.smsc);
  // With MatchReports every message asks for its report, as a file's does.
  own.statusReport = row.report || ctx_.state.MatchReports;
  hooks.own = own;

  const int rc = send_ ? send_(Utf8(row.number), Utf8(row.text), hooks) : -1;
  Outcome o;
  o.id = row.id;
  o.refs = refs.join(u',');
  bool goOn = true;
  if (rc >= 0) {
    journal.WriteLog("Auto Send SMS OK");
    o.kind = Outcome::Sent;
  } else {
    journal.WriteLog("Auto Send SMS ERROR");
    const PollClock& clock = ctx_.clock;
    const bool stopped = clock.StopPosted() || dialogue_.ExitUnderway || clock.DisconnectsRun != disconnects;
    // No prompt came (a phone that speaks on its own): nothing went out either.
    if (written == 0 && (stopped || rc == Sending::kNotSent ||
                         (rc == -2 && ctx_.ui.cb_offline->isChecked() && dialogue_.OfflineSession))) {
      // Nothing went out: the row waits for a later turn.
      if (rc == -2 && !stopped) journal.WriteLog("Send ERROR at Offline mode. Try after...");
      else journal.WriteLog("Send stopped, outbox row kept: " + std::to_string(row.id));
      o.kind = Outcome::Requeue;
      goOn = false;
    } else if (written > answered) {
      // A PDU whose answer never came may have gone out.
      o.kind = Outcome::Unknown;
      o.error = QStringLiteral("no answer from the phone");
      goOn = false;
    } else {
      o.kind = Outcome::Failed;
      o.error = written == 0 ? QStringLiteral("not sent: invalid number or text, or the phone not ready")
                             : (refused.isEmpty() ? QStringLiteral("refused by the phone") : refused);
      if (written > 1) o.error += QStringLiteral(" (part %1 of the message)").arg(answered);
    }
  }
  if (!Available() || !Write(o)) owed_.push_back(o);
  inFlight_.reset();
  return goOn;
}
