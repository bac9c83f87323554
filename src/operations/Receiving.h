#pragma once
// Reading the phone's messages: the listing (AT+CMGL) with the archive of
// every listed message and the delete of those that are safely kept, the
// delete of the numbers typed into ed_nums, the archive of one PDU, and the
// Test page's Parse.
#include <string>
#include <vector>

#include "Context.h"

class Transaction;

class Receiving {
 public:
  Receiving(Context& ctx, Transaction& dialogue);

  // Lists the type chosen in cb_smstype, archives every listed message and,
  // with cb_deletesms checked, deletes each one that was kept.
  void listSMS();
  // Deletes the storage numbers typed into ed_nums; releases sb_delete.
  void DeleteByNumbers();
  // Decodes one PDU, reports it in the journal and the message view and,
  // when save is true or cb_autoread is checked, writes its .txt and .xml
  // files and (with cb_appendfile) its collective line. True when the
  // message is safely kept: decoded, and every file that was due written
  // and on disk. Otherwise LastFailure says why.
  bool ArchiveMessage(const std::string& pduHex, bool save);
  // The Test page's Parse button: decodes the text of Memo1.
  void b_parseClick();

  // Storage indexes of the last listing, in listed order (no limit).
  std::vector<int> ListedIndexes;
  // Why the last ArchiveMessage did not keep its message; empty after one
  // that did.
  std::string LastFailure;

 private:
  // "SMS" + a time stamp that differs from the previous message's.
  std::string NextFileName();
  void ShowView(const std::vector<std::string>& view);

  Context& ctx_;
  Transaction& dialogue_;
  std::string lastName_;
  // While a listing runs, the log directory is synced once after all its
  // messages instead of after each one.
  bool deferDirectorySync_ = false;
  std::string pendingDirectorySync_;
};
