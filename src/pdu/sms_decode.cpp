#include "sms_decode.h"

#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "codepage.h"
#include "gsm_alphabet.h"
#include "national_tables.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace pdulink {
namespace {

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
constexpr std::array<std::uint8_t, 256> kHexValue = MakeHexValues();
constexpr char kHexUpper[] = "0123456789ABCDEF";

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

// Value of a hex digit, 0 for any other character (Hex holds digits only,
// but its fields are public).
constexpr std::array<std::uint8_t, 256> MakeNibbles() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kHexValue[c] == 0xFF ? 0 : kHexValue[c];
  return t;
}
constexpr std::array<std::uint8_t, 256> kNibble = MakeNibbles();

unsigned HexValue(char c) { return kNibble[static_cast<unsigned char>(c)]; }

// `count` octets from their stored (swapped) hex digits at `h`: eight
// digits, four octets, at a time. A digit's value is its low four bits,
// plus 9 for a letter (bit 6 set); Hex holds upper-case digits only, and
// anything else there gives some value but never a read outside `h`.
void StoredHexToOctets(const char* h, std::size_t count, std::uint8_t* out) {
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
unsigned HexOctet(std::string_view hex, std::size_t pos) {
  return HexValue(hex[pos]) << 4 | HexValue(hex[pos + 1]);
}

}  // namespace

void tSMSDecode::SetError(std::string_view text) {
  ErrorText.assign(text);
  HasError = !text.empty();
}

unsigned tSMSDecode::OctetAt(std::int32_t index) const {
  // Stored pairs are swapped: the first character is the low semi-octet.
  auto i = static_cast<std::size_t>(index) * 2;
  return HexValue(Hex[i + 1]) << 4 | HexValue(Hex[i]);
}

bool tSMSDecode::GetByte(std::uint8_t& value) {
  if (BitIndex != 0 || OctetIndex < 0 || OctetIndex >= OctetCount) {
    SetError(decode_error::kByte);
    return false;
  }
  ClearError();
  value = static_cast<std::uint8_t>(OctetAt(OctetIndex));
  ++OctetIndex;
  return true;
}

bool tSMSDecode::GetNibble(char& character, int& value) {
  if ((BitIndex != 0 && BitIndex != 4) || OctetIndex < 0 || OctetIndex >= OctetCount) {
    SetError(decode_error::kNibble);
    character = '0';
    value = 0;
    return false;
  }
  ClearError();
  char c = Hex[static_cast<std::size_t>(OctetIndex) * 2 + (BitIndex == 0 ? 0 : 1)];
  character = c;
  value = static_cast<int>(HexValue(c));
  BitIndex = 4 - BitIndex;
  if (BitIndex == 0) ++OctetIndex;
  return true;
}

int tSMSDecode::Get1Bit() {
  if (OctetIndex < 0 || OctetIndex >= OctetCount || BitIndex < 0 || BitIndex > 7) {
    SetError(decode_error::kBit);
    return 0;
  }
  ClearError();
  int bit = static_cast<int>((OctetAt(OctetIndex) >> BitIndex) & 1u);
  if (++BitIndex == 8) {
    BitIndex = 0;
    ++OctetIndex;
  }
  return bit;
}

std::uint8_t tSMSDecode::Get7Bit() {
  ClearError();
  if (OctetIndex >= 0 && BitIndex >= 0 && BitIndex <= 7 && OctetIndex < OctetCount) {
    std::int64_t bitsLeft = std::int64_t(OctetCount - OctetIndex) * 8 - BitIndex;
    if (bitsLeft >= 7) {
      // Whole septet present: take it from (at most) two octets at once.
      unsigned window = OctetAt(OctetIndex);
      if (BitIndex > 1) window |= OctetAt(OctetIndex + 1) << 8;
      auto septet = static_cast<std::uint8_t>((window >> BitIndex) & 0x7F);
      BitIndex += 7;
      OctetIndex += BitIndex >> 3;
      BitIndex &= 7;
      return septet;
    }
  }
  // Runs past the end: read what is there bit by bit, then fail.
  unsigned sum = 0;
  for (int k = 0; k < 7; ++k) {
    int bit = Get1Bit();
    if (HasError) break;
    sum |= static_cast<unsigned>(bit) << k;
  }
  SetError(decode_error::kSeptet);
  return static_cast<std::uint8_t>(sum);
}

