// Long outgoing messages: a body that does not fit one SMS-SUBMIT is cut
// into concatenated parts (3GPP TS 23.040 9.2.3.24.1), each a PDU of its
// own with the same send options, and a durable counter hands out the
// concatenation reference. Pure apart from the counter's state file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sms_submit.h"

namespace pdulink {

inline constexpr int kDefaultMaxParts = 6;
inline constexpr int kMaxPartsLimit = 255;

// Septets or UCS2 characters of one part under an 8-bit reference element
// (six header octets); a 16-bit reference costs one septet, or half a
// character, more.
inline constexpr unsigned kSeptetsPerPart = 153;
inline constexpr unsigned kUcs2UnitsPerPart = 67;

// TP-UDHI in the first octet of an SMS-SUBMIT (TS 23.040 9.2.3.23).
inline constexpr std::uint8_t kSubmitUdhi = 0x40;

// Information element identifiers of the concatenation header.
inline constexpr std::uint8_t kIeiConcat8 = 0x00;
inline constexpr std::uint8_t kIeiConcat16 = 0x08;

struct ConcatChoices {
  bool enabled = false;             // off: always one message, cut as before
  int maxParts = kDefaultMaxParts;  // 1..255
  bool ref16 = false;               // 16-bit reference element
};

// One PDU to send.
struct SubmitPart {
  std::string pduHex;      // service-centre field + TPDU
  int cmgsLength = 0;      // octets after the service-centre field
  int userDataLength = 0;  // header included: septets, or octets for UCS2
  int seq = 1;             // 1-based
  int total = 1;
};

struct ConcatSubmit {
  // What AssembleSubmit gives for the body: its journal lines, number, body
  // and fields; for a message that fits, its PDU is the one part.
  SubmitPdu base;
  // The PDUs to send, in order: one for a message that fits (base.pduHex
  // unchanged), 2..maxParts otherwise; empty when nothing may be sent.
  std::vector<SubmitPart> parts;
  int partsNeeded = 1;          // also when more than allowed
  bool tooManyParts = false;    // more than maxParts: nothing to send
  bool usesReference = false;   // true: the counter's reference went in
  std::uint16_t reference = 0;  // as written (8-bit: the low octet)
  std::string errorLine;        // the journal line of a refusal by length
  bool ok() const { return base.ok && !tooManyParts; }
};

// The collapsed text cut into parts of at most perPart septets, only between
// characters (an escape pair of the extension table stays whole). The
// offsets where parts begin, followed by the text's size; an empty text is
// one empty part.
std::vector<std::size_t> CutSeptetText(std::string_view text, unsigned perPart);

// UTF-16 units cut into parts of at most perPart units; a surrogate pair
// stays whole. Offsets as above.
std::vector<std::size_t> CutUnits(std::u16string_view units, unsigned perPart);

// Septets of a cp1251 text in the GSM alphabet (an escape pair counts two).
unsigned SeptetCount(std::string_view text);

// The body as one message (byte for byte what AssembleSubmit builds) when
// concatenation is off or the body fits, otherwise as concatenated parts
// carrying `reference` (its low octet for an 8-bit element). The first
// octet of each part has TP-UDHI set besides what AssembleSubmit sets.
// With choices.shiftTables and a UTF-8 body, a text that goes in fewer
// parts with a national language table goes so (see PlanShiftedText), the
// shift elements in each part's header; with concatenation off only when
// it then fits one message.
ConcatSubmit AssembleConcatSubmit(std::string_view number, std::string_view body, const SubmitChoices& choices,
                                  const ConcatChoices& concat, std::uint16_t reference);

// The parts a body needs (1 when it fits one message), for the window's
// counter next to the send field: characters after the blanks collapse.
struct PartCount {
  int characters = 0;
  int parts = 1;
  bool ucs2 = false;
};
// utf8: the body is UTF-8 (Utf8Files): characters are code points, and the
// coding is the one the send chooses for it, with the national language
// shift tables `shiftTables` (ShiftTables=) when there are any.
PartCount CountParts(std::string_view body, bool ref16, bool utf8 = false,
                     const std::vector<std::uint8_t>& shiftTables = {});

// Concatenation references handed out per long message, kept in a small
// state file so that a restart does not start over (a recipient would mix
// two messages with the same reference). The file holds the next value as
// one decimal line; a missing or unreadable file starts at 0.
class ConcatReferenceCounter {
 public:
  explicit ConcatReferenceCounter(std::string path) : path_(std::move(path)) {}
  // Reads the state file; false when it was there but unreadable.
  bool Load();
  // The reference the next long message gets.
  std::uint16_t Peek() const { return next_; }
  // Moves on to the next reference and writes it durably; false (with the
  // reason in `error`) when the file could not be written: the counter has
  // moved on in memory all the same.
  bool Advance(std::string* error = nullptr);
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::uint16_t next_ = 0;
};

// File name of the counter, in the working directory.
inline constexpr std::string_view kConcatRefFileName = "sms_concat.ref";

}  // namespace pdulink
