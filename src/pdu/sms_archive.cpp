#include "sms_archive.h"

#include "codepage.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace pdulink {
namespace {

// A line added to the message view: CR LF inside it starts a new line.
void AddViewLine(std::vector<std::string>& view, std::string_view line) {
  size_t start = 0;
  for (;;) {
    size_t crlf = line.find("\r\n", start);
    if (crlf == std::string_view::npos) break;
    view.emplace_back(line.substr(start, crlf - start));
    start = crlf + 2;
  }
  view.emplace_back(line.substr(start));
}

void AddAttribute(std::vector<std::string>& list, std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + value.size() + 3);
  line.append(name);
  line.append("=\"");
  line.append(EscapeXmlAttribute(value));
  line.push_back('"');
  list.push_back(std::move(line));
}

const char* CodingName(std::uint8_t coding) {
  switch (coding) {
    case kCodingUcs2: return "UCS2";
    case kCoding8Bit: return "8-bit";
    default: return "7-bit English";
  }
}

const char* VpfText(std::uint8_t vpf) {
  switch (vpf & 3) {
    case 0: return "VP field is not present";
    case 1: return "VP field is Reserved";
    case 2: return "VP field present an integer represented (relative)";
    default: return "VP field present an semi-octet represented (absolute)";
  }
}

void AppendUtf16Le(std::string& out, std::string_view ansi) {
  for (unsigned char c : ansi) {
    char16_t u = Cp1251ToUnicode(c);
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
}

void AppendUtf8AsUtf16Le(std::string& out, std::string_view utf8) {
  // The decoder writes well-formed UTF-8; anything else would come from a
  // caller's own text, and its bytes are then taken as cp1251.
  Utf8Decoded d = DecodeUtf8(utf8);
  if (!d.ok) {
    AppendUtf16Le(out, utf8);
    return;
  }
  for (char16_t u : ToUtf16(d.chars)) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
}

}  // namespace

std::string EscapeXmlAttribute(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out.append("&amp;"); break;
      case '"': out.append("&quot;"); break;
      case '<': out.append("&lt;"); break;
      case '>': out.append("&gt;"); break;
      case '\t': case '\r': case '\n': out.push_back(ch); break;
      default: out.push_back(c < 0x20 ? '?' : ch); break;
    }
  }
  return out;
}

