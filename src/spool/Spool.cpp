#include "Spool.h"

#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "SpoolDatabase.h"
#include "delivery_reports.h"

namespace spool {
namespace {

QVariant NullText() { return QVariant(QMetaType(QMetaType::QString)); }
QVariant NullInt() { return QVariant(QMetaType(QMetaType::Int)); }
QVariant TextOrNull(const QString& s) { return s.isEmpty() ? NullText() : QVariant(s); }
QVariant IntOrNull(const std::optional<int>& v) { return v ? QVariant(*v) : NullInt(); }

// The columns Claim returns, in Claimed's order.
constexpr const char* kClaimColumns = "id, number, text, flash, validity, smsc, report, attempts";

Claimed ClaimedFrom(const QSqlQuery& q) {
  Claimed c;
  c.id = q.value(0).toLongLong();
  c.number = q.value(1).toString();
  c.text = q.value(2).toString();
  c.flash = q.value(3).toInt() != 0;
  if (!q.value(4).isNull()) c.validity = q.value(4).toInt();
  c.smsc = q.value(5).toString();
  c.report = q.value(6).toInt() != 0;
  c.attempts = q.value(7).toInt();
  return c;
}

// SQLite: one file on this machine; several gateways take turns on its
// write lock, which an immediate transaction takes before it reads.
class SqliteSpool final : public Spool {
 public:
  using Spool::Spool;

