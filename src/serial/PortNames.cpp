#include "PortNames.h"

#include <cctype>
#include <string_view>

namespace {

unsigned char LowerAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

// Port names are ASCII: letters compare without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// Without blanks and control characters at both ends.
std::string Trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return std::string(s);
}

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
