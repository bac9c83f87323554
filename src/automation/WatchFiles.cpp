#include "WatchFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "archive_files.h"
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

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Nanoseconds since the file was modified; negative for a time stamp ahead
// of the clock.
long long AgeNs(const struct stat& st) {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000000LL + (now.tv_nsec - st.st_mtim.tv_nsec);
}

FileId IdOf(const struct stat& st) {
  FileId id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = static_cast<long long>(st.st_size);
  id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return id;
}

}  // namespace

namespace {

// The start of the file once no other program writes it: its first line
// (up to CR or LF) when cutAtLineEnd, otherwise up to `limit` bytes.
ReadResult ReadStart(const std::string& path, std::string& line, bool useLease, const FileId* previous, Look* look,
                     bool cutAtLineEnd, size_t limit) {
  line.clear();
  // Non-blocking: a FIFO put in the file's place must not stall the turn.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return ReadResult::Unreadable;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadResult::Unreadable;
  const FileId id = IdOf(st);
  if (look) *look = Look{id, false};

  // A lease break is signalled to the holder, SIGIO by default, which would
  // end the program; SIGURG is ignored unless someone handles it. The lease
  // lasts only while the line is read, so a writer opening the file
  // meanwhile waits that long at most.
  bool leased = false;
  if (useLease) {
    ::fcntl(fd.get(), F_SETSIG, SIGURG);
    leased = ::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0;
    if (!leased && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadResult::BeingWritten;
  }
  if (!leased) {
    const bool changed = previous && !(*previous == id);
    const long long age = AgeNs(st);
    if (age < 0) {
      // Clock skew or a copy that kept a stamp from a faster clock: the age
      // tells nothing, so one unchanged look before this one must.
      if (look) look->futureStamp = true;
      if (!previous || changed) return ReadResult::BeingWritten;
    } else if (changed || age < 1000000000LL) {
      return ReadResult::BeingWritten;
    }
  }

  ReadResult result = ReadResult::Ok;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = ReadResult::Unreadable;
      break;
    }
    if (n == 0) break;
    std::string_view chunk(buf, static_cast<size_t>(n));
    size_t eol = cutAtLineEnd ? chunk.find_first_of("\r\n") : std::string_view::npos;
    size_t take = std::min(eol == std::string_view::npos ? chunk.size() : eol, limit - line.size());
    line.append(chunk.substr(0, take));
    if (eol != std::string_view::npos || line.size() >= limit) break;
  }
  if (leased) ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  return result;
}

}  // namespace

ReadResult ReadFirstLine(const std::string& path, std::string& line, bool useLease, const FileId* previous,
                         Look* look) {
  return ReadStart(path, line, useLease, previous, look, true, kMaxLineBytes);
}

ReadResult ReadFileHead(const std::string& path, std::string& head, bool useLease, const FileId* previous,
                        Look* look) {
  return ReadStart(path, head, useLease, previous, look, false, kMaxHeadBytes);
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

namespace {

// Across file systems: the copy is written under a temporary name beside
// `to` (one the watch never takes), flushed, and renamed to `to` only when
// complete; then the original goes. A kill in between leaves the original
// and at most a stray temporary file or a complete copy, which the in-flight
// record (told by beforeCopy) names.
bool CopyAcross(const std::string& from, const std::string& to, const std::function<bool()>& beforeCopy) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return false;
  struct stat taken {};
  if (::lstat(to.c_str(), &taken) == 0) {
    errno = EEXIST;
    return false;
  }
  if (beforeCopy && !beforeCopy()) return false;
  static std::atomic<unsigned> counter{0};
  const std::string temp = to + "." + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
  Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
  if (out.get() < 0) return false;
  bool ok = true;
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out.get(), buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ok = false;
      else done += w;
    }
    if (!ok) break;
  }
  ok = ok && ::fsync(out.get()) == 0;
  ok = (::close(out.release()) == 0) && ok;
  // Only a complete copy takes the name, and only a named copy replaces
  // the original.
  ok = ok && ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
  if (!ok) {
    const int code = errno;
    ::unlink(temp.c_str());
    errno = code;
    return false;
  }
  pdulink::SyncParentDirectory(to);
  if (::unlink(from.c_str()) == 0) return true;
  const int code = errno;
  ::unlink(to.c_str());
  errno = code;
  return false;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to, const std::function<bool()>& beforeCopy) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EXDEV) return CopyAcross(from, to, beforeCopy);
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system that cannot refuse to replace: ask first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return false;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    return errno == EXDEV && CopyAcross(from, to, beforeCopy);
  }
  return false;
}

void RemoveTemporariesOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d))
    if (pdulink::IsTemporaryName(e->d_name, base)) ::unlinkat(::dirfd(d), e->d_name, 0);
  ::closedir(d);
}

bool IdentifyFile(const std::string& path, FileId& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  id = IdOf(st);
  return true;
}

bool IsOwnName(std::string_view name) { return pdulink::IsOwnFileName(name); }

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

bool ReadSmallFile(const std::string& path, std::string& content) {
  content.clear();
  Fd in(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) return false;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    content.append(buf, static_cast<size_t>(n));
    if (content.size() > 64 * 1024) return false;  // no record of ours
  }
}

}  // namespace watch
