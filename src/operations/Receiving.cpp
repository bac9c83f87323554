// The archive of one message: decoded, shown, its .txt and .xml files (or,
// undecodable, its .pdu file) written under a fresh time-stamp name, its
// collective line appended and its arrival announced; the delete of typed
// numbers and the Test page's Parse.
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

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

Receiving::Receiving(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}
Receiving::~Receiving() = default;

void Receiving::Decode(const std::string& pduHex, pdulink::tSMSDecode& sms) const {
  // One decode for a message however it comes (listed, read by index,
  // picked up again): the same text, so the same part digest for the joiner.
  sms.Utf8 = ctx_.state.Utf8Files;  // the full text in UTF-8
  sms.Decode(pduHex);
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
  LastFailure.clear();
  LastDecoded = true;
  LastArchived = {};
  ctx_.ui.smsfile->clear();
  std::string name = presetName && !presetName->empty() ? *presetName : std::string();

  pdulink::tSMSDecode sms;
  Decode(pduHex, sms);
  if (sms.HasError) return KeepRawPdu(pduHex, sms, save, name, presetName, steps);

  pdulink::ArchiveReport report = pdulink::BuildArchiveReport(sms);
  for (const auto& line : report.journal) sms.Utf8 ? ctx_.journal.WriteLogUtf8(line) : ctx_.journal.WriteLog(line);
  ShowView(report.view);

  if (!save && !ctx_.ui.cb_autoread->isChecked()) return true;

  const std::string xml = pdulink::ArchiveXmlBytes(report, sms.Utf8);
  if (DosView(report, sms)) ShowView(report.view);
  if (name.empty()) name = NextFreeName();
  if (presetName) *presetName = name;

  bool kept = true;
  WritePair(pdulink::ArchiveTxtBytes(report.view), xml, name, presetName, kept);
  if (steps) steps->files = kept;
  AppendStep(report.view, steps, kept);
  if (kept) Announce(sms, name, steps);
  return kept;
}

bool Receiving::TakeFreshName(std::string& name, std::string* presetName) {
  name = NextFreeName();
  if (presetName) *presetName = name;
  return !nameTaken_ || nameTaken_(name);
}

void Receiving::Fail(bool& kept, const std::string& line, const std::string& why) {
  SayFailure(line);
  if (kept) LastFailure = line + (why.empty() ? "" : " (" + why + ")");
  kept = false;
}

std::string Receiving::RawPdu(const std::string& pduHex) {
  std::string raw;
  raw.reserve(pduHex.size());
  for (char c : pduHex)
    if (c != '\r' && c != '\n') raw.push_back(c);
  return raw;
}

bool Receiving::KeepRawPdu(const std::string& pduHex, const pdulink::tSMSDecode& sms, bool save, std::string& name,
                           std::string* presetName, ArchiveSteps* steps) {
  Journal& journal = ctx_.journal;
  journal.WriteLog("Parse Error:" + sms.ErrorText);
  // The raw PDU on a line of its own, so the message survives in the
  // journal even if it is later removed from the phone by hand.
  const std::string raw = RawPdu(pduHex);
  journal.WriteLog(raw);
  LastDecoded = false;
  LastFailure = "Parse Error:" + sms.ErrorText;
  if (!save && !ctx_.ui.cb_autoread->isChecked()) return false;
  // It will never decode: its raw PDU goes into a file of its own beside
  // the archive, so that the phone can let it go.
  if (name.empty()) name = NextFreeName();
  if (presetName) *presetName = name;
  std::string why;
  bool written = false;
  for (int attempt = 0; attempt < 10; ++attempt) {
    journal.WriteLog("File:" + LogDirShown() + name + ".pdu");
    bool taken = false;
    written = pdulink::WriteFileDurably(OnDisk(name + ".pdu"), raw + "\r\n", &why, &taken);
    if (written || !taken || !TakeFreshName(name, presetName)) break;
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

void Receiving::WritePair(const std::string& txt, const std::string& xml, std::string& name, std::string* presetName,
                          bool& kept) {
  std::string whyTxt, whyXml;
  bool txtOk = false, xmlOk = false;
  // Neither file ever replaces another: a name found taken is given up
  // (with the .txt already written under it) for a fresh stamp.
  for (int attempt = 0;; ++attempt) {
    ctx_.journal.WriteLog("File:" + LogDirShown() + name + "(.txt .xml)");
    const bool mayRename = attempt < 10;
    bool taken = false;
    txtOk = pdulink::WriteFileDurably(OnDisk(name + ".txt"), txt, &whyTxt, &taken);
    if (!txtOk && taken && mayRename && TakeFreshName(name, presetName)) continue;
    xmlOk = pdulink::WriteFileDurably(OnDisk(name + ".xml"), xml, &whyXml, &taken);
    if (!xmlOk && taken) {
      if (txtOk) ::unlink(OnDisk(name + ".txt").c_str());
      txtOk = false;
      whyTxt = whyXml;
      if (mayRename && TakeFreshName(name, presetName)) continue;
    }
    break;
  }
  // One file of the pair (a full disk, say) is no archive: it goes, and the
  // next attempt writes both under the same name.
  if (txtOk && !xmlOk) ::unlink(OnDisk(name + ".txt").c_str());
  if (xmlOk && !txtOk) ::unlink(OnDisk(name + ".xml").c_str());
  if (!txtOk) Fail(kept, "Save .txt Error", whyTxt);
  if (!xmlOk) Fail(kept, "Save .xml Error", whyXml);
  // The renames above reach the disk with their directory; a listing syncs
  // the directory once, before its deletes, instead of after every message.
  if (kept) {
    const std::string txtPath = OnDisk(name + ".txt");
    if (deferDirectorySync_) {
      pendingDirectorySync_ = txtPath;
    } else if (!pdulink::SyncParentDirectory(txtPath)) {
      Fail(kept, "Log directory not synced to disk: " + LogDirShown(), "");
    }
  }
}

void Receiving::AppendStep(const std::vector<std::string>& view, ArchiveSteps* steps, bool& kept) {
  if (ctx_.ui.cb_appendfile->isChecked() && !(steps && steps->line)) {
    std::string line, why;
    if (!AppendCollective(view, line, why)) Fail(kept, line, why);
    else if (steps) steps->line = true;
  } else if (steps) {
    steps->line = true;
  }
}

void Receiving::Announce(const pdulink::tSMSDecode& sms, const std::string& name, ArchiveSteps* steps) {
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
  // Appended, not "+" + ...: GCC 12 warns of an overlapping copy that
  // cannot happen (-Wrestrict).
  std::string number = utf8(sms.Address);
  if (plus) number.insert(number.begin(), '+');
  return {number, utf8(sms.Text), stemPath + ".txt", stemPath + ".xml"};
}

void Receiving::SayFailure(const std::string& line) {
  // A message kept on the phone by a failure is retried every pass; its
  // failure is said once.
  if (sayKey_.empty() || said_.insert(sayKey_ + '\n' + line).second) ctx_.journal.WriteLog(line);
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