  bool AfterOpen(QString* why) override {
    struct stat st {};
    if (::stat(QFile::encodeName(target_.path).constData(), &st) != 0) {
      *why = QStringLiteral("database file missing");
      return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return true;
  }

  bool Check(QString* why) override {
    if (!open_) return false;
    struct stat st {};
    if (::stat(QFile::encodeName(target_.path).constData(), &st) != 0) {
      *why = QStringLiteral("database file missing");
      return false;
    }
    if (st.st_dev != dev_ || st.st_ino != ino_) {
      *why = QStringLiteral("database file replaced");
      return false;
    }
    return true;
  }

  std::optional<Claimed> Claim(bool* error, QString* why) override {
    *error = false;
    if (!Run(QStringLiteral("BEGIN IMMEDIATE"), {}, why)) {
      *error = true;
      return std::nullopt;
    }
    QSqlQuery q(db_);
    const bool prepared = q.prepare(QStringLiteral("SELECT %1 FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"
                             " AND (not_before IS NULL OR not_before <= %2)"
                             " ORDER BY priority DESC, id LIMIT 1")
                  .arg(QLatin1String(kClaimColumns), NowSql(db_)));
    q.addBindValue(gateway_);
    std::optional<Claimed> claimed;
    bool ok = prepared && q.exec();
    if (ok && q.next()) claimed = ClaimedFrom(q);
    if (!ok) *why = Why(q.lastError());
    q.finish();
    if (ok && claimed) {
      ok = Run(QStringLiteral("UPDATE outbox SET state = 'sending', claimed_by = ?, claim = ?, claimed_at = %1,"
                              " attempts = attempts + 1 WHERE id = ?")
                   .arg(NowSql(db_)),
               {gateway_, instance_, claimed->id}, why);
      ++claimed->attempts;
    }
    if (ok && !Run(QStringLiteral("COMMIT"), {}, why)) ok = false;
    if (!ok) {
      QString ignored;
      Run(QStringLiteral("ROLLBACK"), {}, &ignored);
      *error = true;
      return std::nullopt;
    }
    return claimed;
  }

 private:
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// PostgreSQL: gateways on many hosts; a claimed row is locked by its
// claiming transaction, which the others skip instead of waiting for.
class PostgresSpool final : public Spool {
 public:
  using Spool::Spool;

  bool AfterOpen(QString* why) override {
    QSqlDriver* driver = db_.driver();
    if (!driver->subscribeToNotification(QString::fromLatin1(kOutboxChannel))) {
      *why = QStringLiteral("LISTEN %1 refused").arg(QString::fromLatin1(kOutboxChannel));
      return false;
    }
    std::shared_ptr<bool> woken = woken_;
    const QString gateway = gateway_;
    QObject::connect(driver, &QSqlDriver::notification, driver,
                     [woken, gateway](const QString&, QSqlDriver::NotificationSource, const QVariant& payload) {
                       const QString target = payload.toString();
                       if (target.isEmpty() || target == gateway) *woken = true;
                     });
    return true;
  }

  std::optional<Claimed> Claim(bool* error, QString* why) override {
    *error = false;
    if (!Run(QStringLiteral("BEGIN"), {}, why)) {
      *error = true;
      return std::nullopt;
    }
    QSqlQuery q(db_);
    const bool prepared = q.prepare(QStringLiteral("SELECT %1 FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"
                             " AND (not_before IS NULL OR not_before <= now())"
                             " ORDER BY priority DESC, id LIMIT 1 FOR UPDATE SKIP LOCKED")
                  .arg(QLatin1String(kClaimColumns)));
    q.addBindValue(gateway_);
    std::optional<Claimed> claimed;
    bool ok = prepared && q.exec();
    if (ok && q.next()) claimed = ClaimedFrom(q);
    if (!ok) *why = Why(q.lastError());
    q.finish();
    if (ok && claimed) {
      ok = Run(QStringLiteral("UPDATE outbox SET state = 'sending', claimed_by = ?, claim = ?, claimed_at = now(),"
                              " attempts = attempts + 1 WHERE id = ?"),
               {gateway_, instance_, claimed->id}, why);
      ++claimed->attempts;
    }
    if (ok && !Run(QStringLiteral("COMMIT"), {}, why)) ok = false;
    if (!ok) {
      QString ignored;
      Run(QStringLiteral("ROLLBACK"), {}, &ignored);
      *error = true;
      return std::nullopt;
    }
    return claimed;
  }
};

}  // namespace

std::unique_ptr<Spool> Spool::Make(const Target& target, const QString& gateway, const QString& connectionName,
                                   const QString& instance) {
  const QString id = instance.isEmpty() ? NewInstance() : instance;
  if (target.backend == Backend::Postgres)
    return std::unique_ptr<Spool>(new PostgresSpool(target, gateway, connectionName, id));
  return std::unique_ptr<Spool>(new SqliteSpool(target, gateway, connectionName, id));
}

QString Spool::NewInstance() {
  const quint64 a = QRandomGenerator::system()->generate64();
  return QString::number(a, 16).rightJustified(16, u'0');
}

Spool::Spool(const Target& target, const QString& gateway, const QString& connectionName, const QString& instance)
    : target_(target), gateway_(gateway), instance_(instance), connectionName_(connectionName) {}

Spool::~Spool() { Close(); }

bool Spool::Open(QString* why, bool create) {
  Close();
  db_ = spool::Open(target_, connectionName_, why, create);
  if (!db_.isValid()) return false;
  if (!Migrate(db_, why) || !AfterOpen(why)) {
    Close();
    return false;
  }
  open_ = true;
  return true;
}

void Spool::Close() {
  if (!db_.isValid() && !open_) return;
  open_ = false;
  db_ = QSqlDatabase();
  spool::Close(connectionName_);
}

bool Spool::Check(QString*) { return open_; }

QString Spool::Why(const QSqlError& error) {
  lastCode_ = error.nativeErrorCode();
  return ErrorText(error, db_);
}

bool Spool::GaveUpWaiting(const QString& why) const {
  // SQLite: SQLITE_BUSY, SQLITE_LOCKED; PostgreSQL: lock_not_available
  // (lock_timeout), query_canceled (statement_timeout).
  for (const char* code : {"5", "6", "55P03", "57014"})
    if (lastCode_ == QLatin1String(code)) return true;
  return why.contains(QStringLiteral("database is locked")) || why.contains(QStringLiteral("database table is locked"));
}

bool Spool::LimitWaits(int lockMs, int statementMs, QString* why) {
  if (target_.backend == Backend::Postgres)
    return Run(QStringLiteral("SET lock_timeout = %1").arg(lockMs), {}, why) &&
           Run(QStringLiteral("SET statement_timeout = %1").arg(statementMs), {}, why);
  return Run(QStringLiteral("PRAGMA busy_timeout = %1").arg(lockMs), {}, why);
}

std::optional<bool> Spool::Due(QString* why) {
  QSqlQuery q(db_);
  const bool prepared = q.prepare(QStringLiteral("SELECT 1 FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"
                           " AND (not_before IS NULL OR not_before <= %1) LIMIT 1")
                .arg(NowSql(db_)));
  q.addBindValue(gateway_);
  if (!prepared || !q.exec()) {
    *why = Why(q.lastError());
    return std::nullopt;
  }
  return q.next();
}

bool Spool::Run(const QString& sql, const QVariantList& values, QString* why, int* rows) {
  QSqlQuery q(db_);
  bool ok;
  if (values.isEmpty()) {
    ok = q.exec(sql);
  } else {
    ok = q.prepare(sql);
    for (const QVariant& v : values) q.addBindValue(v);
    ok = ok && q.exec();
  }
  if (!ok) {
    const QString text = Why(q.lastError());
    if (why) *why = text;
  }
  if (ok && rows) *rows = q.numRowsAffected();
  return ok;
}

bool Spool::Mark(const QString& set, const QVariantList& values, qint64 id, QString* why, bool* changed) {
  int rows = 0;
  QVariantList all = values;
  all << id << instance_;
  const bool ok =
      Run(QStringLiteral("UPDATE outbox SET %1 WHERE id = ? AND state = 'sending' AND claim = ?").arg(set), all, why, &rows);
  if (changed) *changed = ok && rows > 0;
  return ok;
}

bool Spool::MarkSent(qint64 id, const QString& references, QString* why, bool* changed) {
  return Mark(QStringLiteral("state = 'sent', refs = ?, sent = %1, error = NULL").arg(NowSql(db_)),
              {TextOrNull(references)}, id, why, changed);
}

bool Spool::MarkFailed(qint64 id, const QString& error, QString* why, bool* changed) {
  return Mark(QStringLiteral("state = 'failed', error = ?"), {error}, id, why, changed);
}

bool Spool::MarkUnknown(qint64 id, const QString& error, QString* why, bool* changed) {
  return Mark(QStringLiteral("state = 'unknown', error = ?"), {error}, id, why, changed);
}

Spool::Take Spool::TakeName(const QString& error, std::vector<qint64>* settled, QString* holder, QString* why) {
  settled->clear();
  const bool pg = target_.backend == Backend::Postgres;
  const QString host = QSysInfo::machineHostName();
  const QString liveSince = pg ? QStringLiteral("now() - interval '%1 seconds'").arg(kLiveSeconds)
                               : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ','now','-%1 seconds')").arg(kLiveSeconds);
  if (!Run(pg ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"), {}, why)) return Take::Error;
  auto fail = [&] {
    QString ignored;
    Run(QStringLiteral("ROLLBACK"), {}, &ignored);
    return Take::Error;
  };
  QSqlQuery q(db_);
  const bool prepared = q.prepare(QStringLiteral("SELECT instance, host, pid, last_seen > %1 FROM gateways WHERE name = ?%2")
                .arg(liveSince, pg ? QStringLiteral(" FOR UPDATE") : QString()));
  q.addBindValue(gateway_);
  if (!prepared || !q.exec()) {
    *why = Why(q.lastError());
    return fail();
  }
  if (q.next()) {
    const QString other = q.value(0).toString();
    const QString otherHost = q.value(1).toString();
    const qint64 pid = q.value(2).toLongLong();
    bool live = !other.isEmpty() && other != instance_ && q.value(3).toBool();
    // On this host a process that is gone is dead however fresh its row.
    if (live && otherHost == host && pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      live = false;
    if (live) {
      *holder = otherHost;
      q.finish();
      QString ignored;
      Run(QStringLiteral("ROLLBACK"), {}, &ignored);
      return Take::Live;
    }
  }
  q.finish();
  if (!Run(QStringLiteral("INSERT INTO gateways (name, host, last_seen, instance, pid) VALUES (?, ?, %1, ?, ?)"
                          " ON CONFLICT (name) DO UPDATE SET host = excluded.host, last_seen = excluded.last_seen,"
                          " instance = excluded.instance, pid = excluded.pid")
               .arg(NowSql(db_)),
           {gateway_, host, instance_, static_cast<qint64>(::getpid())}, why))
    return fail();
  QSqlQuery u(db_);
  const bool uPrepared = u.prepare(QStringLiteral("UPDATE outbox SET state = 'unknown', error = ? WHERE state = 'sending' AND claimed_by = ?"
                           " AND (claim IS NULL OR claim <> ?) RETURNING id"));
  u.addBindValue(error);
  u.addBindValue(gateway_);
  u.addBindValue(instance_);
  if (!uPrepared || !u.exec()) {
    *why = Why(u.lastError());
    return fail();
  }
  while (u.next()) settled->push_back(u.value(0).toLongLong());
  u.finish();
  std::sort(settled->begin(), settled->end());
  if (!Run(QStringLiteral("COMMIT"), {}, why)) return fail();
  return Take::Taken;
}

std::optional<std::vector<qint64>> Spool::Sending(QString* why) {
  QSqlQuery q(db_);
  const bool prepared = q.prepare(QStringLiteral("SELECT id FROM outbox WHERE state = 'sending' AND claim = ? ORDER BY id"));
  q.addBindValue(instance_);
  if (!prepared || !q.exec()) {
    *why = Why(q.lastError());
    return std::nullopt;
  }
  std::vector<qint64> ids;
  while (q.next()) ids.push_back(q.value(0).toLongLong());
  return ids;
}

bool Spool::SetUnknown(const std::vector<qint64>& ids, const QString& error, QString* why) {
  for (qint64 id : ids)
    if (!Run(QStringLiteral("UPDATE outbox SET state = 'unknown', error = ? WHERE id = ? AND state = 'sending'"
                            " AND claim = ?"),
             {error, id, instance_}, why))
      return false;
  return true;
}

bool Spool::Requeue(const std::vector<qint64>& ids, QString* why) {
  for (qint64 id : ids)
    if (!Run(QStringLiteral("UPDATE outbox SET state = 'queued', claimed_by = NULL, claim = NULL, claimed_at = NULL"
                            " WHERE id = ? AND state = 'sending' AND claim = ?"),
             {id, instance_}, why))
      return false;
  return true;
}

bool Spool::InsertInbox(const InboxRow& r, QString* why) {
  return Run(QStringLiteral("INSERT INTO inbox (gateway, sc_time, sender, text, parts, coding, class, flash, pdus,"
                            " files, msg_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                            " ON CONFLICT (gateway, msg_key) DO NOTHING"),
             {gateway_, TextOrNull(r.scTime), TextOrNull(r.sender), TextOrNull(r.text), r.parts,
              TextOrNull(r.coding), IntOrNull(r.msgClass), r.flash ? 1 : 0,
              r.pdus.isEmpty() ? QVariant(QStringLiteral("")) : QVariant(r.pdus), TextOrNull(r.files), r.msgKey},
             why);
}

bool Spool::WriteStatus(const GatewayStatus& s, QString* why, bool* lost) {
  auto flag = [](const std::optional<bool>& v) { return v ? QVariant(*v ? 1 : 0) : NullInt(); };
  int rows = 0;
  const bool ok =
      Run(QStringLiteral("INSERT INTO gateways (name, host, last_seen, connection, signal, battery, sim, network,"
                         " queue, instance, pid, last_answer, last_answer_at, restarts, store_used, store_total,"
                         " store_full, registered) VALUES (?, ?, %1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                         " ON CONFLICT (name) DO UPDATE SET host = excluded.host, last_seen = excluded.last_seen,"
                         " connection = excluded.connection, signal = excluded.signal,"
                         " battery = excluded.battery, sim = excluded.sim, network = excluded.network,"
                         " queue = excluded.queue, instance = excluded.instance, pid = excluded.pid,"
                         " last_answer = excluded.last_answer, last_answer_at = excluded.last_answer_at,"
                         " restarts = excluded.restarts, store_used = excluded.store_used,"
                         " store_total = excluded.store_total, store_full = excluded.store_full,"
                         " registered = excluded.registered"
                         " WHERE gateways.instance IS NULL OR gateways.instance = excluded.instance")
              .arg(NowSql(db_)),
          {gateway_, TextOrNull(s.host), TextOrNull(s.connection), IntOrNull(s.signal), IntOrNull(s.battery),
           TextOrNull(s.sim), TextOrNull(s.network), IntOrNull(s.queue), instance_,
           static_cast<qint64>(::getpid()), TextOrNull(s.lastAnswer), TimeValue(db_, s.lastAnswerAt),
           IntOrNull(s.restarts), IntOrNull(s.storeUsed), IntOrNull(s.storeTotal), flag(s.storeFull),
           flag(s.registered)},
          why, &rows);
  if (lost) *lost = ok && rows == 0;
  return ok;
}

std::optional<int> Spool::QueueLength(QString* why) {
  QSqlQuery q(db_);
  const bool prepared = q.prepare(QStringLiteral("SELECT count(*) FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"));
  q.addBindValue(gateway_);
  if (!prepared || !q.exec() || !q.next()) {
    *why = Why(q.lastError());
    return std::nullopt;
  }
  return q.value(0).toInt();
}

std::optional<qint64> Spool::RecordReport(const QString& number, int reference, const QDateTime& discharge,
                                          int status, QString* why) {
  why->clear();
  QSqlQuery q(db_);
  // References wrap at 256 (or 65536): the newest row that used it is the one.
  const bool prepared = q.prepare(QStringLiteral("SELECT id, number FROM outbox WHERE claimed_by = ? AND state = 'sent'"
                           " AND (',' || refs || ',') LIKE ? ORDER BY sent DESC, id DESC LIMIT 20"));
  q.addBindValue(gateway_);
  q.addBindValue(QStringLiteral("%,%1,%").arg(reference));
  if (!prepared || !q.exec()) {
    *why = Why(q.lastError());
    return std::nullopt;
  }
  std::optional<qint64> id;
  while (q.next()) {
    if (pdulink::SameRecipient(q.value(1).toString().toStdString(), number.toStdString())) {
      id = q.value(0).toLongLong();
      break;
    }
  }
  q.finish();
  if (!id) return std::nullopt;
  const bool delivered =
      status >= 0 && status <= 0xFF &&
      pdulink::ClassifyStatus(static_cast<std::uint8_t>(status)) == pdulink::ReportKind::Delivered;
  if (!Run(QStringLiteral("UPDATE outbox SET delivered = ?, report_status = ? WHERE id = ?"),
           {delivered ? TimeValue(db_, discharge.isValid() ? discharge : QDateTime::currentDateTimeUtc()) : NullText(),
            status, *id},
           why))
    return std::nullopt;
  return id;
}

bool Spool::TakeWake() {
  const bool woken = *woken_;
  *woken_ = false;
  return woken;
}

}  // namespace spool
