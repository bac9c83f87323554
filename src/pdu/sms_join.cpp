#include "sms_join.h"

#include <charconv>

#include "state_file.h"
#include "stored_hex.h"

namespace pdulink {
namespace {

constexpr std::string_view kStateHeader = "PDULINKJ 1";

using stored_hex::HexOctet;

// The digest a joined part is remembered by: its number, text and time
// stamp (a copy delivered again has the same stamp, a new message with the
// same text has its own); never 0 (0 marks a gap).
std::uint64_t PartDigest(const ConcatPart& p) {
  std::uint64_t h = 14695981039346656037ull ^ p.seq;
  auto mix = [&h](std::string_view s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 1099511628211ull;
    }
    h ^= 0xFF;  // keeps "ab"+"c" apart from "a"+"bc"
    h *= 1099511628211ull;
  };
  mix(p.text);
  mix(p.timeText);
  return h == 0 ? 1 : h;
}

bool SamePart(const ConcatPart& a, const ConcatPart& b) {
  return a.seq == b.seq && a.text == b.text && a.timeText == b.timeText;
}

std::size_t BytesOf(const ConcatPart& p) {
  return p.text.size() + p.stem.size() + p.timeText.size() + p.sender.size() + p.smsc.size();
}

JoinKey KeyOf(const ConcatPart& p) { return {p.sender, p.reference, p.ref16, p.total}; }

}  // namespace

bool HeaderHasRef16(std::string_view h) {
  bool ref16 = false;
  std::size_t p = 0;
  while (p + 4 <= h.size()) {
    unsigned id = HexOctet(h, p);
    unsigned len = HexOctet(h, p + 2);
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
  p.zoneQuarters = d.TimeZoneQuarters;
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
    f.journalLine += std::to_string(m.received) + " of " + std::to_string(m.key.total) + " parts, incomplete" +
                     (m.overflow ? " (too many waiting): " : ": ");
  } else {
    f.journalLine += std::to_string(m.key.total) + " parts: ";
  }
  f.journalLine += f.txtName;
  return f;
}

PartJoiner::PartJoiner(std::string statePath, int timeoutHours, JoinLimits limits)
    : path_(std::move(statePath)),
      timeout_(std::int64_t(timeoutHours < 1 ? 1 : timeoutHours) * 3600),
      limits_(limits) {}

bool PartJoiner::IsCopy(const ConcatPart& part) {
  const JoinKey key = KeyOf(part);
  for (auto [it, end] = done_.equal_range(key); it != end;) {
    if (part.arrived - it->second.at >= timeout_) {
      it = done_.erase(it);
      dirty_ = true;
      continue;
    }
    if (it->second.digests[part.seq - 1u] == PartDigest(part)) return true;
    ++it;
  }
  for (auto it = pending_.lower_bound({key, 0}); it != pending_.end() && it->first.key == key; ++it) {
    auto held = it->second.parts.find(part.seq);
    if (held != it->second.parts.end() && SamePart(held->second, part)) return true;
  }
  return false;
}

void PartJoiner::Place(const WaitId& id, ConcatPart part) {
  Waiting& w = pending_[id];
  if (w.parts.empty()) {
    w.since = part.arrived;
  } else if (part.arrived < w.since) {
    byAge_.erase({w.since, id});
    w.since = part.arrived;
  }
  byAge_.insert({w.since, id});
  const std::size_t size = BytesOf(part);
  w.bytes += size;
  bytes_ += size;
  const std::uint8_t seq = part.seq;
  w.parts.emplace(seq, std::move(part));
  if (w.parts.size() == id.key.total) complete_.insert(id);
  if (id.serial >= serial_) serial_ = id.serial + 1;
  dirty_ = true;
}

bool PartJoiner::Add(ConcatPart part) {
  if (part.seq < 1 || part.seq > part.total) return false;
  if (IsCopy(part)) return false;
  const JoinKey key = KeyOf(part);
  // The latest message of the key still lacking this part takes it.
  WaitId target{key, serial_};
  for (auto it = pending_.lower_bound({key, 0}); it != pending_.end() && it->first.key == key; ++it)
    if (!it->second.parts.count(part.seq)) target = it->first;
  Place(target, std::move(part));
  return true;
}

