#include "Receiving.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "ReceivedRecord.h"
#include "MessageBox.h"
#include "Replies.h"
#include "Settings.h"
#include "Transaction.h"
#include "archive_files.h"
#include "codepage.h"
#include "sms_archive.h"
#include "sms_decode.h"
#include "sms_join.h"
#include "text_helpers.h"

namespace {

constexpr const char* kAsterisks = "**********************************";

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

Receiving::Receiving(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}
Receiving::~Receiving() = default;

pdulink::PartJoiner* Receiving::Joiner() {
  const LongMessageSettings& lm = ctx_.state.LongMessages;
  if (!lm.joinParts) return nullptr;
  const std::string path = OnDisk(std::string(pdulink::kJoinStateFileName));
  if (joiner_ && joiner_->Path() == path) return joiner_.get();
  auto joiner = std::make_unique<pdulink::PartJoiner>(path, lm.joinTimeoutHours);
  std::string why;
  if (!joiner->Load(&why)) {
    // Never replaced by an empty state, which would lose the parts it
    // holds: joining waits until it can be read (every part is archived).
    ctx_.journal.WriteLog("Join state unreadable: " + LogDirShown() + std::string(pdulink::kJoinStateFileName));
    joiner_.reset();
    return nullptr;
  }
  if (joiner->DroppedLines() > 0)
    ctx_.journal.WriteLog("Join state: " + std::to_string(joiner->DroppedLines()) + " unreadable lines dropped");
  joiner_ = std::move(joiner);
  return joiner_.get();
}

void Receiving::TakePart(const pdulink::tSMSDecode& sms, const std::string& name) {
  if (!ctx_.state.LongMessages.joinParts || !sms.IsConcatenated) return;
  pdulink::PartJoiner* joiner = Joiner();
  if (!joiner) {
    // Its state unreadable: the part stays on the phone until it is taken in.
    partNotTaken_ = true;
    return;
  }
  if (auto part = pdulink::PartFromDecode(sms, name, static_cast<std::int64_t>(std::time(nullptr))))
    joiner->Add(std::move(*part));
}

void Receiving::TakePart(const std::string& pduHex, const std::string& stemPath) {
  // A message archived by an earlier run that ended before the join state
  // was written: its part is taken in again (once, as a part never joins twice).
  if (!ctx_.state.LongMessages.joinParts) return;
  pdulink::tSMSDecode sms;
  Decode(pduHex, sms);
  if (sms.HasError) return;
  const size_t slash = stemPath.rfind('/');
  TakePart(sms, slash == std::string::npos ? stemPath : stemPath.substr(slash + 1));
}

void Receiving::Decode(const std::string& pduHex, pdulink::tSMSDecode& sms) const {
  // One decode for a message however it comes (listed, read by index,
  // picked up again): the same text, so the same part digest for the joiner.
  sms.Utf8 = ctx_.state.Utf8Files;  // the full text in UTF-8
  sms.Decode(pduHex);
}

bool Receiving::SaveJoiner() {
  if (partNotTaken_) {
    partNotTaken_ = false;
    return false;
  }
  if (!joiner_ || !joiner_->Dirty()) return true;
  std::string why;
  if (joiner_->Save(&why)) return true;
  ctx_.journal.WriteLog("Join state not written: " + LogDirShown() + std::string(pdulink::kJoinStateFileName) + " (" +
                        why + ")");
  return false;
}

void Receiving::WriteJoined() {
  pdulink::PartJoiner* joiner = Joiner();
  if (!joiner) return;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  bool joined = false;
  for (const pdulink::JoinedMessage& m : joiner->Ready(now)) {
    const pdulink::JoinedFiles f = pdulink::BuildJoinedFiles(m, ctx_.ui.cb_dos->isChecked(), ctx_.state.Utf8Files);
    // A name taken already: an earlier run wrote the pair and ended before
    // its state said so. It is not written twice.
    std::string why;
    bool taken = false;
    bool ok = pdulink::WriteFileDurably(OnDisk(f.txtName), f.txtBytes, &why, &taken) || taken;
    taken = false;
    ok = ok && (pdulink::WriteFileDurably(OnDisk(f.xmlName), f.xmlBytes, &why, &taken) || taken);
    if (ok && !pdulink::SyncParentDirectory(OnDisk(f.txtName))) {
      ok = false;
      why = "log directory not synced to disk";
    }
    if (!ok) {
      // Waits for the next turn.
      ctx_.journal.WriteLog("Save joined Error: " + LogDirShown() + f.txtName + " (" + why + ")");
      continue;
    }
    if (JoinedKept && !JoinedKept(m, OnDisk(f.txtName))) continue;
    ctx_.journal.WriteLog(f.journalLine);
    joiner->Joined(m, now);
    joined = true;
  }
  if (joined) SaveJoiner();
}

std::string Receiving::NextFileName() {
  // Names carry the millisecond; two messages archived within the same
  // millisecond would share one. Waiting for the clock to move on keeps
  // them apart without a fixed pause per message.
  std::string stamp = pdulink::TimeStampName();
  while (stamp == lastName_) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    stamp = pdulink::TimeStampName();
  }
  lastName_ = stamp;
  return "SMS" + stamp;
}

