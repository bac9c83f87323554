#pragma once
// Reading the phone's messages: the listing (AT+CMGL) with the archive of
// every listed message and the delete of those that are safely kept, the
// delete of the numbers typed into ed_nums, the archive of one PDU, and the
// Test page's Parse.
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Context.h"
#include "ReceivedRecord.h"
#include "Replies.h"

class Transaction;
namespace pdulink {
struct ArchiveReport;
class PartJoiner;
struct JoinedMessage;
class tSMSDecode;
}

// A received message whose .txt and .xml files are on disk.
struct ArchivedMessage {
  std::string number;  // the sender (recipient of a report), "+" for international, UTF-8
  std::string text;    // UTF-8
  std::string txtPath, xmlPath;
};

class Receiving {
 public:
  Receiving(Context& ctx, Transaction& dialogue);
  ~Receiving();

  // Lists the type chosen in cb_smstype, archives every listed message and,
  // with cb_deletesms checked, deletes each one that was kept. With saving
  // and deleting both on, the receiving record covers the listing; when an
  // earlier one left messages owed, the received read messages are listed
  // too and what is not archived yet is archived and deleted.
  void listSMS();
  // Deletes the storage numbers typed into ed_nums; releases sb_delete.
  void DeleteByNumbers();
  // Decodes one PDU, reports it in the journal and the message view and,
  // when save is true or cb_autoread is checked, writes its .txt and .xml
  // files and (with cb_appendfile) its collective line. True when the
  // message is safely kept: every file that was due written and on disk (a
  // PDU that cannot be decoded is kept as a .pdu file of its raw text when
  // saving is due). Otherwise LastFailure says why.
  bool ArchiveMessage(const std::string& pduHex, bool save);
  // The log directory as the file system names it.
  std::string LogDirPath() const;
  // The Test page's Parse button: decodes the text of Memo1.
  void b_parseClick();

  // Reads messages by index once the receiving record covers them (read
  // says whether every reply came whole), then archives and deletes them as
  // a listing does; what it cannot settle is left owed to the next listing
  // (ReadByIndex.cpp).
  void ArchiveRead(const std::function<std::vector<ListedMessage>(bool& complete)>& read);
  // Told what every listing listed, before anything is archived.
  std::function<void(const std::vector<ListedMessage>&)> OnListed;

  // Storage indexes of the last listing, in listed order (no limit).
  std::vector<int> ListedIndexes;
  // Why the last ArchiveMessage did not keep its message; empty after one
  // that did.
  std::string LastFailure;
  // False after a PDU that could not be decoded (kept, if at all, as its raw
  // hexadecimal in a .pdu file).
  bool LastDecoded = true;
  // A listed message whose files (or, undecodable, its .pdu file) are
  // written, now or by an earlier run that ended before deleting it, as its
  // PDU; told before the listing deletes it.
  std::function<void(const std::string& pduHex)> OnKeptPdu;
  // The files of the last message ArchiveMessage kept; empty paths when it
  // wrote none.
  ArchivedMessage LastArchived;
  // Told of each message read from the phone and archived, once its files
  // and their directory are on disk (in a listing: after its messages,
  // before its deletes). Not for ArchiveMessage (a call, the Test page).
  std::function<void(const ArchivedMessage&)> OnArchived;

  // A store that keeps every message besides the archive (unset: none).
  // Asked before a listing with automatic reading: false leaves every
  // message on the phone untouched for a later turn.
  std::function<bool()> MayList;
  // Told of each message of a recorded listing once its files are kept and
  // before it is deleted (also of one archived by an earlier run): its PDU,
  // its archive stem as a path, its digest. False keeps it on the phone.
  std::function<bool(const std::string& pduHex, const std::string& stem, const std::string& digest)> Kept;
  // Told of a joined message once its files are written, before the join
  // state lets it go; false writes it again at a later turn.
  std::function<bool(const pdulink::JoinedMessage& m, const std::string& txtPath)> JoinedKept;

 private:
  // One AT+CMGL run: whether its whole reply came and every listed message
  // was kept and, where due, deleted with the phone's OK.
  bool RunListing(const std::string& digit, bool echoOff, ReceivedRecord* record, bool pickUp);
  // The listed messages archived and, where due, deleted; with countLine the
  // journal's TotalReaded line (Listing.cpp).
  bool Settle(const std::vector<ListedMessage>& listed, bool complete, ReceivedRecord* record, bool pickUp,
              bool countLine);
  // What one Settle works through, step by step (Listing.h).
  struct Settling;
  // One listed message: archived (or what an earlier pass left owed done),
  // or left on the phone; its outcome noted in s.
  void SettleListed(Settling& s, size_t i);
  // Its steps: a message whose files an earlier pass wrote; one that reads
  // differently twice; one archived now. Each returns why the message is
  // not safely kept (empty when it is).
  std::string ResumeListed(Settling& s, size_t i, std::string& stem);
  void LeaveGarbled(Settling& s, size_t i);
  std::string ArchiveListed(Settling& s, size_t i, const std::string& pdu, std::string& stem);
  // Once every message is archived: the directory synced, the record, the
  // join state and the store's rows written; what is not yet safe is kept
  // on the phone.
  void ConfirmKept(Settling& s);
  void WithholdArchived(Settling& s, const std::string& why);
  void CommitToStore(Settling& s);
  // Deletes every listed message that is safely kept; false when a delete
  // the record needs did not get the phone's OK.
  bool DeleteKept(Settling& s);
  // With a record (PickUp.cpp): the entries of earlier passes matched to
  // the listed messages, then a name reserved for every other one; false
  // when the record could not learn them.
  bool ReserveNames(Settling& s);
  bool MatchRecorded(Settling& s);
  // A whole listing of the read messages: entries of messages no longer on
  // the phone go.
  void ForgetVanished(Settling& s);

