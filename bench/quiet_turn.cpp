// The cost of waiting, measured on the shipped program: `pdulink --headless`
// reads the simulated phone (pdulink-phone on a pseudo-terminal) once a
// second (PollingInt=1, AutoRead=1) with nothing to receive, in the default
// mode and with FastMode=1. Over the measured window it prints, from /proc of
// the gateway's process (all its threads):
//   CPU per quiet turn    on-CPU time (schedstat) per turn, ms
//   CPU per idle minute   the same over 60 s, s, and as % of one core
//   wake-ups per turn     context switches of all threads (voluntary + not)
//   writes per turn       write calls and bytes (journal lines, files), and
//                         fsync-like calls are visible as syscalls in strace
// A turn is one listing (its "TotalReaded=" journal line).
// A plain program: bench_quiet_turn [seconds per mode, 30]; PDULINK_BENCH_BIN
// names another pdulink to measure (an earlier build, for a comparison).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "TempDir.h"

namespace {

struct Sample {
  double cpuNs = 0;
  double switches = 0;
  double writeCalls = 0;
  double writeBytes = 0;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

double Field(const std::string& text, const std::string& name) {
  const size_t at = text.find(name);
  return at == std::string::npos ? 0 : std::atof(text.c_str() + at + name.size());
}

// The process's threads summed: on-CPU time, context switches; its writes.
Sample Measure(pid_t pid) {
  Sample s;
  const std::string base = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((base + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = base + "/task/" + e->d_name;
      s.cpuNs += std::atof(ReadAll(task + "/schedstat").c_str());
      const std::string status = ReadAll(task + "/status");
      s.switches += Field(status, "voluntary_ctxt_switches:") + Field(status, "nonvoluntary_ctxt_switches:");
    }
    closedir(d);
  }
  const std::string io = ReadAll(base + "/io");
  s.writeCalls = Field(io, "syscw:");
  s.writeBytes = Field(io, "wchar:");
  return s;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

bool Run(const char* mode, bool fast, int seconds) {
  pdulink::test::TempDir tmp("pdulink-quiet");
  const std::string dir = tmp.Path();
  pdulink::test::PhoneProcess phone;
  if (!phone.Started()) {
    std::fprintf(stderr, "no simulated phone: %s\n", phone.Error().c_str());
    return false;
  }
  std::ofstream(dir + "/gw.ini") << "[Main]\r\nAutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nBatteryCheck=0\r\n"
                                 << (fast ? "FastMode=1\r\n" : "") << "LogDir=" << dir << "\r\n[Ports]\r\nCOM1="
                                 << phone.LinkPath() << "\r\n";
  const char* bin = std::getenv("PDULINK_BENCH_BIN");
  pdulink::test::Child gw({bin && *bin ? bin : PDULINK_BIN, "--headless", "gw.ini"}, dir);
  if (!gw.WaitFor("AutoReading Mode.", 30)) {
    std::fprintf(stderr, "%s: the gateway did not start reading:\n%s%s\n", mode, gw.outText.c_str(),
                 gw.errText.c_str());
    return false;
  }
  // Settle, then measure a whole number of seconds.
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < settle) gw.Pump(100);
  const size_t turnsBefore = Count(gw.outText, "TotalReaded=");
  const Sample a = Measure(gw.pid);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) gw.Pump(100);
  const Sample b = Measure(gw.pid);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double turns = static_cast<double>(Count(gw.outText, "TotalReaded=") - turnsBefore);
  if (turns < 1) {
    std::fprintf(stderr, "%s: no turn in %d s:\n%s\n", mode, seconds,
                 gw.outText.substr(gw.outText.size() > 2000 ? gw.outText.size() - 2000 : 0).c_str());
    return false;
  }
  const double cpuMs = (b.cpuNs - a.cpuNs) / 1e6;
  std::printf("%-8s %6.0f %9.3f %10.3f %7.3f %9.1f %9.1f %10.0f\n", mode, turns, cpuMs / turns,
              cpuMs / wall * 60 / 1000, cpuMs / wall / 10, (b.switches - a.switches) / turns,
              (b.writeCalls - a.writeCalls) / turns, (b.writeBytes - a.writeBytes) / turns);
  gw.Type("/exit");
  gw.Wait(10);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
  std::printf("pdulink --headless, PollingInt=1, quiet phone, %d s a mode\n", seconds);
  std::printf("%-8s %6s %9s %10s %7s %9s %9s %10s\n", "mode", "turns", "ms/turn", "s/idle-min", "% core",
              "wake/turn", "wr/turn", "bytes/turn");
  bool ok = Run("default", false, seconds);
  ok = Run("fast", true, seconds) && ok;
  return ok ? 0 : 2;
}
