// Crash points of the test gateway: the gateway ends itself with SIGKILL at
// an exact step, as a power loss or a kill at that instant would end it.
// The step comes from PDULINK_CRASH_POINT, "KIND:N" (the N-th such step of
// this run):
//   pdu:N   right after the N-th write that ends with Ctrl-Z (a PDU reached
//           the phone, its answer not yet read)
//   cmgd:N  right after the N-th AT+CMGD command was written
//   out:N   right before the N-th rename of a file out of PDULINK_CRASH_OUT
//           (the watched directory)
//   in:N    right before the N-th rename inside PDULINK_CRASH_IN (the
//           archive's temporary file taking its name)
// The program's own calls of write and rename land here: these definitions
// in the executable come before the C library's. The work itself is done
// by the system calls directly.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

enum class Kind { None, Pdu, Cmgd, Out, In };

struct Point {
  Kind kind = Kind::None;
  long countdown = 0;
  const char* outDir = nullptr;
  const char* inDir = nullptr;
};

const Point& ThePoint() {
  static const Point point = [] {
    Point p;
    const char* chosen = getenv("PDULINK_CRASH_POINT");
    p.outDir = getenv("PDULINK_CRASH_OUT");
    p.inDir = getenv("PDULINK_CRASH_IN");
    if (!chosen) return p;
    const char* colon = strchr(chosen, ':');
    if (!colon) return p;
    const size_t len = static_cast<size_t>(colon - chosen);
    if (len == 3 && strncmp(chosen, "pdu", 3) == 0) p.kind = Kind::Pdu;
    if (len == 4 && strncmp(chosen, "cmgd", 4) == 0) p.kind = Kind::Cmgd;
    if (len == 3 && strncmp(chosen, "out", 3) == 0) p.kind = Kind::Out;
    if (len == 2 && strncmp(chosen, "in", 2) == 0) p.kind = Kind::In;
    p.countdown = strtol(colon + 1, nullptr, 10);
    return p;
  }();
  return point;
}

std::atomic<long> g_seen{0};

// Counts one step of this kind; at the chosen one the process ends at once.
void Step(Kind kind) {
  const Point& p = ThePoint();
  if (p.kind != kind) return;
  if (g_seen.fetch_add(1) + 1 == p.countdown) ::syscall(SYS_kill, ::syscall(SYS_getpid), SIGKILL);
}

bool Within(const char* path, const char* dir) {
  if (!dir || !*dir || !path) return false;
  const size_t n = strlen(dir);
  return strncmp(path, dir, n) == 0 && path[n] == '/';
}

int DoRename(int oldDir, const char* from, int newDir, const char* to, unsigned flags) {
  const Point& p = ThePoint();
  if (p.kind == Kind::Out && Within(from, p.outDir)) Step(Kind::Out);
  if (p.kind == Kind::In && Within(from, p.inDir)) Step(Kind::In);
  return static_cast<int>(::syscall(SYS_renameat2, oldDir, from, newDir, to, flags));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  const ssize_t r = ::syscall(SYS_write, fd, buf, n);
  if (r > 0 && ThePoint().kind != Kind::None) {
    const char* bytes = static_cast<const char*>(buf);
    if (bytes[r - 1] == '\x1A') Step(Kind::Pdu);
    if (r >= 8 && strncmp(bytes, "AT+CMGD=", 8) == 0) Step(Kind::Cmgd);
  }
  return r;
}

int rename(const char* from, const char* to) noexcept { return DoRename(AT_FDCWD, from, AT_FDCWD, to, 0); }

int renameat(int oldDir, const char* from, int newDir, const char* to) noexcept {
  return DoRename(oldDir, from, newDir, to, 0);
}

int renameat2(int oldDir, const char* from, int newDir, const char* to, unsigned int flags) noexcept {
  return DoRename(oldDir, from, newDir, to, flags);
}

}  // extern "C"
