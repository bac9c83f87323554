// The call-list scan for one entry and for a list of fifty whose only
// incoming call comes last, and the battery parse.
#include <benchmark/benchmark.h>

#include <string>

#include "Replies.h"

namespace {

std::string CallList(int entries) {
  std::string reply;
  for (int i = 1; i < entries; ++i)
    reply += "\r\n+CLCC: " + std::to_string(i) + ",0,1,0,1,\"+4930" + std::to_string(i) + "\",145\r\n";
  reply += "\r\n+CLCC: " + std::to_string(entries) + ",1,4,0,0,\"+12345678901\",145\r\n\r\nOK\r\n";
  return reply;
}

void BM_ScanCallList(benchmark::State& state) {
  const std::string reply = CallList(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(ScanCallList(reply));
}
BENCHMARK(BM_ScanCallList)->Arg(1)->Arg(50);

void BM_ParseBatteryLevel(benchmark::State& state) {
  const std::string reply = "\r\n+CBC: 0,80\r\n\r\nOK\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(ParseBatteryLevel(reply));
}
BENCHMARK(BM_ParseBatteryLevel);

}  // namespace
