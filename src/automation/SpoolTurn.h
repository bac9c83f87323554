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
// The database may go away at any time: one journal line when it does, one
// when it is back; meanwhile received messages stay on the phone, nothing is
// claimed, and outcomes not yet written are kept to be written then.
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Context.h"
#include "Sending.h"
#include "Spool.h"

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

  // Rows one turn sends at most in fast mode (one otherwise).
  static constexpr int kBatchLimit = 20;
  // The status row is written at most this often.
  static constexpr std::chrono::seconds kStatusEvery{10};
  // A database that went away is tried again at most this often.
  static constexpr std::chrono::seconds kRetryEvery{5};

  // Connects at start; rows left "sending" by an earlier run become
  // "unknown". A failure is journaled and tried again later.
  void Start();
  // One send turn: outcomes still owed are written, then rows are claimed
  // and sent. A turn inside a running turn does nothing.
  void Run();
  // Every tick: the status row when it is due.
  void Tick();
  // A row was queued for this gateway since the last call (PostgreSQL).
  bool Woken();

  // Receiving's hooks: whether a listing may run (the database is there),
  // and the inbox row of a kept message, committed before it is deleted.
  bool MayList();
  bool Kept(const std::string& pduHex, const std::string& stem, const std::string& digest);
  bool JoinedKept(const pdulink::JoinedMessage& m, const std::string& txtPath);

  // A delivery report for a message this gateway sent (see
  // spool::Spool::RecordReport); false when it matched no row or could not
  // be written.
  bool RecordReport(const std::string& recipient, int reference, const QDateTime& discharge, int status);

  const QString& Gateway() const { return gateway_; }
  // Whether the database is there now (without trying to reach it).
  bool Reachable() const { return spool_ && spool_->IsOpen(); }

 private:
  struct Outcome {
    qint64 id = 0;
    enum Kind { Sent, Failed, Unknown, Requeue } kind = Sent;
    QString refs;
    QString error;
  };

  // Open (trying again when it went away and the retry time has come).
  bool Available();
  void Down(const QString& why);
  void Up();
  bool TakeName();
  bool Write(const Outcome& o);
  bool FlushOwed();
  // One claimed row sent; false when the turn should end.
  bool SendOne(const spool::Claimed& row);
  bool MayContinue() const;

  Context& ctx_;
  Transaction& dialogue_;
  SendFunction send_;
  QString gateway_;
  std::unique_ptr<spool::Spool> spool_;
  QString badKey_;           // why the Spool= value is unusable
  bool down_ = false;        // the unreachable line was written, no work done since
  bool everOpen_ = false;    // opened once (a SQLite file is created only then)
  bool owner_ = false;       // this instance holds the gateway's name
  bool refused_ = false;     // the name-in-use line was written
  bool running_ = false;
  std::optional<std::chrono::steady_clock::time_point> lastTry_, lastStatus_;
  std::vector<Outcome> owed_;           // outcomes not yet written
  std::optional<qint64> inFlight_;      // the row being sent
};
