#include "SpoolWorker.h"

#include <QCoreApplication>
#include <algorithm>

namespace spool {
namespace {

// How long a statement waits for a lock, and runs at most (PostgreSQL).
constexpr int kLockWaitMs = 1000;
constexpr int kStatementMs = 5000;
// A call that gave up on a lock is tried again after this.
constexpr std::chrono::milliseconds kStallRetry{250};
// How often the worker looks for work when nothing wakes it, and for
// queued rows when none is known (PostgreSQL is notified of new rows; the
// look catches rows whose not_before has passed).
constexpr std::chrono::milliseconds kIdleWait{100};
constexpr std::chrono::milliseconds kPollSqlite{1000};
constexpr std::chrono::milliseconds kPollPostgres{5000};

qint64 NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

class SpoolWorker::Busy {
 public:
  explicit Busy(SpoolWorker& w) : w_(w) { w_.busySinceMs_ = std::max<qint64>(NowMs(), 1); }
  ~Busy() { w_.busySinceMs_ = 0; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  SpoolWorker& w_;
};

SpoolWorker::SpoolWorker(const Target& target, const QString& gateway, const QString& connectionName)
    : target_(target), gateway_(gateway), connectionName_(connectionName) {}

SpoolWorker::~SpoolWorker() { Finish(std::chrono::milliseconds(3000)); }

bool SpoolWorker::Finish(std::chrono::milliseconds within) {
  if (!isRunning()) return true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  kick_.notify_all();
  return wait(static_cast<unsigned long>(within.count()));
}

bool SpoolWorker::Usable() const { return usable_.load() && !Slow(nullptr); }

bool SpoolWorker::Slow(QString* why) const {
  const qint64 since = busySinceMs_.load();
  if (since != 0 && NowMs() - since >= kSlowAfter.count()) {
    if (why) *why = QStringLiteral("no answer for %1 s").arg((NowMs() - since) / 1000);
    return true;
  }
  if (stalled_.load()) {
    if (why) {
      std::lock_guard<std::mutex> lock(mutex_);
      *why = slowWhy_;
    }
    return true;
  }
  return false;
}

std::optional<Claimed> SpoolWorker::Claim(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!ready_ && !claimWanted_) {
    claimWanted_ = true;
    kick_.notify_all();
  }
  answered_.wait_for(lock, wait, [this] { return ready_.has_value() || !claimWanted_ || stop_.load(); });
  if (!ready_) return std::nullopt;
  std::optional<Claimed> row = std::move(ready_);
  ready_.reset();
  handedOut_ = row->id;
  return row;
}

void SpoolWorker::Record(const Outcome& outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(outcome);
    if (handedOut_ == outcome.id) handedOut_.reset();
  }
  kick_.notify_all();
}

bool SpoolWorker::Insert(const InboxRow& row, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto queued = [&] {
    return std::any_of(inserts_.begin(), inserts_.end(), [&](const InsertJob& j) { return j.row.msgKey == row.msgKey; });
  };
  if (committed_.erase(row.msgKey)) return true;
  if (!queued()) {
    inserts_.push_back({row});
    kick_.notify_all();
  }
  answered_.wait_for(lock, wait, [&] { return committed_.count(row.msgKey) > 0 || !queued() || stop_.load(); });
  return committed_.erase(row.msgKey) > 0;
}

void SpoolWorker::Report(const QString& number, int reference, const QDateTime& discharge, int status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back({number, reference, discharge, status});
  }
  kick_.notify_all();
}

void SpoolWorker::SetStatus(const GatewayStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
}

std::vector<std::string> SpoolWorker::TakeJournal() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  lines.swap(journal_);
  return lines;
}

void SpoolWorker::Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  journal_.push_back(line);
}

void SpoolWorker::run() {
  spool_ = Spool::Make(target_, gateway_, connectionName_);
  while (!stop_.load()) {
    Pump();
    // PostgreSQL's notifications arrive through this thread's events.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::unique_lock<std::mutex> lock(mutex_);
    kick_.wait_for(lock, kIdleWait, [this] {
      const bool stalled = stalled_.load() && Clock::now().time_since_epoch().count() < retryAtTicks_.load();
      return stop_.load() || (!stalled && (claimWanted_ || !outcomes_.empty() || !inserts_.empty() || !reports_.empty()));
    });
  }
  // Leaving: a row claimed but never handed out waits again; outcomes
  // still owed are tried once more.
  if (spool_->IsOpen() && owner_) {
    QString why;
    std::optional<Claimed> unsent;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      unsent.swap(ready_);
    }
    if (unsent) spool_->Requeue({unsent->id}, &why);
    WriteOutcomes();
  }
  usable_ = false;
  spool_.reset();
  answered_.notify_all();
}

