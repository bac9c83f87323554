#include "Replies.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

#include "text_helpers.h"

using namespace reply_grammar;

// ---- Message memories and the service centre ----

std::string ChooseSmsMemory(const std::string& reply) {
  std::string memory;
  if (reply.find("+CPMS:") == std::string::npos) return memory;
  if (reply.find("\"SM\"") != std::string::npos) memory = "SM";
  if (reply.find("\"ME\"") != std::string::npos) memory = "ME";
  if (reply.find("\"MT\"") != std::string::npos) memory = "MT";
  return memory;
}

std::string ChooseReceiveMemory(const std::string& reply, const std::string& refused) {
  const size_t head = reply.find("+CPMS:");
  if (head == std::string::npos) return {};
  // The third parenthesised list; a reply without one offers its only list.
  std::string_view lists = std::string_view(reply).substr(head);
  lists = lists.substr(0, lists.find_first_of("\r\n"));
  std::string_view third = lists;
  size_t open = 0;
  for (int n = 0; n < 3; ++n) {
    open = lists.find('(', n == 0 ? 0 : open + 1);
    if (open == std::string_view::npos) break;
    if (n == 2) third = lists.substr(open, lists.find(')', open) - open);
  }
  for (const char* memory : {"MT", "ME", "SM"}) {
    if (pdulink::EqualNoCase(memory, refused)) continue;
    if (third.find(std::string("\"") + memory + "\"") != std::string_view::npos) return memory;
  }
  return {};
}

std::string ParseSmscReply(std::string& text) {
  // +CSCA: "+12345678901",145
  if (!CutThrough(text, "+CSCA:")) return {};
  if (!CutThrough(text, "\"+")) return {};
  size_t quote = text.find('"');
  if (quote == std::string::npos || quote == 0) return {};
  return text.substr(0, quote);
}

// --- Battery and call list ---------------------------------------------

BatteryReading ReadBatteryReply(std::string text) {
  // +CBC: 0,80
  BatteryReading r;
  if (!CutThrough(text, "+CBC:")) return r;
  // Leading blanks only: the CR after the level must stay.
  size_t start = 0;
  while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20) ++start;
  text.erase(0, start);
  size_t comma = text.find(',');
  if (comma == std::string::npos || comma == 0) return r;
  int status = 0;
  if (!ReadInt(std::string_view(text).substr(0, comma), status)) return r;
  text.erase(0, comma + 1);
  // Without its CR the level may have lost digits on the way.
  size_t cr = text.find('\r');
  if (cr == std::string::npos) {
    r.kind = BatteryReading::CutOff;
    return r;
  }
  int level = 0;
  if (!ReadInt(std::string_view(text).substr(0, cr), level)) return r;
  r.level = level;
  r.kind = (level < 0 || level > 100) ? BatteryReading::OutOfRange : BatteryReading::Level;
  return r;
}

int ParseBatteryLevel(std::string text) {
  BatteryReading r = ReadBatteryReply(std::move(text));
  return r.kind == BatteryReading::Level ? r.level : -1;
}

CallListScan ScanCallList(const std::string& reply, const std::function<void()>& eachTurn) {
  // +CLCC: <id>,<dir>,<stat>,<mode>,<mpty>[,"<number>",<type>...]
  CallListScan scan;
  std::string text = reply;
  while (scan.number.empty() && CutThrough(text, "+CLCC:")) {
    ++scan.entries;
    size_t eol = text.find_first_of("\r\n");
    if (eol == std::string::npos) eol = text.size();
    std::string entry = text.substr(0, eol);
    text.erase(0, eol);

    CutField(entry, ",");  // id
    bool incomingVoice = CutField(entry, ",") == "1" && CutField(entry, ",") == "4" && CutField(entry, ",") == "0";
    if (incomingVoice) {
      CutField(entry, ",");  // multiparty
      if (entry.find('"') == std::string::npos) {
        scan.hiddenCaller = true;  // the number field is left out
      } else {
        CutField(entry, "\"");
        bool closed = entry.find('"') != std::string::npos;
        std::string number = CutField(entry, "\"");
        if (closed && number.empty()) scan.hiddenCaller = true;
        scan.number = number;
      }
    }
    if (eachTurn) eachTurn();
  }
  return scan;
}

// ---- The answer to a send ----

std::optional<int> ParseCmgsReference(std::string_view reply) {
  // The marker's case and the blanks before the number vary between phones.
  for (size_t at = 0; at + 6 <= reply.size(); ++at) {
    if (reply[at] != '+' || !pdulink::EqualNoCase(reply.substr(at, 6), "+CMGS:")) continue;
    size_t p = at + 6;
    while (p < reply.size() && reply[p] == ' ') ++p;
    int value = 0;
    auto [end, ec] = std::from_chars(reply.data() + p, reply.data() + reply.size(), value);
    if (ec != std::errc() || end == reply.data() + p || value < 0 || value > 255) continue;
    // The number ends the line or is followed by the optional time stamp.
    if (end == reply.data() + reply.size() || *end == '\r' || *end == '\n' || *end == ',' || *end == ' ') return value;
  }
  return std::nullopt;
}

