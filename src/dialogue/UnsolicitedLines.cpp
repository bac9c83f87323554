#include "UnsolicitedLines.h"

#include <cctype>

#include "ReplyGrammar.h"
#include "text_helpers.h"

using namespace reply_grammar;

// ---- New-message indications ----

std::optional<Indication> ParseIndicationLine(std::string_view line) {
  line = pdulink::TrimBlanks(line);
  Indication ind;
  if (line.size() < 6) return std::nullopt;
  const std::string head(line.substr(0, 6));
  if (pdulink::EqualNoCase(head, "+CMTI:")) {
    ind.report = false;
  } else if (pdulink::EqualNoCase(head, "+CDSI:")) {
    ind.report = true;
  } else {
    return std::nullopt;
  }
  line.remove_prefix(6);
  const size_t comma = line.rfind(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view memory = pdulink::TrimBlanks(line.substr(0, comma));
  if (memory.size() >= 2 && memory.front() == '"' && memory.back() == '"') memory = memory.substr(1, memory.size() - 2);
  if (memory.empty() || memory.size() > 8) return std::nullopt;
  for (char c : memory) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    ind.memory.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  int index = 0;
  if (!ReadIndex(pdulink::TrimBlanks(line.substr(comma + 1)), index) || index < 0) return std::nullopt;
  ind.index = index;
  return ind;
}

bool EndsWithReplyEndOrIndication(std::string_view bytes) {
  if (EndsWithReplyEnd(bytes)) return true;
  if (!EndsWith(bytes, "\r\n")) return false;
  const std::string_view body = bytes.substr(0, bytes.size() - 2);
  const size_t open = body.find_last_of("\r\n");
  const std::string_view line = open == std::string_view::npos ? body : body.substr(open + 1);
  return ParseIndicationLine(line).has_value();
}

// ---- Unsolicited result codes ----

namespace {

// The lines a phone sends on its own. A "+NAME:" head is compared with its
// colon, so "+CMT:" is not "+CMTI:" and neither is "+CMGS:".
constexpr std::string_view kUnsolicitedHeads[] = {"+CMTI:", "+CDSI:", "+CDS:",   "+CMT:",  "+CRING:", "+CLIP:",
                                                  "+CREG:", "+CGREG:", "+CIEV:", "+CUSD:", "RING"};
// A phone that started again says so with one of these.
constexpr std::string_view kPowerOnLines[] = {"RDY", "+CPIN: READY", "+CFUN: 1"};

// The line answers the command asked: its "+NAME" appears in that command.
bool NamedByCommand(std::string_view line, std::string_view asked) {
  if (line.empty() || line.front() != '+' || asked.empty()) return false;
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  return pdulink::FindNoCase(asked, line.substr(0, colon)) != std::string::npos;
}

// Line ends and blanks around a line.
std::string_view TrimLine(std::string_view line) { return pdulink::TrimBlanks(line); }

// The longest line held back while its end is awaited; a longer one is no
// unsolicited line (a PDU line after +CMT is at most 2 * 176 digits).
constexpr size_t kLongestHeld = 1024;

}  // namespace

LineKind ClassifyLine(std::string_view raw, std::string_view asked) {
  const std::string_view line = TrimLine(raw);
  if (line.empty()) return LineKind::Reply;
  if (NamedByCommand(line, asked)) return LineKind::Reply;
  const std::string canonical = Canonical(std::string(line));
  for (std::string_view power : kPowerOnLines)
    if (canonical == power) return LineKind::PowerOn;
  if (line.front() == '^') return LineKind::Unsolicited;
  for (std::string_view head : kUnsolicitedHeads) {
    if (head == "RING" ? canonical == head : StartsNoCase(line, head)) return LineKind::Unsolicited;
  }
  return LineKind::Reply;
}

bool MayBeUnsolicited(std::string_view start) {
  start = TrimLine(start);
  if (start.empty()) return false;
  if (start.front() == '^') return true;
  auto matches = [&](std::string_view head) {
    return start.size() < head.size() ? StartsNoCase(head, start) : StartsNoCase(start, head);
  };
  for (std::string_view head : kUnsolicitedHeads)
    if (matches(head)) return true;
  for (std::string_view power : kPowerOnLines)
    if (matches(power)) return true;
  return false;
}

bool UnsolicitedFilter::Split::Replied() const { return reply.find_first_not_of("\r\n") != std::string::npos; }

void UnsolicitedFilter::Reset() {
  held_.clear();
  pduNext_ = false;
}

UnsolicitedFilter::Split UnsolicitedFilter::Take(std::string_view burst) {
  std::string data = held_ + std::string(burst);
  held_.clear();
  Split out;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t lf = data.find('\n', pos);
    if (lf == std::string::npos) {
      // A line without its end yet: held when it may still turn out to be
      // unsolicited, so that no part of it counts as a reply.
      const std::string_view tail = std::string_view(data).substr(pos);
      const std::string_view start = TrimLine(tail);
      const bool hold = !start.empty() && tail.size() <= kLongestHeld && (pduNext_ || MayBeUnsolicited(start));
      out.held = hold;
      if (hold) held_ = std::string(tail);
      else out.reply += tail;
      break;
    }
    const std::string_view segment = std::string_view(data).substr(pos, lf + 1 - pos);
    pos = lf + 1;
    const std::string_view line = TrimLine(segment);
    if (line.empty()) {
      out.reply += segment;
      continue;
    }
    LineKind kind = LineKind::Unsolicited;
    if (pduNext_) {
      pduNext_ = false;  // the PDU of a +CMT or +CDS header
    } else {
      kind = ClassifyLine(line, asked_);
      if (kind == LineKind::Reply) {
        out.reply += segment;
        continue;
      }
      pduNext_ = StartsNoCase(line, "+CMT:") || StartsNoCase(line, "+CDS:");
    }
    if (kind == LineKind::PowerOn) ++out.powerOn;
    out.unsolicited.emplace_back(segment);
  }
  return out;
}
