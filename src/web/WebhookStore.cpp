#include "WebhookStore.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "JsonRows.h"
#include "SpoolDatabase.h"

namespace pdulink::web {

namespace {

QString ErrorText(const QSqlQuery& q) { return q.lastError().text().simplified(); }

QVariant Null() { return QVariant(QMetaType(QMetaType::QString)); }

// Report statuses from 64 on are permanent errors (TS 23.040 9.2.3.15);
// below 32 the row has its delivered time.
QStringList SqliteTriggers() {
  const QString insert = "INSERT OR IGNORE INTO webhook_events (event_key, type, subject, source) VALUES ";
  return {
      "CREATE TRIGGER webhook_inbox AFTER INSERT ON inbox WHEN EXISTS (SELECT 1 FROM webhooks) BEGIN " + insert +
          "('inbox-' || NEW.id, 'message.received', NEW.sender, NEW.id); END",
      "CREATE TRIGGER webhook_outbox_state AFTER UPDATE OF state ON outbox"
      " WHEN NEW.state IS NOT OLD.state AND NEW.state IN ('sent', 'failed', 'unknown')"
      " AND EXISTS (SELECT 1 FROM webhooks) BEGIN " +
          insert +
          "('outbox-' || NEW.id || '-' || NEW.state || '-' || NEW.attempts, 'message.' || NEW.state, NEW.number,"
          " NEW.id); END",
      "CREATE TRIGGER webhook_outbox_report AFTER UPDATE OF report_status ON outbox"
      " WHEN NEW.report_status IS NOT NULL AND NEW.report_status IS NOT OLD.report_status"
      " AND (NEW.delivered IS NOT NULL OR NEW.report_status >= 64) AND EXISTS (SELECT 1 FROM webhooks) BEGIN " +
          insert +
          "('outbox-' || NEW.id || '-report', CASE WHEN NEW.delivered IS NOT NULL THEN 'message.delivered'"
          " ELSE 'message.undeliverable' END, NEW.number, NEW.id); END",
  };
}

QStringList PostgresTriggers() {
  const QString insert = "INSERT INTO webhook_events (event_key, type, subject, source) VALUES ";
  return {
      "CREATE FUNCTION pdulink_webhook_inbox() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
      " IF EXISTS (SELECT 1 FROM webhooks) THEN " +
          insert +
          "('inbox-' || NEW.id, 'message.received', NEW.sender, NEW.id) ON CONFLICT DO NOTHING; END IF;"
          " RETURN NULL; END $$",
      "CREATE TRIGGER webhook_inbox AFTER INSERT ON inbox FOR EACH ROW EXECUTE FUNCTION pdulink_webhook_inbox()",
      "CREATE FUNCTION pdulink_webhook_outbox() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
      " IF NOT EXISTS (SELECT 1 FROM webhooks) THEN RETURN NULL; END IF;"
      " IF NEW.state IS DISTINCT FROM OLD.state AND NEW.state IN ('sent', 'failed', 'unknown') THEN " +
          insert +
          "('outbox-' || NEW.id || '-' || NEW.state || '-' || NEW.attempts, 'message.' || NEW.state, NEW.number,"
          " NEW.id) ON CONFLICT DO NOTHING; END IF;"
          " IF NEW.report_status IS NOT NULL AND NEW.report_status IS DISTINCT FROM OLD.report_status"
          " AND (NEW.delivered IS NOT NULL OR NEW.report_status >= 64) THEN " +
          insert +
          "('outbox-' || NEW.id || '-report', CASE WHEN NEW.delivered IS NOT NULL THEN 'message.delivered'"
          " ELSE 'message.undeliverable' END, NEW.number, NEW.id) ON CONFLICT DO NOTHING; END IF;"
          " RETURN NULL; END $$",
      "CREATE TRIGGER webhook_outbox AFTER UPDATE ON outbox FOR EACH ROW EXECUTE FUNCTION pdulink_webhook_outbox()",
  };
}

QStringList SchemaV1(bool pg, const QString& now) {
  const QString id = pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
  const QString time = pg ? "TIMESTAMPTZ" : "TEXT";
  QStringList sql = {
      QString("CREATE TABLE webhooks (id %1, url TEXT NOT NULL, events TEXT NOT NULL, secret TEXT NOT NULL,"
              " created %2 NOT NULL DEFAULT (%3), fanned BIGINT NOT NULL DEFAULT 0,"
              " delivered_count BIGINT NOT NULL DEFAULT 0, failed_count BIGINT NOT NULL DEFAULT 0,"
              " attempt_count BIGINT NOT NULL DEFAULT 0)")
          .arg(id, time, now),
      QString("CREATE TABLE webhook_events (id %1, event_key TEXT NOT NULL UNIQUE, type TEXT NOT NULL,"
              " subject TEXT, source BIGINT, created %2 NOT NULL DEFAULT (%3), data TEXT, body TEXT)")
          .arg(id, time, now),
      "CREATE INDEX webhook_events_subject ON webhook_events (subject, id)",
      "CREATE INDEX webhook_events_created ON webhook_events (created)",
      QString("CREATE TABLE webhook_deliveries (webhook_id BIGINT NOT NULL, event_id BIGINT NOT NULL, subject TEXT,"
              " state TEXT NOT NULL DEFAULT 'pending' CHECK (state IN ('pending', 'delivered', 'failed')),"
              " attempts INTEGER NOT NULL DEFAULT 0, first_attempt %1, next_attempt %1 NOT NULL, last_attempt %1,"
              " last_status INTEGER, last_error TEXT, done %1, PRIMARY KEY (webhook_id, event_id))")
          .arg(time),
      "CREATE INDEX webhook_deliveries_pending ON webhook_deliveries (webhook_id, event_id) WHERE state = 'pending'",
      "CREATE INDEX webhook_deliveries_queue ON webhook_deliveries (webhook_id, subject, event_id)"
      " WHERE state = 'pending'",
  };
  return sql + (pg ? PostgresTriggers() : SqliteTriggers());
}

}  // namespace

bool MigrateWebhooks(QSqlDatabase& db, QString* why) {
  const bool pg = spool::BackendOf(db) == spool::Backend::Postgres;
  const std::optional<int> version = spool::ComponentVersion(db, kWebhookComponent, why);
  if (version && *version > kWebhookSchemaVersion) {
    *why = QString("the webhook tables are at version %1, newer than this program knows (%2)")
               .arg(*version)
               .arg(kWebhookSchemaVersion);
    return false;
  }
  if (version) return true;
  QSqlQuery q(db);
  for (const QString& sql : SchemaV1(pg, spool::NowSql(db)))
    if (!q.exec(sql)) return *why = ErrorText(q), false;
  return spool::SetComponentVersion(db, kWebhookComponent, kWebhookSchemaVersion, why);
}

WebhookStore::WebhookStore(QSqlDatabase& db) : db_(db), pg_(spool::BackendOf(db) == spool::Backend::Postgres) {}

QDateTime WebhookStore::Now() const { return QDateTime::currentDateTimeUtc(); }

void WebhookStore::FinishAll() {
  for (auto& [sql, q] : prepared_) q.finish();
}

QSqlQuery& WebhookStore::Prepared(const QString& sql) {
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    it = prepared_.emplace(sql, QSqlQuery(db_)).first;
    it->second.prepare(sql);
  } else {
    it->second.finish();
  }
  return it->second;
}

