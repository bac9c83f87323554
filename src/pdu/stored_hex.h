// Hex digits of a PDU as the decoder stores them: the input cleaned to
// upper-case digits with each pair swapped, so that semi-octets read from
// left to right, and the conversions from that form to octets.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pdulink::stored_hex {

// Value of a hex digit, 0xFF for everything else. Lower-case digits count:
// Decode upper-cases its input first.
constexpr std::array<std::uint8_t, 256> MakeHexValues() {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  return t;
}
inline constexpr std::array<std::uint8_t, 256> kHexValue = MakeHexValues();
inline constexpr char kHexUpper[] = "0123456789ABCDEF";

// Value of a hex digit, 0 for any other character (Hex holds digits only,
// but its fields are public).
constexpr std::array<std::uint8_t, 256> MakeNibbles() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kHexValue[c] == 0xFF ? 0 : kHexValue[c];
  return t;
}
inline constexpr std::array<std::uint8_t, 256> kNibble = MakeNibbles();

inline unsigned HexValue(char c) { return kNibble[static_cast<unsigned char>(c)]; }

// `count` octets from their stored (swapped) hex digits at `h`: eight
// digits, four octets, at a time. A digit's value is its low four bits,
// plus 9 for a letter (bit 6 set); Hex holds upper-case digits only, and
// anything else there gives some value but never a read outside `h`.
inline void StoredHexToOctets(const char* h, std::size_t count, std::uint8_t* out) {
  std::size_t j = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; j + 4 <= count; j += 4) {
      std::uint64_t w;
      std::memcpy(&w, h + 2 * j, 8);
      std::uint64_t n = (w & 0x0F0F0F0F0F0F0F0Full) + ((w >> 6) & 0x0101010101010101ull) * 9;
      // Each stored pair is low digit, high digit: one octet a 16-bit lane.
      n = (n & 0x000F000F000F000Full) | ((n >> 4) & 0x00F000F000F000F0ull);
      n = (n | n >> 8) & 0x0000FFFF0000FFFFull;
      n = (n | n >> 16) & 0x00000000FFFFFFFFull;
      const auto four = static_cast<std::uint32_t>(n);
      std::memcpy(out + j, &four, 4);
    }
  }
  for (; j < count; ++j) {
    out[j] = static_cast<std::uint8_t>(kNibble[static_cast<unsigned char>(h[2 * j + 1])] << 4 |
                                       kNibble[static_cast<unsigned char>(h[2 * j])]);
  }
}

// Octet written as two hex characters at `pos` of `hex` (high digit first).
inline unsigned HexOctet(std::string_view hex, std::size_t pos) {
  return HexValue(hex[pos]) << 4 | HexValue(hex[pos + 1]);
}

// Copies the hex digits of `in` to `out`, upper-cased, each pair swapped so
// that semi-octets read from left to right; everything else is dropped. An
// odd digit at the end is counted but not written. Returns the count.
std::size_t KeepHexDigitsSwapped(std::string_view in, char* out);

}  // namespace pdulink::stored_hex
