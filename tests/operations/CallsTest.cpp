// The incoming-call duty against the simulated phone: a ringing call through
// the polling cycle, hung up and recorded; then the operation on its own for
// the call lists and phones that should not record or not hang up.
#include <QCheckBox>
#include <QToolButton>
#include <filesystem>

#include "Calls.h"
#include "GatewayFixture.h"
#include "PhoneScript.h"
#include "TempDir.h"
#include "sms_decode.h"

namespace {

using pdulink::test::EscapeReply;

struct Archived {
  std::string pdu;
  bool save = false;
};

class CallsTest : public GatewayTest {
 protected:
  void Begin(const std::string& keys) {
    Start(keys);
    Connect();
    // Records each call message, then hands it on to the real archive.
    auto real = form->gateway().calls().ArchiveMessage;
    form->gateway().calls().ArchiveMessage = [this, real](const std::string& pdu, bool save) {
      archived.push_back({pdu, save});
      return real ? real(pdu, save) : true;
    };
  }
  // Runs the operation by itself: no passes, and every wait counts ticks.
  std::string CheckAlone() {
    FastTicks();
    form->clock().PendingCommand = kNoCommand;
    return form->gateway().calls().CheckIncomingCall();
  }
  // The phone answers AT+CLCC with this raw call list (AT+CLCC=? still OK).
  void CallList(const std::string& entries) {
    ASSERT_EQ(phone->Control("fail +CLCC=? reply " + EscapeReply("\r\nOK\r\n")), "OK\n");
    ASSERT_EQ(phone->Control("fail +CLCC reply " + EscapeReply(entries + "\r\nOK\r\n")), "OK\n");
  }
  // The files in dir with this extension.
  static size_t FileCount(const std::string& dir, const std::string& ext) {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.path().extension() == ext;
    return n;
  }
  bool PhoneHasCall() const { return phone->Control("status").find("calls=0") == std::string::npos; }
  size_t Hangups() const {
    size_t n = 0;
    for (const auto& line : Received()) n += line == "ATH0\\r";
    return n;
  }
  std::vector<Archived> archived;
};

TEST_F(CallsTest, RingingCallIsHungUpAndRecordedThroughTheCycle) {
  pdulink::test::TempDir logs("pdulink-calls");
  Begin("InCalls=1\r\nSaveCalls=1\r\nLogDir=" + logs.Path() + "\r\n");
  // The moment of the worked example: 21:54:46 on 6 December 2026, UTC+3.
  form->gateway().calls().Now = [] { return pdulink::ZonedTime{{2026, 12, 6, 21, 54, 46, 0}, -180}; };
  ASSERT_EQ(phone->Control("ring +12345678901"), "OK\n");
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Terminate incoming call:") && form->clock().PendingCommand == kDutyPass; }))
      << Journal();
  ASSERT_TRUE(RunUntil([&] { return !PhoneHasCall(); })) << phone->Control("status");

  ASSERT_EQ(archived.size(), 1u);
  EXPECT_EQ(archived[0].pdu, "0191040B912143658709F100006221601245642106A36198CD1E01");
  EXPECT_TRUE(archived[0].save);
  pdulink::tSMSDecode d;
  d.Decode(archived[0].pdu);
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(d.Address, "12345678901");
  EXPECT_EQ(d.Text, "#Call#");
  // The result line: the number as the phone gave it, after the hang-up.
  std::string journal = Journal();
  size_t result = journal.find(" +12345678901", journal.find("Terminate incoming call:"));
  ASSERT_NE(result, std::string::npos) << journal;
  EXPECT_TRUE(result + 13 == journal.size() || journal[result + 13] == '\n') << journal;

  std::vector<std::string> sent = Received();
  std::vector<std::string> expected = {"AT+CPAS=?\\r", "AT+CPAS\\r", "AT+CLCC=?\\r", "AT+CLCC\\r", "ATH0\\r"};
  auto at = std::search(sent.begin(), sent.end(), expected.begin(), expected.end());
  EXPECT_NE(at, sent.end()) << phone->Transcript();
  EXPECT_FALSE(form->dialogue().RingFlag);
  // The assembly hands the call to the real archive: files in the log directory.
  ASSERT_TRUE(RunUntil([&] { return FileCount(logs.Path(), ".xml") == 1; })) << Journal();
  EXPECT_EQ(FileCount(logs.Path(), ".txt"), 1u);
  for (const auto& e : std::filesystem::directory_iterator(logs.Path()))
    if (e.path().extension() == ".txt") {
      const std::string text = pdulink::test::Slurp(e.path().string());
      EXPECT_NE(text.find("12345678901"), std::string::npos) << text;
      EXPECT_NE(text.find("#Call#"), std::string::npos) << text;
    }

  // Without "Save Call as SMS" the call is still archived, not saved.
  form->ui().cb_call_save->setChecked(false);
  ASSERT_EQ(phone->Control("ring 0301234"), "OK\n");
  ASSERT_TRUE(RunUntil([&] { return archived.size() == 2 && !PhoneHasCall(); })) << Journal();
  EXPECT_FALSE(archived[1].save);
  EXPECT_EQ(archived[1].pdu.substr(0, 20), "0191040791301032F400");
  EXPECT_EQ(FileCount(logs.Path(), ".txt"), 1u);  // archived, not saved

  // With "Receive (Reset) Incoming Calls" off, a ring is left alone.
  form->ui().cb_calls->setChecked(false);
  size_t rings = JournalCount("RING");
  size_t hangups = Hangups();
  ASSERT_EQ(phone->Control("ring +4930"), "OK\n");
  ASSERT_TRUE(RunUntil([&] { return JournalCount("RING") > rings; })) << Journal();
  uint32_t until = form->clock().SecondsCounter + 10;
  ASSERT_TRUE(RunUntil([&] { return form->clock().SecondsCounter >= until; }));
  EXPECT_TRUE(PhoneHasCall());
  EXPECT_EQ(Hangups(), hangups);
  EXPECT_EQ(archived.size(), 2u);
}

TEST_F(CallsTest, CallListsAndPhonesThatDoNotRecordOrDoNotHangUp) {
  Begin("InCalls=1\r\n");
  struct Case {
    const char* name;
    const char* ring;  // nullptr: no call; "": a hidden caller
    std::string callList;  // raw AT+CLCC entries, "" for the phone's own list
    std::vector<std::string> faults;
    const char* result;
    const char* recorded;  // the digits recorded, nullptr when nothing is
    bool hangUp;
    const char* note;  // a journal line the case must add, or ""
  } cases[] = {
      {"not ringing", nullptr, "", {}, "", nullptr, false, ""},
      {"international", "+12345678901", "", {}, "+12345678901", "12345678901", true, ""},
      {"even digit count", "+1234567890", "", {}, "+1234567890", "1234567890", true, ""},
      {"national", "0301234", "", {}, "0301234", "0301234", true, ""},
      {"hidden caller", "", "", {}, "OK", nullptr, true, "Hidden caller, call not recorded"},
      {"letters in the number", "+4930", "\r\n+CLCC: 1,1,4,0,0,\"12AB\",129\r\n", {}, "OK", nullptr, true,
       "Caller number not readable, call not recorded: 12AB"},
      {"waiting and outgoing calls only", "+4930",
       "\r\n+CLCC: 1,0,0,0,0,\"+4930\",145\r\n\r\n+CLCC: 2,1,5,0,0,\"+4940\",145\r\n", {}, "OK", nullptr, true, ""},
      {"second entry incoming", "+4930",
       "\r\n+CLCC: 1,0,1,0,0,\"+4930\",145\r\n\r\n+CLCC: 2,1,4,0,0,\"+4940\",145\r\n", {}, "+4940", "4940", true, ""},
      {"letters where numbers belong", "+4930", "\r\n+CLCC: x,1,four,0,0,\"+4930\",145\r\n", {}, "OK", nullptr, true,
       ""},
      {"no AT+CPAS", "+4930", "", {"+CPAS=? error"}, "", nullptr, false, ""},
      {"status not a number", "+4930", "", {"+CPAS=? reply \\r\\nOK\\r\\n", "+CPAS reply \\r\\n+CPAS: x\\r\\n\\r\\nOK\\r\\n"},
       "", nullptr, false, ""},
      {"no AT+CLCC", "+4930", "", {"+CLCC=? error"}, "OK", nullptr, true, ""},
      {"call list refused", "+4930", "", {"+CLCC=? reply \\r\\nOK\\r\\n", "+CLCC cme 100"}, "OK", nullptr, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    archived.clear();
    if (c.ring) {
      ASSERT_EQ(phone->Control(*c.ring ? std::string("ring ") + c.ring : "ring"), "OK\n");
    }
    if (!c.callList.empty()) CallList(c.callList);
    for (const auto& f : c.faults) ASSERT_EQ(phone->Control("fail " + f), "OK\n");
    size_t hangups = Hangups();
    size_t notes = *c.note ? JournalCount(c.note) : 0;
    form->dialogue().RingFlag = true;

    EXPECT_EQ(CheckAlone(), c.result);
    EXPECT_EQ(Hangups(), hangups + (c.hangUp ? 1 : 0));
    EXPECT_EQ(PhoneHasCall(), c.ring && !c.hangUp);
    if (c.hangUp) {
      EXPECT_FALSE(form->dialogue().RingFlag);
    }
    if (*c.note) {
      EXPECT_EQ(JournalCount(c.note), notes + 1) << Journal();
    }
    if (c.recorded) {
      ASSERT_EQ(archived.size(), 1u);
      EXPECT_FALSE(archived[0].save);  // "Save Call as SMS" is off
      pdulink::tSMSDecode d;
      d.Decode(archived[0].pdu);
      EXPECT_FALSE(d.HasError) << d.ErrorText;
      EXPECT_EQ(d.AddrType, 0x91);
      EXPECT_EQ(d.Address, c.recorded);
      EXPECT_EQ(d.Text, "#Call#");
    } else {
      EXPECT_TRUE(archived.empty());
    }
    phone->Control("unfail");
    phone->Control("ring-stop");
  }

  // Without an archive the call is still hung up, and the journal says why
  // it was not recorded.
  form->gateway().calls().ArchiveMessage = {};
  ASSERT_EQ(phone->Control("ring +4930123"), "OK\n");
  EXPECT_EQ(CheckAlone(), "OK");
  EXPECT_TRUE(JournalHas("No message archive, call not recorded: +4930123"));
  EXPECT_FALSE(PhoneHasCall());
}

TEST_F(CallsTest, RingingPhoneIsHungUpWhenTheOkComesInAPieceOfItsOwn) {
  // Every reply in 8-byte pieces, each far enough from the next to arrive as
  // a burst of its own: "\r\n+CPAS: 3\r\n\r\nOK\r\n" ends with a piece that
  // holds only the final CR LF, and the OK of the other replies is split
  // too. The whole reply still counts, and the call is hung up and recorded.
  Begin("InCalls=1\r\n");
  ASSERT_EQ(phone->Control("chunks 8 300"), "OK\n");
  ASSERT_EQ(phone->Control("ring +4930"), "OK\n");
  ASSERT_TRUE(RunUntil([&] { return !PhoneHasCall(); }, 30)) << Journal();
  EXPECT_TRUE(JournalHas("Terminate incoming call:"));
  ASSERT_EQ(archived.size(), 1u);
  pdulink::tSMSDecode d;
  d.Decode(archived[0].pdu);
  EXPECT_EQ(d.Address, "4930");
  // A piece that holds only the final CR LF went out on its own.
  EXPECT_NE(phone->Transcript().find("-> \\r\\n\n"), std::string::npos);
}

}  // namespace
