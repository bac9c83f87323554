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

// ---- SIM, network registration and signal quality ----

TEST(ReplyParsers, FinalResultOnlyOnACompleteLine) {
  struct Case {
    std::string reply;
    bool final;
  } cases[] = {
      {"\r\n+CPIN: READY\r\n\r\nOK\r\n", true},
      {"\r\n+CPIN: READY\r\n", false},         // the OK is still on its way
      {"\r\n+CME ERROR: 1", false},            // may still become 16
      {"\r\n+CME ERROR: 16\r\n", true},
      {"\r\n+cms error: 311\r\n", true},
      {"\r\nERROR\r\n", true},
      {"\r\n+CREG: 0,1\r\n\r\nOK", false},
      {"\r\nOK\r\n", true},
      {"OK\r\n", true},
      {"\r\n+COPS: \"OK net\"\r\n", false},  // OK inside a line is no result
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasFinalResult(c.reply), c.final) << c.reply;
}

// The port's framing rule reads the same codes strictly, on one burst.
TEST(ReplyParsers, FramedFinalResultsAndThePromptEndABurst) {
  const char* ends[] = {
      "\r\nOK\r\n",
      "AT\r\r\nOK\r\n",  // after an echo
      "\r\n+CGMI: pdulink\r\n\r\nOK\r\n",
      "\r\nERROR\r\n",
      "\r\n+CME ERROR: 10\r\n",
      "\r\n+CMS ERROR: 304\r\n",
      "\r\n+CME ERROR: SIM not inserted\r\n",  // verbose form (AT+CMEE=2)
      "\r\nNO CARRIER\r\n",
      "\r\n+CMGS: 12\r\n\r\nOK\r\n",
      "\r\nRING\r\n\r\nOK\r\n",  // an unsolicited line before the reply
      "\r\n> ",
      "AT+CMGS=23\r> ",  // a prompt right after the echo's CR
      "> ",
  };
  for (const char* bytes : ends) EXPECT_TRUE(EndsWithReplyEnd(bytes)) << bytes;
}

TEST(ReplyParsers, UnsolicitedLinesAndPartialRepliesDoNotEndABurst) {
  const char* open[] = {
      "",
      "\r\nRING\r\n",
      "\r\n+CMTI: \"SM\",3\r\n",
      "\r\nOK\r\n\r\nRING\r\n",  // a result followed by an unsolicited line
      "\r\n+CSQ: 20,0\r\n",
      "\r\nO",
      "\r\nOK",
      "\r\nOK\r",
      "OK\r\n",          // first CR LF in an earlier cluster
      "AT\rOK\r\n",      // echo without the result's leading CR LF: not flagged as OK either
      "\r\nOK \r\n",
      "\r\nok\r\n",
      "\r\nERROR: 5\r\n",
      "\r\n+CME ERROR: \r\n",  // no error code
      "\r\n+CMS ERROR: 3\r0\r\n",
      "\r\n+CMGL: 1,0,,23\r\n07911326040000F0",
      "\r\n+CSQ: garbage>\r\n",  // '>' inside a line is no prompt
      "a > ",
      ">",
      "\r\n>",
      "text with \r\nOK\r\n inside",
  };
  for (const char* bytes : open) EXPECT_FALSE(EndsWithReplyEnd(bytes)) << bytes;
}

TEST(ReplyParsers, CmgsReferenceOnlyFromItsOwnLineAndInRange) {
  EXPECT_EQ(std::optional<int>(5), ParseCmgsReference("\r\n+CMGS: 5\r\n\r\nOK\r\n"));
  EXPECT_EQ(std::optional<int>(255), ParseCmgsReference("\r\n+CMGS: 255,\"26/12/08,09:30:00+04\"\r\nOK\r\n"));
  EXPECT_EQ(std::optional<int>(0), ParseCmgsReference("+CMGS:0"));
  EXPECT_EQ(std::optional<int>(255), ParseCmgsReference("0011000B91...\x1a\r\n+cmgs:255\r\nOK\r\n"));
  EXPECT_EQ(std::optional<int>(7), ParseCmgsReference("AT+CMGS=23\r\r\n> \r\n+CMGS: 7\r\nOK\r\n"));
  EXPECT_EQ(std::nullopt, ParseCmgsReference("\r\n+CMGS: 256\r\n\r\nOK\r\n"));
  EXPECT_EQ(std::nullopt, ParseCmgsReference("\r\n+CMGS: 12a\r\n"));
  EXPECT_EQ(std::nullopt, ParseCmgsReference("\r\n+CMS ERROR: 500\r\n"));
  EXPECT_EQ(std::nullopt, ParseCmgsReference("\r\nOK\r\n"));
}