std::string tSMSDecode::GetTimeStamp(int* zoneQuarters) {
  ClearError();
  char d[14];
  if (BitIndex == 0 && OctetIndex >= 0 && OctetCount - OctetIndex >= 7) {
    // Stored pairs are already in reading order.
    Hex.copy(d, 14, std::size_t(OctetIndex) * 2);
    OctetIndex += 7;
  } else {
    for (char& c : d) {
      int value = 0;
      GetNibble(c, value);
    }
  }
  if (HasError) {
    SetError(decode_error::kTimeStamp);
    return {};
  }
  // The zone octet: sign in bit 3 of its first semi-octet, then quarters of
  // an hour in two decimal digits; shown in whole hours.
  unsigned t = HexValue(d[12]);
  unsigned u = HexValue(d[13]);
  unsigned hours = ((t & 7) * 10 + u) / 4;
  if (zoneQuarters) *zoneQuarters = (t < 8 ? 1 : -1) * int((t & 7) * 10 + u);
  // "YY-MM-DD HH:MM:SS [+Z]", built in place.
  char out[32];
  char* o = out;
  for (int k = 0; k < 12; k += 2) {
    *o++ = d[k];
    *o++ = d[k + 1];
    *o++ = "-- ::["[k / 2];
  }
  o[-1] = ' ';
  *o++ = '[';
  *o++ = t < 8 ? '+' : '-';
  if (hours >= 10) *o++ = static_cast<char>('0' + hours / 10);
  *o++ = static_cast<char>('0' + hours % 10);
  *o++ = ']';
  return std::string(out, o);
}

void tSMSDecode::ParseHeader() {
  IsConcatenated = false;
  SingleShift = LockingShift = 0;
  const std::string_view h = HeaderHex;
  std::size_t p = 0;
  // Each element: identifier, length L, then L octets. An element whose
  // declared length runs past the header ends the scan unread.
  while (p + 4 <= h.size()) {
    unsigned id = HexOctet(h, p);
    unsigned len = HexOctet(h, p + 2);
    std::size_t end = p + 4 + 2 * std::size_t(len);
    if (end > h.size()) break;
    if (id == 0x00 && len == 3) {
      IsConcatenated = true;
      ConcatRef = static_cast<std::uint16_t>(HexOctet(h, p + 4));
      ConcatTotal = static_cast<std::uint8_t>(HexOctet(h, p + 6));
      ConcatPart = static_cast<std::uint8_t>(HexOctet(h, p + 8));
    } else if (id == 0x08 && len == 4) {
      IsConcatenated = true;
      ConcatRef = static_cast<std::uint16_t>(HexOctet(h, p + 4) << 8 | HexOctet(h, p + 6));
      ConcatTotal = static_cast<std::uint8_t>(HexOctet(h, p + 8));
      ConcatPart = static_cast<std::uint8_t>(HexOctet(h, p + 10));
    } else if ((id == kIeiSingleShift || id == kIeiLockingShift) && len == 1) {
      // An identifier this decoder does not know leaves the default table.
      const unsigned language = HexOctet(h, p + 4);
      if (id == kIeiSingleShift && HasSingleShift(language))
        SingleShift = static_cast<std::uint8_t>(language);
      else if (id == kIeiLockingShift && HasLockingShift(language))
        LockingShift = static_cast<std::uint8_t>(language);
    }
    p = end;
  }
}

void tSMSDecode::Reset() {
  SmscLen = SmscType = FirstOctet = AddrLen = AddrType = Pid = Dcs = Mti = Coding = 0;
  MessageRef = Vpf = VpByte = Status = ParamIndicator = Udl = Udhl = 0;
  ConcatTotal = ConcatPart = 0;
  ConcatRef = 0;
  SingleShift = LockingShift = 0;
  TimeZoneQuarters = DischargeZoneQuarters = 0;
  Udhi = IsConcatenated = HasError = false;
  SmscNumber.clear();
  Address.clear();
  TimeText.clear();
  DischargeTime.clear();
  StatusText.clear();
  HeaderHex.clear();
  Text.clear();
  ErrorText.clear();
  Hex.clear();
  OctetCount = OctetIndex = BitIndex = 0;
}