// ---- SIM, network registration and signal quality (3GPP TS 27.007) ----

SimReply ParseCpinReply(const std::string& reply) {
  if (auto field = LastField(reply, "+CPIN:")) {
    std::string code = Canonical(*field);
    if (code == "READY") return {SimCode::Ready, code};
    if (code == "SIM PIN") return {SimCode::SimPin, code};
    if (code == "SIM PUK") return {SimCode::SimPuk, code};
    if (code == "SIM PIN2") return {SimCode::SimPin2, code};
    if (code == "SIM PUK2") return {SimCode::SimPuk2, code};
    if (code == "NO SIM" || code == "NOT INSERTED" || code == "SIM NOT INSERTED") return {SimCode::NoSim, code};
    if (code == "NOT READY") return {SimCode::Busy, "+CPIN: NOT READY"};
    if (code.empty()) return {SimCode::Other, "+CPIN: (empty)"};
    return {SimCode::Other, code};
  }
  if (auto field = LastField(reply, "+CME ERROR:")) {
    std::string text = "+CME ERROR: " + *field;
    std::string upper = Canonical(*field);
    // TS 27.007 9.2.1: 10 SIM not inserted, 11 SIM PIN required, 12 SIM PUK
    // required, 14 SIM busy, 17/18 SIM PIN2/PUK2 required; or their texts.
    auto number = SmallNumber(*field);
    if ((number && *number == 10) || upper == "SIM NOT INSERTED") return {SimCode::NoSim, text};
    if ((number && *number == 11) || upper == "SIM PIN REQUIRED") return {SimCode::SimPin, text};
    if ((number && *number == 12) || upper == "SIM PUK REQUIRED") return {SimCode::SimPuk, text};
    if ((number && *number == 14) || upper == "SIM BUSY") return {SimCode::Busy, text};
    if ((number && *number == 17) || upper == "SIM PIN2 REQUIRED") return {SimCode::SimPin2, text};
    if ((number && *number == 18) || upper == "SIM PUK2 REQUIRED") return {SimCode::SimPuk2, text};
    return {SimCode::Other, text};
  }
  for (const std::string& line : ReplyLines(reply))
    if (Canonical(line) == "ERROR") return {SimCode::Other, "ERROR"};
  return {SimCode::NoAnswer, ""};
}

std::string SimStartingLine(const std::string& reply) {
  if (auto field = LastField(reply, "+CMS ERROR:")) {
    auto n = SmallNumber(*field);
    if (n && *n >= 310 && *n <= 315) return "+CMS ERROR: " + std::to_string(*n);
    return {};
  }
  const SimReply sim = ParseCpinReply(reply);
  if (sim.code == SimCode::Busy) return sim.text;
  return {};
}

std::optional<StoreUse> ParseCpmsRead(const std::string& reply) {
  auto field = LastField(reply, "+CPMS:");
  if (!field) return std::nullopt;
  std::vector<std::string> parts;
  std::string part;
  for (char c : *field + ",") {
    if (c == ',') {
      parts.emplace_back(pdulink::TrimBlanks(part));
      part.clear();
    } else if (c != '"') {
      part.push_back(c);
    }
  }
  if (parts.size() < 3 || parts[0].empty()) return std::nullopt;
  auto count = [](const std::string& text) -> std::optional<int> {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
  };
  auto used = count(parts[1]);
  auto total = count(parts[2]);
  if (!used || !total || *total == 0) return std::nullopt;
  return StoreUse{parts[0], *used, *total};
}

std::string StoreFullLine(std::string_view text) {
  for (const std::string& line : ReplyLines(std::string(text))) {
    const std::string canonical = Canonical(line);
    if (canonical == "+CMS ERROR: 322") return line;
    if (canonical.rfind("+CIEV:", 0) == 0 && canonical.find("SMSFULL") != std::string::npos) {
      const size_t comma = canonical.rfind(',');
      if (comma != std::string::npos && pdulink::TrimBlanks(std::string_view(canonical).substr(comma + 1)) == "1")
        return line;
    }
  }
  return {};
}

