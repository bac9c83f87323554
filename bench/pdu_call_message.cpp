// Building the call message: address encoding, time stamp and zone octet.
#include <benchmark/benchmark.h>

#include "call_message.h"

namespace {

void BM_CallMessagePdu(benchmark::State& state) {
  const pdulink::LocalTime t{2026, 12, 6, 21, 54, 46, 0};
  for (auto _ : state) benchmark::DoNotOptimize(pdulink::CallMessagePdu("+12345678901", t, -180));
}
BENCHMARK(BM_CallMessagePdu);

}  // namespace