std::optional<qint64> WebhookStore::Add(const WebhookRegistration& hook, QString* why) {
  QSqlQuery q(db_);
  q.prepare("INSERT INTO webhooks (url, events, secret) VALUES (?, ?, ?) RETURNING id");
  q.addBindValue(hook.url);
  q.addBindValue("," + hook.events.join(',') + ",");
  q.addBindValue(hook.secret);
  if (!q.exec() || !q.next()) return *why = ErrorText(q), std::nullopt;
  return q.value(0).toLongLong();
}

std::optional<QJsonArray> WebhookStore::List(QString* why) {
  QSqlQuery q(db_);
  if (!q.exec("SELECT w.id, w.url, w.events, w.created, w.delivered_count, w.failed_count, w.attempt_count,"
              " (SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook_id = w.id AND d.state = 'pending'),"
              " (SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook_id = w.id AND d.state = 'pending'"
              "  AND d.attempts > 0)"
              " FROM webhooks w ORDER BY w.id"))
    return *why = ErrorText(q), std::nullopt;
  QJsonArray list;
  while (q.next()) {
    const qint64 retrying = q.value(8).toLongLong();
    list.append(QJsonObject{
        {"id", q.value(0).toLongLong()},
        {"url", q.value(1).toString()},
        {"events", QJsonArray::fromStringList(q.value(2).toString().split(',', Qt::SkipEmptyParts))},
        {"created", TimeJson(q.value(3))},
        {"delivered", q.value(4).toLongLong()},
        {"failed", q.value(5).toLongLong()},
        {"attempts", q.value(6).toLongLong()},
        {"pending", q.value(7).toLongLong()},
        {"state", retrying > 0 ? "retrying" : "ok"},
    });
  }
  // The latest attempt's outcome says what the receiver did last.
  for (qsizetype i = 0; i < list.size(); ++i) {
    QJsonObject o = list[i].toObject();
    QSqlQuery last(db_);
    last.prepare(
        "SELECT last_attempt, last_status, last_error FROM webhook_deliveries"
        " WHERE webhook_id = ? AND last_attempt IS NOT NULL ORDER BY last_attempt DESC LIMIT 1");
    last.addBindValue(o.value("id").toInteger());
    if (!last.exec()) return *why = ErrorText(last), std::nullopt;
    const bool any = last.next();
    o.insert("last_attempt", any ? TimeJson(last.value(0)) : QJsonValue());
    o.insert("last_status", any && !last.value(1).isNull() ? QJsonValue(last.value(1).toInt()) : QJsonValue());
    o.insert("last_error", any && !last.value(2).isNull() ? QJsonValue(last.value(2).toString()) : QJsonValue());
    list[i] = o;
  }
  return list;
}

