// The record of the messages in flight: written as text, read back only
// when it is complete.
#include <cstdio>

#include "WatchFiles.h"

namespace watch {

namespace {

constexpr std::string_view kRecordHead = "pdulink in-flight";

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool Unhex(std::string_view hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

}  // namespace

std::string FormatInFlight(const std::vector<InFlight>& records) {
  // A head line, one line per file, an end line: a record cut short is
  // never taken for a complete one.
  std::string text = std::string(kRecordHead) + "\n";
  for (const InFlight& r : records) {
    const char* answer =
        r.answer == InFlight::Answer::Sent ? "sent" : r.answer == InFlight::Answer::Failed ? "failed" : "none";
    text += "file " + Hex(r.fsPath) + " " + Hex(r.path) + " " + std::to_string(r.id.dev) + " " +
            std::to_string(r.id.ino) + " " + std::to_string(r.id.size) + " " + std::to_string(r.id.mtimeNs) + " " +
            answer;
    if (r.total > 1) text += " part " + std::to_string(r.seq) + "/" + std::to_string(r.total);
    if (!r.movedTo.empty()) text += " to " + Hex(r.movedTo);
    text += "\n";
  }
  return text + "end\n";
}

bool ParseInFlight(std::string_view text, std::vector<InFlight>& records) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return false;  // every line ends with LF
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl + 1);
  }
  if (lines.size() < 2 || lines.front() != kRecordHead || lines.back() != "end") return false;
  std::vector<InFlight> out;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    std::string line(lines[i]);
    char pathHex[8193], shownHex[8193], answer[8];
    unsigned long long dev = 0, ino = 0;
    long long size = 0, mtime = 0;
    int used = 0;
    if (line.size() > 16500 ||
        std::sscanf(line.c_str(), "file %8192s %8192s %llu %llu %lld %lld %7s%n", pathHex, shownHex, &dev, &ino, &size,
                    &mtime, answer, &used) != 7)
      return false;
    InFlight r;
    // The copy across file systems under way: " to <path hex>" at the end.
    if (const size_t to = line.rfind(" to "); to != std::string::npos && to >= static_cast<size_t>(used)) {
      if (!Unhex(std::string_view(line).substr(to + 4), r.movedTo) || r.movedTo.empty()) return false;
      line.resize(to);
    }
    if (static_cast<size_t>(used) != line.size()) {
      // A part of a long message: " part seq/total".
      int seq = 0, total = 0, tail = 0;
      if (std::sscanf(line.c_str() + used, " part %d/%d%n", &seq, &total, &tail) != 2 ||
          static_cast<size_t>(used + tail) != line.size() || total < 2 || total > 255 || seq < 1 || seq > total)
        return false;
      r.seq = seq;
      r.total = total;
    }
    if (!Unhex(pathHex, r.fsPath) || r.fsPath.empty() || !Unhex(shownHex, r.path)) return false;
    r.id = FileId{dev, ino, size, mtime};
    const std::string_view a(answer);
    if (a == "sent") r.answer = InFlight::Answer::Sent;
    else if (a == "failed") r.answer = InFlight::Answer::Failed;
    else if (a == "none") r.answer = InFlight::Answer::None;
    else return false;
    out.push_back(std::move(r));
  }
  records = std::move(out);
  return true;
}

}  // namespace watch
