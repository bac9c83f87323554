#include "WatchTurn.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <unistd.h>

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

namespace {

// File names are UTF-8 on the file system and cp1251 inside the program.
std::string NameToAnsi(const std::string& fsName) { return ToAnsi(QFile::decodeName(fsName.c_str())); }
std::string AnsiToFs(const std::string& cp1251) { return QFile::encodeName(FromAnsi(cp1251)).toStdString(); }

// What a restart finds of a long message that ended part way.
std::string PartsLine(const watch::InFlight& r) {
  const bool sent = r.answer == watch::InFlight::Answer::Sent;
  const int out = sent ? r.seq : r.seq - 1;
  std::string line = "Long message " + r.path + ": ";
  line += out < 1 ? "no part" : out == 1 ? "part 1" : "parts 1-" + std::to_string(out);
  line += " of " + std::to_string(r.total) + " sent";
  if (r.answer == watch::InFlight::Answer::None) line += ", part " + std::to_string(r.seq) + " unknown";
  else if (!sent) line += ", part " + std::to_string(r.seq) + " refused";
  return line;
}

}  // namespace

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

void WatchTurn::Settle(const Entry& entry, const watch::FileId& readId, const std::string& suffix) {
  const size_t records = records_.size();
  watch::FileId now;
  if (!watch::IdentifyFile(entry.fsPath, now) || !(now == readId)) {
    // Its producer rewrote, replaced or removed the file during the send:
    // what is under the name now is another message, for the next turn.
    ctx_.journal.WriteLog("File changed during send: " + entry.path);
    if (OnSettled) OnSettled(entry.fsPath, "");
    records_.erase(entry.fsPath);
    Forget(entry.fsPath);
  } else {
    Rename(entry, readId, suffix);
  }
  if (records_.size() != records) SaveRecord();
}

bool WatchTurn::Rename(const Entry& entry, const watch::FileId& id, const std::string& suffix) {
  bool moved = false;
  std::string name;
  // The stamp has milliseconds; a name taken within the same millisecond is
  // not replaced, a later stamp is tried instead.
  for (int attempt = 0; attempt < 3 && !moved; ++attempt) {
    if (attempt > 0) QThread::msleep(2);
    name = "SMS" + pdulink::TimeStampName() + suffix;
    const std::string target = InBaseDir(ctx_.state, AnsiToFs(name));
    // A copy to another file system: the record names the copy first, so
    // that a kill before the original is removed never sends it again.
    auto beforeCopy = [&] {
      auto it = records_.find(entry.fsPath);
      if (it == records_.end()) return true;
      it->second.movedTo = target;
      return SaveRecord();
    };
    moved = watch::MoveFile(entry.fsPath, target, beforeCopy);
    if (!moved && errno != EEXIST) break;
  }
  if (suffix == watch::kUnknownSuffix)
    ctx_.journal.WriteLog("Send outcome unknown: " + entry.path + (moved ? " renamed " + name : " (Rename ERROR)"));
  else
    ctx_.journal.WriteLog("Rename " + entry.path + (moved ? " OK" : " ERROR"));
  if (moved && OnRenamed && (suffix == ".snd" || suffix == ".err")) {
    Settled s = sending_;
    s.fsPath = InBaseDir(ctx_.state, AnsiToFs(name));
    s.suffix = suffix;
    OnRenamed(s);
  }
  if (moved) {
    if (OnSettled) OnSettled(entry.fsPath, name);
    pending_.erase(entry.fsPath);
    records_.erase(entry.fsPath);
    Forget(entry.fsPath);
  } else {
    // The message has been dealt with: later turns retry only the rename,
    // and never send it again.
    pending_[entry.fsPath] = Pending{entry.path, id, suffix};
  }
  return moved;
}