bool WebhookStore::Remove(qint64 id, bool* found, QString* why) {
  *found = false;
  QSqlQuery q(db_);
  if (!q.exec(pg_ ? "BEGIN" : "BEGIN IMMEDIATE")) return *why = ErrorText(q), false;
  auto fail = [&] {
    *why = ErrorText(q);
    QSqlQuery(db_).exec("ROLLBACK");
    return false;
  };
  q.prepare("DELETE FROM webhooks WHERE id = ?");
  q.addBindValue(id);
  if (!q.exec()) return fail();
  *found = q.numRowsAffected() > 0;
  q.prepare("DELETE FROM webhook_deliveries WHERE webhook_id = ?");
  q.addBindValue(id);
  if (!q.exec() || !q.exec("COMMIT")) return fail();
  return *found;
}

std::optional<QJsonArray> WebhookStore::Deliveries(qint64 id, int limit, bool* found) {
  *found = false;
  QSqlQuery q(db_);
  q.prepare("SELECT 1 FROM webhooks WHERE id = ?");
  q.addBindValue(id);
  if (!q.exec()) return std::nullopt;
  if (!(*found = q.next())) return std::nullopt;
  q.prepare(
      "SELECT e.event_key, e.type, e.created, d.state, d.attempts, d.last_status, d.last_error,"
      " d.last_attempt, d.next_attempt, d.done FROM webhook_deliveries d"
      " JOIN webhook_events e ON e.id = d.event_id WHERE d.webhook_id = ? ORDER BY d.event_id DESC LIMIT ?");
  q.addBindValue(id);
  q.addBindValue(limit);
  if (!q.exec()) return std::nullopt;
  QJsonArray list;
  while (q.next()) {
    const QString state = q.value(3).toString();
    list.append(QJsonObject{
        {"event_id", q.value(0).toString()},
        {"type", q.value(1).toString()},
        {"created", TimeJson(q.value(2))},
        {"state", state},
        {"attempts", q.value(4).toInt()},
        {"last_status", q.value(5).isNull() ? QJsonValue() : QJsonValue(q.value(5).toInt())},
        {"last_error", q.value(6).isNull() ? QJsonValue() : QJsonValue(q.value(6).toString())},
        {"last_attempt", TimeJson(q.value(7))},
        {"next_attempt", state == "pending" ? TimeJson(q.value(8)) : QJsonValue()},
        {"done", TimeJson(q.value(9))},
    });
  }
  return list;
}

