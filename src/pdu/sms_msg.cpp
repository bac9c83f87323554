#include "sms_msg.h"

#include <bit>
#include <cstring>

#include "codepage.h"
#include "gsm_alphabet.h"

namespace pdulink {
namespace {

bool IsBlankOrControl(unsigned char c) { return c <= 0x20; }

// Feeds the text to `emit` as CollapseBlanks would return it, without
// building the collapsed copy; stops when `emit` says no. Only the first two
// characters need care (a control character at the very start stays unless
// a second one follows); after them the last character given out is a blank
// or printable, so a control character is either dropped or one blank.
template <typename Emit>
void ForEachCollapsed(std::string_view text, Emit&& emit) {
  const std::size_t n = text.size();
  if (n == 0) return;
  const auto c0 = static_cast<unsigned char>(text[0]);
  if (n == 1) {
    emit(c0);
    return;
  }
  const auto c1 = static_cast<unsigned char>(text[1]);
  bool lastBlank = IsBlankOrControl(c1);
  if (!lastBlank) {
    if (!emit(c0) || !emit(c1)) return;
  } else if (IsBlankOrControl(c0)) {
    if (!emit(' ')) return;
  } else if (!emit(c0) || !emit(' ')) {
    return;
  }
  for (std::size_t i = 2; i < n; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (IsBlankOrControl(c)) {
      if (lastBlank) continue;
      c = ' ';
      lastBlank = true;
    } else {
      lastBlank = false;
    }
    if (!emit(c)) return;
  }
}

}  // namespace

void tSMSmsg::Clear() {
  Length = 0;
  BitPos = 0;
  Buffer.fill(0);
}

bool tSMSmsg::PushByte(std::uint8_t value) {
  if (BitPos != 0 || Full()) return false;
  Buffer[Length++] = value;
  return true;
}

bool tSMSmsg::PushBit(unsigned bit) {
  if (Full()) return false;
  auto mask = static_cast<std::uint8_t>(1u << BitPos);
  if (bit & 1u) {
    Buffer[Length] |= mask;
  } else {
    Buffer[Length] &= static_cast<std::uint8_t>(~mask);
  }
  if (++BitPos == 8) {
    BitPos = 0;
    ++Length;
  }
  return true;
}

bool tSMSmsg::Push7Bit(std::uint8_t value) {
  value &= 0x7F;
  unsigned room = (unsigned(kCapacity) - Length) * 8u - BitPos;
  if (Length < kCapacity && room >= 7) {
    // The whole septet fits: write it into (at most) two octets at once.
    unsigned shifted = unsigned(value) << BitPos;
    unsigned mask = 0x7Fu << BitPos;
    Buffer[Length] = static_cast<std::uint8_t>((Buffer[Length] & ~mask) | shifted);
    if (BitPos > 1) {
      Buffer[Length + 1] = static_cast<std::uint8_t>((Buffer[Length + 1] & ~(mask >> 8)) | (shifted >> 8));
    }
    BitPos = static_cast<std::uint8_t>(BitPos + 7);
    Length = static_cast<std::uint8_t>(Length + (BitPos >> 3));
    BitPos &= 7;
    return true;
  }
  for (int k = 0; k < 7; ++k) {
    if (!PushBit(value >> k)) return false;
  }
  return true;
}

namespace {

// The text's septets as CollapseBlanks and the 7-bit alphabet give them
// (an escaped character is two), as many as fit whole into `fit` plus the
// one after them, which only partly fits or not at all. Returns how many
// were written to `septets`.
unsigned CollectSeptets(std::string_view text, unsigned fit, std::uint8_t* septets) {
  unsigned n = 0;
  auto put = [&](unsigned char b) {
    std::uint16_t code = GsmEncodeTable[b];
    if (code >> 8) {
      septets[n++] = static_cast<std::uint8_t>(code >> 8);
      if (n > fit) return false;
    }
    septets[n++] = static_cast<std::uint8_t>(code & 0x7F);
    return n <= fit;
  };
  // The first two characters by the general rule (see ForEachCollapsed),
  // the rest with one table look-up for the common printable character.
  const std::size_t size = text.size();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  bool going = true;
  bool lastBlank = false;
  if (size == 1) {
    going = put(p[0]);
  } else if (size >= 2) {
    lastBlank = IsBlankOrControl(p[1]);
    if (!lastBlank) {
      going = put(p[0]) && put(p[1]);
    } else if (IsBlankOrControl(p[0])) {
      going = put(' ');
    } else {
      going = put(p[0]) && put(' ');
    }
  }
  for (std::size_t i = 2; going && i < size; ++i) {
    unsigned char c = p[i];
    std::uint8_t plain = kGsmPlainSeptet[c];
    if (plain != 0xFF) {
      septets[n++] = plain;
      lastBlank = false;
      going = n <= fit;
      continue;
    }
    if (IsBlankOrControl(c)) {
      if (lastBlank) continue;
      c = ' ';
      lastBlank = true;
    } else {
      lastBlank = false;
    }
    going = put(c);
  }
  return n;
}

}  // namespace

std::uint8_t tSMSmsg::AddUcs2Text(std::string_view text) {
  unsigned count = 0;
  // cp1251 is one byte per character, so each byte is one UTF-16 unit.
  ForEachCollapsed(text, [&](unsigned char b) {
    char16_t c = Cp1251ToUnicode(b);
    if (BitPos == 0 && Length + 2u <= kCapacity) {
      Buffer[Length] = static_cast<std::uint8_t>(c >> 8);
      Buffer[Length + 1] = static_cast<std::uint8_t>(c & 0xFF);
      Length = static_cast<std::uint8_t>(Length + 2);
    } else if (!PushByte(static_cast<std::uint8_t>(c >> 8)) ||
               !PushByte(static_cast<std::uint8_t>(c & 0xFF))) {
      return false;
    }
    count += 2;
    return true;
  });
  return static_cast<std::uint8_t>(count);
}

void tSMSmsg::PackSeptets(const std::uint8_t* septets, unsigned count) {
  // Eight septets make seven octets, and from an octet boundary they are
  // written in one go; the same bits Push7Bit would write.
  unsigned k = 0;
  if (BitPos == 0) {
    unsigned len = Length;
    std::uint8_t* out = Buffer.data();
    for (; k + 8 <= count && len + 7u <= kCapacity; k += 8, len += 7) {
      const std::uint8_t* q = septets + k;
      std::uint64_t v = std::uint64_t(q[0]) | std::uint64_t(q[1]) << 7 |
                        std::uint64_t(q[2]) << 14 | std::uint64_t(q[3]) << 21 |
                        std::uint64_t(q[4]) << 28 | std::uint64_t(q[5]) << 35 |
                        std::uint64_t(q[6]) << 42 | std::uint64_t(q[7]) << 49;
      out[len] = static_cast<std::uint8_t>(v);
      out[len + 1] = static_cast<std::uint8_t>(v >> 8);
      out[len + 2] = static_cast<std::uint8_t>(v >> 16);
      out[len + 3] = static_cast<std::uint8_t>(v >> 24);
      out[len + 4] = static_cast<std::uint8_t>(v >> 32);
      out[len + 5] = static_cast<std::uint8_t>(v >> 40);
      out[len + 6] = static_cast<std::uint8_t>(v >> 48);
    }
    Length = static_cast<std::uint8_t>(len);
  }
  for (; k < count; ++k) Push7Bit(septets[k]);
}

std::uint8_t tSMSmsg::AddText(std::string_view text) {
  if (NeedsUcs2(text)) return AddUcs2Text(text);

  // 7-bit, in two steps: first the septets that can still fit whole (the
  // escape of a pair counts on its own) and the one after them, then the
  // packing.
  const unsigned room = (unsigned(kCapacity) - Length) * 8u - BitPos;
  const unsigned fit = Length < kCapacity ? room / 7u : 0u;
  std::uint8_t septets[kCapacity * 8 / 7 + 2];
  const unsigned n = CollectSeptets(text, fit, septets);
  const unsigned whole = n < fit ? n : fit;
  if (whole > 0) PackSeptets(septets, whole);
  unsigned count = whole;
  if (n > fit && Push7Bit(septets[fit])) ++count;  // cannot succeed; keeps its bits
  return static_cast<std::uint8_t>(count);
}

std::uint8_t tSMSmsg::AddSeptets(std::string_view septets) {
  const unsigned room = (unsigned(kCapacity) - Length) * 8u - BitPos;
  const unsigned fit = Length < kCapacity ? room / 7u : 0u;
  const unsigned n = static_cast<unsigned>(septets.size());
  const unsigned whole = n < fit ? n : fit;
  if (whole > 0) PackSeptets(reinterpret_cast<const std::uint8_t*>(septets.data()), whole);
  unsigned count = whole;
  if (n > fit && Push7Bit(static_cast<std::uint8_t>(septets[fit]))) ++count;  // cannot succeed; keeps its bits
  return static_cast<std::uint8_t>(count);
}

std::uint8_t tSMSmsg::AddUcs2Units(std::u16string_view units) {
  if (BitPos != 0) return 0;
  // The length in a local: writes to the octets could otherwise alias it.
  unsigned len = Length;
  std::uint8_t* out = Buffer.data();
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t c = units[i];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size();
    const unsigned need = pair ? 4u : 2u;
    if (len + need > kCapacity) break;
    out[len] = static_cast<std::uint8_t>(c >> 8);
    out[len + 1] = static_cast<std::uint8_t>(c & 0xFF);
    if (pair) {
      const char16_t low = units[++i];
      out[len + 2] = static_cast<std::uint8_t>(low >> 8);
      out[len + 3] = static_cast<std::uint8_t>(low & 0xFF);
    }
    len += need;
  }
  const unsigned count = len - Length;
  Length = static_cast<std::uint8_t>(len);
  return static_cast<std::uint8_t>(count);
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Four octets (the first in the low byte) as eight upper-case hex digits
// in memory order, all at once: each octet spread over two bytes, its high
// semi-octet first, then "0" added to each, and 7 more to those above 9.
std::uint64_t HexOfFour(std::uint32_t v) {
  std::uint64_t t = v;
  t = (t | t << 16) & 0x0000FFFF0000FFFFull;
  t = (t | t << 8) & 0x00FF00FF00FF00FFull;
  const std::uint64_t n = ((t >> 4) & 0x000F000F000F000Full) | ((t & 0x000F000F000F000Full) << 8);
  const std::uint64_t above9 = ((n + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
  return n + 0x3030303030303030ull + above9 * 7;
}

}  // namespace

void tSMSmsg::AppendHex(std::string& out) const {
  std::size_t octets = Length + (BitPos != 0 ? 1u : 0u);
  if (octets > kCapacity) octets = kCapacity;
  const std::size_t at = out.size();
  out.resize(at + 2 * octets);
  char* o = out.data() + at;
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 4 <= octets; i += 4) {
      std::uint32_t v;
      std::memcpy(&v, Buffer.data() + i, 4);
      const std::uint64_t digits = HexOfFour(v);
      std::memcpy(o + 2 * i, &digits, 8);
    }
  }
  for (; i < octets; ++i) {
    o[2 * i] = kHexDigits[Buffer[i] >> 4];
    o[2 * i + 1] = kHexDigits[Buffer[i] & 0xF];
  }
}

std::string tSMSmsg::ToHex() const {
  std::string out;
  AppendHex(out);
  return out;
}

}  // namespace pdulink