int ParseCregReply(const std::string& reply) {
  auto field = LastField(reply, "+CREG:");
  if (!field) return kNoCregLine;
  std::vector<std::string> fields = SplitFields(*field);
  // The answer to AT+CREG? starts with the mode <n> and then <stat>; an
  // unsolicited line starts with <stat>, followed by the location area as
  // four hex digits (quoted, or not by some phones), so a short unquoted
  // number in second place means the read form.
  auto isLocation = [](std::string text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return !text.empty() && text.size() <= 8 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  };
  std::optional<int> stat;
  if (fields.size() >= 2 && fields[1].size() <= 2 && SmallNumber(fields[1]) && SmallNumber(fields[0]))
    stat = SmallNumber(fields[1]);
  else if (fields.size() == 1 || isLocation(fields[1]))
    stat = SmallNumber(fields[0]);
  return stat ? *stat : kUnreadableCreg;
}

bool RegistrationReportsOn(const std::string& reply) {
  auto field = LastField(reply, "+CREG:");
  if (!field) return false;
  std::vector<std::string> fields = SplitFields(*field);
  // The read form "n,stat[,...]" names the mode; any other +CREG line is a
  // report the phone sent by itself.
  if (fields.size() >= 2 && fields[1].size() <= 2 && SmallNumber(fields[1]) && SmallNumber(fields[0]))
    return *SmallNumber(fields[0]) > 0;
  return ParseCregReply(reply) >= 0;
}

std::string RegistrationText(int stat) {
  // TS 27.007 7.2 <stat>; 6/7 (SMS only) and 9/10 (CSFB not preferred) are
  // registrations too, 8 (emergency services only) is not.
  switch (stat) {
    case 1: case 6: case 9: return "registered (home)";
    case 5: case 7: case 10: return "registered (roaming)";
    case 2: return "searching";
    case 3: return "denied";
    case 0: case 8: return "not registered";
    case 4: return "unknown";
    case kNoCregLine: return "unknown (no reply)";
    case kUnreadableCreg: return "unknown (unreadable reply)";
    default: return "unknown (" + std::to_string(stat) + ")";
  }
}

std::optional<SignalQuality> ParseCsqReply(const std::string& reply) {
  auto field = LastField(reply, "+CSQ:");
  if (!field) return std::nullopt;
  std::vector<std::string> fields = SplitFields(*field);
  if (fields.size() != 2) return std::nullopt;
  auto rssi = SmallNumber(fields[0]);
  auto ber = SmallNumber(fields[1]);
  if (!rssi || !ber) return std::nullopt;
  return SignalQuality{*rssi, *ber};
}

std::optional<int> RssiToDbm(int rssi) {
  if (rssi < 0 || rssi > 31) return std::nullopt;
  return -113 + 2 * rssi;
}

std::string SignalText(const SignalQuality& q) {
  auto dbm = RssiToDbm(q.rssi);
  if (!dbm) return "Signal: unknown (" + std::to_string(q.rssi) + ")";
  std::string ber = q.ber >= 0 && q.ber <= 7 ? std::to_string(q.ber) : "unknown";
  return "Signal: " + std::to_string(*dbm) + " dBm (" + std::to_string(q.rssi) + "/31), BER " + ber;
}

std::string SignalShortText(const SignalQuality& q) {
  auto dbm = RssiToDbm(q.rssi);
  return dbm ? std::to_string(*dbm) + " dBm" : "? dBm";
}

// ---- Message listing ----