void WebhookStore::AddFigures(SpoolFigures* f) {
  QSqlQuery q(db_);
  if (!q.exec("SELECT w.id, w.delivered_count, w.failed_count, w.attempt_count,"
              " (SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook_id = w.id AND d.state = 'pending')"
              " FROM webhooks w ORDER BY w.id"))
    return;
  while (q.next())
    f->webhooks.push_back(WebhookFigures{q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong(),
                                         q.value(3).toLongLong(), q.value(4).toLongLong()});
}

bool WebhookStore::Deliverer() {
  if (!pg_) return true;
  QSqlQuery q(db_);
  return q.exec("SELECT pg_try_advisory_lock(7240513)") && q.next() && q.value(0).toBool();
}

std::optional<std::vector<Webhook>> WebhookStore::Webhooks() {
  QSqlQuery q(db_);
  if (!q.exec("SELECT id, url, secret FROM webhooks ORDER BY id")) return std::nullopt;
  std::vector<Webhook> hooks;
  while (q.next()) hooks.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString().toUtf8()});
  return hooks;
}

bool WebhookStore::FanOut() {
  // The newest event every earlier one of which is committed: in SQLite
  // (one writer) the newest; in PostgreSQL a transaction may commit a lower
  // id late, so only events older than its statement timeouts count.
  QSqlQuery q(db_);
  if (!q.exec(pg_ ? "SELECT COALESCE(MAX(id), 0) FROM webhook_events WHERE created < now() - interval '10 seconds'"
                  : "SELECT COALESCE(MAX(id), 0) FROM webhook_events") ||
      !q.next())
    return false;
  const qint64 settled = q.value(0).toLongLong();
  QSqlQuery& insert = Prepared(
      "INSERT INTO webhook_deliveries (webhook_id, event_id, subject, next_attempt)"
      " SELECT w.id, e.id, e.subject, ? FROM webhooks w JOIN webhook_events e ON e.id > w.fanned"
      " WHERE e.created >= w.created AND w.events LIKE '%,' || e.type || ',%'"
      " ON CONFLICT DO NOTHING");
  insert.addBindValue(spool::TimeValue(db_, Now()));
  if (!insert.exec()) return false;
  QSqlQuery& update = Prepared("UPDATE webhooks SET fanned = ? WHERE fanned < ?");
  update.addBindValue(settled);
  update.addBindValue(settled);
  return update.exec();
}

std::optional<std::vector<DueDelivery>> WebhookStore::Pending(qint64 webhookId, int limit) {
  QSqlQuery& q = Prepared(
      "SELECT event_id, attempts, next_attempt, first_attempt, subject FROM webhook_deliveries"
      " WHERE webhook_id = ? AND state = 'pending' ORDER BY event_id LIMIT ?");
  q.addBindValue(webhookId);
  q.addBindValue(limit);
  return Deliveries(q);
}

std::optional<std::vector<DueDelivery>> WebhookStore::Deliveries(QSqlQuery& q) {
  if (!q.exec()) return std::nullopt;
  std::vector<DueDelivery> due;
  const qint64 webhookId = q.boundValue(0).toLongLong();
  while (q.next())
    due.push_back({webhookId, q.value(0).toLongLong(), q.value(1).toInt(), spool::TimeFrom(q.value(2)),
                   spool::TimeFrom(q.value(3)), q.value(4).toString()});
  return due;
}

std::optional<std::vector<DueDelivery>> WebhookStore::Due(qint64 webhookId, int limit) {
  // The first pending delivery of each number (or of none), when its time
  // has come: a later one of the same number waits for it.
  QSqlQuery& q = Prepared(
      "SELECT d.event_id, d.attempts, d.next_attempt, d.first_attempt, d.subject FROM webhook_deliveries d"
      " WHERE d.webhook_id = ? AND d.state = 'pending' AND d.next_attempt <= ? AND NOT EXISTS"
      " (SELECT 1 FROM webhook_deliveries p WHERE p.webhook_id = d.webhook_id AND p.state = 'pending'"
      "  AND p.subject = d.subject AND p.event_id < d.event_id)"
      " ORDER BY d.event_id LIMIT ?");
  q.addBindValue(webhookId);
  q.addBindValue(spool::TimeValue(db_, Now()));
  q.addBindValue(limit);
  return Deliveries(q);
}

