#include "HookRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kKeys[kHookKinds] = {"OnReceived", "OnSent", "OnFailed", "OnCall", "OnReport", "OnAlarm"};
constexpr const char* kEvents[kHookKinds] = {"received", "sent", "failed", "call", "report", "alarm"};
constexpr const char* kOwnVariables[] = {"PDULINK_EVENT=", "PDULINK_NUMBER=", "PDULINK_FILE=", "PDULINK_TEXT=",
                                         "PDULINK_REFERENCE="};

// Without a way to be woken by a child's exit, its status is looked at this
// often while it runs.
constexpr std::chrono::milliseconds kExitPoll{50};
// At exit, a group that SIGKILL did not end within this is left behind.
constexpr std::chrono::milliseconds kGiveUpAfterKill{1000};

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    bool own = false;
    for (const char* prefix : kOwnVariables) own = own || entry.rfind(prefix, 0) == 0;
    if (!own) env.push_back(entry);
  }
  return env;
}

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

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

const char* HookKey(HookKind kind) { return kKeys[static_cast<size_t>(kind)]; }
const char* HookEventName(HookKind kind) { return kEvents[static_cast<size_t>(kind)]; }

bool HookSettings::Any() const {
  return std::any_of(programs.begin(), programs.end(), [](const std::string& p) { return !p.empty(); });
}

struct HookRunner::Shared {
  PostFunction post;
  LogFunction log;
  std::vector<std::string> environment;
  int wake[2] = {-1, -1};
  std::thread thread;  // started by the first event (owner's thread only)

  std::mutex m;
  std::deque<HookEvent> waiting;
  bool stopping = false;
  Clock::time_point stopDeadline;
  std::vector<std::string> lines;  // reports for the owner's thread
  bool drainPosted = false;

  // From the worker: a report, written by the owner's thread.
  void Report(std::string line, const std::weak_ptr<Shared>& self) {
    bool post_ = false;
    {
      std::lock_guard lk(m);
      lines.push_back(std::move(line));
      if (!drainPosted) drainPosted = post_ = true;
    }
    // A drain queued after the runner is gone finds nothing to do.
    if (post_ && post) post([self] {
      if (auto s = self.lock()) s->Drain();
    });
  }
  // On the owner's thread.
  void Drain() {
    std::vector<std::string> out;
    {
      std::lock_guard lk(m);
      out.swap(lines);
      drainPosted = false;
    }
    if (log)
      for (const std::string& line : out) log(line);
  }
  void Wake() {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wake[1], &c, 1);
  }
};

namespace {

struct Run {
  HookEvent event;
  std::string program;
  pid_t pid = -1;
  int out = -1;    // read end of the hook's standard output and error
  int pidFd = -1;
  std::string tail;  // the last kTailBytes of the output
  size_t bytes = 0;
  Clock::time_point deadline, killAt;
  bool termSent = false, killed = false;
  bool exitSeen = false;  // exited, not yet reaped: the zombie keeps the group id
  bool reaped = false;    // its status was taken by someone else
  bool atExit = false;
};

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

// The text cut to kHookTextBytes, never inside a UTF-8 character.
std::string CutText(const std::string& text) {
  if (text.size() <= kHookTextBytes) return text;
  size_t end = kHookTextBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

bool Start(Run& r, const std::vector<std::string>& environment, std::string& why) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  // Nothing of pdulink's own (the serial port, its lock) reaches the hook.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A group of its own, so that a hook past its limit is ended with every
  // process it started; signals as a fresh program has them (pdulink
  // ignores SIGPIPE and catches SIGTERM and SIGINT).
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> env = environment;
  const HookEvent& e = r.event;
  env.push_back(std::string("PDULINK_EVENT=") + HookEventName(e.kind));
  env.push_back("PDULINK_NUMBER=" + e.number);
  env.push_back("PDULINK_FILE=" + (e.files.empty() ? std::string() : e.files.front()));
  env.push_back("PDULINK_TEXT=" + CutText(e.text));
  if (e.kind == HookKind::Sent || e.kind == HookKind::Failed || e.kind == HookKind::Report)
    env.push_back("PDULINK_REFERENCE=" + e.reference);
  std::vector<char*> envp, argv;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string program = r.program;
  std::vector<std::string> args = e.files;
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &fa, &attr, argv.data(), envp.data());
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

}  // namespace

HookRunner::HookRunner(HookSettings settings, PostFunction post, LogFunction log)
    : settings_(std::move(settings)), shared_(std::make_shared<Shared>()) {
  shared_->post = std::move(post);
  shared_->log = std::move(log);
  shared_->environment = CurrentEnvironment();
  if (::pipe2(shared_->wake, O_CLOEXEC | O_NONBLOCK) != 0) shared_->wake[0] = shared_->wake[1] = -1;
}

HookRunner::~HookRunner() {
  Shutdown();
  CloseFd(shared_->wake[0]);
  CloseFd(shared_->wake[1]);
}

void HookRunner::Fire(HookEvent event) {
  if (!Has(event.kind)) return;
  Shared& s = *shared_;
  bool full = false;
  {
    std::lock_guard lk(s.m);
    if (s.stopping) return;
    full = s.waiting.size() >= kMaxWaiting;
    if (!full) s.waiting.push_back(event);
  }
  if (full) {
    if (s.log)
      s.log(std::string("Hook ") + HookKey(event.kind) + " " + settings_.Program(event.kind) + ": not run, " +
            std::to_string(kMaxWaiting) + " hooks waiting");
    return;
  }
  if (s.wake[1] < 0) {
    if (s.log) s.log("Hooks cannot run: " + std::string(std::strerror(EMFILE)));
    return;
  }
  if (!s.thread.joinable()) s.thread = std::thread([this] { Work(); });
  s.Wake();
}

