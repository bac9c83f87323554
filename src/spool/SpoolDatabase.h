#pragma once
// Opening the spool database and bringing its schema up to date, and the
// one way to put a message into the outbox. Every query is parameterised.
//
// Tables (component "spool" in schema_version, version kSchemaVersion):
//   schema_version(component TEXT PRIMARY KEY, version INTEGER)
//   outbox    messages to send; state queued -> sending -> sent | failed,
//             or unknown when a gateway stopped between claiming and the
//             phone's answer
//   inbox     messages received, one row per message the archive keeps
//   gateways  one row per gateway, its last status
// Version 2 adds the running instance: outbox.claim (the instance that
// claimed the row) and gateways.instance, gateways.pid (the instance that
// holds the name and its process on that host). Version 3 adds the
// gateway's health to its row: gateways.last_answer, last_answer_at,
// restarts, store_used, store_total, store_full, registered.
// Times are timestamptz in PostgreSQL and UTC text
// "YYYY-MM-DDTHH:MM:SS.sssZ" in SQLite.
#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <optional>

#include "SpoolTarget.h"

namespace spool {

inline constexpr int kSchemaVersion = 3;
inline constexpr const char* kComponent = "spool";
// The PostgreSQL notification a trigger raises when a row becomes queued;
// its payload is the row's gateway (empty for any).
inline constexpr const char* kOutboxChannel = "pdulink_outbox";

// The outbox states.
inline constexpr const char* kQueued = "queued";
inline constexpr const char* kSending = "sending";
inline constexpr const char* kSent = "sent";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kUnknown = "unknown";

// Opens a connection named connectionName (Qt's registry: one per thread
// that uses it). create: SQLite may create a missing file (otherwise a
// missing file fails to open). On failure the connection is removed again
// and an invalid database returned, why set; the password never appears in why.
QSqlDatabase Open(const Target& target, const QString& connectionName, QString* why, bool create = true);
// Closes and removes the named connection.
void Close(const QString& connectionName);

Backend BackendOf(const QSqlDatabase& db);

// The driver's own text for a failed call (libpq's message when Qt has
// none, as after a broken connection).
QString ErrorText(const class QSqlError& error, const QSqlDatabase& db);

// Creates or upgrades the spool's tables (and in PostgreSQL the trigger
// that notifies kOutboxChannel), in one transaction; several gateways
// starting at once are serialised. False (why set) on a database error or a
// schema newer than this program knows.
bool Migrate(QSqlDatabase& db, QString* why);

// The version recorded for a component; nullopt when it has none (or the
// table is missing). SetComponentVersion inserts or updates its row; for
// callers that keep tables of their own under another component name, to
// be run inside their own migration transaction.
std::optional<int> ComponentVersion(QSqlDatabase& db, const QString& component, QString* why = nullptr);
bool SetComponentVersion(QSqlDatabase& db, const QString& component, int version, QString* why = nullptr);

// A message for the outbox.
struct OutboxMessage {
  QString number;               // as the gateway's sending takes it ("+49...")
  QString text;                 // the text, UTF-8 in the database
  bool flash = false;           // class 0
  std::optional<int> validity;  // relative validity period octet 0..255; absent: the gateway's own
  QString smsc;                 // service centre; empty: the phone's
  bool report = false;          // ask for a delivery report
  QString gateway;              // the gateway that must send it; empty: any
  QDateTime notBefore;          // not sent before this time; invalid: at once
  int priority = 0;             // higher goes first
};

// Inserts one queued row; its id, or nullopt (why set).
std::optional<qint64> Enqueue(QSqlDatabase& db, const OutboxMessage& message, QString* why = nullptr);

// A time as the backend stores it (the SQLite text form, or the QDateTime).
QVariant TimeValue(const QSqlDatabase& db, const QDateTime& time);
// A stored time back (SQLite text or PostgreSQL timestamptz); invalid for null.
QDateTime TimeFrom(const QVariant& value);
// The SQL expression for "now" in the backend (stored format).
QString NowSql(const QSqlDatabase& db);

}  // namespace spool
