#include "SpoolDatabase.h"

#include <QSqlDriver>
#include <QUrl>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>
#include <utility>

#ifdef PDULINK_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

namespace spool {

QString ErrorText(const QSqlError& error, const QSqlDatabase& db) {
  QString text = error.text().simplified();
  if (text.isEmpty()) text = error.nativeErrorCode();
#ifdef PDULINK_HAVE_LIBPQ
  // A connection that broke leaves the reason with libpq, not with Qt.
  if (text.isEmpty() && db.isValid() && db.driverName() == QStringLiteral("QPSQL")) {
    const QVariant handle = db.driver()->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "PGconn*") == 0)
      if (PGconn* conn = *static_cast<PGconn* const*>(handle.data()))
        text = QString::fromUtf8(PQerrorMessage(conn)).simplified();
  }
#else
  (void)db;
#endif
  return text.isEmpty() ? QStringLiteral("the database gave no reason") : text;
}

namespace {

// The tables of version 1, as the SQL of each backend.
QStringList SchemaV1(Backend backend) {
  const bool pg = backend == Backend::Postgres;
  const QString id = pg ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
  const QString time = pg ? QStringLiteral("TIMESTAMPTZ") : QStringLiteral("TEXT");
  const QString now = pg ? QStringLiteral("now()") : QStringLiteral("(strftime('%Y-%m-%dT%H:%M:%fZ','now'))");
  QStringList sql;
  sql << QStringLiteral(
             "CREATE TABLE outbox ("
             " id %1,"
             " created %2 NOT NULL DEFAULT %3,"
             " number TEXT NOT NULL,"
             " text TEXT NOT NULL,"
             " flash INTEGER NOT NULL DEFAULT 0,"
             " validity INTEGER CHECK (validity BETWEEN 0 AND 255),"
             " smsc TEXT,"
             " report INTEGER NOT NULL DEFAULT 0,"
             " gateway TEXT,"
             " not_before %2,"
             " priority INTEGER NOT NULL DEFAULT 0,"
             " state TEXT NOT NULL DEFAULT 'queued'"
             "  CHECK (state IN ('queued','sending','sent','failed','unknown')),"
             " claimed_by TEXT,"
             " claimed_at %2,"
             " attempts INTEGER NOT NULL DEFAULT 0,"
             " refs TEXT,"
             " sent %2,"
             " error TEXT,"
             " delivered %2,"
             " report_status INTEGER)")
             .arg(id, time, now)
      << QStringLiteral("CREATE INDEX outbox_queued ON outbox (priority DESC, id) WHERE state = 'queued'")
      << QStringLiteral("CREATE INDEX outbox_claimed ON outbox (claimed_by, state)")
      << QStringLiteral(
             "CREATE TABLE inbox ("
             " id %1,"
             " gateway TEXT NOT NULL,"
             " received %2 NOT NULL DEFAULT %3,"
             " sc_time TEXT,"
             " sender TEXT,"
             " text TEXT,"
             " parts INTEGER NOT NULL DEFAULT 1,"
             " coding TEXT,"
             " class INTEGER,"
             " flash INTEGER NOT NULL DEFAULT 0,"
             " pdus TEXT NOT NULL,"
             " files TEXT,"
             " msg_key TEXT NOT NULL,"
             " UNIQUE (gateway, msg_key))")
             .arg(id, time, now)
      << QStringLiteral("CREATE INDEX inbox_received ON inbox (received)")
      << QStringLiteral(
             "CREATE TABLE gateways ("
             " name TEXT PRIMARY KEY,"
             " host TEXT,"
             " last_seen %1,"
             " connection TEXT,"
             " signal INTEGER,"
             " battery INTEGER,"
             " sim TEXT,"
             " network TEXT,"
             " queue INTEGER)")
             .arg(time);
  if (pg) {
    sql << QStringLiteral(
               "CREATE FUNCTION pdulink_outbox_notify() RETURNS trigger LANGUAGE plpgsql AS $$ "
               "BEGIN "
               " IF NEW.state = 'queued' THEN PERFORM pg_notify('%1', COALESCE(NEW.gateway, '')); END IF; "
               " RETURN NULL; "
               "END $$")
               .arg(QString::fromLatin1(kOutboxChannel))
        << QStringLiteral(
               "CREATE TRIGGER outbox_notify AFTER INSERT OR UPDATE OF state ON outbox"
               " FOR EACH ROW EXECUTE FUNCTION pdulink_outbox_notify()");
  }
  return sql;
}

// Version 2: one owner per claim. Existing databases gain the columns in
// place; rows claimed before have no instance and count as an earlier one's.
QStringList SchemaV2() {
  return {QStringLiteral("ALTER TABLE outbox ADD COLUMN claim TEXT"),
          QStringLiteral("ALTER TABLE gateways ADD COLUMN instance TEXT"),
          QStringLiteral("ALTER TABLE gateways ADD COLUMN pid INTEGER")};
}

// Version 3: the gateway's health in its row (what a person or a
// monitoring system asks first when messages stop). A column the table
// already has is left as it is.
QStringList SchemaV3GatewayHealth(const QSqlDatabase& db, Backend backend) {
  const QString time = backend == Backend::Postgres ? QStringLiteral("TIMESTAMPTZ") : QStringLiteral("TEXT");
  const std::pair<const char*, QString> columns[] = {
      {"last_answer", QStringLiteral("TEXT")},    {"last_answer_at", time},
      {"restarts", QStringLiteral("INTEGER")},    {"store_used", QStringLiteral("INTEGER")},
      {"store_total", QStringLiteral("INTEGER")}, {"store_full", QStringLiteral("INTEGER")},
      {"registered", QStringLiteral("INTEGER")}};
  const QSqlRecord have = db.record(QStringLiteral("gateways"));
  QStringList sql;
  for (const auto& [name, type] : columns)
    if (!have.contains(QString::fromLatin1(name)))
      sql << QStringLiteral("ALTER TABLE gateways ADD COLUMN %1 %2").arg(QString::fromLatin1(name), type);
  return sql;
}

bool Exec(QSqlDatabase& db, const QString& sql, QString* why) {
  QSqlQuery q(db);
  if (q.exec(sql)) return true;
  if (why) *why = ErrorText(q.lastError(), db);
  return false;
}

}  // namespace

