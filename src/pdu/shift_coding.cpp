#include "shift_coding.h"

#include <array>
#include <utility>

#include "gsm_alphabet.h"
#include "sms_concat.h"
#include "utf8_text.h"

namespace pdulink {
namespace {

constexpr unsigned kMessageSeptets = 160;
constexpr unsigned kMessageUnits = 70;

// Header octets of one part, its length octet included.
unsigned HeaderOctets(bool concatenated, bool ref16, ShiftTables t) {
  unsigned n = concatenated ? (ref16 ? 6u : 5u) : 0u;
  if (t.single != 0) n += 3;
  if (t.locking != 0) n += 3;
  return n == 0 ? 0 : n + 1;
}

// Septets left for the text beside the header and its fill bits.
unsigned Room(bool concatenated, bool ref16, ShiftTables t) {
  return kMessageSeptets - (HeaderOctets(concatenated, ref16, t) * 8 + 6) / 7;
}

// One coding and the septets of every character in it (0: it lacks the
// character).
struct Candidate {
  ShiftTables tables;
  std::vector<std::uint16_t> code;  // septet, or 0x1B00 | septet for an escape pair
  std::vector<std::uint8_t> cost;   // 1, 2, or 0
};

// The septet (or escape pair) of one character and what it costs, 0 when
// the tables lack it.
std::pair<std::uint16_t, std::uint8_t> CodeOf(ShiftTables t, char32_t ch) {
  int s = LockingShiftSeptet(t.locking, ch);
  if (s >= 0) return {static_cast<std::uint16_t>(s), 1};
  s = SingleShiftSeptet(t.single, ch);
  if (s >= 0) return {static_cast<std::uint16_t>(kGsmEscape << 8 | s), 2};
  return {0, 0};
}

Candidate Cost(ShiftTables t, std::u32string_view chars) {
  Candidate c{t, {}, {}};
  c.code.resize(chars.size());
  c.cost.resize(chars.size());
  // ASCII, most of most texts, from a small table of its own.
  std::array<std::pair<std::uint16_t, std::uint8_t>, 128> ascii;
  for (char32_t ch = 0; ch < 128; ++ch) ascii[ch] = CodeOf(t, ch);
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const auto [code, cost] = chars[i] < 128 ? ascii[chars[i]] : CodeOf(t, chars[i]);
    c.code[i] = code;
    c.cost[i] = cost;
  }
  return c;
}

// The end of a part that begins at `from` and holds at most `room` septets.
std::size_t Reach(const Candidate& c, std::size_t from, unsigned room) {
  unsigned used = 0;
  std::size_t i = from;
  while (i < c.cost.size() && c.cost[i] != 0 && used + c.cost[i] <= room) used += c.cost[i++];
  return i;
}

ShiftedPart PartOf(const Candidate& c, std::size_t from, std::size_t to) {
  ShiftedPart p{c.tables, {}};
  p.septets.reserve(2 * (to - from));
  for (std::size_t i = from; i < to; ++i) {
    if (c.code[i] >> 8) p.septets.push_back(static_cast<char>(kGsmEscape));
    p.septets.push_back(static_cast<char>(c.code[i] & 0x7F));
  }
  return p;
}

}  // namespace

ShiftPlan PlanShiftedText(std::u32string_view chars, const std::vector<std::uint8_t>& languages, bool ref16) {
  // The codings in the order ties are settled: default, single shift,
  // locking shift (alone, then with the same language's single shift).
  // Identifiers outside 1..13 name no table and are passed over.
  auto known = [](std::uint8_t l) { return l != 0 && HasSingleShift(l); };
  std::vector<Candidate> codings;
  codings.push_back(Cost({}, chars));
  for (std::uint8_t l : languages) {
    if (known(l)) codings.push_back(Cost({0, l}, chars));
  }
  for (std::uint8_t l : languages) {
    if (!known(l) || !HasLockingShift(l)) continue;
    codings.push_back(Cost({l, 0}, chars));
    codings.push_back(Cost({l, l}, chars));
  }

  const std::u16string units = ToUtf16(chars);
  const int ucs2Parts = units.size() <= kMessageUnits
                            ? 1
                            : static_cast<int>(CutUnits(units, ref16 ? kUcs2UnitsPerPart - 1 : kUcs2UnitsPerPart).size() - 1);
  ShiftPlan plan;
  plan.partsNeeded = ucs2Parts;
  plan.ucs2 = true;

  std::vector<ShiftedPart> parts;
  for (const Candidate& c : codings) {
    if (Reach(c, 0, Room(false, ref16, c.tables)) == chars.size()) {
      parts.push_back(PartOf(c, 0, chars.size()));
      break;
    }
  }
  if (parts.empty()) {
    std::size_t from = 0;
    while (from < chars.size()) {
      const Candidate* best = nullptr;
      std::size_t bestEnd = from;
      for (const Candidate& c : codings) {
        const std::size_t end = Reach(c, from, Room(true, ref16, c.tables));
        if (end > bestEnd) {
          best = &c;
          bestEnd = end;
        }
      }
      if (best == nullptr) return plan;  // no 7-bit coding holds this character
      parts.push_back(PartOf(*best, from, bestEnd));
      from = bestEnd;
    }
  }
  if (static_cast<int>(parts.size()) > ucs2Parts) return plan;
  plan.ucs2 = false;
  plan.partsNeeded = static_cast<int>(parts.size());
  for (const ShiftedPart& p : parts) plan.shifted |= p.tables != ShiftTables{};
  if (plan.shifted) plan.parts = std::move(parts);
  return plan;
}

std::string UserDataHeader(bool concatenated, bool ref16, std::uint16_t reference, int total, int seq,
                           ShiftTables tables) {
  std::string h;
  const unsigned length = HeaderOctets(concatenated, ref16, tables);
  if (length == 0) return h;
  h.push_back(static_cast<char>(length - 1));
  if (concatenated) {
    if (ref16) {
      h += {static_cast<char>(kIeiConcat16), 4, static_cast<char>(reference >> 8)};
    } else {
      h += {static_cast<char>(kIeiConcat8), 3};
    }
    h += {static_cast<char>(reference & 0xFF), static_cast<char>(total), static_cast<char>(seq)};
  }
  if (tables.single != 0) h += {static_cast<char>(kIeiSingleShift), 1, static_cast<char>(tables.single)};
  if (tables.locking != 0) h += {static_cast<char>(kIeiLockingShift), 1, static_cast<char>(tables.locking)};
  return h;
}

}  // namespace pdulink
