// The gateway killed at seeded moments of its listings and watched-file
// sends and restarted on the same directories, then left to finish: no
// received message lost or archived twice, no outgoing message sent twice,
// every outgoing file under a final name. PDULINK_CRASH_SEED=N runs another
// seed; bench/crash_run runs the same with many more kills.
#include <gtest/gtest.h>

#include <cstdlib>

#include "CrashRun.h"

namespace {

// 0: default, 1: fast mode, 2: every opt-in key on at once against the
// noisy phone (shorter), where the gateway must also never stall: no 20 s
// without a command in the clean run.
class CrashTest : public ::testing::TestWithParam<int> {};

TEST_P(CrashTest, KillsLoseNothingAndSendNothingTwice) {
  crash::Options o;
  if (const char* seed = std::getenv("PDULINK_CRASH_SEED")) o.seed = static_cast<unsigned>(std::strtoul(seed, nullptr, 10));
  o.fastMode = GetParam() == 1;
  o.everything = GetParam() == 2;
  if (o.everything) {
    o.kills = 4;
    o.received = 8;
    o.outgoing = 5;
  }
  o.gatewayBin = PDULINK_CRASH_GATEWAY_BIN;
  crash::Counts c = crash::Run(o).Go();
  const std::string why = "seed " + std::to_string(o.seed) + ": " + c.Summary() + "\n" + c.trace;
  std::printf("%s\n", why.c_str());
  ASSERT_EQ(c.kills, o.kills) << why;
  EXPECT_EQ(c.lost, 0) << why;
  EXPECT_EQ(c.archivedTwice, 0) << why;
  EXPECT_EQ(c.leftOnPhone, 0) << why;
  EXPECT_EQ(c.sentTwice, 0) << why;
  EXPECT_EQ(c.sndNotSent, 0) << why;
  EXPECT_EQ(c.unfinished, 0) << why;
  if (o.everything) {
    EXPECT_LT(c.longestQuietMs, 20000) << why;
  }
  EXPECT_TRUE(c.cleanRunEnded) << why;
}

INSTANTIATE_TEST_SUITE_P(Modes, CrashTest, ::testing::Values(0, 1, 2), [](const ::testing::TestParamInfo<int>& i) {
  return i.param == 2 ? "EverythingOn" : i.param == 1 ? "Fast" : "Default";
});

}  // namespace
