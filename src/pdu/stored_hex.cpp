#include "stored_hex.h"

namespace pdulink::stored_hex {
namespace {

// The upper-case form of a hex digit, 0 for every other character.
constexpr std::array<char, 256> MakeHexUpper() {
  std::array<char, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if (kHexValue[c] != 0xFF) t[c] = kHexUpper[kHexValue[c]];
  }
  return t;
}
constexpr std::array<char, 256> kHexUpperOf = MakeHexUpper();

// 1 for every character that is not a hex digit.
constexpr std::array<std::uint8_t, 256> MakeNotHex() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kHexValue[c] == 0xFF ? 1 : 0;
  return t;
}
constexpr std::array<std::uint8_t, 256> kNotHex = MakeNotHex();

}  // namespace

std::size_t KeepHexDigitsSwapped(std::string_view in, char* out) {
  const char* src = in.data();
  const std::size_t n = in.size();
  std::size_t kept = 0;
  std::size_t i = 0;
  while (i < n) {
    // Clean input: eight hex digits at a time, upper-cased (letters have
    // bit 6 set: clear their bit 5) and swapped in pairs in one word.
    while (i + 8 <= n) {
      const auto* q = reinterpret_cast<const unsigned char*>(src + i);
      if (kNotHex[q[0]] | kNotHex[q[1]] | kNotHex[q[2]] | kNotHex[q[3]] | kNotHex[q[4]] |
          kNotHex[q[5]] | kNotHex[q[6]] | kNotHex[q[7]]) {
        break;
      }
      std::uint64_t w;
      std::memcpy(&w, q, 8);
      w &= ~((w & 0x4040404040404040ull) >> 1);
      w = ((w & 0x00FF00FF00FF00FFull) << 8) | ((w >> 8) & 0x00FF00FF00FF00FFull);
      std::memcpy(out + kept, &w, 8);
      kept += 8;
      i += 8;
    }
    // Then two at a time.
    while (i + 1 < n) {
      char a = kHexUpperOf[static_cast<unsigned char>(src[i])];
      char b = kHexUpperOf[static_cast<unsigned char>(src[i + 1])];
      if (a == 0 || b == 0) break;
      out[kept] = b;
      out[kept + 1] = a;
      kept += 2;
      i += 2;
    }
    if (i >= n) break;
    char a = kHexUpperOf[static_cast<unsigned char>(src[i])];
    if (a == 0) {
      ++i;
      continue;
    }
    // `a` opens a pair: find its second digit, skipping non-hex characters.
    std::size_t j = i + 1;
    while (j < n && kHexUpperOf[static_cast<unsigned char>(src[j])] == 0) ++j;
    if (j == n) {
      ++kept;  // odd count
      break;
    }
    out[kept] = kHexUpperOf[static_cast<unsigned char>(src[j])];
    out[kept + 1] = a;
    kept += 2;
    i = j + 1;
  }
  return kept;
}

}  // namespace pdulink::stored_hex
