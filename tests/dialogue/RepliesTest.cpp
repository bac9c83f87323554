// The reply parsers: pure, no process, no port.
#include <gtest/gtest.h>

#include "Replies.h"

namespace {

TEST(ReplyParsers, CpmsChoosesMtThenMeThenSm) {
  EXPECT_EQ(ChooseSmsMemory("\r\n+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\")\r\n\r\nOK\r\n"), "MT");
  EXPECT_EQ(ChooseSmsMemory("\r\n+CPMS: (\"ME\",\"SM\"),(\"ME\",\"SM\"),(\"ME\")\r\n\r\nOK\r\n"), "ME");
  EXPECT_EQ(ChooseSmsMemory("+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\nOK\r\n"), "SM");
  EXPECT_EQ(ChooseSmsMemory("\r\nERROR\r\n"), "");
  EXPECT_EQ(ChooseSmsMemory("\"SM\" without the header"), "");
}

TEST(ReplyParsers, CscaGivesInternationalDigitsOnly) {
  struct Case {
    std::string reply, digits;
  } cases[] = {
      {"\r\n+CSCA: \"+12345678901\",145\r\n\r\nOK\r\n", "12345678901"},
      {"AT+CSCA?\r\r\n+csca: \"+79168999100\",145\r\n", "79168999100"},  // echo, lower case
      {"\r\n+CSCA: \"0850123\",129\r\n\r\nOK\r\n", ""},                   // national
      {"\r\n+CSCA: \"\",129\r\n\r\nOK\r\n", ""},
      {"\r\n+CSCA: \"+\",145\r\n", ""},
      {"\r\n+CSCA: \"+123", ""},  // cut short: no closing quote
      {"\r\nERROR\r\n", ""},
  };
  for (auto& c : cases) {
    std::string reply = c.reply;
    EXPECT_EQ(ParseSmscReply(reply), c.digits) << c.reply;
  }
}

TEST(ReplyParsers, CutThroughIgnoresCaseAndLeavesTextWhenAbsent) {
  std::string text = "abc+cmgl: 1,0";
  EXPECT_TRUE(CutThrough(text, "+CMGL:"));
  EXPECT_EQ(text, " 1,0");
  EXPECT_FALSE(CutThrough(text, "+CMGL:"));
  EXPECT_EQ(text, " 1,0");
  EXPECT_FALSE(CutThrough(text, ""));
}

// --- Battery and call list ---------------------------------------------

TEST(ReplyParsers, CutFieldTrimsTheFieldAndLeavesTheTextWhenTheMarkerIsAbsent) {
  std::string text = " 1 ,\t1,4,0,0,\"+4930\",145";
  EXPECT_EQ(CutField(text, ","), "1");
  EXPECT_EQ(CutField(text, ","), "1");
  EXPECT_EQ(text, "4,0,0,\"+4930\",145");
  EXPECT_EQ(CutField(text, ";"), "");
  EXPECT_EQ(text, "4,0,0,\"+4930\",145");
  std::string mixed = "abcXYZdef";
  EXPECT_EQ(CutField(mixed, "xyz"), "abc");  // case does not matter
  EXPECT_EQ(mixed, "def");
  EXPECT_EQ(CutField(mixed, ""), "");
  EXPECT_EQ(mixed, "def");
}

TEST(ReplyParsers, BatteryLevelOnlyFromACompleteNumericReply) {
  struct Case {
    std::string reply;
    int level;
  } cases[] = {
      {"\r\n+CBC: 0,80\r\n\r\nOK\r\n", 80},
      {"\r\n+CBC: 0,20\r\n\r\nOK\r\n", 20},
      {"\r\n+CBC: 1,21\r\n\r\nOK\r\n", 21},
      {"\r\n+CBC: 2,0\r\n\r\nOK\r\n", 0},
      {"AT+CBC\r\r\n+cbc:  0 , 5 \r\n\r\nOK\r\n", 5},  // echo, lower case, blanks
      {"\r\n+CBC: 0,100\r\n", 100},
      {"\r\n+CBC: abc,50\r\n\r\nOK\r\n", -1},  // status of letters
      {"\r\n+CBC: ,50\r\n\r\nOK\r\n", -1},     // no status
      {"\r\n+CBC: 0,5x\r\n\r\nOK\r\n", -1},    // letters in the level
      {"\r\n+CBC: 0,\r\n\r\nOK\r\n", -1},      // no level
      {"\r\n+CBC: 0\r\n\r\nOK\r\n", -1},       // no comma
      {"\r\n+CBC: 0,2", -1},                   // cut off: maybe 25
      {"\r\n+CBC: 0,-5\r\n", -1},              // outside 0..100
      {"\r\n+CBC: 0,101\r\n", -1},
      {"\r\n+CBC: 0,99999999999\r\n", -1},
      {"\r\nERROR\r\n", -1},
      {"", -1},
  };
  for (auto& c : cases) EXPECT_EQ(ParseBatteryLevel(c.reply), c.level) << c.reply;
}

TEST(ReplyParsers, CallListGivesTheFirstIncomingVoiceCallWithANumber) {
  struct Case {
    std::string reply, number;
    int entries;
    bool hidden;
  } cases[] = {
      {"\r\n+CLCC: 1,1,4,0,0,\"+12345678901\",145\r\n\r\nOK\r\n", "+12345678901", 1, false},
      {"\r\n+clcc: 1, 1, 4, 0, 0, \"0301234\",129\r\n", "0301234", 1, false},
      // Outgoing, waiting and data calls do not count; the second entry does.
      {"\r\n+CLCC: 1,0,3,0,0,\"+4930\",145\r\n\r\n+CLCC: 2,1,4,0,0,\"+4940\",145\r\n", "+4940", 2, false},
      {"\r\n+CLCC: 1,1,0,0,0,\"+4930\",145\r\n\r\n+CLCC: 2,1,5,0,0,\"+4940\",145\r\n", "", 2, false},
      {"\r\n+CLCC: 1,1,4,1,0,\"+4930\",145\r\n", "", 1, false},
      // Hidden callers: empty quotes or no number field at all.
      {"\r\n+CLCC: 1,1,4,0,0,\"\",128\r\n\r\nOK\r\n", "", 1, true},
      {"\r\n+CLCC: 1,1,4,0,0\r\n\r\nOK\r\n", "", 1, true},
      {"\r\n+CLCC: 1,1,4,0,0,\"\",128\r\n+CLCC: 2,1,4,0,0,\"555\",129\r\n", "555", 2, true},
      // Letters are passed on as they are: the encoder decides.
      {"\r\n+CLCC: 1,1,4,0,0,\"12AB\",129\r\n", "12AB", 1, false},
      // Letters where numbers belong, and entries cut short, are skipped
      // without swallowing the entry after them.
      {"\r\n+CLCC: 1,one,4,0,0,\"+4930\",145\r\n+CLCC: 2,1,4,0,0,\"+4940\",145\r\n", "+4940", 2, false},
      {"\r\n+CLCC: 1,1\r\n+CLCC: 2,1,4,0,0,\"+4940\",145\r\n", "+4940", 2, false},
      {"\r\n+CLCC: 1,1,4,0,0,\"+49", "", 1, false},
      {"\r\n+CLCC: 1,1,4", "", 1, false},
      {"\r\n+CLCC:", "", 1, false},
      {"\r\nOK\r\n", "", 0, false},
      {"\r\nERROR\r\n", "", 0, false},
  };
  for (auto& c : cases) {
    CallListScan scan = ScanCallList(c.reply);
    EXPECT_EQ(scan.number, c.number) << c.reply;
    EXPECT_EQ(scan.entries, c.entries) << c.reply;
    EXPECT_EQ(scan.hiddenCaller, c.hidden) << c.reply;
  }
}

TEST(ReplyParsers, CallListOfFiftyEntriesIsReadToTheEndOneTurnEach) {
  std::string reply;
  for (int i = 1; i <= 49; ++i) reply += "\r\n+CLCC: " + std::to_string(i) + ",0,1,0,1,\"+4930" + std::to_string(i) + "\",145\r\n";
  int turns = 0;
  EXPECT_EQ(ScanCallList(reply + "\r\nOK\r\n", [&] { ++turns; }).number, "");
  EXPECT_EQ(turns, 49);
  reply += "\r\n+CLCC: 50,1,4,0,0,\"+4950\",145\r\n\r\nOK\r\n";
  CallListScan scan = ScanCallList(reply);
  EXPECT_EQ(scan.number, "+4950");
  EXPECT_EQ(scan.entries, 50);
}

}  // namespace
