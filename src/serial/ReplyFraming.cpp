#include "ReplyFraming.h"

namespace serial_impl {

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool StartsWith(std::string_view s, std::string_view head) {
  return s.size() >= head.size() && s.substr(0, head.size()) == head;
}

// The text of a "+CME ERROR: " or "+CMS ERROR: " line after the colon: a
// number, or a verbose text (AT+CMEE=2), never empty.
bool IsErrorArgument(std::string_view arg) {
  if (arg.empty()) return false;
  for (char c : arg)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

}  // namespace

bool EndsWithFinalResult(std::string_view bytes) {
  // The message prompt: "> " opening a line.
  if (EndsWith(bytes, "> ")) {
    const std::string_view before = bytes.substr(0, bytes.size() - 2);
    return before.empty() || before.back() == '\n' || before.back() == '\r';
  }
  // A final result line: "\r\n" <line> "\r\n" at the very end.
  if (!EndsWith(bytes, "\r\n")) return false;
  const std::string_view body = bytes.substr(0, bytes.size() - 2);
  const size_t open = body.rfind("\r\n");
  if (open == std::string_view::npos) return false;
  const std::string_view line = body.substr(open + 2);
  if (line == "OK" || line == "ERROR") return true;
  for (std::string_view head : {std::string_view("+CME ERROR: "), std::string_view("+CMS ERROR: ")})
    if (StartsWith(line, head)) return IsErrorArgument(line.substr(head.size()));
  return false;
}

}  // namespace serial_impl
