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
#include <sstream>
#include <signal.h>
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

  // extra: more [Main] lines ("Key=value\r\n"); fastMode "0" for the
  // default mode; tickMs 1000 is the shipped program's tick.
  void Launch(const std::string& spoolUri, const std::string& crashPoint = "", const std::string& watchInt = "1",
              const std::string& extra = "", const std::string& fastMode = "1", const std::string& tickMs = "100") {
    if (process) journal += process->outText;
    const std::string ini = work->Path() + "/" + name + ".ini";
    std::ofstream(ini, std::ios::binary) << "[Main]\r\nAutoConnect=1\r\nAutoSend=1\r\nWatchInt=" << watchInt
                                         << "\r\nFastMode=" << fastMode << "\r\n" << extra
                                         << "BatteryCheck=0\r\nSpool=" << spoolUri << "\r\n[Ports]\r\nCOM1="
                                         << phone->LinkPath() << "\r\n";
    std::vector<std::string> env;
    if (!crashPoint.empty()) env.push_back("PDULINK_CRASH_POINT=" + crashPoint);
    else env.push_back("PDULINK_CRASH_POINT");
    process = std::make_unique<Child>(std::vector<std::string>{PDULINK_CRASH_GATEWAY_BIN, tickMs, ini}, work->Path(),
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
  void AddMember(const std::string& name, std::vector<std::string> phoneArgs = {}) {
    Member m;
    m.name = name;
    m.phone = std::make_unique<PhoneProcess>(std::move(phoneArgs));
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

  // The database at uri with `rows` queued, and a gateway (not launched yet)
  // for each name, its phone answering after latencyMs.
  void Prepare(const std::string& uri, int rows, const std::vector<std::string>& names, int latencyMs = 0) {
    ASSERT_TRUE(OpenDb(uri));
    QueueRows(rows);
    for (const std::string& name : names)
      AddMember(name, latencyMs > 0 ? std::vector<std::string>{"--latency", std::to_string(latencyMs)}
                                    : std::vector<std::string>{});
  }
  // The slow database said once when it started and once when it ended.
  static void ExpectSlowSaidOnceEachWay(const std::string& journal) {
    EXPECT_EQ(Occurrences(journal, "Spool slow: "), 1u) << journal;
    EXPECT_EQ(Occurrences(journal, "Spool answering again: "), 1u) << journal;
  }
  int InboxCount() {
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM inbox")) || !q.next()) return -1;
    return q.value(0).toInt();
  }
  // Every row sent, each taken once by the phone of the gateway that
  // claimed it.
  void ExpectEveryRowSentOnce() {
    std::map<std::string, int> taken;
    std::map<std::string, std::string> takenBy;
    for (Member& m : members)
      for (const std::string& t : m.Taken()) {
        ++taken[t];
        takenBy[t] = m.name;
      }
    for (const auto& [text, row] : Rows()) {
      EXPECT_EQ(row.first, "sent") << text;
      EXPECT_EQ(taken[text], 1) << text;
      EXPECT_EQ(takenBy[text], row.second) << text;
    }
  }
  // Runs for `seconds` and says how many signal queries the phone answered
  // meanwhile (the gateway's other duties going on).
  size_t SignalQueriesDuring(const Member& m, int seconds) {
    const size_t before = Occurrences(m.phone->Transcript(), "AT+CSQ");
    Until([] { return false; }, seconds);
    return Occurrences(m.phone->Transcript(), "AT+CSQ") - before;
  }
  static size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }

  std::vector<Member> members;
  QSqlDatabase db;
};

// The server's processes: the postmaster (first line of postmaster.pid) and
// its children.
std::vector<pid_t> ServerProcesses(const pdulink::test::PostgresServer& server) {
  std::vector<pid_t> pids;
  std::ifstream pidFile(server.Directory() + "/data/postmaster.pid");
  pid_t master = 0;
  if (!(pidFile >> master) || master <= 0) return pids;
  pids.push_back(master);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == master) pids.push_back(static_cast<pid_t>(std::stoi(entry.path().filename())));
  }
  return pids;
}

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


