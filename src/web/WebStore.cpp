#include "WebStore.h"

#include <algorithm>

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include "ApiKeys.h"
#include "JsonRows.h"
#include "SpoolDatabase.h"
#include "WebhookStore.h"

namespace pdulink::web {

namespace {

// Idempotency keys are kept for a day.
constexpr qint64 kIdempotencySeconds = 24 * 3600;
constexpr qint64 kPurgeEveryMs = 3600 * 1000;
// Waits for another writer's lock, and for one statement (PostgreSQL).
constexpr int kLockWaitMs = 2000;
constexpr int kStatementMs = 5000;

QString ErrorText(const QSqlQuery& q) { return q.lastError().text().simplified(); }

QVariantList Values(const QSqlQuery& q) {
  QVariantList v;
  const int n = q.record().count();
  v.reserve(n);
  for (int i = 0; i < n; ++i) v.append(q.value(i));
  return v;
}

QString IdsText(const QList<qint64>& ids) {
  QStringList s;
  for (qint64 id : ids) s.append(QString::number(id));
  return s.join(',');
}

QList<qint64> IdsFrom(const QString& text) {
  QList<qint64> ids;
  for (const QString& s : text.split(',', Qt::SkipEmptyParts)) ids.append(s.toLongLong());
  return ids;
}

}  // namespace

WebStore::~WebStore() {
  if (db_.isValid()) {
    db_ = QSqlDatabase();
    spool::Close(connection_);
  }
}

bool WebStore::Open(const spool::Target& target, QString* why) {
  target_ = target;
  db_ = spool::Open(target, connection_, why);
  if (!db_.isValid()) return false;
  postgres_ = spool::BackendOf(db_) == spool::Backend::Postgres;
  if (!spool::Migrate(db_, why)) return false;
  SetUpConnection();
  return MigrateWeb(why);
}

bool WebStore::Begin(QString* why) {
  QSqlQuery q(db_);
  if (q.exec(postgres_ ? "BEGIN" : "BEGIN IMMEDIATE")) return true;
  if (why) *why = ErrorText(q);
  return false;
}

bool WebStore::Commit() {
  QSqlQuery q(db_);
  return q.exec("COMMIT");
}

void WebStore::Rollback() {
  QSqlQuery q(db_);
  q.exec("ROLLBACK");
}

bool WebStore::MigrateWeb(QString* why) {
  if (!Begin(why)) return false;
  auto fail = [&](const QString& text) {
    Rollback();
    *why = text;
    return false;
  };
  QSqlQuery q(db_);
  if (postgres_ && !q.exec("SELECT pg_advisory_xact_lock(7240512)")) return fail(ErrorText(q));
  const std::optional<int> version = spool::ComponentVersion(db_, kWebComponent, why);
  if (version && *version > kWebSchemaVersion)
    return fail(QString("the web tables are at version %1, newer than this program knows (%2)")
                    .arg(*version)
                    .arg(kWebSchemaVersion));
  if (!version) {
    const QString time = postgres_ ? "TIMESTAMPTZ" : "TEXT";
    const QString now = spool::NowSql(db_);
    const QStringList ddl = {
        QString("CREATE TABLE api_keys (name TEXT PRIMARY KEY, key_hash TEXT NOT NULL UNIQUE,"
                " created %1 NOT NULL DEFAULT (%2))")
            .arg(time, now),
        QString("CREATE TABLE idempotency_keys (api_key TEXT NOT NULL, idem_key TEXT NOT NULL,"
                " request_hash TEXT NOT NULL, ids TEXT NOT NULL, created %1 NOT NULL DEFAULT (%2),"
                " PRIMARY KEY (api_key, idem_key))")
            .arg(time, now),
        "CREATE INDEX idempotency_keys_created ON idempotency_keys (created)",
    };
    for (const QString& sql : ddl)
      if (!q.exec(sql)) return fail(ErrorText(q));
    QString error;
    if (!spool::SetComponentVersion(db_, kWebComponent, kWebSchemaVersion, &error)) return fail(error);
  }
  // The webhook tables, a step of their own under their own component.
  if (QString error; !MigrateWebhooks(db_, &error)) return fail(error);
  if (!Commit()) return fail(db_.lastError().text().simplified());
  return true;
}

QSqlQuery& WebStore::Prepared(const QString& sql) {
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    it = prepared_.insert(sql, QSqlQuery(db_));
    it->prepare(sql);
  } else {
    it->finish();
  }
  return *it;
}

