// The battery duty: the flag-file helpers directly, then AT+CBC against the
// simulated phone, through the polling cycle's half-hour cadence and called
// on its own for the replies a phone should not give.
#include <QCheckBox>
#include <QToolButton>
#include <regex>

#include "AnsiText.h"
#include "Battery.h"
#include "GatewayFixture.h"
#include "PhoneScript.h"
#include "TempDir.h"

namespace {

using pdulink::test::EscapeReply;
using pdulink::test::Slurp;
using pdulink::test::TempDir;
namespace fs = std::filesystem;

const std::string kHint = "\xC0\xEA\xEA\xF3\xEC\xF3\xEB\xFF\xF2\xEE\xF0 \xF0\xE0\xE7\xF0\xFF\xE6\xE5\xED";

TEST(FlagFile, LineWrittenAfreshAndRemovedOnlyWhenThere) {
  EXPECT_EQ(LowBatteryLine({2005, 1, 2, 9, 5, 3, 7}), "02.01.2005 09:05:03 Low Battary\r\n");
  TempDir dir;
  std::string path = dir.Path() + "/smsLowBat.f";
  EXPECT_TRUE(RemoveFlagFile(path));  // nothing there: nothing to do
  std::ofstream(path) << "an older and much longer line\r\n";
  EXPECT_TRUE(WriteFlagFile(path, "x\r\n"));
  EXPECT_EQ(Slurp(path), "x\r\n");
  EXPECT_TRUE(RemoveFlagFile(path));
  EXPECT_FALSE(fs::exists(path));
  // A directory in its place can be neither written nor removed.
  fs::create_directories(path + "/inside");
  EXPECT_FALSE(WriteFlagFile(path, "x\r\n"));
  EXPECT_FALSE(RemoveFlagFile(path));
  EXPECT_FALSE(WriteFlagFile(dir.Path() + "/missing/smsLowBat.f", "x\r\n"));
}

class BatteryTest : public GatewayTest {
 protected:
  void SetUp() override {
    Start();
    form->state().BaseDir = dir.Path();
    Connect();
  }
  std::string FlagPath() const { return dir.Path() + "/smsLowBat.f"; }
  void Battery(const std::string& args) { ASSERT_EQ(phone->Control("battery " + args), "OK\n"); }
  // Runs the operation by itself: no passes, and every wait counts ticks.
  int CheckAlone() {
    FastTicks();
    form->clock().PendingCommand = kNoCommand;
    return form->gateway().battery().CheckBattery();
  }
  TempDir dir;
};

TEST_F(BatteryTest, FlagFileFollowsTheLevelEveryHalfHour) {
  Battery("20 0");
  form->clock().SecondsCounter = 1800 - 4;
  ASSERT_TRUE(RunUntil([&] { return fs::exists(FlagPath()); })) << Journal();
  EXPECT_TRUE(JournalHas("Battery Check:"));
  EXPECT_TRUE(JournalHas("Low Battery!"));
  EXPECT_EQ(form->tray().Index(), 4u);
  EXPECT_EQ(form->tray().Hint().toStdString(), FromAnsi(kHint).toStdString());  // battery discharged
  std::string line = Slurp(FlagPath());
  EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d Low Battary\r\n)"))) << line;

  // A level just above the limit removes it at the next check, 1800 ticks on.
  Battery("21 1");
  form->clock().SecondsCounter = 3600 - 4;
  ASSERT_TRUE(RunUntil([&] { return !fs::exists(FlagPath()); })) << Journal();
  EXPECT_EQ(JournalCount("Battery Check:"), 2u);
  EXPECT_EQ(JournalCount("Low Battery!"), 1u);

  // Unchecked, the cadence passes without a check.
  form->ui().cb_bat->setChecked(false);
  Battery("5");
  form->clock().SecondsCounter = 5400 - 4;
  ASSERT_TRUE(RunUntil([&] { return form->clock().SecondsCounter > 5402; }));
  EXPECT_EQ(JournalCount("Battery Check:"), 2u);
  EXPECT_FALSE(fs::exists(FlagPath()));
}

