// A phone that speaks on its own at awkward moments (the simulated phone's
// noise control): indications and reports between a command and its reply,
// inside a reading's reply before and after its PDU line, a phone that keeps
// new messages outside the memory read, and a message prompt that comes
// after the gateway gave up. Unsolicited lines are never taken for replies.
#include <QPushButton>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <regex>

#include "GatewayFixture.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

class NoisyPhoneTest : public GatewayTest {
 protected:
  void StartWith(const std::string& keys, std::vector<std::string> phoneArgs = {"--memories", "SM"}) {
    Start("AutoConnect=1\r\nIndications=1\r\nLogDir=" + logs.Path() + "\r\n" + keys, std::move(phoneArgs));
  }
  void Noise(const std::string& options) { ASSERT_TRUE(phone->Ok(phone->Control("noise " + options))); }
  std::vector<std::string> Files(const std::string& dir, const std::string& pattern) const {
    std::vector<std::string> out;
    const std::regex re(pattern);
    for (auto& e : fs::directory_iterator(dir))
      if (std::regex_match(e.path().filename().string(), re)) out.push_back(e.path().string());
    return out;
  }
  size_t Archived(const std::string& extension) const { return Files(logs.Path(), ".*\\" + extension).size(); }
  bool PhoneEmpty() const { return phone->Control("dump stored").find("stored ") == std::string::npos; }
  void Drop(const std::string& name, const std::string& line) {
    const std::string path = outbox.Path() + "/" + name;
    std::ofstream(path + ".new") << line << "\r\n";
    fs::rename(path + ".new", path);
  }

  pdulink::test::TempDir logs{"pdulink-noisy"};
  pdulink::test::TempDir outbox{"pdulink-noisy-out"};
};

// Fast mode, indications and matched reports; every report is stored 20 ms
// after its send and its +CDSI comes between the next AT+CMGS and its
// prompt. Every file goes out once, none fails.
TEST_F(NoisyPhoneTest, IndicationBetweenSendsInFastMode) {
  StartWith("AutoRead=1\r\nPollingInt=60\r\nFastMode=1\r\nMatchReports=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" +
            outbox.Path() + "/smss*.txt\r\n");
  Noise("place=between rate=30 seed=7 on");
  ASSERT_TRUE(phone->Ok(phone->Control("reports delay=20 on")));
  Connect();
  for (int i = 1; i <= 4; ++i) Drop("smss" + std::to_string(i) + ".txt", "+4915112345678 file " + std::to_string(i));
  ASSERT_TRUE(RunUntil([&] { return Files(phone->Directory(), R"(SMS\d{17}\.snd)").size() == 4; }, 30)) << Journal();
  EXPECT_EQ(phone->Submitted().size(), 4u);
  EXPECT_TRUE(Files(phone->Directory(), R"(.*\.err)").empty());
  EXPECT_FALSE(JournalHas("No SMS body prompt"));
  EXPECT_TRUE(JournalHas("+CDSI: \"SM\","));
}

// Calls taken in fast mode, no indications: a RING and vendor lines held by
// the phone come between a command and its reply; they are no reply, and the
// files go out.
TEST_F(NoisyPhoneTest, LinesBetweenACommandAndItsReplyWithCallsTaken) {
  Start("AutoConnect=1\r\nFastMode=1\r\nInCalls=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + outbox.Path() +
        "/smss*.txt\r\n");
  Connect();
  Noise("place=between rate=100 seed=3 on");
  ASSERT_TRUE(phone->Ok(phone->Control("ring +4930123")));
  for (int i = 1; i <= 3; ++i) Drop("smss" + std::to_string(i) + ".txt", "+4915112345678 call " + std::to_string(i));
  ASSERT_TRUE(RunUntil([&] { return Files(phone->Directory(), R"(SMS\d{17}\.snd)").size() == 3; }, 30)) << Journal();
  EXPECT_EQ(phone->Submitted().size(), 3u);
  EXPECT_TRUE(Files(phone->Directory(), R"(.*\.err)").empty());
  EXPECT_TRUE(JournalHas("RING"));
}