void WebStore::SetUpConnection() {
  // The statements stay prepared; planned for each execution's values, a
  // LIMIT or an id bound keeps its index scan instead of a generic plan.
  if (postgres_) QSqlQuery(db_).exec("SET plan_cache_mode = force_custom_plan");
  // Short waits for locks: a request held up by another writer is answered
  // 503 within seconds rather than keeping its client (and the requests
  // behind it) waiting.
  if (postgres_) {
    QSqlQuery(db_).exec(QString("SET lock_timeout = %1").arg(kLockWaitMs));
    QSqlQuery(db_).exec(QString("SET statement_timeout = %1").arg(kStatementMs));
  } else {
    QSqlQuery(db_).exec(QString("PRAGMA busy_timeout = %1").arg(kLockWaitMs));
  }
}

bool WebStore::Recover() {
  prepared_.clear();
  {
    QSqlQuery q(db_);
    if (q.exec("SELECT 1")) return true;
  }
  db_.close();
  if (!db_.open()) return false;
  SetUpConnection();
  return true;
}

bool WebStore::Reachable() {
  QSqlQuery q(db_);
  if (q.exec("SELECT 1") && q.next()) return true;
  return Recover();
}

bool WebStore::AddKey(const QString& name, const QByteArray& hash, QString* why) {
  QSqlQuery q(db_);
  q.prepare("SELECT 1 FROM api_keys WHERE name = ?");
  q.addBindValue(name);
  if (!q.exec()) {
    *why = ErrorText(q);
    return false;
  }
  if (q.next()) {
    *why = QString("a key named %1 exists; revoke it first").arg(name);
    return false;
  }
  q.prepare("INSERT INTO api_keys (name, key_hash) VALUES (?, ?)");
  q.addBindValue(name);
  q.addBindValue(QString::fromLatin1(hash));
  if (!q.exec()) {
    *why = ErrorText(q);
    return false;
  }
  return true;
}

std::optional<std::vector<KeyInfo>> WebStore::ListKeys(QString* why) {
  QSqlQuery q(db_);
  if (!q.exec("SELECT name, created FROM api_keys ORDER BY name")) {
    *why = ErrorText(q);
    return std::nullopt;
  }
  std::vector<KeyInfo> keys;
  while (q.next()) keys.push_back({q.value(0).toString(), TimeJson(q.value(1)).toString()});
  return keys;
}

bool WebStore::RevokeKey(const QString& name, bool* found, QString* why) {
  *found = false;
  QSqlQuery q(db_);
  if (!Begin(why)) return false;
  q.prepare("DELETE FROM api_keys WHERE name = ?");
  q.addBindValue(name);
  if (!q.exec()) {
    *why = ErrorText(q);
    Rollback();
    return false;
  }
  *found = q.numRowsAffected() > 0;
  // Its idempotency keys go with it.
  q.prepare("DELETE FROM idempotency_keys WHERE api_key = ?");
  q.addBindValue(name);
  if (!q.exec() || !Commit()) {
    *why = ErrorText(q);
    Rollback();
    return false;
  }
  return *found;
}

std::optional<std::vector<std::pair<QString, QByteArray>>> WebStore::ReadKeys(QString* why) {
  QSqlQuery& q = Prepared("SELECT name, key_hash FROM api_keys");
  if (!q.exec()) {
    if (why) *why = ErrorText(q);
    Recover();
    return std::nullopt;
  }
  std::vector<std::pair<QString, QByteArray>> keys;
  while (q.next()) keys.emplace_back(q.value(0).toString(), q.value(1).toString().toLatin1());
  q.finish();
  return keys;
}

