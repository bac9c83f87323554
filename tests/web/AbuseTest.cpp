// pdulink-web under attack, with a real client against the real server:
// bodies too large (announced, streamed, without a key), more idle
// connections than the file limit allows, clients that send their request
// a byte at a time, a spool locked by another process, metrics asked for
// through a proxy or under a foreign Host, control characters in a path.
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "WebProcess.h"

namespace {

using pdulink::test::HttpResponse;
using pdulink::test::WebProcess;

// A connection from a chosen loopback address (127.0.0.N).
int Connect(int port, int fromLast = 1) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(fromLast));
  ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

void Send(int fd, const std::string& data) { pdulink::test::SendAll(fd, data); }

// Everything the server sends until it closes (or 5 s pass; *closed then
// tells which).
std::string ReadToClose(int fd, bool* closed = nullptr) {
  std::string raw;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = n == 0;
      break;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  return raw;
}

int Status(const std::string& raw) { return raw.size() > 12 ? std::stoi(raw.substr(9, 3)) : 0; }

long RssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string Post(const std::string& key, const std::string& length, const std::string& extra = "") {
  return "POST /api/v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
         (key.empty() ? std::string() : "Authorization: Bearer " + key + "\r\n") +
         "Content-Type: application/json\r\n" + length + extra + "\r\n";
}

TEST(WebAbuseTest, ABodyOverTheLimitIsRefusedBeforeItIsRead) {
  WebProcess web;
  const std::string key = web.AddKey("shop");
  ASSERT_TRUE(web.Start());
  const long before = RssKb(web.Server()->pid);

  // Announced as 1 GB, with and without a key: answered after the head,
  // while the client has sent only a little of it.
  for (const std::string& k : {key, std::string()}) {
    const int fd = Connect(web.Port());
    Send(fd, Post(k, "Content-Length: 1073741824\r\n") + std::string(16384, ' '));
    const std::string answer = ReadToClose(fd);
    ::close(fd);
    EXPECT_EQ(Status(answer), k.empty() ? 401 : 413) << answer;
  }
  // Streamed in chunks without a length: refused once past the limit; the
  // client gives up after at most 1 MB.
  {
    const int fd = Connect(web.Port());
    Send(fd, Post(key, "Transfer-Encoding: chunked\r\n"));
    const std::string chunk = "4000\r\n" + std::string(16384, ' ') + "\r\n";
    for (int i = 0; i < 64; ++i) Send(fd, chunk);
    Send(fd, "0\r\n\r\n");
    const std::string answer = ReadToClose(fd);
    ::close(fd);
    EXPECT_TRUE(answer.empty() || Status(answer) == 413) << answer;
  }
  EXPECT_LT(RssKb(web.Server()->pid) - before, 4096) << "kB grown";

  // The limit is 64 KiB exactly: a body of 65,536 bytes is taken, one more
  // byte is not.
  const std::string json = R"({"to":"+4915","text":"x"})";
  const std::string fits = json + std::string(65536 - json.size(), ' ');
  EXPECT_EQ(web.Post("/api/v1/messages", fits, key).status, 201);
  EXPECT_EQ(web.Post("/api/v1/messages", fits + " ", key).status, 413);
}

TEST(WebAbuseTest, IdleAndSlowClientsDoNotTakeTheServerOffTheAir) {
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 4096);
  ::setrlimit(RLIMIT_NOFILE, &rl);
  WebProcess web("", {"--header-timeout", "2"});
  const std::string key = web.AddKey("shop");
  ASSERT_TRUE(web.Start());

  // 1,100 idle sockets from one address and a client sending its head a
  // byte at a time from another: health and the API still answer at once.
  std::vector<int> idle;
  for (int i = 0; i < 1100; ++i) idle.push_back(Connect(web.Port(), 2));
  const int slow = Connect(web.Port(), 3);
  Send(slow, "G");
  EXPECT_EQ(web.Get("/healthz").status, 200);
  EXPECT_EQ(web.Get("/api/v1/inbox", key).status, 200);

  // The slow client is dropped once its head is late, however it trickles.
  bool dropped = false;
  for (int i = 0; i < 40 && !dropped; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (::send(slow, "E", 1, MSG_NOSIGNAL) < 0) dropped = true;
    char c;
    if (::recv(slow, &c, 1, MSG_DONTWAIT) == 0) dropped = true;
  }
  EXPECT_TRUE(dropped);
  for (int fd : idle) ::close(fd);
  ::close(slow);

  // Connection: close and HTTP/1.0: the server closes after the answer;
  // HEAD gets the headers only.
  for (const std::string& head : {std::string("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"),
                                  std::string("GET /healthz HTTP/1.0\r\n\r\n")}) {
    const int fd = Connect(web.Port());
    Send(fd, head);
    bool closed = false;
    const std::string answer = ReadToClose(fd, &closed);
    ::close(fd);
    EXPECT_EQ(Status(answer), 200) << head;
    EXPECT_TRUE(closed) << "left open: " << head;
  }
  const HttpResponse head = pdulink::test::Http(web.Port(), "HEAD", "/");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());
}

