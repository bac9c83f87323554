#include "Replies.h"

#include "text_helpers.h"

bool CutThrough(std::string& text, const std::string& marker) {
  size_t at = pdulink::FindNoCase(text, marker);
  if (at == std::string::npos) return false;
  text.erase(0, at + marker.size());
  return true;
}

std::string ChooseSmsMemory(const std::string& reply) {
  std::string memory;
  if (reply.find("+CPMS:") == std::string::npos) return memory;
  if (reply.find("\"SM\"") != std::string::npos) memory = "SM";
  if (reply.find("\"ME\"") != std::string::npos) memory = "ME";
  if (reply.find("\"MT\"") != std::string::npos) memory = "MT";
  return memory;
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

namespace {

// A decimal integer with an optional sign, blanks around it allowed.
bool ReadInt(std::string_view text, int& value) {
  text = pdulink::TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = negative ? -v : v;
  return true;
}

}  // namespace

std::string CutField(std::string& text, const std::string& marker) {
  size_t at = pdulink::FindNoCase(text, marker);
  if (at == std::string::npos) return {};
  std::string field(pdulink::TrimBlanks(std::string_view(text).substr(0, at)));
  text.erase(0, at + marker.size());
  return field;
}

int ParseBatteryLevel(std::string text) {
  // +CBC: 0,80
  if (!CutThrough(text, "+CBC:")) return -1;
  // Leading blanks only: the CR after the level must stay.
  size_t start = 0;
  while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20) ++start;
  text.erase(0, start);
  size_t comma = text.find(',');
  if (comma == std::string::npos || comma == 0) return -1;
  int status = 0;
  if (!ReadInt(std::string_view(text).substr(0, comma), status)) return -1;
  text.erase(0, comma + 1);
  // Without its CR the level may have lost digits on the way.
  size_t cr = text.find('\r');
  if (cr == std::string::npos) return -1;
  int level = 0;
  if (!ReadInt(std::string_view(text).substr(0, cr), level)) return -1;
  if (level < 0 || level > 100) return -1;
  return level;
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
