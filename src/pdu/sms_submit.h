// Assembly of an outgoing SMS-SUBMIT PDU (3GPP TS 23.040 9.2.2.2, preceded
// by the service-centre field of TS 27.005 PDU mode) from a destination
// number and a body that may begin with send options. Pure: the journal
// lines are returned, not written; the send operation and pdulink-pdu both
// use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink {

// The validity period used whenever nothing valid is stored: one day.
inline constexpr std::uint8_t kDefaultValidityPeriod = 167;

// Removes `prefix` from the start of `body` when the body begins with it
// (ASCII letters compared without regard to case); true when it did.
bool CutPrefix(std::string& body, std::string_view prefix);

// The text as a decimal integer: optional leading blanks, an optional sign,
// digits, nothing after them, within the range of int.
std::optional<int> ParseDecimal(std::string_view text);

// The validity period held by sms_vp.ini, from what reading the file gave,
// with the journal line that reading it writes (empty when none).
struct StoredValidity {
  std::uint8_t value = kDefaultValidityPeriod;
  std::string journalLine;
};
// exists: the file is there; readOk: its first line could be read.
StoredValidity ParseValidityFile(bool exists, bool readOk, std::string_view firstLine);

// The plain-words text of a relative validity period octet (TS 23.040
// 9.2.3.12.1): "60 min =1 h", "2 days", "5 weeks".
std::string ValidityPeriodLabel(unsigned value);

// The first octet of an SMS-SUBMIT (TS 23.040 9.2.3.1 - 9.2.3.5).
enum SubmitFirstOctet : std::uint8_t {
  kSubmitMti = 0x01,               // TP-MTI: SMS-SUBMIT
  kSubmitVpRelative = 0x10,        // TP-VPF: relative format present
  kSubmitStatusReportRequest = 0x20,  // TP-SRR
};

// Data coding scheme bits (TS 23.038 4): UCS2 and message class 0 (flash).
inline constexpr std::uint8_t kDcsUcs2 = 0x08;
inline constexpr std::uint8_t kDcsFlash = 0x10;

struct SubmitChoices {
  bool sendOptions = false;    // recognise "#flash#", "#smsc...#", "#vp...#"
  bool statusReport = false;   // TP-SRR
  // The body is UTF-8 instead of cp1251: it goes in the GSM 7-bit alphabet
  // when that holds every character (extension table included), otherwise
  // as UCS2 with every character (surrogate pairs above the basic plane).
  bool utf8Body = false;
  // National language shift tables a UTF-8 body may go with (ShiftTables=,
  // TS 23.038 6.2.1.2.4 identifiers); empty: none, every PDU as without it.
  // AssembleConcatSubmit applies them.
  std::vector<std::uint8_t> shiftTables;
  // The validity period when the body carries no "#vp" option, with the
  // journal line its reading wrote (inserted where that reading happens).
  StoredValidity stored;
  // Options that come beside the body instead of in it (a message from the
  // spool): the flash class, a validity period that replaces the stored
  // one, a service centre; they apply as the body's options would.
  bool flash = false;
  std::optional<std::uint8_t> validity;
  std::string smsc;
};

struct SubmitPdu {
  bool ok = false;               // false: an option or the number was invalid
  std::string pduHex;            // service-centre field + TPDU
  std::string smscField;         // "00" or the custom service centre
  int cmgsLength = 0;            // octets after the service-centre field
  int userDataLength = 0;        // septets, or octets for UCS2
  std::uint8_t validityPeriod = kDefaultValidityPeriod;
  std::uint8_t dataCoding = 0;
  std::string number;            // trimmed as written to the journal
  std::string body;              // after the options, trimmed
  std::vector<std::string> journal;  // lines written before the send, in order
};

// number: as typed (a leading "+" allowed); body: cp1251, or UTF-8 with
// utf8Body (malformed UTF-8 is refused with a journal line).
SubmitPdu AssembleSubmit(std::string_view number, std::string_view body, const SubmitChoices& choices);

}  // namespace pdulink
