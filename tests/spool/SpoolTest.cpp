// The gateway's side of the spool on both backends: the claim's order and
// exclusivity, the outcome of a row, rows left in sending, the inbox's
// duplicate guard, the status row, delivery reports, and PostgreSQL's
// wake-up. PostgreSQL runs on a private server this test starts itself.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "PostgresServer.h"
#include "Spool.h"
#include "SpoolDatabase.h"
#include "TempDir.h"

using namespace spool;
using pdulink::test::PostgresServer;

namespace {

int connectionCounter = 0;

class SpoolTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Postgres) {
      // One server for every PostgreSQL case of this program.
      if (!server) server = std::make_unique<PostgresServer>();
      if (!server->Started()) GTEST_SKIP() << "PostgreSQL cannot start here: " << server->Error();
      uri = QString::fromStdString(server->Uri());
      server->Psql("DROP TABLE IF EXISTS outbox, inbox, gateways, schema_version CASCADE;"
                   " DROP FUNCTION IF EXISTS pdulink_outbox_notify() CASCADE");
    } else {
      dir = std::make_unique<pdulink::test::TempDir>("spool");
      uri = QString::fromStdString("sqlite:" + dir->Path() + "/spool.db");
    }
    ASSERT_TRUE(ParseTarget(uri, &target, &why));
    admin = Make(QStringLiteral("admin"));
  }
  void TearDown() override {
    spools.clear();
    admin = nullptr;
  }

  Spool* Make(const QString& gateway) {
    auto s = Spool::Make(target, gateway, QStringLiteral("c%1").arg(++connectionCounter));
    EXPECT_TRUE(s->Open(&why)) << why.toStdString();
    spools.push_back(std::move(s));
    return spools.back().get();
  }
  qint64 Queue(const QString& text, int priority = 0, const QString& gateway = {}, QDateTime notBefore = {}) {
    OutboxMessage m;
    m.number = QStringLiteral("+491511234567");
    m.text = text;
    m.priority = priority;
    m.gateway = gateway;
    m.notBefore = notBefore;
    auto id = Enqueue(admin->db(), m, &why);
    EXPECT_TRUE(id) << why.toStdString();
    return id.value_or(-1);
  }
  QString State(qint64 id) {
    QSqlQuery q(admin->db());
    q.prepare(QStringLiteral("SELECT state FROM outbox WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec() || !q.next()) return QStringLiteral("?");
    return q.value(0).toString();
  }

  static inline std::unique_ptr<PostgresServer> server;
  std::unique_ptr<pdulink::test::TempDir> dir;
  QString uri, why;
  Target target;
  std::vector<std::unique_ptr<Spool>> spools;
  Spool* admin = nullptr;
};

TEST_P(SpoolTest, ClaimsByPriorityThenAgeForThisGatewayOrAny) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  const qint64 old = Queue(QStringLiteral("old"));
  const qint64 other = Queue(QStringLiteral("for gw2"), 9, QStringLiteral("gw2"));
  const qint64 later = Queue(QStringLiteral("later"), 9, {}, QDateTime::currentDateTimeUtc().addSecs(3600));
  const qint64 urgent = Queue(QStringLiteral("urgent"), 5);
  const qint64 mine = Queue(QStringLiteral("mine"), 5, QStringLiteral("gw1"));
  bool error = false;
  std::vector<qint64> order;
  while (auto c = gw1->Claim(&error, &why)) {
    order.push_back(c->id);
    EXPECT_EQ(c->attempts, 1);
  }
  EXPECT_FALSE(error) << why.toStdString();
  EXPECT_EQ(order, (std::vector<qint64>{urgent, mine, old}));
  EXPECT_EQ(State(other), QStringLiteral("queued"));
  EXPECT_EQ(State(later), QStringLiteral("queued"));
  EXPECT_EQ(State(old), QStringLiteral("sending"));
  EXPECT_EQ(gw1->QueueLength(&why), 1);  // "later" is queued, if not due
}

