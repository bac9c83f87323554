// Spool benchmark, on SQLite (a file in a temporary directory) and on a
// private PostgreSQL server started here (Unix socket, fsync off):
//   claims/s N      N connections (threads) claim and mark sent until the
//                   outbox is empty; rows per second over all of them
//   inbox inserts/s one connection inserts rows one commit each, as a
//                   gateway does before it deletes a message
//   end to end N    N copies of the shipped program (pdulink --headless, its
//                   own one-second tick, WatchInt=20) on N simulated phones
//                   at latency 0, in fast and in default mode: rows per
//                   second from the rows queued (all gateways connected and
//                   idle) to the last one recorded sent, beside the phones'
//                   floor: one PDU round trip per row (from AT+CMGS to the
//                   phone's +CMGS answer, the median in the phones'
//                   transcripts), times N, and the median time from one
//                   row's answer to the next row's AT+CMGS
// Prints a table. Usage: bench_spool [rows]  (default 600).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>
#include <QDateTime>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "PostgresServer.h"
#include "Spool.h"
#include "SpoolDatabase.h"
#include "TempDir.h"

namespace {

int connections = 0;

QString Name() { return QStringLiteral("bench%1").arg(++connections); }

void Reset(QSqlDatabase& db) {
  QSqlQuery q(db);
  q.exec(QStringLiteral("DELETE FROM outbox"));
  q.exec(QStringLiteral("DELETE FROM inbox"));
}

void QueueRows(QSqlDatabase& db, int rows) {
  db.transaction();
  for (int i = 0; i < rows; ++i) {
    spool::OutboxMessage m;
    m.number = QStringLiteral("+49151%1").arg(1000000 + i);
    m.text = QStringLiteral("bench row %1").arg(i);
    spool::Enqueue(db, m);
  }
  db.commit();
}

int Sent(QSqlDatabase& db) {
  QSqlQuery q(db);
  if (!q.exec(QStringLiteral("SELECT count(*) FROM outbox WHERE state = 'sent'")) || !q.next()) return -1;
  return q.value(0).toInt();
}

double Claims(const spool::Target& target, QSqlDatabase& admin, int threads, int rows) {
  Reset(admin);
  QueueRows(admin, rows);
  std::atomic<int> done{0};
  QElapsedTimer timer;
  std::vector<std::unique_ptr<QThread>> workers;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  for (int t = 0; t < threads; ++t) {
    const QString name = Name();
    workers.emplace_back(QThread::create([&, t, name] {
      auto s = spool::Spool::Make(target, QStringLiteral("g%1").arg(t), name);
      QString why;
      if (!s->Open(&why)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(why));
        ++ready;
        return;
      }
      ++ready;
      while (!go) std::this_thread::yield();
      bool error = false;
      for (;;) {
        auto c = s->Claim(&error, &why);
        if (error) continue;
        if (!c) break;
        s->MarkSent(c->id, QStringLiteral("1"), &why);
        ++done;
      }
    }));
    workers.back()->start();
  }
  while (ready < threads) std::this_thread::yield();
  timer.start();
  go = true;
  for (auto& w : workers) w->wait();
  return done * 1000.0 / std::max<qint64>(1, timer.elapsed());
}

double Inserts(const spool::Target& target, int rows) {
  auto s = spool::Spool::Make(target, QStringLiteral("g"), Name());
  QString why;
  if (!s->Open(&why)) return 0;
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < rows; ++i) {
    spool::InboxRow r;
    r.msgKey = QStringLiteral("key %1").arg(i);
    r.sender = QStringLiteral("+4915199999");
    r.text = QStringLiteral("bench message %1").arg(i);
    r.pdus = QStringLiteral("07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37");
    r.files = QStringLiteral("/var/log/pdulink/SMS%1.txt").arg(i);
    s->InsertInbox(r, &why);
  }
  return rows * 1000.0 / std::max<qint64>(1, timer.elapsed());
}

// The phone's time for each row: from AT+CMGS to its +CMGS answer; and the
// time between rows: from that answer to the next AT+CMGS (the gateway's
// reply framing, its database work and its other duties). From the
// transcript's lines "YYYY-MM-DD HH:MM:SS.mmm <- ...", in ms.
struct Timings {
  std::vector<double> trips, gaps;
};