void SpoolWorker::Pump() {
  if (!Connect()) return;
  if (stalled_.load() && Clock::now().time_since_epoch().count() < retryAtTicks_.load()) return;
  // Received messages first: they wait on the phone for their rows.
  if (!WriteInserts() || !WriteOutcomes() || !WriteReports() || !ClaimIfAsked() || !HeartbeatIfDue()) return;
  PollIfDue();
}

void SpoolWorker::Down(const QString& why) {
  spool_->Close();
  usable_ = false;
  stalled_ = false;
  if (!down_) Say("Spool unreachable: " + target_.shown.toStdString() + " (" + why.toStdString() + ")");
  down_ = true;
  lastTry_ = Clock::now();
  // What only an open database could answer is answered now: no claim, no
  // inbox row (the messages stay on the phone).
  std::lock_guard<std::mutex> lock(mutex_);
  claimWanted_ = false;
  inserts_.clear();
  answered_.notify_all();
}

void SpoolWorker::Up() {
  // Said once work succeeds again, not at a mere connect: a database that
  // takes the connection but refuses the work is still down.
  if (down_) Say("Spool reachable again: " + target_.shown.toStdString());
  down_ = false;
  if (stalled_.exchange(false)) {
    std::lock_guard<std::mutex> lock(mutex_);
    slowWhy_.clear();
  }
}

void SpoolWorker::Failed(const QString& why) {
  if (spool_->GaveUpWaiting(why)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slowWhy_ = why;
    }
    stalled_ = true;
    retryAtTicks_ = (Clock::now() + kStallRetry).time_since_epoch().count();
    return;
  }
  Down(why);
}

bool SpoolWorker::Connect() {
  QString why;
  if (spool_->IsOpen()) {
    if (spool_->Check(&why)) return owner_ || TakeName();
    Down(why);
    return false;
  }
  const auto now = Clock::now();
  if (lastTry_ && now - *lastTry_ < kRetryEvery) return false;
  lastTry_ = now;
  bool opened;
  {
    Busy busy(*this);
    // A SQLite file is created at the first start only; one that went away
    // later is missing, not new.
    opened = spool_->Open(&why, !everOpen_) && spool_->LimitWaits(kLockWaitMs, kStatementMs, &why);
  }
  if (!opened) {
    Down(why);
    return false;
  }
  everOpen_ = true;
  if (!owner_ && !TakeName()) return false;
  std::optional<std::vector<qint64>> held;
  {
    Busy busy(*this);
    held = spool_->Sending(&why);
  }
  if (!held) {
    Failed(why);
    return false;
  }
  // Claimed by this instance, whose claim was cut off before it heard of
  // the commit: never sent, so it waits again. Rows whose outcome is owed,
  // the one handed out and the one ready are not among them.
  std::vector<qint64> strays;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (qint64 id : *held) {
      const bool owed =
          std::any_of(outcomes_.begin(), outcomes_.end(), [id](const Outcome& o) { return o.id == id; });
      if (!owed && handedOut_ != id && !(ready_ && ready_->id == id)) strays.push_back(id);
    }
  }
  if (!strays.empty()) {
    Busy busy(*this);
    if (!spool_->Requeue(strays, &why)) {
      Failed(why);
      return false;
    }
  }
  workWaiting_ = true;
  usable_ = true;
  return true;
}

bool SpoolWorker::TakeName() {
  QString why, holder;
  std::vector<qint64> settled;
  Spool::Take take;
  {
    Busy busy(*this);
    take = spool_->TakeName(QStringLiteral("the gateway stopped during the send"), &settled, &holder, &why);
  }
  switch (take) {
    case Spool::Take::Error:
      Failed(why);
      return false;
    case Spool::Take::Live:
      // Tried again later: a gateway killed and restarted on another host
      // leaves a fresh row behind until its heartbeat lapses.
      if (!refused_)
        Say("Spool refused: gateway name \"" + gateway_.toStdString() + "\" is in use by a running gateway" +
            (holder.isEmpty() ? std::string() : " on " + holder.toStdString()) +
            "; give each gateway its own GatewayName=");
      refused_ = true;
      usable_ = false;
      spool_->Close();
      lastTry_ = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        claimWanted_ = false;
        inserts_.clear();
      }
      answered_.notify_all();
      return false;
    case Spool::Take::Taken: break;
  }
  // Left by an earlier run between the claim and the phone's answer: it
  // may have gone out, so it is never sent again by itself.
  for (qint64 id : settled) Say("Send outcome unknown: outbox row " + std::to_string(id));
  if (refused_) Say("Spool: gateway name \"" + gateway_.toStdString() + "\" taken over");
  refused_ = false;
  owner_ = true;
  lastStatus_ = Clock::now();
  return true;
}