  // With steps (a listing's record): what is done already is skipped, and
  // steps tells what is done now.
  bool Archive(const std::string& pduHex, bool save, std::string* presetName, ArchiveSteps* steps = nullptr);
  // Archive's steps: an undecodable PDU kept as its .pdu file; the .txt and
  // .xml pair written under name (a fresh one when it is taken); the
  // collective line; the message announced once its files are kept. kept
  // turns false at the first failure, which LastFailure then names.
  bool KeepRawPdu(const std::string& pduHex, const pdulink::tSMSDecode& sms, bool save, std::string& name,
                  std::string* presetName, ArchiveSteps* steps);
  void WritePair(const std::string& txt, const std::string& xml, std::string& name, std::string* presetName,
                 bool& kept);
  void AppendStep(const std::vector<std::string>& view, ArchiveSteps* steps, bool& kept);
  void Announce(const pdulink::tSMSDecode& sms, const std::string& name, ArchiveSteps* steps);
  // A failure of the message being archived: said, and the first one kept
  // in LastFailure.
  void Fail(bool& kept, const std::string& line, const std::string& why);
  // A PDU as the journal shows it on a line of its own: line ends dropped.
  static std::string RawPdu(const std::string& pduHex);
  // A name found taken when its file is written: a fresh stamp, which a
  // listing's record learns before anything is written under it.
  bool TakeFreshName(std::string& name, std::string* presetName);
  // The steps an earlier pass left owed for a message whose files are
  // written (the collective line, the hook); why tells what failed.
  bool Resume(const std::string& pduHex, ArchiveSteps& steps, const std::string& stemPath, std::string& why);
  // With the DOS option, the view's message line in cp866; true when changed.
  bool DosView(pdulink::ArchiveReport& report, const pdulink::tSMSDecode& sms) const;
  // Appends the view's line to the collective file, with the journal's OK
  // line; otherwise failLine and why tell what failed.
  bool AppendCollective(const std::vector<std::string>& view, std::string& failLine, std::string& why);
  ArchivedMessage ArchivedOf(const pdulink::tSMSDecode& sms, const std::string& stemPath) const;
  // A failure's journal line, said once per message of a listing's record
  // (sayKey_, its digest) and every time otherwise.
  void SayFailure(const std::string& line);
  bool SaveRecord(const ReceivedRecord& record);
  // For a listed message whose PDU does not decode while reading
  // automatically: reads it again with AT+CMGR. True to archive pdu (the
  // same PDU read twice, kept raw, or the one read again, which decodes);
  // false, with why, to keep it on the phone for the next listing.
  bool ReadAgainIfGarbled(const ListedMessage& m, std::string& pdu, std::string& why);
  // "SMS" + a time stamp that differs from the previous message's.
  std::string NextFileName();
  // NextFileName, skipping a name whose archive files exist already.
  std::string NextFreeName();
  // The log directory as the journal shows it, and a file in it as a path.
  std::string LogDirShown() const;
  std::string OnDisk(const std::string& fileName) const;
  void ShowView(const std::vector<std::string>& view);

  // Joining the parts of long messages (JoinParts): the joiner of the log
  // directory, its state read at first use (null: joining is off or its
  // state unreadable); a part whose files are kept is taken in; the state
  // is written before a listing deletes anything; every message ready (all
  // parts in, or waited JoinTimeout) gets its joined .txt/.xml pair.
  pdulink::PartJoiner* Joiner();
  void TakePart(const pdulink::tSMSDecode& sms, const std::string& name);
  void TakePart(const std::string& pduHex, const std::string& stemPath);
  // Decodes a received PDU as every path here does (UTF-8 with Utf8Files).
  void Decode(const std::string& pduHex, pdulink::tSMSDecode& sms) const;
  // False when the state could not be written, or a part could not be taken in.
  bool SaveJoiner();
  void WriteJoined();

  Context& ctx_;
  Transaction& dialogue_;
  std::string lastName_;
  // While a listing runs, the log directory is synced once after all its
  // messages instead of after each one.
  bool deferDirectorySync_ = false;
  std::string pendingDirectorySync_;
  // Told the fresh name when a reserved name turns out to be taken; false
  // when the record could not learn it (the message is then not archived).
  std::function<bool(const std::string&)> nameTaken_;
  std::unique_ptr<pdulink::PartJoiner> joiner_;
  bool partNotTaken_ = false;  // a part met an unreadable join state
  // Messages of the running listing kept but not yet synced; for OnArchived.
  std::vector<ArchivedMessage> archivedPending_;
  bool reportArchived_ = true;  // false inside ArchiveMessage
  bool readByIndex_ = false;    // true while ArchiveRead settles what it read
  // Removes the temporary files a killed run left in the log directory and
  // beside the record, once per directory.
  void SweepTemporaries();
  std::string sweptLogDir_, sweptBaseDir_;
  std::string sayKey_;
  std::set<std::string> said_;
  void ReportArchived();
};
