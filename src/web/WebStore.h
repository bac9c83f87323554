// The web server's side of the spool: its own tables (API keys by hash,
// idempotency keys) under the component "web", the outbox rows a request
// creates, and the listings. Every query is parameterised.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSqlQuery>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "ApiQuery.h"
#include "Metrics.h"
#include "SendRequest.h"
#include "SpoolTarget.h"

namespace pdulink::web {

inline constexpr int kWebSchemaVersion = 1;
inline constexpr const char* kWebComponent = "web";

struct KeyInfo {
  QString name;
  QString created;  // ISO 8601 UTC
};

struct EnqueueOutcome {
  enum Kind { Created, Replayed, Conflict, UnknownGateway, Failed } kind = Failed;
  QList<qint64> ids;
  QString why;  // Failed: the database's reason
};

// One request of a batch: what to queue, and what came of it.
struct SendItem {
  const SendRequest* request = nullptr;
  QString apiKey;
  QByteArray idempotencyKey;
  QByteArray requestHash;
  EnqueueOutcome outcome;
};

struct Page {
  QJsonArray rows;
  qint64 lastId = 0;  // id of the last row (0: none)
  bool more = false;  // rows after this page
  bool older = false; // a newest page: rows before it
};

class WebStore {
 public:
  explicit WebStore(QString connectionName = "pdulink-web") : connection_(std::move(connectionName)) {}
  ~WebStore();
  WebStore(const WebStore&) = delete;
  WebStore& operator=(const WebStore&) = delete;

  // Opens the spool, brings its schema and the web tables up to date.
  bool Open(const spool::Target& target, QString* why);

  // A cheap query answers (reconnecting once when the connection broke).
  bool Reachable();

  // Keys. AddKey fails (why set) when the name is taken.
  bool AddKey(const QString& name, const QByteArray& hash, QString* why);
  std::optional<std::vector<KeyInfo>> ListKeys(QString* why);
  // false with *found false when there is no such key.
  bool RevokeKey(const QString& name, bool* found, QString* why);
  // Every key's name and hash (the server compares them in memory).
  std::optional<std::vector<std::pair<QString, QByteArray>>> ReadKeys(QString* why);

  // Queues one row per recipient in one transaction. With an idempotency
  // key, a request seen before under the same API key creates nothing and
  // gives the first ids back (Replayed), or Conflict when its body differed.
  EnqueueOutcome Enqueue(const SendRequest& request, const QString& apiKey, const QByteArray& idempotencyKey,
                         const QByteArray& requestHash);
  // Several requests in one transaction (one commit, one sync to disk for
  // all of them), each as Enqueue would. On a database error nothing of
  // the batch is stored and false is returned (the outcomes say Failed);
  // the caller may then try each alone (*began false: no transaction could
  // be opened, the spool is locked or gone, and trying again is no use).
  bool EnqueueBatch(const std::vector<SendItem*>& items, bool* began = nullptr);

  // nullopt with *failed false: no such row.
  std::optional<QJsonObject> Message(qint64 id, bool* failed);
  std::optional<Page> Messages(const OutboxQuery& query);
  std::optional<Page> Inbox(const InboxQuery& query);
  std::optional<QJsonArray> Gateways();
  SpoolFigures Figures();

  QSqlDatabase& Db() { return db_; }

 private:
  bool MigrateWeb(QString* why);
  // One request inside an open transaction; false on a database error.
  bool EnqueueInTransaction(SendItem& item, QString* why);
  bool Begin(QString* why = nullptr);
  bool Commit();
  void Rollback();
  void PurgeIdempotencyKeys();
  // A listing's query run: the newest rows (newest > 0) or a page of
  // `limit` in id order, under these conditions.
  std::optional<Page> Listing(QString sql, const QStringList& where, QVariantList binds, int newest, int limit,
                              QJsonObject (*json)(const QVariantList&));
  // Reopens the connection after a failure that broke it.
  bool Recover();
  void SetUpConnection();
  // The query for this SQL, prepared once per connection (PostgreSQL keeps
  // it as a server-side prepared statement); its binds are reset.
  QSqlQuery& Prepared(const QString& sql);

  QString connection_;
  spool::Target target_;
  QSqlDatabase db_;
  bool postgres_ = false;
  QElapsedTimer purged_;
  QHash<QString, QSqlQuery> prepared_;
};

}  // namespace pdulink::web
