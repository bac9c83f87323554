#include "HookProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hook_process {
namespace {

// A file descriptor that wakes poll() when the process exits; -1 where the
// kernel has none (then the status is polled).
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

// The text cut to kHookTextBytes, never inside a UTF-8 character.
std::string CutText(const std::string& text) {
  if (text.size() <= kHookTextBytes) return text;
  size_t end = kHookTextBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// The child's descriptors: standard input from /dev/null, output and
// error into the pipe, nothing else of pdulink's own (the serial port, its
// lock).
void SetFileActions(posix_spawn_file_actions_t& fa, int writeEnd) {
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, writeEnd, 1);
  posix_spawn_file_actions_adddup2(&fa, writeEnd, 2);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
}

// A group of its own, so that a hook past its limit is ended with every
// process it started; signals as a fresh program has them (pdulink ignores
// SIGPIPE and catches SIGTERM and SIGINT).
void SetAttributes(posix_spawnattr_t& attr) {
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// pdulink's environment with the event's variables.
std::vector<std::string> EventEnvironment(const std::vector<std::string>& environment, const HookEvent& e) {
  std::vector<std::string> env = environment;
  env.push_back(std::string("PDULINK_EVENT=") + HookEventName(e.kind));
  env.push_back("PDULINK_NUMBER=" + e.number);
  env.push_back("PDULINK_FILE=" + (e.files.empty() ? std::string() : e.files.front()));
  env.push_back("PDULINK_TEXT=" + CutText(e.text));
  if (e.kind == HookKind::Sent || e.kind == HookKind::Failed || e.kind == HookKind::Report)
    env.push_back("PDULINK_REFERENCE=" + e.reference);
  return env;
}

// Pointers to the strings, ended by a null pointer, as exec takes them.
std::vector<char*> PointerList(std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (std::string& s : strings) list.push_back(s.data());
  list.push_back(nullptr);
  return list;
}

}  // namespace

std::string Head(const Run& r) { return std::string("Hook ") + HookKey(r.event.kind) + " " + r.program + ": "; }

void ReadOutput(Run& r) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(r.out, buf, sizeof buf);
    if (n > 0) {
      r.bytes += static_cast<size_t>(n);
      if (static_cast<size_t>(n) >= HookRunner::kTailBytes) {
        r.tail.assign(buf + n - HookRunner::kTailBytes, HookRunner::kTailBytes);
      } else {
        r.tail.append(buf, static_cast<size_t>(n));
        if (r.tail.size() > HookRunner::kTailBytes) r.tail.erase(0, r.tail.size() - HookRunner::kTailBytes);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) CloseFd(r.out);  // end of output
    return;
  }
}

// The last lines of the output, each on a line of its own, indented.
std::string TailText(const Run& r) {
  std::string text = r.tail;
  std::replace(text.begin(), text.end(), '\r', '\n');
  std::vector<std::string> lines;
  size_t at = 0;
  // The first line is partial when the start of the output was dropped.
  if (r.bytes > r.tail.size()) {
    const size_t nl = text.find('\n');
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    if (line.empty()) continue;
    for (char& c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = '?';
    lines.push_back(std::move(line));
  }
  const size_t first = lines.size() > HookRunner::kTailLines ? lines.size() - HookRunner::kTailLines : 0;
  std::string out;
  for (size_t i = first; i < lines.size(); ++i) out += "\n  " + lines[i];
  return out;
}

std::string EndLine(const Run& r, int status) {
  std::string line = Head(r);
  if (r.atExit) line += "ended at exit";
  else if (r.termSent) line += "ended at its time limit";
  else if (WIFEXITED(status)) line += "exit " + std::to_string(WEXITSTATUS(status));
  else if (WIFSIGNALED(status)) line += "ended by signal " + std::to_string(WTERMSIG(status));
  else line += "ended";
  if (r.bytes > r.tail.size()) line += ", " + std::to_string(r.bytes) + " bytes of output, the last lines:";
  return line + TailText(r);
}

bool Start(Run& r, const std::vector<std::string>& environment, std::string& why) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t fa;
  SetFileActions(fa, fds[1]);
  posix_spawnattr_t attr;
  SetAttributes(attr);
  std::vector<std::string> env = EventEnvironment(environment, r.event);
  std::vector<std::string> args = r.event.files;
  args.insert(args.begin(), r.program);
  const std::vector<char*> envp = PointerList(env);
  const std::vector<char*> argv = PointerList(args);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args.front().c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    why = std::strerror(rc);
    return false;
  }
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  r.pid = pid;
  r.out = fds[0];
  r.pidFd = OpenPidFd(pid);
  return true;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace hook_process