// A message arrives while the gateway reads another one: its +CMTI lands
// inside the AT+CMGR reply, first before the PDU line, then after it. Each
// message is archived once and deleted only once archived.
TEST_F(NoisyPhoneTest, IndicationInsideAReadingBeforeAndAfterThePdu) {
  StartWith("AutoRead=1\r\nPollingInt=3600\r\n");
  Connect();
  for (const char* place : {"before-pdu", "after-pdu"}) {
    SCOPED_TRACE(place);
    Noise(std::string("place=") + place + " hold=0 on");
    phone->Control("deliver +4915112345678 Read first");
    phone->Control("deliver during=+CMGR +4915112345678 Came during the reading");
    ASSERT_TRUE(RunUntil([this] { return Archived(".txt") == 2 && PhoneEmpty(); })) << Journal();
    EXPECT_EQ(Archived(".pdu"), 0u);
    EXPECT_FALSE(JournalHas("Parse Error"));
    for (const auto& f : Files(logs.Path(), R"(.*\.txt)")) fs::remove(f);
  }
  EXPECT_EQ(Sent("AT+CMGD=").size(), 4u);
}

// The phone offers MT for reading but keeps new messages only in SM or ME:
// the connect takes ME for them, and an indicated message is read from there
// at once, not at the next listing a minute later.
TEST_F(NoisyPhoneTest, PhoneWithoutMtForNewMessages) {
  StartWith("AutoRead=1\r\nPollingInt=60\r\n", {});
  Noise("receive=SM,ME off");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("New-message indications: AT+CNMI="); })) << Journal();
  EXPECT_TRUE(JournalHas(", new messages in ME"));
  phone->Control("deliver +4915112345678 Kept in ME");
  ASSERT_TRUE(RunUntil([this] { return Archived(".txt") == 1 && PhoneEmpty(); }, 2)) << Journal();
  EXPECT_EQ(Sent("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1\\r"}));
  EXPECT_NE(phone->Control("status").find("cpms=MT,MT,ME"), std::string::npos) << phone->Control("status");

  // Nothing is offered for them at all: one line says so, and polling stays.
  form->ui().B_disconnect->click();
  ASSERT_TRUE(RunUntil([this] { return !form->comport().Active(); }));
  Noise("receive=MT off");
  ASSERT_TRUE(phone->Ok(phone->Control("memories SM,ME,MT")));
  phone->Control("fail +CPMS=MT,MT,MT error");
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("New-message indications off:"); })) << Journal();
  EXPECT_EQ(JournalCount("New-message indications: AT+CNMI="), 1u);
}

// A reconnect to a phone that still indicates: a +CMTI comes between the
// connect's AT+CPMS and its OK. The connect completes, and the message is
// read by its indication.
TEST_F(NoisyPhoneTest, IndicationDuringTheConnectsMemoryChoice) {
  StartWith("AutoRead=1\r\nPollingInt=3600\r\n");
  Connect();
  form->ui().B_disconnect->click();
  ASSERT_TRUE(RunUntil([this] { return !form->comport().Active(); }));
  Noise("place=between on");
  phone->Control("deliver during=+CPMS=SM +4915112345678 During the connect");
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("New-message indications: AT+CNMI=") == 2; })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return Archived(".txt") == 1 && PhoneEmpty(); })) << Journal();
}

// The gateway gives up on the prompt (Abort) and the phone's "> " comes
// later: it is cancelled with ESC before anything else, the file keeps its
// name, and the next turn sends it once.
TEST_F(NoisyPhoneTest, PromptAfterTheGiveUpIsCancelled) {
  StartWith("AutoSend=1\r\nWatchInt=1\r\nWatchDir=" + outbox.Path() + "/smss*.txt\r\n");
  Connect();
  ASSERT_TRUE(phone->Ok(phone->Control("latency 500")));
  // Abort is clicked during the wait for the prompt.
  bool aborted = false;
  form->dialogue().Pause = [&] {
    QThread::msleep(50);
    if (aborted || Sent("AT+CMGS=").empty()) return;
    aborted = true;
    form->ui().b_abort->click();
  };
  Drop("smss1.txt", "+4915112345678 late prompt");
  ASSERT_TRUE(RunUntil([this] { return phone->Transcript().find("\\x1B") != std::string::npos; })) << Journal();
  ASSERT_TRUE(phone->Ok(phone->Control("latency 0")));
  ASSERT_TRUE(RunUntil([&] { return Files(phone->Directory(), R"(SMS\d{17}\.snd)").size() == 1; }, 30)) << Journal();
  EXPECT_EQ(JournalCount("No message prompt, file kept: "), 1u);
  EXPECT_EQ(phone->Submitted().size(), 1u);
  EXPECT_TRUE(Files(phone->Directory(), R"(.*\.err)").empty());
  EXPECT_NE(phone->Control("status").find("prompt=0"), std::string::npos);
}

}  // namespace