void WebStore::PurgeIdempotencyKeys() {
  if (purged_.isValid() && purged_.elapsed() < kPurgeEveryMs) return;
  purged_.start();
  QSqlQuery q(db_);
  q.prepare("DELETE FROM idempotency_keys WHERE created < ?");
  q.addBindValue(spool::TimeValue(db_, QDateTime::currentDateTimeUtc().addSecs(-kIdempotencySeconds)));
  q.exec();
}

bool WebStore::EnqueueInTransaction(SendItem& item, QString* why) {
  const SendRequest& r = *item.request;
  EnqueueOutcome& out = item.outcome;
  out = EnqueueOutcome{};
  if (!item.idempotencyKey.isEmpty()) {
    QSqlQuery& q = Prepared("SELECT request_hash, ids FROM idempotency_keys WHERE api_key = ? AND idem_key = ?");
    q.addBindValue(item.apiKey);
    q.addBindValue(QString::fromLatin1(item.idempotencyKey));
    if (!q.exec()) return *why = ErrorText(q), false;
    if (q.next()) {
      out.kind = q.value(0).toString().toLatin1() == item.requestHash ? EnqueueOutcome::Replayed
                                                                       : EnqueueOutcome::Conflict;
      out.ids = IdsFrom(q.value(1).toString());
      q.finish();
      return true;
    }
  }
  if (!r.gateway.isEmpty()) {
    QSqlQuery& q = Prepared("SELECT 1 FROM gateways WHERE name = ?");
    q.addBindValue(r.gateway);
    if (!q.exec()) return *why = ErrorText(q), false;
    const bool known = q.next();
    q.finish();
    if (!known) {
      out.kind = EnqueueOutcome::UnknownGateway;
      return true;
    }
  }
  spool::OutboxMessage m;
  m.text = r.text;
  m.flash = r.flash;
  m.validity = r.validity;
  m.smsc = r.smsc;
  m.report = r.report;
  m.gateway = r.gateway;
  if (r.notBefore) m.notBefore = *r.notBefore;
  m.priority = r.priority;
  for (const QString& number : r.to) {
    m.number = number;
    const std::optional<qint64> id = spool::Enqueue(db_, m, why);
    if (!id) return false;
    out.ids.append(*id);
  }
  if (!item.idempotencyKey.isEmpty()) {
    QSqlQuery& q = Prepared("INSERT INTO idempotency_keys (api_key, idem_key, request_hash, ids) VALUES (?, ?, ?, ?)");
    q.addBindValue(item.apiKey);
    q.addBindValue(QString::fromLatin1(item.idempotencyKey));
    q.addBindValue(QString::fromLatin1(item.requestHash));
    q.addBindValue(IdsText(out.ids));
    if (!q.exec()) return *why = ErrorText(q), false;
  }
  out.kind = EnqueueOutcome::Created;
  return true;
}

bool WebStore::EnqueueBatch(const std::vector<SendItem*>& items, bool* began) {
  QString why;
  if (began) *began = false;
  auto fail = [&](const QString& text) {
    Rollback();
    for (SendItem* item : items) item->outcome = EnqueueOutcome{EnqueueOutcome::Failed, {}, text};
    return false;
  };
  if (!Begin(&why)) {
    // A connection that broke is opened again; a lock held elsewhere is
    // not waited for twice.
    const bool alive = QSqlQuery(db_).exec("SELECT 1");
    if (alive || !Recover() || !Begin(&why)) return fail(why);
  }
  if (began) *began = true;
  PurgeIdempotencyKeys();
  for (SendItem* item : items)
    if (!EnqueueInTransaction(*item, &why)) return fail(why);
  if (!Commit()) return fail(db_.lastError().text().simplified());
  return true;
}

EnqueueOutcome WebStore::Enqueue(const SendRequest& request, const QString& apiKey, const QByteArray& idempotencyKey,
                                 const QByteArray& requestHash) {
  SendItem item{&request, apiKey, idempotencyKey, requestHash, {}};
  // A second attempt covers two requests with one idempotency key racing
  // in PostgreSQL: the loser's insert fails, and it then finds the winner's.
  bool began = false;
  for (int attempt = 0; attempt < 2; ++attempt)
    if (EnqueueBatch({&item}, &began) || !began) break;
  return item.outcome;
}

