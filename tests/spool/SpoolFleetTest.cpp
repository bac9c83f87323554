// Headless gateways as separate processes on the spool, killed and
// restarted: a row whose PDU went to the phone just before the kill is
// "unknown" at the next start and never sent again; on PostgreSQL three
// gateways on three simulated phones share 300 rows, one of them killed
// mid-run and the database restarted mid-run: every row sent exactly once,
// by the gateway that claimed it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QVariant>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "PostgresServer.h"
#include "SpoolDatabase.h"
#include "TempDir.h"
#include "sms_decode.h"

namespace {

using pdulink::test::Child;
using pdulink::test::PhoneProcess;

// One gateway: its phone, its working directory and its process.
struct Member {
  std::string name;
  std::unique_ptr<PhoneProcess> phone;
  std::unique_ptr<pdulink::test::TempDir> work;
  std::unique_ptr<Child> process;
  std::string journal;  // of the runs that ended

  void Launch(const std::string& spoolUri, const std::string& crashPoint = "", const std::string& watchInt = "1") {
    if (process) journal += process->outText;
    const std::string ini = work->Path() + "/" + name + ".ini";
    std::ofstream(ini, std::ios::binary) << "[Main]\r\nAutoConnect=1\r\nAutoSend=1\r\nWatchInt=" << watchInt
                                         << "\r\nFastMode=1\r\n"
                                         << "BatteryCheck=0\r\nSpool=" << spoolUri << "\r\n[Ports]\r\nCOM1="
                                         << phone->LinkPath() << "\r\n";
    std::vector<std::string> env;
    if (!crashPoint.empty()) env.push_back("PDULINK_CRASH_POINT=" + crashPoint);
    else env.push_back("PDULINK_CRASH_POINT");
    process = std::make_unique<Child>(std::vector<std::string>{PDULINK_CRASH_GATEWAY_BIN, "100", ini}, work->Path(),
                                      env);
  }
  std::string Journal() const { return journal + (process ? process->outText : ""); }
  // The texts the phone took, in order.
  std::vector<std::string> Taken() const {
    std::vector<std::string> texts;
    for (const std::string& pdu : phone->Submitted()) {
      pdulink::tSMSDecode d;
      d.Utf8 = true;
      d.Decode(pdu.rfind("00", 0) == 0 ? "0191" + pdu.substr(2) : pdu);
      texts.push_back(d.Text);
    }
    return texts;
  }
};

class SpoolFleetTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (Member& m : members)
      if (m.process) {
        m.process->Type("/exit");
        m.process->Wait(10);
      }
    members.clear();
    db = QSqlDatabase();
    spool::Close(QStringLiteral("fleet"));
  }
  bool OpenDb(const std::string& uri) {
    spool::Target t;
    QString why;
    if (!spool::ParseTarget(QString::fromStdString(uri), &t, &why)) return false;
    db = spool::Open(t, QStringLiteral("fleet"), &why);
    EXPECT_TRUE(db.isOpen()) << why.toStdString();
    EXPECT_TRUE(spool::Migrate(db, &why)) << why.toStdString();
    return db.isOpen();
  }
  void AddMember(const std::string& name) {
    Member m;
    m.name = name;
    m.phone = std::make_unique<PhoneProcess>();
    ASSERT_TRUE(m.phone->Started()) << m.phone->Error();
    m.work = std::make_unique<pdulink::test::TempDir>("fleet");
    members.push_back(std::move(m));
  }
  void QueueRows(int n) {
    ASSERT_TRUE(db.transaction());
    for (int i = 0; i < n; ++i) {
      spool::OutboxMessage m;
      m.number = QStringLiteral("+49151%1").arg(1000000 + i);
      m.text = QStringLiteral("fleet row %1").arg(i, 4, 10, QLatin1Char('0'));
      QString why;
      ASSERT_TRUE(spool::Enqueue(db, m, &why)) << why.toStdString();
    }
    ASSERT_TRUE(db.commit());
  }
  int Count(const std::string& where) {
    // A database being restarted answers nothing for a moment.
    QSqlQuery q(db);
    if (!q.exec(QString::fromStdString("SELECT count(*) FROM outbox WHERE " + where)) || !q.next()) {
      db.close();
      db.open();
      return -1;
    }
    return q.value(0).toInt();
  }
  // Pumps every gateway's output until pred holds or the time is up.
  bool Until(const std::function<bool()>& pred, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      for (Member& m : members)
        if (m.process) m.process->Pump(5);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  std::string Journals() const {
    std::string all;
    for (const Member& m : members) all += "==== " + m.name + "\n" + m.Journal();
    return all;
  }
  std::map<std::string, std::pair<std::string, std::string>> Rows() {  // text -> (state, claimed_by)
    std::map<std::string, std::pair<std::string, std::string>> rows;
    QSqlQuery q(db);
    EXPECT_TRUE(q.exec(QStringLiteral("SELECT text, state, claimed_by FROM outbox")));
    while (q.next())
      rows[q.value(0).toString().toStdString()] = {q.value(1).toString().toStdString(),
                                                   q.value(2).toString().toStdString()};
    return rows;
  }

  std::vector<Member> members;
  QSqlDatabase db;
};