// Two gateways started with the same name: the second is refused with one
// journal line and sends nothing; every row goes out once, by the first.
TEST_F(SpoolFleetTest, SecondGatewayOfALiveNameIsRefused) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  // The second: another host's copy of the same configuration.
  Prepare(server.Uri(), 30, {"gw1", "gw1"});
  if (HasFatalFailure()) return;
  members[0].Launch(server.Uri());
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") >= 1; }, 20)) << Journals();
  members[1].Launch(server.Uri());
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") == 30; }, 30)) << Journals();
  ASSERT_TRUE(members[1].process->WaitFor("Spool refused", 10)) << Journals();
  EXPECT_EQ(Occurrences(members[1].Journal(), "Spool refused: gateway name \"gw1\" is in use by a running gateway"), 1u)
      << members[1].Journal();
  EXPECT_TRUE(members[1].Taken().empty());
  ExpectEveryRowSentOnce();
}

// One gateway's connection cut again and again while the other has rows in
// flight: the reconnecting gateway touches only its own claims, so every
// row goes out once, by the gateway that claimed it.
TEST_F(SpoolFleetTest, ConnectionCutWhileTheOtherGatewayHoldsARow) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  Prepare(server.Uri(), 40, {"gw1", "gw2"}, 20);
  if (HasFatalFailure()) return;
  for (Member& m : members) m.Launch(server.Uri() + "&application_name=" + m.name);
  for (int cut = 0; cut < 3; ++cut) {
    ASSERT_TRUE(Until([&] { return Count("state = 'sending' AND claimed_by = 'gw2'") >= 1; }, 20)) << Journals();
    ASSERT_TRUE(server.Psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'gw1'"));
    Until([] { return false; }, 1);
  }
  ASSERT_TRUE(Until([&] { return Count("state IN ('queued', 'sending')") == 0; }, 40)) << Journals();
  ExpectEveryRowSentOnce();
  EXPECT_NE(members[0].Journal().find("Spool unreachable"), std::string::npos);
  EXPECT_EQ(members[0].Journal().find("unknown database error"), std::string::npos) << members[0].Journal();
}

// Another connection holds LOCK TABLE outbox: the phone keeps getting its
// commands, the slow database is journaled once when it starts and once
// when it ends, and a message delivered meanwhile is archived once (its
// inbox row is not held up by the lock on the outbox).
TEST_F(SpoolFleetTest, LockedOutboxNeverStallsThePhone) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  Prepare(server.Uri(), 40, {"gw1"}, 30);
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  pdulink::test::TempDir logs("fleetlogs");
  gw.Launch(server.Uri(), "", "1", "AutoRead=1\r\nPollingInt=1\r\nSignalInt=1\r\nLogDir=" + logs.Path() + "\r\n");
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") >= 3; }, 20)) << gw.Journal();
  ASSERT_TRUE(db.transaction());
  QSqlQuery lock(db);
  ASSERT_TRUE(lock.exec(QStringLiteral("LOCK TABLE outbox IN ACCESS EXCLUSIVE MODE")));
  gw.phone->Control("deliver +4915199999 Meanwhile");
  EXPECT_GE(SignalQueriesDuring(gw, 4), 5u) << gw.Journal();
  ASSERT_TRUE(db.commit());
  ASSERT_TRUE(Until([&] { return InboxCount() == 1 && Count("state = 'sent'") == 40; }, 30)) << gw.Journal();
  ASSERT_TRUE(gw.process->WaitFor("Spool answering again", 10)) << gw.Journal();
  Until([] { return false; }, 2);
  EXPECT_EQ(InboxCount(), 1);
  size_t texts = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(logs.Path())) texts += e.path().extension() == ".txt";
  EXPECT_EQ(texts, 1u);
  ExpectSlowSaidOnceEachWay(gw.Journal());
  ExpectEveryRowSentOnce();
}

// The server's processes stopped (SIGSTOP) for a few seconds: the phone
// keeps getting its commands; once they go on, every row goes out once.
TEST_F(SpoolFleetTest, StoppedServerNeverStallsThePhone) {
  pdulink::test::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server.Error();
  Prepare(server.Uri(), 40, {"gw1"}, 30);
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  gw.Launch(server.Uri(), "", "1", "SignalInt=1\r\n");
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") >= 3; }, 20)) << gw.Journal();
  const std::vector<pid_t> pids = ServerProcesses(server);
  ASSERT_FALSE(pids.empty());
  for (pid_t pid : pids) ::kill(pid, SIGSTOP);
  const size_t queries = SignalQueriesDuring(gw, 4);
  for (pid_t pid : pids) ::kill(pid, SIGCONT);
  EXPECT_GE(queries, 5u) << gw.Journal();
  ASSERT_TRUE(Until([&] { return Count("state IN ('queued', 'sending')") == 0; }, 30)) << gw.Journal();
  EXPECT_NE(gw.Journal().find("Spool slow: "), std::string::npos) << gw.Journal();
  ExpectEveryRowSentOnce();
}

