// pdulink-pdu encode: the SMS-SUBMIT PDU that pdulink sends for a number
// and a text, or its concatenated parts.
#include <ostream>

#include "codepage.h"
#include "national_tables.h"
#include "pdu_tool.h"
#include "pdu_tool_commands.h"
#include "sms_concat.h"
#include "sms_submit.h"
#include "text_helpers.h"

namespace pdulink::pdutool {
namespace {

// encode --multipart: every part on a line of its own.
int EncodeParts(const Options& opt, const std::string& number, const std::string& body,
                const SubmitChoices& choices, int ref, std::ostream& out, std::ostream& err) {
  ConcatChoices concat;
  concat.enabled = true;
  concat.maxParts = kMaxPartsLimit;
  concat.ref16 = opt.ref16;
  ConcatSubmit s = AssembleConcatSubmit(number, body, choices, concat, static_cast<std::uint16_t>(ref));
  if (!s.ok()) {
    const std::string why = s.tooManyParts ? s.errorLine
                            : s.base.journal.empty() ? std::string("invalid input")
                                                     : s.base.journal.back();
    err << "pdulink-pdu: " << AnsiToUtf8(why) << '\n';
    return kExitFailed;
  }
  for (const SubmitPart& p : s.parts) {
    if (opt.json) {
      out << "{\"Part\":" << p.seq << ",\"Parts\":" << p.total;
      if (s.usesReference) out << ",\"Reference\":" << s.reference;
      out << ",\"Pdu\":\"" << p.pduHex << "\",\"CmgsLength\":" << p.cmgsLength
          << ",\"UserDataLength\":" << p.userDataLength << "}\n";
    } else {
      out << p.pduHex << " AT+CMGS=" << p.cmgsLength << '\n';
    }
  }
  out.flush();
  return kExitOk;
}

// encode's numbers and lists, checked; each reader is false (its message
// written to err) on a bad value.
struct EncodeValues {
  int vp = kDefaultValidityPeriod;
  int ref = 0;
  std::vector<std::uint8_t> shiftTables;
};

bool ReadValidityPeriod(const Options& opt, EncodeValues& values, std::ostream& err) {
  if (!opt.vp) return true;
  std::optional<int> v = ParseDecimal(*opt.vp);
  if (!v || *v < 0 || *v > 255) {
    err << "pdulink-pdu: --vp needs a number 0..255, not '" << *opt.vp << "'\n";
    return false;
  }
  values.vp = *v;
  return true;
}

bool ReadReference(const Options& opt, EncodeValues& values, std::ostream& err) {
  if ((opt.ref || opt.ref16) && !opt.multipart) {
    err << "pdulink-pdu: --ref and --ref16 belong to --multipart\n";
    return false;
  }
  if (!opt.ref) return true;
  std::optional<int> v = ParseDecimal(*opt.ref);
  const int top = opt.ref16 ? 0xFFFF : 0xFF;
  if (!v || *v < 0 || *v > top) {
    err << "pdulink-pdu: --ref needs a number 0.." << top << ", not '" << *opt.ref << "'\n";
    return false;
  }
  values.ref = *v;
  return true;
}

bool ReadShiftTables(const Options& opt, EncodeValues& values, std::ostream& err) {
  if (!opt.shift) return true;
  ShiftList list = ParseShiftList(*opt.shift);
  if (!list.badName.empty() || list.languages.empty()) {
    err << "pdulink-pdu: --shift needs language codes (tr,es,pt,bn,gu,hi,kn,ml,or,pa,ta,te,ur), not '"
        << *opt.shift << "'\n";
    return false;
  }
  values.shiftTables = std::move(list.languages);
  return true;
}

// The words after the number, joined by blanks. With --utf8 the text as it
// is, every character kept (7-bit when the GSM alphabet holds them all, UCS2
// otherwise); without it, cp1251 as the gateway's default.
std::string JoinedText(const std::vector<std::string>& args, bool utf8) {
  std::string text;
  for (size_t i = 1; i < args.size(); ++i) {
    if (i > 1) text.push_back(' ');
    text += args[i];
  }
  if (!utf8) text = Utf8ToAnsi(text);
  return text;
}

// The body as the gateway reads it from a file: the choices travel as send
// options, closed by the validity period whenever there are any, so a text
// that itself begins with "#" stays text.
std::string BodyWithOptions(const Options& opt, int vp, const std::string& text, SubmitChoices& choices) {
  std::string body;
  if (opt.flash || opt.smsc || opt.vp) {
    choices.sendOptions = true;
    if (opt.flash) body += "#flash#";
    if (opt.smsc) body += "#smsc" + Utf8ToAnsi(*opt.smsc) + "#";
    body += "#vp" + std::to_string(vp) + "#";
  }
  body += text;
  return body;
}

// One message, concatenation off: with --shift it may carry the shift
// elements; otherwise exactly what AssembleSubmit builds.
int EncodeOne(const Options& opt, const std::string& number, const std::string& body,
              const SubmitChoices& choices, std::ostream& out, std::ostream& err) {
  const SubmitPdu pdu = AssembleConcatSubmit(number, body, choices, {}, 0).base;
  if (!pdu.ok) {
    err << "pdulink-pdu: " << AnsiToUtf8(pdu.journal.empty() ? "invalid input" : pdu.journal.back()) << '\n';
    return kExitFailed;
  }
  if (opt.json) {
    out << "{\"Pdu\":\"" << pdu.pduHex << "\",\"CmgsLength\":" << pdu.cmgsLength
        << ",\"UserDataLength\":" << pdu.userDataLength << "}\n";
  } else {
    out << pdu.pduHex << '\n' << "AT+CMGS=" << pdu.cmgsLength << '\n';
  }
  out.flush();
  return kExitOk;
}

}  // namespace

int Encode(const Options& opt, const std::vector<std::string>& args, std::istream&, std::ostream& out,
           std::ostream& err) {
  if (args.size() < 2) {
    err << "pdulink-pdu: encode needs NUMBER and TEXT\n"
        << "Try 'pdulink-pdu --help'.\n";
    return kExitUsage;
  }
  EncodeValues values;
  if (!ReadValidityPeriod(opt, values, err) || !ReadReference(opt, values, err) ||
      !ReadShiftTables(opt, values, err))
    return kExitUsage;
  const bool utf8 = opt.utf8 || opt.shift;
  SubmitChoices choices;
  choices.statusReport = opt.report;
  choices.utf8Body = utf8;
  choices.shiftTables = values.shiftTables;
  const std::string body = BodyWithOptions(opt, values.vp, JoinedText(args, utf8), choices);
  if (opt.smsc && opt.smsc->empty()) {
    err << "pdulink-pdu: --smsc needs a number\n";
    return kExitUsage;
  }
  if (opt.multipart) return EncodeParts(opt, Utf8ToAnsi(args[0]), body, choices, values.ref, out, err);
  return EncodeOne(opt, Utf8ToAnsi(args[0]), body, choices, out, err);
}

std::string Utf8ToAnsi(std::string_view utf8) {
  std::u16string wide;
  wide.reserve(utf8.size());
  size_t i = 0;
  auto cont = [&](size_t at) {
    return at < utf8.size() && (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80;
  };
  while (i < utf8.size()) {
    auto b = static_cast<unsigned char>(utf8[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b < 0xE0 && cont(i + 1)) {
      cp = (b & 0x1Fu) << 6 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
      len = 2;
    } else if (b >= 0xE0 && b < 0xF0 && cont(i + 1) && cont(i + 2)) {
      cp = (b & 0x0Fu) << 12 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu) << 6 |
           (static_cast<unsigned char>(utf8[i + 2]) & 0x3Fu);
      len = 3;
      if (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000)) cp = 0xFFFD;
    } else if (b >= 0xF0 && b < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      len = 4;  // beyond UTF-16's single units, so beyond cp1251 too
    }
    wide.push_back(cp > 0xFFFF ? u'\uFFFD' : static_cast<char16_t>(cp));
    i += len;
  }
  return WideToAnsi(wide);
}

}  // namespace pdulink::pdutool