bool SpoolWorker::WriteInserts() {
  for (;;) {
    InboxRow row;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (inserts_.empty()) return true;
      row = inserts_.front().row;
    }
    QString why;
    bool ok;
    {
      Busy busy(*this);
      ok = spool_->InsertInbox(row, &why);
    }
    if (!ok) {
      Failed(why);
      return false;
    }
    Up();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inserts_.pop_front();
      committed_.insert(row.msgKey);
    }
    answered_.notify_all();
  }
}

bool SpoolWorker::WriteOutcomes() {
  for (;;) {
    Outcome o;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (outcomes_.empty()) return true;
      o = outcomes_.front();
    }
    QString why;
    bool ok = false, changed = true;
    {
      Busy busy(*this);
      switch (o.kind) {
        case Outcome::Sent: ok = spool_->MarkSent(o.id, o.refs, &why, &changed); break;
        case Outcome::Failed: ok = spool_->MarkFailed(o.id, o.error, &why, &changed); break;
        case Outcome::Unknown: ok = spool_->MarkUnknown(o.id, o.error, &why, &changed); break;
        case Outcome::Requeue: ok = spool_->Requeue({o.id}, &why); break;
      }
    }
    if (!ok) {
      Failed(why);
      return false;
    }
    Up();
    if (!changed)
      Say("Outbox row " + std::to_string(o.id) + ": outcome not recorded, the row is no longer this gateway's");
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.pop_front();
  }
}

bool SpoolWorker::WriteReports() {
  for (;;) {
    ReportJob r;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reports_.empty()) return true;
      r = reports_.front();
    }
    QString why;
    std::optional<qint64> id;
    {
      Busy busy(*this);
      id = spool_->RecordReport(r.number, r.reference, r.discharge, r.status, &why);
    }
    if (!id && !why.isEmpty()) {
      Failed(why);
      return false;
    }
    Up();
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.pop_front();
  }
}

bool SpoolWorker::ClaimIfAsked() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!claimWanted_ || ready_) return true;
  }
  bool error = false;
  QString why;
  std::optional<Claimed> row;
  {
    Busy busy(*this);
    row = spool_->Claim(&error, &why);
  }
  if (error) {
    Failed(why);
    return false;
  }
  Up();
  workWaiting_ = row.has_value();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    claimWanted_ = false;
    ready_ = std::move(row);
  }
  answered_.notify_all();
  return true;
}

bool SpoolWorker::HeartbeatIfDue() {
  const auto now = Clock::now();
  if (lastStatus_ && now - *lastStatus_ < kStatusEvery) return true;
  GatewayStatus s;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s = status_;
  }
  QString why;
  bool lost = false, ok;
  {
    Busy busy(*this);
    s.queue = spool_->QueueLength(&why);
    ok = s.queue && spool_->WriteStatus(s, &why, &lost);
  }
  if (!ok) {
    Failed(why);
    return false;
  }
  lastStatus_ = now;
  Up();
  if (lost) {
    // Another instance took the name while this one's heartbeat lapsed.
    owner_ = false;
    usable_ = false;
    return TakeName();
  }
  return true;
}

void SpoolWorker::PollIfDue() {
  if (spool_->TakeWake()) workWaiting_ = true;
  if (workWaiting_.load()) return;
  const auto now = Clock::now();
  const auto every = target_.backend == Backend::Postgres ? kPollPostgres : kPollSqlite;
  if (lastPoll_ && now - *lastPoll_ < every) return;
  lastPoll_ = now;
  QString why;
  std::optional<bool> due;
  {
    Busy busy(*this);
    due = spool_->Due(&why);
  }
  if (!due) {
    Failed(why);
    return;
  }
  if (*due) workWaiting_ = true;
}

}  // namespace spool