void HookRunner::Shutdown(std::chrono::milliseconds grace) {
  Shared& s = *shared_;
  size_t dropped = 0;
  {
    std::lock_guard lk(s.m);
    if (s.stopping && !s.thread.joinable()) return;
    s.stopping = true;
    s.stopDeadline = Clock::now() + grace;
    dropped = s.waiting.size();
    s.waiting.clear();
  }
  if (s.thread.joinable()) {
    s.Wake();
    s.thread.join();
  }
  s.Drain();
  if (dropped > 0 && s.log) s.log("Hooks not run at exit: " + std::to_string(dropped));
}

void HookRunner::Work() {
  Shared& s = *shared_;
  const std::weak_ptr<Shared> self = shared_;
  std::vector<Run> runs;
  for (;;) {
    bool stopping;
    Clock::time_point stopDeadline;
    {
      std::unique_lock lk(s.m);
      while (!s.stopping && runs.size() < kMaxRunning && !s.waiting.empty()) {
        Run r;
        r.event = std::move(s.waiting.front());
        s.waiting.pop_front();
        lk.unlock();
        r.program = settings_.Program(r.event.kind);
        std::string why;
        if (Start(r, s.environment, why)) {
          r.deadline = Clock::now() + settings_.timeout;
          runs.push_back(std::move(r));
        } else {
          s.Report(Head(r) + "cannot start (" + why + ")", self);
        }
        lk.lock();
      }
      stopping = s.stopping;
      stopDeadline = s.stopDeadline;
    }
    if (stopping && runs.empty()) return;

    // Past its limit (or the exit grace): SIGTERM to the whole group, then
    // SIGKILL.
    const Clock::time_point now = Clock::now();
    for (Run& r : runs) {
      const bool exitDue = stopping && now >= stopDeadline;
      if (!r.termSent && (now >= r.deadline || exitDue)) {
        ::kill(-r.pid, SIGTERM);
        r.termSent = true;
        r.atExit = exitDue && now < r.deadline;
        r.killAt = now + (r.atExit ? killGraceAtExit : killGrace);
      }
      if (r.termSent && !r.killed && now >= r.killAt) {
        ::kill(-r.pid, SIGKILL);
        r.killed = true;
      }
    }

    // Exits: a hook is done when its own process has ended, whatever its
    // children do with the pipe. One past its limit is reaped only after
    // its group got SIGKILL, so that the group id cannot be taken meanwhile.
    for (auto it = runs.begin(); it != runs.end();) {
      Run& r = *it;
      if (!r.exitSeen) {
        siginfo_t si{};
        const int rc = ::waitid(P_PID, static_cast<id_t>(r.pid), &si, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && si.si_pid == r.pid) r.exitSeen = true;
        // Reaped by someone else (a SIGCHLD handler set to SIG_IGN): gone.
        if (rc < 0 && errno == ECHILD) r.exitSeen = r.reaped = true;
      }
      const bool giveUp = stopping && r.killed && now >= r.killAt + kGiveUpAfterKill;
      if ((!r.exitSeen || (r.termSent && !r.killed)) && !giveUp) {
        ++it;
        continue;
      }
      if (r.out >= 0) ReadOutput(r);
      CloseFd(r.out);
      CloseFd(r.pidFd);
      int status = 0;
      if (r.exitSeen) {
        while (!r.reaped && ::waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
        }
        s.Report(r.reaped ? Head(r) + "ended, status unknown" + TailText(r) : EndLine(r, status), self);
      } else {
        s.Report(Head(r) + "still running after SIGKILL, left behind", self);
      }
      it = runs.erase(it);
    }
    {
      // Slots freed: the next waiting hooks start at once.
      std::lock_guard lk(s.m);
      if (!s.stopping && runs.size() < kMaxRunning && !s.waiting.empty()) continue;
    }
    if (stopping && runs.empty()) return;

    // Wait for output, an exit, a new event or the next deadline.
    std::vector<pollfd> fds;
    fds.push_back({s.wake[0], POLLIN, 0});
    Clock::time_point next = Clock::time_point::max();
    for (Run& r : runs) {
      if (r.out >= 0) fds.push_back({r.out, POLLIN, 0});
      if (!r.exitSeen && r.pidFd >= 0) fds.push_back({r.pidFd, POLLIN, 0});
      if (!r.exitSeen && r.pidFd < 0) next = std::min(next, now + kExitPoll);
      if (!r.termSent) next = std::min(next, r.deadline);
      else if (!r.killed) next = std::min(next, r.killAt);
      else next = std::min(next, now + kExitPoll);  // SIGKILL sent: soon gone
      if (stopping && !r.termSent) next = std::min(next, stopDeadline);
    }
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(kExitPoll);
      continue;
    }
    if (fds[0].revents) {
      char buf[64];
      while (::read(s.wake[0], buf, sizeof buf) > 0) {
      }
    }
    for (Run& r : runs)
      if (r.out >= 0) ReadOutput(r);
  }
}
