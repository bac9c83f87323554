// The listing (AT+CMGL): every listed message archived, or what an earlier
// pass left owed done, then the directory, the record, the join state and
// the store's rows made safe, and only then the kept messages deleted.
#include <QCheckBox>
#include <QComboBox>

#include <optional>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "MessageBox.h"
#include "ReceivedRecord.h"
#include "Receiving.h"
#include "Replies.h"
#include "Settling.h"
#include "Transaction.h"
#include "archive_files.h"
#include "sms_decode.h"

namespace {

constexpr const char* kAsterisks = "**********************************";

}  // namespace

void Receiving::listSMS() {
  Controls& ui = ctx_.ui;
  if (MayList && ui.cb_autoread->isChecked() && !MayList()) return;
  dialogue_.ReplyCapture("start");
  dialogue_.OkFlag = false;

  int type = ui.cb_smstype->currentIndex();
  if (type < 0 || type > 4) type = 0;
  ui.cb_smstype->setCurrentIndex(type);
  const std::string digit = std::to_string(type);
  if (digit[0] < '0' || digit[0] > '4') {
    ShowMessage("List type:0..4");
    return;
  }

  // Archiving and deleting: the record covers the time in which listed
  // messages are marked read on the phone but not yet archived and deleted.
  if (!ui.cb_autoread->isChecked() || !ui.cb_deletesms->isChecked()) {
    RunListing(digit, true, nullptr, false);
    WriteJoined();
    return;
  }
  ReceivedRecord record;
  if (!LoadReceivedRecord(InBaseDir(ctx_.state, kReceivedRecordFile), record)) record.listing = true;
  const bool owedBefore = record.listing;
  if (!owedBefore) {
    record.listing = true;
    if (!SaveRecord(record)) {
      // Without the record a listing could strand what it marks read: the
      // messages stay unread on the phone for a later turn.
      dialogue_.ReplyCapture("stop");
      WriteJoined();
      return;
    }
  }
  bool settled = RunListing(digit, true, &record, false);
  bool owed = owedBefore;
  if (owedBefore && settled) {
    // What an earlier listing left on the phone, now that this one went
    // through: the received read messages, each archived unless it was.
    const std::vector<int> listed = ListedIndexes;
    ctx_.journal.WriteLog("Reading again messages left on the phone: AT+CMGL=1");
    owed = !RunListing("1", false, &record, true);
    ListedIndexes = listed;
  }
  record.listing = owed || !settled;
  SaveRecord(record);
  // Every automatic turn, so that a message waiting too long is joined
  // without a new part.
  WriteJoined();
}

bool Receiving::RunListing(const std::string& digit, bool echoOff, ReceivedRecord* record, bool pickUp) {
  Journal& journal = ctx_.journal;
  // The listing's capture holds only its own reply: ATE0 is answered in
  // full first, so that its OK (behind an unsolicited line, say) cannot be
  // taken for the end of the listing.
  if (echoOff && dialogue_.SendCommand("ATE0\r")) WaitWhole(dialogue_);
  dialogue_.ReplyCapture("start");
  const bool answered = dialogue_.SendCommand("AT+CMGL=" + digit + "\r") && WaitWhole(dialogue_);
  dialogue_.ReplyCapture("stop");
  const bool complete = answered && ReplyHoldsOk(dialogue_.CaptureText);
  if (!complete) journal.WriteLog("Listing incomplete: the reply has no final OK");
  const std::vector<ListedMessage> listed = ParseCmglListing(dialogue_.CaptureText);
  if (OnListed) OnListed(listed);
  return Settle(listed, complete, record, pickUp, true);
}

bool Receiving::Settle(const std::vector<ListedMessage>& listed, bool complete, ReceivedRecord* record, bool pickUp,
                       bool countLine) {
  // With a record: a message whose files an earlier pass wrote (its steps
  // recorded, or, recorded without steps, its files there) is not archived
  // again, only what it still owes is done; every other one gets its name
  // reserved in the record before any file is written.
  Settling s(listed, record);
  if (record && !ReserveNames(s)) return false;

  ListedIndexes.clear();
  deferDirectorySync_ = true;
  pendingDirectorySync_.clear();
  for (size_t i = 0; i < listed.size(); ++i) SettleListed(s, i);
  deferDirectorySync_ = false;
  ConfirmKept(s);
  if (countLine) ctx_.journal.WriteLog("TotalReaded=" + std::to_string(ListedIndexes.size()));

  bool settled = complete && s.allKept;
  if (ctx_.ui.cb_deletesms->isChecked() && !DeleteKept(s)) settled = false;
  if (record && pickUp && complete) ForgetVanished(s);
  return settled;
}