std::optional<QJsonObject> WebStore::Message(qint64 id, bool* failed) {
  *failed = false;
  QSqlQuery& q = Prepared(QString("SELECT %1 FROM outbox WHERE id = ?").arg(kOutboxColumns));
  q.addBindValue(id);
  if (!q.exec()) {
    *failed = true;
    Recover();
    return std::nullopt;
  }
  if (!q.next()) return std::nullopt;
  const QJsonObject row = OutboxJson(Values(q));
  q.finish();
  return row;
}

namespace {

// Runs a listing: limit+1 rows tell whether more follow; newest-first
// queries are turned back into id order.
std::optional<Page> RunPage(QSqlQuery& q, int limit, bool reversed, QJsonObject (*json)(const QVariantList&)) {
  if (!q.exec()) return std::nullopt;
  Page page;
  std::vector<QJsonObject> rows;
  while (q.next()) {
    if (static_cast<int>(rows.size()) == limit) {
      page.more = true;
      break;
    }
    rows.push_back(json(Values(q)));
  }
  q.finish();  // no statement left open: it would hold back the log's checkpoints
  if (reversed) std::reverse(rows.begin(), rows.end());
  for (QJsonObject& o : rows) page.rows.append(o);
  if (!rows.empty()) page.lastId = rows.back().value("id").toInteger();
  if (reversed) {
    page.older = page.more;  // a newest page: rows before it remain
    page.more = false;
  }
  return page;
}

}  // namespace

namespace {

// A LIKE pattern that finds `text` anywhere, its own % and _ taken as such.
QString Contains(const QString& text) {
  QString t = text;
  t.replace('\\', "\\\\").replace('%', "\\%").replace('_', "\\_");
  return '%' + t + '%';
}

// The filters both listings share: older than a row, one correspondent
// (with or without '+'), a piece of the text or the number.
template <typename Query>
void Filters(const Query& query, const QString& numberColumn, QStringList* where, QVariantList* binds) {
  if (query.beforeId > 0) {
    *where << "id < ?";
    *binds << query.beforeId;
  }
  if (!query.number.isEmpty()) {
    const QString bare = query.number.startsWith('+') ? query.number.mid(1) : query.number;
    *where << QString("(%1 = ? OR %1 = ?)").arg(numberColumn);
    *binds << bare << "+" + bare;
  }
  if (!query.search.isEmpty()) {
    *where << QString("(text LIKE ? ESCAPE '\\' OR %1 LIKE ? ESCAPE '\\')").arg(numberColumn);
    *binds << Contains(query.search) << Contains(query.search);
  }
}

}  // namespace

std::optional<Page> WebStore::Messages(const OutboxQuery& query) {
  QStringList where;
  QVariantList binds;
  if (query.newest == 0) {
    where << "id > ?";
    binds << query.afterId;
  }
  if (!query.state.isEmpty()) {
    where << "state = ?";
    binds << query.state;
  }
  if (query.since) {
    where << "created >= ?";
    binds << spool::TimeValue(db_, *query.since);
  }
  Filters(query, "number", &where, &binds);
  return Listing(QString("SELECT %1 FROM outbox").arg(kOutboxColumns), where, binds, query.newest, query.limit,
                 &OutboxJson);
}

std::optional<Page> WebStore::Listing(QString sql, const QStringList& where, QVariantList binds, int newest,
                                      int limit, QJsonObject (*json)(const QVariantList&)) {
  if (newest > 0) limit = newest;
  if (!where.isEmpty()) sql += " WHERE " + where.join(" AND ");
  sql += newest > 0 ? " ORDER BY id DESC LIMIT ?" : " ORDER BY id LIMIT ?";
  binds << limit + 1;
  QSqlQuery& q = Prepared(sql);
  for (const QVariant& b : binds) q.addBindValue(b);
  std::optional<Page> page = RunPage(q, limit, newest > 0, json);
  if (!page) Recover();
  return page;
}

