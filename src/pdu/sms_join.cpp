#include "sms_join.h"

#include <charconv>

#include "state_file.h"

namespace pdulink {
namespace {

constexpr std::string_view kStateHeader = "PDULINKJ 1";

unsigned HexOctetAt(std::string_view h, std::size_t p) {
  auto nibble = [](char c) -> unsigned {
    if (c >= '0' && c <= '9') return unsigned(c - '0');
    if (c >= 'A' && c <= 'F') return unsigned(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return unsigned(c - 'a' + 10);
    return 0;
  };
  return nibble(h[p]) << 4 | nibble(h[p + 1]);
}

// The digest a joined part is remembered by; never 0 (0 marks a gap).
std::uint64_t PartDigest(std::uint8_t seq, std::string_view text) {
  std::uint64_t h = 14695981039346656037ull ^ seq;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h == 0 ? 1 : h;
}

JoinKey KeyOf(const ConcatPart& p) { return {p.sender, p.reference, p.ref16, p.total}; }

}  // namespace

bool HeaderHasRef16(std::string_view h) {
  bool ref16 = false;
  std::size_t p = 0;
  while (p + 4 <= h.size()) {
    unsigned id = HexOctetAt(h, p);
    unsigned len = HexOctetAt(h, p + 2);
    std::size_t end = p + 4 + 2 * std::size_t(len);
    if (end > h.size()) break;
    if (id == 0x00 && len == 3) ref16 = false;
    if (id == 0x08 && len == 4) ref16 = true;
    p = end;
  }
  return ref16;
}

std::optional<ConcatPart> PartFromDecode(const tSMSDecode& d, std::string_view stem, std::int64_t now) {
  if (d.HasError || !d.IsConcatenated || d.Mti != static_cast<std::uint8_t>(MessageType::Deliver))
    return std::nullopt;
  if (d.ConcatTotal < 2 || d.ConcatPart < 1 || d.ConcatPart > d.ConcatTotal) return std::nullopt;
  ConcatPart p;
  p.sender = d.Address;
  p.addrType = d.AddrType;
  p.smsc = d.SmscNumber;
  p.firstOctet = d.FirstOctet;
  p.coding = d.Coding;
  p.reference = d.ConcatRef;
  p.ref16 = HeaderHasRef16(d.HeaderHex);
  p.total = d.ConcatTotal;
  p.seq = d.ConcatPart;
  p.text = d.Text;
  p.timeText = d.TimeText;
  p.stem = std::string(stem);
  p.arrived = now;
  return p;
}

ArchiveReport BuildJoinedReport(const JoinedMessage& m) {
  // The joined message as a decoder would show one plain SMS-DELIVER.
  tSMSDecode d;
  d.SmscNumber = m.first.smsc;
  d.FirstOctet = static_cast<std::uint8_t>(m.first.firstOctet & ~0x40u);
  d.AddrType = m.first.addrType;
  d.Address = m.first.sender;
  d.Mti = static_cast<std::uint8_t>(MessageType::Deliver);
  d.Coding = m.first.coding;
  d.TimeText = m.first.timeText;
  d.Text = m.text;
  ArchiveReport r = BuildArchiveReport(d);
  auto attribute = [&](std::string_view name, std::string_view value) {
    r.attributes.push_back(std::string(name) + "=\"" + EscapeXmlAttribute(value) + "\"");
  };
  attribute("REFNUM", std::to_string(m.key.reference));
  attribute("PARTS", std::to_string(m.key.total));
  if (m.incomplete) {
    attribute("INCOMPLETE", "1");
    attribute("RECEIVED", std::to_string(m.received));
  }
  return r;
}

JoinedFiles BuildJoinedFiles(const JoinedMessage& m, bool dosCodepage, bool utf8) {
  JoinedFiles f;
  ArchiveReport r = BuildJoinedReport(m);
  if (dosCodepage && !utf8) ApplyDosCodepage(r.view);
  const std::string name = m.stem + std::string(m.incomplete ? kIncompleteSuffix : kJoinedSuffix);
  f.txtName = name + ".txt";
  f.xmlName = name + ".xml";
  f.txtBytes = ArchiveTxtBytes(r.view);
  f.xmlBytes = ArchiveXmlBytes(r, utf8);
  f.journalLine = "Joined Message:" + std::to_string(m.key.reference) + "  ";
  if (m.incomplete) {
    f.journalLine += std::to_string(m.received) + " of " + std::to_string(m.key.total) + " parts, incomplete: ";
  } else {
    f.journalLine += std::to_string(m.key.total) + " parts: ";
  }
  f.journalLine += f.txtName;
  return f;
}

PartJoiner::PartJoiner(std::string statePath, int timeoutHours)
    : path_(std::move(statePath)), timeout_(std::int64_t(timeoutHours < 1 ? 1 : timeoutHours) * 3600) {}

bool PartJoiner::Add(ConcatPart part) {
  if (part.seq < 1 || part.seq > part.total) return false;
  const JoinKey key = KeyOf(part);
  const std::size_t index = part.seq - 1u;
  auto done = done_.find(key);
  if (done != done_.end()) {
    if (part.arrived - done->second.at >= timeout_) {
      done_.erase(done);
      dirty_ = true;
    } else if (done->second.digests[index] == PartDigest(part.seq, part.text)) {
      return false;
    }
  }
  Waiting& w = pending_[key];
  if (w.parts.empty()) {
    w.parts.resize(part.total);
    w.since = part.arrived;
  }
  if (w.parts[index]) return false;
  if (part.arrived < w.since) w.since = part.arrived;
  if (w.since < earliest_) earliest_ = w.since;
  w.parts[index] = std::move(part);
  if (++w.count == key.total) complete_.insert(key);
  dirty_ = true;
  return true;
}

JoinedMessage PartJoiner::Build(const JoinKey& key, const Waiting& w) {
  JoinedMessage m;
  m.key = key;
  m.received = w.count;
  m.incomplete = w.count != key.total;
  const ConcatPart* latest = nullptr;
  for (const auto& p : w.parts) {
    if (!p) {
      m.text += kMissingPartText;
      continue;
    }
    if (m.first.seq == 0) m.first = *p;
    m.text += p->text;
    if (!latest || std::tie(p->arrived, p->stem) > std::tie(latest->arrived, latest->stem)) latest = &*p;
  }
  m.first.text.clear();
  m.stem = latest ? latest->stem : std::string();
  return m;
}

std::vector<JoinedMessage> PartJoiner::Ready(std::int64_t now) const {
  std::vector<JoinedMessage> out;
  if (earliest_ != kNever && now - earliest_ >= timeout_) {
    for (const auto& [key, w] : pending_)
      if (w.count == key.total || now - w.since >= timeout_) out.push_back(Build(key, w));
  } else {
    // Nothing has waited long enough: only the complete ones.
    for (const JoinKey& key : complete_) out.push_back(Build(key, pending_.at(key)));
  }
  return out;
}

void PartJoiner::Joined(const JoinedMessage& m, std::int64_t now) {
  auto it = pending_.find(m.key);
  if (it == pending_.end()) return;
  Done d;
  d.at = now;
  d.digests.assign(m.key.total, 0);
  for (const auto& p : it->second.parts)
    if (p) d.digests[p->seq - 1u] = PartDigest(p->seq, p->text);
  done_[m.key] = std::move(d);
  if (now < oldestDone_) oldestDone_ = now;
  const std::int64_t since = it->second.since;
  complete_.erase(m.key);
  pending_.erase(it);
  if (since == earliest_) {
    earliest_ = kNever;
    for (const auto& [key, w] : pending_)
      if (w.since < earliest_) earliest_ = w.since;
  }
  Prune(now);
  dirty_ = true;
}

void PartJoiner::Prune(std::int64_t now) {
  if (oldestDone_ == kNever || now - oldestDone_ < timeout_) return;
  oldestDone_ = kNever;
  for (auto it = done_.begin(); it != done_.end();) {
    if (now - it->second.at >= timeout_) {
      it = done_.erase(it);
    } else {
      if (it->second.at < oldestDone_) oldestDone_ = it->second.at;
      ++it;
    }
  }
}

std::string PartJoiner::Serialize() const {
  std::string out(kStateHeader);
  out.push_back('\n');
  for (const auto& [key, w] : pending_) {
    for (const auto& p : w.parts) {
      if (!p) continue;
      out += "P\t";
      AppendEscaped(out, p->sender);
      out += '\t' + std::to_string(p->addrType) + '\t';
      AppendEscaped(out, p->smsc);
      out += '\t' + std::to_string(p->firstOctet) + '\t' + std::to_string(p->coding) + '\t' +
             std::to_string(p->reference) + '\t' + (p->ref16 ? "1" : "0") + '\t' + std::to_string(p->total) +
             '\t' + std::to_string(p->seq) + '\t' + std::to_string(p->arrived) + '\t';
      AppendEscaped(out, p->stem);
      out += '\t';
      AppendEscaped(out, p->timeText);
      out += '\t';
      AppendEscaped(out, p->text);
      out += '\n';
    }
  }
  for (const auto& [key, d] : done_) {
    out += "D\t";
    AppendEscaped(out, key.sender);
    out += '\t' + std::to_string(key.reference) + '\t' + (key.ref16 ? "1" : "0") + '\t' +
           std::to_string(key.total) + '\t' + std::to_string(d.at) + '\t';
    char buf[17];
    for (std::size_t i = 0; i < d.digests.size(); ++i) {
      if (i) out.push_back(',');
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d.digests[i], 16);
      (void)ec;
      out.append(buf, end);
    }
    out += '\n';
  }
  return out;
}

bool PartJoiner::ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> f = SplitTabs(line);
  unsigned ref16 = 0;
  if (f[0] == "P" && f.size() == 14) {
    ConcatPart p;
    unsigned addrType = 0, firstOctet = 0, coding = 0, total = 0, seq = 0;
    if (!Unescape(f[1], p.sender) || !ParseField(f[2], addrType) || !Unescape(f[3], p.smsc) ||
        !ParseField(f[4], firstOctet) || !ParseField(f[5], coding) || !ParseField(f[6], p.reference) || !ParseField(f[7], ref16) ||
        !ParseField(f[8], total) || !ParseField(f[9], seq) || !ParseField(f[10], p.arrived) || !Unescape(f[11], p.stem) ||
        !Unescape(f[12], p.timeText) || !Unescape(f[13], p.text))
      return false;
    if (addrType > 0xFF || firstOctet > 0xFF || coding > 0xFF || ref16 > 1 || total < 2 || total > 0xFF ||
        seq < 1 || seq > total)
      return false;
    p.addrType = static_cast<std::uint8_t>(addrType);
    p.firstOctet = static_cast<std::uint8_t>(firstOctet);
    p.coding = static_cast<std::uint8_t>(coding);
    p.ref16 = ref16 == 1;
    p.total = static_cast<std::uint8_t>(total);
    p.seq = static_cast<std::uint8_t>(seq);
    Add(std::move(p));
    return true;
  }
  if (f[0] == "D" && f.size() == 7) {
    JoinKey key;
    unsigned total = 0;
    Done d;
    if (!Unescape(f[1], key.sender) || !ParseField(f[2], key.reference) || !ParseField(f[3], ref16) ||
        !ParseField(f[4], total) || !ParseField(f[5], d.at) || ref16 > 1 || total < 2 || total > 0xFF)
      return false;
    key.ref16 = ref16 == 1;
    key.total = static_cast<std::uint8_t>(total);
    std::string_view list = f[6];
    for (std::size_t start = 0;;) {
      std::size_t comma = list.find(',', start);
      std::uint64_t digest = 0;
      if (!ParseField(list.substr(start, comma - start), digest, 16)) return false;
      d.digests.push_back(digest);
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (d.digests.size() != total) return false;
    if (d.at < oldestDone_) oldestDone_ = d.at;
    done_[key] = std::move(d);
    return true;
  }
  return false;
}

bool PartJoiner::Load(std::string* error) {
  pending_.clear();
  complete_.clear();
  earliest_ = kNever;
  done_.clear();
  oldestDone_ = kNever;
  dropped_ = 0;
  dirty_ = false;
  const bool read = ReadRecordFile(path_, kStateHeader, [this](std::string_view line) {
    if (!ParseLine(line)) ++dropped_;
  }, error);
  if (!read) return false;
  dirty_ = false;
  return true;
}

bool PartJoiner::Save(std::string* error) {
  if (!dirty_) return true;
  if (!WriteStateFile(path_, Serialize(), error)) return false;
  dirty_ = false;
  return true;
}

}  // namespace pdulink