QByteArray WebhookStore::BuildBody(qint64 eventId, QString* key, bool* ok) {
  *ok = false;
  QSqlQuery& q = Prepared("SELECT event_key, type, created, source, data, body FROM webhook_events WHERE id = ?");
  q.addBindValue(eventId);
  if (!q.exec() || !q.next()) return {};
  *key = q.value(0).toString();
  if (!q.value(5).isNull()) {
    *ok = true;
    return q.value(5).toString().toUtf8();
  }
  const QString type = q.value(1).toString();
  const QDateTime created = spool::TimeFrom(q.value(2));
  const qint64 source = q.value(3).toLongLong();
  QJsonObject data = QJsonDocument::fromJson(q.value(4).toString().toUtf8()).object();
  if (type == "message.received") {
    QSqlQuery& row = Prepared("SELECT sender, text, sc_time, received, gateway, parts, pdus FROM inbox WHERE id = ?");
    row.addBindValue(source);
    if (!row.exec()) return {};
    data.insert("inbox_id", source);
    if (row.next())
      data = QJsonObject{
          {"inbox_id", source},
          {"number", InternationalSender(row.value(0).toString(), row.value(6).toString().section('\n', 0, 0))},
          {"text", row.value(1).toString()},
          {"time", row.value(2).isNull() ? QJsonValue() : QJsonValue(row.value(2).toString())},
          {"received", TimeJson(row.value(3))},
          {"gateway", row.value(4).toString()},
          {"parts", row.value(5).toInt()}};
  } else if (type.startsWith("message.")) {
    QSqlQuery& row = Prepared(
        "SELECT number, text, claimed_by, refs, sent, error, report_status, delivered FROM outbox WHERE id = ?");
    row.addBindValue(source);
    if (!row.exec()) return {};
    data.insert("message_id", source);
    if (row.next()) {
      data.insert("number", row.value(0).toString());
      data.insert("text", row.value(1).toString());
      data.insert("gateway", row.value(2).isNull() ? QJsonValue() : QJsonValue(row.value(2).toString()));
      if (type == "message.sent") {
        QJsonArray refs;
        for (const QString& r : row.value(3).toString().split(',', Qt::SkipEmptyParts)) refs.append(r.toInt());
        data.insert("references", refs);
        data.insert("sent", TimeJson(row.value(4)));
      } else if (type == "message.failed" || type == "message.unknown") {
        data.insert("error", row.value(5).isNull() ? QJsonValue() : QJsonValue(row.value(5).toString()));
      } else {
        data.insert("report_status", row.value(6).toInt());
        data.insert("time",
                    row.value(7).isNull() ? created.toUTC().toString(Qt::ISODateWithMs) : TimeJson(row.value(7)));
      }
    }
  }
  *ok = true;
  return EventBody(*key, type, created, data);
}

std::optional<QByteArray> WebhookStore::Body(qint64 eventId, QString* key) {
  bool ok = false;
  QByteArray body = BuildBody(eventId, key, &ok);
  if (!ok) return std::nullopt;
  return body;
}

