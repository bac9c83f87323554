#pragma once
// Readiness, status and watchdog for systemd (Type=notify units), through
// libsystemd's sd_notify. Everything here does nothing unless the service
// manager set NOTIFY_SOCKET.
#include <cstdint>
#include <string>

struct StatusFacts;

// The STATUS= text systemctl status shows: "Connected to COM1
// (/dev/ttyUSB0), signal -71 dBm (21/31), 0 queued" (UTF-8).
std::string ServiceStatusLine(const StatusFacts& facts);

class ServiceNotify {
 public:
  ServiceNotify();

  // NOTIFY_SOCKET is set: the other calls talk to the service manager.
  bool Active() const { return active_; }
  // WatchdogSec= is set for this process: the ticks ping it.
  bool Watchdog() const { return watchdogUsec_ != 0; }

  // The configuration is read and the cycle runs.
  void Ready(const std::string& status);
  // Every tick: the status when it changed, and WATCHDOG=1 while the
  // dialogue makes progress (healthy). Ticks come once a second, so a
  // WatchdogSec= of 2 s or more is pinged at least every half of it.
  void Tick(bool healthy, const std::string& status);
  // On the way out; said once.
  void Stopping();

 private:
  void Send(const std::string& text);

  bool active_ = false;
  uint64_t watchdogUsec_ = 0;
  bool stopping_ = false;
  std::string lastStatus_;
};
