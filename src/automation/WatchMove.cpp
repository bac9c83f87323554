// Moving a sent or failed file to its new name without ever replacing
// another file, across file systems too.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "UniqueFd.h"
#include "WatchFiles.h"
#include "archive_files.h"
#include "own_files.h"

namespace watch {

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

}  // namespace watch
