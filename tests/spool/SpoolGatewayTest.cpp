// The spool end to end on SQLite: the real window offscreen on the simulated
// phone, automatic reading into the inbox and automatic sending from the
// outbox, and the database going away (file moved, file system read-only)
// and coming back, with nothing lost and nothing twice.
#include <sys/mount.h>
#include <unistd.h>

#include <QLineEdit>
#include <QCheckBox>
#include <QSqlError>
#include <QSysInfo>
#include <QToolButton>
#include <QSqlQuery>
#include <QVariant>
#include <filesystem>

#include "GatewayFixture.h"
#include "IniFile.h"
#include "Settings.h"
#include "SpoolDatabase.h"
#include "SpoolTurn.h"
#include "TempDir.h"
#include "sms_decode.h"

namespace {

namespace fs = std::filesystem;

class SpoolGatewayTest : public GatewayTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dbDir.Path().empty());
    dbPath = dbDir.Path() + "/spool.db";
    spool::Target t;
    QString why;
    ASSERT_TRUE(spool::ParseTarget(QString::fromStdString("sqlite:" + dbPath), &t, &why));
    db = spool::Open(t, QStringLiteral("test"), &why);
    ASSERT_TRUE(db.isOpen()) << why.toStdString();
    ASSERT_TRUE(spool::Migrate(db, &why)) << why.toStdString();
  }
  void TearDown() override {
    GatewayTest::TearDown();
    db = QSqlDatabase();
    spool::Close(QStringLiteral("test"));
  }
  std::string Keys(const std::string& more = "") const {
    return "AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nAutoSend=1\r\nWatchInt=1\r\nLogDir=" + logs.Path() +
           "\r\nSpool=sqlite:" + dbPath + "\r\n" + more;
  }
  qint64 Queue(const std::string& text, bool options = false) {
    spool::OutboxMessage m;
    m.number = QStringLiteral("+4915112345678");
    m.text = QString::fromStdString(text);
    if (options) {
      m.flash = true;
      m.validity = 11;
      m.report = true;
    }
    QString why;
    auto id = spool::Enqueue(db, m, &why);
    EXPECT_TRUE(id) << why.toStdString();
    return id.value_or(-1);
  }
  // One value per row of a query, as text.
  std::vector<std::string> Column(const std::string& sql) {
    QSqlQuery q(db);
    std::vector<std::string> out;
    if (!q.exec(QString::fromStdString(sql))) return {"query failed: " + q.lastError().text().toStdString()};
    while (q.next()) out.push_back(q.value(0).toString().toStdString());
    return out;
  }
  std::string Stored() const { return phone->Control("dump stored"); }
  std::vector<std::string> SubmittedTexts() const {
    std::vector<std::string> texts;
    for (const std::string& pdu : phone->Submitted()) {
      pdulink::tSMSDecode d;
      d.Utf8 = true;
      d.Decode(pdu.rfind("00", 0) == 0 ? "0191" + pdu.substr(2) : pdu);
      texts.push_back(d.Text);
    }
    return texts;
  }

  pdulink::test::TempDir dbDir{"spooldb"};
  pdulink::test::TempDir logs{"spoollogs"};
  std::string dbPath;
  QSqlDatabase db;
};

TEST_F(SpoolGatewayTest, ReceivesIntoTheInboxAndSendsTheOutboxInsteadOfTheWatchedDirectory) {
  const qint64 plain = Queue("Grüße aus der Datenbank 😀");
  const qint64 flash = Queue("Flash with options", true);
  // Without WatchDir the outbox replaces the watched directory: a file of the
  // default template in the working directory stays where it is.
  Start(Keys("FastMode=1\r\nGatewayName=gw-test\r\n"), {"--memories", "SM"});
  std::ofstream(phone->Directory() + "/smss1.txt") << "+4915100000 not from the spool\n";
  phone->Control("deliver time=261208102030+12 +4915199999 Hello inbox");
  phone->Control("deliver MyBank Ваш код: 4711");
  // The operator's copies field does not multiply a row.
  form->ui().ed_Ncopies->setText(QStringLiteral("2"));
  Connect();
  ASSERT_TRUE(RunUntil([&] {
    return Column("SELECT count(*) FROM inbox") == std::vector<std::string>{"2"} &&
           Column("SELECT count(*) FROM outbox WHERE state = 'sent'") == std::vector<std::string>{"2"};
  }, 30)) << Journal();
  ASSERT_TRUE(RunUntil([&] { return Stored().find("stored SM") == std::string::npos; })) << Stored();

  EXPECT_EQ(Column("SELECT sender || '|' || text || '|' || coding || '|' || sc_time || '|' || gateway FROM inbox"
                   " ORDER BY id"),
            (std::vector<std::string>{"4915199999|Hello inbox|7bit|2026-12-08T10:20:30+03:00|gw-test",
                                      "MyBank|Ваш код: 4711|ucs2|" +
                                          Column("SELECT sc_time FROM inbox WHERE sender = 'MyBank'")[0] +
                                          "|gw-test"}));
  // The row names the archive files, which are there.
  for (const std::string& files : Column("SELECT files FROM inbox")) {
    const std::string txt = files.substr(0, files.find('\n'));
    EXPECT_TRUE(fs::exists(txt)) << txt;
  }
  // Sent: the references the phone gave, the options as asked.
  const std::vector<std::string> texts = SubmittedTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Grüße aus der Datenbank 😀");
  EXPECT_EQ(Column("SELECT refs || ' ' || claimed_by || ' ' || attempts FROM outbox ORDER BY id"),
            (std::vector<std::string>{"0 gw-test 1", "1 gw-test 1"}));
  pdulink::tSMSDecode second;
  const std::string pdu = phone->Submitted()[1];
  second.Decode("0191" + pdu.substr(2));
  EXPECT_EQ(second.Dcs & 0x10, 0x10);  // flash
  EXPECT_EQ(second.VpByte, 11);
  EXPECT_EQ(second.FirstOctet & 0x20, 0x20);  // status report asked for
  EXPECT_TRUE(fs::exists(phone->Directory() + "/smss1.txt"));
  EXPECT_FALSE(JournalHas("Spool unreachable"));
  (void)plain;
  (void)flash;
  // The status row is written under the gateway's name.
  EXPECT_EQ(Column("SELECT host FROM gateways WHERE name = 'gw-test'"),
            std::vector<std::string>{QSysInfo::machineHostName().toStdString()});
}