TEST_P(SpoolTest, EveryRowIsClaimedByOneGatewayOnly) {
  constexpr int kRows = 120, kGateways = 4;
  admin->db().transaction();
  for (int i = 0; i < kRows; ++i) Queue(QString::number(i));
  admin->db().commit();
  std::mutex lock;
  std::map<qint64, int> claims;
  std::atomic<int> errors{0};
  std::vector<std::unique_ptr<QThread>> threads;
  for (int g = 0; g < kGateways; ++g) {
    threads.emplace_back(QThread::create([&, g] {
      auto s = Spool::Make(target, QStringLiteral("t%1").arg(g), QStringLiteral("thread%1").arg(g));
      QString w;
      if (!s->Open(&w)) {
        ++errors;
        return;
      }
      bool error = false;
      for (;;) {
        auto c = s->Claim(&error, &w);
        if (error) {
          ++errors;
          continue;  // SQLite busy past its timeout: try again
        }
        if (!c) break;
        std::lock_guard<std::mutex> g2(lock);
        ++claims[c->id];
      }
    }));
    threads.back()->start();
  }
  for (auto& t : threads) t->wait();
  EXPECT_EQ(errors.load(), 0);
  ASSERT_EQ(claims.size(), static_cast<size_t>(kRows));
  for (auto& [id, n] : claims) EXPECT_EQ(n, 1) << "row " << id;
}

TEST_P(SpoolTest, OutcomesAndRowsLeftSending) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  Spool* gw2 = Make(QStringLiteral("gw2"));
  const qint64 a = Queue(QStringLiteral("a")), b = Queue(QStringLiteral("b")), c = Queue(QStringLiteral("c"));
  const qint64 d = Queue(QStringLiteral("d"));
  bool error = false;
  ASSERT_EQ(gw1->Claim(&error, &why)->id, a);
  ASSERT_EQ(gw1->Claim(&error, &why)->id, b);
  ASSERT_EQ(gw2->Claim(&error, &why)->id, c);
  ASSERT_EQ(gw1->Claim(&error, &why)->id, d);
  ASSERT_TRUE(gw1->MarkSent(a, QStringLiteral("17,18"), &why));
  ASSERT_TRUE(gw1->MarkFailed(b, QStringLiteral("+CMS ERROR: 500"), &why));
  EXPECT_EQ(State(a), QStringLiteral("sent"));
  EXPECT_EQ(State(b), QStringLiteral("failed"));
  // What gw1 still holds: only its own row in sending.
  auto held = gw1->Sending(&why);
  ASSERT_TRUE(held);
  EXPECT_EQ(*held, std::vector<qint64>{d});
  ASSERT_TRUE(gw1->SetUnknown(*held, QStringLiteral("restarted"), &why));
  EXPECT_EQ(State(d), QStringLiteral("unknown"));
  EXPECT_EQ(State(c), QStringLiteral("sending"));
  // Requeue touches only rows still sending under this gateway.
  ASSERT_TRUE(gw1->Requeue({c, d}, &why));
  EXPECT_EQ(State(c), QStringLiteral("sending"));
  EXPECT_EQ(State(d), QStringLiteral("unknown"));
  ASSERT_TRUE(gw2->Requeue({c}, &why));
  EXPECT_EQ(State(c), QStringLiteral("queued"));
  auto again = gw1->Claim(&error, &why);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->id, c);
  EXPECT_EQ(again->attempts, 2);
}

