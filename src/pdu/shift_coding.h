// The coding of an outgoing text when national language shift tables may be
// used (ShiftTables=): among the default alphabet, each listed language's
// single shift table and its locking shift table (TS 23.038 6.2.1.2), and
// UCS2, the one that needs the fewest parts, each part's header counted in
// its room (TS 23.040 9.2.3.24.15/16). Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "national_tables.h"

namespace pdulink {

// One 7-bit part: its tables and its septets (escape pairs included, never
// split between parts).
struct ShiftedPart {
  ShiftTables tables;
  std::string septets;
};

struct ShiftPlan {
  // True: the text goes as the 7-bit parts below, at least one of them with
  // a national table. False: no shift table helps (the text goes in the
  // default alphabet or as UCS2, as without ShiftTables).
  bool shifted = false;
  std::vector<ShiftedPart> parts;
  int partsNeeded = 1;  // of the chosen coding, UCS2 included
  bool ucs2 = false;    // UCS2 is the chosen coding
};

// chars: the text's code points. The text fits one message when some coding
// holds it whole (ties: the default alphabet, then single shift, then
// locking shift, in the order of `languages`); otherwise every part is
// filled as far as one of the codings reaches (the same order on ties), in
// the room left by the concatenation element (8-bit or 16-bit reference)
// and the shift elements. UCS2 is chosen only when it needs fewer parts.
ShiftPlan PlanShiftedText(std::u32string_view chars, const std::vector<std::uint8_t>& languages, bool ref16);

// The header octets of one part: the length octet, then the concatenation
// element when `concatenated` (reference, total, sequence), the single
// shift and the locking shift elements; empty when there is none.
std::string UserDataHeader(bool concatenated, bool ref16, std::uint16_t reference, int total, int seq,
                           ShiftTables tables);

}  // namespace pdulink
