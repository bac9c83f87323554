// The decoder: its read primitives (octets, semi-octets, bits, septets,
// time stamps) and the fields of each message type up to the user data.
#include "sms_decode.h"

#include <limits>

#include "stored_hex.h"

namespace pdulink {

using stored_hex::HexValue;
using stored_hex::KeepHexDigitsSwapped;

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

}  // namespace pdulink