// One owner per claim: a second instance under a live name is refused and
// touches nothing; once the first is gone (its heartbeat lapsed) the next
// instance settles only the rows that earlier instances left sending, and a
// late outcome from the old instance no longer changes them.
TEST_P(SpoolTest, OneInstanceOwnsTheNameAndItsClaims) {
  Spool* first = Make(QStringLiteral("gw1"));
  std::vector<qint64> settled;
  QString holder;
  ASSERT_EQ(first->TakeName(QStringLiteral("stopped"), &settled, &holder, &why), Spool::Take::Taken) << why.toStdString();
  const qint64 a = Queue(QStringLiteral("a")), b = Queue(QStringLiteral("b"));
  bool error = false;
  ASSERT_EQ(first->Claim(&error, &why)->id, a);
  Spool* other = Make(QStringLiteral("gw2"));
  ASSERT_EQ(other->Claim(&error, &why)->id, b);

  Spool* second = Make(QStringLiteral("gw1"));
  EXPECT_NE(second->instance(), first->instance());
  EXPECT_EQ(second->TakeName(QStringLiteral("stopped"), &settled, &holder, &why), Spool::Take::Live);
  EXPECT_FALSE(holder.isEmpty());
  EXPECT_EQ(State(a), QStringLiteral("sending"));
  bool lost = false;
  GatewayStatus status;
  ASSERT_TRUE(second->WriteStatus(status, &why, &lost));
  EXPECT_TRUE(lost);
  ASSERT_TRUE(first->WriteStatus(status, &why, &lost));
  EXPECT_FALSE(lost);

  // The first instance's heartbeat lapses (as if it died on another host).
  QSqlQuery q(admin->db());
  ASSERT_TRUE(q.exec(QStringLiteral("UPDATE gateways SET last_seen = %1, pid = NULL")
                         .arg(GetParam() == Backend::Postgres ? QStringLiteral("now() - interval '1 hour'")
                                                              : QStringLiteral("'2000-01-01T00:00:00.000Z'"))));
  ASSERT_EQ(second->TakeName(QStringLiteral("stopped"), &settled, &holder, &why), Spool::Take::Taken);
  EXPECT_EQ(settled, std::vector<qint64>{a});
  EXPECT_EQ(State(a), QStringLiteral("unknown"));
  EXPECT_EQ(State(b), QStringLiteral("sending"));  // the other gateway's, untouched
  bool changed = true;
  ASSERT_TRUE(first->MarkSent(a, QStringLiteral("5"), &why, &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(State(a), QStringLiteral("unknown"));
  ASSERT_TRUE(first->WriteStatus(status, &why, &lost));
  EXPECT_TRUE(lost);
  // An outcome under the right claim still lands.
  ASSERT_TRUE(other->MarkSent(b, QStringLiteral("6"), &why, &changed));
  EXPECT_TRUE(changed);
  EXPECT_EQ(State(b), QStringLiteral("sent"));
}

// A database of the first schema is brought up to date in place: its rows
// stay, a row it left sending counts as an earlier instance's.
TEST_P(SpoolTest, FirstSchemaMigratedInPlace) {
  QSqlQuery q(admin->db());
  const qint64 a = Queue(QStringLiteral("old"));
  ASSERT_TRUE(q.exec(QStringLiteral("UPDATE outbox SET state = 'sending', claimed_by = 'gw1', claim = NULL")));
  for (const char* sql : {"ALTER TABLE outbox DROP COLUMN claim", "ALTER TABLE gateways DROP COLUMN instance",
                          "ALTER TABLE gateways DROP COLUMN pid", "UPDATE schema_version SET version = 1"})
    ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
  Spool* gw = Make(QStringLiteral("gw1"));
  ASSERT_TRUE(gw->IsOpen());
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT version FROM schema_version WHERE component = 'spool'")) && q.next());
  EXPECT_EQ(q.value(0).toInt(), kSchemaVersion);
  std::vector<qint64> settled;
  QString holder;
  ASSERT_EQ(gw->TakeName(QStringLiteral("stopped"), &settled, &holder, &why), Spool::Take::Taken) << why.toStdString();
  EXPECT_EQ(settled, std::vector<qint64>{a});
}

TEST_P(SpoolTest, InboxKeepsOneRowPerMessageKeyAndGateway) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  Spool* gw2 = Make(QStringLiteral("gw2"));
  InboxRow r;
  r.msgKey = QStringLiteral("ABCD SMS20261208102030123");
  r.sender = QStringLiteral("+4915111");
  r.text = QStringLiteral("Привет 😀");
  r.coding = QStringLiteral("ucs2");
  r.scTime = QStringLiteral("2026-12-08T10:20:30+03:00");
  r.pdus = QStringLiteral("0791...");
  ASSERT_TRUE(gw1->InsertInbox(r, &why)) << why.toStdString();
  ASSERT_TRUE(gw1->InsertInbox(r, &why)) << why.toStdString();  // again after a crash: no second row
  ASSERT_TRUE(gw2->InsertInbox(r, &why));                       // another gateway's is its own
  QSqlQuery q(admin->db());
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT gateway, text, class, files FROM inbox ORDER BY id")));
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.value(0).toString(), QStringLiteral("gw1"));
  EXPECT_EQ(q.value(1).toString(), r.text);
  EXPECT_TRUE(q.value(2).isNull());
  EXPECT_TRUE(q.value(3).isNull());
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.value(0).toString(), QStringLiteral("gw2"));
  EXPECT_FALSE(q.next());
}

