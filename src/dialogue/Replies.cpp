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
