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
#include <cerrno>
#include <cstring>

#include "text_helpers.h"

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

bool ModifiedWithinASecond(const struct stat& st) {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  long long ageNs = (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000000LL +
                    (now.tv_nsec - st.st_mtim.tv_nsec);
  return ageNs < 1000000000LL;
}

}  // namespace

ReadResult ReadFirstLine(const std::string& path, std::string& line, bool useLease) {
  line.clear();
  // Non-blocking: a FIFO put in the file's place must not stall the turn.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return ReadResult::Unreadable;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ReadResult::Unreadable;

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
    if (ModifiedWithinASecond(st)) return ReadResult::BeingWritten;
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
    size_t eol = chunk.find_first_of("\r\n");
    size_t take = std::min(eol == std::string_view::npos ? chunk.size() : eol, kMaxLineBytes - line.size());
    line.append(chunk.substr(0, take));
    if (eol != std::string_view::npos || line.size() >= kMaxLineBytes) break;
  }
  if (leased) ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  return result;
}

namespace {

bool CopyAcross(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return false;
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
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
  // Only a complete copy may replace the original.
  if (ok && ::unlink(from.c_str()) == 0) return true;
  ::unlink(to.c_str());
  return false;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EXDEV) return CopyAcross(from, to);
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system that cannot refuse to replace: ask first.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return false;
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    return errno == EXDEV && CopyAcross(from, to);
  }
  return false;
}

bool IdentifyFile(const std::string& path, FileId& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = static_cast<long long>(st.st_size);
  id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

}  // namespace watch