TEST_P(SpoolTest, StatusRowIsUpdatedInPlace) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  GatewayStatus s;
  s.host = QStringLiteral("box1");
  s.connection = QStringLiteral("connecting");
  ASSERT_TRUE(gw1->WriteStatus(s, &why)) << why.toStdString();
  s.connection = QStringLiteral("connected");
  s.signal = 21;
  s.queue = 3;
  ASSERT_TRUE(gw1->WriteStatus(s, &why));
  QSqlQuery q(admin->db());
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT count(*), max(connection), max(signal), max(queue), max(last_seen) FROM gateways")));
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.value(0).toInt(), 1);
  EXPECT_EQ(q.value(1).toString(), QStringLiteral("connected"));
  EXPECT_EQ(q.value(2).toInt(), 21);
  EXPECT_EQ(q.value(3).toInt(), 3);
  EXPECT_TRUE(TimeFrom(q.value(4)).isValid());
}

// The health a gateway reports lands in its row, and a database of the
// previous schema gains those columns in place (its row kept).
TEST_P(SpoolTest, StatusRowCarriesTheGatewaysHealth) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  GatewayStatus s;
  s.connection = QStringLiteral("connected");
  ASSERT_TRUE(gw1->WriteStatus(s, &why)) << why.toStdString();
  QSqlQuery q(admin->db());
  for (const char* sql : {"ALTER TABLE gateways DROP COLUMN last_answer", "ALTER TABLE gateways DROP COLUMN restarts",
                          "ALTER TABLE gateways DROP COLUMN registered", "UPDATE schema_version SET version = 2"})
    ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
  Spool* gw2 = Make(QStringLiteral("gw2"));
  ASSERT_TRUE(gw2->IsOpen());
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT version FROM schema_version WHERE component = 'spool'")) && q.next());
  EXPECT_EQ(q.value(0).toInt(), kSchemaVersion);
  q.finish();
  s.lastAnswer = QStringLiteral("AT+CPMS?");
  s.lastAnswerAt = QDateTime::fromString(QStringLiteral("2026-12-08T10:00:05Z"), Qt::ISODate);
  s.restarts = 2;
  s.storeUsed = 9;
  s.storeTotal = 10;
  s.storeFull = false;
  s.registered = true;
  ASSERT_TRUE(gw2->WriteStatus(s, &why)) << why.toStdString();
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT last_answer, last_answer_at, restarts, store_used, store_total, store_full,"
                                    " registered, (SELECT count(*) FROM gateways) FROM gateways WHERE name = 'gw2'")));
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.value(0).toString(), QStringLiteral("AT+CPMS?"));
  EXPECT_EQ(TimeFrom(q.value(1)), s.lastAnswerAt);
  EXPECT_EQ(q.value(2).toInt(), 2);
  EXPECT_EQ(q.value(3).toInt(), 9);
  EXPECT_EQ(q.value(4).toInt(), 10);
  EXPECT_EQ(q.value(5).toInt(), 0);
  EXPECT_EQ(q.value(6).toInt(), 1);
  EXPECT_EQ(q.value(7).toInt(), 2) << "the row written before the upgrade stays";
}

