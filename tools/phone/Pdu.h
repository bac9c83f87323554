// SMS PDU packing for the simulated phone: the GSM 7-bit default alphabet
// with its extension table, UCS2, semi-octet and alphanumeric addresses,
// service-centre time stamps and concatenation headers (3GPP TS 23.038,
// TS 23.040), plus the checks a handset applies to a PDU it is asked to send.
//
// This is deliberately independent of the gateway's own codec so that each
// can be used to cross-check the other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone {

using Bytes = std::vector<std::uint8_t>;

// Upper-case hex, two digits per octet.
std::string ToHex(const Bytes& bytes);
// Accepts upper or lower case; false on odd length or a non-hex digit.
bool FromHex(std::string_view hex, Bytes& out);

// UTF-8 to code points; false on malformed input (overlong forms, surrogates
// and truncated sequences included).
bool DecodeUtf8(std::string_view text, std::u32string& out);
std::string EncodeUtf8(std::u32string_view text);

// Septets of the GSM default alphabet for the text; characters of the
// extension table become an escape (0x1B) followed by their code. False when
// a character is in neither table.
bool ToGsmSeptets(std::u32string_view text, Bytes& septets);
// The reverse, for checks and for showing stored messages; unknown codes
// become '?'.
std::u32string FromGsmSeptets(const Bytes& septets);

// Packs septets LSB first, starting `startBit` bits into the output (the
// space before it is left zero for a user-data header and fill bits).
Bytes PackSeptets(const Bytes& septets, unsigned startBit = 0);
// Unpacks `count` septets starting `startBit` bits into `packed`.
Bytes UnpackSeptets(const Bytes& packed, unsigned count, unsigned startBit = 0);

// Service-centre time stamp (TS 23.040 9.2.3.11), local time with the zone
// in quarters of an hour east of UTC.
struct Timestamp {
  int year = 0;  // two digits, 0..99
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int zoneQuarters = 0;
};
Timestamp NowTimestamp();
// Parses "YYMMDDhhmmss" followed by a signed quarter count, e.g.
// "050619222217+12". False when the text does not have that form.
bool ParseTimestamp(std::string_view text, Timestamp& out);
void AppendTimestamp(Bytes& out, const Timestamp& ts);

// TP address (TS 23.040 9.1.2.5): length, type of number, digits.
// "+123" gives type 0x91, "123" type 0x81; anything that is not digits with an
// optional leading '+' is an alphanumeric sender (type 0xD0, at most 11
// characters of the GSM alphabet). False with a reason on bad input.
bool AppendAddress(Bytes& out, std::string_view number, std::string& error);
// Service-centre field of a PDU-mode PDU (TS 27.005): octet count, type,
// digits; an empty number gives the single octet 00.
bool AppendSmscField(Bytes& out, std::string_view number, std::string& error);

// Length of the service-centre field at the start of a PDU-mode PDU
// (including its length octet), or -1 when the field runs past the end.
int SmscFieldLength(const Bytes& pdu);

// One message to deliver to the phone, turned into one or more SMS-DELIVER
// PDUs (with service-centre field). Texts that fit the GSM alphabet go out
// 7-bit, others in UCS2; long texts are split into concatenated parts with an
// 8-bit reference (153 septets or 67 UTF-16 units per part).
struct DeliverRequest {
  std::string smsc;    // "+12345678901"; empty gives the field 00
  std::string sender;  // digits, "+digits" or an alphanumeric name
  std::string text;    // UTF-8
  Timestamp time;
  int reference = 0;   // concatenation reference, 0..255
  bool forceUcs2 = false;
  int messageClass = -1;  // -1 none, 0..3 adds a class to the coding scheme
};
bool BuildDeliver(const DeliverRequest& request, std::vector<Bytes>& pdus, std::string& error);

// SMS-STATUS-REPORT (TS 23.040 9.2.2.3) with service-centre field.
bool BuildStatusReport(std::string_view smsc, int messageReference, std::string_view recipient,
                       int status, const Timestamp& time, Bytes& pdu, std::string& error);

// Checks an SMS-SUBMIT TPDU (without service-centre field) the way a handset
// does before sending it: every field present, lengths consistent, nothing
// left over. Empty result when it is sound, otherwise the reason.
std::string CheckSubmit(const Bytes& tpdu);

// Number of user-data octets a coding scheme and user-data length imply,
// or -1 for an impossible length.
int UserDataOctets(std::uint8_t dcs, unsigned udl);

}  // namespace pdulink::phone
