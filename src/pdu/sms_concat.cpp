#include "sms_concat.h"

#include <bit>
#include <cstring>

#include "codepage.h"
#include "gsm_alphabet.h"
#include "sms_msg.h"
#include "shift_coding.h"
#include "state_file.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace pdulink {
namespace {

// What one message holds without a header.
constexpr unsigned kSingleSeptets = 160;
constexpr unsigned kSingleUcs2Units = 70;

// Octets in memory order as a number whose low byte is the first octet.
std::uint64_t le64(std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) return v;
  return __builtin_bswap64(v);
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

unsigned SeptetsPerPart(bool ref16) { return ref16 ? kSeptetsPerPart - 1 : kSeptetsPerPart; }
unsigned UnitsPerPart(bool ref16) { return ref16 ? kUcs2UnitsPerPart - 1 : kUcs2UnitsPerPart; }

// Writes `octets` octets of the bit stream at `from` moved up by `shift`
// bits (1..6) to `to`: the low bits of the first octet are 0, and the bits
// shifted out of each octet go into the next. The source holds at least
// `octets` octets; the last octet's top bits that fall out are 0.
void ShiftUp(const std::uint8_t* from, unsigned octets, unsigned shift, std::uint8_t* to) {
  std::uint64_t carry = 0;
  unsigned i = 0;
  for (; i + 8 <= octets; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, from + i, 8);
    v = le64(v);
    const std::uint64_t out = le64(v << shift | carry);
    std::memcpy(to + i, &out, 8);
    carry = v >> (64u - shift);
  }
  for (; i < octets; ++i) {
    const unsigned v = from[i];
    to[i] = static_cast<std::uint8_t>(v << shift | carry);
    carry = v >> (8u - shift);
  }
}

// 0x80 in every byte of `x` that is zero, 0 in the others.
std::uint64_t ZeroBytes(std::uint64_t x) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// False when CollapseBlanks would return the text unchanged: no control
// character and no two blanks in a row (the body is already trimmed).
// Eight bytes at a time.
bool NeedsCollapsing(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  bool blank = false;  // the byte before is a blank
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    w = le64(w);
    if (ZeroBytes(w & 0xE0E0E0E0E0E0E0E0ull)) return true;  // a byte below 0x20
    const std::uint64_t blanks = ZeroBytes(w ^ 0x2020202020202020ull);
    if (blanks & ((blanks << 8) | (blank ? 0x80u : 0u))) return true;
    blank = (blanks >> 63) != 0;
  }
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c < 0x20 || (c == 0x20 && blank)) return true;
    blank = c == 0x20;
  }
  return false;
}

// The septets of a collapsed cp1251 text, as AddText packs them (an
// escape pair for a character of the extension table). One table look-up
// a byte, no branch.
std::string TextSeptets(std::string_view text) {
  std::string out(2 * text.size(), '\0');
  char* o = out.data();
  std::size_t n = 0;
  for (unsigned char c : text) {
    const std::uint16_t code = GsmEncodeTable[c];
    o[n] = static_cast<char>(kGsmEscape);
    n += (code >> 8) != 0;
    o[n++] = static_cast<char>(code & 0x7F);
  }
  out.resize(n);
  return out;
}

// Octets of the user data AssembleSubmit wrote for `userDataLength`.
std::size_t UserDataOctets(int userDataLength, bool ucs2) {
  auto n = static_cast<std::size_t>(userDataLength);
  return ucs2 ? n : (n * 7 + 7) / 8;
}

// Appends the septets of one part after the header octets already in `b`:
// fill bits up to a septet boundary, then the septets. Returns the
// user-data length in septets, the header's included.
unsigned AppendSeptetsAfterHeader(tSMSmsg& b, std::string_view septets) {
  const unsigned headerBits = b.Length * 8u;
  const unsigned fill = (7u - headerBits % 7u) % 7u;
  if (fill == 0) return headerBits / 7u + b.AddSeptets(septets);
  // The septets are packed from an octet boundary (the builder's fast way)
  // and then moved up by the fill bits that follow the header.
  tSMSmsg packed;
  const unsigned partSeptets = packed.AddSeptets(septets);
  const unsigned bits = fill + partSeptets * 7u;
  ShiftUp(packed.Buffer.data(), (bits + 7u) / 8u, fill, b.Buffer.data() + b.Length);
  b.Length = static_cast<std::uint8_t>(b.Length + bits / 8u);
  b.BitPos = static_cast<std::uint8_t>(bits % 8u);
  return (headerBits + fill) / 7u + partSeptets;
}

