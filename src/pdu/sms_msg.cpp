#include "sms_msg.h"

#include "codepage.h"
#include "gsm_alphabet.h"

namespace pdulink {
namespace {

bool IsBlankOrControl(unsigned char c) { return c <= 0x20; }

// Feeds the text to `emit` as CollapseBlanks would return it, without
// building the collapsed copy: a control character is held back one step
// because the next one may turn it into a blank. Stops when `emit` says no.
template <typename Emit>
void ForEachCollapsed(std::string_view text, Emit&& emit) {
  if (text.empty()) return;
  auto pending = static_cast<unsigned char>(text[0]);
  for (std::size_t i = 1; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (IsBlankOrControl(c) && IsBlankOrControl(pending)) {
      pending = ' ';
      continue;
    }
    if (!emit(pending)) return;
    pending = IsBlankOrControl(c) ? ' ' : c;
  }
  emit(pending);
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

std::uint8_t tSMSmsg::AddText(std::string_view text) {
  unsigned count = 0;
  if (NeedsUcs2(text)) {
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

  // 7-bit: the bit stream is kept in a local accumulator and flushed a whole
  // octet at a time, the same bits as one Push7Bit per septet. The last
  // septets that no longer fit whole go through Push7Bit itself.
  unsigned length = Length;
  unsigned bits = BitPos;
  unsigned acc = length < kCapacity ? Buffer[length] & ((1u << bits) - 1u) : 0;
  bool slow = false;
  auto flush = [&] {
    if (length < kCapacity && bits > 0) {
      unsigned mask = (1u << bits) - 1u;
      Buffer[length] = static_cast<std::uint8_t>((Buffer[length] & ~mask) | (acc & mask));
    }
    Length = static_cast<std::uint8_t>(length);
    BitPos = static_cast<std::uint8_t>(bits);
    slow = true;
  };
  auto put = [&](unsigned septet) {
    if (slow) return Push7Bit(static_cast<std::uint8_t>(septet));
    if ((kCapacity - length) * 8u - bits < 7u) {
      flush();
      return Push7Bit(static_cast<std::uint8_t>(septet));
    }
    acc |= septet << bits;
    bits += 7;
    if (bits >= 8) {
      Buffer[length++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
    return true;
  };
  ForEachCollapsed(text, [&](unsigned char b) {
    std::uint16_t code = GsmEncodeTable[b];
    if (code >> 8) {
      if (!put(code >> 8)) return false;
      ++count;
    }
    if (!put(code & 0x7F)) return false;
    ++count;
    return true;
  });
  if (!slow) flush();
  return static_cast<std::uint8_t>(count);
}

std::string tSMSmsg::ToHex() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::size_t octets = Length + (BitPos != 0 ? 1u : 0u);
  if (octets > kCapacity) octets = kCapacity;
  std::string out(octets * 2, '0');
  for (std::size_t i = 0; i < octets; ++i) {
    out[2 * i] = kDigits[Buffer[i] >> 4];
    out[2 * i + 1] = kDigits[Buffer[i] & 0xF];
  }
  return out;
}

}  // namespace pdulink
