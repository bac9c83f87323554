#pragma once
// A gateway's side of the spool: claiming outbox rows and recording their
// outcome, the inbox rows of received messages, the gateway's status row,
// delivery reports, and the wake-up when a row is queued. One interface,
// one backend each for SQLite and PostgreSQL; they differ in how a row is
// claimed (an immediate transaction, or FOR UPDATE SKIP LOCKED) and in the
// wake-up (PostgreSQL's LISTEN/NOTIFY; SQLite has none and is looked at
// every turn). Every call works on one connection of the calling thread and
// reports failure through its result and why; a failed call leaves the
// connection to be closed and opened again by the caller.
#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "SpoolTarget.h"

namespace spool {

// An outbox row claimed for sending.
struct Claimed {
  qint64 id = 0;
  QString number;
  QString text;
  bool flash = false;
  std::optional<int> validity;
  QString smsc;
  bool report = false;
  int attempts = 0;  // including this claim
};

// One received message as the archive kept it.
struct InboxRow {
  // The message's identity for this gateway: the same message inserted
  // again (after a crash between the commit and the phone's delete) is
  // recognised by it and not inserted twice.
  QString msgKey;
  QString scTime;   // the service centre's time stamp with its zone, ISO 8601
  QString sender;
  QString text;     // UTF-8
  int parts = 1;
  QString coding;   // "7bit", "8bit", "ucs2"; empty when not decoded
  std::optional<int> msgClass;
  bool flash = false;
  QString pdus;     // the raw PDUs, one a line
  QString files;    // the archive files written, one a line; empty: none
};

// The gateways row.
struct GatewayStatus {
  QString host;
  QString connection;  // "connected", "connecting", "disconnected", "offline"
  std::optional<int> signal;
  std::optional<int> battery;
  QString sim;
  QString network;
  std::optional<int> queue;
  // Health: the last command the phone answered and when, the phone's
  // restarts seen since the gateway started, the message store's use, and
  // whether the phone is registered; absent: not known (yet).
  QString lastAnswer;
  QDateTime lastAnswerAt;
  std::optional<int> restarts;
  std::optional<int> storeUsed;
  std::optional<int> storeTotal;
  std::optional<bool> storeFull;
  std::optional<bool> registered;
};

class Spool {
 public:
  // A spool for the target, as gateway `gateway`, on the Qt connection
  // `connectionName`; instance: this run's identity, stored with every
  // claim (empty: a random one).
  static std::unique_ptr<Spool> Make(const Target& target, const QString& gateway, const QString& connectionName,
                                     const QString& instance = {});
  // A new random instance identity.
  static QString NewInstance();
  // A gateway counts as live while its status row was written this recently.
  static constexpr int kLiveSeconds = 30;
  virtual ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  const Target& target() const { return target_; }
  const QString& gateway() const { return gateway_; }
  const QString& instance() const { return instance_; }
  QSqlDatabase& db() { return db_; }

  // Connects and migrates the schema (and subscribes to the wake-up). A
  // SQLite file is created only when create is true.
  bool Open(QString* why, bool create = true);
  void Close();
  bool IsOpen() const { return open_; }
  // Whether the open database is still the one opened (SQLite: the file is
  // still there under its name); false with why when it is gone.
  virtual bool Check(QString* why);

  // The oldest queued row of the highest priority meant for this gateway or
  // for any, whose not_before has passed, set to "sending" and claimed by
  // this gateway in a transaction committed before this returns. nullopt
  // with error false when nothing waits.
  virtual std::optional<Claimed> Claim(bool* error, QString* why) = 0;
  // The outcome of a row this instance claimed; the row changes only while
  // it is still "sending" under this instance's claim (changed, when given,
  // says whether it did: a row settled meanwhile by a later owner of the
  // name keeps that state).
  bool MarkSent(qint64 id, const QString& references, QString* why, bool* changed = nullptr);
  bool MarkFailed(qint64 id, const QString& error, QString* why, bool* changed = nullptr);
  bool MarkUnknown(qint64 id, const QString& error, QString* why, bool* changed = nullptr);
  // Rows this instance holds in "sending": the ids.
  std::optional<std::vector<qint64>> Sending(QString* why);
  // Those of the ids this instance holds set "unknown" with error text.
  bool SetUnknown(const std::vector<qint64>& ids, const QString& error, QString* why);
  // Rows back to "queued" that this instance claimed but never sent (the
  // claim's commit was not confirmed to it).
  bool Requeue(const std::vector<qint64>& ids, QString* why);

  // Takes this gateway's name for this instance. Refused (Live, holder set
  // to its host) while another instance holds it and is live: its status
  // row written within kLiveSeconds and, on this host, its process still
  // running. Once taken, the rows earlier instances of the name left
  // "sending" are set "unknown" with error text (a run ended between the
  // claim and the phone's answer: whether it went out is not known, so it
  // is never sent again by itself); their ids in settled.
  enum class Take { Taken, Live, Error };
  Take TakeName(const QString& error, std::vector<qint64>* settled, QString* holder, QString* why);

  // Inserts a received message; a row of the same msgKey from this gateway
  // counts as done (nothing inserted).
  bool InsertInbox(const InboxRow& row, QString* why);
  // Inserts or updates this gateway's row with last_seen now, unless
  // another instance holds the name (lost set, nothing written).
  bool WriteStatus(const GatewayStatus& status, QString* why, bool* lost = nullptr);
  // Queued rows this gateway may send.
  std::optional<int> QueueLength(QString* why);
  // A delivery report for a message this gateway sent: the newest "sent"
  // row claimed by it whose references hold `reference` and whose number
  // is the report's recipient (compared by digits: a national and an
  // international form of the same number match on their last 9 digits).
  // Sets delivered (the report's discharge time, for a completed delivery)
  // and report_status (TP-ST). The row's id, nullopt when none matched
  // (why empty) or on a database error (why set).
  std::optional<qint64> RecordReport(const QString& number, int reference, const QDateTime& discharge, int status,
                                     QString* why);

  // Whether the last failed call gave up waiting for a lock or ran out of
  // time (tried again soon) rather than lost its database.
  bool GaveUpWaiting(const QString& why) const;
  // Statements wait at most lockMs for a lock (SQLite: its busy timeout)
  // and run at most statementMs (PostgreSQL).
  bool LimitWaits(int lockMs, int statementMs, QString* why);
  // Whether a queued row this gateway may send now is there.
  std::optional<bool> Due(QString* why);

  // True once after a wake-up arrived (PostgreSQL: a row became queued);
  // always false for SQLite.
  bool TakeWake();

 protected:
  Spool(const Target& target, const QString& gateway, const QString& connectionName, const QString& instance);
  virtual bool AfterOpen(QString* why) { (void)why; return true; }
  // Runs sql (parameterised by values) on the connection; false with why.
  bool Run(const QString& sql, const QVariantList& values, QString* why, int* rows = nullptr);
  QString Why(const class QSqlError& error);
  bool Mark(const QString& set, const QVariantList& values, qint64 id, QString* why, bool* changed);

  Target target_;
  QString gateway_;
  QString instance_;
  QString connectionName_;
  QSqlDatabase db_;
  bool open_ = false;
  QString lastCode_;  // the driver's code of the last failed call
  std::shared_ptr<bool> woken_ = std::make_shared<bool>(false);
};

}  // namespace spool
