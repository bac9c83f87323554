#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "Console.h"
#include "codepage.h"

std::string ServiceStatusLine(const StatusFacts& f) {
  std::string line = f.connection == "connected"    ? "Connected to "
                     : f.connection == "connecting" ? "Connecting to "
                                                    : "Not connected, ";
  line += f.port;
  if (!f.device.empty() && f.device != f.port) line += " (" + f.device + ")";
  if (!f.signal.empty()) line += ", signal " + f.signal;
  if (!f.network.empty()) line += ", network " + f.network;
  if (!f.store.empty()) line += ", store " + f.store;
  line += ", " + std::to_string(f.sendQueue) + " queued";
  return pdulink::AnsiToUtf8(line);
}

ServiceNotify::ServiceNotify() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket && *socket;
  if (!active_) return;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdogUsec_ = usec;
}

void ServiceNotify::Send(const std::string& text) {
  if (active_) sd_notify(0, text.c_str());
}

void ServiceNotify::Ready(const std::string& status) {
  lastStatus_ = status;
  Send("READY=1\nSTATUS=" + status);
}

void ServiceNotify::Tick(bool healthy, const std::string& status) {
  if (!active_ || stopping_) return;
  std::string message;
  if (status != lastStatus_) {
    lastStatus_ = status;
    message = "STATUS=" + status;
  }
  if (healthy && watchdogUsec_ != 0) message += message.empty() ? "WATCHDOG=1" : "\nWATCHDOG=1";
  if (!message.empty()) Send(message);
}

void ServiceNotify::Stopping() {
  if (stopping_) return;
  stopping_ = true;
  Send("STOPPING=1\nSTATUS=Stopping");
}