bool tSMSDecode::ReadDigits(unsigned count, std::string& out) {
  if (count == 0) return true;
  if (BitIndex == 0 && OctetIndex >= 0 &&
      std::int64_t(OctetCount - OctetIndex) * 2 >= std::int64_t(count)) {
    // Stored pairs are already in reading order: copy, dropping "F".
    const char* p = Hex.data() + std::size_t(OctetIndex) * 2;
    char buf[512];
    std::size_t n = 0;
    for (unsigned k = 0; k < count; ++k) {
      if (p[k] != 'F') buf[n++] = p[k];
    }
    out.append(buf, n);
    OctetIndex += static_cast<std::int32_t>(count / 2);
    BitIndex = (count % 2) ? 4 : 0;
    ClearError();
    return true;
  }
  char c = 0;
  int value = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (!GetNibble(c, value)) return false;
    if (c != 'F') out.push_back(c);
  }
  return true;
}

bool tSMSDecode::ReadAddressDigits() {
  if (!ReadDigits(AddrLen, Address)) return false;
  if (BitIndex == 4) {  // filler of an odd digit count
    char c = 0;
    int value = 0;
    GetNibble(c, value);
  }
  return !HasError;
}

bool tSMSDecode::ReadSeptetText(unsigned count, std::string& out) {
  if (count == 0) return true;
  if (OctetIndex >= 0 && BitIndex >= 0 && BitIndex <= 7 && OctetIndex < OctetCount &&
      std::int64_t(OctetCount - OctetIndex) * 8 - BitIndex >= std::int64_t(count) * 7) {
    // Every septet is there: turn the octets they use into bytes once, then
    // take each septet from two neighbouring bytes; the same as `count`
    // calls of Get7Bit.
    std::uint8_t oct[240];
    const unsigned first = static_cast<unsigned>(BitIndex);
    const unsigned need = (first + 7 * count + 7) / 8;
    StoredHexToOctets(Hex.data() + std::size_t(OctetIndex) * 2, need, oct);
    std::memset(oct + need, 0, 8);
    char buf[256];
    std::size_t n = 0;
    bool escaped = false;
    auto one = [&](unsigned septet) {
      if (escaped) {
        buf[n++] = static_cast<char>(GsmEscapeTable[septet]);
        escaped = false;
      } else if (septet == kGsmEscape) {
        escaped = true;
      } else {
        buf[n++] = static_cast<char>(GsmDecodeTable[septet]);
      }
    };
    unsigned k = 0;
    unsigned bit = first;
    // Eight septets from one 64-bit window at a time.
    for (; k + 8 <= count; k += 8, bit += 56) {
      const std::uint8_t* q = oct + (bit >> 3);
      std::uint64_t w = std::uint64_t(q[0]) | std::uint64_t(q[1]) << 8 | std::uint64_t(q[2]) << 16 |
                        std::uint64_t(q[3]) << 24 | std::uint64_t(q[4]) << 32 |
                        std::uint64_t(q[5]) << 40 | std::uint64_t(q[6]) << 48 |
                        std::uint64_t(q[7]) << 56;
      w >>= (bit & 7);
      unsigned sep[8];
      bool anyEscape = escaped;
#pragma GCC unroll 8
      for (unsigned j = 0; j < 8; ++j) {
        sep[j] = static_cast<unsigned>(w >> (7 * j)) & 0x7F;
        anyEscape |= sep[j] == kGsmEscape;
      }
      if (!anyEscape) {
#pragma GCC unroll 8
        for (unsigned j = 0; j < 8; ++j) buf[n + j] = static_cast<char>(GsmDecodeTable[sep[j]]);
        n += 8;
      } else {
        for (unsigned j = 0; j < 8; ++j) one(sep[j]);
      }
    }
    for (; k < count; ++k, bit += 7) {
      unsigned pair = unsigned(oct[bit >> 3]) | unsigned(oct[(bit >> 3) + 1]) << 8;
      one((pair >> (bit & 7)) & 0x7F);
    }
    std::int64_t end = std::int64_t(BitIndex) + std::int64_t(count) * 7;
    OctetIndex += static_cast<std::int32_t>(end >> 3);
    BitIndex = static_cast<std::int32_t>(end & 7);
    ClearError();
    out.append(buf, n);
    return true;
  }
  out.reserve(out.size() + count);
  bool escaped = false;
  for (unsigned i = 0; i < count; ++i) {
    std::uint8_t s = Get7Bit();
    if (HasError) return false;  // a septet that ran out is not shown
    if (escaped) {
      out.push_back(static_cast<char>(GsmEscapeTable[s]));
      escaped = false;
    } else if (s == kGsmEscape) {
      escaped = true;
    } else {
      out.push_back(static_cast<char>(GsmDecodeTable[s]));
    }
  }
  return true;
}

