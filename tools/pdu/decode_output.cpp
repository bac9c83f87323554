// pdulink-pdu's rendering of a decoded PDU: one JSON object, or readable
// "Name  value" lines.
#include <cstdio>

#include "codepage.h"
#include "pdu_tool.h"
#include "sms_time.h"
#include "text_helpers.h"

namespace pdulink::pdutool {
namespace {

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

// Builds one JSON object a member at a time, texts in UTF-8.
class JsonObject {
 public:
  explicit JsonObject(bool textsAreUtf8) : utf8_(textsAreUtf8) {}
  void Number(std::string_view name, long long v) {
    Key(name);
    out_ += std::to_string(v);
  }
  void Flag(std::string_view name, bool v) {
    Key(name);
    out_ += v ? "true" : "false";
  }
  void Text(std::string_view name, std::string_view cp1251) {
    Key(name);
    out_.append("\"").append(JsonEscape(utf8_ ? std::string(cp1251) : AnsiToUtf8(cp1251))).append("\"");
  }
  std::string Take() {
    out_.push_back('}');
    return std::move(out_);
  }

 private:
  void Key(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    out_.append("\"").append(name).append("\":");
  }
  bool utf8_;
  bool first_ = true;
  std::string out_ = "{";
};

// The fields up to the user data, in the decoder's order.
void AddressJson(JsonObject& j, const tSMSDecode& d) {
  j.Number("SmscLen", d.SmscLen);
  j.Number("SmscType", d.SmscType);
  j.Text("SmscNumber", d.SmscNumber);
  j.Number("FirstOctet", d.FirstOctet);
  j.Flag("Udhi", d.Udhi);
  j.Number("AddrLen", d.AddrLen);
  j.Number("AddrType", d.AddrType);
  j.Text("Address", d.Address);
  j.Number("Pid", d.Pid);
  j.Number("Dcs", d.Dcs);
  j.Number("Mti", d.Mti);
  j.Number("Coding", d.Coding);
}

// Time stamps with their zones exact (a quarter-hour zone as "[+5:30]"),
// the validity period and the status.
void TimeAndStatusJson(JsonObject& j, const tSMSDecode& d) {
  j.Text("TimeText", d.Mti == static_cast<std::uint8_t>(MessageType::Submit) && d.Vpf == 2
                         ? d.TimeText
                         : ExactTimeText(d.TimeText, d.TimeZoneQuarters));
  j.Number("TimeZoneQuarters", d.TimeZoneQuarters);
  j.Number("MessageRef", d.MessageRef);
  j.Number("Vpf", d.Vpf);
  j.Number("VpByte", d.VpByte);
  j.Text("DischargeTime", ExactTimeText(d.DischargeTime, d.DischargeZoneQuarters));
  j.Number("DischargeZoneQuarters", d.DischargeZoneQuarters);
  j.Number("Status", d.Status);
  j.Text("StatusText", d.StatusText);
  j.Number("ParamIndicator", d.ParamIndicator);
}

// The user data, then the outcome and the read position.
void UserDataJson(JsonObject& j, const tSMSDecode& d) {
  j.Number("Udl", d.Udl);
  j.Number("Udhl", d.Udhl);
  j.Text("HeaderHex", d.HeaderHex);
  j.Flag("IsConcatenated", d.IsConcatenated);
  j.Number("ConcatRef", d.ConcatRef);
  j.Number("ConcatTotal", d.ConcatTotal);
  j.Number("ConcatPart", d.ConcatPart);
  j.Text("Text", d.Text);
  j.Number("OctetCount", d.OctetCount);
  j.Flag("HasError", d.HasError);
  j.Text("ErrorText", d.ErrorText);
  j.Text("Hex", d.Hex);
  j.Number("OctetIndex", d.OctetIndex);
  j.Number("BitIndex", d.BitIndex);
}

// A PDU that failed: only what was read before the failure; fields still
// at their initial value are left out.
std::string FailedToText(const tSMSDecode& d) {
  TextBlock b;
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

// The lines of a status report after its address.
void StatusReportLines(TextBlock& b, const tSMSDecode& d) {
  b.Line("TimeText", d.TimeText);
  b.Line("DischargeTime", d.DischargeTime);
  b.Line("Status", Hex2(d.Status) + " " + Quoted(d.StatusText, d.Utf8));
  b.Line("ParamIndicator", Hex2(d.ParamIndicator));
}

// The lines of an SMS-DELIVER or SMS-SUBMIT after its address.
void MessageLines(TextBlock& b, const tSMSDecode& d, MessageType type) {
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
}

}  // namespace

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
  JsonObject j(d.Utf8);
  AddressJson(j, d);
  TimeAndStatusJson(j, d);
  UserDataJson(j, d);
  return j.Take();
}

std::string DecodeToText(const tSMSDecode& d) {
  if (d.HasError) return FailedToText(d);
  TextBlock b;
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
    StatusReportLines(b, d);
    return b.Take();
  }
  MessageLines(b, d, type);
  return b.Take();
}

}  // namespace pdulink::pdutool
