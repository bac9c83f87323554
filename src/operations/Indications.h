#pragma once
// New-message indications (Indications=1): every "+CMTI: <mem>,<index>" and
// "+CDSI: <mem>,<index>" line the phone sends is noted, wherever it comes
// (alone, while a command waits, inside another command's reply), and the
// next duty pass reads each noted message with AT+CMGR, archives it as a
// listed one and deletes it. The listing at the polling interval stays; a
// message it lists is no longer read by its note, so none is archived twice.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Context.h"
#include "Replies.h"

class Transaction;
class Receiving;

class Indications {
 public:
  Indications(Context& ctx, Transaction& dialogue, Receiving& receiving);

  // The received text, cluster by cluster, in order: each complete
  // indication line is noted (a line split over clusters too). Safe to call
  // from any thread.
  void Seen(std::string_view text);
  // Whether a note waits. Safe to call from any thread.
  bool Pending() const { return pending_.load() > 0; }

  // Reads, archives and deletes every noted message. Those of memory (the
  // memory the gateway reads; empty: any) at once; those of another memory
  // (a phone that keeps new messages elsewhere) with that memory selected
  // for the reading and memory selected again after it. A message already
  // gone is left to the listing with one journal line.
  void ReadNoted(const std::string& memory);
  // Automatic reading is off: the notes are dropped (a listing finds them).
  void Forget();
  // What a listing listed is archived by it: its notes go.
  void Listed(const std::vector<ListedMessage>& listed);

 private:
  std::vector<Indication> TakeNotes();
  // AT+CMGR for each index of the memory selected; archived and deleted.
  void ReadIndexes(const std::vector<int>& indexes);

  Context& ctx_;
  Transaction& dialogue_;
  Receiving& receiving_;

  mutable std::mutex mutex_;
  std::string partial_;             // the start of a line not ended yet
  std::vector<Indication> notes_;   // in arrival order, no index twice
  std::atomic<std::size_t> pending_{0};
};
