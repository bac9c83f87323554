#include "ControlRequest.h"

namespace pdulink::phone {
namespace control {

std::string Lower(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

long Number(const std::string& text, const char* what, long lo, long hi) {
  std::size_t used = 0;
  long v = 0;
  bool ok = !text.empty();
  try {
    v = std::stol(text, &used, text.size() > 2 && (text[1] == 'x' || text[1] == 'X') ? 16 : 10);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok || used != text.size() || v < lo || v > hi)
    throw Failure(std::string(what) + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

Memory MemoryOption(const Modem& modem, const std::string& name) {
  auto m = ParseMemory(name);
  if (!m) throw Failure("unknown memory " + name + " (SM, ME or MT)");
  const auto& available = modem.settings.memories;
  if (std::find(available.begin(), available.end(), *m) == available.end())
    throw Failure("memory " + std::string(MemoryName(*m)) + " is not available");
  return *m;
}

Timestamp TimeOption(const std::map<std::string, std::string>& options) {
  auto it = options.find("time");
  if (it == options.end()) return NowTimestamp();
  Timestamp ts;
  if (!ParseTimestamp(it->second, ts)) throw Failure("time must look like 050619222217+12");
  return ts;
}

int FreeSlots(Modem& modem, Memory memory) {
  return modem.Store().Total(memory) - modem.Store().Used(memory);
}

// The memories of a list "SM,ME".
std::vector<Memory> MemoryList(const std::string& list) {
  std::vector<Memory> memories;
  std::string token;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == ',' || list[i] == ' ') {
      if (!token.empty()) {
        auto mem = ParseMemory(token);
        if (!mem) throw Failure("unknown memory " + token + " (SM, ME or MT)");
        if (std::find(memories.begin(), memories.end(), *mem) == memories.end()) memories.push_back(*mem);
      }
      token.clear();
    } else {
      token.push_back(list[i]);
    }
  }
  if (memories.empty()) throw Failure("missing memories");
  return memories;
}

}  // namespace control

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    char e = text[i + 1];
    auto hex = [](char h) -> int {
      if (h >= '0' && h <= '9') return h - '0';
      h = static_cast<char>(std::tolower(static_cast<unsigned char>(h)));
      return h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
    };
    switch (e) {
      case 'r': out.push_back('\r'); ++i; break;
      case 'n': out.push_back('\n'); ++i; break;
      case 't': out.push_back('\t'); ++i; break;
      case '\\': out.push_back('\\'); ++i; break;
      case '"': out.push_back('"'); ++i; break;
      case 'x':
        if (i + 3 < text.size() + 0 && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
          out.push_back(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
          i += 3;
          break;
        }
        [[fallthrough]];
      default: out.push_back(c); break;
    }
  }
  return out;
}

}  // namespace pdulink::phone
