// The watched directory's names and lines: the template's parts, the
// matching files, and the number and body of an outgoing file's first line
// (UTF-8 files too).
#include "WatchFiles.h"

#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "own_files.h"
#include "text_helpers.h"
#include "utf8_text.h"

namespace watch {

Template SplitTemplate(std::string_view text) {
  Template t;
  size_t slash = text.find_last_of("/\\");
  if (slash == std::string_view::npos) {
    t.pattern = std::string(text);
    return t;
  }
  t.pattern = std::string(text.substr(slash + 1));
  t.dir = std::string(pdulink::TrimBlanks(text.substr(0, slash)));
  // A template in the root directory: "/smss*.txt".
  // (assign(1, '/'): GCC 12 at -O3 falsely flags a copy of "/" as overlapping)
  if (t.dir.empty() && slash == 0 && text[0] == '/') t.dir.assign(1, '/');
  return t;
}

bool SplitMessageLine(std::string_view raw, std::string& number, std::string& body) {
  std::string line(pdulink::TrimBlanks(pdulink::CollapseBlanks(raw)));
  size_t blank = line.find(' ');
  if (blank == std::string::npos) return false;
  number = std::string(pdulink::TrimBlanks(pdulink::NthWord(line, 1)));
  body = std::string(pdulink::TrimBlanks(pdulink::CollapseBlanks(std::string_view(line).substr(blank))));
  return true;
}

bool ListMatches(const std::string& dir, const std::string& pattern, std::vector<std::string>& names,
                 std::string& errorText) {
  names.clear();
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    errorText = std::strerror(errno);
    return false;
  }
  while (dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.') continue;  // hidden, and "." and ".."
    if (IsOwnName(name)) continue;  // sent, failed or of unknown outcome
    if (::fnmatch(pattern.c_str(), name, FNM_CASEFOLD) != 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(d), name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    names.emplace_back(name);
  }
  ::closedir(d);
  // Name order with case ignored, as the template matches.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    int c = ::strcasecmp(a.c_str(), b.c_str());
    return c != 0 ? c < 0 : a < b;
  });
  return true;
}

Utf8Line FirstLineUtf8(std::string_view head) {
  Utf8Line r;
  const bool cut = head.size() >= kMaxHeadBytes;
  size_t bom = 0;
  bool utf16 = false, le = false;
  if (head.substr(0, 3) == "\xEF\xBB\xBF") {
    bom = 3;
  } else if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") {
    bom = 2;
    utf16 = true;
    le = head[0] == '\xFF';
  }
  size_t end = head.size();
  if (utf16) {
    // The first unit that is CR or LF ends the line.
    for (size_t at = bom; at + 1 < head.size(); at += 2) {
      const unsigned char hi = static_cast<unsigned char>(head[le ? at + 1 : at]);
      const unsigned char lo = static_cast<unsigned char>(head[le ? at : at + 1]);
      if (hi == 0 && (lo == '\r' || lo == '\n')) {
        end = at;
        break;
      }
    }
    if (end == head.size() && cut) {
      end = bom + (head.size() - bom) / 2 * 2;
      // A high surrogate whose pair was cut off goes with it.
      const unsigned char hi = end >= bom + 2 ? static_cast<unsigned char>(head[le ? end - 1 : end - 2]) : 0;
      if (hi >= 0xD8 && hi <= 0xDB) end -= 2;
    }
  } else {
    end = std::min(head.find_first_of("\r\n"), head.size());
    if (end == head.size() && cut) {
      // Back to the start of the sequence the cut went through.
      size_t k = end;
      while (k > bom && end - k < 4 && (static_cast<unsigned char>(head[k - 1]) & 0xC0) == 0x80) --k;
      if (k > bom && static_cast<unsigned char>(head[k - 1]) >= 0xC0) end = k - 1;
    }
  }
  pdulink::FileText text = pdulink::DecodeFileText(head.substr(0, end));
  r.ok = text.ok;
  r.badOffset = text.badOffset;
  r.line = std::move(text.utf8);
  return r;
}

namespace {

bool IsNumberSeparator(char c) { return c == ' ' || c == '-' || c == '(' || c == ')'; }

}  // namespace

bool SplitMessageLineUtf8(std::string_view raw, std::string& number, std::string& body) {
  // Blanks and control characters before the number go, as trimming does.
  size_t from = 0;
  while (from < raw.size() && static_cast<unsigned char>(raw[from]) <= 0x20) ++from;
  const std::string_view line = raw.substr(from);
  const size_t tab = line.find('\t');
  if (tab != std::string_view::npos) {
    std::string digits;
    bool plain = true;
    for (size_t i = 0; i < tab && plain; ++i) {
      const char c = line[i];
      if (c >= '0' && c <= '9') digits.push_back(c);
      else if (c == '+' && digits.empty() && (i == 0 || IsNumberSeparator(line[i - 1]) || line[i - 1] == '('))
        digits.push_back(c);
      else if (!IsNumberSeparator(c)) plain = false;
    }
    if (plain && !digits.empty() && digits != "+") {
      const std::string rest(pdulink::TrimBlanks(pdulink::CollapseBlanks(line.substr(tab + 1))));
      if (rest.empty()) return false;  // a number alone: nothing to send
      number = std::move(digits);
      body = rest;
      return true;
    }
  }
  return SplitMessageLine(raw, number, body);
}

bool IsOwnName(std::string_view name) { return pdulink::IsOwnFileName(name); }

}  // namespace watch
