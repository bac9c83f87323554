// What the receiving record carries from one pass to the next: names
// reserved before any file is written, messages an earlier pass archived
// picked up where it stopped, entries of messages gone from the phone
// forgotten, and the temporary files of a killed run swept away.
#include <QCheckBox>

#include <algorithm>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "ReceivedRecord.h"
#include "Receiving.h"
#include "Settling.h"
#include "archive_files.h"
#include "sms_archive.h"
#include "sms_decode.h"
#include "sms_join.h"

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

bool Receiving::ReserveNames(Settling& s) {
  SweepTemporaries();
  bool reserved = MatchRecorded(s);
  for (size_t i = 0; i < s.listed.size(); ++i) {
    if (s.listed[i].pdu.empty() || !s.before[i].empty() || !s.names[i].empty()) continue;
    s.names[i] = NextFreeName();
    s.record->archived.push_back({s.digests[i], OnDisk(s.names[i]), {}});
    s.touched.push_back(OnDisk(s.names[i]));
    reserved = true;
  }
  // Nothing is archived that the record does not know of; the messages
  // stay on the phone and the listing stays owed.
  return !reserved || SaveRecord(*s.record);
}

bool Receiving::MatchRecorded(Settling& s) {
  std::vector<bool> matched(s.record->archived.size(), false);
  bool reserved = false;
  for (size_t i = 0; i < s.listed.size(); ++i) {
    if (s.listed[i].pdu.empty()) continue;
    s.digests[i] = PduDigest(s.listed[i].pdu);
    for (size_t j = 0; j < s.record->archived.size(); ++j) {
      ArchivedEntry& e = s.record->archived[j];
      if (matched[j] || e.digest != s.digests[i]) continue;
      matched[j] = true;
      s.touched.push_back(e.stem);
      if (e.done.files) {
        s.before[i] = e.stem;
      } else if (!e.done.Any() && StemArchived(e.stem)) {
        e.done = {true, true, true};  // archived before steps were recorded
        s.before[i] = e.stem;
      } else {
        // Cut short by a kill or a failure: whatever it left of the files
        // goes, and they are written again under the same name.
        RemoveStemFiles(e.stem);
        s.names[i] = e.stem.substr(e.stem.rfind('/') + 1);
        if (e.stem != OnDisk(s.names[i])) {
          e.stem = OnDisk(s.names[i]);  // the log directory changed meanwhile
          s.touched.push_back(e.stem);
          reserved = true;
        }
      }
      break;
    }
  }
  return reserved;
}

void Receiving::ForgetVanished(Settling& s) {
  // A whole listing of the read messages shows every one still on the
  // phone: entries of the others are of messages deleted meanwhile.
  auto& a = s.record->archived;
  a.erase(std::remove_if(a.begin(), a.end(),
                         [&](const ArchivedEntry& e) {
                           return std::find(s.touched.begin(), s.touched.end(), e.stem) == s.touched.end();
                         }),
          a.end());
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