void WatchTurn::RetryRenames() {
  const size_t records = records_.size();
  for (auto it = pending_.begin(); it != pending_.end();) {
    watch::FileId now;
    // Gone, or another file under the same name: nothing left to rename.
    if (!watch::IdentifyFile(it->first, now) || !(now == it->second.id)) {
      if (OnSettled) OnSettled(it->first, "");
      records_.erase(it->first);
      it = pending_.erase(it);
      continue;
    }
    Entry e{it->second.path, it->first};
    Pending p = it->second;
    ++it;  // Rename may erase the entry
    Rename(e, p.id, p.suffix);
  }
  if (records_.size() != records) SaveRecord();
}

void WatchTurn::Recover() {
  std::string text;
  if (!watch::ReadSmallFile(RecordPath(), text)) return;  // nothing was in flight
  std::vector<watch::InFlight> found;
  if (!watch::ParseInFlight(text, found)) {
    ctx_.journal.WriteLog("Send record unreadable: " + NameToAnsi(RecordPath()));
    return;
  }
  for (const watch::InFlight& r : found) records_[r.fsPath] = r;
  for (const watch::InFlight& r : found) {
    watch::FileId now;
    if (!watch::IdentifyFile(r.fsPath, now) || !(now == r.id)) {
      // Renamed before the run ended, or taken away or replaced by its
      // producer since: nothing of this message is left to settle.
      if (OnSettled) OnSettled(r.fsPath, "");
      records_.erase(r.fsPath);
      continue;
    }
    const Entry e{r.path, r.fsPath};
    // A copy killed part way left only its temporary file.
    if (!r.movedTo.empty() && ::access(r.movedTo.c_str(), F_OK) != 0) watch::RemoveTemporariesOf(r.movedTo);
    if (!r.movedTo.empty() && ::access(r.movedTo.c_str(), F_OK) == 0) {
      // Copied whole to another file system before the run ended: only the
      // original is left to remove.
      const bool removed = ::unlink(r.fsPath.c_str()) == 0;
      const std::string name = NameToAnsi(r.movedTo.substr(r.movedTo.rfind('/') + 1));
      ctx_.journal.WriteLog("Rename " + r.path + (removed ? " OK" : " ERROR"));
      if (removed) {
        if (OnSettled) OnSettled(r.fsPath, name);
        records_.erase(r.fsPath);
        continue;
      }
    }
    if (r.total > 1 && !(r.answer == watch::InFlight::Answer::Sent && r.seq == r.total)) {
      // A long message that ended part way: no part is sent again.
      ctx_.journal.WriteLog(PartsLine(r));
      Rename(e, r.id, r.answer == watch::InFlight::Answer::Failed ? ".err" : watch::kUnknownSuffix);
      continue;
    }
    if (r.answer == watch::InFlight::Answer::None) {
      // The run ended between the PDU and its answer: it may have gone out.
      Rename(e, r.id, watch::kUnknownSuffix);
      continue;
    }
    // The answer came before the run ended: the turn is finished as it
    // would have been.
    const bool sent = r.answer == watch::InFlight::Answer::Sent;
    ctx_.journal.WriteLog(r.path);
    ctx_.journal.WriteLog(sent ? "Auto Send SMS OK" : "Auto Send SMS ERROR");
    Rename(e, r.id, sent ? ".snd" : ".err");
  }
  if (records_.size() != found.size()) SaveRecord();
}

bool WatchTurn::SaveRecord() {
  std::string error;
  bool ok;
  if (records_.empty()) {
    ok = pdulink::RemoveFileDurably(RecordPath(), &error);
  } else {
    std::vector<watch::InFlight> all;
    for (const auto& entry : records_) all.push_back(entry.second);
    ok = pdulink::ReplaceFileDurably(RecordPath(), watch::FormatInFlight(all), &error);
  }
  if (!ok) ctx_.journal.WriteLog("Send record error: " + NameToAnsi(RecordPath()) + " (" + error + ")");
  return ok;
}

void WatchTurn::Forget(const std::string& fsPath) {
  looks_.erase(fsPath);
  futureSaid_.erase(fsPath);
}

std::string WatchTurn::RecordPath() const { return InBaseDir(ctx_.state, watch::kInFlightFile); }
