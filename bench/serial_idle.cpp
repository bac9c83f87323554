// Measures, on a pseudo-terminal:
//  1. the worker's CPU time while an open port stays silent (limit: 1% of a core);
//  2. the delay from the last byte of a burst to its cluster event (limit: the
//     cluster bound n x char time + extra time, plus one 75 ms worker pass).
// Exit status 1 when a limit is exceeded.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "Pty.h"
#include "SerialPort.h"
#include "TestDispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds(pid_t tid) {
  // The per-thread CPU clock of any thread of this process (as
  // pthread_getcpuclockid builds it).
  const clockid_t id = static_cast<clockid_t>((~static_cast<clockid_t>(tid) << 3) | 6);
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU seconds of every thread except the calling (user-interface) one.
double OtherThreadsCpuSeconds() {
  double sum = 0;
  const pid_t self = gettid();
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
      if (tid > 0 && tid != self) sum += ThreadCpuSeconds(tid);
    }
    closedir(d);
  }
  return sum;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  Pty pty;
  if (!pty.ok()) {
    std::fprintf(stderr, "no pseudo-terminal: errno %d\n", pty.error());
    return 2;
  }
  TestDispatcher ui;
  TSerialPort port(ui);
  Clock::time_point eventAt{};
  int events = 0;
  std::string last;
  port.OnRxClusterEvent = [&](TSerialPort& p) {
    eventAt = Clock::now();
    ++events;
    last = p.TakeClusterText();
  };
  // The main window's settings.
  port.SetCommPort(pty.path());
  port.SetBaudRate(19200);
  port.SetRTOCharDelayTime(43);
  port.SetWTOCharDelayTime(43);
  port.SetActive(true);
  if (!port.Active()) {
    std::fprintf(stderr, "could not open %s\n", pty.path().c_str());
    return 2;
  }
  ui.PumpUntil([] { return false; }, std::chrono::milliseconds(300));  // settle: first passes, reports

  // 1. Idle cost.
  const double workerBefore = OtherThreadsCpuSeconds();
  const double uiBefore = ThreadCpuSeconds(gettid());
  const auto idleStart = Clock::now();
  ui.PumpUntil([] { return false; }, std::chrono::milliseconds(static_cast<int>(idleSeconds * 1000)));
  const double wall = std::chrono::duration<double>(Clock::now() - idleStart).count();
  const double workerCpu = OtherThreadsCpuSeconds() - workerBefore;
  const double uiCpu = ThreadCpuSeconds(gettid()) - uiBefore;
  const double workerPct = 100.0 * workerCpu / wall;
  std::printf("idle open port: %.1f s wall, worker CPU %.2f ms (%.3f%% of one core), UI pump CPU %.2f ms\n", wall,
              workerCpu * 1e3, workerPct, uiCpu * 1e3);

  // 2. Burst-to-cluster delay: a burst in one write, and one spread over 100 ms.
  bool ok = workerPct < 1.0;
  struct Scenario {
    const char* name;
    int chunks;
    int gapMs;
  } scenarios[] = {{"one write", 1, 0}, {"10 chunks over 90 ms", 10, 10}};
  const std::string reply = "\r\n+CMGS: 12\r\n\r\nOK\r\n";
  const double bound = reply.size() * 43 / 1000.0 + 250;
  for (const Scenario& s : scenarios) {
    std::vector<double> delays;
    for (int round = 0; round < 10; ++round) {
      const int before = events;
      Clock::time_point lastByte{};
      const size_t step = (reply.size() + s.chunks - 1) / s.chunks;
      for (size_t off = 0; off < reply.size(); off += step) {
        if (off) ui.PumpUntil([] { return false; }, std::chrono::milliseconds(s.gapMs));
        pty.Write(reply.substr(off, step));
        lastByte = Clock::now();
      }
      ui.PumpUntil([&] { return events > before; }, std::chrono::milliseconds(5000));
      if (events != before + 1 || last != reply) {
        std::printf("%s: burst %d came as %d clusters\n", s.name, round, events - before);
        ok = false;
      }
      delays.push_back(Ms(eventAt - lastByte));
      ui.PumpUntil([] { return false; }, std::chrono::milliseconds(50));
    }
    std::sort(delays.begin(), delays.end());
    const double worst = delays.back();
    std::printf("%s: last byte -> cluster event min %.1f / median %.1f / max %.1f ms (bound %.1f ms + 75 ms pass)\n",
                s.name, delays.front(), delays[delays.size() / 2], worst, bound);
    if (worst > bound + 75) ok = false;
  }
  std::printf("%s\n", ok ? "within limits" : "LIMIT EXCEEDED");
  return ok ? 0 : 1;
}