TEST(ReplyParsers, ErrorLineIsThePhonesOwnReportToItsLineEnd) {
  // A refused send as the spool records it: the message error before the
  // equipment error before a bare ERROR, wherever each stands.
  struct Case {
    const char* reply;
    const char* line;
  } cases[] = {
      {"0011000B91...\x1a\r\n+CMS ERROR: 500\r\n", "+CMS ERROR: 500"},
      {"\r\nERROR\r\n+CME ERROR: 3\r\n+CMS ERROR: 38", "+CMS ERROR: 38"},
      {"\r\nERROR\r\n+CME ERROR: SIM busy\r\n", "+CME ERROR: SIM busy"},
      {"AT+CMGS=23\r\r\nERROR\r\n", "ERROR"},
      {"\r\n+CMGS: 7\r\n\r\nOK\r\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, ErrorLine(c.reply)) << c.reply;
}

TEST(ReplyParsers, CpinCodesInAnySpellingAndErrorsThatMeanNoSim) {
  struct Case {
    std::string reply;
    SimCode code;
    std::string text;
  } cases[] = {
      {"\r\n+CPIN: READY\r\n\r\nOK\r\n", SimCode::Ready, "READY"},
      {"AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", SimCode::Ready, "READY"},  // echo on
      {"\r\n+cpin:  sim  pin \r\n\r\nOK\r\n", SimCode::SimPin, "SIM PIN"},     // blanks, lower case
      {"\r\n+CPIN: \"SIM PIN\"\r\n\r\nOK\r\n", SimCode::SimPin, "SIM PIN"},    // quoted
      {"\r\n+CPIN: \"SIM PUK\r\n\r\nOK\r\n", SimCode::SimPuk, "SIM PUK"},      // half quoted
      {"\r\n+CPIN: SIM PIN2\r\n\r\nOK\r\n", SimCode::SimPin2, "SIM PIN2"},
      {"\r\n+CPIN: SIM PUK2\r\n\r\nOK\r\n", SimCode::SimPuk2, "SIM PUK2"},
      {"\r\n+CPIN: NO SIM\r\n\r\nOK\r\n", SimCode::NoSim, "NO SIM"},
      {"\r\n+CME ERROR: 10\r\n", SimCode::NoSim, "+CME ERROR: 10"},
      {"\r\n+CME ERROR: SIM not inserted\r\n", SimCode::NoSim, "+CME ERROR: SIM not inserted"},
      {"\r\n+CME ERROR: 11\r\n", SimCode::SimPin, "+CME ERROR: 11"},
      {"\r\n+CME ERROR: 12\r\n", SimCode::SimPuk, "+CME ERROR: 12"},
      {"\r\n+CME ERROR: 14\r\n", SimCode::Busy, "+CME ERROR: 14"},
      {"\r\n+CME ERROR: 13\r\n", SimCode::Other, "+CME ERROR: 13"},  // SIM failure
      {"\r\n+CPIN: PH-SIM PIN\r\n\r\nOK\r\n", SimCode::Other, "PH-SIM PIN"},
      {"\r\n+CPIN: \r\n\r\nOK\r\n", SimCode::Other, "+CPIN: (empty)"},
      {"\r\nERROR\r\n", SimCode::Other, "ERROR"},
      {"", SimCode::NoAnswer, ""},
      {"\r\nRING\r\n", SimCode::NoAnswer, ""},
  };
  for (const auto& c : cases) {
    SimReply r = ParseCpinReply(c.reply);
    EXPECT_EQ(r.code, c.code) << c.reply;
    EXPECT_EQ(r.text, c.text) << c.reply;
  }
}

TEST(ReplyParsers, CregWithAndWithoutTheModeField) {
  struct Case {
    std::string reply;
    int stat;
  } cases[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", 1},                        // read form: <n>,<stat>
      {"\r\n+CREG: 2,5,\"00C3\",\"1A2B\"\r\n\r\nOK\r\n", 5},      // read form with location
      {"\r\n+CREG: 2,1,\"00C3\",\"1A2B\",7\r\n\r\nOK\r\n", 1},    // and access technology
      {"\r\n+CREG: 2\r\n", 2},                                    // unsolicited, <stat> only
      {"\r\n+CREG: 1,\"00C3\",\"1A2B\"\r\n", 1},                  // unsolicited with location
      {"\r\n+CREG: 5,00C3,1A2B\r\n", 5},                          // location without quotes
      {"\r\n+CREG: 3,0001,0001\r\n", 3},                          // all-digit location
      {"\r\n+creg:  1 , 3 \r\n\r\nOK\r\n", 3},                    // blanks, lower case
      {"\r\n+CREG: 2\r\n\r\n+CREG: 1,0\r\n\r\nOK\r\n", 0},        // announcement before the answer
      {"\r\n+CREG: 0,x\r\n", kUnreadableCreg},
      {"\r\n+CREG:\r\n", kUnreadableCreg},
      {"\r\n+CREG: 0,1234\r\n", 0},  // four digits: a location, so the first field is the state
      {"\r\nERROR\r\n", kNoCregLine},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCregReply(c.reply), c.stat) << c.reply;

  // 6 and 7 (SMS only) still carry messages; 8 is emergency calls only.
  const std::pair<int, const char*> texts[] = {
      {1, "registered (home)"}, {5, "registered (roaming)"}, {2, "searching"},
      {3, "denied"}, {0, "not registered"}, {4, "unknown"},
      {6, "registered (home)"}, {7, "registered (roaming)"}, {8, "not registered"},
      {42, "unknown (42)"}, {kNoCregLine, "unknown (no reply)"}, {kUnreadableCreg, "unknown (unreadable reply)"}};
  for (const auto& [stat, text] : texts) EXPECT_EQ(RegistrationText(stat), text) << stat;
}

// Reports on (mode 1 or 2, or a report line itself) make the phone speak on
// its own; mode 0 or no answer does not.
TEST(ReplyParsers, RegistrationReportsOnlyWhenTheModeOrALineSaysSo) {
  const std::pair<const char*, bool> cases[] = {
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", false},
      {"\r\n+CREG: 1,1\r\n\r\nOK\r\n", true},
      {"\r\n+CREG: 2,5,\"00C3\",\"A1B2\"\r\n\r\nOK\r\n", true},
      {"\r\n+CREG: 0,1\r\n\r\nOK\r\n\r\n+CREG: 5\r\n", true},  // a report behind the answer
      {"\r\nERROR\r\n", false},
      {"\r\n+CREG: x,y\r\n\r\nOK\r\n", false},
  };
  for (const auto& [reply, on] : cases) EXPECT_EQ(RegistrationReportsOn(reply), on) << reply;
}

// A phone back in text mode after a restart answers the PDU-mode listing
// and read in text form, or refuses their number as a text mode parameter.
TEST(ReplyParsers, AnswerInTextModeToAPduModeListingOrRead) {
  struct Case {
    const char* command;
    const char* reply;
    bool textMode;
  } cases[] = {
      {"AT+CMGL=4\r", "\r\n+CMGL: 1,\"REC UNREAD\",\"+4915112345678\",,\"26/12/08,10:00:00+04\"\r\nHi\r\n\r\nOK\r\n", true},
      {"AT+CMGR=3\r", "\r\n+CMGR: \"REC READ\",\"+4915112345678\",,\"26/12/08,10:00:00+04\"\r\nHi\r\n\r\nOK\r\n", true},
      {"AT+CMGL=4\r", "\r\n+CMS ERROR: 305\r\n", true},
      {"AT+CMGL=4\r", "\r\n+CMGL: 1,0,,23\r\n0791AA\r\n\r\nOK\r\n", false},
      {"AT+CMGR=3\r", "\r\n+CMGR: 1,,23\r\n0791AA\r\n\r\nOK\r\n", false},
      {"AT+CMGL=4\r", "\r\n+CMS ERROR: 302\r\n", false},
      // Asked in text form (typed by hand): its answer is no news.
      {"AT+CMGL=\"ALL\"\r", "\r\n+CMGL: 1,\"REC READ\",\"+49\",,\"26/12/08,10:00:00+04\"\r\nHi\r\n\r\nOK\r\n", false},
      {"AT+CPMS?\r", "\r\n+CMS ERROR: 305\r\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AnsweredInTextMode(c.command, c.reply), c.textMode) << c.command << c.reply;
}

TEST(ReplyParsers, CsqToDbmAndItsTexts) {
  struct Case {
    std::string reply;
    std::string journal, label;
  } cases[] = {
      {"\r\n+CSQ: 21,0\r\n\r\nOK\r\n", "Signal: -71 dBm (21/31), BER 0", "-71 dBm"},
      {"\r\n+CSQ: 0,7\r\n\r\nOK\r\n", "Signal: -113 dBm (0/31), BER 7", "-113 dBm"},
      {"\r\n+CSQ: 31,99\r\n\r\nOK\r\n", "Signal: -51 dBm (31/31), BER unknown", "-51 dBm"},
      {"\r\n+csq:  2 , 3 \r\n", "Signal: -109 dBm (2/31), BER 3", "-109 dBm"},
      {"\r\n+CSQ: 99,99\r\n\r\nOK\r\n", "Signal: unknown (99)", "? dBm"},
      {"\r\n+CSQ: 45,0\r\n\r\nOK\r\n", "Signal: unknown (45)", "? dBm"},    // out of range
      {"\r\n+CSQ: 20,12\r\n\r\nOK\r\n", "Signal: -73 dBm (20/31), BER unknown", "-73 dBm"},
  };
  for (const auto& c : cases) {
    auto q = ParseCsqReply(c.reply);
    ASSERT_TRUE(q.has_value()) << c.reply;
    EXPECT_EQ(SignalText(*q), c.journal) << c.reply;
    EXPECT_EQ(SignalShortText(*q), c.label) << c.reply;
  }
  for (const char* bad : {"\r\nERROR\r\n", "\r\n+CSQ: 21\r\n", "\r\n+CSQ: -1,0\r\n", "\r\n+CSQ: 21,0,5\r\n",
                          "\r\n+CSQ: ,\r\n", "\r\n+CSQ: 1000,0\r\n", ""})
    EXPECT_FALSE(ParseCsqReply(bad).has_value()) << bad;
  EXPECT_FALSE(RssiToDbm(32).has_value());
  EXPECT_FALSE(RssiToDbm(-1).has_value());
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

// One message per reply: the index as read (-1 when it is no number), the
// PDU kept whatever the index.
TEST(CmglListing, IndexesAsReadAndThePduAlwaysKept) {
  struct Case {
    std::string reply;
    int index;
  } cases[] = {
      {"+CMGL:  7 ,1,,23\r\n\r\n  \r\n" + kPduB + "\r\n", 7},  // blanks, empty lines before the PDU
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

// ---- New-message indications ----

namespace {

TEST(IndicationReplies, IndicationLinesAndWhatIsNone) {
  auto cmti = ParseIndicationLine(" +CMTI: \"SM\",12 ");
  ASSERT_TRUE(cmti);
  EXPECT_FALSE(cmti->report);
  EXPECT_EQ(cmti->memory, "SM");
  EXPECT_EQ(cmti->index, 12);
  auto cdsi = ParseIndicationLine("+cdsi: me,3");
  ASSERT_TRUE(cdsi);
  EXPECT_TRUE(cdsi->report);
  EXPECT_EQ(cdsi->memory, "ME");
  EXPECT_EQ(cdsi->index, 3);
  for (const char* bad : {"+CMTI: \"SM\"", "+CMTI: \"SM\",", "+CMTI: \"SM\",x", "+CMTI: ,4", "+CMTI: \"SM\",-1",
                          "+CMT: ,23", "+CDS: 25", "RING", "+CMTI \"SM\",1", "+CMTI: \"S M\",1"})
    EXPECT_FALSE(ParseIndicationLine(bad)) << bad;
}

// The setting taken from what the phone offers: messages stored and
// indicated (mt 1), reports indicated (ds 2) before none (0), never routed
// to the host (mt 2/3, ds 1) where nothing would store them.
TEST(IndicationReplies, CnmiSettingFromTheTestAnswer) {
  EXPECT_EQ(CnmiSettings("\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n\r\nOK\r\n"),
            (std::vector<std::string>{"2,1,0,2,0", "2,1,0,0,0", "1,1,0,2,0", "1,1,0,0,0"}));
  // Mode 3 only, reports only routed (1): none of them indicated.
  EXPECT_EQ(CnmiSettings("+CNMI: (3),(1),(0),(0,1),(1)\r\nOK\r\n"), (std::vector<std::string>{"3,1,0,0,1"}));
  // Lists without ranges, and a phone that knows only two parameters.
  EXPECT_EQ(CnmiSettings("+CNMI: (0,1,2),(0,1,2,3),(0,2),(0,1,2),(0,1)\r\n")[0], "2,1,0,2,0");
  EXPECT_EQ(CnmiSettings("+CNMI: (1),(0-2)\r\n"), (std::vector<std::string>{"1,1"}));
  // Nothing stored and indicated, or nothing readable.
  EXPECT_TRUE(CnmiSettings("+CNMI: (0-2),(0,2,3),(0),(0),(0)\r\n").empty());
  EXPECT_TRUE(CnmiSettings("\r\nERROR\r\n").empty());
  EXPECT_TRUE(CnmiSettings("+CNMI: (0-x),(1)\r\n").empty());
}

TEST(IndicationReplies, CmgrPduAndAnEmptyOrMissingSlot) {
  EXPECT_EQ(ParseCmgrPdu("\r\n+CMGR: 0,,23\r\n07912143658709F1040A8101\r\n\r\nOK\r\n"), "07912143658709F1040A8101");
  EXPECT_FALSE(ParseCmgrPdu("\r\n+CMS ERROR: 321\r\n"));
  EXPECT_FALSE(ParseCmgrPdu("\r\nOK\r\n"));
  EXPECT_FALSE(ParseCmgrPdu("\r\n+CMGR: 0,,0\r\n\r\nOK\r\n"));  // a header over nothing
  EXPECT_FALSE(ParseCmgrPdu("\r\n+CMGR: 0,,23\r\n0791"));       // cut short
}

// An indication the phone put between a listing's header and its PDU is not
// taken for the PDU.
TEST(IndicationReplies, ListingSkipsAnIndicationBeforeThePdu) {
  auto listed = ParseCmglListing("\r\n+CMGL: 1,1,,3\r\n\r\n+CMTI: \"SM\",2\r\n0791AB\r\n\r\n+CMTI: \"SM\",3\r\n\r\nOK\r\n");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].index, 1);
  EXPECT_EQ(listed[0].pdu, "0791AB");
}

TEST(IndicationReplies, FastFramingEndsAtAnIndicationLine) {
  EXPECT_TRUE(EndsWithReplyEndOrIndication("\r\n+CMTI: \"SM\",4\r\n"));
  EXPECT_TRUE(EndsWithReplyEndOrIndication("\r\nOK\r\n"));
  EXPECT_FALSE(EndsWithReplyEndOrIndication("\r\n+CMTI: \"SM\",4"));
  EXPECT_FALSE(EndsWithReplyEndOrIndication("\r\n+CMGL: 1,0,,23\r\n"));
  EXPECT_FALSE(EndsWithReplyEnd("\r\n+CMTI: \"SM\",4\r\n"));
}

}  // namespace

// ---- Unsolicited lines told from replies ----

TEST(UnsolicitedLines, EachKindAndWhatIsAReply) {
  for (const char* line : {"+CMTI: \"SM\",3", "+CDSI: \"ME\",1", "+CDS: 25", "+CMT: ,23", "RING", "+CRING: VOICE",
                           "+CLIP: \"+4930123\",145", "+CREG: 1", "+CGREG: 5", "+CIEV: 2,3", "+CUSD: 0,\"x\",15",
                           "^RSSI: 17", "^BOOT:1,0"})
    EXPECT_EQ(ClassifyLine(line, "AT+CMGS=23\r"), LineKind::Unsolicited) << line;
  for (const char* line : {"RDY", "+CPIN: READY", "+cfun: 1"})
    EXPECT_EQ(ClassifyLine(line, "AT+CMGR=1\r"), LineKind::PowerOn) << line;
  for (const char* line : {"OK", "+CMGS: 4", "+CMGR: 0,,23", "07912143658709F1", "> ", "+CMS ERROR: 500", "RINGS"})
    EXPECT_EQ(ClassifyLine(line, "AT+CMGR=1\r"), LineKind::Reply) << line;
  // Asked for, the same lines are the answer.
  EXPECT_EQ(ClassifyLine("+CPIN: READY", "AT+CPIN?\r"), LineKind::Reply);
  EXPECT_EQ(ClassifyLine("+CREG: 0,1", "AT+CREG?\r"), LineKind::Reply);
  EXPECT_EQ(ClassifyLine("+CLIP: 1,1", "AT+CLIP?\r"), LineKind::Reply);
}

TEST(UnsolicitedLines, FilterTakesThemOutOfRepliesAndAcrossBursts) {
  UnsolicitedFilter f;
  // Alone between commands: no reply at all.
  f.Asked("AT+CMGS=23\r");
  auto alone = f.Take("\r\n+CDSI: \"SM\",4\r\n");
  EXPECT_FALSE(alone.Replied());
  ASSERT_EQ(alone.unsolicited.size(), 1u);
  EXPECT_EQ(alone.unsolicited[0], "+CDSI: \"SM\",4\r\n");
  EXPECT_TRUE(HoldsPrompt(f.Take("\r\n> ").reply));

  // Inside a reading's reply, before and after the PDU line.
  f.Asked("AT+CMGR=1\r");
  auto read = f.Take("\r\n+CMGR: 0,,23\r\n+CMTI: \"SM\",2\r\n0791AB\r\n+CMTI: \"SM\",3\r\n\r\nOK\r\n");
  EXPECT_EQ(ParseCmgrPdu(read.reply), "0791AB");
  EXPECT_TRUE(HasFinalResult(read.reply));
  EXPECT_EQ(read.unsolicited.size(), 2u);

  // Split mid-line: the start is held, no part of it is a reply.
  auto first = f.Take("\r\n+CM");
  EXPECT_FALSE(first.Replied());
  auto rest = f.Take("TI: \"SM\",7\r\n\r\n+CMGR: 0,,23\r\n");
  ASSERT_EQ(rest.unsolicited.size(), 1u);
  EXPECT_EQ(rest.unsolicited[0], "+CMTI: \"SM\",7\r\n");
  EXPECT_NE(rest.reply.find("+CMGR: 0,,23\r\n"), std::string::npos);
  // A reply line cut short is not held.
  EXPECT_EQ(f.Take("\r\n+CMGS: 1").reply, "\r\n+CMGS: 1");
  f.Reset();

  // A +CMT header takes its PDU line with it; power-on lines are counted.
  auto routed = f.Take("\r\n+CMT: ,23\r\n0791AB\r\n\r\nRDY\r\n\r\nOK\r\n");
  EXPECT_EQ(routed.unsolicited.size(), 3u);
  EXPECT_EQ(routed.powerOn, 1);
  EXPECT_EQ(routed.reply.find("0791AB"), std::string::npos);
  EXPECT_TRUE(ReplyHoldsOk(routed.reply));
}

// Two indications between a listing header and its PDU: neither is the PDU,
// read raw or through the filter.
TEST(UnsolicitedLines, TwoIndicationsBetweenAListingHeaderAndItsPdu) {
  const std::string reply =
      "\r\n+CMGL: 1,0,,23\r\n+CMTI: \"SM\",2\r\n\r\n+CMTI: \"SM\",3\r\n0791AB\r\n+CMGL: 2,0,,23\r\n0791CD\r\n\r\nOK\r\n";
  for (const std::string& text : {reply, UnsolicitedFilter().Take(reply).reply}) {
    auto listed = ParseCmglListing(text);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].index, 1);
    EXPECT_EQ(listed[0].pdu, "0791AB");
    EXPECT_EQ(listed[1].pdu, "0791CD");
  }
}

// A burst of line ends alone (the end of a reply sent in pieces) is still a
// reply; one that only finishes an unsolicited line is not.
TEST(UnsolicitedLines, LineEndsAloneAreAReplyPiece) {
  UnsolicitedFilter f;
  EXPECT_TRUE(f.Take("\r\n").AnyReply());
  EXPECT_FALSE(f.Take("\r\nRI").AnyReply());
  EXPECT_FALSE(f.Take("NG\r\n").AnyReply());
}

TEST(Replies, SimStartingLineNamesTheWordsOfASimStillStartingUp) {
  const std::pair<const char*, const char*> cases[] = {
      {"\r\n+CMS ERROR: 314\r\n", "+CMS ERROR: 314"},
      {"\r\n+CMS ERROR: 310\r\n", "+CMS ERROR: 310"},
      {"\r\n+CMS ERROR: 315\r\n", "+CMS ERROR: 315"},
      {"\r\n+CME ERROR: 14\r\n", "+CME ERROR: 14"},
      {"\r\n+CME ERROR: SIM busy\r\n", "+CME ERROR: SIM busy"},
      {"\r\n+CPIN: NOT READY\r\n\r\nOK\r\n", "+CPIN: NOT READY"},
      // Anything else is an answer of its own.
      {"\r\n+CMS ERROR: 316\r\n", ""},
      {"\r\n+CMS ERROR: 322\r\n", ""},
      {"\r\n+CME ERROR: 10\r\n", ""},
      {"\r\n+CPIN: READY\r\n\r\nOK\r\n", ""},
      {"\r\n+CSCA: \"+12345678901\",145\r\n\r\nOK\r\n", ""},
      {"\r\nERROR\r\n", ""},
  };
  for (const auto& [reply, line] : cases) EXPECT_EQ(SimStartingLine(reply), line) << reply;
  EXPECT_EQ(ParseCpinReply("\r\n+CPIN: NOT READY\r\n").code, SimCode::Busy);
}

TEST(Replies, StoreUseAndFullStoreAsPhonesSayThem) {
  auto use = ParseCpmsRead("\r\n+CPMS: \"SM\",9,10,\"SM\",9,10,\"SM\",9,10\r\n\r\nOK\r\n");
  ASSERT_TRUE(use.has_value());
  EXPECT_EQ(use->memory, "SM");
  EXPECT_EQ(use->used, 9);
  EXPECT_EQ(use->total, 10);
  use = ParseCpmsRead("\r\n+CPMS: ME, 0, 1000, ME, 0, 1000\r\n\r\nOK\r\n");  // unquoted, blanks
  ASSERT_TRUE(use.has_value());
  EXPECT_EQ(use->memory, "ME");
  EXPECT_EQ(use->total, 1000);
  EXPECT_FALSE(ParseCpmsRead("\r\n+CPMS: 0,130,0,30,0,30\r\n\r\nOK\r\n").has_value());  // the answer to a choice
  EXPECT_FALSE(ParseCpmsRead("\r\n+CPMS: \"SM\",1,0\r\n").has_value());
  EXPECT_FALSE(ParseCpmsRead("\r\nERROR\r\n").has_value());

  EXPECT_EQ(StoreFullLine("\r\n+CMS ERROR: 322\r\n"), "+CMS ERROR: 322");
  EXPECT_EQ(StoreFullLine("\r\n+CIEV: \"SMSFULL\",1\r\n"), "+CIEV: \"SMSFULL\",1");
  EXPECT_EQ(StoreFullLine("\r\n+CIEV: smsfull, 0\r\n"), "");
  EXPECT_EQ(StoreFullLine("\r\n+CIEV: 2,1\r\n"), "");
  EXPECT_EQ(StoreFullLine("\r\n+CMS ERROR: 321\r\n"), "");
}