TEST_P(SpoolTest, ReportMatchesTheNewestSentRowOfThatReferenceAndNumber) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  Spool* gw2 = Make(QStringLiteral("gw2"));
  const qint64 older = Queue(QStringLiteral("older")), newer = Queue(QStringLiteral("newer"));
  const qint64 theirs = Queue(QStringLiteral("theirs"), 0, QStringLiteral("gw2"));
  bool error = false;
  ASSERT_EQ(gw1->Claim(&error, &why)->id, older);
  ASSERT_TRUE(gw1->MarkSent(older, QStringLiteral("7"), &why));
  QThread::msleep(5);
  ASSERT_EQ(gw1->Claim(&error, &why)->id, newer);
  ASSERT_TRUE(gw1->MarkSent(newer, QStringLiteral("6,7"), &why));
  ASSERT_EQ(gw2->Claim(&error, &why)->id, theirs);
  ASSERT_TRUE(gw2->MarkSent(theirs, QStringLiteral("7"), &why));
  const QDateTime at = QDateTime::fromString(QStringLiteral("2026-12-08T10:00:05Z"), Qt::ISODate);
  // National form of the same number; reference 7 is in "6,7" but not in "17".
  auto id = gw1->RecordReport(QStringLiteral("01511234567"), 7, at, 0, &why);
  ASSERT_TRUE(id) << why.toStdString();
  EXPECT_EQ(*id, newer);
  EXPECT_FALSE(gw1->RecordReport(QStringLiteral("+491511234567"), 17, at, 0, &why));
  EXPECT_TRUE(why.isEmpty());
  EXPECT_FALSE(gw1->RecordReport(QStringLiteral("+4917099999"), 6, at, 0, &why));
  // A permanent failure (TP-ST 0x41) sets the status, not delivered.
  ASSERT_TRUE(gw2->RecordReport(QStringLiteral("+491511234567"), 7, at, 0x41, &why));
  QSqlQuery q(admin->db());
  ASSERT_TRUE(q.exec(QStringLiteral("SELECT id, delivered, report_status FROM outbox ORDER BY id")));
  std::map<qint64, std::pair<QDateTime, QVariant>> rows;
  while (q.next()) rows[q.value(0).toLongLong()] = {TimeFrom(q.value(1)), q.value(2)};
  EXPECT_FALSE(rows[older].first.isValid());
  EXPECT_EQ(rows[newer].first.toUTC(), at);
  EXPECT_EQ(rows[newer].second.toInt(), 0);
  EXPECT_FALSE(rows[theirs].first.isValid());
  EXPECT_EQ(rows[theirs].second.toInt(), 0x41);
}

// SQLite has no wake-up; it is looked at every turn.
class SpoolWakeTest : public SpoolTest {};
INSTANTIATE_TEST_SUITE_P(Postgres, SpoolWakeTest, ::testing::Values(Backend::Postgres),
                         [](const auto&) { return std::string("Postgres"); });

TEST_P(SpoolWakeTest, QueuedRowWakesListeningGatewaysOfItsOwn) {
  Spool* gw1 = Make(QStringLiteral("gw1"));
  EXPECT_FALSE(gw1->TakeWake());
  auto wokenWithin = [&](int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      if (gw1->TakeWake()) return true;
      QThread::msleep(10);
    }
    return false;
  };
  Queue(QStringLiteral("for gw2"), 0, QStringLiteral("gw2"));
  EXPECT_FALSE(wokenWithin(500));
  Queue(QStringLiteral("for any"));
  EXPECT_TRUE(wokenWithin(5000));
  Queue(QStringLiteral("for gw1"), 0, QStringLiteral("gw1"));
  EXPECT_TRUE(wokenWithin(5000));
  EXPECT_FALSE(gw1->TakeWake());
}

TEST(SqliteSpool, ReportsTheFileGoneOrReplaced) {
  pdulink::test::TempDir dir("spoolgone");
  Target t;
  QString why;
  const std::string path = dir.Path() + "/s.db";
  ASSERT_TRUE(ParseTarget(QString::fromStdString("sqlite:" + path), &t, &why));
  auto s = Spool::Make(t, QStringLiteral("gw"), QStringLiteral("gone"));
  ASSERT_TRUE(s->Open(&why));
  EXPECT_TRUE(s->Check(&why));
  std::filesystem::rename(path, path + ".moved");
  EXPECT_FALSE(s->Check(&why));
  EXPECT_EQ(why, QStringLiteral("database file missing"));
  s->Close();
  // Not created again where the caller says it must exist.
  EXPECT_FALSE(s->Open(&why, false));
  EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Backends, SpoolTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "Sqlite" : "Postgres"; });

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
