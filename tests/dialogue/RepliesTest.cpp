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

// ---- Message listing ----
namespace {

const std::string kPduA =
    "07912143658709F1040D91945111325476F800006221703255140037C8329BFD0699E5EF36888E2E83C8E5F61B0447BFDDE510485A86"
    "B3F3A0D394FA849E40F437A8EE9ED7C5F3B13C2D2EBB00";
const std::string kPduB = "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";

TEST(CmglListing, CapturedFromTheSimulatedPhone) {
  // Echo of the command, two messages, the final OK: as the capture holds it.
  std::string reply = "AT+CMGL=0\r\r\n+CMGL: 1,0,,69\r\n" + kPduA + "\r\n+CMGL: 2,0,,37\r\n" + kPduB + "\r\n\r\nOK\r\n";
  auto listed = ParseCmglListing(reply);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].index, 1);
  EXPECT_EQ(listed[0].pdu, kPduA);
  EXPECT_EQ(listed[1].index, 2);
  EXPECT_EQ(listed[1].pdu, kPduB);
  EXPECT_TRUE(ParseCmglListing("\r\nOK\r\n").empty());
  EXPECT_TRUE(ParseCmglListing("\r\n+CMS ERROR: 302\r\n").empty());
}

TEST(CmglListing, EmptyLinesAndBlanksBeforeThePduAreSkipped) {
  auto listed = ParseCmglListing("+CMGL:  7 ,1,,23\r\n\r\n  \r\n" + kPduB + "\r\n");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].index, 7);
  EXPECT_EQ(listed[0].pdu, kPduB);
}

TEST(CmglListing, BadIndexesAreMinusOneButThePduIsKept) {
  struct Case {
    std::string reply;
    int index;
  } cases[] = {
      {"+CMGL: x,0,,23\r\n" + kPduB + "\r\n", -1},
      {"+CMGL: ,0,,23\r\n" + kPduB + "\r\n", -1},
      {"+CMGL: 99999999999,0,,23\r\n" + kPduB + "\r\n", -1},  // beyond 32 bits
      {"+CMGL: -3,0,,23\r\n" + kPduB + "\r\n", -3},
      {"+CMGL: 0,0,,23\r\n" + kPduB + "\r\n", 0},
      // No comma on the header: the text up to the next comma is no number.
      {"+CMGL: 4\r\n" + kPduB + "\r\n", -1},
  };
  for (auto& c : cases) {
    auto listed = ParseCmglListing(c.reply);
    ASSERT_EQ(listed.size(), 1u) << c.reply;
    EXPECT_EQ(listed[0].index, c.index) << c.reply;
    EXPECT_EQ(listed[0].pdu, kPduB) << c.reply;
  }
}

TEST(CmglListing, ReplyCutShortEndsTheListingAfterTheLastWholeMessage) {
  const std::string first = "+CMGL: 1,0,,23\r\n" + kPduB + "\r\n";
  EXPECT_EQ(ParseCmglListing(first + "+CMGL: 2,0,,23").size(), 1u);               // header without CR LF
  EXPECT_EQ(ParseCmglListing(first + "+CMGL: 2,0,,23\r\n0791").size(), 1u);       // PDU without CR LF
  EXPECT_EQ(ParseCmglListing(first + "+CMGL: 2,0,,23\r\n\r\n").size(), 1u);       // no PDU line at all
  EXPECT_EQ(ParseCmglListing(first + "+CMGL: 2,0,,23\nPDU\n").size(), 1u);        // bare LF is no line end
  // A truncated or garbled PDU still comes out whole: the decoder judges it.
  auto listed = ParseCmglListing("+CMGL: 3,0,,23\r\n0791ZZ!!\r\n");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].pdu, "0791ZZ!!");
}

TEST(CmglListing, FiveHundredMessagesAreAllListed) {
  std::string reply;
  for (int i = 1; i <= 500; ++i) reply += "\r\n+CMGL: " + std::to_string(i) + ",1,,23\r\n" + kPduB + "\r\n";
  reply += "\r\nOK\r\n";
  auto listed = ParseCmglListing(reply);
  ASSERT_EQ(listed.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(listed[static_cast<size_t>(i)].index, i + 1);
}

}  // namespace