void PushHeader(tSMSmsg& b, const std::string& header) {
  for (char c : header) b.PushByte(static_cast<std::uint8_t>(c));
}

}  // namespace

unsigned SeptetCount(std::string_view text) {
  unsigned n = 0;
  for (unsigned char c : text) n += (GsmEncodeTable[c] >> 8) ? 2u : 1u;
  return n;
}

std::vector<std::size_t> CutSeptetText(std::string_view text, unsigned perPart) {
  std::vector<std::size_t> cuts{0};
  unsigned used = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned cost = (GsmEncodeTable[static_cast<unsigned char>(text[i])] >> 8) ? 2u : 1u;
    if (used + cost > perPart) {
      cuts.push_back(i);
      used = 0;
    }
    used += cost;
  }
  cuts.push_back(text.size());
  return cuts;
}

std::vector<std::size_t> CutUnits(std::u16string_view units, unsigned perPart) {
  std::vector<std::size_t> cuts{0};
  std::size_t start = 0;
  while (units.size() - start > perPart) {
    std::size_t end = start + perPart;
    // A high surrogate last in the part goes to the next one with its pair.
    if (perPart > 1 && IsHighSurrogate(units[end - 1])) --end;
    cuts.push_back(end);
    start = end;
  }
  cuts.push_back(units.size());
  return cuts;
}

PartCount CountParts(std::string_view body, bool ref16, bool utf8, const std::vector<std::uint8_t>& shiftTables) {
  PartCount c;
  const std::string text = CollapseBlanks(TrimBlanks(body));
  if (utf8) {
    c.characters = 0;
    for (unsigned char ch : text) c.characters += (ch & 0xC0) != 0x80;
    if (!shiftTables.empty()) {
      const Utf8Decoded d = DecodeUtf8(text);
      if (d.ok) {
        const ShiftPlan plan = PlanShiftedText(d.chars, shiftTables, ref16);
        c.ucs2 = plan.ucs2;
        c.parts = plan.partsNeeded;
        return c;
      }
    }
    const OutgoingText chosen = ChooseCoding(text);
    c.ucs2 = chosen.ucs2;
    if (c.ucs2 && chosen.units.size() > kSingleUcs2Units)
      c.parts = static_cast<int>(CutUnits(chosen.units, UnitsPerPart(ref16)).size() - 1);
    else if (!c.ucs2 && chosen.septets.size() > kSingleSeptets)
      c.parts = static_cast<int>(CutSeptets(chosen.septets, SeptetsPerPart(ref16)).size() - 1);
    return c;
  }
  c.characters = static_cast<int>(text.size());
  c.ucs2 = NeedsUcs2(text);
  if (c.ucs2) {
    // cp1251 gives one UTF-16 unit a character, never a surrogate.
    if (text.size() > kSingleUcs2Units)
      c.parts = static_cast<int>((text.size() + UnitsPerPart(ref16) - 1) / UnitsPerPart(ref16));
  } else if (SeptetCount(text) > kSingleSeptets) {
    c.parts = static_cast<int>(CutSeptetText(text, SeptetsPerPart(ref16)).size() - 1);
  }
  return c;
}

