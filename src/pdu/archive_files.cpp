#include "archive_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pdulink {
namespace {

bool Fail(std::string* error, const char* what, int code) {
  if (error) *error = std::string(what) + ": " + std::strerror(code);
  return false;
}

// Writes all of bytes, retrying short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes, int& code) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      code = errno;
      return false;
    }
    if (n == 0) {
      code = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::atomic<unsigned> tempCounter{0};

// Creates a temporary file beside path that no other writer shares: the name
// carries the process and a counter, and O_EXCL refuses one that exists.
int CreateTemp(const std::string& path, std::string& temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(tempCounter.fetch_add(1)) + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes, flushes and closes a new temporary file with bytes; false on failure
// (code set, nothing left behind).
bool WriteTemp(const std::string& path, std::string_view bytes, std::string& temp, int& code) {
  int fd = CreateTemp(path, temp);
  if (fd < 0) {
    code = errno;
    return false;
  }
  bool ok = WriteAll(fd, bytes, code);
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    code = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// Gives temp the name path unless path exists. The kernel refuses to replace
// where it can; a file system without that refusal gets a hard link (which
// fails on an existing name too), and one without links a look first.
bool RenameNoReplace(const std::string& temp, const std::string& path, int& code) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  code = errno;
  if (code != EINVAL && code != ENOSYS) return false;
  if (::link(temp.c_str(), path.c_str()) == 0) {
    ::unlink(temp.c_str());
    return true;
  }
  code = errno;
  if (code == EEXIST) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    code = EEXIST;
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) == 0) return true;
  code = errno;
  return false;
}

}  // namespace

bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string* error, bool* taken) {
  if (taken) *taken = false;
  std::string temp;
  int code = 0;
  if (!WriteTemp(path, bytes, temp, code)) return Fail(error, "write", code);
  if (!RenameNoReplace(temp, path, code)) {
    ::unlink(temp.c_str());
    if (taken && code == EEXIST) *taken = true;
    return Fail(error, "rename", code);
  }
  return true;
}

bool ReplaceFileDurably(const std::string& path, std::string_view bytes, std::string* error) {
  std::string temp;
  int code = 0;
  if (!WriteTemp(path, bytes, temp, code)) return Fail(error, "write", code);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    code = errno;
    ::unlink(temp.c_str());
    return Fail(error, "rename", code);
  }
  if (!SyncParentDirectory(path)) return Fail(error, "sync directory", errno);
  return true;
}

bool RemoveFileDurably(const std::string& path, std::string* error) {
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return true;
    return Fail(error, "remove", errno);
  }
  if (!SyncParentDirectory(path)) return Fail(error, "sync directory", errno);
  return true;
}

bool AppendDurably(const std::string& path, std::string_view bytes, bool& created, std::string* error) {
  struct stat st {};
  created = ::stat(path.c_str(), &st) != 0;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(error, "open", errno);
  // Where the line starts, to cut a partly written one back.
  off_t start = ::lseek(fd, 0, SEEK_END);
  int code = 0;
  bool ok = WriteAll(fd, bytes, code);
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    code = errno;
  }
  if (!ok && start >= 0 && ::ftruncate(fd, start) == 0) ::fsync(fd);
  if (::close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (!ok) {
    if (created && start == 0) ::unlink(path.c_str());
    return Fail(error, "append", code);
  }
  return true;
}

int RemoveDeadTemporaries(const std::string& dir, bool (*ours)(std::string_view name)) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view file(e->d_name);
    constexpr std::string_view kTmp = ".tmp";
    if (file.size() <= kTmp.size() || file.substr(file.size() - kTmp.size()) != kTmp) continue;
    const std::string_view rest = file.substr(0, file.size() - kTmp.size());
    // "<name>.<pid>-<counter>"
    const size_t dot = rest.rfind('.');
    const size_t dash = rest.rfind('-');
    if (dot == std::string_view::npos || dash == std::string_view::npos || dash < dot + 2 || dash + 1 >= rest.size())
      continue;
    const std::string_view pidText = rest.substr(dot + 1, dash - dot - 1);
    const std::string_view counter = rest.substr(dash + 1);
    auto digits = [](std::string_view t) {
      return !t.empty() && t.size() < 10 && t.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(pidText) || !digits(counter) || !ours(rest.substr(0, dot))) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(std::string(pidText)));
    // A writer still running (another gateway on the same directory) keeps its file.
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno == EPERM) continue;
    if (::unlink((dir + "/" + std::string(file)).c_str()) == 0) ++removed;
  }
  ::closedir(d);
  return removed;
}

bool SyncParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  // EINVAL and ENOTSUP: the file system has no directory sync; the files
  // themselves were synced, which is all it offers.
  if (!ok && (errno == EINVAL || errno == ENOTSUP)) ok = true;
  int code = errno;
  ::close(fd);
  errno = code;
  return ok;
}

DirectoryLock::Result DirectoryLock::Hold(const std::string& dir) {
  if (fd_ >= 0 && dir == dir_) return Result::Held;
  if (fd_ >= 0 && Holds(dir)) return Result::Held;
  Release();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Result::Unusable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    ::close(fd);
    return code == EWOULDBLOCK ? Result::Taken : Result::Unusable;
  }
  fd_ = fd;
  dir_ = dir;
  return Result::Held;
}

void DirectoryLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  dir_.clear();
}

bool DirectoryLock::Holds(const std::string& dir) const {
  if (fd_ < 0) return false;
  struct stat held {}, other {};
  return ::fstat(fd_, &held) == 0 && ::stat(dir.c_str(), &other) == 0 && held.st_dev == other.st_dev &&
         held.st_ino == other.st_ino;
}

}  // namespace pdulink
