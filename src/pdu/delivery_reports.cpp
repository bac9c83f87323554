#include "delivery_reports.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "sms_decode.h"
#include "sms_time.h"
#include "state_file.h"
#include "text_helpers.h"

namespace pdulink {
namespace {

constexpr std::string_view kHeader = "pdulink sent 1";
constexpr std::size_t kSignificantDigits = 7;  // shorter numbers match only exactly

// The digits of a number, and whether it is written in international form
// ("+", or the international prefix "00").
struct Digits {
  std::string digits;
  bool international = false;
};

Digits DigitsOf(std::string_view number) {
  Digits d;
  bool first = true;
  for (char c : number) {
    if (c >= '0' && c <= '9') {
      d.digits.push_back(c);
      first = false;
    } else if (c == '+' && first) {
      d.international = true;
    }
  }
  if (!d.international && d.digits.size() > 2 && d.digits.compare(0, 2, "00") == 0) {
    d.digits.erase(0, 2);
    d.international = true;
  }
  return d;
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether `full` is a country code (1 to 3 digits) followed by the national
// number `national` (written with or without its trunk prefix).
bool InternationalOf(const std::string& full, const std::string& national) {
  std::vector<std::string_view> forms = {national};
  if (!national.empty() && (national[0] == '0' || national[0] == '8')) forms.push_back(std::string_view(national).substr(1));
  for (std::string_view n : forms) {
    if (n.size() < kSignificantDigits || full.size() <= n.size() || full.size() - n.size() > 3) continue;
    if (EndsWith(full, n)) return true;
  }
  return false;
}

// What tells one final report from another for the same part.
std::string SettledBy(const StatusReportFacts& r) { return r.recipient + '\t' + r.dischargeTime; }

std::string Shown(const SentPart& p) { return p.name.empty() ? std::string("message") : p.name; }

std::string PartTag(const SentPart& p, bool wholeMessage) {
  if (p.total <= 1 || wholeMessage) return "";
  return " part " + std::to_string(p.seq) + "/" + std::to_string(p.total);
}

}  // namespace

ReportKind ClassifyStatus(std::uint8_t status) {
  if (status <= 0x02 || (status >= 0x10 && status <= 0x1F)) return ReportKind::Delivered;
  if (status >= 0x20 && status <= 0x3F) return ReportKind::Temporary;
  return ReportKind::Failed;
}

bool SameRecipient(std::string_view a, std::string_view b) {
  const Digits x = DigitsOf(a), y = DigitsOf(b);
  if (x.digits.empty() || y.digits.empty()) return false;
  if (x.digits == y.digits) return true;
  // Two international forms name one number only when they are equal.
  if (x.international && y.international) return false;
  return (!y.international && InternationalOf(x.digits, y.digits)) ||
         (!x.international && InternationalOf(y.digits, x.digits));
}

std::optional<StatusReportFacts> ReportFactsOf(const tSMSDecode& sms) {
  if (sms.Mti != static_cast<std::uint8_t>(MessageType::StatusReport)) return std::nullopt;
  // TP-PI is optional (TS 23.040 9.2.2.3) and many centres leave it out. The
  // decoder insists on it, so such a report is archived as its raw PDU; it
  // still tells the status when the PDU ends right after the status octet.
  const bool endsAfterStatus = sms.HasError && sms.ErrorText == decode_error::kByte && !sms.StatusText.empty() &&
                               sms.OctetIndex == sms.OctetCount;
  if (sms.HasError && !endsAfterStatus) return std::nullopt;
  StatusReportFacts r;
  r.reference = sms.MessageRef;
  r.recipient = (sms.AddrType == 0x91 ? "+" : "") + sms.Address;
  r.status = sms.Status;
  r.statusText = sms.StatusText;
  r.centreTime = ExactTimeText(sms.TimeText, sms.TimeZoneQuarters);
  r.dischargeTime = ExactTimeText(sms.DischargeTime, sms.DischargeZoneQuarters);
  return r;
}

std::string ReportJournalLine(const SentPart& part, ReportKind kind, const StatusReportFacts& r, bool wholeMessage) {
  const std::string who = Shown(part) + PartTag(part, wholeMessage) + " to " + part.number;
  const std::string status = ByteToHex(r.status) + ":" + r.statusText;
  switch (kind) {
    case ReportKind::Delivered: return "Delivered " + who + " at " + r.dischargeTime;
    case ReportKind::Failed: return "Undeliverable " + who + ": " + status;
    case ReportKind::Temporary: return "Delivery pending " + who + ": " + status;
  }
  return {};
}

std::string ReportFileText(const SentPart& part, const StatusReportFacts& r) {
  std::string text = "status=" + ByteToHex(r.status) + "\n";
  text += "text=" + r.statusText + "\n";
  text += "time=" + r.centreTime + "\n";
  text += "discharge=" + r.dischargeTime + "\n";
  text += "number=" + part.number + "\n";
  text += "reference=" + std::to_string(part.reference) + "\n";
  if (part.total > 1) text += "part=" + std::to_string(part.seq) + "/" + std::to_string(part.total) + "\n";
  return text;
}

std::string ReportFileName(const std::string& name, std::string_view suffix) {
  const std::size_t dot = name.rfind('.');
  return (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + std::string(suffix);
}

void SentRecord::AddPart(const std::string& source, const std::string& number, int seq, int total, int reference,
                         std::int64_t now) {
  SentPart p;
  p.seq = seq;
  p.total = total;
  p.reference = reference;
  p.number = number;
  p.sentAt = now;
  p.source = source;
  // A later part joins the message of the part before it, sent just before.
  if (seq > 1 && !parts_.empty()) {
    const SentPart& last = parts_.back();
    if (last.source == source && last.number == number && last.total == total && last.seq == seq - 1)
      p.message = last.message;
  }
  if (p.message == 0) p.message = ++lastMessage_;
  parts_.push_back(std::move(p));
  dirty_ = true;
}

void SentRecord::Name(const std::string& source, const std::string& name) {
  if (source.empty()) return;
  for (SentPart& p : parts_) {
    if (p.source != source || !p.name.empty()) continue;
    p.name = name;
    p.source.clear();  // named, or never to be: the path may be another file's next
    dirty_ = true;
  }
}

SentPart* SentRecord::FindPart(const StatusReportFacts& report, const std::string& by) {
  // The newest part still awaited; else the newest one settled (a report
  // repeated, or one for an older message after a newer one was settled).
  // A final report that settled a part already is that part's, whatever
  // came since with the same reference.
  SentPart* found = nullptr;
  SentPart* settled = nullptr;
  for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) {
    if (it->reference != report.reference || !SameRecipient(it->number, report.recipient)) continue;
    if (it->status < 0) {
      if (!found) found = &*it;
      continue;
    }
    if (it->status == report.status && it->settledBy == by) return &*it;
    if (!settled) settled = &*it;
  }
  return found ? found : settled;
}

int SentRecord::CountSettled(std::uint64_t message, ReportKind kind, const SentPart* except) const {
  int count = 0;
  for (const SentPart& p : parts_)
    if (p.message == message && &p != except && p.status >= 0 &&
        ClassifyStatus(static_cast<std::uint8_t>(p.status)) == kind)
      ++count;
  return count;
}

void SentRecord::Settle(SentPart& found, const StatusReportFacts& report, const std::string& by, ReportMatch& m) {
  // Whether another part of the message failed before this report.
  const bool failedBefore = CountSettled(found.message, ReportKind::Failed, &found) > 0;
  found.status = report.status;
  found.settledBy = by;
  dirty_ = true;
  m.part = found;
  if (m.kind == ReportKind::Delivered)
    m.messageDelivered = !failedBefore && CountSettled(found.message, ReportKind::Delivered, nullptr) == found.total;
  else
    m.messageFailed = !failedBefore;
  m.journalLine = ReportJournalLine(found, m.kind, report, m.messageDelivered);
  if (!found.name.empty() && (m.messageDelivered || m.messageFailed)) {
    m.reportFileName = ReportFileName(found.name, m.messageDelivered ? kDeliveredSuffix : kUndeliverableSuffix);
    m.reportFileText = ReportFileText(found, report);
  }
}

ReportMatch SentRecord::Match(const StatusReportFacts& report) {
  ReportMatch m;
  const std::string by = SettledBy(report);
  SentPart* found = FindPart(report, by);
  if (!found) return m;
  m.matched = true;
  m.kind = ClassifyStatus(report.status);
  if (m.kind == ReportKind::Temporary) {
    m.part = *found;
    m.journalLine = ReportJournalLine(*found, m.kind, report, false);
    return m;
  }
  if (found->status == report.status) {
    m.part = *found;
    m.repeated = true;
    return m;
  }
  Settle(*found, report, by, m);
  return m;
}

void SentRecord::Prune(std::int64_t now) {
  const auto old = [now](const SentPart& p) { return now - p.sentAt >= kSentRecordKeepSeconds; };
  const auto end = std::remove_if(parts_.begin(), parts_.end(), old);
  if (end == parts_.end()) return;
  parts_.erase(end, parts_.end());
  dirty_ = true;
}

ReportCounts SentRecord::Counts() const {
  struct Outcome {
    int total = 1, delivered = 0;
    bool failed = false;
  };
  std::map<std::uint64_t, Outcome> messages;
  for (const SentPart& p : parts_) {
    Outcome& o = messages[p.message];
    o.total = p.total;
    if (p.status < 0) continue;
    if (ClassifyStatus(static_cast<std::uint8_t>(p.status)) == ReportKind::Delivered) ++o.delivered;
    else o.failed = true;
  }
  ReportCounts c;
  for (const auto& [id, o] : messages) {
    if (o.failed) ++c.undeliverable;
    else if (o.delivered >= o.total) ++c.delivered;
    else ++c.awaiting;
  }
  return c;
}

std::string SentRecord::Serialize() const {
  std::string out(kHeader);
  out.push_back('\n');
  for (const SentPart& p : parts_) {
    out += "S\t" + std::to_string(p.message) + '\t' + std::to_string(p.seq) + '\t' + std::to_string(p.total) + '\t' +
           std::to_string(p.reference) + '\t' + std::to_string(p.sentAt) + '\t' + std::to_string(p.status) + '\t';
    AppendEscaped(out, p.number);
    out += '\t';
    AppendEscaped(out, p.name);
    out += '\t';
    AppendEscaped(out, p.source);
    if (!p.settledBy.empty()) {
      out += '\t';
      AppendEscaped(out, p.settledBy);
    }
    out += '\n';
  }
  return out;
}

bool SentRecord::ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> f = SplitTabs(line);
  if ((f.size() != 10 && f.size() != 11) || f[0] != "S") return false;
  SentPart p;
  if (!ParseField(f[1], p.message) || !ParseField(f[2], p.seq) || !ParseField(f[3], p.total) || !ParseField(f[4], p.reference) ||
      !ParseField(f[5], p.sentAt) || !ParseField(f[6], p.status) || !Unescape(f[7], p.number) || !Unescape(f[8], p.name) ||
      !Unescape(f[9], p.source) || (f.size() == 11 && !Unescape(f[10], p.settledBy)))
    return false;
  if (p.message == 0 || p.total < 1 || p.total > 255 || p.seq < 1 || p.seq > p.total || p.reference < 0 ||
      p.reference > 255 || p.status < -1 || p.status > 255)
    return false;
  lastMessage_ = std::max(lastMessage_, p.message);
  parts_.push_back(std::move(p));
  return true;
}

bool SentRecord::Load(std::int64_t now, std::string* error) {
  parts_.clear();
  lastMessage_ = 0;
  dropped_ = 0;
  dirty_ = false;
  const bool read = ReadRecordFile(path_, kHeader, [this](std::string_view line) {
    if (!ParseLine(line)) ++dropped_;
  }, error);
  if (!read) return false;
  Prune(now);
  if (dropped_ > 0) dirty_ = true;
  return true;
}

bool SentRecord::Save(std::string* error) {
  if (!dirty_) return true;
  if (!WriteStateFile(path_, Serialize(), error)) return false;
  dirty_ = false;
  return true;
}

}  // namespace pdulink