namespace {

// What every message reports first: the decoder's error, the service
// centre, the header and reply-path flags, the number format and the coding.
void ReportCommonFields(const tSMSDecode& d, ArchiveReport& r) {
  auto& j = r.journal;
  auto& a = r.attributes;
  j.push_back(d.ErrorText);  // empty after a successful decode
  a.emplace_back("<SMS");
  j.push_back("Service Centre tel= " + d.SmscNumber);
  AddAttribute(a, "SMSC_TEL", d.SmscNumber);
  j.emplace_back(d.Udhi ? "beginning of the UD field contains a header in addition of the short message"
                        : "UD field contains only the short message");
  j.emplace_back((d.FirstOctet & 0x80) ? "Reply Path parameter is set in this PDU"
                                       : "Reply Path parameter is not set in this PDU");
  if (d.AddrType == kAddrTypeAlphanumeric) {
    j.emplace_back("Telephone number is Alphanumeric format.");
  } else if (d.AddrType != 0x81 && d.AddrType != 0x91) {
    j.emplace_back("Telephone number is not national or international format.");
  }
  const char* coding = CodingName(d.Coding);
  j.emplace_back(coding);
  AddAttribute(a, "CODING", coding);
}

void ReportDeliver(const tSMSDecode& d, ArchiveReport& r) {
  auto& j = r.journal;
  auto& v = r.view;
  auto& a = r.attributes;
  j.emplace_back("SMS-DELIVER");
  AddAttribute(a, "MTI", "SMS-DELIVER");
  j.push_back("From tel= " + d.Address);
  AddViewLine(v, "#From=" + d.Address);
  AddAttribute(a, "TEL", d.Address);
  j.push_back(d.TimeText);
  AddViewLine(v, "#Time=" + d.TimeText);
  AddAttribute(a, "DATETIME", d.TimeText);
}

void ReportSubmit(const tSMSDecode& d, ArchiveReport& r) {
  auto& j = r.journal;
  auto& v = r.view;
  auto& a = r.attributes;
  const std::string mr = ByteToHex(d.MessageRef);
  j.emplace_back("SMS-SUBMIT");
  AddAttribute(a, "MTI", "SMS-SUBMIT");
  j.push_back("Message Reference: " + mr);
  AddAttribute(a, "MR", mr);
  j.push_back("To tel= " + d.Address);
  AddViewLine(v, "#To=" + d.Address);
  AddAttribute(a, "TEL", d.Address);
  AddViewLine(v, "#MR=" + mr);
  j.emplace_back(VpfText(d.Vpf));
  j.push_back("ValidityPeriod=" + d.TimeText);
  AddViewLine(v, "#ValidityPeriod=" + d.TimeText);
  AddAttribute(a, "ValidityPeriod", d.TimeText);
}

void ReportStatusReport(const tSMSDecode& d, ArchiveReport& r) {
  auto& j = r.journal;
  auto& v = r.view;
  auto& a = r.attributes;
  const std::string mr = ByteToHex(d.MessageRef);
  const std::string status = ByteToHex(d.Status) + ":" + d.StatusText;
  j.emplace_back("SMS-STATUS Report");
  AddAttribute(a, "MTI", "SMS-STATUS Report");
  j.push_back("Message Reference: " + mr);
  AddAttribute(a, "MR", mr);
  j.push_back("To tel= " + d.Address);
  AddViewLine(v, "#Tel=" + d.Address);
  AddAttribute(a, "TEL", d.Address);
  AddViewLine(v, "#MR=" + mr);
  j.push_back("Time SMSC=" + d.TimeText);
  AddViewLine(v, "#Time=" + d.TimeText);
  AddAttribute(a, "DATETIME", d.TimeText);
  j.push_back("Time Discharge=" + d.DischargeTime);
  AddViewLine(v, "#TimeDischarge=" + d.DischargeTime);
  AddAttribute(a, "TimeDischarge", d.DischargeTime);
  j.push_back("Status=" + status);
  AddViewLine(v, "#StatusRep=" + status);
  AddAttribute(a, "StatusRepHex", ByteToHex(d.Status));
  AddAttribute(a, "StatusRepStr", d.StatusText);
  j.push_back("PatamIdent=" + ByteToHex(d.ParamIndicator));
}

// The message itself: its line (with the user-data header before it), the
// concatenation fields, and the text for the XML body.
void ReportMessage(const tSMSDecode& d, ArchiveReport& r) {
  auto& j = r.journal;
  auto& a = r.attributes;
  if (d.Udhi) {
    r.messageLine.reserve(d.HeaderHex.size() + 3 + d.Text.size());
    r.messageLine.append("(").append(d.HeaderHex).append(") ").append(d.Text);
    AddAttribute(a, "UDHI", d.HeaderHex);
  } else {
    r.messageLine = d.Text;
  }
  if (d.IsConcatenated) {
    j.push_back("Message:" + std::to_string(d.ConcatRef) + "  " + std::to_string(d.ConcatPart) + "/" +
                std::to_string(d.ConcatTotal));
    AddAttribute(a, "REFNUM", std::to_string(d.ConcatRef));
    AddAttribute(a, "PART", std::to_string(d.ConcatPart));
    AddAttribute(a, "TOTALPARTS", std::to_string(d.ConcatTotal));
  }
  j.emplace_back("========== Message ===============");
  j.push_back(r.messageLine);
  AddViewLine(r.view, r.messageLine);
  r.escapedBody = EscapeXmlAttribute(d.Text);
}

}  // namespace

ArchiveReport BuildArchiveReport(const tSMSDecode& d) {
  ArchiveReport r;
  r.journal.reserve(20);
  r.view.reserve(6);
  r.attributes.reserve(16);

  ReportCommonFields(d, r);
  switch (static_cast<MessageType>(d.Mti)) {
    case MessageType::Deliver: ReportDeliver(d, r); break;
    case MessageType::Submit: ReportSubmit(d, r); break;
    case MessageType::StatusReport: ReportStatusReport(d, r); break;
    case MessageType::Reserved: break;  // the decoder rejects type 3; nothing to report for it
  }
  ReportMessage(d, r);
  return r;
}

void ApplyDosCodepage(std::vector<std::string>& view) {
  if (view.size() > 2) view[2] = AnsiToOem(view[2]);
}

std::string ArchiveTxtBytes(const std::vector<std::string>& view) {
  size_t size = 0;
  for (const auto& line : view) size += line.size() + 2;
  std::string out;
  out.reserve(size);
  for (const auto& line : view) out.append(line).append("\r\n");
  return out;
}

std::string ArchiveXmlBytes(const ArchiveReport& report, bool utf8) {
  size_t chars = report.escapedBody.size() + 12;
  for (const auto& line : report.attributes) chars += line.size() + 2;
  std::string out;
  out.reserve(2 + 2 * chars);
  out.push_back('\xFF');
  out.push_back('\xFE');
  auto append = [&out, utf8](std::string_view text) {
    if (utf8) AppendUtf8AsUtf16Le(out, text);
    else AppendUtf16Le(out, text);
  };
  for (const auto& line : report.attributes) {
    append(line);
    append("\r\n");
  }
  append("BODY=\"");
  append(report.escapedBody);
  append("\" />\r\n");
  return out;
}

std::string CollectiveLine(std::string_view dateTime, const std::vector<std::string>& view) {
  std::string out(dateTime);
  for (const auto& line : view) {
    out.push_back(' ');
    // One message, one line: a bare CR or LF left inside a view line (a
    // phone's new line) would split the record, so it becomes a blank.
    for (char c : line) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
  }
  out.append("\r\n");
  return out;
}

}  // namespace pdulink
