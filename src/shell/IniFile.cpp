#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "text_helpers.h"

namespace {


using pdulink::TrimBlanks;

using pdulink::EqualNoCase;

// "[Name]" (blanks allowed around) -> Name; otherwise false.
bool SectionName(std::string_view line, std::string_view& name) {
  std::string_view t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return false;
  name = TrimBlanks(t.substr(1, close - 1));
  return true;
}

// "key=value" -> key and raw value; comment and empty lines give false.
bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view t = TrimBlanks(line);
  if (t.empty() || t.front() == ';' || t.front() == '#' || t.front() == '[') return false;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimBlanks(t.substr(0, eq));
  value = TrimBlanks(t.substr(eq + 1));
  return !key.empty();
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

}  // namespace

IniFile IniFile::FromText(std::string_view text) {
  IniFile ini;
  size_t pos = 0;
  bool sawCrLf = false, sawLf = false;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    Line line{std::string(text.substr(pos, end - pos)), {}};
    if (end < text.size()) {
      if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
        line.eol = "\r\n";
        sawCrLf = true;
      } else {
        line.eol = std::string(1, text[end]);
        if (text[end] == '\n') sawLf = true;
      }
    }
    pos = end + line.eol.size();
    ini.lines_.push_back(std::move(line));
  }
  // New lines follow the file's own convention; a new file gets CR LF.
  ini.newline_ = (sawLf && !sawCrLf) ? "\n" : "\r\n";
  return ini;
}

bool IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *this = IniFile();
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *this = IniFile();
    return false;
  }
  *this = FromText(text);
  return true;
}

std::vector<size_t> IniFile::SectionStarts(std::string_view section) const {
  std::vector<size_t> starts;
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view name;
    if (SectionName(lines_[i].text, name) && EqualNoCase(name, section)) starts.push_back(i);
  }
  return starts;
}

size_t IniFile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  std::string_view name;
  while (i < lines_.size() && !SectionName(lines_[i].text, name)) ++i;
  return i;
}

std::string IniFile::Read(std::string_view section, std::string_view key,
                          std::string_view def) const {
  for (size_t start : SectionStarts(section)) {
    size_t end = SectionEnd(start);
    for (size_t i = start + 1; i < end; ++i) {
      std::string_view k, v;
      if (KeyValue(lines_[i].text, k, v) && EqualNoCase(k, key)) return Unquote(v);
    }
  }
  return std::string(def);
}

std::vector<std::pair<std::string, std::string>> IniFile::ReadSection(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t start : SectionStarts(section)) {
    size_t end = SectionEnd(start);
    for (size_t i = start + 1; i < end; ++i) {
      std::string_view k, v;
      if (!KeyValue(lines_[i].text, k, v)) continue;
      bool seen = false;
      for (auto& [ok, ov] : out) seen = seen || EqualNoCase(ok, k);
      if (!seen) out.emplace_back(std::string(k), Unquote(v));
    }
  }
  return out;
}

void IniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  std::string newText = std::string(key) + "=" + std::string(value);
  auto starts = SectionStarts(section);
  for (size_t start : starts) {
    size_t end = SectionEnd(start);
    for (size_t i = start + 1; i < end; ++i) {
      std::string_view k, v;
      if (KeyValue(lines_[i].text, k, v) && EqualNoCase(k, key)) {
        lines_[i].text = newText;
        return;
      }
    }
  }
  if (!starts.empty()) {
    // After the last key line of the first occurrence, so trailing blank
    // lines and comments that separate sections stay where they are.
    size_t start = starts.front();
    size_t end = SectionEnd(start);
    size_t at = start + 1;
    for (size_t i = start + 1; i < end; ++i) {
      std::string_view k, v;
      if (KeyValue(lines_[i].text, k, v)) at = i + 1;
    }
    if (lines_[at - 1].eol.empty()) lines_[at - 1].eol = newline_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{newText, newline_});
    return;
  }
  if (!lines_.empty() && lines_.back().eol.empty()) lines_.back().eol = newline_;
  // Built piece by piece: "[" + a temporary string makes GCC 12 at -O3 warn
  // about an overlapping copy that cannot happen (-Wrestrict).
  std::string header = "[";
  header.append(section).push_back(']');
  lines_.push_back(Line{std::move(header), newline_});
  lines_.push_back(Line{newText, newline_});
}

std::string IniFile::Text() const {
  size_t total = 0;
  for (const Line& l : lines_) total += l.text.size() + l.eol.size();
  std::string out;
  out.reserve(total);
  for (const Line& l : lines_) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool IniFile::SaveTo(const std::string& path) const {
  const std::string data = Text();
  struct stat st {};
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;
  // A read-only file stays untouched, also for root, who could write it.
  if (exists && ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0)) return false;

  // Replace through a temporary file in the same directory so a failed write
  // (disk full) never leaves half a configuration behind. The real path is
  // used so a symlinked configuration stays a symlink.
  std::string target = path;
  if (exists) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved)) target = resolved;
  }
  std::string tmp = target + ".tmpXXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd >= 0) {
    bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
    if (ok && exists) ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    if (!exists) {
      mode_t mask = ::umask(0);
      ::umask(mask);
      ::fchmod(fd, 0666 & ~mask);
    }
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), target.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    if (!ok) return false;
  }
  // The directory takes no new files but the file itself may be writable.
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) return false;
  bool ok = WriteAll(out, data);
  return (::close(out) == 0) && ok;
}