JoinedMessage PartJoiner::Build(const WaitId& id, const Waiting& w) {
  JoinedMessage m;
  m.key = id.key;
  m.id = id.serial;
  m.received = static_cast<int>(w.parts.size());
  m.incomplete = m.received != id.key.total;
  const ConcatPart* latest = nullptr;
  int next = 1;
  for (const auto& [seq, p] : w.parts) {
    for (; next < seq; ++next) m.text += kMissingPartText;
    next = seq + 1;
    if (m.first.seq == 0) m.first = p;
    m.text += p.text;
    if (!latest || std::tie(p.arrived, p.stem) > std::tie(latest->arrived, latest->stem)) latest = &p;
  }
  for (; next <= id.key.total; ++next) m.text += kMissingPartText;
  m.first.text.clear();
  m.stem = latest ? latest->stem : std::string();
  return m;
}

std::vector<JoinedMessage> PartJoiner::Ready(std::int64_t now) const {
  std::map<WaitId, bool> chosen;  // true: over the limits
  for (const WaitId& id : complete_) chosen.emplace(id, false);
  for (const auto& [since, id] : byAge_) {
    if (now - since < timeout_) break;
    chosen.emplace(id, false);
  }
  // Over the limits: the oldest of the rest go too.
  std::size_t count = pending_.size() - chosen.size();
  std::size_t bytes = bytes_;
  for (const auto& [id, over] : chosen) bytes -= pending_.at(id).bytes;
  for (auto it = byAge_.begin(); it != byAge_.end() && (count > limits_.messages || bytes > limits_.bytes); ++it) {
    if (!chosen.emplace(it->second, true).second) continue;
    --count;
    bytes -= pending_.at(it->second).bytes;
  }
  std::vector<JoinedMessage> out;
  out.reserve(chosen.size());
  for (const auto& [id, over] : chosen) {
    out.push_back(Build(id, pending_.at(id)));
    out.back().overflow = over;
  }
  return out;
}

void PartJoiner::Joined(const JoinedMessage& m, std::int64_t now) {
  const WaitId id{m.key, m.id};
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  Done d;
  d.at = now;
  d.digests.assign(m.key.total, 0);
  for (const auto& [seq, p] : it->second.parts) d.digests[seq - 1u] = PartDigest(p);
  done_.emplace(m.key, std::move(d));
  if (now < oldestDone_) oldestDone_ = now;
  complete_.erase(id);
  byAge_.erase({it->second.since, id});
  bytes_ -= it->second.bytes;
  pending_.erase(it);
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
  // A message's parts in rising order, one message after another: a part
  // not above the one before it starts the next message (see Load).
  for (const auto& [id, w] : pending_) {
    for (const auto& [seq, part] : w.parts) {
      const ConcatPart* p = &part;
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
      // The zone's quarters only when not whole hours (older files lack it).
      if (p->zoneQuarters % 4 != 0) out += '\t' + std::to_string(p->zoneQuarters);
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

bool PartJoiner::ParseLine(std::string_view line, std::optional<ConcatPart>& part) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> f = SplitTabs(line);
  unsigned ref16 = 0;
  if (f[0] == "P" && (f.size() == 14 || f.size() == 15)) {
    ConcatPart p;
    unsigned addrType = 0, firstOctet = 0, coding = 0, total = 0, seq = 0;
    if (!Unescape(f[1], p.sender) || !ParseField(f[2], addrType) || !Unescape(f[3], p.smsc) ||
        !ParseField(f[4], firstOctet) || !ParseField(f[5], coding) || !ParseField(f[6], p.reference) || !ParseField(f[7], ref16) ||
        !ParseField(f[8], total) || !ParseField(f[9], seq) || !ParseField(f[10], p.arrived) || !Unescape(f[11], p.stem) ||
        !Unescape(f[12], p.timeText) || !Unescape(f[13], p.text) ||
        (f.size() == 15 && (!ParseField(f[14], p.zoneQuarters) || p.zoneQuarters < -79 || p.zoneQuarters > 79)))
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
    part = std::move(p);
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
    done_.emplace(key, std::move(d));
    return true;
  }
  return false;
}

bool PartJoiner::Load(std::string* error) {
  pending_.clear();
  complete_.clear();
  byAge_.clear();
  bytes_ = 0;
  serial_ = 0;
  done_.clear();
  oldestDone_ = kNever;
  dropped_ = 0;
  dirty_ = false;
  // Parts are written message by message, each in rising order: a part of
  // the same key above the last one read belongs to the same message.
  std::optional<WaitId> current;
  std::uint8_t lastSeq = 0;
  const bool read = ReadRecordFile(path_, kStateHeader, [&](std::string_view line) {
    std::optional<ConcatPart> part;
    if (!ParseLine(line, part)) {
      ++dropped_;
      return;
    }
    if (!part) return;
    const JoinKey key = KeyOf(*part);
    if (!current || !(current->key == key) || part->seq <= lastSeq) current = WaitId{key, serial_};
    lastSeq = part->seq;
    Place(*current, std::move(*part));
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
