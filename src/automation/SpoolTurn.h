#pragma once
// The gateway's work with the database spool (Spool=): a send turn that
// claims outbox rows one at a time and records each one's outcome, the
// inbox row of every message the archive keeps, the gateway's status row,
// and the wake-up of an idle gateway when a row is queued. A claimed row is
// the record of what is in flight: committed as "sending" before its PDU
// goes to the phone, so a row this gateway left "sending" (killed between
// the claim and the answer) becomes "unknown" at its next start and is
// never sent again by itself.
//
// The database work runs on a worker thread (spool::SpoolWorker); the tick
// waits for it a moment at most. The database may go away or stall at any
// time: one journal line when it does, one when it is back; meanwhile
// received messages stay on the phone, nothing is claimed, outcomes not yet
// written are kept to be written then, and the other duties go on.
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Context.h"
#include "Sending.h"
#include "Spool.h"
#include "SpoolWorker.h"

class Transaction;
namespace pdulink {
struct JoinedMessage;
}

class SpoolTurn {
 public:
  using SendFunction = std::function<int(const std::string& number, const std::string& body, const SendHooks& hooks)>;

  // spoolKey: the Spool= value; gateway: the name this gateway goes by.
  SpoolTurn(Context& ctx, Transaction& dialogue, SendFunction send, const std::string& spoolKey,
            const std::string& gateway);
  ~SpoolTurn();

  // The longest the tick waits for the database: a claim's or an inbox
  // row's answer. Slower, and the tick goes on without it.
  static constexpr std::chrono::milliseconds kMoment{250};

  // Starts the database worker (it connects; rows left "sending" by an
  // earlier run become "unknown"). A failure is journaled and tried again.
  void Start();
  // One send turn: rows are claimed and sent back to back while any are
  // queued and the phone is free, until the tick comes round (the cycle's
  // other duties then have their turn). A turn inside a running turn does
  // nothing.
  void Run();
  // Every tick: the worker's journal lines, the slow database's lines, and
  // the status the heartbeat writes.
  void Tick();
  // Rows may be waiting for this gateway (queued since the last turn, or
  // left by a turn that ended at the tick).
  bool Woken();

  // Receiving's hooks: whether a listing may run (the database is there and
  // answers), and the inbox row of a kept message, committed before it is
  // deleted (false when not committed within a moment: the message stays).
  bool MayList();
  bool Kept(const std::string& pduHex, const std::string& stem, const std::string& digest);
  bool JoinedKept(const pdulink::JoinedMessage& m, const std::string& txtPath);

  // A delivery report for a message this gateway sent (see
  // spool::Spool::RecordReport), handed to the worker.
  void RecordReport(const std::string& recipient, int reference, const QDateTime& discharge, int status);

  const QString& Gateway() const { return gateway_; }
  // Whether the database is there now (without waiting for it).
  bool Reachable() const { return worker_ && worker_->Usable(); }

 private:
  void SayWorkerLines();
  bool Insert(const spool::InboxRow& row);
  // One claimed row sent; false when the turn should end.
  bool SendOne(const spool::Claimed& row);
  // What the hooks of a row's send learnt: PDUs written and answered, the
  // references confirmed, the phone's first refusal.
  struct RowProgress {
    int written = 0, answered = 0;
    QStringList refs;
    QString refused;
  };
  // The hooks of a row's send: its own settings, and what its PDUs came to.
  SendHooks RowHooks(const spool::Claimed& row, RowProgress& progress);
  // The outcome to record for a row whose send ended with rc, with its
  // journal lines.
  spool::SpoolWorker::Outcome OutcomeOf(const spool::Claimed& row, int rc, const RowProgress& progress,
                                        uint32_t disconnects);
  bool MayContinue() const;
  // The phone's health for the status row.
  void HealthInto(spool::GatewayStatus& s) const;

  Context& ctx_;
  Transaction& dialogue_;
  SendFunction send_;
  QString gateway_;
  std::unique_ptr<spool::SpoolWorker> worker_;
  QString badKey_;      // why the Spool= value is unusable
  bool slowSaid_ = false;  // the slow database's line was written
  std::optional<uint32_t> heldAt_;  // the tick a turn ended on a row that did not go out
  bool running_ = false;
};