namespace {

// What every part shares: what AssembleSubmit wrote before the user-data
// length (service centre, first octet, destination, PID, DCS, validity
// period), the first octet with TP-UDHI, and the DCS `dcs` when given.
std::string PartHead(const SubmitPdu& base, int dcs = -1) {
  const bool ucs2 = (base.dataCoding & kDcsUcs2) != 0;
  const std::size_t headLength = base.pduHex.size() - 2 - 2 * UserDataOctets(base.userDataLength, ucs2);
  std::string head = base.pduHex.substr(0, headLength);
  const std::size_t firstAt = base.smscField.size();
  auto nibble = [](char c) { return c <= '9' ? unsigned(c - '0') : unsigned(c - 'A' + 10); };
  const unsigned first = (nibble(head[firstAt]) << 4 | nibble(head[firstAt + 1])) | kSubmitUdhi;
  head.replace(firstAt, 2, ByteToHex(first));
  // The validity period (always relative) is the last octet, the DCS the
  // one before it.
  if (dcs >= 0) head.replace(head.size() - 4, 2, ByteToHex(static_cast<unsigned>(dcs)));
  return head;
}

// The part `seq` of `total`: the shared head, the user-data length, the
// header and the text after it.
SubmitPart MakePart(const std::string& head, std::size_t firstAt, const tSMSmsg& b, unsigned udl, int seq,
                    int total) {
  SubmitPart part;
  part.seq = seq;
  part.total = total;
  part.userDataLength = static_cast<int>(udl);
  part.pduHex.reserve(head.size() + 2 + 2u * tSMSmsg::kCapacity);
  part.pduHex.append(head).append(ByteToHex(udl));
  b.AppendHex(part.pduHex);
  part.cmgsLength = static_cast<int>((part.pduHex.size() - firstAt) / 2);
  return part;
}

// False (with the journal line in r) when the message needs more parts than
// allowed; otherwise takes the reference for the parts.
bool TakeReference(ConcatSubmit& r, int total, const ConcatChoices& concat, std::uint16_t reference) {
  r.partsNeeded = total;
  const int maxParts = concat.maxParts < 1 ? 1 : (concat.maxParts > kMaxPartsLimit ? kMaxPartsLimit : concat.maxParts);
  if (total > maxParts) {
    r.tooManyParts = true;
    r.errorLine = "Message too long: " + std::to_string(total) + " parts, MaxParts=" + std::to_string(maxParts) +
                  ": not sent";
    return false;
  }
  r.usesReference = true;
  r.reference = concat.ref16 ? reference : static_cast<std::uint16_t>(reference & 0xFF);
  return true;
}

// The message as the 7-bit parts of a plan with national tables: one
// message with the shift elements, or concatenated parts with them.
ConcatSubmit ShiftedSubmit(ConcatSubmit r, const ShiftPlan& plan, const ConcatChoices& concat,
                           std::uint16_t reference) {
  SubmitPdu& base = r.base;
  const int total = static_cast<int>(plan.parts.size());
  const bool concatenated = total > 1;
  if (concatenated && !TakeReference(r, total, concat, reference)) return r;
  const auto dcs = static_cast<std::uint8_t>(base.dataCoding & ~kDcsUcs2);
  const std::string head = PartHead(base, dcs);
  const std::size_t firstAt = base.smscField.size();
  r.parts.reserve(plan.parts.size());
  for (int seq = 1; seq <= total; ++seq) {
    const ShiftedPart& p = plan.parts[static_cast<std::size_t>(seq - 1)];
    tSMSmsg b;
    PushHeader(b, UserDataHeader(concatenated, concat.ref16, r.reference, total, seq, p.tables));
    const unsigned udl = AppendSeptetsAfterHeader(b, p.septets);
    r.parts.push_back(MakePart(head, firstAt, b, udl, seq, total));
  }
  if (!concatenated) {
    // The one message is the base message now.
    base.pduHex = r.parts[0].pduHex;
    base.cmgsLength = r.parts[0].cmgsLength;
    base.userDataLength = r.parts[0].userDataLength;
    base.dataCoding = dcs;
  }
  return r;
}

// The body as the builder takes it; most bodies need no collapsing.
std::string_view BuilderText(std::string_view body, std::string& collapsed) {
  if (!NeedsCollapsing(body)) return body;
  collapsed = CollapseBlanks(body);
  return collapsed;
}

// A text in its coding and where its parts begin and end (cuts[0] = 0,
// cuts.back() = its length).
struct CutText {
  std::u16string units;  // UCS2
  std::string septets;   // the 7-bit alphabet
  std::vector<std::size_t> cuts;
};

// Cuts the text into parts; false when it fits into one message.
bool CutIntoParts(std::string_view text, bool utf8Body, bool ucs2, bool ref16, CutText& out) {
  if (utf8Body) {
    OutgoingText chosen = ChooseCoding(text);
    out.units = std::move(chosen.units);
    out.septets = std::move(chosen.septets);
  } else if (ucs2) {
    out.units = AnsiToWide(text);
  } else {
    // Turned into septets once, then cut and packed as a UTF-8 body's.
    out.septets = TextSeptets(text);
  }
  if (ucs2) {
    if (out.units.size() <= kSingleUcs2Units) return false;
    out.cuts = CutUnits(out.units, UnitsPerPart(ref16));
  } else {
    if (out.septets.size() <= kSingleSeptets) return false;
    out.cuts = CutSeptets(out.septets, SeptetsPerPart(ref16));
  }
  return true;
}

// One PDU a part, each with its concatenation header.
void BuildParts(ConcatSubmit& r, const CutText& text, bool ucs2, bool ref16, int total) {
  const std::string head = PartHead(r.base);
  const std::size_t firstAt = r.base.smscField.size();
  r.parts.reserve(static_cast<std::size_t>(total));
  for (int seq = 1; seq <= total; ++seq) {
    const std::size_t from = text.cuts[static_cast<std::size_t>(seq - 1)];
    const std::size_t to = text.cuts[static_cast<std::size_t>(seq)];
    tSMSmsg b;
    PushHeader(b, UserDataHeader(true, ref16, r.reference, total, seq, {}));
    unsigned udl = 0;
    if (ucs2) {
      b.AddUcs2Units(std::u16string_view(text.units).substr(from, to - from));
      udl = b.Length;
    } else {
      udl = AppendSeptetsAfterHeader(b, std::string_view(text.septets).substr(from, to - from));
    }
    r.parts.push_back(MakePart(head, firstAt, b, udl, seq, total));
  }
}

}  // namespace

