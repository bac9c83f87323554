// The checks a handset applies to an SMS-SUBMIT it is asked to send.
#include "Pdu.h"

namespace pdulink::phone {

int UserDataOctets(std::uint8_t dcs, unsigned udl) {
  // Alphabet from the coding group (TS 23.038 4): 0 = 7-bit, 1 = 8-bit, 2 = UCS2.
  int alphabet = 0;
  unsigned group = dcs >> 4;
  if (group <= 7) {
    alphabet = (dcs >> 2) & 3;
    if (alphabet == 3) alphabet = 0;  // reserved: treat as the default alphabet
  } else if (group == 0xE) {
    alphabet = 2;
  } else if (group == 0xF) {
    alphabet = (dcs & 0x04) ? 1 : 0;
  }
  if (alphabet == 0) return udl > 160 ? -1 : static_cast<int>((udl * 7 + 7) / 8);
  return udl > 140 ? -1 : static_cast<int>(udl);
}

std::string CheckSubmit(const Bytes& tpdu) {
  std::size_t at = 0;
  auto need = [&](std::size_t n) { return at + n <= tpdu.size(); };
  if (!need(2)) return "TPDU too short";
  std::uint8_t first = tpdu[0];
  if ((first & 0x03) != 0x01) return "not an SMS-SUBMIT";
  at = 2;  // first octet, message reference
  if (!need(2)) return "destination address missing";
  std::size_t digits = tpdu[at];
  if (digits > 20) return "destination address too long";
  std::size_t addressOctets = (digits + 1) / 2;
  at += 2;
  if (!need(addressOctets)) return "destination address truncated";
  at += addressOctets;
  if (!need(2)) return "protocol identifier or coding scheme missing";
  std::uint8_t dcs = tpdu[at + 1];
  at += 2;
  switch ((first >> 3) & 0x03) {  // validity-period format
    case 0: break;
    case 2: at += 1; break;
    default: at += 7; break;
  }
  if (!need(1)) return "validity period or user-data length missing";
  unsigned udl = tpdu[at++];
  int octets = UserDataOctets(dcs, udl);
  if (octets < 0) return "user-data length out of range";
  if (tpdu.size() - at != static_cast<std::size_t>(octets)) return "user data does not match its length";
  if ((first & 0x40) && (octets == 0 || static_cast<std::size_t>(tpdu[at]) + 1 > static_cast<std::size_t>(octets)))
    return "user-data header does not fit";
  return {};
}

}  // namespace pdulink::phone
