#pragma once
// One turn of watched-directory sending: the first file that matches the
// template of Ed_watchDir is read, its first line sent as number and body,
// and the file renamed "SMS<time stamp>.snd" (sent) or ".err" (failed) so
// that it is not sent again. A record in the working directory keeps what is
// in flight, so that a message is never sent twice, not even across a crash.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Context.h"
#include "Sending.h"
#include "WatchFiles.h"

class Transaction;

class WatchTurn {
 public:
  using SendFunction = std::function<int(const std::string& number, const std::string& body, const SendHooks& hooks)>;

  WatchTurn(Context& ctx, Transaction& dialogue, SendFunction send);

  // Files one turn sends at most in fast mode, so that Exit and the other
  // duties of the pass wait no longer than this.
  static constexpr int kBatchLimit = 20;

  // One turn: at the first turn, settles the files that an earlier run left
  // in flight; retries the renames that failed before; then handles the
  // first waiting file. In fast mode it goes on with the following files
  // (up to kBatchLimit) until a file stays for a later turn or the operator
  // asks to stop (Disconnect, Exit, Abort, Stop) or the port is lost.
  // A turn started inside a running turn does nothing.
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
  // later turn (unreadable, being written, nothing to send, off-line
  // failure, stopped before its message went out).
  bool SendOne(const Entry& entry);

  // Files whose message was dealt with but whose rename failed.
  size_t PendingRenames() const { return pending_.size(); }

  // A file renamed ".snd" or ".err" once its message was dealt with: its
  // new path, the suffix, and, when this turn sent it, the number and body
  // read from it (cp1251, or UTF-8 with Utf8Files) and the references the
  // phone gave ("+CMGS: <mr>", blank-separated for parts or copies); empty
  // for a file an earlier turn or run dealt with.
  struct Settled {
    std::string fsPath, suffix, number, body, references;
  };
  std::function<void(const Settled&)> OnRenamed;

  // Read leases are asked for (a file some program holds open for writing
  // waits); false judges every file by its size and time stamp alone, as
  // for files of another owner.
  bool UseLeases = true;

  // A part of a file's message went out, confirmed with this "+CMGS:"
  // reference: the file's path (fsPath), the number, the part and parts.
  std::function<void(const std::string& fsPath, const std::string& number, int seq, int total, int reference)> OnSent;
  // A file's message is settled: the file renamed to name (in the base
  // directory), or, with an empty name, a file that will not be renamed
  // (changed or taken away meanwhile).
  std::function<void(const std::string& fsPath, const std::string& name)> OnSettled;

 private:
  struct Pending {
    std::string path;
    watch::FileId id;
    std::string suffix;  // ".snd", ".err" or ".unknown"
  };

  // SendOne's steps. The file's message: read, or the file stays for a
  // later turn, or it can never be sent (failed).
  enum class FileRead { Message, Stays, Failed };
  FileRead ReadMessage(const Entry& entry, watch::Look& look, std::string& number, std::string& body);
  // What the hooks of a send learnt of its PDUs.
  struct Progress {
    bool pduWritten = false;  // a PDU went to the phone
    bool keptBack = false;    // its record entry could not be written
    int seq = 1, total = 1;   // the part in hand
  };
  // The hooks that keep the record of what is in flight (they refer to
  // their arguments, which must outlive the send).
  SendHooks RecordingHooks(const Entry& entry, const watch::Look& look, const std::string& number,
                           Progress& progress);
  // After the send: the journal lines and the rename its result calls for;
  // SendOne's result.
  bool Conclude(const Entry& entry, const watch::Look& look, int rc, const Progress& progress, uint32_t disconnects);

  // Settles the files of the record that an earlier run left: renamed as
  // the recorded answer says, or to the unknown-outcome name.
  void Recover();
  void RetryRenames();
  // Renames to "SMS" + stamp + suffix in the base directory and writes the
  // journal line; on failure the file is remembered so that it is never sent
  // again; on success its entry leaves the record. True when the file moved.
  bool Rename(const Entry& entry, const watch::FileId& id, const std::string& suffix);
  // After the send: renames the file unless it changed meanwhile.
  void Settle(const Entry& entry, const watch::FileId& readId, const std::string& suffix);
  // Writes the record of what is in flight (or removes it when nothing is);
  // a failure is journaled.
  bool SaveRecord();
  void Forget(const std::string& fsPath);
  std::string RecordPath() const;
  std::string FsDirectory(const std::string& dir) const;
  // Whether the batch of a fast turn may take the next file.
  bool MayContinue() const;

  // File names are UTF-8 on the file system and cp1251 inside the program.
  static std::string NameToAnsi(const std::string& fsName);
  static std::string AnsiToFs(const std::string& cp1251);

  Context& ctx_;
  Transaction& dialogue_;
  SendFunction send_;
  std::map<std::string, Pending> pending_;           // by fsPath
  std::map<std::string, watch::InFlight> records_;   // by fsPath, as on disk
  std::map<std::string, watch::FileId> looks_;       // the last look at each waiting file
  std::set<std::string> futureSaid_;                 // files whose future stamp was journaled
  std::string lastDirError_;
  Settled sending_;  // the message of the file being sent, for OnRenamed
  bool running_ = false;
  bool recovered_ = false;
};
