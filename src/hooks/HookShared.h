#pragma once
// What the hook runner and its worker thread share: the queue of events,
// the stop request, the wake-up pipe, and the reports on their way to the
// owner's thread.
#include <deque>
#include <mutex>
#include <thread>

#include "HookProcess.h"
#include "HookRunner.h"

#include <unistd.h>

struct HookRunner::Shared {
  PostFunction post;
  LogFunction log;
  std::vector<std::string> environment;
  int wake[2] = {-1, -1};
  std::thread thread;  // started by the first event (owner's thread only)

  std::mutex m;
  std::deque<HookEvent> waiting;
  bool stopping = false;
  hook_process::Clock::time_point stopDeadline;
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