bool tSMSDecode::ReadSeptets(unsigned count, std::string& septets) {
  septets.reserve(septets.size() + count);
  for (unsigned i = 0; i < count; ++i) {
    std::uint8_t s = Get7Bit();
    if (HasError) return false;  // a septet that ran out is not shown
    septets.push_back(static_cast<char>(s));
  }
  return true;
}

bool tSMSDecode::ReadShiftedText(unsigned count, std::string& out) {
  std::string septets;
  const bool whole = ReadSeptets(count, septets);
  const ShiftTables tables{LockingShift, SingleShift};
  out += Utf8 ? ShiftedSeptetsToUtf8(septets, tables) : ShiftedSeptetsToAnsi(septets, tables);
  return whole;
}

bool tSMSDecode::ReadSeptetUtf8(unsigned count, std::string& out) {
  std::string septets;
  const bool whole = ReadSeptets(count, septets);
  out += GsmSeptetsToUtf8(septets);
  return whole;
}

void tSMSDecode::ReadUserData() {
  if (HasError) return;
  if (!GetByte(Udl)) return;
  HeaderHex.clear();
  unsigned headerBits = 0;
  if (Udhi) {
    GetByte(Udhl);
    headerBits = (unsigned(Udhl) + 1) * 8;
    HeaderHex.reserve(2 * std::size_t(Udhl));
    for (unsigned i = 0; i < Udhl; ++i) {
      std::uint8_t octet = 0;
      if (!GetByte(octet)) break;
      HeaderHex.push_back(kHexUpper[octet >> 4]);
      HeaderHex.push_back(kHexUpper[octet & 0xF]);
    }
    ParseHeader();
  }
  Text.clear();
  if (Coding == kCoding7Bit) {
    while (headerBits % 7 != 0) {  // fill bits up to the next septet boundary
      Get1Bit();
      ++headerBits;
    }
    unsigned headerSeptets = headerBits / 7;
    if (headerSeptets > Udl) {
      // A header longer than the whole user data: the septets Udl promises
      // are not there.
      Udl = 0;
      SetError(decode_error::kSeptet);
      return;
    }
    Udl = static_cast<std::uint8_t>(Udl - headerSeptets);
    if (SingleShift != 0 || LockingShift != 0) ReadShiftedText(Udl, Text);
    else if (Utf8) ReadSeptetUtf8(Udl, Text);
    else ReadSeptetText(Udl, Text);
  } else if (Coding == kCodingUcs2) {
    if (Udhi) {
      unsigned headerOctets = unsigned(Udhl) + 1;
      if (headerOctets > Udl) {
        Udl = 0;
        SetError(decode_error::kByte);
        return;
      }
      Udl = static_cast<std::uint8_t>(Udl - headerOctets);
    }
    std::array<char16_t, 128> chars;
    std::size_t n = 0;
    const unsigned want = Udl / 2u;
    if (want > 0 && BitIndex == 0 && OctetIndex >= 0 &&
        std::int64_t(OctetCount) - OctetIndex >= std::int64_t(want) * 2) {
      // All there, no read can fail. Stored pairs are swapped, so the four
      // characters of a code unit read low, high, low, high semi-octet.
      std::uint8_t octets[256];
      StoredHexToOctets(Hex.data() + std::size_t(OctetIndex) * 2, 2 * std::size_t(want), octets);
      for (; n < want; ++n) chars[n] = static_cast<char16_t>(octets[2 * n] << 8 | octets[2 * n + 1]);
      OctetIndex += static_cast<std::int32_t>(2 * want);
      ClearError();
    }
    for (unsigned i = static_cast<unsigned>(n); i < want; ++i) {
      std::uint8_t hi = 0, lo = 0;
      if (!GetByte(hi) || !GetByte(lo)) break;
      chars[n++] = static_cast<char16_t>(hi << 8 | lo);
    }
    Text = Utf8 ? Utf16ToUtf8(std::u16string_view(chars.data(), n))
                : WideToAnsi(std::u16string_view(chars.data(), n), kCp1251);
  } else if (Utf8 && BitIndex == 0) {
    // 8-bit data as hex: the octets that are there (a short one is no error
    // here, as it is none without the text).
    unsigned want = Udl;
    if (Udhi) want = unsigned(Udhl) + 1 <= want ? want - (unsigned(Udhl) + 1) : 0;
    std::string octets;
    for (unsigned i = 0; i < want && OctetIndex >= 0 && OctetIndex < OctetCount; ++i) {
      std::uint8_t octet = 0;
      if (!GetByte(octet)) break;
      octets.push_back(static_cast<char>(octet));
    }
    Text = HexText(octets);
  }
  // 8-bit data otherwise: no text.
}

