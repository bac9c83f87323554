// The crash run with many kills: the gateway killed at seeded steps of its
// listings and sends, restarted on the same directories, then a clean run;
// one row per mode (default, fast, every opt-in key on against the noisy
// phone) with what was lost, archived twice and sent twice.
// Usage: bench_crash [kills (60)] [seed (19)]
#include <cstdio>
#include <cstdlib>

#include "CrashRun.h"

int main(int argc, char* argv[]) {
  const int kills = argc > 1 ? std::atoi(argv[1]) : 60;
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 19;
  std::printf("%-8s %6s %6s %6s %6s %6s %8s %8s %8s %6s %8s %8s %5s %5s %5s\n", "mode", "kills", "missed", "recv",
              "files", "lost", "archx2", "onphone", "sentx2", "extra", "sndunsnt", "unfinish", "snd", "err", "unk");
  for (int mode = 0; mode < 3; ++mode) {
    const bool fast = mode == 1, everything = mode == 2;
    crash::Options o;
    o.seed = seed;
    o.fastMode = fast;
    o.everything = everything;
    o.kills = kills;
    o.received = kills * 2;
    o.outgoing = kills + kills / 2;
    o.cleanSeconds = 120;
    o.gatewayBin = PDULINK_CRASH_GATEWAY_BIN;
    crash::Counts c = crash::Run(o).Go();
    std::printf("%-8s %6d %6d %6d %6d %6d %8d %8d %8d %6d %8d %8d %5d %5d %5d\n", everything ? "all-on" : fast ? "fast" : "default", c.kills,
                c.killsMissed, c.delivered, c.dropped, c.lost, c.archivedTwice, c.leftOnPhone, c.sentTwice, c.extraSends,
                c.sndNotSent, c.unfinished, c.snd, c.err, c.unknown);
    std::string kinds;
    for (const auto& [k, n] : c.killsByKind) kinds += " " + k + "=" + std::to_string(n);
    std::printf("         kills:%s; clean run %s; longest quiet %ld ms\n", kinds.c_str(),
                c.cleanRunEnded ? "ended" : "did not end", c.longestQuietMs);
    std::fflush(stdout);
  }
  return 0;
}
