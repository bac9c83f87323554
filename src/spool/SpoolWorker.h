#pragma once
// The spool's database work on a thread of its own, with a connection of its
// own, so that a slow, locked or stopped database never holds the gateway's
// tick: the tick hands over outcomes, inbox rows, reports and its status and
// asks for rows to send; it waits for an answer a moment at most and
// otherwise goes on with its other duties.
//
// The worker connects (and reconnects every kRetryEvery after a failure),
// takes the gateway's name for this instance, writes what it was given in
// order (outcomes are kept until written), claims one row when asked, writes
// the status row every kStatusEvery (the instance's heartbeat), and looks
// for queued rows: PostgreSQL's notification, and a short poll. Statements
// wait a short time for a lock (PostgreSQL lock_timeout and
// statement_timeout, SQLite's busy timeout); one that gave up is tried
// again a little later, and meanwhile the database counts as slow.
//
// Journal lines it has to say are collected and written by the tick
// (TakeJournal).
#include <QString>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Spool.h"

namespace spool {

class SpoolWorker final : public QThread {
 public:
  static constexpr std::chrono::seconds kStatusEvery{10};
  static constexpr std::chrono::seconds kRetryEvery{5};
  // A statement that waited this long makes the database count as slow.
  static constexpr std::chrono::milliseconds kSlowAfter{1000};

  SpoolWorker(const Target& target, const QString& gateway, const QString& connectionName);
  ~SpoolWorker() override;

  // Ends the thread: a row claimed but never handed out goes back to
  // "queued", outcomes still owed are tried once more. True when it ended
  // within the time; otherwise it is still stuck in a statement and must be
  // left to itself (released, never deleted).
  bool Finish(std::chrono::milliseconds within);

  const Target& target() const { return target_; }

  // Whether work may be handed over now: connected, the name held, and the
  // database not slow.
  bool Usable() const;
  // Whether the database is slow now, and why (for the journal).
  bool Slow(QString* why) const;

  // A row to send: the one already claimed, or one asked for and waited
  // for up to `wait`. nullopt when none is queued or the answer has not
  // come yet (it is kept for the next call).
  std::optional<Claimed> Claim(std::chrono::milliseconds wait);
  // Rows may be waiting (a notification, a poll, or a claim that found
  // one); false once a claim found none.
  bool WorkWaiting() const { return workWaiting_.load(); }

  struct Outcome {
    qint64 id = 0;
    enum Kind { Sent, Failed, Unknown, Requeue } kind = Sent;
    QString refs;
    QString error;
  };
  // The outcome of a row Claim handed out; written in order, kept until
  // written.
  void Record(const Outcome& outcome);

  // The inbox row is committed: true when it is, waiting up to `wait` for
  // it (handed over once; asked again with the same key, the answer of that
  // one).
  bool Insert(const InboxRow& row, std::chrono::milliseconds wait);
  // A delivery report for a row this gateway sent (written in the order
  // given, dropped when the database is gone).
  void Report(const QString& number, int reference, const QDateTime& discharge, int status);
  // The status to write with the next heartbeat.
  void SetStatus(const GatewayStatus& status);

  // Journal lines the worker has to say, oldest first (UTF-8).
  std::vector<std::string> TakeJournal();

 protected:
  void run() override;

 private:
  struct InsertJob {
    InboxRow row;
  };
  struct ReportJob {
    QString number;
    int reference = 0;
    QDateTime discharge;
    int status = 0;
  };
  using Clock = std::chrono::steady_clock;

  // One pass over the work handed over; runs on the worker thread.
  void Pump();
  bool Connect();
  void Down(const QString& why);
  void Up();
  bool TakeName();
  // The call's failure: a lock or time-out (tried again soon, the database
  // slow), or anything else (the connection closed and opened again later).
  void Failed(const QString& why);
  bool WriteOutcomes();
  bool WriteInserts();
  bool WriteReports();
  bool ClaimIfAsked();
  bool HeartbeatIfDue();
  void PollIfDue();
  void Say(const std::string& line);
  // Marks a statement running (for Slow) for the life of the guard.
  class Busy;

  const Target target_;
  const QString gateway_;
  const QString connectionName_;
  std::unique_ptr<Spool> spool_;  // the worker thread's only

  // Worker thread only.
  bool everOpen_ = false;
  bool owner_ = false;
  bool refused_ = false;
  bool down_ = false;
  std::optional<Clock::time_point> lastTry_, lastStatus_, lastPoll_;

  // Shared with the tick, under mutex_.
  mutable std::mutex mutex_;
  std::condition_variable kick_;      // work for the worker
  std::condition_variable answered_;  // an answer for the tick
  std::deque<Outcome> outcomes_;
  std::deque<InsertJob> inserts_;
  std::set<QString> committed_;  // inbox keys committed, not yet asked about
  std::deque<ReportJob> reports_;
  bool claimWanted_ = false;
  std::optional<Claimed> ready_;        // claimed, not yet handed out
  std::optional<qint64> handedOut_;     // handed out, its outcome not yet given
  GatewayStatus status_;
  std::vector<std::string> journal_;
  QString slowWhy_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> usable_{false};
  std::atomic<bool> stalled_{false};        // a statement gave up on a lock or time-out
  std::atomic<qint64> busySinceMs_{0};      // a statement running since (steady ms), 0: none
  std::atomic<bool> workWaiting_{true};
  std::atomic<Clock::rep> retryAtTicks_{0};  // when a stalled call is tried again
};

}  // namespace spool