std::string Receiving::NextFreeName() {
  // A clock stepped back, or another gateway writing into the same
  // directory, may have used the stamp already.
  std::string name = NextFileName();
  for (int tries = 0; tries < 1000; ++tries) {
    const std::string stem = OnDisk(name);
    if (!FileExists(stem + ".txt") && !FileExists(stem + ".xml") && !FileExists(stem + ".pdu")) break;
    name = NextFileName();
  }
  return name;
}

std::string Receiving::LogDirShown() const {
  return pdulink::WithTrailingDelimiter(ToAnsi(ctx_.ui.ed_LogDir->text()));
}

std::string Receiving::OnDisk(const std::string& fileName) const {
  // Journal texts stay cp1251 and show the directory as typed; the file
  // system gets UTF-8 names, and a trailing "\" delimiter becomes "/".
  std::string fsDir = LogDirShown();
  if (!fsDir.empty() && fsDir.back() == '\\') fsDir.back() = '/';
  return InBaseDir(ctx_.state, pdulink::AnsiToUtf8(fsDir + fileName));
}

void Receiving::ShowView(const std::vector<std::string>& view) {
  QString text;
  for (size_t i = 0; i < view.size(); ++i) {
    if (i) text += QLatin1Char('\n');
    text += ctx_.state.Utf8Files ? QString::fromStdString(view[i]) : FromAnsi(view[i]);
  }
  ctx_.ui.smsfile->setPlainText(text);
}

bool Receiving::ArchiveMessage(const std::string& pduHex, bool save) {
  // A recorded call or the Test page's Parse: not a message read from the
  // phone, so not one for OnArchived.
  const bool report = std::exchange(reportArchived_, false);
  const bool kept = Archive(pduHex, save, nullptr);
  reportArchived_ = report;
  return kept;
}