ConcatSubmit AssembleConcatSubmit(std::string_view number, std::string_view body, const SubmitChoices& choices,
                                  const ConcatChoices& concat, std::uint16_t reference) {
  ConcatSubmit r;
  r.base = AssembleSubmit(number, body, choices);
  const SubmitPdu& base = r.base;
  auto single = [&r]() {
    if (r.base.ok) r.parts.push_back({r.base.pduHex, r.base.cmgsLength, r.base.userDataLength, 1, 1});
    return std::move(r);
  };
  if (!base.ok) return single();
  if (!concat.enabled && choices.shiftTables.empty()) return single();

  const bool ucs2 = (base.dataCoding & kDcsUcs2) != 0;
  std::string collapsed;
  const std::string_view text = BuilderText(base.body, collapsed);
  if (choices.utf8Body && !choices.shiftTables.empty()) {
    // AssembleSubmit took the body, so it is well-formed.
    const ShiftPlan plan = PlanShiftedText(DecodeUtf8(text).chars, choices.shiftTables, concat.ref16);
    if (plan.shifted && (concat.enabled || plan.parts.size() == 1))
      return ShiftedSubmit(std::move(r), plan, concat, reference);
  }
  if (!concat.enabled) return single();

  CutText cut;
  if (!CutIntoParts(text, choices.utf8Body, ucs2, concat.ref16, cut)) return single();
  const int total = static_cast<int>(cut.cuts.size() - 1);
  if (!TakeReference(r, total, concat, reference)) return r;
  BuildParts(r, cut, ucs2, concat.ref16, total);
  return r;
}

bool ConcatReferenceCounter::Load() {
  next_ = 0;
  std::string bytes;
  bool exists = false;
  if (!ReadStateFile(path_, bytes, exists)) return false;
  if (!exists) return true;
  auto value = ParseDecimal(TrimBlanks(bytes));
  if (!value || *value < 0 || *value > 0xFFFF) return false;
  next_ = static_cast<std::uint16_t>(*value);
  return true;
}

bool ConcatReferenceCounter::Advance(std::string* error) {
  next_ = static_cast<std::uint16_t>(next_ + 1);
  return WriteStateFile(path_, std::to_string(next_) + "\n", error);
}

}  // namespace pdulink
