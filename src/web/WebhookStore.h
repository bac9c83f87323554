// Webhooks in the spool (component "webhooks" of the version table):
//   webhooks            the registered receivers: url, events, secret
//                       (never shown again), counters of their outcomes
//   webhook_events      one row per event, written by triggers in the same
//                       transaction as the inbox row or outbox change it
//                       reports (only while a webhook is registered), and
//                       by pdulink-web for a gateway's lost and regained
//                       heartbeat; event_key is the event's stable id
//   webhook_deliveries  one row per webhook and event: pending until a 2xx
//                       answer (delivered) or a day of retries (failed)
// Every query is parameterised.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <map>
#include <optional>
#include <vector>

#include "Metrics.h"
#include "Webhooks.h"

namespace pdulink::web {

inline constexpr int kWebhookSchemaVersion = 1;
inline constexpr const char* kWebhookComponent = "webhooks";

// Creates the tables and triggers of version 1 inside the caller's
// migration transaction; false (why set) on a database error or a newer
// version than this program knows.
bool MigrateWebhooks(QSqlDatabase& db, QString* why);

// A registered webhook as the worker needs it.
struct Webhook {
  qint64 id = 0;
  QString url;
  QByteArray secret;
};

// A pending delivery with its event.
struct DueDelivery {
  qint64 webhookId = 0;
  qint64 eventId = 0;
  int attempts = 0;
  QDateTime nextAttempt;
  QDateTime firstAttempt;  // invalid: never tried
  QString subject;         // the number (or gateway) whose order is kept
};

struct AttemptOutcome {
  bool delivered = false;
  int status = 0;  // HTTP status, 0 when none came
  QString error;   // empty when delivered
};

// One attempt made: the delivery, what came of it and the body it sent.
struct Attempt {
  DueDelivery delivery;
  AttemptOutcome outcome;
  QByteArray body;
};

class WebhookStore {
 public:
  explicit WebhookStore(QSqlDatabase& db);

  // The API and the command line.
  std::optional<qint64> Add(const WebhookRegistration& hook, QString* why);
  std::optional<QJsonArray> List(QString* why);
  // false with *found false when there is no such webhook.
  bool Remove(qint64 id, bool* found, QString* why);
  // Newest first; nullopt with *found false when there is no such webhook.
  std::optional<QJsonArray> Deliveries(qint64 id, int limit, bool* found);
  void AddFigures(SpoolFigures* figures);

  // The worker.
  // Whether this connection is the one that delivers: under PostgreSQL the
  // first pdulink-web to take a session lock, until its connection ends
  // (another then takes over); SQLite has one pdulink-web per file.
  bool Deliverer();
  std::optional<std::vector<Webhook>> Webhooks();
  // Gives every webhook a pending delivery of each new event it asked for.
  bool FanOut();
  // A webhook's pending deliveries in event order, at most `limit`.
  std::optional<std::vector<DueDelivery>> Pending(qint64 webhookId, int limit);
  // Its deliveries that are due and first of their number, in event order,
  // at most `limit` (those in flight among them). Slower: it looks past
  // every later delivery of a number.
  std::optional<std::vector<DueDelivery>> Due(qint64 webhookId, int limit);
  // The event as it is sent, and its id. Built from the rows at the first
  // attempt; a retry sends the body that attempt kept.
  std::optional<QByteArray> Body(qint64 eventId, QString* key);
  // Writes the outcomes in one transaction: delivered, or the next
  // attempt's time (failed after a day), and the body kept for retries.
  bool Record(const std::vector<Attempt>& attempts, qint64 retryBaseMs);
  // Writes gateway.down / gateway.up for heartbeats older than downAfterS
  // and back again.
  bool CheckGateways(int downAfterS);
  // Ends the statements' reads: a SQLite connection with a statement left
  // running keeps its old snapshot and holds back the log's checkpoints.
  void FinishAll();
  // Drops the prepared statements, before the connection is opened again.
  void Forget() { prepared_.clear(); }
  // Deletes finished deliveries and events older than `days`.
  void Purge(int days);

 private:
  QByteArray BuildBody(qint64 eventId, QString* key, bool* ok);
  // The rows of a Pending or Due query (its first bound value the webhook).
  std::optional<std::vector<DueDelivery>> Deliveries(QSqlQuery& q);
  bool RecordOne(const Attempt& attempt, qint64 retryBaseMs);
  QDateTime Now() const;
  // The statement prepared once per connection (a round trip less each
  // time in PostgreSQL); kept until Forget().
  QSqlQuery& Prepared(const QString& sql);

  QSqlDatabase& db_;
  std::map<QString, QSqlQuery> prepared_;
  bool pg_ = false;
};

}  // namespace pdulink::web
