// Off-line mode, where every command first opens the port and shakes hands
// (AT, AT, ATE0): the handshake's OK is no answer to the command itself. A
// send whose preparation the phone refuses is not sent and its file waits;
// the battery, call and send replies are read whole, pieces and all.
#include <sys/time.h>

#include <QCheckBox>
#include <QToolButton>
#include <filesystem>
#include <fstream>

#include "Battery.h"
#include "Calls.h"
#include "GatewayFixture.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

class OfflineTest : public GatewayTest {
 protected:
  // Off-line mode switched on by hand: no connect is posted, no pass runs,
  // each operation below opens the port for itself.
  void StartOffline() {
    Start();
    form->state().BaseDir = dir.Path();
    form->ui().cb_offline->setChecked(true);
    form->clock().PendingCommand = kNoCommand;
  }
  pdulink::test::TempDir dir;
};

TEST_F(OfflineTest, RefusedPreparationKeepsTheFileForALaterTurn) {
  const std::string out = dir.Path() + "/out";
  fs::create_directories(out);
  const std::string file = out + "/smss1.txt";
  std::ofstream(file, std::ios::binary) << "12345678901 abc\r\n";
  timeval old[2];
  ::gettimeofday(&old[0], nullptr);
  old[0].tv_sec -= 10;  // long written
  old[1] = old[0];
  ASSERT_EQ(::utimes(file.c_str(), old), 0);
  Start("AutoConnect=1\r\nOffLineMode=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + out + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  for (const char* refused : {"+CMGF=0", "+CSMS=0"}) {
    SCOPED_TRACE(refused);
    phone->Control("unfail");
    ASSERT_EQ(phone->Control(std::string("fail ") + refused + " error"), "OK\n");
    const size_t before = JournalCount("Send ERROR at Offline mode. Try after...");
    ASSERT_TRUE(RunUntil([&] { return JournalCount("Send ERROR at Offline mode. Try after...") > before; }, 30))
        << Journal();
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(phone->Submitted().empty());
    EXPECT_FALSE(JournalHas("Executing Send SMS Command:"));
  }
  // Accepted again: a later turn sends it.
  phone->Control("unfail");
  ASSERT_TRUE(RunUntil([&] { return !fs::exists(file); }, 30)) << Journal();
  EXPECT_EQ(phone->Submitted(), std::vector<std::string>{"0011000B912143658709F10000A70361F118"});
}

TEST_F(OfflineTest, BatteryReplyInPiecesIsReadWhole) {
  StartOffline();
  ASSERT_EQ(phone->Control("battery 12"), "OK\n");
  EXPECT_EQ(form->gateway().battery().CheckBattery(), 12) << Journal();  // the handshake turns echo off
  ASSERT_EQ(phone->Control("chunks 8 300"), "OK\n");
  EXPECT_EQ(form->gateway().battery().CheckBattery(), 12) << Journal();
  EXPECT_TRUE(fs::exists(dir.Path() + "/smsLowBat.f"));
}

TEST_F(OfflineTest, PhoneWithoutCallStatusDoesNotHangUp) {
  StartOffline();
  form->ui().cb_calls->setChecked(true);
  ASSERT_EQ(phone->Control("fail +CPAS=? error"), "OK\n");
  ASSERT_EQ(phone->Control("ring +4930"), "OK\n");
  EXPECT_EQ(form->gateway().calls().CheckIncomingCall(), "") << Journal();
  EXPECT_EQ(phone->Control("status").find("calls=0"), std::string::npos);  // still ringing
  std::string transcript = phone->Transcript();
  EXPECT_EQ(transcript.find("ATH0"), std::string::npos) << transcript;
}

}  // namespace
