#include "sms_submit.h"

#include <charconv>

#include "gsm_alphabet.h"
#include "sms_msg.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace pdulink {

bool CutPrefix(std::string& body, std::string_view prefix) {
  if (body.size() < prefix.size() || !EqualNoCase(std::string_view(body).substr(0, prefix.size()), prefix))
    return false;
  body.erase(0, prefix.size());
  return true;
}

std::optional<int> ParseDecimal(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

StoredValidity ParseValidityFile(bool exists, bool readOk, std::string_view firstLine) {
  StoredValidity s;
  if (!exists) return s;
  if (!readOk) {
    s.journalLine = "Error Read File: sms_vp.ini";
    firstLine = {};
  }
  std::optional<int> v = ParseDecimal(TrimBlanks(firstLine));
  if (!v) return s;  // not a number (an empty line included): no message
  if (*v < 0 || *v > 255) {
    // A read error and a bad value cannot both happen: a failed read
    // leaves no text.
    s.journalLine = "Error Value in file: sms_vp.ini";
    return s;
  }
  s.value = static_cast<std::uint8_t>(*v);
  return s;
}

std::string ValidityPeriodLabel(unsigned value) {
  unsigned v = value & 0xFF;
  auto minutes = [](unsigned m) { return std::to_string(m) + " min =" + std::to_string(m / 60) + " h"; };
  if (v <= 143) return minutes((v + 1) * 5);
  if (v <= 167) return minutes(720 + (v - 143) * 30);
  if (v <= 196) return std::to_string(v - 166) + " days";
  return std::to_string(v - 192) + " weeks";
}

namespace {

// What the send options at the start of a body ask for.
struct SendOptions {
  std::uint8_t dcs = 0;                  // the flash class bit
  std::optional<std::uint8_t> validity;  // "#vp<value>#"
};

// Cuts the send options "#flash#", "#smsc<number>#" and "#vp<value>#" (in
// that order, each optional) off the start of the body; a custom service
// centre goes into r.smscField. False, with the journal line in r, when one
// is malformed.
// A custom service centre into r.smscField, with its journal line; false
// (and the line why) when it is no number.
bool SetCustomSmsc(const std::string& smsc, SubmitPdu& r) {
  r.journal.push_back("Custom SMSC: " + smsc);
  std::string type;
  std::string digits = EncodePhone(smsc, type);
  if (digits.empty() || type.empty()) {
    r.journal.emplace_back("Invalid Custom SMSC");
    return false;
  }
  r.smscField = ByteToHex(static_cast<unsigned>(1 + digits.size() / 2)) + type + digits;
  return true;
}

bool CutSendOptions(std::string& body, SendOptions& options, SubmitPdu& r) {
  if (CutPrefix(body, "#flash#")) options.dcs |= kDcsFlash;
  if (CutPrefix(body, "#smsc")) {
    size_t hash = body.find('#');
    // At least one character must stand before the closing "#".
    if (hash == std::string::npos || hash == 0) {
      r.journal.emplace_back("Invalid #SMSC# Option");
      return false;
    }
    std::string smsc = body.substr(0, hash);
    body.erase(0, hash + 1);
    if (!SetCustomSmsc(smsc, r)) return false;
  }
  if (CutPrefix(body, "#vp")) {
    size_t hash = body.find('#');
    if (hash == std::string::npos) {
      r.journal.emplace_back("Invalid #VP# Option");
      return false;
    }
    int v = ParseDecimal(std::string_view(body).substr(0, hash)).value_or(kDefaultValidityPeriod);
    options.validity = static_cast<std::uint8_t>(v & 0xFF);
    body.erase(0, hash + 1);
  }
  return true;
}

// The TPDU after the service-centre field, as hex: first octet, reference,
// destination, PID, DCS, validity period and the user data.
void AppendSubmitFields(SubmitPdu& r, const std::string& type, const std::string& address, bool statusReport,
                        const tSMSmsg& builder) {
  // The address length counts digits; the padding "F" is no digit.
  unsigned digitCount = static_cast<unsigned>(address.size());
  if (!address.empty() && address[address.size() - 2] == 'F') --digitCount;

  std::uint8_t first = kSubmitMti | kSubmitVpRelative;
  if (statusReport) first |= kSubmitStatusReportRequest;

  std::string& pdu = r.pduHex;
  pdu += ByteToHex(first);
  pdu += "00";  // TP-MR: the phone assigns the reference
  pdu += ByteToHex(digitCount);
  pdu += type;
  pdu += address;
  pdu += "00";  // TP-PID: plain short message
  pdu += ByteToHex(r.dataCoding);
  r.journal.push_back("Relative Validity Period=" + std::to_string(r.validityPeriod));
  pdu += ByteToHex(r.validityPeriod);
  pdu += ByteToHex(static_cast<unsigned>(r.userDataLength));
  if (r.userDataLength > 0) pdu += builder.ToHex();
}

}  // namespace

SubmitPdu AssembleSubmit(std::string_view number, std::string_view bodyIn, const SubmitChoices& choices) {
  SubmitPdu r;
  r.journal.reserve(6);
  std::string body(bodyIn);
  r.smscField = "00";
  SendOptions options;
  if (choices.sendOptions && !CutSendOptions(body, options, r)) return r;
  if (choices.flash) options.dcs |= kDcsFlash;
  if (choices.validity) options.validity = choices.validity;
  if (!choices.smsc.empty() && !SetCustomSmsc(choices.smsc, r)) return r;
  if (options.validity) {
    r.validityPeriod = *options.validity;
  } else {
    r.validityPeriod = choices.stored.value;
    if (!choices.stored.journalLine.empty()) r.journal.push_back(choices.stored.journalLine);
  }

  r.number = std::string(TrimBlanks(number));
  r.journal.push_back("Start sending to: " + r.number);
  std::string type;
  std::string address = EncodePhone(r.number, type);
  if (address.empty() || type.empty()) {
    r.journal.push_back("Not Valid telephone number:" + r.number);
    return r;
  }
  r.journal.emplace_back(type == kTypeNational ? "is  National telephone number"
                                               : "is  International telephone number");

  r.body = std::string(TrimBlanks(body));
  tSMSmsg builder;
  if (choices.utf8Body) {
    // Collapsing touches only bytes below 0x21, never a part of a UTF-8
    // sequence.
    const OutgoingText text = ChooseCoding(CollapseBlanks(r.body));
    if (!text.ok) {
      r.journal.push_back("Malformed UTF-8 text at byte " + std::to_string(text.badOffset));
      return r;
    }
    r.userDataLength = text.ucs2 ? builder.AddUcs2Units(text.units) : builder.AddSeptets(text.septets);
    r.dataCoding = static_cast<std::uint8_t>(options.dcs | (text.ucs2 ? kDcsUcs2 : 0));
  } else {
    r.userDataLength = builder.AddText(r.body);
    r.dataCoding = static_cast<std::uint8_t>(options.dcs | (NeedsUcs2(r.body) ? kDcsUcs2 : 0));
  }

  r.pduHex.reserve(r.smscField.size() + 20 + address.size() + 2u * builder.kCapacity);
  r.pduHex += r.smscField;
  r.journal.push_back(r.smscField);
  AppendSubmitFields(r, type, address, choices.statusReport, builder);
  r.cmgsLength = static_cast<int>((r.pduHex.size() - r.smscField.size()) / 2);
  r.ok = true;
  return r;
}

}  // namespace pdulink
