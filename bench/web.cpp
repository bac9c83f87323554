// Web server benchmark: pdulink-web as a process over a spool holding
// 100,000 outbox and 100,000 inbox rows, driven over HTTP/1.1 keep-alive
// connections by `clients` threads. For each backend (SQLite file, private
// PostgreSQL server) and each request kind: requests per second over the
// whole run and the latency at the 50th and 99th percentile. Exit status 2
// when the spool or the server cannot be set up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PostgresServer.h"
#include "SpoolDatabase.h"
#include "SpoolTarget.h"
#include "WebProcess.h"

namespace {

constexpr int kRows = 100000;

// One keep-alive connection; a request returns its status (0: failed).
class Connection {
 public:
  explicit Connection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    int one = 1;
    if (fd_ >= 0) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Request(const std::string& request) {
    if (fd_ < 0) return 0;
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return 0;
    char buf[65536];
    for (;;) {
      const size_t end = pending_.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::string head = pending_.substr(0, end);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        const size_t cl = head.find("content-length:");
        const size_t length = cl == std::string::npos ? 0 : std::stoul(head.substr(cl + 15));
        if (pending_.size() >= end + 4 + length) {
          const int status = std::stoi(pending_.substr(9, 3));
          pending_.erase(0, end + 4 + length);
          return status;
        }
      }
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return 0;
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

struct Figures {
  double perSecond = 0;
  double p50 = 0, p99 = 0;  // ms
  int failed = 0;
};

// `total` requests made by `clients` threads, each its own connection.
Figures Measure(int port, int total, int clients, const std::function<std::string(int)>& request, int expected) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<int> next{0}, failed{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      Connection conn(port);
      for (int i; (i = next++) < total;) {
        const std::string r = request(i);
        const auto t0 = std::chrono::steady_clock::now();
        const int status = conn.Request(r);
        latencies[c].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (status != expected) ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Figures f;
  f.perSecond = total / seconds;
  f.p50 = all[all.size() / 2];
  f.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.failed = failed;
  return f;
}

// 100,000 rows in each table, in one transaction.
bool Fill(const std::string& uri, std::string* error) {
  spool::Target target;
  QString why;
  if (!spool::ParseTarget(QString::fromStdString(uri), &target, &why)) return *error = why.toStdString(), false;
  {
    QSqlDatabase db = spool::Open(target, "bench-fill", &why);
    if (!db.isValid() || !spool::Migrate(db, &why)) return *error = why.toStdString(), false;
    QSqlQuery q(db);
    q.exec("BEGIN");
    QSqlQuery out(db), in(db);
    out.prepare("INSERT INTO outbox (number, text, state, claimed_by, refs) VALUES (?, ?, ?, ?, ?)");
    in.prepare("INSERT INTO inbox (gateway, sender, text, coding, pdus, msg_key) VALUES (?, ?, ?, ?, ?, ?)");
    const char* states[] = {"sent", "sent", "sent", "failed", "queued"};
    for (int i = 0; i < kRows; ++i) {
      out.addBindValue(QString("+49151%1").arg(i, 7, 10, QChar('0')));
      out.addBindValue(QString("Message number %1 from the benchmark").arg(i));
      out.addBindValue(states[i % 5]);
      out.addBindValue(QString("gw%1").arg(i % 3));
      out.addBindValue(QString::number(i % 256));
      in.addBindValue(QString("gw%1").arg(i % 3));
      in.addBindValue(QString("+49170%1").arg(i, 7, 10, QChar('0')));
      in.addBindValue(QString("Received message %1, a text of ordinary length for a reply").arg(i));
      in.addBindValue("7bit");
      in.addBindValue("07919471060040340409D0");
      in.addBindValue(QString("key%1").arg(i));
      if (!out.exec() || !in.exec()) {
        *error = (out.lastError().text() + in.lastError().text()).toStdString();
        return false;
      }
    }
    if (!q.exec("COMMIT")) return *error = q.lastError().text().toStdString(), false;
    if (spool::BackendOf(db) == spool::Backend::Postgres) q.exec("ANALYZE");
  }
  spool::Close("bench-fill");
  return true;
}

void Row(const char* backend, const char* what, const Figures& f) {
  std::printf("%-10s %-34s %10.0f %9.2f %9.2f %7d\n", backend, what, f.perSecond, f.p50, f.p99, f.failed);
  std::fflush(stdout);
}

bool Run(const char* backend, const std::string& uri, int requests, int clients) {
  std::string error;
  if (!Fill(uri, &error)) {
    std::printf("%-10s cannot fill the spool: %s\n", backend, error.c_str());
    return false;
  }
  pdulink::test::WebProcess web(uri, {"--max-parts", "6"});
  const std::string key = web.AddKey("bench");
  if (key.empty() || !web.Start()) {
    std::printf("%-10s pdulink-web did not start: %s\n", backend, web.Log().c_str());
    return false;
  }
  const std::string auth = "Authorization: Bearer " + key + "\r\n";
  auto post = [&](const std::string& body, const std::string& extra) {
    return "POST /api/v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + extra +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string body = R"({"to": "+4915112345678", "text": "Your code is 123456", "priority": 1})";
  auto get = [&](const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + "\r\n"; };
  std::mt19937 rng(7);
  std::vector<int> sinceIds(requests);
  for (int& s : sinceIds) s = static_cast<int>(rng() % (kRows - 100));

  Row(backend, "POST /messages (1 recipient)", Measure(web.Port(), requests, clients, [&](int) { return post(body, ""); }, 201));
  Row(backend, "POST /messages + Idempotency-Key",
      Measure(web.Port(), requests, clients,
              [&](int i) { return post(body, "Idempotency-Key: bench-" + std::to_string(i) + "\r\n"); }, 201));
  Row(backend, "GET /inbox?since_id=N&limit=50",
      Measure(web.Port(), requests, clients,
              [&](int i) { return get("/api/v1/inbox?since_id=" + std::to_string(sinceIds[i]) + "&limit=50"); }, 200));
  Row(backend, "GET /inbox?newest=50", Measure(web.Port(), requests, clients, [&](int) { return get("/api/v1/inbox?newest=50"); }, 200));
  Row(backend, "GET /messages?state=sent&limit=50",
      Measure(web.Port(), requests / 5, clients, [&](int) { return get("/api/v1/messages?state=sent&limit=50"); }, 200));
  Row(backend, "GET /metrics", Measure(web.Port(), 200, 1, [&](int) { return get("/api/v1/metrics"); }, 200));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int requests = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int clients = argc > 2 ? std::atoi(argv[2]) : 4;
  std::printf("pdulink-web, %d rows in outbox and inbox, %d requests per row, %d keep-alive clients\n", kRows,
              requests, clients);
  std::printf("%-10s %-34s %10s %9s %9s %7s\n", "backend", "request", "req/s", "p50 ms", "p99 ms", "failed");
  bool ok = true;
  {
    pdulink::test::TempDir dir("pdulink-bench-web");
    ok = Run("sqlite", "sqlite:" + dir.Path() + "/spool.db", requests, clients) && ok;
  }
  pdulink::test::PostgresServer pg;
  if (!pg.Started())
    std::printf("%-10s skipped: %s\n", "postgresql", pg.Error().c_str());
  else
    ok = Run("postgresql", pg.Uri(), requests, clients) && ok;
  return ok ? 0 : 2;
}
