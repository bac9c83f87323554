// One turn of the watched directory: the waiting files found, and each
// one's message read and sent, with the record's entry before its PDU.
#include "WatchTurn.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <algorithm>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Replies.h"
#include "SerialPort.h"
#include "Transaction.h"
#include "archive_files.h"
#include "codepage.h"
#include "text_helpers.h"

std::string WatchTurn::NameToAnsi(const std::string& fsName) { return ToAnsi(QFile::decodeName(fsName.c_str())); }
std::string WatchTurn::AnsiToFs(const std::string& cp1251) {
  return QFile::encodeName(FromAnsi(cp1251)).toStdString();
}

WatchTurn::WatchTurn(Context& ctx, Transaction& dialogue, SendFunction send)
    : ctx_(ctx), dialogue_(dialogue), send_(std::move(send)) {}

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
  std::set<std::string> listed;
  for (const std::string& name : names) {
    Entry e;
    e.fsPath = fsDir + "/" + name;
    listed.insert(e.fsPath);
    if (pending_.count(e.fsPath)) continue;
    std::string ansi = NameToAnsi(name);
    e.path = t.dir.empty() ? ansi : (t.dir == "/" ? "/" + ansi : t.dir + "/" + ansi);
    entries.push_back(std::move(e));
  }
  // What is known of files that are no longer waiting goes.
  for (auto it = looks_.begin(); it != looks_.end();)
    it = listed.count(it->first) ? std::next(it) : looks_.erase(it);
  for (auto it = futureSaid_.begin(); it != futureSaid_.end();)
    it = listed.count(*it) ? std::next(it) : futureSaid_.erase(it);
  return entries;
}