bool Receiving::Archive(const std::string& pduHex, bool save, std::string* presetName, ArchiveSteps* steps) {
  Controls& ui = ctx_.ui;
  Journal& journal = ctx_.journal;
  LastFailure.clear();
  LastDecoded = true;
  LastArchived = {};
  ui.smsfile->clear();

  const std::string dir = LogDirShown();
  std::string name = presetName && !presetName->empty() ? *presetName : std::string();
  // A name found taken when its file is written: a fresh stamp, which a
  // listing's record learns before anything is written under it.
  auto takeFreshName = [&]() {
    name = NextFreeName();
    if (presetName) *presetName = name;
    return !nameTaken_ || nameTaken_(name);
  };

  pdulink::tSMSDecode sms;
  Decode(pduHex, sms);
  if (sms.HasError) {
    journal.WriteLog("Parse Error:" + sms.ErrorText);
    // The raw PDU on a line of its own, so the message survives in the
    // journal even if it is later removed from the phone by hand.
    std::string raw;
    raw.reserve(pduHex.size());
    for (char c : pduHex)
      if (c != '\r' && c != '\n') raw.push_back(c);
    journal.WriteLog(raw);
    LastDecoded = false;
    LastFailure = "Parse Error:" + sms.ErrorText;
    if (!save && !ui.cb_autoread->isChecked()) return false;
    // It will never decode: its raw PDU goes into a file of its own beside
    // the archive, so that the phone can let it go.
    if (name.empty()) name = NextFreeName();
    if (presetName) *presetName = name;
    std::string why;
    bool written = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
      journal.WriteLog("File:" + dir + name + ".pdu");
      bool taken = false;
      written = pdulink::WriteFileDurably(OnDisk(name + ".pdu"), raw + "\r\n", &why, &taken);
      if (written || !taken || !takeFreshName()) break;
    }
    if (written && !deferDirectorySync_ && !pdulink::SyncParentDirectory(OnDisk(name + ".pdu"))) {
      written = false;
      why = "log directory not synced to disk";
    }
    if (!written) {
      SayFailure("Save .pdu Error");
      LastFailure += ", Save .pdu Error (" + why + ")";
      return false;
    }
    if (deferDirectorySync_) pendingDirectorySync_ = OnDisk(name + ".pdu");
    if (steps) *steps = {true, true, true};  // no collective line and no hook for a raw PDU
    LastFailure.clear();
    return true;
  }

  pdulink::ArchiveReport report = pdulink::BuildArchiveReport(sms);
  for (const auto& line : report.journal) sms.Utf8 ? journal.WriteLogUtf8(line) : journal.WriteLog(line);
  ShowView(report.view);

  if (!save && !ui.cb_autoread->isChecked()) return true;

  const std::string xml = pdulink::ArchiveXmlBytes(report, sms.Utf8);
  if (DosView(report, sms)) ShowView(report.view);
  if (name.empty()) name = NextFreeName();
  if (presetName) *presetName = name;

  bool kept = true;
  auto fail = [&](const std::string& line, const std::string& why) {
    SayFailure(line);
    if (kept) LastFailure = line + (why.empty() ? "" : " (" + why + ")");
    kept = false;
  };

  const std::string txt = pdulink::ArchiveTxtBytes(report.view);
  std::string whyTxt, whyXml;
  bool txtOk = false, xmlOk = false;
  // Neither file ever replaces another: a name found taken is given up
  // (with the .txt already written under it) for a fresh stamp.
  for (int attempt = 0;; ++attempt) {
    journal.WriteLog("File:" + dir + name + "(.txt .xml)");
    const bool mayRename = attempt < 10;
    bool taken = false;
    txtOk = pdulink::WriteFileDurably(OnDisk(name + ".txt"), txt, &whyTxt, &taken);
    if (!txtOk && taken && mayRename && takeFreshName()) continue;
    xmlOk = pdulink::WriteFileDurably(OnDisk(name + ".xml"), xml, &whyXml, &taken);
    if (!xmlOk && taken) {
      if (txtOk) ::unlink(OnDisk(name + ".txt").c_str());
      txtOk = false;
      whyTxt = whyXml;
      if (mayRename && takeFreshName()) continue;
    }
    break;
  }
  // One file of the pair (a full disk, say) is no archive: it goes, and the
  // next attempt writes both under the same name.
  if (txtOk && !xmlOk) ::unlink(OnDisk(name + ".txt").c_str());
  if (xmlOk && !txtOk) ::unlink(OnDisk(name + ".xml").c_str());
  if (!txtOk) fail("Save .txt Error", whyTxt);
  if (!xmlOk) fail("Save .xml Error", whyXml);
  // The renames above reach the disk with their directory; a listing syncs
  // the directory once, before its deletes, instead of after every message.
  if (kept) {
    const std::string txtPath = OnDisk(name + ".txt");
    if (deferDirectorySync_) {
      pendingDirectorySync_ = txtPath;
    } else if (!pdulink::SyncParentDirectory(txtPath)) {
      fail("Log directory not synced to disk: " + dir, "");
    }
  }
  if (steps) steps->files = kept;

  if (ui.cb_appendfile->isChecked() && !(steps && steps->line)) {
    std::string line, why;
    if (!AppendCollective(report.view, line, why)) fail(line, why);
    else if (steps) steps->line = true;
  } else if (steps) {
    steps->line = true;
  }
  if (kept) {
    LastArchived = ArchivedOf(sms, OnDisk(name));
    if (OnArchived && reportArchived_ && !(steps && steps->told)) {
      if (deferDirectorySync_) archivedPending_.push_back(LastArchived);
      else OnArchived(LastArchived);  // its directory is synced already
    }
    if (steps) steps->told = true;
    TakePart(sms, name);
    // A listing writes the join state once, before its deletes.
    if (!deferDirectorySync_ && SaveJoiner()) WriteJoined();
  }
  return kept;
}

