#include "ReplyGrammar.h"

#include <cctype>
#include <charconv>
#include <utility>

#include "text_helpers.h"

bool CutThrough(std::string& text, const std::string& marker) {
  size_t at = pdulink::FindNoCase(text, marker);
  if (at == std::string::npos) return false;
  text.erase(0, at + marker.size());
  return true;
}

std::string CutField(std::string& text, const std::string& marker) {
  size_t at = pdulink::FindNoCase(text, marker);
  if (at == std::string::npos) return {};
  std::string field(pdulink::TrimBlanks(std::string_view(text).substr(0, at)));
  text.erase(0, at + marker.size());
  return field;
}

// ---- Readers the reply parsers share ----

namespace reply_grammar {

std::vector<std::string> ReplyLines(const std::string& reply) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= reply.size()) {
    size_t end = reply.find_first_of("\r\n", start);
    if (end == std::string::npos) end = reply.size();
    std::string line(pdulink::TrimBlanks(std::string_view(reply).substr(start, end - start)));
    if (!line.empty()) lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && pdulink::EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::optional<std::string> LastField(const std::string& reply, const std::string& prefix) {
  std::optional<std::string> found;
  for (const std::string& line : ReplyLines(reply))
    if (StartsNoCase(line, prefix)) found = std::string(pdulink::TrimBlanks(std::string_view(line).substr(prefix.size())));
  return found;
}

std::string Canonical(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"') continue;
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
      continue;
    }
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::optional<int> SmallNumber(std::string_view text) {
  text = pdulink::TrimBlanks(text);
  if (text.empty() || text.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    fields.emplace_back(pdulink::TrimBlanks(std::string_view(text).substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

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

bool ReadIndex(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace reply_grammar

// ---- Final result codes ----

using namespace reply_grammar;

namespace {

// The final result codes that make up a whole line, and the error reports
// that carry an <err> after them.
constexpr std::string_view kFinalResults[] = {"OK", "ERROR", "NO CARRIER"};
constexpr std::string_view kErrorReports[] = {"+CME ERROR:", "+CMS ERROR:"};

// A line (without its CR LF) spelt as a phone frames a final result: the
// code exactly; an error report with one blank and an <err> that is not
// empty and holds no control character.
bool IsExactFinalResult(std::string_view line) {
  for (std::string_view code : kFinalResults)
    if (line == code) return true;
  for (std::string_view head : kErrorReports) {
    if (line.size() <= head.size() + 1 || line.substr(0, head.size()) != head || line[head.size()] != ' ')
      continue;
    for (char c : line.substr(head.size() + 1))
      if (static_cast<unsigned char>(c) < 0x20) return false;
    return true;
  }
  return false;
}

}  // namespace

bool reply_grammar::IsCanonicalFinalResult(std::string_view upper) {
  for (std::string_view code : kFinalResults)
    if (upper == code) return true;
  for (std::string_view head : kErrorReports)
    if (upper.substr(0, head.size()) == head) return true;
  return false;
}

bool EndsWithReplyEnd(std::string_view bytes) {
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
  return IsExactFinalResult(body.substr(open + 2));
}

bool HasFinalResult(const std::string& reply) {
  // Only complete lines count: "+CME ERROR: 1" may still grow into "16".
  size_t end = reply.find_last_of("\r\n");
  if (end == std::string::npos) return false;
  for (const std::string& line : ReplyLines(reply.substr(0, end)))
    if (IsCanonicalFinalResult(Canonical(line))) return true;
  return false;
}

bool ReplyHoldsOk(const std::string& reply) {
  return reply.find("\r\nOK\r\n") != std::string::npos || reply.rfind("OK\r\n", 0) == 0;
}

std::string ErrorLine(std::string_view reply) {
  for (std::string_view mark : {"+CMS ERROR", "+CME ERROR", "ERROR"}) {
    const size_t at = reply.find(mark);
    if (at == std::string_view::npos) continue;
    const size_t end = reply.find_first_of("\r\n", at);
    return std::string(reply.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
  }
  return {};
}

bool HoldsPrompt(std::string_view reply) {
  for (size_t at = reply.find('>'); at != std::string_view::npos; at = reply.find('>', at + 1)) {
    const bool lineStart = at == 0 || reply[at - 1] == '\n' || reply[at - 1] == '\r';
    if (lineStart && (at + 1 == reply.size() || reply[at + 1] == ' ')) return true;
  }
  return false;
}
