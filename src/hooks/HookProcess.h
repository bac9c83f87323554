#pragma once
// One hook process: starting the program without a shell in a process
// group of its own, keeping the end of its output, and the journal line
// that reports its end.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "HookRunner.h"

namespace hook_process {

using Clock = std::chrono::steady_clock;

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

// "Hook OnReceived /path/prog: ", the start of every line about a run.
std::string Head(const Run& r);
// Reads what the hook wrote so far, keeping the last kTailBytes; closes
// the pipe at its end.
void ReadOutput(Run& r);
// The last lines of the output, each on a line of its own, indented.
std::string TailText(const Run& r);
// The journal line of a run that ended with `status` (waitpid's).
std::string EndLine(const Run& r, int status);
// Starts r.program with the event's arguments and environment on top of
// `environment`; false with the reason in `why`.
bool Start(Run& r, const std::vector<std::string>& environment, std::string& why);

void CloseFd(int& fd);

}  // namespace hook_process