// The database file moved away while the gateway runs: one line, messages
// stay on the phone, nothing is claimed; back in place: one line, and the
// waiting message goes into the inbox and off the phone.
TEST_F(SpoolGatewayTest, DatabaseFileGoneKeepsMessagesOnThePhoneUntilItIsBack) {
  Start(Keys(), {"--memories", "SM"});
  Connect();
  ASSERT_TRUE(RunUntil([&] { return JournalCount("TotalReaded=0") >= 1; })) << Journal();
  fs::rename(dbPath, dbPath + ".away");
  phone->Control("deliver +4915199999 Wait for me");
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Spool unreachable: sqlite:" + dbPath + " (database file missing)"); }))
      << Journal();
  // Several turns go by: the message is left alone, and said once.
  const size_t listings = JournalCount("TotalReaded=");
  QThread::msleep(1500);
  RunUntil([] { return false; }, 2);
  EXPECT_EQ(JournalCount("TotalReaded="), listings);
  EXPECT_NE(Stored().find("stored SM 1"), std::string::npos) << Stored();
  EXPECT_EQ(JournalCount("Spool unreachable"), 1u);
  // Not created anew in its absence.
  EXPECT_FALSE(fs::exists(dbPath));

  fs::rename(dbPath + ".away", dbPath);
  ASSERT_TRUE(RunUntil([&] { return Column("SELECT text FROM inbox") == std::vector<std::string>{"Wait for me"}; }))
      << Journal();
  ASSERT_TRUE(RunUntil([&] { return Stored().find("stored SM") == std::string::npos; })) << Stored();
  EXPECT_EQ(JournalCount("Spool reachable again: sqlite:" + dbPath), 1u);
  EXPECT_EQ(JournalCount("Spool unreachable"), 1u);
}

