#include "PortNames.h"

#include <cctype>

#include "text_helpers.h"

namespace {

using pdulink::EqualNoCase;

std::string Trimmed(const std::string& s) { return std::string(pdulink::TrimBlanks(s)); }

}  // namespace

std::string ResolvePortName(const std::string& rawName, const std::map<std::string, std::string>& ports) {
  const std::string name = Trimmed(rawName);
  if (name.empty()) return {};
  for (const auto& [key, path] : ports) {
    if (EqualNoCase(Trimmed(key), name)) {
      std::string p = Trimmed(path);
      if (!p.empty()) return p;
    }
  }
  if (name[0] == '/') return name;
  if (name.size() > 3 && EqualNoCase(name.substr(0, 3), "COM")) {
    unsigned long n = 0;
    bool digits = name.size() - 3 <= 6;
    for (size_t i = 3; digits && i < name.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(name[i]))) digits = false;
      else n = n * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    if (digits && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + name;
}