void AddTimings(const std::string& transcript, Timings* t) {
  std::istringstream in(transcript);
  std::optional<QDateTime> start, answered;
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 27) continue;
    const QDateTime at = QDateTime::fromString(QString::fromStdString(line.substr(0, 23)), "yyyy-MM-dd HH:mm:ss.zzz");
    const std::string rest = line.substr(24);
    if (rest.rfind("<- AT+CMGS=", 0) == 0) {
      if (answered) t->gaps.push_back(static_cast<double>(answered->msecsTo(at)));
      start = at;
      answered.reset();
    } else if (start && rest.rfind("-> \\r\\n+CMGS:", 0) == 0) {
      t->trips.push_back(static_cast<double>(start->msecsTo(at)));
      start.reset();
      answered = at;
    }
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double rate = 0;   // rows per second, all gateways
  double floor = 0;  // the phones' rows per second at one PDU round trip a row
  double gap = 0;    // median ms from a row's answer to the next row's AT+CMGS
};

Figures EndToEnd(const std::string& uri, QSqlDatabase& admin, int gateways, int rows, bool fast) {
  Reset(admin);
  struct Member {
    std::unique_ptr<pdulink::test::PhoneProcess> phone;
    std::unique_ptr<pdulink::test::TempDir> work;
    std::unique_ptr<pdulink::test::Child> process;
  };
  std::vector<Member> members(static_cast<size_t>(gateways));
  for (int g = 0; g < gateways; ++g) {
    Member& m = members[static_cast<size_t>(g)];
    m.phone = std::make_unique<pdulink::test::PhoneProcess>();
    if (!m.phone->Started()) return {};
    m.work = std::make_unique<pdulink::test::TempDir>("benchspool");
    const std::string ini = m.work->Path() + "/gw" + std::to_string(g) + ".ini";
    std::ofstream(ini, std::ios::binary) << "[Main]\r\nAutoConnect=1\r\nAutoSend=1\r\nWatchInt=20\r\nFastMode="
                                         << (fast ? "1" : "0") << "\r\nBatteryCheck=0\r\nSpool=" << uri
                                         << "\r\n[Ports]\r\nCOM1=" << m.phone->LinkPath() << "\r\n";
    m.process = std::make_unique<pdulink::test::Child>(std::vector<std::string>{PDULINK_BIN, "--headless", ini},
                                                       m.work->Path());
  }
  for (Member& m : members)
    if (!m.process->WaitFor("SMS Memory Select:", 60)) return {};
  // Idle first: the burst must wake them.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  QueueRows(admin, rows);
  QElapsedTimer timer;
  timer.start();
  while (Sent(admin) < rows) {
    for (Member& m : members) m.process->Pump(1);
    if (timer.elapsed() > 600000) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Figures f;
  f.rate = rows * 1000.0 / std::max<qint64>(1, timer.elapsed());
  Timings t;
  for (Member& m : members) {
    m.process->Type("/exit");
    m.process->Wait(10);
    AddTimings(m.phone->Transcript(), &t);
  }
  f.floor = gateways * 1000.0 / std::max(1.0, Median(t.trips));
  f.gap = Median(t.gaps);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rows = argc > 1 ? std::atoi(argv[1]) : 600;
  pdulink::test::TempDir dir("benchspool");
  pdulink::test::PostgresServer server;
  struct Backend {
    const char* name;
    std::string uri;
  };
  std::vector<Backend> backends = {{"SQLite", "sqlite:" + dir.Path() + "/spool.db"}};
  if (server.Started()) backends.push_back({"PostgreSQL", server.Uri()});
  else std::printf("PostgreSQL: not measured (%s)\n", server.Error().c_str());

  std::printf("%-12s %-22s %12s\n", "backend", "figure", "per second");
  for (const Backend& b : backends) {
    spool::Target target;
    QString why;
    spool::ParseTarget(QString::fromStdString(b.uri), &target, &why);
    QSqlDatabase admin = spool::Open(target, QStringLiteral("admin"), &why);
    if (!admin.isOpen() || !spool::Migrate(admin, &why)) {
      std::printf("%-12s cannot open: %s\n", b.name, qPrintable(why));
      continue;
    }
    for (int n : {1, 3, 10})
      std::printf("%-12s claims/s, %2d conn.      %12.0f\n", b.name, n, Claims(target, admin, n, rows * 2));
    std::printf("%-12s inbox inserts/s        %12.0f\n", b.name, Inserts(target, rows));
    for (bool fast : {true, false})
      for (int n : {1, 3}) {
        std::fflush(stdout);
        // The default mode's replies take longer: fewer rows keep it short.
        const Figures f = EndToEnd(b.uri, admin, n, fast ? rows / 2 : rows / 10, fast);
        std::printf("%-12s end to end, %d gw., %-7s %9.1f rows/s (phones' floor %.0f rows/s; %.0f ms between rows)\n",
                    b.name, n, fast ? "fast" : "default", f.rate, f.floor, f.gap);
      }
    std::fflush(stdout);
    admin = QSqlDatabase();
    spool::Close(QStringLiteral("admin"));
  }
  return 0;
}