bool Receiving::DosView(pdulink::ArchiveReport& report, const pdulink::tSMSDecode& sms) const {
  // UTF-8 files hold every character: no DOS code page for them.
  if (!ctx_.ui.cb_dos->isChecked() || sms.Utf8 || report.view.size() <= 2) return false;
  pdulink::ApplyDosCodepage(report.view);
  return true;
}

bool Receiving::AppendCollective(const std::vector<std::string>& view, std::string& failLine, std::string& why) {
  const std::string path = LogDirShown() + std::string(pdulink::kCollectiveFileName);
  const std::string line = pdulink::CollectiveLine(ToAnsi(Journal::Prefix()), view);
  bool created = false;
  const bool ok = pdulink::AppendDurably(OnDisk(std::string(pdulink::kCollectiveFileName)), line, created, &why);
  const std::string what = created ? "Create SMS file " : "Append SMS to file ";
  if (ok) ctx_.journal.WriteLog("OK " + what + path);
  else failLine = "ERROR " + what + path;
  return ok;
}

ArchivedMessage Receiving::ArchivedOf(const pdulink::tSMSDecode& sms, const std::string& stemPath) const {
  const auto utf8 = [&](const std::string& t) { return sms.Utf8 ? t : pdulink::AnsiToUtf8(t); };
  // An international number with its "+", as a reply would need it.
  const bool plus = sms.AddrType == 0x91 && !sms.Address.empty() && sms.Address[0] != '+';
  return {(plus ? "+" : "") + utf8(sms.Address), utf8(sms.Text), stemPath + ".txt", stemPath + ".xml"};
}

void Receiving::SayFailure(const std::string& line) {
  // A message kept on the phone by a failure is retried every pass; its
  // failure is said once.
  if (sayKey_.empty() || said_.insert(sayKey_ + '\n' + line).second) ctx_.journal.WriteLog(line);
}

bool Receiving::Resume(const std::string& pduHex, ArchiveSteps& steps, const std::string& stemPath, std::string& why) {
  // Files written by an earlier pass (and perhaps moved away by a hook since):
  // only the collective line and the hook, if still owed.
  pdulink::tSMSDecode sms;
  Decode(pduHex, sms);
  if (sms.HasError) return true;  // a raw PDU owes neither
  if (!steps.line) {
    pdulink::ArchiveReport report = pdulink::BuildArchiveReport(sms);
    DosView(report, sms);
    std::string line, reason;
    if (!ctx_.ui.cb_appendfile->isChecked() || AppendCollective(report.view, line, reason)) {
      steps.line = true;
    } else {
      SayFailure(line);
      why = line + " (" + reason + ")";
      return false;
    }
  }
  if (!steps.told) {
    if (OnArchived && reportArchived_) archivedPending_.push_back(ArchivedOf(sms, stemPath));
    steps.told = true;
  }
  return true;
}

