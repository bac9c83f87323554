#include "WatchTurn.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cerrno>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "Transaction.h"
#include "codepage.h"
#include "text_helpers.h"

namespace {

// File names are UTF-8 on the file system and cp1251 inside the program.
std::string NameToAnsi(const std::string& fsName) { return ToAnsi(QFile::decodeName(fsName.c_str())); }
std::string AnsiToFs(const std::string& cp1251) { return QFile::encodeName(FromAnsi(cp1251)).toStdString(); }

}  // namespace

WatchTurn::WatchTurn(Context& ctx, Transaction& dialogue, SendFunction send)
    : ctx_(ctx), dialogue_(dialogue), send_(std::move(send)) {
  // Abort only ends the wait in progress (its flag is cleared when the wait
  // ends) and Stop only the copies of one message, so a batch counts their
  // clicks itself to end between files.
  // The connections end with this turn (their context object is its own).
  for (QPushButton* b : {ctx_.ui.b_abort, ctx_.ui.b_stop_sendcycle})
    if (b) QObject::connect(b, &QPushButton::clicked, &listener_, [this] { ++stops_; });
}

std::string WatchTurn::FsDirectory(const std::string& dir) const {
  std::string fs = AnsiToFs(dir);
  if (fs.empty()) return ctx_.state.BaseDir.empty() ? "." : ctx_.state.BaseDir;
  if (fs[0] != '/' && !ctx_.state.BaseDir.empty()) return ctx_.state.BaseDir + "/" + fs;
  return fs;
}

std::vector<WatchTurn::Entry> WatchTurn::FindFiles() {
  watch::Template t = watch::SplitTemplate(ToAnsi(ctx_.ui.Ed_watchDir->text()));
  std::string fsDir = FsDirectory(t.dir);
  std::vector<std::string> names;
  std::string error;
  std::vector<Entry> entries;
  if (!watch::ListMatches(fsDir, AnsiToFs(t.pattern), names, error)) {
    // Said once, not at every turn, until the directory can be read again.
    std::string line = "Watch directory error: " + (t.dir.empty() ? std::string(".") : t.dir) + " (" + error + ")";
    if (line != lastDirError_) ctx_.journal.WriteLog(line);
    lastDirError_ = line;
    return entries;
  }
  lastDirError_.clear();
  for (const std::string& name : names) {
    Entry e;
    e.fsPath = fsDir + "/" + name;
    if (pending_.count(e.fsPath)) continue;
    std::string ansi = NameToAnsi(name);
    e.path = t.dir.empty() ? ansi : (t.dir == "/" ? "/" + ansi : t.dir + "/" + ansi);
    entries.push_back(std::move(e));
  }
  return entries;
}

void WatchTurn::Run() {
  RetryRenames();
  std::vector<Entry> files = FindFiles();
  if (files.empty()) return;
  if (!ctx_.state.FastMode) {
    SendOne(files.front());
    return;
  }
  // The list is taken once: a file dropped during the batch waits for the
  // next turn, as it would have in the default mode.
  const int stops = stops_;
  const size_t limit = std::min(files.size(), static_cast<size_t>(kBatchLimit));
  for (size_t i = 0; i < limit; ++i) {
    if (i > 0) {
      if (!MayContinue() || stops_ != stops) break;
      // Taken away meanwhile by another program: not there to be read.
      watch::FileId id;
      if (!watch::IdentifyFile(files[i].fsPath, id)) continue;
    }
    // A file that stays (unreadable, nothing to send, off-line failure)
    // keeps the later ones waiting, as one file per turn would.
    if (!SendOne(files[i])) break;
  }
}

bool WatchTurn::MayContinue() const {
  const int pending = ctx_.clock.PendingCommand;
  if (pending == kDisconnect || pending == kExit || dialogue_.ExitUnderway) return false;
  // A nested tick may have closed the port already (Disconnect); off-line
  // mode opens it again for each command by itself.
  return ctx_.comport.Active() || ctx_.ui.cb_offline->isChecked();
}

bool WatchTurn::SendOne(const Entry& entry) {
  Journal& journal = ctx_.journal;
  journal.WriteLog(entry.path);
  std::string line;
  if (watch::ReadFirstLine(entry.fsPath, line) != watch::ReadResult::Ok) {
    journal.WriteLog("Read error:" + entry.path);
    return false;
  }
  std::string number, body;
  if (!watch::SplitMessageLine(line, number, body)) return false;

  int rc = send_ ? send_(number, body) : -1;
  if (rc >= 0) {
    journal.WriteLog("Auto Send SMS OK");
    Rename(entry, ".snd");
    return true;
  }
  journal.WriteLog("Auto Send SMS ERROR");
  if (rc == -2 && ctx_.ui.cb_offline->isChecked() && dialogue_.OfflineSession) {
    journal.WriteLog("Send ERROR at Offline mode. Try after...");
    return false;
  }
  Rename(entry, ".err");
  return true;
}

bool WatchTurn::Rename(const Entry& entry, const std::string& suffix) {
  watch::FileId id;
  bool known = watch::IdentifyFile(entry.fsPath, id);
  bool moved = false;
  // The stamp has milliseconds; a name taken within the same millisecond is
  // not replaced, a later stamp is tried instead.
  for (int attempt = 0; attempt < 3 && !moved; ++attempt) {
    if (attempt > 0) QThread::msleep(2);
    std::string target = InBaseDir(ctx_.state, AnsiToFs("SMS" + pdulink::TimeStampName() + suffix));
    moved = watch::MoveFile(entry.fsPath, target);
    if (!moved && errno != EEXIST) break;
  }
  ctx_.journal.WriteLog("Rename " + entry.path + (moved ? " OK" : " ERROR"));
  if (moved) {
    pending_.erase(entry.fsPath);
  } else if (known) {
    // The message has been dealt with: later turns retry only the rename,
    // and never send it again.
    pending_[entry.fsPath] = Pending{entry.path, id, suffix};
  }
  return moved;
}

void WatchTurn::RetryRenames() {
  for (auto it = pending_.begin(); it != pending_.end();) {
    watch::FileId now;
    // Gone, or another file under the same name: nothing left to rename.
    if (!watch::IdentifyFile(it->first, now) || !(now == it->second.id)) {
      it = pending_.erase(it);
      continue;
    }
    Entry e{it->second.path, it->first};
    std::string suffix = it->second.suffix;
    ++it;  // Rename may erase the entry
    Rename(e, suffix);
  }
}