void Receiving::SettleListed(Settling& s, size_t i) {
  const ListedMessage& m = s.listed[i];
  if (dialogue_.ProcessEvents) dialogue_.ProcessEvents();
  if (m.index >= 0) {
    ListedIndexes.push_back(m.index);
    ctx_.journal.WriteLog("N Msg = " + std::to_string(m.index));
  }
  std::string why = "empty PDU line";
  std::string stem;
  std::string pdu = m.pdu;
  sayKey_ = s.digests[i];
  if (!s.before[i].empty()) {
    why = ResumeListed(s, i, stem);
  } else if (!m.pdu.empty() && !ReadAgainIfGarbled(m, pdu, why)) {
    LeaveGarbled(s, i);
  } else if (!m.pdu.empty()) {
    why = ArchiveListed(s, i, pdu, stem);
  }
  sayKey_.clear();
  if (!why.empty()) s.allKept = false;
  if (m.index >= 0) {
    s.notKept.push_back(why);
    s.stems.push_back(stem);
    s.listedAt.push_back(i);
  }
}

std::string Receiving::ResumeListed(Settling& s, size_t i, std::string& stem) {
  const std::string& pdu = s.listed[i].pdu;
  ctx_.journal.WriteLog("Archived before: " + s.before[i]);
  stem = s.before[i];
  ArchivedEntry* e = s.EntryOf(stem);
  std::string why;
  if (e && !e->done.All()) {
    const ArchiveSteps was = e->done;
    Resume(pdu, e->done, stem, why);
    s.stepsDone = s.stepsDone || e->done.line != was.line || e->done.told != was.told;
  }
  TakePart(pdu, s.before[i]);
  if (why.empty() && OnKeptPdu) OnKeptPdu(pdu);
  ctx_.journal.WriteLog(kAsterisks);
  return why;
}

void Receiving::LeaveGarbled(Settling& s, size_t i) {
  // Read differently twice: the phone keeps it for the next listing.
  if (s.record)
    if (const ArchivedEntry* e = s.EntryOf(OnDisk(s.names[i])); e && !e->done.Any()) s.Forget(e->stem);
  ++ctx_.state.Counters.errors;
  ctx_.journal.WriteLog(kAsterisks);
}

std::string Receiving::ArchiveListed(Settling& s, size_t i, const std::string& pdu, std::string& stem) {
  ReceivedRecord* record = s.record;
  if (pdu != s.listed[i].pdu && record) {
    // The message as read again is the one archived and recorded.
    for (ArchivedEntry& e : record->archived)
      if (e.stem == OnDisk(s.names[i])) e.digest = PduDigest(pdu);
    s.digests[i] = PduDigest(pdu);
  }
  ArchiveSteps steps;
  if (record) {
    stem = OnDisk(s.names[i]);
    if (ArchivedEntry* e = s.EntryOf(stem)) steps = e->done;
    nameTaken_ = [&](const std::string& fresh) {
      for (ArchivedEntry& e : record->archived)
        if (e.stem == stem) e.stem = OnDisk(fresh);
      stem = OnDisk(fresh);
      s.touched.push_back(stem);
      return SaveRecord(*record);
    };
  }
  const bool kept = Archive(pdu, false, record ? &s.names[i] : nullptr, record ? &steps : nullptr);
  nameTaken_ = nullptr;
  const std::string why = kept ? "" : LastFailure;
  // Every report is matched, whatever the reading settings (one that does
  // not decode is saved only while reading automatically).
  if ((kept || !LastDecoded) && OnKeptPdu) OnKeptPdu(pdu);
  ctx_.journal.WriteLog(kAsterisks);
  // Counted for /status: a message read, or one that could not be kept or
  // decoded.
  if (kept && LastDecoded) ++ctx_.state.Counters.received;
  else ++ctx_.state.Counters.errors;
  if (record) {
    if (ArchivedEntry* e = s.EntryOf(stem)) {
      // What was done stays recorded; a message with nothing done is
      // archived again in full by a later listing.
      if (steps.Any()) e->done = steps;
      else s.Forget(stem);
      s.stepsDone = s.stepsDone || steps.Any();
    }
  }
  return why;
}

