#include "Replies.h"

#include <charconv>

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

// ---- Message listing ----

namespace {

// A decimal integer with an optional sign that fits 32 bits, and nothing else.
bool ReadIndex(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

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
    if (eol == std::string_view::npos) break;
    m.pdu = std::string(text.substr(0, eol));
    listed.push_back(std::move(m));
    // The PDU line stays: the search for the next header passes over it.
  }
  return listed;
}
