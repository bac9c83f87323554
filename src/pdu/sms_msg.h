// Builder of the user data of an outgoing message: a cp1251 text packed in
// the GSM 7-bit default alphabet (at most 160 septets) or as UCS2 (at most
// 70 characters), in at most 140 octets.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pdulink {

class tSMSmsg {
 public:
  static constexpr std::uint8_t kCapacity = 140;

  std::array<std::uint8_t, kCapacity> Buffer{};  // the packed user data
  std::uint8_t Length = 0;  // completely filled octets; index of the one being filled
  std::uint8_t BitPos = 0;  // next bit to write in Buffer[Length], from bit 0 up

  // Empties the builder (a new builder is already empty).
  void Clear();
  // Appends a whole octet; false (nothing written) off an octet boundary or
  // when full.
  bool PushByte(std::uint8_t value);
  // Appends the lowest bit of `bit`; false when full.
  bool PushBit(unsigned bit);
  // Appends the low seven bits, least significant first; false as soon as
  // one does not fit (the bits before it stay).
  bool Push7Bit(std::uint8_t value);
  // Packs the text (control characters collapsed to single blanks) as UCS2
  // when NeedsUcs2 says so, otherwise in the 7-bit alphabet; returns the
  // user-data length: septets, or octets for UCS2. What does not fit is
  // dropped.
  std::uint8_t AddText(std::string_view text);
  // Packs septets that are already in the 7-bit alphabet (escape pairs
  // included) as AddText packs its own: what does not fit is dropped, and
  // an escape septet that is last to fit is counted. Returns the septets.
  std::uint8_t AddSeptets(std::string_view septets);
  // Packs UTF-16 units as UCS2, two octets each; a surrogate pair that does
  // not fit whole is dropped whole. Returns the octets.
  std::uint8_t AddUcs2Units(std::u16string_view units);
  // The written octets as upper-case hex, the partly filled one included.
  std::string ToHex() const;
  // The same appended to `out` (no allocation when `out` has the room).
  void AppendHex(std::string& out) const;

 private:
  bool Full() const { return Length >= kCapacity; }
  // The two codings of AddText: UCS2, two octets a character; and the
  // writing of `count` 7-bit septets from the current bit on. Inline, and
  // defined beside AddText, their only caller: they cost no calls.
  inline std::uint8_t AddUcs2Text(std::string_view text);
  inline void PackSeptets(const std::uint8_t* septets, unsigned count);
};

}  // namespace pdulink
