#pragma once
// Hook programs: a program named in the configuration is started after an
// event (a message received, sent or failed, a call rejected, a status
// report matched), once the event's files are on disk. The runner starts it
// without a shell, in its own process group, in the background: a hook never
// holds up the caller. Its exit status and the last lines of its output are
// reported through a log function that runs on the thread that owns the
// journal. At most kMaxRunning hooks run at once; the others wait in order.
//
// No Qt here: the runner knows processes and pipes, and hands its reports to
// the owner's thread through the post function it is given.
#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Alarm: an alarm of the gateway (StoreAlarm); its arguments are the
// alarm's name and value.
enum class HookKind { Received, Sent, Failed, Call, Report, Alarm };
inline constexpr size_t kHookKinds = 6;

// The configuration key ("OnReceived") and the value of PDULINK_EVENT
// ("received") of a kind.
const char* HookKey(HookKind kind);
const char* HookEventName(HookKind kind);

inline constexpr int kHookTimeoutDefault = 30;  // seconds

// The most of a text that PDULINK_TEXT carries (cut at a character): one
// variable may not exceed the system's limit (128 KiB on Linux), and the
// whole text is in the files the hook is given.
inline constexpr size_t kHookTextBytes = 32 * 1024;

struct HookSettings {
  // The program of each kind, by HookKind; empty: no hook. The value is the
  // program's path taken whole (blanks included, no arguments); a name
  // without "/" is looked up in PATH.
  std::array<std::string, kHookKinds> programs;
  std::chrono::milliseconds timeout{kHookTimeoutDefault * 1000};

  const std::string& Program(HookKind kind) const { return programs[static_cast<size_t>(kind)]; }
  bool Any() const;
};

// One event: what the hook gets as its arguments and environment.
struct HookEvent {
  HookKind kind = HookKind::Received;
  std::vector<std::string> files;  // the arguments; the first is PDULINK_FILE
  std::string number;              // PDULINK_NUMBER
  std::string text;                // PDULINK_TEXT, UTF-8, cut to kHookTextBytes
  std::string reference;           // PDULINK_REFERENCE ("+CMGS: <mr>"; blank-separated for several)
};

class HookRunner {
 public:
  // Queues call to run on the journal's thread; must not block.
  using PostFunction = std::function<void(std::function<void()> call)>;
  // Writes one journal entry (UTF-8; "\n" separates its lines).
  using LogFunction = std::function<void(const std::string& utf8)>;

  static constexpr size_t kMaxRunning = 4;
  static constexpr size_t kMaxWaiting = 1000;
  // Of a hook's standard output and error only the end is kept: at most
  // this many bytes, of which the last kTailLines lines are reported.
  static constexpr size_t kTailBytes = 4096;
  static constexpr size_t kTailLines = 10;

  // The environment of the hooks is pdulink's as it is now.
  HookRunner(HookSettings settings, PostFunction post, LogFunction log);
  // Shutdown with the exit grace.
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  bool Has(HookKind kind) const { return !settings_.Program(kind).empty(); }
  const HookSettings& Settings() const { return settings_; }

  // Starts the event's hook, or queues it behind the running ones; returns
  // at once. Does nothing for a kind without a program. Call it on the
  // journal's thread: a full queue is reported at once.
  void Fire(HookEvent event);

  // Time between SIGTERM and SIGKILL for a hook past its limit.
  std::chrono::milliseconds killGrace{2000};

  // At exit: hooks that have not started are dropped (one journal line says
  // how many); running ones get `grace` to end, then their process groups
  // get SIGTERM and, killGraceAtExit later, SIGKILL. Reports every run that
  // ended. Runs on the journal's thread; later events are ignored.
  static constexpr std::chrono::milliseconds kExitGrace{1000};
  std::chrono::milliseconds killGraceAtExit{1000};
  void Shutdown(std::chrono::milliseconds grace = kExitGrace);

 private:
  struct Shared;  // HookShared.h
  class Worker;   // the worker thread's loop (HookWorker.cpp)
  void Work();

  HookSettings settings_;
  std::shared_ptr<Shared> shared_;
};
