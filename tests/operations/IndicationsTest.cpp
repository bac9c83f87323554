// New-message indications end to end: the real window offscreen on the
// simulated phone, with Indications=1. The polling interval is long unless a
// test needs the listing, so what is archived was read by its indication.
#include <QCheckBox>
#include <QToolButton>
#include <algorithm>
#include <filesystem>

#include "Gateway.h"
#include "GatewayFixture.h"
#include "Indications.h"
#include "IniFile.h"
#include "ReceivedRecord.h"
#include "Settings.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;

class IndicationsTest : public GatewayTest {
 protected:
  void StartWith(const std::string& keys, std::vector<std::string> phoneArgs = {"--memories", "SM"}) {
    Start("AutoConnect=1\r\nAutoRead=1\r\nIndications=1\r\nLogDir=" + logs.Path() + "\r\n" + keys,
          std::move(phoneArgs));
  }
  std::vector<std::string> Files(const std::string& extension) const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(logs.Path()))
      if (e.path().extension() == extension) out.push_back(e.path().string());
    return out;
  }
  bool PhoneEmpty() const { return phone->Control("dump stored").find("stored ") == std::string::npos; }

  pdulink::test::TempDir logs;
};

// The phone offers memories SM, ME and MT: MT is read, so the connect has
// new messages stored there too, and the indication names it.
TEST_F(IndicationsTest, StoredMessageIsReadByItsIndexArchivedAndDeleted) {
  StartWith("PollingInt=3600\r\n", {});
  ASSERT_TRUE(RunUntil([this] { return JournalHas("New-message indications: AT+CNMI=2,1,0,2,0"); })) << Journal();
  EXPECT_EQ(Sent("AT+CPMS=MT,MT,MT").size(), 1u);
  ASSERT_TRUE(RunUntil([this] { return form->clock().PendingCommand == kDutyPass; }));
  phone->Control("deliver +4915112345678 Read at once");
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty() && PhoneEmpty(); })) << Journal();
  EXPECT_TRUE(JournalHas("+CMTI: \"MT\",1"));
  EXPECT_EQ(Sent("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1\\r"}));
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r"}));
  EXPECT_TRUE(Sent("AT+CMGL=").empty());
  EXPECT_TRUE(JournalHas("From tel= 4915112345678"));
  EXPECT_EQ(Files(".txt").size(), 1u);
  EXPECT_FALSE(JournalHas("TotalReaded="));
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// The phone stores a message while it answers a listing: the listing does
// not hold it, its +CMTI comes inside the listing's reply, and the next pass
// reads it. One archive, one delete.
TEST_F(IndicationsTest, IndicationInsideAListingReplyIsReadAfterIt) {
  StartWith("PollingInt=1\r\n");
  Connect();
  phone->Control("deliver during=+CMGL +4915112345678 Came during the listing");
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty() && PhoneEmpty(); })) << Journal();
  EXPECT_EQ(Sent("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1\\r"}));
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TotalReaded=0") >= 3; })) << Journal();
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r"}));
  EXPECT_EQ(Files(".txt").size(), 1u);
}

// Indicated while the listing's ATE0 is answered: the listing lists it and
// archives it; its note is dropped, so it is not read a second time.
TEST_F(IndicationsTest, MessageTheListingTakesIsNotReadByItsIndication) {
  StartWith("PollingInt=1\r\n");
  Connect();
  phone->Control("deliver during=E0 +4915112345678 Seen by both");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=1") && PhoneEmpty(); })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return JournalCount("TotalReaded=0") >= 2; })) << Journal();
  EXPECT_TRUE(JournalHas("+CMTI: \"SM\",1"));
  EXPECT_TRUE(Sent("AT+CMGR=").empty());
  EXPECT_EQ(Sent("AT+CMGD="), (std::vector<std::string>{"AT+CMGD=1\\r"}));
  EXPECT_EQ(Files(".txt").size(), 1u);
}