QSqlDatabase Open(const Target& target, const QString& connectionName, QString* why, bool create) {
  QSqlDatabase db;
  if (target.backend == Backend::Sqlite) {
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (create) {
      db.setDatabaseName(target.path);
    } else {
      // Opened as a URI in read-write mode: a missing file is an error
      // instead of a new, empty database.
      QString uri = QStringLiteral("file:") + QString::fromUtf8(QUrl::toPercentEncoding(target.path, "/")) +
                    QStringLiteral("?mode=rw");
      db.setDatabaseName(uri);
    }
    db.setConnectOptions(create ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000")
                                : QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000;QSQLITE_OPEN_URI"));
  } else {
    db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!target.host.isEmpty()) db.setHostName(target.host);
    if (target.port > 0) db.setPort(target.port);
    if (!target.dbname.isEmpty()) db.setDatabaseName(target.dbname);
    if (!target.user.isEmpty()) db.setUserName(target.user);
    if (!target.options.isEmpty()) db.setConnectOptions(target.options);
  }
  if (!db.isValid()) {
    if (why) *why = QStringLiteral("no Qt SQL driver for ") + (target.backend == Backend::Sqlite ? "SQLite" : "PostgreSQL");
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
    return QSqlDatabase();
  }
  if (!db.open()) {
    if (why) *why = ErrorText(db.lastError(), db);
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
    return QSqlDatabase();
  }
  if (target.backend == Backend::Sqlite) {
    // Write-ahead logging lets readers (a web front end) work while a
    // gateway writes; NORMAL sync is durable at every commit in WAL mode
    // except for the last commits on a power loss, so FULL is kept.
    QString ignored;
    Exec(db, QStringLiteral("PRAGMA journal_mode=WAL"), &ignored);
    Exec(db, QStringLiteral("PRAGMA synchronous=FULL"), &ignored);
  } else {
    // The server's notices ("already exists, skipping") are no news.
    QString ignored;
    Exec(db, QStringLiteral("SET client_min_messages = warning"), &ignored);
  }
  return db;
}

void Close(const QString& connectionName) {
  {
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    if (db.isOpen()) db.close();
  }
  QSqlDatabase::removeDatabase(connectionName);
}

Backend BackendOf(const QSqlDatabase& db) {
  return db.driverName() == QStringLiteral("QPSQL") ? Backend::Postgres : Backend::Sqlite;
}