void WatchTurn::Run() {
  if (running_) return;
  running_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{running_};
  if (!recovered_) {
    recovered_ = true;
    Recover();
  }
  RetryRenames();
  std::vector<Entry> files = FindFiles();
  if (files.empty()) return;
  if (!ctx_.state.FastMode) {
    SendOne(files.front());
    return;
  }
  // The list is taken once: a file dropped during the batch waits for the
  // next turn, as it would have in the default mode.
  const unsigned stops = ctx_.state.StopClicks;
  const size_t limit = std::min(files.size(), static_cast<size_t>(kBatchLimit));
  for (size_t i = 0; i < limit; ++i) {
    if (i > 0) {
      if (!MayContinue() || ctx_.state.StopClicks != stops) break;
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
  ctx_.journal.WriteLog(entry.path);
  watch::Look look;
  std::string number, body;
  switch (ReadMessage(entry, look, number, body)) {
    case FileRead::Message: break;
    case FileRead::Stays: return false;
    case FileRead::Failed:
      // It can never be sent as it is: failed, and nothing goes out.
      Settle(entry, look.id, ".err");
      return true;
  }

  const uint32_t disconnects = ctx_.clock.DisconnectsRun;
  Progress progress;
  const SendHooks hooks = RecordingHooks(entry, look, number, progress);
  sending_ = {"", "", number, body, ""};
  struct Sent {
    Settled& s;
    ~Sent() { s = {}; }
  } sent{sending_};
  const int rc = send_ ? send_(number, body, hooks) : -1;
  return Conclude(entry, look, rc, progress, disconnects);
}

WatchTurn::FileRead WatchTurn::ReadMessage(const Entry& entry, watch::Look& look, std::string& number,
                                           std::string& body) {
  Journal& journal = ctx_.journal;
  std::string line;
  auto previous = looks_.find(entry.fsPath);
  const bool utf8 = ctx_.state.Utf8Files;
  watch::ReadResult read = (utf8 ? watch::ReadFileHead : watch::ReadFirstLine)(
      entry.fsPath, line, UseLeases, previous == looks_.end() ? nullptr : &previous->second, &look);
  if (read != watch::ReadResult::Unreadable) looks_[entry.fsPath] = look.id;
  if (look.futureStamp && futureSaid_.insert(entry.fsPath).second)
    journal.WriteLog("Time stamp in the future: " + entry.path);
  if (read != watch::ReadResult::Ok) {
    journal.WriteLog("Read error:" + entry.path);
    return FileRead::Stays;
  }
  if (utf8) {
    watch::Utf8Line text = watch::FirstLineUtf8(line);
    if (!text.ok) {
      journal.WriteLog("Malformed UTF-8: " + entry.path + " at byte " + std::to_string(text.badOffset));
      return FileRead::Failed;
    }
    return watch::SplitMessageLineUtf8(text.line, number, body) ? FileRead::Message : FileRead::Stays;
  }
  return watch::SplitMessageLine(line, number, body) ? FileRead::Message : FileRead::Stays;
}

SendHooks WatchTurn::RecordingHooks(const Entry& entry, const watch::Look& look, const std::string& number,
                                    Progress& progress) {
  // The record: an entry just before the PDU goes out, the answer as soon
  // as it is in; the entry goes with the rename.
  SendHooks hooks;
  hooks.Part = [&progress](int s, int t) {
    progress.seq = s;
    progress.total = t;
  };
  hooks.BeforePdu = [this, &entry, &look, &progress] {
    auto it = records_.find(entry.fsPath);
    // A further copy of a message already confirmed: it counts as sent
    // whatever becomes of this one. Each part of a long message has its own
    // entry, as its answer says nothing of the parts after it.
    if (progress.total > 1 || it == records_.end() || it->second.answer != watch::InFlight::Answer::Sent) {
      records_[entry.fsPath] = watch::InFlight{entry.fsPath, entry.path, look.id, watch::InFlight::Answer::None,
                                               progress.seq, progress.total};
      if (!SaveRecord()) {
        records_.erase(entry.fsPath);
        progress.keptBack = true;
        return false;
      }
    }
    progress.pduWritten = true;
    return true;
  };
  hooks.Answered = [this, &entry](bool confirmed) {
    auto it = records_.find(entry.fsPath);
    if (it == records_.end() || it->second.answer == watch::InFlight::Answer::Sent) return;
    it->second.answer = confirmed ? watch::InFlight::Answer::Sent : watch::InFlight::Answer::Failed;
    SaveRecord();
  };
  hooks.Reference = [this, &entry, &number](int s, int t, int reference) {
    if (!sending_.references.empty()) sending_.references += ' ';
    sending_.references += std::to_string(reference);
    if (OnSent) OnSent(entry.fsPath, number, s, t, reference);
  };
  hooks.Text = [this](const std::string& text) { sending_.body = text; };
  return hooks;
}

bool WatchTurn::Conclude(const Entry& entry, const watch::Look& look, int rc, const Progress& progress,
                         uint32_t disconnects) {
  Journal& journal = ctx_.journal;
  if (rc >= 0) {
    journal.WriteLog("Auto Send SMS OK");
    Settle(entry, look.id, ".snd");
    return true;
  }
  if (rc == Sending::kNotSent && !progress.pduWritten) {
    // The phone never asked for the PDU: the file is not failed, a later
    // turn sends it.
    journal.WriteLog("No message prompt, file kept: " + entry.path);
    return false;
  }
  journal.WriteLog("Auto Send SMS ERROR");
  if (rc == -2 && ctx_.ui.cb_offline->isChecked() && dialogue_.OfflineSession) {
    journal.WriteLog("Send ERROR at Offline mode. Try after...");
    return false;
  }
  if (!progress.pduWritten) {
    // Nothing went out: a file whose entry could not be recorded, or whose
    // send Disconnect or Exit ended, waits for a later turn.
    const PollClock& clock = ctx_.clock;
    const bool stopped = clock.StopPosted() || dialogue_.ExitUnderway || clock.DisconnectsRun != disconnects;
    if (progress.keptBack) return false;
    if (stopped) {
      journal.WriteLog("Send stopped, file kept: " + entry.path);
      return false;
    }
  }
  Settle(entry, look.id, ".err");
  return true;
}
