#include "pdu_tool.h"

#include <cstdio>
#include <optional>
#include <istream>
#include <ostream>

#include "codepage.h"
#include "national_tables.h"
#include "sms_concat.h"
#include "sms_submit.h"
#include "sms_time.h"
#include "text_helpers.h"

namespace pdulink::pdutool {
namespace {

constexpr std::string_view kUsage =
    "Usage: pdulink-pdu [--json] [--utf8] decode [HEX...]\n"
    "       pdulink-pdu [--json] [--utf8] encode [--flash] [--vp N] [--smsc NUMBER] [--report]\n"
    "                   [--multipart [--ref N] [--ref16]] [--shift LIST] NUMBER TEXT\n"
    "       pdulink-pdu --help | --version\n"
    "\n"
    "Commands:\n"
    "  decode     Decode SMS PDUs as a phone lists them in PDU mode (the\n"
    "             service-centre field first): SMS-DELIVER, SMS-SUBMIT and\n"
    "             SMS-STATUS-REPORT. Each HEX argument is one PDU; without\n"
    "             one, standard input is read, one PDU per line, and the\n"
    "             output answers every input line in turn (numbered by line;\n"
    "             with --json one line each): a blank line is an error, AT\n"
    "             command lines and \"+...\"/\"OK\" reply lines are skipped,\n"
    "             so a modem listing can be pasted as it is.\n"
    "  encode     Build the SMS-SUBMIT PDU that pdulink sends for NUMBER\n"
    "             (a leading \"+\" allowed) and TEXT (UTF-8; several words are\n"
    "             joined by blanks; characters Windows-1251 lacks become \"?\"\n"
    "             unless --utf8),\n"
    "             and print it with the AT+CMGS command line that goes before\n"
    "             it. The text is packed in the GSM 7-bit alphabet, or as UCS2\n"
    "             when it holds Cyrillic letters; what does not fit into one\n"
    "             message is dropped (with --multipart it is sent in parts).\n"
    "\n"
    "Options:\n"
    "  --json         one JSON object per PDU and line, with the decoder's\n"
    "                 fields under their own names, texts in UTF-8; for\n"
    "                 encode: Pdu, CmgsLength and UserDataLength\n"
    "  --utf8         as the gateway with Utf8Files=1: decode shows the\n"
    "                 full text (every UCS2 character, the euro sign, 8-bit\n"
    "                 data as hex); encode keeps every character: the GSM\n"
    "                 7-bit alphabet with its extension table when it holds\n"
    "                 them all, UCS2 otherwise\n"
    "  --flash        encode: a class 0 (flash) message\n"
    "  --vp N         encode: relative validity period 0..255 (default 167,\n"
    "                 one day)\n"
    "  --smsc NUMBER  encode: this service centre instead of the phone's own\n"
    "  --report       encode: ask for a status report\n"
    "  --multipart    encode: a text longer than one message becomes\n"
    "                 concatenated parts (153 septets or 67 UCS2 characters\n"
    "                 each), one line per part: the PDU, a blank and the\n"
    "                 AT+CMGS command (--json: one object per part)\n"
    "  --ref N        encode --multipart: the concatenation reference\n"
    "                 (default 0; 0..255, with --ref16 0..65535)\n"
    "  --ref16        encode --multipart: a 16-bit reference element\n"
    "  --shift LIST   encode: as the gateway with ShiftTables=LIST (implies\n"
    "                 --utf8): national language shift tables, e.g. tr,es,pt\n"
    "                 (also bn gu hi kn ml or pa ta te ur), taken when they\n"
    "                 need fewer parts than the default alphabet or UCS2\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n"
    "\n"
    "Exit status: 0 every PDU decoded (encode: built), 1 some PDU failed\n"
    "(encode: invalid number or service centre, more than 255 parts), 2 usage\n"
    "error.\n";

struct Options {
  bool json = false;
  bool utf8 = false;  // decode: full texts in UTF-8; encode: UTF-8 rules
  // encode only
  bool flash = false;
  bool report = false;
  std::optional<std::string> vp;
  std::optional<std::string> smsc;
  bool multipart = false;
  bool ref16 = false;
  std::optional<std::string> ref;
  std::optional<std::string> shift;
  bool EncodeOnly() const { return flash || report || vp || smsc || multipart || ref16 || ref || shift; }
};

using Command = int (*)(const Options&, const std::vector<std::string>&, std::istream&,
                        std::ostream&, std::ostream&);

const char* TypeName(std::uint8_t mti) {
  switch (static_cast<MessageType>(mti & 3)) {
    case MessageType::Deliver: return "SMS-DELIVER";
    case MessageType::Submit: return "SMS-SUBMIT";
    case MessageType::StatusReport: return "SMS-STATUS-REPORT";
    case MessageType::Reserved: return "reserved";
  }
  return "reserved";
}

const char* CodingName(std::uint8_t coding) {
  switch (coding) {
    case kCoding7Bit: return "7-bit";
    case kCoding8Bit: return "8-bit data";
    case kCodingUcs2: return "UCS2";
    default: return "reserved";
  }
}

// A cp1251 text for the terminal: UTF-8 in quotes, control characters,
// quotes and backslashes escaped so that a text never breaks the layout.
// With isUtf8 the text is UTF-8 already (decode --utf8).
std::string Quoted(std::string_view cp1251, bool isUtf8 = false) {
  std::string utf8 = isUtf8 ? std::string(cp1251) : AnsiToUtf8(cp1251);
  std::string out = "\"";
  for (char c : utf8) {
    auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", b);
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string Hex2(unsigned v) { return ByteToHex(v); }

class TextBlock {
 public:
  void Line(std::string_view name, std::string_view value) {
    out_.append("  ").append(name);
    out_.append(name.size() < 16 ? 16 - name.size() : 1, ' ');
    out_.append(value).push_back('\n');
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

int Decode(const Options& opt, const std::vector<std::string>& args, std::istream& in,
           std::ostream& out, std::ostream&) {
  bool anyFailed = false;
  int number = 0;
  int blocks = 0;  // readable blocks written, for the blank line between them
  auto one = [&](std::string_view pdu) {
    tSMSDecode d;
    d.Utf8 = opt.utf8;
    d.Decode(pdu);
    anyFailed = anyFailed || d.HasError;
    ++number;
    if (opt.json) {
      out << DecodeToJson(d) << '\n';
    } else {
      if (blocks++ > 0) out << '\n';
      out << "PDU " << number << '\n' << DecodeToText(d);
    }
  };
  if (!args.empty()) {
    for (const std::string& a : args) one(a);
  } else {
    // Standard input: the n-th output line (or block) answers the n-th input
    // line, so scripts can pair them. A blank line gets an error; dialogue
    // lines of a pasted listing get a "skipped" object in JSON and nothing
    // in the readable form.
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      number = lineNo - 1;
      const bool blank = TrimBlanks(line).empty();
      if (!blank && !IsNonPduLine(line)) {
        one(line);
      } else if (opt.json) {
        out << "{\"Line\":" << lineNo
            << (blank ? ",\"HasError\":true,\"ErrorText\":\"empty line\"}" : ",\"Skipped\":true}") << '\n';
      } else if (blank) {
        if (blocks++ > 0) out << '\n';
        out << "PDU " << lineNo << "\nError           empty line\n";
      }
    }
  }
  out.flush();
  return anyFailed ? kExitFailed : kExitOk;
}

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

int Encode(const Options& opt, const std::vector<std::string>& args, std::istream&, std::ostream& out,
           std::ostream& err) {
  if (args.size() < 2) {
    err << "pdulink-pdu: encode needs NUMBER and TEXT\n"
        << "Try 'pdulink-pdu --help'.\n";
    return kExitUsage;
  }
  int vp = kDefaultValidityPeriod;
  if (opt.vp) {
    std::optional<int> v = ParseDecimal(*opt.vp);
    if (!v || *v < 0 || *v > 255) {
      err << "pdulink-pdu: --vp needs a number 0..255, not '" << *opt.vp << "'\n";
      return kExitUsage;
    }
    vp = *v;
  }
  if ((opt.ref || opt.ref16) && !opt.multipart) {
    err << "pdulink-pdu: --ref and --ref16 belong to --multipart\n";
    return kExitUsage;
  }
  int ref = 0;
  if (opt.ref) {
    std::optional<int> v = ParseDecimal(*opt.ref);
    const int top = opt.ref16 ? 0xFFFF : 0xFF;
    if (!v || *v < 0 || *v > top) {
      err << "pdulink-pdu: --ref needs a number 0.." << top << ", not '" << *opt.ref << "'\n";
      return kExitUsage;
    }
    ref = *v;
  }
  std::vector<std::uint8_t> shiftTables;
  if (opt.shift) {
    ShiftList list = ParseShiftList(*opt.shift);
    if (!list.badName.empty() || list.languages.empty()) {
      err << "pdulink-pdu: --shift needs language codes (tr,es,pt,bn,gu,hi,kn,ml,or,pa,ta,te,ur), not '"
          << *opt.shift << "'\n";
      return kExitUsage;
    }
    shiftTables = std::move(list.languages);
  }
  const bool utf8 = opt.utf8 || opt.shift;
  std::string text;
  for (size_t i = 1; i < args.size(); ++i) {
    if (i > 1) text.push_back(' ');
    text += args[i];
  }
  // --utf8: the text as it is, every character kept (7-bit when the GSM
  // alphabet holds them all, UCS2 otherwise); without it, cp1251 as the
  // gateway's default.
  if (!utf8) text = Utf8ToAnsi(text);

  // The choices travel as the send options the gateway reads from a body.
  // The validity period closes them whenever there are any, so a text that
  // itself begins with "#" stays text.
  SubmitChoices choices;
  choices.statusReport = opt.report;
  choices.utf8Body = utf8;
  choices.shiftTables = shiftTables;
  std::string body;
  if (opt.flash || opt.smsc || opt.vp) {
    choices.sendOptions = true;
    if (opt.flash) body += "#flash#";
    if (opt.smsc) body += "#smsc" + Utf8ToAnsi(*opt.smsc) + "#";
    body += "#vp" + std::to_string(vp) + "#";
  }
  body += text;
  if (opt.smsc && opt.smsc->empty()) {
    err << "pdulink-pdu: --smsc needs a number\n";
    return kExitUsage;
  }
  if (opt.multipart) return EncodeParts(opt, Utf8ToAnsi(args[0]), body, choices, ref, out, err);
  // One message, concatenation off: with --shift it may carry the shift
  // elements; otherwise exactly what AssembleSubmit builds.
  const SubmitPdu pdu = AssembleConcatSubmit(Utf8ToAnsi(args[0]), body, choices, {}, 0).base;
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

struct CommandEntry {
  std::string_view name;
  Command run;
};

constexpr CommandEntry kCommands[] = {
    {"decode", &Decode},
    {"encode", &Encode},
};

}  // namespace

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

bool IsNonPduLine(std::string_view line) {
  std::string_view t = TrimBlanks(line);
  if (t.empty() || t.front() == '+') return true;
  if (t == "OK" || t == "ERROR") return true;
  return t.size() >= 2 && (t[0] == 'A' || t[0] == 'a') && (t[1] == 'T' || t[1] == 't');
}

std::string JsonEscape(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 8);
  for (char c : utf8) {
    auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", b);
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::string DecodeToJson(const tSMSDecode& d) {
  std::string out = "{";
  bool first = true;
  auto key = [&](std::string_view name) {
    if (!first) out.push_back(',');
    first = false;
    out.append("\"").append(name).append("\":");
  };
  auto num = [&](std::string_view name, long long v) {
    key(name);
    out += std::to_string(v);
  };
  auto flag = [&](std::string_view name, bool v) {
    key(name);
    out += v ? "true" : "false";
  };
  auto text = [&](std::string_view name, std::string_view cp1251) {
    key(name);
    out.append("\"").append(JsonEscape(d.Utf8 ? std::string(cp1251) : AnsiToUtf8(cp1251))).append("\"");
  };
  num("SmscLen", d.SmscLen);
  num("SmscType", d.SmscType);
  text("SmscNumber", d.SmscNumber);
  num("FirstOctet", d.FirstOctet);
  flag("Udhi", d.Udhi);
  num("AddrLen", d.AddrLen);
  num("AddrType", d.AddrType);
  text("Address", d.Address);
  num("Pid", d.Pid);
  num("Dcs", d.Dcs);
  num("Mti", d.Mti);
  num("Coding", d.Coding);
  // Time stamps with their zones exact (a quarter-hour zone as "[+5:30]").
  text("TimeText", d.Mti == static_cast<std::uint8_t>(MessageType::Submit) && d.Vpf == 2
                       ? d.TimeText
                       : ExactTimeText(d.TimeText, d.TimeZoneQuarters));
  num("TimeZoneQuarters", d.TimeZoneQuarters);
  num("MessageRef", d.MessageRef);
  num("Vpf", d.Vpf);
  num("VpByte", d.VpByte);
  text("DischargeTime", ExactTimeText(d.DischargeTime, d.DischargeZoneQuarters));
  num("DischargeZoneQuarters", d.DischargeZoneQuarters);
  num("Status", d.Status);
  text("StatusText", d.StatusText);
  num("ParamIndicator", d.ParamIndicator);
  num("Udl", d.Udl);
  num("Udhl", d.Udhl);
  text("HeaderHex", d.HeaderHex);
  flag("IsConcatenated", d.IsConcatenated);
  num("ConcatRef", d.ConcatRef);
  num("ConcatTotal", d.ConcatTotal);
  num("ConcatPart", d.ConcatPart);
  text("Text", d.Text);
  num("OctetCount", d.OctetCount);
  flag("HasError", d.HasError);
  text("ErrorText", d.ErrorText);
  text("Hex", d.Hex);
  num("OctetIndex", d.OctetIndex);
  num("BitIndex", d.BitIndex);
  out.push_back('}');
  return out;
}

std::string DecodeToText(const tSMSDecode& d) {
  TextBlock b;
  if (d.HasError) {
    // Only what was read before the failure: fields still at their initial
    // value are left out.
    b.Line("Error", d.ErrorText + " (stopped at octet " + std::to_string(d.OctetIndex) + " of " +
                        std::to_string(d.OctetCount) + ")");
    auto num = [&](std::string_view name, unsigned v, bool hex) {
      if (v != 0) b.Line(name, hex ? Hex2(v) : std::to_string(v));
    };
    auto text = [&](std::string_view name, const std::string& v) {
      if (!v.empty()) b.Line(name, Quoted(v, d.Utf8));
    };
    num("SmscLen", d.SmscLen, false);
    num("SmscType", d.SmscType, true);
    text("SmscNumber", d.SmscNumber);
    num("FirstOctet", d.FirstOctet, true);
    num("MessageRef", d.MessageRef, false);
    num("AddrLen", d.AddrLen, false);
    num("AddrType", d.AddrType, true);
    text("Address", d.Address);
    num("Pid", d.Pid, true);
    num("Dcs", d.Dcs, true);
    num("VpByte", d.VpByte, true);
    text("TimeText", d.TimeText);
    text("DischargeTime", d.DischargeTime);
    num("Status", d.Status, true);
    num("Udl", d.Udl, false);
    num("Udhl", d.Udhl, false);
    text("HeaderHex", d.HeaderHex);
    text("Text", d.Text);
    return b.Take();
  }
  b.Line("SmscNumber", Quoted(d.SmscNumber, d.Utf8) + " (SmscLen " + std::to_string(d.SmscLen) +
                           ", SmscType " + Hex2(d.SmscType) + ")");
  b.Line("FirstOctet", Hex2(d.FirstOctet) + " (Mti " + std::to_string(d.Mti) + " " +
                           TypeName(d.Mti) + ", Udhi " + (d.Udhi ? "1" : "0") + ")");
  const auto type = static_cast<MessageType>(d.Mti & 3);
  if (type == MessageType::Submit || type == MessageType::StatusReport) {
    b.Line("MessageRef", std::to_string(d.MessageRef));
  }
  if (type == MessageType::Reserved) return b.Take();
  b.Line("Address", Quoted(d.Address, d.Utf8) + " (AddrLen " + std::to_string(d.AddrLen) + ", AddrType " +
                        Hex2(d.AddrType) + ")");
  if (type == MessageType::StatusReport) {
    b.Line("TimeText", d.TimeText);
    b.Line("DischargeTime", d.DischargeTime);
    b.Line("Status", Hex2(d.Status) + " " + Quoted(d.StatusText, d.Utf8));
    b.Line("ParamIndicator", Hex2(d.ParamIndicator));
    return b.Take();
  }
  b.Line("Pid", Hex2(d.Pid));
  b.Line("Dcs", Hex2(d.Dcs) + " (Coding " + std::to_string(d.Coding) + " " + CodingName(d.Coding) +
                    ")");
  if (type == MessageType::Submit) {
    b.Line("Vpf", std::to_string(d.Vpf) + (d.Vpf == 1 || d.Vpf == 2 ? ", VpByte " + Hex2(d.VpByte) : ""));
  }
  b.Line("TimeText", d.TimeText);
  b.Line("Udl", std::to_string(d.Udl));
  if (d.Udhi) {
    b.Line("Udhl", std::to_string(d.Udhl));
    b.Line("HeaderHex", d.HeaderHex);
    if (d.IsConcatenated) {
      b.Line("Concatenated", "part " + std::to_string(d.ConcatPart) + " of " +
                                 std::to_string(d.ConcatTotal) + ", ConcatRef " +
                                 std::to_string(d.ConcatRef));
    }
  }
  b.Line("Text", Quoted(d.Text, d.Utf8));
  return b.Take();
}

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
  Options opt;
  const CommandEntry* command = nullptr;
  std::vector<std::string> operands;
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!endOfOptions && a.size() > 1 && a[0] == '-') {
      // "--vp N" or "--vp=N", likewise --smsc.
      auto value = [&](std::string_view name, std::optional<std::string>& into) {
        if (a == name) {
          // A missing value leaves an empty one, which encode refuses.
          into = i + 1 < args.size() ? args[++i] : std::string();
          return true;
        }
        if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
          into = a.substr(name.size() + 1);
          return true;
        }
        return false;
      };
      if (a == "--") {
        endOfOptions = true;
      } else if (a == "-h" || a == "--help") {
        out << kUsage;
        return kExitOk;
      } else if (a == "-V" || a == "--version") {
        out << "pdulink-pdu " << PDULINK_VERSION_TEXT << '\n';
        return kExitOk;
      } else if (a == "--json") {
        opt.json = true;
      } else if (a == "--utf8") {
        opt.utf8 = true;
      } else if (a == "--flash") {
        opt.flash = true;
      } else if (a == "--report") {
        opt.report = true;
      } else if (a == "--multipart") {
        opt.multipart = true;
      } else if (a == "--ref16") {
        opt.ref16 = true;
      } else if (value("--vp", opt.vp) || value("--smsc", opt.smsc) || value("--ref", opt.ref) ||
                 value("--shift", opt.shift)) {
      } else {
        err << "pdulink-pdu: unknown option '" << a << "'\n"
            << "Try 'pdulink-pdu --help'.\n";
        return kExitUsage;
      }
    } else if (command == nullptr) {
      for (const CommandEntry& c : kCommands) {
        if (c.name == a) command = &c;
      }
      if (command == nullptr) {
        err << "pdulink-pdu: unknown command '" << a << "'\n"
            << "Try 'pdulink-pdu --help'.\n";
        return kExitUsage;
      }
    } else {
      operands.push_back(a);
    }
  }
  if (command == nullptr) {
    err << "pdulink-pdu: no command given\n" << kUsage;
    return kExitUsage;
  }
  if (opt.EncodeOnly() && command->run != &Encode) {
    err << "pdulink-pdu: --flash, --vp, --smsc, --report, --multipart, --ref, --ref16 and --shift belong to "
           "encode\n";
    return kExitUsage;
  }
  return command->run(opt, operands, in, out, err);
}

}  // namespace pdulink::pdutool