// A database on a read-only file system (or, not as root, a read-only file
// in a read-only directory) at start: one clear line, the messages stay on
// the phone; writable again, they go into the inbox and off the phone.
TEST_F(SpoolGatewayTest, ReadOnlyDatabaseAtStartLosesNothing) {
  const bool root = ::geteuid() == 0;
  auto readOnly = [&](bool on) {
    if (root) {
      if (on) {
        ASSERT_EQ(::mount(dbDir.Path().c_str(), dbDir.Path().c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(::mount(nullptr, dbDir.Path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
      } else {
        ASSERT_EQ(::umount(dbDir.Path().c_str()), 0);
      }
    } else {
      for (auto& e : fs::directory_iterator(dbDir.Path()))
        fs::permissions(e.path(), on ? fs::perms::owner_read : fs::perms::owner_read | fs::perms::owner_write);
      fs::permissions(dbDir.Path(), on ? fs::perms::owner_read | fs::perms::owner_exec : fs::perms::owner_all);
    }
  };
  // The test's own connection is closed, so that nothing holds the file open.
  db = QSqlDatabase();
  spool::Close(QStringLiteral("test"));
  readOnly(true);
  if (HasFatalFailure()) return;
  Start(Keys(), {"--memories", "SM"});
  phone->Control("deliver +4915199999 Read-only moment");
  Connect();
  ASSERT_TRUE(JournalHas("Spool unreachable: sqlite:" + dbPath + " (")) << Journal();
  RunUntil([] { return false; }, 2);
  EXPECT_TRUE(Sent("AT+CMGL").empty());
  EXPECT_NE(Stored().find("stored SM 1"), std::string::npos) << Stored();
  readOnly(false);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Spool reachable again"); }, 15)) << Journal();
  ASSERT_TRUE(RunUntil([&] { return Stored().find("stored SM") == std::string::npos; })) << Stored();
  QString why;
  spool::Target t;
  spool::ParseTarget(QString::fromStdString("sqlite:" + dbPath), &t, &why);
  db = spool::Open(t, QStringLiteral("test"), &why);
  EXPECT_EQ(Column("SELECT text FROM inbox"), std::vector<std::string>{"Read-only moment"});
  EXPECT_EQ(JournalCount("Spool unreachable"), 1u);
  EXPECT_EQ(JournalCount("Spool reachable again"), 1u);
}

// The insert refused in the middle of a listing (here by a trigger standing
// in for a full disk): the message's files are written but it stays on the
// phone, with the reason; once inserts work, the next listing inserts it
// once, from the files already there, and deletes it.
TEST_F(SpoolGatewayTest, RefusedInsertKeepsTheMessageAndInsertsItOnceLater) {
  ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral(
      "CREATE TRIGGER inbox_refused BEFORE INSERT ON inbox BEGIN SELECT RAISE(ABORT, 'disk full'); END")));
  Start(Keys(), {"--memories", "SM"});
  phone->Control("deliver +4915199999 Refused once");
  Connect();
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Kept on the phone N Msg = 1: spool row not written"); }))
      << Journal();
  EXPECT_TRUE(JournalHas("Spool unreachable: sqlite:" + dbPath + " (disk full")) << Journal();
  EXPECT_NE(Stored().find("stored SM 1"), std::string::npos) << Stored();
  ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("DROP TRIGGER inbox_refused")));
  ASSERT_TRUE(RunUntil([&] { return Stored().find("stored SM") == std::string::npos; }, 20)) << Journal();
  EXPECT_EQ(Column("SELECT text FROM inbox"), std::vector<std::string>{"Refused once"});
  EXPECT_TRUE(JournalHas("Archived before: "));
  size_t txt = 0;
  for (auto& e : fs::directory_iterator(logs.Path())) txt += e.path().extension() == ".txt";
  EXPECT_EQ(txt, 1u);
  EXPECT_EQ(JournalCount("Spool unreachable"), 1u);
  EXPECT_EQ(JournalCount("Spool reachable again"), 1u);
}

// With JoinParts the parts have their rows and the joined message one more,
// with the whole text and the part count.
TEST_F(SpoolGatewayTest, JoinedLongMessageHasItsOwnRow) {
  Start(Keys("JoinParts=1\r\n"), {"--memories", "SM"});
  std::string text;
  for (int i = 0; i < 40; ++i) text += "part" + std::to_string(i) + " ";
  phone->Control("deliver +4915199999 " + text);
  Connect();
  ASSERT_TRUE(RunUntil([&] { return Column("SELECT count(*) FROM inbox") == std::vector<std::string>{"3"}; }))
      << Journal();
  const std::vector<std::string> joined = Column("SELECT parts || '|' || text FROM inbox WHERE parts > 1");
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0], "2|" + text);
  EXPECT_EQ(Column("SELECT count(*) FROM inbox WHERE msg_key LIKE 'joined %'"), std::vector<std::string>{"1"});
}

// A value the gateway cannot use never counts as "no spool": the messages
// stay on the phone.
TEST_F(SpoolGatewayTest, UnusableSpoolKeyKeepsMessagesOnThePhone) {
  Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nLogDir=" + logs.Path() + "\r\nSpool=mysql://x\r\n",
        {"--memories", "SM"});
  phone->Control("deliver +4915199999 Stay");
  Connect();
  ASSERT_TRUE(JournalHas("Error Spool in INIFile (expected sqlite:PATH or postgresql://...)")) << Journal();
  RunUntil([] { return false; }, 2);
  EXPECT_TRUE(Sent("AT+CMGL").empty());
  EXPECT_NE(Stored().find("stored SM 1"), std::string::npos);
}

}  // namespace

namespace {

// The keys: read as written (blanks trimmed), and Save keeps them where the
// file has them, adding none to a file without them.
TEST(SpoolKeys, ReadAndSavedOnlyWhereGiven) {
  StartupSettings s = ReadStartupSettings(
      IniFile::FromText("[Main]\r\nSpool= postgresql:///sms?host=/run/postgresql \r\nGatewayName=modem7\r\n"));
  EXPECT_EQ(s.spool, "postgresql:///sms?host=/run/postgresql");
  EXPECT_EQ(s.gatewayName, "modem7");
  EXPECT_TRUE(ReadStartupSettings(IniFile::FromText("[Main]\r\n")).spool.empty());

  IniFile plain = IniFile::FromText("[Main]\r\nComPort=1\r\n");
  WriteSpoolKeys(plain, "", "");
  EXPECT_EQ(plain.Text(), "[Main]\r\nComPort=1\r\n");
  IniFile kept = IniFile::FromText("[Main]\r\nGatewayName=old\r\n");
  WriteSpoolKeys(kept, "sqlite:/x.db", "");
  EXPECT_EQ(kept.Text(), "[Main]\r\nGatewayName=\r\nSpool=sqlite:/x.db\r\n");
}

}  // namespace