std::optional<Page> WebStore::Inbox(const InboxQuery& query) {
  QStringList where;
  QVariantList binds;
  if (query.newest == 0) {
    where << "id > ?";
    binds << query.sinceId;
  }
  Filters(query, "sender", &where, &binds);
  return Listing(QString("SELECT %1 FROM inbox").arg(kInboxColumns), where, binds, query.newest, query.limit,
                 &InboxJson);
}

std::optional<QJsonArray> WebStore::Gateways() {
  QSqlQuery q(db_);
  if (!q.exec(QString("SELECT %1 FROM gateways ORDER BY name").arg(kGatewayColumns))) {
    Recover();
    return std::nullopt;
  }
  QJsonArray a;
  while (q.next()) a.append(GatewayJson(Values(q)));
  return a;
}

SpoolFigures WebStore::Figures() {
  SpoolFigures f;
  QSqlQuery q(db_);
  auto gateway = [&f](const QString& name) -> GatewayFigures& {
    for (GatewayFigures& g : f.gateways)
      if (g.name == name) return g;
    f.gateways.push_back(GatewayFigures{name, 0, 0, 0, 0, std::nullopt, std::nullopt});
    return f.gateways.back();
  };
  if (!q.exec("SELECT COUNT(*), MIN(created) FROM outbox WHERE state = 'queued'") || !q.next()) {
    f.reachable = false;
    Recover();
    return f;
  }
  f.queueLength = q.value(0).toLongLong();
  if (const QDateTime oldest = spool::TimeFrom(q.value(1)); oldest.isValid())
    f.oldestQueuedSeconds = std::max<qint64>(0, oldest.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;

  if (q.exec("SELECT name, signal, battery, registered, restarts, store_used, store_total, store_full,"
             " last_answer_at FROM gateways ORDER BY name")) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    while (q.next()) {
      GatewayFigures& g = gateway(q.value(0).toString());
      auto number = [&q](int column) {
        return q.value(column).isNull() ? std::nullopt : std::optional<double>(q.value(column).toDouble());
      };
      g.signal = number(1);
      g.battery = number(2);
      g.health.registered = number(3);
      g.health.phoneRestarts = number(4);
      g.health.storeUsed = number(5);
      g.health.storeTotal = number(6);
      g.health.storeFull = number(7);
      if (const QDateTime at = spool::TimeFrom(q.value(8)); at.isValid()) {
        g.health.lastAnswerTime = static_cast<double>(at.toSecsSinceEpoch());
        g.health.sinceLastAnswer = static_cast<double>(std::max<qint64>(0, at.secsTo(now)));
      }
    }
  }
  // A report status below 32 (TS 23.040 9.2.3.15) means the message arrived.
  if (q.exec("SELECT claimed_by,"
             " SUM(CASE WHEN state = 'sent' THEN 1 ELSE 0 END),"
             " SUM(CASE WHEN state = 'failed' THEN 1 ELSE 0 END),"
             " SUM(CASE WHEN delivered IS NOT NULL AND report_status < 32 THEN 1 ELSE 0 END)"
             " FROM outbox WHERE claimed_by IS NOT NULL GROUP BY claimed_by")) {
    while (q.next()) {
      GatewayFigures& g = gateway(q.value(0).toString());
      g.sent = q.value(1).toLongLong();
      g.failed = q.value(2).toLongLong();
      g.delivered = q.value(3).toLongLong();
    }
  }
  if (q.exec("SELECT gateway, COUNT(*) FROM inbox GROUP BY gateway")) {
    while (q.next()) gateway(q.value(0).toString()).received = q.value(1).toLongLong();
  }
  WebhookStore(db_).AddFigures(&f);
  std::sort(f.gateways.begin(), f.gateways.end(),
            [](const GatewayFigures& a, const GatewayFigures& b) { return a.name < b.name; });
  return f;
}

}  // namespace pdulink::web
