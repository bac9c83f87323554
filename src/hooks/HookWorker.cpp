// The hook runner's worker thread: it starts the waiting hooks, ends those
// past their limit, reaps and reports those that ended, and waits for the
// next output, exit, event or deadline.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "HookShared.h"

using hook_process::Clock;
using hook_process::CloseFd;
using hook_process::EndLine;
using hook_process::Head;
using hook_process::ReadOutput;
using hook_process::Run;
using hook_process::Start;
using hook_process::TailText;

namespace {

// Without a way to be woken by a child's exit, its status is looked at this
// often while it runs.
constexpr std::chrono::milliseconds kExitPoll{50};
// At exit, a group that SIGKILL did not end within this is left behind.
constexpr std::chrono::milliseconds kGiveUpAfterKill{1000};

}  // namespace

class HookRunner::Worker {
 public:
  explicit Worker(HookRunner& runner) : runner_(runner), s_(*runner.shared_), self_(runner.shared_) {}

  void Loop() {
    for (;;) {
      StartWaiting();
      if (stopping_ && runs_.empty()) return;
      const Clock::time_point now = Clock::now();
      SignalOverdue(now);
      ReapEnded(now);
      // Slots freed: the next waiting hooks start at once.
      if (MoreToStart()) continue;
      if (stopping_ && runs_.empty()) return;
      WaitForActivity(now);
    }
  }

 private:
  // Starts waiting hooks while slots are free; takes the stop request.
  void StartWaiting() {
    std::unique_lock lk(s_.m);
    while (!s_.stopping && runs_.size() < kMaxRunning && !s_.waiting.empty()) {
      Run r;
      r.event = std::move(s_.waiting.front());
      s_.waiting.pop_front();
      lk.unlock();
      r.program = runner_.settings_.Program(r.event.kind);
      std::string why;
      if (Start(r, s_.environment, why)) {
        r.deadline = Clock::now() + runner_.settings_.timeout;
        runs_.push_back(std::move(r));
      } else {
        s_.Report(Head(r) + "cannot start (" + why + ")", self_);
      }
      lk.lock();
    }
    stopping_ = s_.stopping;
    stopDeadline_ = s_.stopDeadline;
  }

  // Past its limit (or the exit grace): SIGTERM to the whole group, then
  // SIGKILL.
  void SignalOverdue(Clock::time_point now) {
    for (Run& r : runs_) {
      const bool exitDue = stopping_ && now >= stopDeadline_;
      if (!r.termSent && (now >= r.deadline || exitDue)) {
        ::kill(-r.pid, SIGTERM);
        r.termSent = true;
        r.atExit = exitDue && now < r.deadline;
        r.killAt = now + (r.atExit ? runner_.killGraceAtExit : runner_.killGrace);
      }
      if (r.termSent && !r.killed && now >= r.killAt) {
        ::kill(-r.pid, SIGKILL);
        r.killed = true;
      }
    }
  }

  // Exits: a hook is done when its own process has ended, whatever its
  // children do with the pipe. One past its limit is reaped only after its
  // group got SIGKILL, so that the group id cannot be taken meanwhile.
  void ReapEnded(Clock::time_point now) {
    for (auto it = runs_.begin(); it != runs_.end();) {
      Run& r = *it;
      if (!r.exitSeen) LookForExit(r);
      const bool giveUp = stopping_ && r.killed && now >= r.killAt + kGiveUpAfterKill;
      if ((!r.exitSeen || (r.termSent && !r.killed)) && !giveUp) {
        ++it;
        continue;
      }
      Finish(r);
      it = runs_.erase(it);
    }
  }

  static void LookForExit(Run& r) {
    siginfo_t si{};
    const int rc = ::waitid(P_PID, static_cast<id_t>(r.pid), &si, WEXITED | WNOHANG | WNOWAIT);
    if (rc == 0 && si.si_pid == r.pid) r.exitSeen = true;
    // Reaped by someone else (a SIGCHLD handler set to SIG_IGN): gone.
    if (rc < 0 && errno == ECHILD) r.exitSeen = r.reaped = true;
  }

  // The rest of the output, the status, and the report of a run that ended
  // (or was given up).
  void Finish(Run& r) {
    if (r.out >= 0) ReadOutput(r);
    CloseFd(r.out);
    CloseFd(r.pidFd);
    int status = 0;
    if (r.exitSeen) {
      while (!r.reaped && ::waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
      }
      s_.Report(r.reaped ? Head(r) + "ended, status unknown" + TailText(r) : EndLine(r, status), self_);
    } else {
      s_.Report(Head(r) + "still running after SIGKILL, left behind", self_);
    }
  }

  bool MoreToStart() {
    std::lock_guard lk(s_.m);
    return !s_.stopping && runs_.size() < kMaxRunning && !s_.waiting.empty();
  }

  // The next deadline of the runs: a time limit, a SIGKILL due, or the next
  // look at an exit.
  Clock::time_point NextDeadline(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const Run& r : runs_) {
      if (!r.exitSeen && r.pidFd < 0) next = std::min(next, now + kExitPoll);
      if (!r.termSent) next = std::min(next, r.deadline);
      else if (!r.killed) next = std::min(next, r.killAt);
      else next = std::min(next, now + kExitPoll);  // SIGKILL sent: soon gone
      if (stopping_ && !r.termSent) next = std::min(next, stopDeadline_);
    }
    return next;
  }

  // Waits for output, an exit, a new event or the next deadline, then reads
  // what the hooks wrote.
  void WaitForActivity(Clock::time_point now) {
    std::vector<pollfd> fds;
    fds.push_back({s_.wake[0], POLLIN, 0});
    for (const Run& r : runs_) {
      if (r.out >= 0) fds.push_back({r.out, POLLIN, 0});
      if (!r.exitSeen && r.pidFd >= 0) fds.push_back({r.pidFd, POLLIN, 0});
    }
    const Clock::time_point next = NextDeadline(now);
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(kExitPoll);
      return;
    }
    if (fds[0].revents) {
      char buf[64];
      while (::read(s_.wake[0], buf, sizeof buf) > 0) {
      }
    }
    for (Run& r : runs_)
      if (r.out >= 0) ReadOutput(r);
  }

  HookRunner& runner_;
  Shared& s_;
  const std::weak_ptr<Shared> self_;
  std::vector<Run> runs_;
  bool stopping_ = false;
  Clock::time_point stopDeadline_;
};

void HookRunner::Work() { Worker(*this).Loop(); }