// Another process holds SQLite's write lock for a few seconds: the phone
// keeps getting its commands, the slow database is journaled once each way,
// every row goes out once.
TEST_F(SpoolFleetTest, SqliteWriteLockOfAnotherProcessNeverStallsThePhone) {
  pdulink::test::TempDir dir("spoollock");
  const std::string path = dir.Path() + "/spool.db";
  Prepare("sqlite:" + path, 40, {"gw1"}, 30);
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  gw.Launch("sqlite:" + path, "", "1", "SignalInt=1\r\n");
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") >= 3; }, 20)) << gw.Journal();
  Child holder({"/usr/bin/python3", "-c",
                "import sqlite3, sys, time\n"
                "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                "c.execute('BEGIN IMMEDIATE'); print('held', flush=True); time.sleep(4); c.execute('COMMIT')\n",
                path},
               dir.Path());
  ASSERT_TRUE(holder.WaitFor("held", 10)) << holder.errText;
  EXPECT_GE(SignalQueriesDuring(gw, 3), 5u) << gw.Journal();
  holder.Wait(10);
  ASSERT_TRUE(Until([&] { return Count("state IN ('queued', 'sending')") == 0; }, 30)) << gw.Journal();
  ASSERT_TRUE(gw.process->WaitFor("Spool answering again", 10)) << gw.Journal();
  ExpectSlowSaidOnceEachWay(gw.Journal());
  ExpectEveryRowSentOnce();
}

// The shipped program's tick, the default mode, a burst of 30 rows queued
// at once while the gateway idles: all sent promptly, not one a watch turn.
TEST_F(SpoolFleetTest, BurstDrainsPromptlyInTheDefaultMode) {
  pdulink::test::TempDir dir("spoolburst");
  const std::string uri = "sqlite:" + dir.Path() + "/spool.db";
  ASSERT_TRUE(OpenDb(uri));
  AddMember("gw1");
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  gw.Launch(uri, "", "20", "", "0", "1000");
  ASSERT_TRUE(gw.process->WaitFor("SMS Memory Select:", 20)) << gw.Journal();
  QueueRows(30);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Until([&] { return Count("state = 'sent'") == 30; }, 30)) << gw.Journal();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("30 rows in %.1f s\n", seconds);
  ExpectEveryRowSentOnce();
}

// A password in the URI is refused with one line naming the passfile, and
// appears in no output: not the journal, not standard error, no file.
TEST_F(SpoolFleetTest, PasswordInTheUriRefusedAndNeverShown) {
  AddMember("gw1");
  if (HasFatalFailure()) return;
  Member& gw = members[0];
  for (const std::string uri : {"postgresql://gw:TopSecret9@/postgres?host=/nonexistent",
                                "postgresql:///postgres?host=/nonexistent&password=TopSecret9",
                                "postgresql://gw:TopSecret9/x@/postgres"}) {
    gw.Launch(uri);
    ASSERT_TRUE(gw.process->WaitFor("Error Spool in INIFile", 20)) << gw.Journal();
    EXPECT_TRUE(gw.process->WaitFor("SMS Memory Select:", 20)) << gw.Journal();
    EXPECT_EQ(Occurrences(gw.process->outText, "Error Spool in INIFile ("), 1u);
    EXPECT_EQ(Occurrences(gw.process->outText, "a password in the URI is refused; put it in the passfile"), 1u)
        << gw.process->outText;
    gw.process->Type("/exit");
    gw.process->Wait(10);
    EXPECT_EQ(gw.process->outText.find("TopSecret9"), std::string::npos) << gw.process->outText;
    EXPECT_EQ(gw.process->errText.find("TopSecret9"), std::string::npos) << gw.process->errText;
    for (const auto& e : std::filesystem::recursive_directory_iterator(gw.work->Path())) {
      if (!e.is_regular_file() || e.path().extension() == ".ini") continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(content.find("TopSecret9"), std::string::npos) << e.path();
    }
    gw.process.reset();  // ended; nothing more to tell it
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
