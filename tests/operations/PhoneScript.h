#pragma once
// Small helpers for scripting the simulated phone from operation tests.
#include <string>

namespace pdulink::test {

// The control channel's escaped form of a raw reply (CR, LF, quote and
// backslash written as escapes), for "fail PATTERN reply TEXT".
inline std::string EscapeReply(const std::string& raw) {
  std::string out;
  for (char c : raw) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace pdulink::test