namespace {

// Copies the hex digits of `in` to `out`, upper-cased, each pair swapped so
// that semi-octets read from left to right; everything else is dropped. An
// odd digit at the end is counted but not written. Returns the count.
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

}  // namespace

bool tSMSDecode::StoreOctets(std::string_view pduHex) {
  Hex.resize(pduHex.size() + 1);
  const std::size_t kept = KeepHexDigitsSwapped(pduHex, Hex.data());
  if (kept == 0 || kept % 2 != 0 ||
      kept / 2 > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    Hex.clear();
    return false;
  }
  Hex.resize(kept);
  OctetCount = static_cast<std::int32_t>(kept / 2);
  OctetIndex = 0;
  BitIndex = 0;
  return true;
}

bool tSMSDecode::ReadServiceCentre() {
  if (!GetByte(SmscLen)) return false;
  if (SmscLen == 0) {
    SetError(decode_error::kNoSmsc);
    return false;
  }
  if (!GetByte(SmscType)) return false;
  if (SmscType != 0x91) {
    SetError(decode_error::kSmscNotInternational);
    return false;
  }
  return ReadDigits((unsigned(SmscLen) - 1) * 2, SmscNumber);
}

bool tSMSDecode::ReadPidDcs() {
  GetByte(Pid);
  GetByte(Dcs);
  if (HasError) return false;
  Coding = Dcs & 0x0C;
  if (Coding == 0x0C) {
    SetError(decode_error::kCoding);
    return false;
  }
  return true;
}

void tSMSDecode::ReadDeliver() {
  if (!GetByte(AddrLen) || !GetByte(AddrType)) return;
  if (AddrType == kAddrTypeAlphanumeric) {
    // Septets packed in AddrLen semi-octets, then padding to the octet.
    if (Utf8) ReadSeptetUtf8(unsigned(AddrLen) * 4 / 7, Address);
    else ReadSeptetText(unsigned(AddrLen) * 4 / 7, Address);
    while (BitIndex != 0 && !HasError) Get1Bit();
    if (HasError) return;
  } else if (!ReadAddressDigits()) {
    return;
  }
  if (!ReadPidDcs()) return;
  TimeText = GetTimeStamp(&TimeZoneQuarters);
  if (HasError) return;
  ReadUserData();
}

void tSMSDecode::ReadSubmit() {
  if (!GetByte(MessageRef) || !GetByte(AddrLen) || !GetByte(AddrType)) return;
  if (!ReadAddressDigits()) return;
  if (!ReadPidDcs()) return;
  Vpf = (FirstOctet >> 3) & 3;
  if (Vpf == 1) {
    GetByte(VpByte);  // enhanced format, read as one octet
  } else if (Vpf == 2) {
    if (GetByte(VpByte)) TimeText = ValidityPeriodText(VpByte);
  } else if (Vpf == 3) {
    TimeText = GetTimeStamp(&TimeZoneQuarters);
    if (HasError) return;
  }
  ReadUserData();
}

