// Throughput of the SMS-SUBMIT assembly (options, number, user data, the
// journal lines) for a full 160-character Latin text and a 70-character
// Cyrillic text, one PDU per iteration as SendSMS builds it.
#include <benchmark/benchmark.h>

#include <string>

#include "gsm_alphabet.h"
#include "sms_submit.h"

namespace {

std::string Latin160() {
  const std::string words = "The quick brown fox jumps over the lazy dog, 1234567890! ";
  std::string s;
  while (s.size() < 160) s += words;
  return s.substr(0, 160);
}

std::string Cyrillic70() {
  std::string s;
  for (int i = 0; i < 70; ++i) s.push_back(static_cast<char>(i % 9 == 8 ? ' ' : 0xC0 + i % 64));
  return s;
}

void Assemble(benchmark::State& state, const std::string& body, bool options) {
  pdulink::BuildGsmTables();
  pdulink::SubmitChoices choices;
  choices.sendOptions = options;
  const std::string text = options ? "#flash##vp11#" + body : body;
  for (auto _ : state) {
    pdulink::SubmitPdu pdu = pdulink::AssembleSubmit("+4915112345678", text, choices);
    benchmark::DoNotOptimize(pdu.pduHex.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SubmitLatin160(benchmark::State& state) { Assemble(state, Latin160(), false); }
void BM_SubmitCyrillic70(benchmark::State& state) { Assemble(state, Cyrillic70(), false); }
void BM_SubmitLatin160WithOptions(benchmark::State& state) { Assemble(state, Latin160(), true); }

BENCHMARK(BM_SubmitLatin160);
BENCHMARK(BM_SubmitCyrillic70);
BENCHMARK(BM_SubmitLatin160WithOptions);

}  // namespace
