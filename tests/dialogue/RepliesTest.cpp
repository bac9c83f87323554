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

}  // namespace
