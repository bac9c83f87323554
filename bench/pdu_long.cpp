// Long messages: cutting and assembling a six-part message (Latin and
// Cyrillic), and the joiner with 1,000 messages waiting: taking in and
// joining a two-part message, and writing the state file durably.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "gsm_alphabet.h"
#include "sms_concat.h"
#include "sms_join.h"

namespace {

using namespace pdulink;

std::string LatinSixParts() {
  const std::string words = "The quick brown fox jumps over the lazy dog, 1234567890! ";
  std::string s;
  while (s.size() < 153 * 6) s += words;
  return s.substr(0, 153 * 6);
}

std::string CyrillicSixParts() {
  std::string s;
  for (int i = 0; i < 67 * 6; ++i) s.push_back(static_cast<char>(i % 9 == 8 ? ' ' : 0xC0 + i % 64));
  return s;
}

// A UTF-8 Turkish text that takes six parts with the Turkish shift tables
// (ShiftTables=tr), twelve as UCS2.
std::string TurkishSixParts() {
  const std::string words = "Türkçe kısa mesaj için şişli ığdır özel ";
  std::string s;
  while (s.size() < 1020) s += words;
  return s;
}

void Split(benchmark::State& state, const std::string& body, bool turkish = false) {
  BuildGsmTables();
  SubmitChoices choices;
  if (turkish) {
    choices.utf8Body = true;
    choices.shiftTables = {1};
  }
  ConcatChoices concat;
  concat.enabled = true;
  std::uint16_t ref = 0;
  for (auto _ : state) {
    ConcatSubmit s = AssembleConcatSubmit("+4915112345678", body, choices, concat, ref++);
    benchmark::DoNotOptimize(s.parts.data());
    if (s.parts.size() != 6) state.SkipWithError("not six parts");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("messages/s, 6 parts each");
}

void BM_LongSubmitLatin6(benchmark::State& state) { Split(state, LatinSixParts()); }
void BM_LongSubmitCyrillic6(benchmark::State& state) { Split(state, CyrillicSixParts()); }
void BM_LongSubmitTurkishShift6(benchmark::State& state) { Split(state, TurkishSixParts(), true); }

ConcatPart Part(int message, std::uint8_t seq, std::uint8_t total, std::int64_t at) {
  ConcatPart p;
  p.sender = "49170" + std::to_string(1000000 + message);
  p.addrType = 0x91;
  p.smsc = "4917200000";
  p.reference = static_cast<std::uint16_t>(message & 0xFF);
  p.total = total;
  p.seq = seq;
  p.text = std::string(153, 'x');
  p.timeText = "24-03-01 10:00:00 [+1]";
  p.stem = "SMS20240301100000" + std::to_string(100 + message % 900);
  p.arrived = at;
  return p;
}

struct TempState {
  std::string dir;
  TempState() {
    std::string tmpl = "/tmp/pdulink-bench-XXXXXX";
    if (::mkdtemp(tmpl.data())) dir = tmpl;
  }
  ~TempState() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string Path() const { return dir + "/" + std::string(kJoinStateFileName); }
};

// 1,000 messages wait with one part of two each.
void FillPending(PartJoiner& j) {
  for (int m = 0; m < 1000; ++m) j.Add(Part(m, 1, 2, 1'700'000'000));
}

// In memory: a new message's two parts come in, it is found ready among
// the 1,000 waiting and joined (its files' bytes built).
void BM_JoinWith1000Pending(benchmark::State& state) {
  TempState t;
  PartJoiner j(t.Path(), 24);
  FillPending(j);
  int message = 100000;
  for (auto _ : state) {
    j.Add(Part(message, 2, 2, 1'700'000'001));
    j.Add(Part(message, 1, 2, 1'700'000'001));
    for (const JoinedMessage& m : j.Ready(1'700'000'001)) {
      JoinedFiles f = BuildJoinedFiles(m, false);
      benchmark::DoNotOptimize(f.xmlBytes.data());
      j.Joined(m, 1'700'000'001);
    }
    ++message;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("messages joined/s");
}

// The state file with 1,000 messages waiting, written durably (temporary
// file, fsync, rename, directory sync): once per listing that brought parts.
void BM_JoinStateSave1000Pending(benchmark::State& state) {
  TempState t;
  PartJoiner j(t.Path(), 24);
  FillPending(j);
  std::int64_t size = 0;
  int message = 200000;
  for (auto _ : state) {
    j.Add(Part(message++, 1, 3, 1'700'000'002));  // one more part: the state changed
    if (!j.Save()) state.SkipWithError("save failed");
    size = static_cast<std::int64_t>(std::filesystem::file_size(t.Path()));
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["file_bytes"] = static_cast<double>(size);
  state.SetLabel("state files written/s");
}

// Reading the state back at start-up with 1,000 messages waiting.
void BM_JoinStateLoad1000Pending(benchmark::State& state) {
  TempState t;
  {
    PartJoiner j(t.Path(), 24);
    FillPending(j);
    j.Save();
  }
  for (auto _ : state) {
    PartJoiner j(t.Path(), 24);
    if (!j.Load() || j.Pending() != 1000) state.SkipWithError("load failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("loads/s");
}

BENCHMARK(BM_LongSubmitLatin6);
BENCHMARK(BM_LongSubmitCyrillic6);
BENCHMARK(BM_LongSubmitTurkishShift6);
BENCHMARK(BM_JoinWith1000Pending);
BENCHMARK(BM_JoinStateSave1000Pending)->Iterations(200);
BENCHMARK(BM_JoinStateLoad1000Pending);

}  // namespace