namespace {

// The archive files and the join state in the log directory.
bool LogDirFile(std::string_view name) {
  const auto endsWith = [&](std::string_view tail) {
    return name.size() > tail.size() && name.substr(name.size() - tail.size()) == tail;
  };
  if (name == pdulink::kJoinStateFileName) return true;
  return name.substr(0, 3) == "SMS" && (endsWith(".txt") || endsWith(".xml") || endsWith(".pdu"));
}

bool RecordFile(std::string_view name) { return name == kReceivedRecordFile; }

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

std::string Receiving::LogDirPath() const { return ParentOf(OnDisk("x")); }

void Receiving::SweepTemporaries() {
  // Once per directory in a run: what a killed run left half written.
  const std::string logDir = LogDirPath();
  const std::string baseDir = ParentOf(InBaseDir(ctx_.state, kReceivedRecordFile));
  if (logDir == sweptLogDir_ && baseDir == sweptBaseDir_) return;
  int removed = 0;
  if (logDir != sweptLogDir_) removed += pdulink::RemoveDeadTemporaries(logDir, LogDirFile);
  if (baseDir != sweptBaseDir_) removed += pdulink::RemoveDeadTemporaries(baseDir, RecordFile);
  sweptLogDir_ = logDir;
  sweptBaseDir_ = baseDir;
  if (removed > 0)
    ctx_.journal.WriteLog("Removed " + std::to_string(removed) + " temporary files left by an earlier run");
}

bool Receiving::SaveRecord(const ReceivedRecord& record) {
  const std::string path = InBaseDir(ctx_.state, kReceivedRecordFile);
  std::string why;
  if (SaveReceivedRecord(path, record, &why)) return true;
  ctx_.journal.WriteLog("Receiving record not written: " + path + " (" + why + ")");
  return false;
}

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
  Journal& journal = ctx_.journal;
  // With a record: a message whose files an earlier pass wrote (its steps
  // recorded, or, recorded without steps, its files there) is not archived
  // again, only what it still owes is done; every other one gets its name
  // reserved in the record before any file is written.
  std::vector<std::string> names(listed.size()), before(listed.size()), digests(listed.size());
  std::vector<std::string> touched;  // stems of record entries this listing accounts for
  auto entryOf = [&](const std::string& stem) -> ArchivedEntry* {
    for (ArchivedEntry& e : record->archived)
      if (e.stem == stem) return &e;
    return nullptr;
  };
  if (record) {
    SweepTemporaries();
    std::vector<bool> matched(record->archived.size(), false);
    bool reserved = false;
    for (size_t i = 0; i < listed.size(); ++i) {
      if (listed[i].pdu.empty()) continue;
      digests[i] = PduDigest(listed[i].pdu);
      for (size_t j = 0; j < record->archived.size(); ++j) {
        ArchivedEntry& e = record->archived[j];
        if (matched[j] || e.digest != digests[i]) continue;
        matched[j] = true;
        touched.push_back(e.stem);
        if (e.done.files) {
          before[i] = e.stem;
        } else if (!e.done.Any() && StemArchived(e.stem)) {
          e.done = {true, true, true};  // archived before steps were recorded
          before[i] = e.stem;
        } else {
          // Cut short by a kill or a failure: whatever it left of the files
          // goes, and they are written again under the same name.
          RemoveStemFiles(e.stem);
          names[i] = e.stem.substr(e.stem.rfind('/') + 1);
          if (e.stem != OnDisk(names[i])) {
            e.stem = OnDisk(names[i]);  // the log directory changed meanwhile
            touched.push_back(e.stem);
            reserved = true;
          }
        }
        break;
      }
    }
    for (size_t i = 0; i < listed.size(); ++i) {
      if (listed[i].pdu.empty() || !before[i].empty() || !names[i].empty()) continue;
      names[i] = NextFreeName();
      record->archived.push_back({digests[i], OnDisk(names[i]), {}});
      touched.push_back(OnDisk(names[i]));
      reserved = true;
    }
    // Nothing is archived that the record does not know of; the messages
    // stay on the phone and the listing stays owed.
    if (reserved && !SaveRecord(*record)) return false;
  }
  auto forget = [&](const std::string& stem) {
    auto& a = record->archived;
    a.erase(std::remove_if(a.begin(), a.end(), [&](const ArchivedEntry& e) { return e.stem == stem; }), a.end());
  };

