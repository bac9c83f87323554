// Reading a watched file once no other program writes it (a read lease,
// or its size and time stamp unchanged), and knowing a file again by its
// identity.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "UniqueFd.h"
#include "WatchFiles.h"

namespace watch {

namespace {

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

bool IdentifyFile(const std::string& path, FileId& id) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  id = IdOf(st);
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
