#include "Spool.h"

#include <QFile>
#include <QObject>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <sys/stat.h>

#include "SpoolDatabase.h"

namespace spool {
namespace {

QString ErrorText(const QSqlError& error) {
  QString text = error.text().simplified();
  return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

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
    q.prepare(QStringLiteral("SELECT %1 FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"
                             " AND (not_before IS NULL OR not_before <= %2)"
                             " ORDER BY priority DESC, id LIMIT 1")
                  .arg(QLatin1String(kClaimColumns), NowSql(db_)));
    q.addBindValue(gateway_);
    std::optional<Claimed> claimed;
    bool ok = q.exec();
    if (ok && q.next()) claimed = ClaimedFrom(q);
    if (!ok) *why = ErrorText(q.lastError());
    q.finish();
    if (ok && claimed) {
      ok = Run(QStringLiteral("UPDATE outbox SET state = 'sending', claimed_by = ?, claimed_at = %1,"
                              " attempts = attempts + 1 WHERE id = ?")
                   .arg(NowSql(db_)),
               {gateway_, claimed->id}, why);
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
    q.prepare(QStringLiteral("SELECT %1 FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"
                             " AND (not_before IS NULL OR not_before <= now())"
                             " ORDER BY priority DESC, id LIMIT 1 FOR UPDATE SKIP LOCKED")
                  .arg(QLatin1String(kClaimColumns)));
    q.addBindValue(gateway_);
    std::optional<Claimed> claimed;
    bool ok = q.exec();
    if (ok && q.next()) claimed = ClaimedFrom(q);
    if (!ok) *why = ErrorText(q.lastError());
    q.finish();
    if (ok && claimed) {
      ok = Run(QStringLiteral("UPDATE outbox SET state = 'sending', claimed_by = ?, claimed_at = now(),"
                              " attempts = attempts + 1 WHERE id = ?"),
               {gateway_, claimed->id}, why);
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

std::unique_ptr<Spool> Spool::Make(const Target& target, const QString& gateway, const QString& connectionName) {
  if (target.backend == Backend::Postgres)
    return std::unique_ptr<Spool>(new PostgresSpool(target, gateway, connectionName));
  return std::unique_ptr<Spool>(new SqliteSpool(target, gateway, connectionName));
}

Spool::Spool(const Target& target, const QString& gateway, const QString& connectionName)
    : target_(target), gateway_(gateway), connectionName_(connectionName) {}

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

bool Spool::Run(const QString& sql, const QVariantList& values, QString* why) {
  QSqlQuery q(db_);
  bool ok;
  if (values.isEmpty()) {
    ok = q.exec(sql);
  } else {
    ok = q.prepare(sql);
    for (const QVariant& v : values) q.addBindValue(v);
    ok = ok && q.exec();
  }
  if (!ok && why) *why = ErrorText(q.lastError());
  return ok;
}

bool Spool::MarkSent(qint64 id, const QString& references, QString* why) {
  return Run(QStringLiteral("UPDATE outbox SET state = 'sent', refs = ?, sent = %1, error = NULL WHERE id = ?")
                 .arg(NowSql(db_)),
             {TextOrNull(references), id}, why);
}

bool Spool::MarkFailed(qint64 id, const QString& error, QString* why) {
  return Run(QStringLiteral("UPDATE outbox SET state = 'failed', error = ? WHERE id = ?"), {error, id}, why);
}

bool Spool::MarkUnknown(qint64 id, const QString& error, QString* why) {
  return Run(QStringLiteral("UPDATE outbox SET state = 'unknown', error = ? WHERE id = ?"), {error, id}, why);
}

std::optional<std::vector<qint64>> Spool::Sending(QString* why) {
  QSqlQuery q(db_);
  q.prepare(QStringLiteral("SELECT id FROM outbox WHERE state = 'sending' AND claimed_by = ? ORDER BY id"));
  q.addBindValue(gateway_);
  if (!q.exec()) {
    *why = ErrorText(q.lastError());
    return std::nullopt;
  }
  std::vector<qint64> ids;
  while (q.next()) ids.push_back(q.value(0).toLongLong());
  return ids;
}

bool Spool::SetUnknown(const std::vector<qint64>& ids, const QString& error, QString* why) {
  for (qint64 id : ids)
    if (!Run(QStringLiteral("UPDATE outbox SET state = 'unknown', error = ? WHERE id = ? AND state = 'sending'"
                            " AND claimed_by = ?"),
             {error, id, gateway_}, why))
      return false;
  return true;
}

bool Spool::Requeue(const std::vector<qint64>& ids, QString* why) {
  for (qint64 id : ids)
    if (!Run(QStringLiteral("UPDATE outbox SET state = 'queued', claimed_by = NULL, claimed_at = NULL"
                            " WHERE id = ? AND state = 'sending' AND claimed_by = ?"),
             {id, gateway_}, why))
      return false;
  return true;
}

bool Spool::InsertInbox(const InboxRow& r, QString* why) {
  return Run(QStringLiteral("INSERT INTO inbox (gateway, sc_time, sender, text, parts, coding, class, flash, pdus,"
                            " files, msg_key) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                            " ON CONFLICT (gateway, msg_key) DO NOTHING"),
             {gateway_, TextOrNull(r.scTime), TextOrNull(r.sender), TextOrNull(r.text), r.parts,
              TextOrNull(r.coding), IntOrNull(r.msgClass), r.flash ? 1 : 0, r.pdus, TextOrNull(r.files), r.msgKey},
             why);
}

bool Spool::WriteStatus(const GatewayStatus& s, QString* why) {
  return Run(QStringLiteral("INSERT INTO gateways (name, host, last_seen, connection, signal, battery, sim, network,"
                            " queue) VALUES (?, ?, %1, ?, ?, ?, ?, ?, ?)"
                            " ON CONFLICT (name) DO UPDATE SET host = excluded.host, last_seen = excluded.last_seen,"
                            " connection = excluded.connection, signal = excluded.signal,"
                            " battery = excluded.battery, sim = excluded.sim, network = excluded.network,"
                            " queue = excluded.queue")
                 .arg(NowSql(db_)),
             {gateway_, TextOrNull(s.host), TextOrNull(s.connection), IntOrNull(s.signal), IntOrNull(s.battery),
              TextOrNull(s.sim), TextOrNull(s.network), IntOrNull(s.queue)},
             why);
}

std::optional<int> Spool::QueueLength(QString* why) {
  QSqlQuery q(db_);
  q.prepare(QStringLiteral("SELECT count(*) FROM outbox WHERE state = 'queued' AND (gateway IS NULL OR gateway = ?)"));
  q.addBindValue(gateway_);
  if (!q.exec() || !q.next()) {
    *why = ErrorText(q.lastError());
    return std::nullopt;
  }
  return q.value(0).toInt();
}

std::optional<qint64> Spool::RecordReport(const QString& number, int reference, const QDateTime& discharge,
                                          int status, QString* why) {
  why->clear();
  QSqlQuery q(db_);
  // References wrap at 256 (or 65536): the newest row that used it is the one.
  q.prepare(QStringLiteral("SELECT id, number FROM outbox WHERE claimed_by = ? AND state = 'sent'"
                           " AND (',' || refs || ',') LIKE ? ORDER BY sent DESC, id DESC LIMIT 20"));
  q.addBindValue(gateway_);
  q.addBindValue(QStringLiteral("%,%1,%").arg(reference));
  if (!q.exec()) {
    *why = ErrorText(q.lastError());
    return std::nullopt;
  }
  std::optional<qint64> id;
  while (q.next()) {
    if (SameNumber(q.value(1).toString(), number)) {
      id = q.value(0).toLongLong();
      break;
    }
  }
  q.finish();
  if (!id) return std::nullopt;
  // TP-ST 0x00..0x1F: the message was delivered (TS 23.040 9.2.3.15).
  const bool delivered = status >= 0 && status < 0x20;
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

QString NumberDigits(const QString& number) {
  QString digits;
  for (QChar c : number)
    if (c.isDigit()) digits += c;
  return digits;
}

bool SameNumber(const QString& a, const QString& b) {
  const QString x = NumberDigits(a);
  const QString y = NumberDigits(b);
  if (x.isEmpty() || y.isEmpty()) return false;
  if (x == y) return true;
  // "+49 151 ..." against "0151 ...": the subscriber part.
  constexpr int kTail = 9;
  return x.size() >= kTail && y.size() >= kTail && x.right(kTail) == y.right(kTail);
}

}  // namespace spool