  ListedIndexes.clear();
  // Per listed index: why its message is not safely kept (empty when it is),
  // and its archive in the record.
  std::vector<std::string> notKept, stems;
  std::vector<size_t> listedAt;  // the listed message of each of them
  bool allKept = true;
  bool stepsDone = false;  // the record learnt of steps done
  deferDirectorySync_ = true;
  pendingDirectorySync_.clear();
  for (size_t i = 0; i < listed.size(); ++i) {
    const ListedMessage& m = listed[i];
    if (dialogue_.ProcessEvents) dialogue_.ProcessEvents();
    if (m.index >= 0) {
      ListedIndexes.push_back(m.index);
      journal.WriteLog("N Msg = " + std::to_string(m.index));
    }
    std::string why = "empty PDU line";
    std::string stem;
    std::string pdu = m.pdu;
    sayKey_ = digests[i];
    if (!before[i].empty()) {
      journal.WriteLog("Archived before: " + before[i]);
      stem = before[i];
      ArchivedEntry* e = entryOf(stem);
      why.clear();
      if (e && !e->done.All()) {
        const ArchiveSteps was = e->done;
        Resume(m.pdu, e->done, stem, why);
        stepsDone = stepsDone || e->done.line != was.line || e->done.told != was.told;
      }
      TakePart(m.pdu, before[i]);
      if (why.empty() && OnKeptPdu) OnKeptPdu(m.pdu);
      journal.WriteLog(kAsterisks);
    } else if (!m.pdu.empty() && !ReadAgainIfGarbled(m, pdu, why)) {
      // Read differently twice: the phone keeps it for the next listing.
      if (record)
        if (const ArchivedEntry* e = entryOf(OnDisk(names[i])); e && !e->done.Any()) forget(e->stem);
      ++ctx_.state.Counters.errors;
      journal.WriteLog(kAsterisks);
    } else if (!m.pdu.empty()) {
      if (pdu != m.pdu && record) {
        // The message as read again is the one archived and recorded.
        for (ArchivedEntry& e : record->archived)
          if (e.stem == OnDisk(names[i])) e.digest = PduDigest(pdu);
        digests[i] = PduDigest(pdu);
      }
      ArchiveSteps steps;
      if (record) {
        stem = OnDisk(names[i]);
        if (ArchivedEntry* e = entryOf(stem)) steps = e->done;
        nameTaken_ = [&](const std::string& fresh) {
          for (ArchivedEntry& e : record->archived)
            if (e.stem == stem) e.stem = OnDisk(fresh);
          stem = OnDisk(fresh);
          touched.push_back(stem);
          return SaveRecord(*record);
        };
      }
      const bool kept = Archive(pdu, false, record ? &names[i] : nullptr, record ? &steps : nullptr);
      nameTaken_ = nullptr;
      why = kept ? "" : LastFailure;
      // Every report is matched, whatever the reading settings (one that
      // does not decode is saved only while reading automatically).
      if ((kept || !LastDecoded) && OnKeptPdu) OnKeptPdu(pdu);
      journal.WriteLog(kAsterisks);
      // Counted for /status: a message read, or one that could not be kept
      // or decoded.
      if (kept && LastDecoded) ++ctx_.state.Counters.received;
      else ++ctx_.state.Counters.errors;
      if (record) {
        if (ArchivedEntry* e = entryOf(stem)) {
          // What was done stays recorded; a message with nothing done is
          // archived again in full by a later listing.
          if (steps.Any()) e->done = steps;
          else forget(stem);
          stepsDone = stepsDone || steps.Any();
        }
      }
    }
    sayKey_.clear();
    if (!why.empty()) allKept = false;
    if (m.index >= 0) {
      notKept.push_back(why);
      stems.push_back(stem);
      listedAt.push_back(i);
    }
  }
  deferDirectorySync_ = false;
  bool unsafe = false;
  std::string unsafeWhy;
  if (!pendingDirectorySync_.empty() && !pdulink::SyncParentDirectory(pendingDirectorySync_)) {
    unsafe = true;
    unsafeWhy = "log directory not synced to disk";
  } else if (record && stepsDone && !SaveRecord(*record)) {
    // The hooks wait until the record knows they ran.
    unsafe = true;
    unsafeWhy = "receiving record not written";
  }
  if (unsafe) {
    // The files may not survive a crash yet, or their steps are not
    // recorded: none of them is deleted, and no hook is told yet.
    for (std::string& why : notKept)
      if (why.empty()) why = unsafeWhy;
    allKept = false;
    if (record)
      for (const ArchivedMessage& a : archivedPending_)
        if (ArchivedEntry* e = entryOf(a.txtPath.substr(0, a.txtPath.size() - 4))) e->done.told = false;
    archivedPending_.clear();
  }
  ReportArchived();
  // The parts taken in reach the disk before their messages leave the phone.
  if (!SaveJoiner()) {
    for (std::string& why : notKept)
      if (why.empty()) why = "join state not written";
    allKept = false;
  }
  // The store's copy is committed before the phone lets the message go.
  if (record && Kept) {
    for (size_t k = 0; k < notKept.size(); ++k) {
      if (!notKept[k].empty() || stems[k].empty()) continue;
      const size_t i = listedAt[k];
      if (!Kept(listed[i].pdu, stems[k], digests[i])) {
        notKept[k] = "spool row not written";
        allKept = false;
      }
    }
  }
  if (countLine) journal.WriteLog("TotalReaded=" + std::to_string(ListedIndexes.size()));

