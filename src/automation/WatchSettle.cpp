// After a file's send: the file renamed as its outcome says (or left, when
// it changed meanwhile), the record of what is in flight kept, renames that
// failed retried, and what an earlier run left in flight settled.
#include <QThread>
#include <cerrno>
#include <unistd.h>

#include "FormState.h"
#include "Journal.h"
#include "WatchTurn.h"
#include "archive_files.h"
#include "text_helpers.h"

namespace {

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
