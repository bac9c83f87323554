#include "archive_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string* error) {
  const std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(error, "open", errno);
  int code = 0;
  bool ok = WriteAll(fd, bytes, code);
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    code = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    code = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    code = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Fail(error, "write", code);
  }
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

bool SyncParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace pdulink
