// The SIM, registration and signal parsers on typical replies, and on a
// long capture where an unsolicited flood came before the answer.
#include <benchmark/benchmark.h>

#include <string>

#include "Replies.h"

namespace {

void BM_CpinReply(benchmark::State& state) {
  const std::string reply = "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(ParseCpinReply(reply));
}
BENCHMARK(BM_CpinReply);

void BM_CregReply(benchmark::State& state) {
  const std::string reply = "\r\n+CREG: 2,5,\"00C3\",\"1A2B\",7\r\n\r\nOK\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(ParseCregReply(reply));
}
BENCHMARK(BM_CregReply);

void BM_CsqReplyAndText(benchmark::State& state) {
  const std::string reply = "\r\n+CSQ: 21,0\r\n\r\nOK\r\n";
  for (auto _ : state) {
    auto q = ParseCsqReply(reply);
    benchmark::DoNotOptimize(SignalText(*q));
  }
}
BENCHMARK(BM_CsqReplyAndText);

// A capture of n RING lines and then the answer: the cost grows with n.
void BM_CsqAfterRingFlood(benchmark::State& state) {
  std::string reply;
  for (int i = 0; i < state.range(0); ++i) reply += "\r\nRING\r\n";
  reply += "\r\n+CSQ: 21,0\r\n\r\nOK\r\n";
  for (auto _ : state) {
    benchmark::DoNotOptimize(HasFinalResult(reply));
    benchmark::DoNotOptimize(ParseCsqReply(reply));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_CsqAfterRingFlood)->Arg(10)->Arg(1000);

}  // namespace
