#include "DeliveryReports.h"

#include <ctime>

#include "FormState.h"
#include "Journal.h"
#include "archive_files.h"
#include "sms_decode.h"

DeliveryReports::DeliveryReports(Context& ctx)
    : Now([] { return static_cast<std::int64_t>(std::time(nullptr)); }), ctx_(ctx) {}
DeliveryReports::~DeliveryReports() = default;

bool DeliveryReports::Enabled() const { return ctx_.state.MatchReports; }

pdulink::SentRecord* DeliveryReports::Record() {
  const std::string path = InBaseDir(ctx_.state, std::string(pdulink::kSentRecordFileName));
  if (record_ && record_->Path() == path) return record_.get();
  auto record = std::make_unique<pdulink::SentRecord>(path);
  if (!record->Load(Now())) {
    // Never replaced by an empty record, which would lose what it holds.
    if (unreadableSaid_ != path) ctx_.journal.WriteLog("Sent record unreadable: " + path);
    unreadableSaid_ = path;
    record_.reset();
    return nullptr;
  }
  unreadableSaid_.clear();
  if (record->DroppedLines() > 0)
    ctx_.journal.WriteLog("Sent record: " + std::to_string(record->DroppedLines()) + " unreadable lines dropped");
  record_ = std::move(record);
  return record_.get();
}

void DeliveryReports::Save() {
  if (!record_) return;
  std::string why;
  if (!record_->Save(&why)) ctx_.journal.WriteLog("Sent record not written: " + record_->Path() + " (" + why + ")");
}

void DeliveryReports::Sent(const std::string& source, const std::string& number, int seq, int total, int reference) {
  if (!Enabled()) return;
  pdulink::SentRecord* record = Record();
  if (!record) return;
  const std::int64_t now = Now();
  record->Prune(now);
  record->AddPart(source, number, seq, total, reference, now);
  Save();
}

void DeliveryReports::Settled(const std::string& source, const std::string& name) {
  if (!Enabled()) return;
  pdulink::SentRecord* record = Record();
  if (!record) return;
  record->Name(source, name);
  Save();
  for (auto it = owed_.begin(); it != owed_.end();) {
    if (it->source != source) {
      ++it;
      continue;
    }
    Owed owed = std::move(*it);
    it = owed_.erase(it);
    if (!name.empty()) {
      owed.matched.name = name;
      owed.matched.reportFile = WriteReportFile(pdulink::ReportFileName(name, owed.suffix), owed.text);
    }
    if (OnMatched) OnMatched(owed.matched);
  }
}

std::string DeliveryReports::WriteReportFile(const std::string& fileName, const std::string& text) {
  // Written before the record keeps the status: a run that ends between
  // the two matches the report again and writes the file once more.
  const std::string path = InBaseDir(ctx_.state, fileName);
  std::string why;
  if (pdulink::ReplaceFileDurably(path, text, &why)) return path;
  ctx_.journal.WriteLog("Report file not written: " + fileName + " (" + why + ")");
  return {};
}

void DeliveryReports::Report(const std::string& pduHex) {
  if (!Enabled()) return;
  pdulink::tSMSDecode sms;
  sms.Decode(pduHex);
  const std::optional<pdulink::StatusReportFacts> facts = pdulink::ReportFactsOf(sms);
  if (!facts) return;
  pdulink::SentRecord* record = Record();
  if (!record) return;
  record->Prune(Now());
  const pdulink::ReportMatch m = record->Match(*facts);
  if (!m.matched) {
    ctx_.journal.WriteLog("Report without a sent message");
    Save();
    return;
  }
  if (m.repeated) return;
  ctx_.journal.WriteLog(m.journalLine);
  std::string written;
  if (!m.reportFileName.empty()) written = WriteReportFile(m.reportFileName, m.reportFileText);
  Save();
  Matched out;
  out.name = m.part.name;
  out.number = m.part.number;
  out.reference = m.part.reference;
  out.status = facts->status;
  out.kind = m.kind;
  out.final = m.kind != pdulink::ReportKind::Temporary;
  out.seq = m.part.seq;
  out.total = m.part.total;
  out.messageDone = m.messageDelivered || m.messageFailed;
  out.reportFile = written;
  if (!m.part.name.empty()) out.sentFile = InBaseDir(ctx_.state, m.part.name);
  out.dischargeTime = facts->dischargeTime;
  // The outgoing file's rename failed and waits for a retry: its report
  // file follows once it has its final name.
  if (out.messageDone && m.part.name.empty() && !m.part.source.empty()) {
    owed_.push_back({m.part.source,
                     std::string(m.messageDelivered ? pdulink::kDeliveredSuffix : pdulink::kUndeliverableSuffix),
                     pdulink::ReportFileText(m.part, *facts), out});
    return;
  }
  if (OnMatched) OnMatched(out);
}

pdulink::ReportCounts DeliveryReports::Counts() {
  pdulink::SentRecord* record = Enabled() ? Record() : nullptr;
  if (!record) return {};
  record->Prune(Now());
  return record->Counts();
}