  bool settled = complete && allKept;
  if (ctx_.ui.cb_deletesms->isChecked()) {
    for (size_t i = 0; i < ListedIndexes.size(); ++i) {
      const int n = ListedIndexes[i];
      if (!notKept[i].empty()) {
        // Not decoded or not on disk: the phone keeps it for another try.
        sayKey_ = digests[listedAt[i]];
        SayFailure("Kept on the phone N Msg = " + std::to_string(n) + ": " + notKept[i]);
        sayKey_.clear();
        continue;
      }
      journal.WriteLog("Delete N Msg = " + std::to_string(n));
      if (n < 1 || n > 500) continue;
      const std::string command = "AT+CMGD=" + std::to_string(n) + "\r";
      if (!record) {
        dialogue_.SendCommand(command);
      } else if (AskWhole(dialogue_, command) && ReplyHoldsOk(dialogue_.CaptureText)) {
        forget(stems[i]);  // gone from the phone: nothing left to match
      } else {
        settled = false;  // a later listing finds it archived and deletes it
      }
    }
  }
  // A whole listing of the read messages shows every one still on the
  // phone: entries of the others are of messages deleted meanwhile.
  if (record && pickUp && complete) {
    auto& a = record->archived;
    a.erase(std::remove_if(a.begin(), a.end(),
                           [&](const ArchivedEntry& e) {
                             return std::find(touched.begin(), touched.end(), e.stem) == touched.end();
                           }),
            a.end());
  }
  return settled;
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
  std::string raw;
  for (char c : m.pdu)
    if (c != '\r' && c != '\n') raw.push_back(c);
  ctx_.journal.WriteLog(raw);
  why = again ? "not decoded, read differently again" : "not decoded, not read again";
  return false;
}

void Receiving::ReportArchived() {
  std::vector<ArchivedMessage> done;
  done.swap(archivedPending_);
  if (OnArchived)
    for (const ArchivedMessage& m : done) OnArchived(m);
}

void Receiving::DeleteByNumbers() {
  const std::string text = ToAnsi(ctx_.ui.ed_nums->text());
  for (int k = 1;; ++k) {
    std::string word = pdulink::NthWord(text, k);
    if (word.empty()) break;
    auto value = ParseInt(word);
    if (!value || *value == 0) continue;
    ctx_.journal.WriteLog("Delete N Msg = " + word);
    dialogue_.SendCommand("AT+CMGD=" + std::to_string(*value) + "\r");
  }
  ctx_.ui.sb_delete->setChecked(false);
}

void Receiving::b_parseClick() {
  ctx_.journal.WriteLog("======== Start Parse =========");
  QString text = ctx_.ui.Memo1->toPlainText();
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  ArchiveMessage(ToAnsi(text), false);
}
