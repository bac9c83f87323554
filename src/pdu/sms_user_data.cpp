// The user data of a decoded message: its header (concatenation and
// national language shift elements) and its text in the three codings.
#include <array>
#include <cstring>

#include "codepage.h"
#include "gsm_alphabet.h"
#include "national_tables.h"
#include "sms_decode.h"
#include "stored_hex.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace pdulink {

using stored_hex::HexOctet;
using stored_hex::kHexUpper;
using stored_hex::StoredHexToOctets;

namespace {

// Septets to cp1251 text with the default alphabet: an escape septet picks
// the next one from the extension table.
struct SeptetWriter {
  char* buf;
  std::size_t n = 0;
  bool escaped = false;

  void One(unsigned septet) {
    if (escaped) {
      buf[n++] = static_cast<char>(GsmEscapeTable[septet]);
      escaped = false;
    } else if (septet == kGsmEscape) {
      escaped = true;
    } else {
      buf[n++] = static_cast<char>(GsmDecodeTable[septet]);
    }
  }

  // Eight septets from the 64-bit window at octet `q`, starting at bit
  // `shift`; a run without escapes goes straight through the table.
  void Eight(const std::uint8_t* q, unsigned shift) {
    std::uint64_t w = std::uint64_t(q[0]) | std::uint64_t(q[1]) << 8 | std::uint64_t(q[2]) << 16 |
                      std::uint64_t(q[3]) << 24 | std::uint64_t(q[4]) << 32 |
                      std::uint64_t(q[5]) << 40 | std::uint64_t(q[6]) << 48 |
                      std::uint64_t(q[7]) << 56;
    w >>= shift;
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
      for (unsigned j = 0; j < 8; ++j) One(sep[j]);
    }
  }
};

}  // namespace

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

bool tSMSDecode::ReadSeptetText(unsigned count, std::string& out) {
  if (count == 0) return true;
  if (OctetIndex >= 0 && BitIndex >= 0 && BitIndex <= 7 && OctetIndex < OctetCount &&
      std::int64_t(OctetCount - OctetIndex) * 8 - BitIndex >= std::int64_t(count) * 7) {
    ReadWholeSeptetText(count, out);
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

void tSMSDecode::ReadWholeSeptetText(unsigned count, std::string& out) {
  // Every septet is there: turn the octets they use into bytes once, then
  // take each septet from two neighbouring bytes; the same as `count` calls
  // of Get7Bit.
  std::uint8_t oct[240];
  const unsigned first = static_cast<unsigned>(BitIndex);
  const unsigned need = (first + 7 * count + 7) / 8;
  StoredHexToOctets(Hex.data() + std::size_t(OctetIndex) * 2, need, oct);
  std::memset(oct + need, 0, 8);
  char buf[256];
  SeptetWriter writer{buf};
  unsigned k = 0;
  unsigned bit = first;
  for (; k + 8 <= count; k += 8, bit += 56) writer.Eight(oct + (bit >> 3), bit & 7);
  for (; k < count; ++k, bit += 7) {
    unsigned pair = unsigned(oct[bit >> 3]) | unsigned(oct[(bit >> 3) + 1]) << 8;
    writer.One((pair >> (bit & 7)) & 0x7F);
  }
  std::int64_t end = std::int64_t(BitIndex) + std::int64_t(count) * 7;
  OctetIndex += static_cast<std::int32_t>(end >> 3);
  BitIndex = static_cast<std::int32_t>(end & 7);
  ClearError();
  out.append(buf, writer.n);
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

unsigned tSMSDecode::ReadUserDataHeader() {
  GetByte(Udhl);
  HeaderHex.reserve(2 * std::size_t(Udhl));
  for (unsigned i = 0; i < Udhl; ++i) {
    std::uint8_t octet = 0;
    if (!GetByte(octet)) break;
    HeaderHex.push_back(kHexUpper[octet >> 4]);
    HeaderHex.push_back(kHexUpper[octet & 0xF]);
  }
  ParseHeader();
  return (unsigned(Udhl) + 1) * 8;
}

void tSMSDecode::Read7BitText(unsigned headerBits) {
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
}

void tSMSDecode::ReadUcs2Text() {
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
}

void tSMSDecode::Read8BitHex() {
  // The octets that are there (a short one is no error here, as it is none
  // without the text).
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

void tSMSDecode::ReadUserData() {
  if (HasError) return;
  if (!GetByte(Udl)) return;
  HeaderHex.clear();
  const unsigned headerBits = Udhi ? ReadUserDataHeader() : 0;
  Text.clear();
  if (Coding == kCoding7Bit) Read7BitText(headerBits);
  else if (Coding == kCodingUcs2) ReadUcs2Text();
  else if (Utf8 && BitIndex == 0) Read8BitHex();  // 8-bit data as hex
  // 8-bit data otherwise: no text.
}

}  // namespace pdulink
