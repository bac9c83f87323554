#include "HookRunner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "HookShared.h"

extern char** environ;

using hook_process::Clock;
using hook_process::CloseFd;

namespace {

constexpr const char* kKeys[kHookKinds] = {"OnReceived", "OnSent", "OnFailed", "OnCall", "OnReport", "OnAlarm"};
constexpr const char* kEvents[kHookKinds] = {"received", "sent", "failed", "call", "report", "alarm"};
constexpr const char* kOwnVariables[] = {"PDULINK_EVENT=", "PDULINK_NUMBER=", "PDULINK_FILE=", "PDULINK_TEXT=",
                                         "PDULINK_REFERENCE="};

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

}  // namespace

const char* HookKey(HookKind kind) { return kKeys[static_cast<size_t>(kind)]; }
const char* HookEventName(HookKind kind) { return kEvents[static_cast<size_t>(kind)]; }

bool HookSettings::Any() const {
  return std::any_of(programs.begin(), programs.end(), [](const std::string& p) { return !p.empty(); });
}

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