// The lock is held until the checks below are done: a server that waited
// for it would not answer them at all.
TEST(WebAbuseTest, ALockedSpoolGets503AndHealthSaysSlow) {
  WebProcess web;
  const std::string key = web.AddKey("shop");
  ASSERT_TRUE(web.Start());
  // Another process's write lock.
  QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "locker");
  db.setDatabaseName(QString::fromStdString(web.Directory() + "/spool.db"));
  ASSERT_TRUE(db.open());
  ASSERT_TRUE(QSqlQuery(db).exec("BEGIN EXCLUSIVE"));
  HttpResponse posted;
  std::thread poster([&] { posted = web.Post("/api/v1/messages", R"({"to":"+4915","text":"x"})", key); });
  // Health answers meanwhile: ok, or that the spool is slow.
  for (int i = 0; i < 3; ++i) {
    const HttpResponse health = web.Get("/healthz");
    EXPECT_TRUE(health.status == 200 || (health.status == 503 && health.body.find("spool slow") != std::string::npos))
        << health.status << " " << health.body;
  }
  poster.join();
  EXPECT_EQ(posted.status, 503) << posted.body;
  QSqlQuery(db).exec("ROLLBACK");
  db.close();
  db = QSqlDatabase();
  QSqlDatabase::removeDatabase("locker");
  EXPECT_NE(web.Log().find("the spool refused a message: database is locked"), std::string::npos) << web.Log();
  EXPECT_EQ(web.Post("/api/v1/messages", R"({"to":"+4915","text":"x"})", key).status, 201);
}

TEST(WebAbuseTest, MetricsAndPageThroughAProxyOrUnderAForeignName) {
  WebProcess web("", {"--host-name", "sms.example.org"});
  const std::string key = web.AddKey("shop");
  ASSERT_TRUE(web.Start());
  const int port = web.Port();
  for (const char* path : {"/metrics", "/api/v1/metrics"}) {
    EXPECT_EQ(web.Get(path).status, 200) << path << ": loopback itself";
    for (const char* forwarded : {"X-Forwarded-For: 203.0.113.9", "Forwarded: for=203.0.113.9", "X-Real-IP: 203.0.113.9"}) {
      EXPECT_EQ(pdulink::test::Http(port, "GET", path, "", {forwarded}).status, 401) << path << " " << forwarded;
      EXPECT_EQ(pdulink::test::Http(port, "GET", path, "", {forwarded, "Authorization: Bearer " + key}).status, 200);
    }
  }
  // A browser led here by a rebinding name sends that name as Host.
  for (const char* path : {"/", "/app.js", "/metrics"}) {
    const int fd = Connect(port);
    Send(fd, std::string("GET ") + path + " HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(Status(ReadToClose(fd)), 421) << path;
    ::close(fd);
    for (const char* host : {"localhost", "sms.example.org:443"}) {
      const int ok = Connect(port);
      Send(ok, std::string("GET ") + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
      EXPECT_EQ(Status(ReadToClose(ok)), 200) << path << " " << host;
      ::close(ok);
    }
  }
  // No key, no answer, on every keyed route.
  for (const char* path : {"/api/v1/messages/1", "/api/v1/gateways", "/api/v1/inbox", "/api/v1/messages"})
    EXPECT_EQ(web.Get(path).status, 401) << path;
}

TEST(WebAbuseTest, LogLinesNewKeysAndFileModes) {
  WebProcess web;
  const std::string first = web.AddKey("first");
  struct stat st{};
  ASSERT_EQ(::stat((web.Directory() + "/spool.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0037, 0u) << "spool.db mode " << std::oct << (st.st_mode & 0777);
  ASSERT_TRUE(web.Start());

  // A path with an encoded line feed is logged on one line, escaped.
  EXPECT_EQ(web.Get("/api/v1/messages/1%0Apdulink-web:%20forged").status, 401);
  EXPECT_EQ(web.Get("/api/v1/inbox", first).status, 200);
  const std::string log = web.Log();
  EXPECT_EQ(log.find("\npdulink-web: forged"), std::string::npos) << log;
  EXPECT_NE(log.find("/api/v1/messages/1\\x0apdulink-web: forged"), std::string::npos) << log;

  // A key made while the server runs works at once.
  const std::string second = web.AddKey("second");
  EXPECT_EQ(web.Get("/api/v1/inbox", second).status, 200);
}

}  // namespace
