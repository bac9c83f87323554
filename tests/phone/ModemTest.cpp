// AT dialogues with the phone's command interpreter, without a pty.
#include "Control.h"
#include "Modem.h"
#include "Transcript.h"

#include <gtest/gtest.h>

#include <random>

using namespace pdulink::phone;

namespace {

const char* kHelloHello = "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";
const char* kSubmitAbc = "0011000B912143658709F10000A70361F118";  // 17 TPDU octets

class ModemTest : public ::testing::Test {
 protected:
  ModemTest() : modem([this](OutputKind kind, std::string text) { (kind == OutputKind::Unsolicited ? urc : out) += text; }) {}

  // Sends a line (CR added) with echo off and returns what came back.
  std::string At(const std::string& line) {
    out.clear();
    modem.Receive(line + "\r");
    return out;
  }
  void Quiet() { At("ATE0"); }
  void Store(const char* hex, MessageState state = MessageState::ReceivedUnread) {
    Bytes pdu;
    ASSERT_TRUE(FromHex(hex, pdu));
    ASSERT_GT(modem.Deliver(pdu, std::nullopt, state), 0);
  }
  std::string Ctl(const std::string& line) {
    ControlActions actions;
    return Control(modem, [] { return Millis{0}; }).Execute(line, actions);
  }

