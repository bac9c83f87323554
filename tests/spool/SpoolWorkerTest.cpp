// The spool's worker thread against SQLite: rows claimed and their outcomes
// written off the caller's thread; while another connection holds the
// write lock the caller is answered within a moment (the inbox row not
// committed, the database slow), and once the lock ends the row is
// committed once and the database answers again.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QVariant>
#include <chrono>
#include <functional>
#include <thread>

#include "SpoolDatabase.h"
#include "SpoolWorker.h"
#include "TempDir.h"

using namespace spool;
using namespace std::chrono_literals;

namespace {

bool Within(std::chrono::milliseconds limit, const std::function<bool()>& pred) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int Scalar(QSqlDatabase& db, const QString& sql) {
  QSqlQuery q(db);
  if (!q.exec(sql) || !q.next()) return -1;
  return q.value(0).toInt();
}

TEST(SpoolWorker, ClaimsOffTheCallerAndNeverHoldsItOnALockedDatabase) {
  pdulink::test::TempDir dir("spoolworker");
  Target target;
  QString why;
  ASSERT_TRUE(ParseTarget(QString::fromStdString("sqlite:" + dir.Path() + "/spool.db"), &target, &why));
  QSqlDatabase admin = Open(target, QStringLiteral("admin"), &why);
  ASSERT_TRUE(admin.isOpen() && Migrate(admin, &why)) << why.toStdString();
  for (const char* text : {"one", "two"}) {
    OutboxMessage m;
    m.number = QStringLiteral("+491511234567");
    m.text = QString::fromLatin1(text);
    ASSERT_TRUE(Enqueue(admin, m, &why));
  }
  {
    SpoolWorker worker(target, QStringLiteral("gw1"), QStringLiteral("worker"));
    worker.start();
    ASSERT_TRUE(Within(5s, [&] { return worker.Usable(); }));
    auto first = worker.Claim(2000ms);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, QStringLiteral("one"));
    worker.Record({first->id, SpoolWorker::Outcome::Sent, QStringLiteral("7"), {}});
    auto second = worker.Claim(2000ms);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->text, QStringLiteral("two"));
    worker.Record({second->id, SpoolWorker::Outcome::Failed, {}, QStringLiteral("+CMS ERROR: 500")});
    EXPECT_FALSE(worker.Claim(2000ms));
    EXPECT_FALSE(worker.WorkWaiting());
    ASSERT_TRUE(Within(5s, [&] { return Scalar(admin, QStringLiteral("SELECT count(*) FROM outbox WHERE state IN ('sent', 'failed')")) == 2; }));

    // Another connection holds the write lock.
    QSqlQuery lock(admin);
    ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
    InboxRow row;
    row.msgKey = QStringLiteral("k1");
    row.pdus = QStringLiteral("00");
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(worker.Insert(row, 250ms));
    EXPECT_LT(timer.elapsed(), 1000);
    ASSERT_TRUE(Within(5s, [&] { return worker.Slow(nullptr); }));
    EXPECT_FALSE(worker.Usable());
    QString slowWhy;
    worker.Slow(&slowWhy);
    EXPECT_FALSE(slowWhy.isEmpty());
    // Asked again meanwhile: still answered at once.
    timer.restart();
    EXPECT_FALSE(worker.Insert(row, 250ms));
    EXPECT_LT(timer.elapsed(), 1000);
    ASSERT_TRUE(lock.exec(QStringLiteral("COMMIT")));
    ASSERT_TRUE(Within(5s, [&] { return !worker.Slow(nullptr) && worker.Usable(); }));
    EXPECT_TRUE(Within(5s, [&] { return worker.Insert(row, 250ms); }));
    EXPECT_EQ(Scalar(admin, QStringLiteral("SELECT count(*) FROM inbox WHERE msg_key = 'k1'")), 1);
    for (const std::string& line : worker.TakeJournal())
      EXPECT_EQ(line.find("unreachable"), std::string::npos) << line;
    EXPECT_TRUE(worker.Finish(3000ms));
  }
  admin = QSqlDatabase();
  Close(QStringLiteral("admin"));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