void tSMSDecode::ReadStatusReport() {
  if (!GetByte(MessageRef) || !GetByte(AddrLen) || !GetByte(AddrType)) return;
  if (!ReadAddressDigits()) return;
  TimeText = GetTimeStamp(&TimeZoneQuarters);
  if (HasError) return;
  DischargeTime = GetTimeStamp(&DischargeZoneQuarters);
  if (HasError) return;
  if (GetByte(Status)) StatusText = StatusReportText(Status);
  GetByte(ParamIndicator);
}

void tSMSDecode::Decode(std::string_view pduHex) {
  Reset();
  SetError(decode_error::kLength);
  if (!StoreOctets(pduHex)) return;
  SetError({});

  if (!ReadServiceCentre()) return;
  GetByte(FirstOctet);
  Udhi = (FirstOctet & 0x40) != 0;
  Mti = FirstOctet & 3;
  if (HasError) return;
  if (Mti == 3) return SetError(decode_error::kReservedType);

  switch (static_cast<MessageType>(Mti)) {
    case MessageType::Deliver: return ReadDeliver();
    case MessageType::Submit: return ReadSubmit();
    case MessageType::StatusReport: return ReadStatusReport();
    case MessageType::Reserved: return;
  }
}

std::string StatusReportText(std::uint8_t s) {
  const char* base = "Reserved (Service Rejected)";
  switch (s) {
    case 0x00: base = "Short message received by the SME"; break;
    case 0x01:
      base = "Short message forwarded by the SC to the SME but the SC is unable to confirm delivery";
      break;
    case 0x02: base = "Short message replaced by the SC"; break;
    case 0x20: case 0x60: base = "Congestion"; break;
    case 0x21: case 0x61: base = "SME busy"; break;
    case 0x22: case 0x62: base = "No response from SME"; break;
    case 0x23: case 0x63: base = "Service rejected"; break;
    case 0x24: case 0x44: case 0x64: base = "Quality of service not available"; break;
    case 0x25: case 0x65: base = "Error in SME"; break;
    case 0x40: base = "Remote procedure error"; break;
    case 0x41: base = "Incompatible destination"; break;
    case 0x42: base = "Connection rejected by SME"; break;
    case 0x43: base = "Not obtainable"; break;
    case 0x45: base = "No interworking available"; break;
    case 0x46: base = "SM Validity Period Expired"; break;
    case 0x47: base = "SM Deleted by originating SME"; break;
    case 0x48: base = "SM Deleted by SC Administration"; break;
    case 0x49:
      base = "SM does not exist (The SM may have previously existed in the SC but the SC no longer "
             "has knowledge of it or the SM may never have previously existed in the SC)";
      break;
    default:
      if ((s >= 0x10 && s <= 0x1F) || (s >= 0x30 && s <= 0x3F) || (s >= 0x50 && s <= 0x5F) ||
          (s >= 0x70 && s <= 0x7F)) {
        base = "Values specific to each SC";
      } else if (s >= 0x26 && s <= 0x2F) {
        base = "Reserved";
      }
      break;
  }
  const char* category = "";
  if (s <= 0x02) {
    category = "Short message transaction completed";
  } else if (s >= 0x20 && s <= 0x3F) {
    category = "Temporary error, SC still trying to transfer SM";
  } else if (s >= 0x40 && s <= 0x5F) {
    category = "Permanent error, SC is not making any more transfer attempts";
  } else if (s >= 0x60 && s <= 0x7F) {
    category = "Temporary error, SC is not making any more transfer attempts";
  }
  std::string_view b = base, c = category;
  std::string out;
  out.reserve(b.size() + c.size() + 3);
  out.append(b).append(" (").append(c).push_back(')');
  return out;
}

std::string ValidityPeriodText(std::uint8_t v) {
  if (v <= 143) return std::to_string((unsigned(v) + 1) * 5) + " min";
  if (v <= 167) return std::to_string(720 + (unsigned(v) - 143) * 30) + " min";
  if (v <= 196) return std::to_string(unsigned(v) - 166) + " days";
  return std::to_string(unsigned(v) - 192) + " weeks";
}

}  // namespace pdulink