std::vector<ListedMessage> ParseCmglListing(std::string_view text) {
  // +CMGL: 3,1,,23\r\n07912143658709F1040A81...\r\n
  static constexpr std::string_view kHeader = "+CMGL:";
  std::vector<ListedMessage> listed;
  for (;;) {
    size_t header = text.find(kHeader);
    if (header == std::string_view::npos) break;
    text.remove_prefix(header + kHeader.size());

    ListedMessage m;
    size_t comma = text.find(',');
    if (comma != std::string_view::npos) {
      int value = 0;
      if (ReadIndex(pdulink::TrimBlanks(text.substr(0, comma)), value)) m.index = value;
    }
    size_t eol = text.find("\r\n");
    if (eol == std::string_view::npos) break;
    text.remove_prefix(eol + 2);
    // Blanks, control characters and so empty lines before the PDU.
    size_t first = 0;
    while (first < text.size() && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
    text.remove_prefix(first);
    eol = text.find("\r\n");
    // An indication that came between the header and its PDU is not the PDU.
    while (eol != std::string_view::npos && ParseIndicationLine(text.substr(0, eol))) {
      text.remove_prefix(eol + 2);
      first = 0;
      while (first < text.size() && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
      text.remove_prefix(first);
      eol = text.find("\r\n");
    }
    if (eol == std::string_view::npos) break;
    m.pdu = std::string(text.substr(0, eol));
    listed.push_back(std::move(m));
    // The PDU line stays: the search for the next header passes over it.
  }
  return listed;
}

// ---- New-message indications and reading by index ----

namespace {

// The values of one parameter of a test reply: "(0-2)", "(0,2)", "(0-1,3)" or
// a bare "1"; nothing when a piece is not a small number or range.
std::optional<std::vector<int>> ParameterValues(std::string_view group) {
  group = pdulink::TrimBlanks(group);
  if (group.size() >= 2 && group.front() == '(' && group.back() == ')') group = group.substr(1, group.size() - 2);
  std::vector<int> values;
  if (pdulink::TrimBlanks(group).empty()) return values;
  for (const std::string& piece : SplitFields(std::string(group))) {
    const size_t dash = piece.find('-');
    auto low = SmallNumber(std::string_view(piece).substr(0, dash));
    auto high = dash == std::string::npos ? low : SmallNumber(std::string_view(piece).substr(dash + 1));
    if (!low || !high || *high < *low || *high > 9) return std::nullopt;
    for (int v = *low; v <= *high; ++v) values.push_back(v);
  }
  return values;
}

bool Offers(const std::vector<int>& values, int v) {
  return std::find(values.begin(), values.end(), v) != values.end();
}

}  // namespace

std::vector<std::string> CnmiSettings(const std::string& testReply) {
  auto field = LastField(testReply, "+CNMI:");
  if (!field) return {};
  // The parameter groups, split at the commas outside parentheses.
  std::vector<std::vector<int>> groups;
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i <= field->size(); ++i) {
    const char c = i < field->size() ? (*field)[i] : ',';
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (c != ',' || depth > 0) continue;
    auto values = ParameterValues(std::string_view(*field).substr(start, i - start));
    if (!values) return {};
    groups.push_back(std::move(*values));
    start = i + 1;
  }
  if (groups.size() < 2 || !Offers(groups[1], 1)) return {};
  std::vector<std::string> settings;
  for (int mode : {2, 1, 3}) {
    if (!Offers(groups[0], mode)) continue;
    std::string base = std::to_string(mode) + ",1";
    if (groups.size() < 4) {
      settings.push_back(base);
      continue;
    }
    if (!Offers(groups[2], 0)) continue;  // broadcast indications are not wanted
    // Appended piece by piece: "," + std::to_string(...) makes GCC 12 warn
    // about an overlapping copy that cannot happen (-Wrestrict).
    std::string bfr;
    if (groups.size() >= 5 && !groups[4].empty()) {
      bfr += ',';
      bfr += std::to_string(Offers(groups[4], 0) ? 0 : groups[4][0]);
    }
    for (int ds : {2, 0}) {
      if (!Offers(groups[3], ds)) continue;
      std::string setting = base;
      setting += ",0,";
      setting += std::to_string(ds);
      setting += bfr;
      settings.push_back(std::move(setting));
    }
  }
  return settings;
}

std::optional<std::string> ParseCmgrPdu(std::string_view reply) {
  static constexpr std::string_view kHeader = "+CMGR:";
  const size_t header = reply.find(kHeader);
  if (header == std::string_view::npos) return std::nullopt;
  reply.remove_prefix(header + kHeader.size());
  size_t eol = reply.find("\r\n");
  if (eol == std::string_view::npos) return std::nullopt;
  reply.remove_prefix(eol + 2);
  size_t first = 0;
  while (first < reply.size() && static_cast<unsigned char>(reply[first]) <= 0x20) ++first;
  reply.remove_prefix(first);
  eol = reply.find("\r\n");
  if (eol == std::string_view::npos) return std::nullopt;
  std::string pdu(reply.substr(0, eol));
  // A final result where the PDU should be: the slot is empty.
  if (pdu.empty() || IsCanonicalFinalResult(Canonical(pdu))) return std::nullopt;
  return pdu;
}

bool AnsweredInTextMode(std::string_view command, std::string_view reply) {
  const bool listing = StartsNoCase(command, "AT+CMGL=");
  if (!listing && !StartsNoCase(command, "AT+CMGR=")) return false;
  const size_t equals = command.find('=');
  if (equals + 1 >= command.size() || !std::isdigit(static_cast<unsigned char>(command[equals + 1]))) return false;
  if (reply.find("+CMS ERROR: 305") != std::string_view::npos) return true;
  const std::string_view head = listing ? "+CMGL:" : "+CMGR:";
  for (size_t start = 0; start < reply.size();) {
    size_t end = reply.find('\n', start);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(start, end - start);
    start = end + 1;
    if (!StartsNoCase(line, head)) continue;
    line.remove_prefix(head.size());
    // The status: "+CMGL: index,stat,..." or "+CMGR: stat,...".
    if (listing) {
      const size_t comma = line.find(',');
      if (comma == std::string_view::npos) continue;
      line.remove_prefix(comma + 1);
    }
    const size_t text = line.find_first_not_of(' ');
    if (text != std::string_view::npos && line[text] == '"') return true;
  }
  return false;
}

