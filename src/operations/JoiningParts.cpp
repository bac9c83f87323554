// Joining the parts of long messages (JoinParts): a part whose files are
// kept is taken into the join state of the log directory, the state is
// written before the phone lets the part go, and every message ready gets
// its joined .txt/.xml pair.
#include <QCheckBox>

#include <ctime>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "Receiving.h"
#include "archive_files.h"
#include "sms_decode.h"
#include "sms_join.h"

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
