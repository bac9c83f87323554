// Throughput of Decode over a mixed set of received messages, and of
// AddText for full-length Latin and Cyrillic texts. One decoder and one
// builder per message, as the archive and the send operation use them.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "gsm_alphabet.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "text_helpers.h"

namespace {

using pdulink::ByteToHex;
using pdulink::tSMSDecode;
using pdulink::tSMSmsg;

const std::string kSmsc = "07912143658709F1";
const std::string kStamp = "50609122227121";
const std::string kOrig = "0B919701234567F8";

std::string LatinText(std::size_t n) {
  const std::string words = "The quick brown fox jumps over the lazy dog, 1234567890! ";
  std::string s;
  while (s.size() < n) s += words;
  return s.substr(0, n);
}

std::string CyrillicText(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i % 9 == 8 ? ' ' : 0xC0 + i % 64));
  return s;
}

// User data (with its length octet) of a text, optionally behind a
// concatenation header with an 8-bit reference.
std::string UserData(const std::string& text, bool header, unsigned part) {
  tSMSmsg m;
  m.Clear();
  unsigned headerUnits = 0;
  if (header) {
    for (unsigned b : {5u, 0u, 3u, 0x2Au, 3u, part}) m.PushByte(static_cast<std::uint8_t>(b));
    if (!pdulink::NeedsUcs2(text)) {
      m.PushBit(0);
      headerUnits = 7;
    } else {
      headerUnits = 6;
    }
  }
  unsigned count = m.AddText(text);
  return ByteToHex(count + headerUnits) + m.ToHex();
}

std::string Deliver(const std::string& addr, bool header, const std::string& text, unsigned part = 1) {
  const bool ucs2 = pdulink::NeedsUcs2(text);
  return kSmsc + (header ? "44" : "04") + addr + "00" + (ucs2 ? "08" : "00") + kStamp +
         UserData(text, header, part);
}

std::vector<std::string> MixedSet() {
  return {
      Deliver(kOrig, false, LatinText(160)),
      Deliver(kOrig, false, CyrillicText(70)),
      Deliver(kOrig, true, LatinText(153), 1),
      Deliver(kOrig, true, CyrillicText(67), 2),
      kSmsc + "062A" + kOrig + kStamp + kStamp + "0000",
      kSmsc + "062B" + kOrig + kStamp + kStamp + "4600",
      Deliver("0ED0D4F29C2E0CBBD7", false, LatinText(60)),  // "TestBank"
      Deliver("0BD0CDBC30EC5E03", false, CyrillicText(40)),  // "MyBank"
  };
}

void BM_DecodeMixed(benchmark::State& state) {
  const std::vector<std::string> pdus = MixedSet();
  for (const std::string& p : pdus) {
    tSMSDecode d;
    d.Decode(p);
    if (d.HasError) state.SkipWithError(("sample does not decode: " + d.ErrorText).c_str());
  }
  std::size_t i = 0;
  for (auto _ : state) {
    tSMSDecode d;
    d.Decode(pdus[i]);
    benchmark::DoNotOptimize(d.Text.data());
    benchmark::ClobberMemory();
    if (++i == pdus.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeMixed);

void DecodeOne(benchmark::State& state, const std::string& pdu) {
  for (auto _ : state) {
    tSMSDecode d;
    d.Decode(pdu);
    benchmark::DoNotOptimize(d.Text.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(DecodeOne, Latin160, Deliver(kOrig, false, LatinText(160)));
BENCHMARK_CAPTURE(DecodeOne, Cyrillic70, Deliver(kOrig, false, CyrillicText(70)));
BENCHMARK_CAPTURE(DecodeOne, StatusReport, kSmsc + "062A" + kOrig + kStamp + kStamp + "0000");

void AddText(benchmark::State& state, const std::string& text, bool withHex) {
  for (auto _ : state) {
    tSMSmsg m;
    m.Clear();
    benchmark::DoNotOptimize(m.AddText(text));
    if (withHex) {
      std::string hex = m.ToHex();
      benchmark::DoNotOptimize(hex.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(AddText, Latin160, LatinText(160), false);
BENCHMARK_CAPTURE(AddText, Cyrillic70, CyrillicText(70), false);
BENCHMARK_CAPTURE(AddText, Latin160WithToHex, LatinText(160), true);

}  // namespace
