#pragma once
// A webhook receiver for a test: an HTTP server on a loopback port that
// keeps every request it gets (the signature header and the body) and
// answers with the statuses it is told, one per request, after a delay.
// Each connection is served on a thread of its own, so that a slow answer
// holds up no other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pdulink::test {

struct WebhookCall {
  std::string signature;  // X-Pdulink-Signature
  QByteArray body;
  QJsonObject event() const { return QJsonDocument::fromJson(body).object(); }
  QString id() const { return event().value("id").toString(); }
  QString type() const { return event().value("type").toString(); }
};

class WebhookReceiver {
 public:
  // port 0: any free one.
  explicit WebhookReceiver(int port = 0, int delayMs = 0) : delayMs_(delayMs) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0) return;
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~WebhookReceiver() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : workers_) t.join();
    if (fd_ >= 0) ::close(fd_);
  }

  int Port() const { return port_; }
  std::string Url(const std::string& path = "/hook") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The statuses of the next answers, in order; 200 once they are used up.
  void AnswerWith(std::vector<int> statuses) {
    std::lock_guard lock(mutex_);
    statuses_.assign(statuses.begin(), statuses.end());
  }
  // Answers 500 to every request whose body holds `needle`.
  void RefuseWhenBodyHolds(const std::string& needle) {
    std::lock_guard lock(mutex_);
    refuse_ = needle;
  }
  std::vector<WebhookCall> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // Waits until `count` calls came (or the seconds passed); the calls.
  std::vector<WebhookCall> WaitFor(size_t count, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (Calls().size() < count && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Calls();
  }

  // The check a receiver makes: v1 is the HMAC-SHA256 of "<t>.<body>".
  static bool Signed(const WebhookCall& call, const QByteArray& secret, qint64* t = nullptr) {
    const QByteArray header = QByteArray::fromStdString(call.signature);
    const QList<QByteArray> parts = header.split(',');
    if (parts.size() != 2 || !parts[0].startsWith("t=") || !parts[1].startsWith("v1=")) return false;
    const QByteArray time = parts[0].mid(2);
    if (t) *t = time.toLongLong();
    const QByteArray mac =
        QMessageAuthenticationCode::hash(time + '.' + call.body, secret, QCryptographicHash::Sha256).toHex();
    return mac == parts[1].mid(3);
  }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      workers_.emplace_back([this, c] { Serve(c); });
    }
  }

  void Serve(int c) {
    std::string raw;
    char buf[8192];
    size_t headEnd = std::string::npos, length = 0;
    while (!stop_) {
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, static_cast<size_t>(n));
      if (headEnd == std::string::npos && (headEnd = raw.find("\r\n\r\n")) != std::string::npos)
        length = std::stoul(Header(raw.substr(0, headEnd), "content-length", "0"));
      if (headEnd != std::string::npos && raw.size() >= headEnd + 4 + length) break;
    }
    if (headEnd == std::string::npos) return (void)::close(c);
    int status = 200;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({Header(raw.substr(0, headEnd), "x-pdulink-signature", ""),
                        QByteArray::fromStdString(raw.substr(headEnd + 4, length))});
      if (!statuses_.empty()) {
        status = statuses_.front();
        statuses_.pop_front();
      }
      if (!refuse_.empty() && calls_.back().body.contains(QByteArray::fromStdString(refuse_))) status = 500;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs_);
    while (!stop_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(c);
  }

  static std::string Header(std::string head, const std::string& name, const std::string& otherwise) {
    std::string lower = head;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const size_t at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) return otherwise;
    const size_t from = head.find_first_not_of(' ', at + 3 + name.size());
    return head.substr(from, head.find("\r\n", from) - from);
  }

  int fd_ = -1;
  int port_ = 0;
  int delayMs_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> workers_;  // touched by the acceptor only, then joined
  std::mutex mutex_;
  std::vector<WebhookCall> calls_;
  std::deque<int> statuses_;
  std::string refuse_;
};

}  // namespace pdulink::test