TEST_F(BatteryTest, RepliesWithoutAReadableLevelLeaveTheFlagFileAlone) {
  std::ofstream(FlagPath()) << "earlier\r\n";
  struct Case {
    const char* reply;  // raw AT+CBC reply, "" for the phone's own, "-" for none at all
    const char* battery;
    int level;
    bool noteworthy;  // "Battery level not read": a level that cannot be true or was cut off
  } cases[] = {
      {"", "0 2", 0, false},  // level 0: no reading at all
      {"\r\n+CBC: abc,50\r\n\r\nOK\r\n", nullptr, 0, false},
      {"\r\n+CBC: 0,1x\r\n\r\nOK\r\n", nullptr, 0, false},
      {"\r\n+CBC: 0,\r\n\r\nOK\r\n", nullptr, 0, false},
      {"\r\n+CBC: 0\r\n\r\nOK\r\n", nullptr, 0, false},
      {"\r\nOK\r\n", nullptr, 0, false},
      {"\r\nERROR\r\n", nullptr, 0, false},
      {"\r\n+CME ERROR: 100\r\n", nullptr, 0, false},
      {"-", nullptr, 0, false},  // no answer: the wait times out
      {"\r\n+CBC: 0,150\r\n\r\nOK\r\n", nullptr, 0, true},
      {"\r\n+CBC: 0,-3\r\n\r\nOK\r\n", nullptr, 0, true},
      {"\r\n+CBC: 0,", nullptr, 0, true},  // cut off, no final result: the wait times out
      {"\r\n+CBC: 0,5", nullptr, 0, true},   // "5" may have been "55"
  };
  for (const auto& c : cases) {
    size_t notes = JournalCount("Battery level not read");
    if (std::string(c.reply) == "-") {
      ASSERT_EQ(phone->Control("fail +CBC silent"), "OK\n");
    } else if (*c.reply) {
      ASSERT_EQ(phone->Control("fail +CBC reply " + EscapeReply(c.reply)), "OK\n");
    }
    if (c.battery) Battery(c.battery);
    EXPECT_EQ(CheckAlone(), c.level) << c.reply;
    EXPECT_EQ(JournalCount("Battery level not read"), notes + (c.noteworthy ? 1 : 0)) << c.reply;
    EXPECT_EQ(Slurp(FlagPath()), "earlier\r\n") << c.reply;
    phone->Control("unfail");
  }
  EXPECT_FALSE(JournalHas("Low Battery!"));
}

TEST_F(BatteryTest, FlagFileErrorsAreJournalLinesAndBurstsAreReadWhole) {
  // The base directory is a plain file: nothing can be written inside it.
  std::string blocker = dir.Path() + "/not-a-directory";
  std::ofstream(blocker) << "x";
  form->state().BaseDir = blocker;
  Battery("7 0");
  EXPECT_EQ(CheckAlone(), 7);
  EXPECT_TRUE(JournalHas("Low Battery!"));
  EXPECT_TRUE(JournalHas("Error save flag file: smsLowBat.f"));

  // A flag "file" that is a non-empty directory cannot be deleted.
  form->state().BaseDir = dir.Path();
  fs::create_directories(FlagPath() + "/inside");
  Battery("90");
  EXPECT_EQ(CheckAlone(), 90);
  EXPECT_TRUE(JournalHas("Error delete flag file: smsLowBat.f"));
  EXPECT_TRUE(fs::exists(FlagPath() + "/inside"));

  // A reply in several bursts is read whole.
  fs::remove_all(FlagPath());
  ASSERT_EQ(phone->Control("chunks 5 80"), "OK\n");
  Battery("12");
  EXPECT_EQ(CheckAlone(), 12);
  EXPECT_TRUE(fs::exists(FlagPath()));
}

}  // namespace