std::optional<int> ComponentVersion(QSqlDatabase& db, const QString& component, QString* why) {
  QSqlQuery q(db);
  q.prepare(QStringLiteral("SELECT version FROM schema_version WHERE component = ?"));
  q.addBindValue(component);
  if (!q.exec()) {
    if (why) *why = ErrorText(q.lastError(), db);
    return std::nullopt;
  }
  if (!q.next()) return std::nullopt;
  return q.value(0).toInt();
}

bool SetComponentVersion(QSqlDatabase& db, const QString& component, int version, QString* why) {
  QSqlQuery q(db);
  q.prepare(QStringLiteral(
      "INSERT INTO schema_version (component, version) VALUES (?, ?)"
      " ON CONFLICT (component) DO UPDATE SET version = excluded.version"));
  q.addBindValue(component);
  q.addBindValue(version);
  if (q.exec()) return true;
  if (why) *why = ErrorText(q.lastError(), db);
  return false;
}

bool Migrate(QSqlDatabase& db, QString* why) {
  const Backend backend = BackendOf(db);
  QString error;
  // One migration at a time: SQLite's immediate transaction takes the write
  // lock at once; PostgreSQL serialises on an advisory lock held to commit.
  if (!Exec(db, backend == Backend::Sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"), &error)) {
    if (why) *why = error;
    return false;
  }
  auto fail = [&](const QString& text) {
    QString ignored;
    Exec(db, QStringLiteral("ROLLBACK"), &ignored);
    if (why) *why = text;
    return false;
  };
  if (backend == Backend::Postgres && !Exec(db, QStringLiteral("SELECT pg_advisory_xact_lock(7240511)"), &error))
    return fail(error);
  if (!Exec(db, QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (component TEXT PRIMARY KEY, version INTEGER NOT NULL)"),
            &error))
    return fail(error);
  error.clear();
  const std::optional<int> version = ComponentVersion(db, QString::fromLatin1(kComponent), &error);
  if (!error.isEmpty()) return fail(error);
  const int have = version.value_or(0);
  if (have > kSchemaVersion)
    return fail(QStringLiteral("the spool's schema is version %1, this program knows up to %2").arg(have).arg(kSchemaVersion));
  if (have < 1) {
    for (const QString& sql : SchemaV1(backend))
      if (!Exec(db, sql, &error)) return fail(error);
  }
  if (have < 2) {
    for (const QString& sql : SchemaV2())
      if (!Exec(db, sql, &error)) return fail(error);
  }
  if (have < 3) {
    for (const QString& sql : SchemaV3GatewayHealth(db, backend))
      if (!Exec(db, sql, &error)) return fail(error);
  }
  if (have < kSchemaVersion && !SetComponentVersion(db, QString::fromLatin1(kComponent), kSchemaVersion, &error))
    return fail(error);
  if (!Exec(db, QStringLiteral("COMMIT"), &error)) return fail(error);
  return true;
}

QVariant TimeValue(const QSqlDatabase& db, const QDateTime& time) {
  if (!time.isValid()) return QVariant(QMetaType(QMetaType::QString));
  if (BackendOf(db) == Backend::Postgres) return time.toUTC();
  return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime TimeFrom(const QVariant& value) {
  if (value.isNull()) return QDateTime();
  if (value.typeId() == QMetaType::QDateTime) return value.toDateTime();
  return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

QString NowSql(const QSqlDatabase& db) {
  return BackendOf(db) == Backend::Postgres ? QStringLiteral("now()") : QStringLiteral("strftime('%Y-%m-%dT%H:%M:%fZ','now')");
}

std::optional<qint64> Enqueue(QSqlDatabase& db, const OutboxMessage& m, QString* why) {
  QSqlQuery q(db);
  q.prepare(QStringLiteral(
      "INSERT INTO outbox (number, text, flash, validity, smsc, report, gateway, not_before, priority)"
      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"));
  q.addBindValue(m.number);
  q.addBindValue(m.text);
  q.addBindValue(m.flash ? 1 : 0);
  q.addBindValue(m.validity ? QVariant(*m.validity) : QVariant(QMetaType(QMetaType::Int)));
  q.addBindValue(m.smsc.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(m.smsc));
  q.addBindValue(m.report ? 1 : 0);
  q.addBindValue(m.gateway.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(m.gateway));
  q.addBindValue(TimeValue(db, m.notBefore));
  q.addBindValue(m.priority);
  if (!q.exec() || !q.next()) {
    if (why) *why = ErrorText(q.lastError(), db);
    return std::nullopt;
  }
  return q.value(0).toLongLong();
}

}  // namespace spool
