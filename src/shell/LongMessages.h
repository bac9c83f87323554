#pragma once
// The opt-in keys of long messages: concatenated sending (LongSms,
// MaxParts, LongSmsRef16) and joined receiving (JoinParts, JoinTimeout).
// With the keys absent everything behaves as without long messages.
#include <QString>

#include <cstdint>
#include <vector>

inline constexpr int kMaxPartsDefault = 6;
inline constexpr int kMaxPartsTop = 255;
inline constexpr int kJoinTimeoutDefault = 24;  // hours

struct LongMessageSettings {
  bool longSms = false;                    // LongSms=1
  int maxParts = kMaxPartsDefault;         // MaxParts 1..255
  bool ref16 = false;                      // LongSmsRef16=1
  bool joinParts = false;                  // JoinParts=1
  int joinTimeoutHours = kJoinTimeoutDefault;  // JoinTimeout, hours >= 1
  bool operator==(const LongMessageSettings&) const = default;
};

// The send field with LongSms on: how much of the typed text fits
// maxParts parts (in UTF-16 units of the field, never half a surrogate
// pair), and the count shown beside it ("203 chars, 2 parts"). utf8: the
// text goes out as UTF-8 (Utf8Files), every character kept, with the
// national language shift tables `shiftTables` (ShiftTables=) where they
// need fewer parts.
qsizetype LongBodyFit(const QString& text, const LongMessageSettings& lm, bool utf8 = false,
                      const std::vector<std::uint8_t>& shiftTables = {});
QString LongBodyCount(const QString& text, const LongMessageSettings& lm, bool utf8 = false,
                      const std::vector<std::uint8_t>& shiftTables = {});