// A status report indicated with +CDSI is read by its index and archived as
// the listing archives the phone's reports (its raw PDU, as it never decodes).
TEST_F(IndicationsTest, StatusReportIndicationIsReadAndArchived) {
  StartWith("PollingInt=3600\r\n");
  Connect();
  phone->Control("status-report 7 +4915112345678 0");
  ASSERT_TRUE(RunUntil([this] { return !Sent("AT+CMGD=").empty() && PhoneEmpty(); })) << Journal();
  EXPECT_TRUE(JournalHas("+CDSI: \"SM\",1"));
  EXPECT_EQ(Sent("AT+CMGR="), (std::vector<std::string>{"AT+CMGR=1\\r"}));
  EXPECT_EQ(Files(".pdu").size(), 1u);
  EXPECT_TRUE(Files(".txt").empty());
}

// Every setting refused: one journal line, and the listing still reads.
TEST_F(IndicationsTest, PhoneThatRefusesEverySettingIsPolled) {
  StartWith("PollingInt=1\r\n");
  for (const char* mode : {"+CNMI=1", "+CNMI=2", "+CNMI=3"}) phone->Control(std::string("fail ") + mode + " error");
  Connect();
  EXPECT_EQ(JournalCount("New-message indications refused by the phone: reading on the polling interval only"), 1u);
  EXPECT_FALSE(JournalHas("New-message indications: "));
  EXPECT_EQ(Sent("AT+CNMI=").size(), 5u);  // the test form, then each setting offered
  phone->Control("deliver +4915112345678 Polled");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=1") && PhoneEmpty(); })) << Journal();
  EXPECT_TRUE(Sent("AT+CMGR=").empty());
  EXPECT_EQ(Files(".txt").size(), 1u);
}

// The phone has nothing at the index (an empty answer): one journal line,
// no delete, no file; the message stays for the listing.
TEST_F(IndicationsTest, IndexAlreadyGoneGivesOneLine) {
  StartWith("PollingInt=3600\r\n");
  Connect();
  phone->Control("fail +CMGR reply \\r\\nOK\\r\\n");
  phone->Control("deliver +4915112345678 Not found");
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Indicated message 1 is no longer on the phone"); })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return form->clock().SecondsCounter > 10; }));
  EXPECT_EQ(JournalCount("Indicated message 1"), 1u);
  EXPECT_TRUE(Sent("AT+CMGD=").empty());
  EXPECT_TRUE(Files(".txt").empty());
  EXPECT_FALSE(fs::exists(phone->Directory() + "/" + kReceivedRecordFile));
}

// A +CMTI line split over two clusters is still noted.
TEST_F(IndicationsTest, IndicationSplitOverClustersIsNoted) {
  StartWith("PollingInt=3600\r\n");
  Indications& notes = form->gateway().indications();
  notes.Seen("\r\nOK\r\n\r\n+CM");
  EXPECT_FALSE(notes.Pending());
  notes.Seen("TI: \"SM\",5\r\n");
  EXPECT_TRUE(notes.Pending());
  notes.Listed({{5, "0791"}});
  EXPECT_FALSE(notes.Pending());
}

// The key: on only for "1"; Save writes it only where the file has it or it is on.
TEST(IndicationsKey, ReadAndSave) {
  EXPECT_TRUE(ReadIndicationsKey(IniFile::FromText("[Main]\r\nIndications=1\r\n")));
  EXPECT_FALSE(ReadIndicationsKey(IniFile::FromText("[Main]\r\nIndications=yes\r\n")));
  EXPECT_FALSE(ReadIndicationsKey(IniFile::FromText("[Main]\r\n")));
  IniFile plain = IniFile::FromText("[Main]\r\n");
  WriteIndicationsKey(plain, false);
  EXPECT_EQ(plain.Text().find("Indications"), std::string::npos);
  IniFile had = IniFile::FromText("[Main]\r\nIndications=1\r\n");
  WriteIndicationsKey(had, false);
  EXPECT_NE(had.Text().find("Indications=0\r\n"), std::string::npos);
}

}  // namespace