// Killed right after the second PDU reached the phone: at the next start
// that row is "unknown" with one journal line and is not sent again; the
// rest goes on.
TEST_F(SpoolFleetTest, SqliteRowInFlightAtAKillBecomesUnknown) {
  pdulink::test::TempDir dir("spoolkill");
  const std::string uri = "sqlite:" + dir.Path() + "/spool.db";
  ASSERT_TRUE(OpenDb(uri));
  QueueRows(4);
  AddMember("gw1");
  Member& gw = members[0];
  gw.Launch(uri, "pdu:2");
  ASSERT_EQ(gw.process->Wait(30), 128 + SIGKILL) << gw.Journal();
  EXPECT_EQ(Count("state = 'sent'"), 1);
  EXPECT_EQ(Count("state = 'sending' AND claimed_by = 'gw1'"), 1);
  gw.Launch(uri);
  ASSERT_TRUE(Until([&] { return Count("state IN ('queued', 'sending')") == 0; }, 30)) << gw.Journal();
  const auto rows = Rows();
  EXPECT_EQ(rows.at("fleet row 0001").first, "unknown");
  EXPECT_EQ(Count("state = 'sent'"), 3);
  EXPECT_NE(gw.Journal().find("Send outcome unknown: outbox row 2"), std::string::npos) << gw.Journal();
  std::map<std::string, int> taken;
  for (const std::string& t : gw.Taken()) ++taken[t];
  for (const auto& [text, row] : rows) EXPECT_EQ(taken[text], 1) << text << " " << row.first;
}

TEST_F(SpoolFleetTest, ThreeGatewaysSendEveryRowOnceThroughAKillAndADatabaseRestart) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  const std::string uri = server.Uri();
  ASSERT_TRUE(OpenDb(uri));
  constexpr int kRows = 300;
  QueueRows(kRows);
  for (const char* name : {"gw1", "gw2", "gw3"}) AddMember(name);
  if (HasFatalFailure()) return;
  members[0].Launch(uri);
  members[1].Launch(uri, "pdu:25");  // killed right after its 25th PDU
  members[2].Launch(uri);
  Member& victim = members[1];
  ASSERT_TRUE(Until([&] { return victim.process->Wait(1) == 128 + SIGKILL; }, 40)) << Journals();
  const int sentAtKill = Count("state = 'sent'");
  EXPECT_LT(sentAtKill, kRows - 50) << "the kill came too late to be mid-run";
  EXPECT_EQ(Count("state = 'sending' AND claimed_by = 'gw2'"), 1);
  victim.Launch(uri);
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") >= sentAtKill + 60; }, 40)) << Journals();
  ASSERT_TRUE(server.Restart()) << "the database did not restart";
  ASSERT_TRUE(Until([&] { return Count("state IN ('queued', 'sending')") == 0; }, 60)) << Journals();

  const auto rows = Rows();
  ASSERT_EQ(rows.size(), static_cast<size_t>(kRows));
  std::map<std::string, std::string> takenBy;  // text -> gateway whose phone took it
  std::map<std::string, int> taken;
  for (Member& m : members)
    for (const std::string& t : m.Taken()) {
      ++taken[t];
      takenBy[t] = m.name;
    }
  int unknown = 0;
  for (const auto& [text, row] : rows) {
    const auto& [state, by] = row;
    if (state == "unknown") {
      ++unknown;
      EXPECT_EQ(by, "gw2");
      EXPECT_LE(taken[text], 1) << text;
      continue;
    }
    EXPECT_EQ(state, "sent") << text;
    EXPECT_EQ(taken[text], 1) << text;
    EXPECT_EQ(takenBy[text], by) << text;
  }
  EXPECT_EQ(unknown, 1);
  EXPECT_NE(victim.Journal().find("Send outcome unknown: outbox row "), std::string::npos);
  // Each gateway said once that the database went and that it came back.
  for (Member& m : members) {
    const std::string j = m.Journal();
    size_t went = 0;
    for (size_t at = j.find("Spool unreachable"); at != std::string::npos; at = j.find("Spool unreachable", at + 1))
      ++went;
    EXPECT_EQ(went, 1u) << m.name;
    EXPECT_NE(j.find("Spool reachable again"), std::string::npos) << m.name;
  }
  std::map<std::string, int> perGateway;
  for (const auto& [text, row] : rows) ++perGateway[row.second];
  for (const char* name : {"gw1", "gw2", "gw3"}) EXPECT_GT(perGateway[name], 0) << name << " sent nothing";
}

// A gateway whose watch turn comes once an hour sends a row queued while it
// idles: the database's notification wakes it.
TEST_F(SpoolFleetTest, PostgresNotificationWakesAnIdleGateway) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  ASSERT_TRUE(OpenDb(server.Uri()));
  AddMember("gw1");
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  gw.Launch(server.Uri(), "", "3600");
  ASSERT_TRUE(gw.process->WaitFor("SMS Memory Select:", 20)) << gw.Journal();
  // Idle for a few turns of the cycle.
  Until([] { return false; }, 1);
  QueueRows(1);
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") == 1; }, 15)) << gw.Journal();
  EXPECT_EQ(gw.Taken(), std::vector<std::string>{"fleet row 0000"});
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
