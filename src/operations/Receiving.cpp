#include "Receiving.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QToolButton>
#include <chrono>
#include <thread>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "MessageBox.h"
#include "Replies.h"
#include "Settings.h"
#include "Transaction.h"
#include "archive_files.h"
#include "codepage.h"
#include "sms_archive.h"
#include "sms_decode.h"
#include "text_helpers.h"

namespace {

constexpr const char* kAsterisks = "**********************************";

}  // namespace

Receiving::Receiving(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}

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

void Receiving::ShowView(const std::vector<std::string>& view) {
  QString text;
  for (size_t i = 0; i < view.size(); ++i) {
    if (i) text += QLatin1Char('\n');
    text += FromAnsi(view[i]);
  }
  ctx_.ui.smsfile->setPlainText(text);
}

bool Receiving::ArchiveMessage(const std::string& pduHex, bool save) {
  Controls& ui = ctx_.ui;
  Journal& journal = ctx_.journal;
  LastFailure.clear();
  ui.smsfile->clear();

  pdulink::tSMSDecode sms;
  sms.Decode(pduHex);
  if (sms.HasError) {
    journal.WriteLog("Parse Error:" + sms.ErrorText);
    // The raw PDU on a line of its own, so the message survives in the
    // journal even if it is later removed from the phone by hand.
    std::string raw;
    raw.reserve(pduHex.size());
    for (char c : pduHex)
      if (c != '\r' && c != '\n') raw.push_back(c);
    journal.WriteLog(raw);
    LastFailure = "Parse Error:" + sms.ErrorText;
    return false;
  }

  pdulink::ArchiveReport report = pdulink::BuildArchiveReport(sms);
  for (const auto& line : report.journal) journal.WriteLog(line);
  ShowView(report.view);

  if (!save && !ui.cb_autoread->isChecked()) return true;

  const std::string xml = pdulink::ArchiveXmlBytes(report);
  if (ui.cb_dos->isChecked() && report.view.size() > 2) {
    pdulink::ApplyDosCodepage(report.view);
    ShowView(report.view);
  }
  const std::string dir = pdulink::WithTrailingDelimiter(ToAnsi(ui.ed_LogDir->text()));
  const std::string name = NextFileName();
  // Journal texts stay cp1251 and show the directory as typed; the file
  // system gets UTF-8 names, and a trailing "\" delimiter becomes "/".
  std::string fsDir = dir;
  if (!fsDir.empty() && fsDir.back() == '\\') fsDir.back() = '/';
  auto onDisk = [&](const std::string& fileName) {
    return InBaseDir(ctx_.state, pdulink::AnsiToUtf8(fsDir + fileName));
  };

  bool kept = true;
  auto fail = [&](const std::string& line, const std::string& why) {
    journal.WriteLog(line);
    if (kept) LastFailure = line + (why.empty() ? "" : " (" + why + ")");
    kept = false;
  };

  journal.WriteLog("File:" + dir + name + "(.txt .xml)");
  std::string why;
  const std::string txtPath = onDisk(name + ".txt");
  if (!pdulink::WriteFileDurably(txtPath, pdulink::ArchiveTxtBytes(report.view), &why)) fail("Save .txt Error", why);
  if (!pdulink::WriteFileDurably(onDisk(name + ".xml"), xml, &why)) fail("Save .xml Error", why);
  // The renames above reach the disk with their directory; a listing syncs
  // the directory once, before its deletes, instead of after every message.
  if (kept) {
    if (deferDirectorySync_) pendingDirectorySync_ = txtPath;
    else pdulink::SyncParentDirectory(txtPath);
  }

  if (ui.cb_appendfile->isChecked()) {
    const std::string path = dir + std::string(pdulink::kCollectiveFileName);
    const std::string line = pdulink::CollectiveLine(ToAnsi(Journal::Prefix()), report.view);
    bool created = false;
    bool ok = pdulink::AppendDurably(onDisk(std::string(pdulink::kCollectiveFileName)), line, created, &why);
    const std::string what = created ? "Create SMS file " : "Append SMS to file ";
    if (ok) {
      journal.WriteLog("OK " + what + path);
    } else {
      fail("ERROR " + what + path, why);
    }
  }
  return kept;
}

void Receiving::listSMS() {
  Controls& ui = ctx_.ui;
  Journal& journal = ctx_.journal;
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

  dialogue_.SendCommand("ATE0\r");
  dialogue_.SendCommand("AT+CMGL=" + digit + "\r");
  dialogue_.WaitReply("ok");
  dialogue_.ReplyCapture("stop");

  ListedIndexes.clear();
  // Per listed index: whether its message is safely kept, and why not.
  std::vector<std::string> notKept;
  deferDirectorySync_ = true;
  pendingDirectorySync_.clear();
  for (const ListedMessage& m : ParseCmglListing(dialogue_.CaptureText)) {
    if (dialogue_.ProcessEvents) dialogue_.ProcessEvents();
    if (m.index >= 0) {
      ListedIndexes.push_back(m.index);
      journal.WriteLog("N Msg = " + std::to_string(m.index));
    }
    std::string why = "empty PDU line";
    if (!m.pdu.empty()) {
      why = ArchiveMessage(m.pdu, false) ? "" : LastFailure;
      journal.WriteLog(kAsterisks);
    }
    // Counted for /status: a message read, or one that could not be kept.
    if (why.empty()) ++ctx_.state.Counters.received;
    else ++ctx_.state.Counters.errors;
    if (m.index >= 0) notKept.push_back(why);
  }
  deferDirectorySync_ = false;
  if (!pendingDirectorySync_.empty() && !pdulink::SyncParentDirectory(pendingDirectorySync_)) {
    // The files may not survive a crash yet: none of them is deleted.
    for (std::string& why : notKept)
      if (why.empty()) why = "log directory not synced to disk";
  }
  journal.WriteLog("TotalReaded=" + std::to_string(ListedIndexes.size()));

  if (!ui.cb_deletesms->isChecked()) return;
  for (size_t i = 0; i < ListedIndexes.size(); ++i) {
    const int n = ListedIndexes[i];
    if (!notKept[i].empty()) {
      // Not decoded or not on disk: the phone keeps it for another try.
      journal.WriteLog("Kept on the phone N Msg = " + std::to_string(n) + ": " + notKept[i]);
      continue;
    }
    journal.WriteLog("Delete N Msg = " + std::to_string(n));
    if (n >= 1 && n <= 500) dialogue_.SendCommand("AT+CMGD=" + std::to_string(n) + "\r");
  }
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