  std::string out, urc;
  Modem modem;
};

TEST_F(ModemTest, EchoIsOnAtStartAndReturnsTheLineAsReceived) {
  EXPECT_EQ("at\r\r\nOK\r\n", At("at"));
  EXPECT_EQ("ATE0\r\r\nOK\r\n", At("ATE0"));  // the line that turns echo off is still echoed
  EXPECT_EQ("\r\nOK\r\n", At("AT"));
  EXPECT_EQ("\r\nOK\r\n", At("ATE1"));
  EXPECT_EQ("AT\r\r\nOK\r\n", At("AT"));
  EXPECT_EQ("ATE0;Z\r\r\nOK\r\n", At("ATE0;Z"));  // ATZ brings echo back
  EXPECT_EQ("AT\r\r\nOK\r\n", At("AT"));
}

TEST_F(ModemTest, LineEndsWithCrWhateverTheSplit) {
  Quiet();
  out.clear();
  for (char c : std::string("AT+CSQ\r\n\nAT\r")) modem.Receive(std::string(1, c));
  EXPECT_EQ("\r\n+CSQ: 21,99\r\n\r\nOK\r\n\r\nOK\r\n", out);
  EXPECT_EQ("", At(""));  // an empty line gets no answer
  EXPECT_EQ("\r\nOK\r\n", At("ATQX\x08\x08"));  // backspace edits the line
}

TEST_F(ModemTest, CommandRepliesLikeAHandset) {
  Quiet();
  struct Case {
    const char* line;
    const char* reply;
  } cases[] = {
      {"AT+CGMI", "\r\npdulink\r\n\r\nOK\r\n"},
      {"AT+CPMS=?", "\r\n+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"ME\",SM", "\r\n+CPMS: 0,100,0,30,0,30\r\n\r\nOK\r\n"},
      {"AT+CPMS?", "\r\n+CPMS: \"ME\",0,100,\"SM\",0,30,\"SM\",0,30\r\n\r\nOK\r\n"},
      {"AT+CPMS=XX", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CPMS=", "\r\nERROR\r\n"},
      {"AT+CSCA?", "\r\n+CSCA: \"+12345678901\",145\r\n\r\nOK\r\n"},
      {"AT+CSCA=0301234", "\r\nOK\r\n"},
      {"AT+CSCA?", "\r\n+CSCA: \"0301234\",129\r\n\r\nOK\r\n"},
      {"AT+CSMS=0", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"},
      {"AT+CMGF=0;+CALM=1;+CALM?", "\r\n+CALM: 1\r\n\r\nOK\r\n"},
      {"AT+CBC", "\r\n+CBC: 0,80\r\n\r\nOK\r\n"},
      {"AT+CPAS=?", "\r\n+CPAS: (0-5)\r\n\r\nOK\r\n"},
      {"AT+CPAS;+CLCC", "\r\n+CPAS: 0\r\n\r\nOK\r\n"},
      {"AT+CPIN?;+CREG?", "\r\n+CPIN: READY\r\n\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
      {"AT+CMGD=101", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGR=1", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGL=5", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CMGL=\"ALL\"", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+XYZ", "\r\nERROR\r\n"},
      {"ATA", "\r\nNO CARRIER\r\n"},
      {"hello", "\r\nERROR\r\n"},
      {"AT+CGMI;+BOGUS;+CGMM", "\r\npdulink\r\n\r\nERROR\r\n"},  // stops at the failing command
  };
  for (const auto& c : cases) EXPECT_EQ(c.reply, At(c.line)) << c.line;
}

TEST_F(ModemTest, ListingShowsUnreadOnceThenAsRead) {
  Quiet();
  Store(kHelloHello);
  Store(kHelloHello);
  Store(kSubmitAbc, MessageState::StoredUnsent);
  std::string unread = std::string("\r\n+CMGL: 1,0,,27\r\n") + kHelloHello + "\r\n+CMGL: 2,0,,27\r\n" + kHelloHello +
                       "\r\n\r\nOK\r\n";
  EXPECT_EQ(unread, At("AT+CMGL=0"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGL=0"));
  EXPECT_EQ(std::string("\r\n+CMGL: 3,2,,17\r\n") + kSubmitAbc + "\r\n\r\nOK\r\n", At("AT+CMGL=2"));
  EXPECT_EQ(std::string("\r\n+CMGR: 1,,27\r\n") + kHelloHello + "\r\n\r\nOK\r\n", At("AT+CMGR=1"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGD=1;+CMGD=1"));  // deleting an empty slot is fine
  EXPECT_EQ("\r\n+CMGD: (2,3),(0-4)\r\n\r\nOK\r\n", At("AT+CMGD=?"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGD=0,1"));  // all read ones
  EXPECT_EQ("\r\n+CPMS: 1,30,1,30,1,30\r\n\r\nOK\r\n", At("AT+CPMS=SM"));
}

TEST_F(ModemTest, ReadingMarksUnreadAsRead) {
  Quiet();
  Store(kHelloHello);
  EXPECT_EQ(std::string("\r\n+CMGR: 0,,27\r\n") + kHelloHello + "\r\n\r\nOK\r\n", At("AT+CMGR=1"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGL=0"));
}

TEST_F(ModemTest, SendChecksLengthAndPduAndCountsReferences) {
  Quiet();
  struct Case {
    const char* length;
    std::string pdu;
    const char* reply;
  } cases[] = {
      {"17", std::string(kSubmitAbc) + "\x1A", "\r\n+CMGS: 0\r\n\r\nOK\r\n"},
      {"17", std::string(kSubmitAbc) + "\x1A", "\r\n+CMGS: 1\r\n\r\nOK\r\n"},
      {"18", std::string(kSubmitAbc) + "\x1A", "\r\n+CMS ERROR: 304\r\n"},
      {"17", "0011000B912143658709F10000A70361F1XY\x1A", "\r\n+CMS ERROR: 304\r\n"},
      {"2", "0004FF\x1A", "\r\n+CMS ERROR: 304\r\n"},       // not an SMS-SUBMIT
      {"17", "0011000B91214365\x1B", ""},                    // ESC: no result at all
      {"17", std::string("0011000B912143658709\r\nF10000A70361F118") + "\x1A", "\r\n+CMGS: 2\r\n\r\nOK\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ("\r\n> ", At(std::string("AT+CMGS=") + c.length)) << c.pdu;
    out.clear();
    modem.Receive(c.pdu);
    EXPECT_EQ(c.reply, out) << c.pdu;
  }
  EXPECT_EQ("\r\nOK\r\n", At("AT"));  // back in command mode after ESC
  EXPECT_EQ("\r\n+CMS ERROR: 304\r\n", At("AT+CMGS=0"));
  ASSERT_EQ(3u, modem.Submissions().size());
  EXPECT_EQ(kSubmitAbc, modem.Submissions()[2].pduHex);
}

TEST_F(ModemTest, RingingShowsInStatusAndCallListUntilHangUp) {
  Quiet();
  At("AT+CLIP=1");
  modem.settings.ringIntervalMs = 1000;
  modem.StartRing("+4930123", 0);
  modem.Tick(0);
  EXPECT_EQ("\r\nRING\r\n\r\n+CLIP: \"+4930123\",145\r\n", urc);
  urc.clear();
  modem.Tick(999);
  EXPECT_EQ("", urc);
  modem.Tick(1000);
  EXPECT_EQ("\r\nRING\r\n\r\n+CLIP: \"+4930123\",145\r\n", urc);
  EXPECT_EQ("\r\n+CPAS: 3\r\n\r\n+CLCC: 1,1,4,0,0,\"+4930123\",145\r\n\r\nOK\r\n", At("AT+CPAS;+CLCC"));
  EXPECT_EQ("\r\nOK\r\n", At("ATH0"));
  EXPECT_EQ("\r\n+CPAS: 0\r\n\r\nOK\r\n", At("AT+CPAS;+CLCC"));
  EXPECT_EQ(-1, modem.NextDue());
  // Answered, then the caller hangs up.
  modem.StartRing("", 5000);
  EXPECT_EQ("\r\n+CLCC: 1,1,4,0,0,\"\",128\r\n\r\nOK\r\n", At("AT+CLCC"));
  EXPECT_EQ("\r\nOK\r\n", At("ATA"));
  EXPECT_EQ("\r\n+CPAS: 4\r\n\r\nOK\r\n", At("AT+CPAS"));
  urc.clear();
  modem.RemoteHangup();
  EXPECT_EQ("\r\nNO CARRIER\r\n", urc);
}

TEST_F(ModemTest, FaultsReplaceRepliesUntilClearedOrCounted) {
  Quiet();
  EXPECT_EQ("OK\n", Ctl("fail +CMGL silent"));
  EXPECT_EQ("OK\n", Ctl("fail times=1 AT+CSQ cms 500"));
  EXPECT_EQ("OK\n", Ctl("fail ATE reply \\r\\nBUSY\\r\\n"));
  EXPECT_EQ("OK\n", Ctl("fail PDU cms 38"));
  EXPECT_EQ("", At("AT+CMGL=4"));
  EXPECT_EQ("\r\n+CMS ERROR: 500\r\n", At("AT+CSQ"));
  EXPECT_EQ("\r\n+CSQ: 21,99\r\n\r\nOK\r\n", At("AT+CSQ"));
  EXPECT_EQ("\r\nBUSY\r\n", At("ATE0"));
  EXPECT_EQ("\r\n> ", At("AT+CMGS=17"));
  out.clear();
  modem.Receive(std::string(kSubmitAbc) + "\x1A");
  EXPECT_EQ("\r\n+CMS ERROR: 38\r\n", out);
  EXPECT_EQ("cleared 3\nOK\n", Ctl("unfail"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGL=4"));

  // Patterns with "=" are patterns, not options; the test form can fail on
  // its own while the command itself still answers, and faults are matched
  // in the order they were set.
  EXPECT_EQ("OK\n", Ctl("fail +CLCC=? reply \\r\\nOK\\r\\n"));
  EXPECT_EQ("OK\n", Ctl("fail times=1 AT+CPAS=? error"));
  EXPECT_EQ("OK\n", Ctl("fail +CLCC reply \\r\\n+CLCC: 1,1,4,0,0,\\\"12AB\\\",129\\r\\n\\r\\nOK\\r\\n"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CLCC=?"));
  EXPECT_EQ("\r\n+CLCC: 1,1,4,0,0,\"12AB\",129\r\n\r\nOK\r\n", At("AT+CLCC"));
  EXPECT_EQ("\r\nERROR\r\n", At("AT+CPAS=?"));
  EXPECT_EQ("\r\n+CPAS: (0-5)\r\n\r\nOK\r\n", At("AT+CPAS=?"));
  EXPECT_EQ("\r\n+CPAS: 0\r\n\r\nOK\r\n", At("AT+CPAS"));
  EXPECT_EQ("ERROR unknown option tries\n", Ctl("fail tries=2 +CSQ error"));
}

TEST_F(ModemTest, MtViewFillsSimThenPhoneAndFullMemoryRefuses) {
  Quiet();
  EXPECT_EQ("OK\n", Ctl("capacity SM 1"));
  EXPECT_EQ("OK\n", Ctl("capacity ME 1"));
  EXPECT_EQ("\r\n+CPMS: 0,2,0,2,0,2\r\n\r\nOK\r\n", At("AT+CPMS=MT,MT,MT"));
  EXPECT_EQ("stored MT 1\nOK\n", Ctl("deliver +1 one"));
  EXPECT_EQ("stored MT 2\nOK\n", Ctl("deliver +1 two"));
  EXPECT_EQ("ERROR memory MT full (2 of 2 used, 1 needed)\n", Ctl("deliver +1 three"));
  std::string dump = Ctl("dump stored");
  EXPECT_EQ(0u, dump.find("stored SM 1 0 ")) << dump;
  EXPECT_NE(std::string::npos, dump.find("\nstored ME 1 0 ")) << dump;
  EXPECT_EQ("\r\n+CPMS: 1,1,1,1,2,2\r\n\r\nOK\r\n", At("AT+CPMS=ME,SM"));
}

TEST_F(ModemTest, NewMessageIndicationsFollowCnmi) {
  Quiet();
  EXPECT_EQ("\r\nOK\r\n", At("AT+CNMI=2,1,0,2"));
  EXPECT_EQ("stored SM 1\nOK\n", Ctl("deliver +1 hi"));
  EXPECT_EQ("\r\n+CMTI: \"SM\",1\r\n", urc);
  urc.clear();
  EXPECT_EQ("stored SM 2\nOK\n", Ctl("status-report 7 +4912345 0"));
  EXPECT_EQ("\r\n+CDSI: \"SM\",2\r\n", urc);
  urc.clear();
  At("AT+CNMI=2,2");
  std::string reply = Ctl("deliver time=050619222217+12 1098765432 hellohello");
  EXPECT_EQ(std::string("routed ") + kHelloHello + "\nOK\n", reply);
  EXPECT_EQ(std::string("\r\n+CMT: ,27\r\n") + kHelloHello + "\r\n", urc);
}

TEST_F(ModemTest, ControlRejectsBadInputWithReasons) {
  Quiet();
  struct Case {
    const char* line;
    const char* reply;
  } cases[] = {
      {"", "ERROR empty command\n"},
      {"frobnicate", "ERROR unknown command frobnicate (try help)\n"},
      {"deliver", "ERROR missing sender\n"},
      {"deliver mem=XX +1 hi", "ERROR unknown memory XX (SM, ME or MT)\n"},
      {"deliver colour=red +1 hi", "ERROR unknown option colour\n"},
      {"deliver coding=gsm +1 \xD0\x96", "ERROR text has characters outside the GSM alphabet\n"},
      {"deliver +1 \xC3", "ERROR text is not valid UTF-8\n"},
      {"deliver-pdu 0791", "ERROR service-centre field does not fit\n"},
      {"deliver-pdu 00X1", "ERROR PDU is not hexadecimal\n"},
      {"battery 101", "ERROR level must be a number from 0 to 100\n"},
      {"chunks 10", "ERROR missing pause\n"},
      {"fail +CMGL explode", "ERROR kind must be error, cms, cme, silent or reply\n"},
      {"ring 0301x", "ERROR number may hold digits, +, * and # only\n"},
      {"memories SM,XY", "ERROR unknown memory XY (SM, ME or MT)\n"},
      {"status extra", "ERROR unexpected \"extra\"\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reply, Ctl(c.line)) << c.line;
  EXPECT_EQ("OK\n", Ctl("memories SM"));
  EXPECT_EQ("ERROR memory ME is not available\n", Ctl("deliver mem=ME +1 hi"));
  EXPECT_EQ("\r\n+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\n\r\nOK\r\n", At("AT+CPMS=?"));
}

}  // namespace

namespace {

// Untrusted input from either side must only ever produce replies.
TEST_F(ModemTest, RandomInputOnlyEverProducesReplies) {
  std::mt19937 random(20240607);
  const std::vector<std::string> pieces = {
      "AT", "+CMGS=", "+CMGL=", "+CMGR=", "+CMGD=", "+CPMS=", "+CSCA=", "+CMGW=", "+CNMI=", "S", "D", "E", "&F",
      "=", "?", ";", ",", "\"", "\r", "\n", "\x1A", "\x1B", "\x08", "17", "99999999999", "-1", "\"SM\"", "FF", "00",
      "0011000B912143658709F10000A70361F118", "+", "H", "A"};
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    for (int k = 0, n = static_cast<int>(random() % 12); k < n; ++k) {
      if (random() % 5 == 0)
        input.push_back(static_cast<char>(random() % 256));
      else
        input += pieces[random() % pieces.size()];
    }
    modem.Receive(input);
  }
  const std::vector<std::string> words = {"deliver", "deliver-pdu", "status-report", "fail", "ring", "chunks", "capacity",
                                          "mem=SM", "ref=300", "time=050619222217+99", "+1", "MyBank", "\\x", "\\",
                                          "00", "0791", "\xC3", "SM", "0", "ucs2", "reply", "\"", "cms", "999999999999"};
  for (int round = 0; round < 3000; ++round) {
    std::string line;
    for (int k = 0, n = static_cast<int>(random() % 6); k < n; ++k) line += words[random() % words.size()] + " ";
    std::string reply = Ctl(line);
    ASSERT_TRUE(reply.size() >= 3 && (reply.rfind("OK\n") == reply.size() - 3 || reply.find("ERROR") != std::string::npos))
        << line << " -> " << reply;
  }
  modem.HostClosed();
  Ctl("unfail");
  At("ATE0");
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGF=0;H"));  // still a working phone afterwards
}

}  // namespace

namespace {

TEST_F(ModemTest, WriteStoreSendFromStorageAndCallWaiting) {
  Quiet();
  struct Case {
    std::string input;
    const char* reply;
  } cases[] = {
      {"AT+CMGW=17\r", "\r\n> "},
      {std::string(kSubmitAbc) + "\x1A", "\r\n+CMGW: 1\r\n\r\nOK\r\n"},
      {"AT+CMGL=2\r", "\r\n+CMGL: 1,2,,17\r\n0011000B912143658709F10000A70361F118\r\n\r\nOK\r\n"},
      {"AT+CMSS=1\r", "\r\n+CMSS: 0\r\n\r\nOK\r\n"},
      {"AT+CMGL=3\r", "\r\n+CMGL: 1,3,,17\r\n0011000B912143658709F10000A70361F118\r\n\r\nOK\r\n"},
      {"AT+CMSS=2\r", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CSCS=\"UCS2\";+CSCA?\r", "\r\n+CSCA: \"002B00310032003300340035003600370038003900300031\",145\r\n\r\nOK\r\n"},
      {"AT+CSCA=\"002B0034003900310037\";+CSCS=\"GSM\";+CSCA?\r", "\r\n+CSCA: \"+4917\",145\r\n\r\nOK\r\n"},
      {"ATS0=2;S0?\r", "\r\n002\r\n\r\nOK\r\n"},
      {"ATS0000=1\r", "\r\nERROR\r\n"},
      {"ATD+4930123;\r", "\r\nOK\r\n"},
      {"ATD+4930123\r", "\r\nNO CARRIER\r\n"},  // no data calls
  };
  for (const auto& c : cases) {
    out.clear();
    modem.Receive(c.input);
    EXPECT_EQ(c.reply, out) << c.input;
  }
  modem.StartRing("+4940111", 0);
  EXPECT_EQ("", urc);  // a waiting call does not ring
  EXPECT_EQ("\r\n+CLCC: 1,0,3,0,0,\"+4930123\",145\r\n\r\n+CLCC: 2,1,5,0,0,\"+4940111\",145\r\n\r\nOK\r\n",
            At("AT+CLCC"));
  EXPECT_EQ("\r\n+CPAS: 4\r\n\r\nOK\r\n", At("AT+CPAS"));
}

TEST(PhoneTranscript, ControlBytesAreVisible) {
  EXPECT_EQ("AT\\r\\n", EscapeBytes("AT\r\n"));
  EXPECT_EQ("0011\\x1A\\x1B\\\\\\t\\x00\\xFF", EscapeBytes(std::string("0011\x1A\x1B\\\t\0\xFF", 10)));
  EXPECT_EQ(std::string("a\r\n\"\x1A\\q\\x4", 10), Unescape("a\\r\\n\\\"\\x1A\\q\\x4"));
}

TEST_F(ModemTest, SimPinCounterLocksAfterThreeWrongPinsAndPukUnlocks) {
  Quiet();
  At("AT+CMEE=1");
  EXPECT_EQ("OK\n", Ctl("sim pin=4321 pin"));
  EXPECT_EQ("\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", At("AT+CPIN?"));
  // Message commands wait for the SIM; their test forms do not.
  EXPECT_EQ("\r\n+CMS ERROR: 311\r\n", At("AT+CPMS=\"SM\""));
  EXPECT_EQ("\r\n+CMS ERROR: 311\r\n", At("AT+CMGL=4"));
  EXPECT_NE(std::string::npos, At("AT+CPMS=?").find("+CPMS: "));
  EXPECT_EQ("\r\n+CREG: 0,0\r\n\r\nOK\r\n", At("AT+CREG?"));

  EXPECT_EQ("\r\n+CME ERROR: 16\r\n", At("AT+CPIN=\"1111\""));
  EXPECT_EQ("\r\n+CME ERROR: 16\r\n", At("AT+CPIN=2222"));
  EXPECT_NE(std::string::npos, Ctl("status").find("sim=pin pin-attempts=1"));
  EXPECT_EQ("\r\n+CME ERROR: 16\r\n", At("AT+CPIN=\"3333\""));
  EXPECT_EQ("\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", At("AT+CPIN?"));
  // Now even the right PIN is no use, only the PUK with a new PIN.
  EXPECT_EQ("\r\n+CME ERROR: 16\r\n", At("AT+CPIN=\"4321\""));
  EXPECT_EQ("\r\n+CMS ERROR: 316\r\n", At("AT+CMGL=4"));
  EXPECT_EQ("\r\n+CME ERROR: 16\r\n", At("AT+CPIN=\"00000000\",\"5555\""));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CPIN=\"12345678\",\"5555\""));
  EXPECT_EQ("\r\n+CPIN: READY\r\n\r\nOK\r\n", At("AT+CPIN?"));
  EXPECT_EQ("\r\n+CME ERROR: 3\r\n", At("AT+CPIN=\"5555\""));  // nothing pending
  EXPECT_NE(std::string::npos, Ctl("status").find("sim=ready pin-attempts=3 creg=1"));

  // The right PIN at the first try; without AT+CMEE=1 errors are plain.
  EXPECT_EQ("OK\n", Ctl("sim pin"));
  At("AT+CMEE=0");
  EXPECT_EQ("\r\nERROR\r\n", At("AT+CPIN=\"1234\""));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CPIN=\"5555\""));
}

TEST_F(ModemTest, SimBusyForItsDelayAfterThePinAndOtherStates) {
  Millis now = 1000;
  modem.clock = [&now] { return now; };
  Quiet();
  At("AT+CMEE=1");
  EXPECT_EQ("OK\n", Ctl("sim delay=2500 pin"));
  EXPECT_EQ("\r\nOK\r\n", At("AT+CPIN=\"1234\""));
  now += 2499;
  EXPECT_EQ("\r\n+CME ERROR: 14\r\n", At("AT+CPIN?"));
  EXPECT_EQ("\r\n+CMS ERROR: 314\r\n", At("AT+CPMS=\"SM\""));
  now += 1;
  EXPECT_EQ("\r\n+CPIN: READY\r\n\r\nOK\r\n", At("AT+CPIN?"));

  EXPECT_EQ("OK\n", Ctl("sim absent"));
  EXPECT_EQ("\r\n+CME ERROR: 10\r\n", At("AT+CPIN?"));
  EXPECT_EQ("\r\n+CMS ERROR: 310\r\n", At("AT+CSCA?"));
  EXPECT_EQ("OK\n", Ctl("sim pin2"));
  EXPECT_EQ("\r\n+CPIN: SIM PIN2\r\n\r\nOK\r\n", At("AT+CPIN?"));
  EXPECT_NE(std::string::npos, At("AT+CSCA?").find("+CSCA:"));  // PIN2 does not stop messages
  EXPECT_EQ("ERROR state must be ready, pin, puk, pin2 or absent\n", Ctl("sim locked"));
  EXPECT_EQ("ERROR pin must be 4 to 8 digits\n", Ctl("sim pin=12a4"));
}

TEST_F(ModemTest, RegistrationStatesAndTheirAnnouncement) {
  Quiet();
  EXPECT_EQ("OK\n", Ctl("creg 5"));
  EXPECT_EQ("", urc);  // AT+CREG=0: no announcement
  EXPECT_EQ("\r\n+CREG: 0,5\r\n\r\nOK\r\n", At("AT+CREG?"));
  At("AT+CREG=1");
  EXPECT_EQ("OK\n", Ctl("creg 2"));
  EXPECT_EQ("\r\n+CREG: 2\r\n", urc);
  urc.clear();
  At("AT+CREG=2");
  EXPECT_EQ("OK\n", Ctl("creg 3"));
  EXPECT_EQ("\r\n+CREG: 3,\"0001\",\"0001\"\r\n", urc);
  EXPECT_EQ("\r\n+CREG: 2,3,\"0001\",\"0001\"\r\n\r\nOK\r\n", At("AT+CREG?"));
  EXPECT_EQ("ERROR stat must be a number from 0 to 10\n", Ctl("creg 11"));
  EXPECT_EQ("OK\n", Ctl("signal 99 99"));
  EXPECT_EQ("\r\n+CSQ: 99,99\r\n\r\nOK\r\n", At("AT+CSQ"));
}

}  // namespace

namespace {

// "reports on": every send that asks for a report (TP-SRR) is answered with
// one stored status report per status, after the delay; references wrap.
TEST_F(ModemTest, SendsAnsweredWithTimedStatusReportsAndReferencesWrap) {
  modem.clock = [] { return Millis{1000}; };
  Quiet();
  ASSERT_EQ("OK\n", Ctl("reports delay=500 status=0x21,0 on"));
  ASSERT_EQ("OK\n", Ctl("next-mr 255"));
  const std::string withSrr = "0031000B912143658709F10000A70361F118";  // kSubmitAbc with TP-SRR
  ASSERT_EQ("\r\n> ", At("AT+CMGS=17"));
  out.clear();
  modem.Receive(withSrr + "\x1A");
  EXPECT_EQ("\r\n+CMGS: 255\r\n\r\nOK\r\n", out);
  ASSERT_EQ("\r\n> ", At("AT+CMGS=17"));
  out.clear();
  modem.Receive(std::string(kSubmitAbc) + "\x1A");  // no report asked for
  EXPECT_EQ("\r\n+CMGS: 0\r\n\r\nOK\r\n", out);
  EXPECT_EQ(2u, modem.PendingReports());
  EXPECT_EQ(1500, modem.NextDue());

  modem.Tick(1499);
  EXPECT_EQ("\r\nOK\r\n", At("AT+CMGL=4"));
  modem.Tick(1500);
  modem.Tick(2000);
  EXPECT_EQ(0u, modem.PendingReports());
  // Recipient as submitted (international), reference 255, the status, and
  // the parameter indicator the gateway's decoder wants.
  const std::string listed = At("AT+CMGL=4");
  EXPECT_NE(listed.find("\r\n+CMGL: 1,0,,26\r\n07912143658709F106FF0B912143658709F1"), std::string::npos) << listed;
  EXPECT_NE(listed.find("2100\r\n+CMGL: 2,0,,26\r\n"), std::string::npos) << listed;
  EXPECT_NE(listed.find("0000\r\n\r\nOK\r\n"), std::string::npos) << listed;
  EXPECT_EQ("ERROR say on or off\n", Ctl("reports maybe"));
  EXPECT_EQ("ERROR message reference must be a number from 0 to 255\n", Ctl("next-mr 256"));
}

}  // namespace

namespace {

// The noisy phone: an indication held for the next command and written
// where the place says; the indication modes and receive memories offered.
TEST_F(ModemTest, NoisyPhonePlacesUnsolicitedLinesWhereTheyHurt) {
  Quiet();
  At("AT+CNMI=2,1,0,2");
  EXPECT_EQ("OK\n", Ctl("noise place=between on"));
  Ctl("deliver +1 first");
  EXPECT_EQ("", urc);  // held for the next command
  EXPECT_EQ("\r\n+CMGS: 0\r\n\r\nOK\r\n", [&] {
    At(std::string("AT+CMGS=17"));
    EXPECT_EQ("\r\n+CMTI: \"SM\",1\r\n", urc);  // between the command and its prompt
    out.clear();
    modem.Receive(std::string(kSubmitAbc) + "\x1A");
    return out;
  }());
  urc.clear();

  Ctl("noise place=before-pdu on");
  Ctl("deliver during=+CMGR +1 second");
  EXPECT_NE(At("AT+CMGR=1").find("+CMGR: 0,,"), std::string::npos);
  EXPECT_NE(out.find("\r\n+CMTI: \"SM\",2\r\n07"), std::string::npos) << out;

  Ctl("noise place=split on");
  Ctl("deliver +1 third");
  At("AT");
  EXPECT_EQ(urc.find("+CMTI: \"SM\",3"), std::string::npos) << urc;  // only its start
  EXPECT_NE((urc + out).find("+CMTI: \"SM\",3\r\n"), std::string::npos) << urc << out;

  EXPECT_EQ("OK\n", Ctl("noise modes=1,3 receive=SM,ME off"));
  EXPECT_EQ("\r\n+CNMI: (1,3),(0-3),(0,2),(0-2),(0,1)\r\n\r\nOK\r\n", At("AT+CNMI=?"));
  EXPECT_EQ("\r\n+CMS ERROR: 303\r\n", At("AT+CNMI=2,1"));
  EXPECT_NE(At("AT+CPMS=?").find(",(\"SM\",\"ME\")\r\n"), std::string::npos) << out;
  EXPECT_NE(At("AT+CPMS=MT,MT,MT").find("ERROR"), std::string::npos);
  EXPECT_NE(At("AT+CPMS=MT,MT,ME").find("OK"), std::string::npos);
  EXPECT_NE(Ctl("noise place=nowhere on").find("ERROR"), std::string::npos);
}

}  // namespace
