// One "AT\r" through SendCommand: written by the serial port, answered by the
// simulated phone at zero latency on a pseudo-terminal, framed into a cluster
// by the worker, handed to the user-interface thread and seen by the wait.
// The window's own settings apply (19200 baud, 43 us per character, 250 ms
// extra), so the cluster rule alone puts a reply about 250 ms after its first
// byte; what this measures is how far beyond that bound a round trip goes.
//
// The wait processes events, pauses 50 ms, then looks at the flags, so a
// cluster handed over just after a round of processing is seen up to 100 ms
// later; the variant with 1 ms pauses shows the serial link's own part.
//
// Runs 200 round trips and reports the median, the spread (min, 10th and
// 90th percentile, max, standard deviation) and how many went beyond the
// bound by more than 15 ms. Needs no display (Qt's offscreen platform).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "MainWindow.h"
#include "MessageBox.h"
#include "PhoneProcess.h"
#include "PollingCycle.h"
#include "SerialPort.h"
#include "Transaction.h"

namespace {

using Clock = std::chrono::steady_clock;

// pauseMs: the wait's pause between two rounds of event processing (the
// window's is 50 ms; 1 ms shows what the serial link itself takes).
void RoundTrip(benchmark::State& state, int pauseMs) {
  pdulink::test::PhoneProcess phone;
  if (!phone.Started()) {
    state.SkipWithError(("phone: " + phone.Error()).c_str());
    return;
  }
  SetMessageHandler([](const std::string&) {});
  const std::string ini = phone.Directory() + "/bench.ini";
  std::ofstream(ini, std::ios::binary) << "[Main]\r\n[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
  StartupOptions options;
  options.configArg = ini;
  auto form = std::make_unique<TForm1>(options);
  form->timer1()->stop();  // no ticks: nothing else runs beside the transaction
  form->clock().PendingCommand = 0;
  form->comport().SetActive(true);
  if (!form->comport().Active()) {
    state.SkipWithError("could not open the phone's device");
    return;
  }
  Transaction& t = form->dialogue();
  t.Pause = [pauseMs] { QThread::msleep(static_cast<unsigned long>(pauseMs)); };
  t.SendCommand("ATE0\r");  // echo off, as after a connect

  // n x char time + extra time, for the 6 bytes of "\r\nOK\r\n".
  const double bound = 6 * 43 / 1000.0 + 250;
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = t.SendCommand("AT\r") && t.OkFlag;
    const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    state.SetIterationTime(took / 1000.0);
    if (!ok) {
      state.SkipWithError("no OK");
      break;
    }
    ms.push_back(took);
  }
  if (ms.empty()) return;
  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  auto pct = [&](double p) { return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))]; };
  double mean = 0;
  for (double v : ms) mean += v;
  mean /= static_cast<double>(ms.size());
  double var = 0;
  for (double v : ms) var += (v - mean) * (v - mean);
  const double sd = std::sqrt(var / static_cast<double>(ms.size()));
  const auto beyond = std::count_if(ms.begin(), ms.end(), [&](double v) { return v > bound + 15; });
  state.counters["bound_ms"] = bound;
  state.counters["min_ms"] = sorted.front();
  state.counters["p10_ms"] = pct(0.10);
  state.counters["median_ms"] = pct(0.50);
  state.counters["p90_ms"] = pct(0.90);
  state.counters["max_ms"] = sorted.back();
  state.counters["sd_ms"] = sd;
  state.counters["over_bound_15ms"] = static_cast<double>(beyond);
  form.reset();
  SetMessageHandler(nullptr);
}
void BM_AtRoundTrip(benchmark::State& state) { RoundTrip(state, 50); }
void BM_AtRoundTripFinePump(benchmark::State& state) { RoundTrip(state, 1); }
BENCHMARK(BM_AtRoundTrip)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AtRoundTripFinePump)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // no window is shown
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
