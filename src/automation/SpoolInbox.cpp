#include "SpoolInbox.h"

#include <cctype>

#include "codepage.h"
#include "sms_decode.h"
#include "sms_join.h"
#include "sms_time.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

QString CodingName(std::uint8_t coding) {
  switch (coding) {
    case pdulink::kCoding7Bit: return QStringLiteral("7bit");
    case pdulink::kCoding8Bit: return QStringLiteral("8bit");
    case pdulink::kCodingUcs2: return QStringLiteral("ucs2");
    default: return QStringLiteral("reserved");
  }
}

// The message class of a data coding scheme (TS 23.038 4): the general
// group with its class bit, or the F0 group.
std::optional<int> MessageClass(std::uint8_t dcs) {
  if ((dcs & 0xC0) == 0x00 && (dcs & 0x10)) return dcs & 0x03;
  if ((dcs & 0xF0) == 0xF0) return dcs & 0x03;
  return std::nullopt;
}

}  // namespace

std::string ScTimeIso(const std::string& t) { return pdulink::IsoTimeText(t); }

spool::InboxRow InboxRowFromPdu(const std::string& pduHex, const std::string& stem, const std::string& digest) {
  spool::InboxRow row;
  row.msgKey = Q(digest + " " + BaseName(stem));
  std::string raw;
  for (char c : pduHex)
    if (c != '\r' && c != '\n') raw.push_back(c);
  row.pdus = Q(raw);
  pdulink::tSMSDecode sms;
  sms.Utf8 = true;
  sms.Decode(pduHex);
  if (sms.HasError) {
    row.files = Q(stem + ".pdu");
    return row;
  }
  row.files = Q(stem + ".txt\n" + stem + ".xml");
  row.sender = Q(sms.Address);
  row.text = Q(sms.Mti == static_cast<std::uint8_t>(pdulink::MessageType::StatusReport) ? sms.StatusText : sms.Text);
  row.coding = CodingName(sms.Coding);
  row.msgClass = MessageClass(sms.Dcs);
  row.flash = row.msgClass == 0;
  row.scTime = Q(ScTimeIso(pdulink::ExactTimeText(sms.TimeText, sms.TimeZoneQuarters)));
  return row;
}

spool::InboxRow InboxRowFromJoined(const pdulink::JoinedMessage& m, const std::string& txtPath, bool utf8Texts) {
  spool::InboxRow row;
  row.msgKey = Q("joined " + BaseName(txtPath));
  row.sender = Q(m.key.sender);
  row.text = Q(utf8Texts ? m.text : pdulink::AnsiToUtf8(m.text));
  row.parts = m.received;
  row.coding = CodingName(m.first.coding);
  row.scTime = Q(ScTimeIso(pdulink::ExactTimeText(m.first.timeText, m.first.zoneQuarters)));
  std::string xml = txtPath;
  if (xml.size() > 4 && xml.compare(xml.size() - 4, 4, ".txt") == 0) xml.replace(xml.size() - 4, 4, ".xml");
  row.files = Q(txtPath + "\n" + xml);
  return row;
}