void Receiving::ConfirmKept(Settling& s) {
  if (!pendingDirectorySync_.empty() && !pdulink::SyncParentDirectory(pendingDirectorySync_)) {
    WithholdArchived(s, "log directory not synced to disk");
  } else if (s.record && s.stepsDone && !SaveRecord(*s.record)) {
    // The hooks wait until the record knows they ran.
    WithholdArchived(s, "receiving record not written");
  }
  ReportArchived();
  // The parts taken in reach the disk before their messages leave the phone.
  if (!SaveJoiner()) s.KeepAllOnPhone("join state not written");
  // The store's copy is committed before the phone lets the message go.
  if (s.record && Kept) CommitToStore(s);
}

void Receiving::WithholdArchived(Settling& s, const std::string& why) {
  // The files may not survive a crash yet, or their steps are not recorded:
  // none of them is deleted, and no hook is told yet.
  s.KeepAllOnPhone(why);
  if (s.record)
    for (const ArchivedMessage& a : archivedPending_)
      if (ArchivedEntry* e = s.EntryOf(a.txtPath.substr(0, a.txtPath.size() - 4))) e->done.told = false;
  archivedPending_.clear();
}

void Receiving::CommitToStore(Settling& s) {
  for (size_t k = 0; k < s.notKept.size(); ++k) {
    if (!s.notKept[k].empty() || s.stems[k].empty()) continue;
    const size_t i = s.listedAt[k];
    if (!Kept(s.listed[i].pdu, s.stems[k], s.digests[i])) {
      s.notKept[k] = "spool row not written";
      s.allKept = false;
    }
  }
}

bool Receiving::DeleteKept(Settling& s) {
  bool gone = true;
  for (size_t i = 0; i < ListedIndexes.size(); ++i) {
    const int n = ListedIndexes[i];
    if (!s.notKept[i].empty()) {
      // Not decoded or not on disk: the phone keeps it for another try.
      sayKey_ = s.digests[s.listedAt[i]];
      SayFailure("Kept on the phone N Msg = " + std::to_string(n) + ": " + s.notKept[i]);
      sayKey_.clear();
      continue;
    }
    ctx_.journal.WriteLog("Delete N Msg = " + std::to_string(n));
    if (n < 1 || n > 500) continue;
    const std::string command = "AT+CMGD=" + std::to_string(n) + "\r";
    if (!s.record) {
      dialogue_.SendCommand(command);
    } else if (CommandWithFinalReply(dialogue_, command)) {
      s.Forget(s.stems[i]);  // gone from the phone: nothing left to match
    } else {
      gone = false;  // a later listing finds it archived and deletes it
    }
  }
  return gone;
}

bool Receiving::ReadAgainIfGarbled(const ListedMessage& m, std::string& pdu, std::string& why) {
  // A PDU garbled once on the serial line is not given up as raw hex: it is
  // read once more by its index, and only one that reads the same way twice
  // is kept as a .pdu file (and deleted).
  // (A message just read by its index was read that way already.)
  if (m.index < 0 || readByIndex_ || !ctx_.ui.cb_autoread->isChecked()) return true;
  pdulink::tSMSDecode sms;
  Decode(m.pdu, sms);
  if (!sms.HasError) return true;
  ctx_.journal.WriteLog("Parse Error:" + sms.ErrorText + ", reading again: AT+CMGR=" + std::to_string(m.index));
  std::optional<std::string> again;
  if (AskWhole(dialogue_, "AT+CMGR=" + std::to_string(m.index) + "\r")) again = ParseCmgrPdu(dialogue_.CaptureText);
  if (again && PduDigest(*again) == PduDigest(m.pdu)) return true;
  if (again) {
    pdulink::tSMSDecode second;
    Decode(*again, second);
    if (!second.HasError) {
      pdu = *again;
      return true;
    }
  }
  // The first reading stays in the journal, as for any PDU that fails.
  ctx_.journal.WriteLog(RawPdu(m.pdu));
  why = again ? "not decoded, read differently again" : "not decoded, not read again";
  return false;
}

void Receiving::ReportArchived() {
  std::vector<ArchivedMessage> done;
  done.swap(archivedPending_);
  if (OnArchived)
    for (const ArchivedMessage& m : done) OnArchived(m);
}
