#pragma once
// One turn of watched-directory sending: the first file that matches the
// template of Ed_watchDir is read, its first line sent as number and body,
// and the file renamed "SMS<time stamp>.snd" (sent) or ".err" (failed) so
// that it is not sent again.
#include <QObject>
#include <map>
#include <string>
#include <vector>

#include "Context.h"
#include "PollingCycle.h"
#include "WatchFiles.h"

class Transaction;

class WatchTurn {
 public:
  using SendFunction = decltype(PollingCycle::Duties::SendSMS);

  WatchTurn(Context& ctx, Transaction& dialogue, SendFunction send);

  // Files one turn sends at most in fast mode, so that Exit and the other
  // duties of the pass wait no longer than this.
  static constexpr int kBatchLimit = 20;

  // One turn: retries the renames that failed before, then handles the
  // first waiting file. In fast mode it goes on with the following files
  // (up to kBatchLimit) until a file stays for a later turn or the operator
  // asks to stop (Disconnect, Exit, Abort, Stop) or the port is lost.
  void Run();

  // A file that matches the template.
  struct Entry {
    std::string path;    // as the journal shows it (cp1251)
    std::string fsPath;  // as the file system opens it
  };
  // The waiting files in name order (those whose rename is pending are left
  // out); empty when the directory cannot be read.
  std::vector<Entry> FindFiles();
  // Reads, sends and renames one file. False when the file stays for a
  // later turn (unreadable, nothing to send, off-line failure).
  bool SendOne(const Entry& entry);

  // Files whose message was dealt with but whose rename failed.
  size_t PendingRenames() const { return pending_.size(); }

 private:
  struct Pending {
    std::string path;
    watch::FileId id;
    std::string suffix;  // ".snd" or ".err"
  };

  void RetryRenames();
  // Renames to "SMS" + stamp + suffix in the base directory and writes the
  // journal line; true when the file moved.
  bool Rename(const Entry& entry, const std::string& suffix);
  std::string FsDirectory(const std::string& dir) const;
  // Whether the batch of a fast turn may take the next file.
  bool MayContinue() const;

  Context& ctx_;
  Transaction& dialogue_;
  SendFunction send_;
  std::map<std::string, Pending> pending_;  // by fsPath
  std::string lastDirError_;
  int stops_ = 0;  // clicks of Abort and Stop seen, to end a batch between files
  QObject listener_;  // context of the button connections
};