bool WebhookStore::RecordOne(const Attempt& a, qint64 retryBaseMs) {
  const DueDelivery& d = a.delivery;
  const AttemptOutcome& outcome = a.outcome;
  const QDateTime now = Now();
  const QDateTime first = d.firstAttempt.isValid() ? d.firstAttempt : now;
  const QDateTime next = now.addMSecs(RetryDelayMs(d.attempts + 1, retryBaseMs));
  const bool givenUp = !outcome.delivered && first.msecsTo(next) > GiveUpAfterMs(retryBaseMs);
  const QString state = outcome.delivered ? "delivered" : givenUp ? "failed" : "pending";
  QSqlQuery& q = Prepared(
      "UPDATE webhook_deliveries SET state = ?, attempts = attempts + 1, first_attempt = ?, next_attempt = ?,"
      " last_attempt = ?, last_status = ?, last_error = ?, done = ?"
      " WHERE webhook_id = ? AND event_id = ? AND state = 'pending'");
  q.addBindValue(state);
  q.addBindValue(spool::TimeValue(db_, first));
  q.addBindValue(spool::TimeValue(db_, outcome.delivered || givenUp ? now : next));
  q.addBindValue(spool::TimeValue(db_, now));
  q.addBindValue(outcome.status > 0 ? QVariant(outcome.status) : QVariant(QMetaType(QMetaType::Int)));
  q.addBindValue(outcome.error.isEmpty() ? Null() : QVariant(outcome.error));
  q.addBindValue(state == "pending" ? Null() : spool::TimeValue(db_, now));
  q.addBindValue(d.webhookId);
  q.addBindValue(d.eventId);
  if (!q.exec()) return false;
  if (q.numRowsAffected() == 0) return true;  // removed meanwhile
  QSqlQuery& q2 = Prepared(
      "UPDATE webhooks SET attempt_count = attempt_count + 1, delivered_count = delivered_count + ?,"
      " failed_count = failed_count + ? WHERE id = ?");
  q2.addBindValue(outcome.delivered ? 1 : 0);
  q2.addBindValue(givenUp ? 1 : 0);
  q2.addBindValue(d.webhookId);
  if (!q2.exec()) return false;
  if (outcome.delivered) return true;
  // A retry sends what this attempt sent, whatever became of the rows.
  QSqlQuery& q3 = Prepared("UPDATE webhook_events SET body = ? WHERE id = ? AND body IS NULL");
  q3.addBindValue(QString::fromUtf8(a.body));
  q3.addBindValue(d.eventId);
  return q3.exec();
}

bool WebhookStore::Record(const std::vector<Attempt>& attempts, qint64 retryBaseMs) {
  if (!QSqlQuery(db_).exec(pg_ ? "BEGIN" : "BEGIN IMMEDIATE")) return false;
  for (const Attempt& a : attempts) {
    if (!RecordOne(a, retryBaseMs)) {
      QSqlQuery(db_).exec("ROLLBACK");
      return false;
    }
  }
  if (QSqlQuery(db_).exec("COMMIT")) return true;
  QSqlQuery(db_).exec("ROLLBACK");
  return false;
}

bool WebhookStore::CheckGateways(int downAfterS) {
  QSqlQuery q(db_);
  if (!q.exec("SELECT name, host, last_seen FROM gateways ORDER BY name")) return false;
  struct Seen {
    QString name, host;
    QVariant lastSeen;
  };
  std::vector<Seen> gateways;
  while (q.next()) gateways.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2)});
  const QDateTime now = Now();
  for (const Seen& g : gateways) {
    const QDateTime seen = spool::TimeFrom(g.lastSeen);
    const bool down = !seen.isValid() || seen.secsTo(now) > downAfterS;
    const QString subject = "gateway:" + g.name;
    q.prepare("SELECT type FROM webhook_events WHERE subject = ? ORDER BY id DESC LIMIT 1");
    q.addBindValue(subject);
    if (!q.exec()) return false;
    const bool wasDown = q.next() && q.value(0).toString() == "gateway.down";
    if (down == wasDown) continue;
    const QString type = down ? "gateway.down" : "gateway.up";
    const QJsonObject data{{"gateway", g.name}, {"host", g.host}, {"last_seen", TimeJson(g.lastSeen)}};
    q.prepare("INSERT INTO webhook_events (event_key, type, subject, data) VALUES (?, ?, ?, ?) ON CONFLICT DO NOTHING");
    q.addBindValue(QString("gateway-%1-%2-%3")
                       .arg(g.name, down ? "down" : "up")
                       .arg(seen.isValid() ? seen.toMSecsSinceEpoch() : 0));
    q.addBindValue(type);
    q.addBindValue(subject);
    q.addBindValue(QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact)));
    if (!q.exec()) return false;
  }
  return true;
}

void WebhookStore::Purge(int days) {
  const QVariant before = spool::TimeValue(db_, Now().addDays(-days));
  QSqlQuery q(db_);
  q.prepare("DELETE FROM webhook_deliveries WHERE state <> 'pending' AND done < ?");
  q.addBindValue(before);
  q.exec();
  q.prepare(
      "DELETE FROM webhook_events WHERE created < ? AND NOT EXISTS"
      " (SELECT 1 FROM webhook_deliveries d WHERE d.event_id = webhook_events.id)");
  q.addBindValue(before);
  q.exec();
}

}  // namespace pdulink::web
