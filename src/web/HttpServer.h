// The HTTP layer of pdulink-web over libmicrohttpd: connections are capped
// (in all and per client address) below the process's file limit, a client
// that is slow to send its request head is dropped, an idle connection is
// closed, and a request is looked at once its head is in, so that it can be
// refused (no key, too large a body) before its body is read. Answers may
// come later from another thread (the database worker): the connection
// waits suspended meanwhile, the server thread keeps serving the others.
#pragma once

#include <QHostAddress>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace pdulink::web {

struct ServerRequest;
struct ServerConnection;

struct HttpRequest {
  std::string method;  // as sent; HEAD is answered as GET without the body
  QString path;        // percent-decoded
  QByteArray rawPath;  // as sent
  QByteArray query;    // as sent, after '?'
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  QHostAddress peer;
  QByteArray body;
  QString keyName;  // the API key the head's check found, if any
  // The value of a header (first of that name, any case), empty if absent.
  QByteArray Header(const char* name) const;
  bool HasHeader(const char* name) const;
};

struct HttpResponse {
  int status = 200;
  QByteArray contentType = "application/json";
  QByteArray body;
  std::vector<std::pair<QByteArray, QByteArray>> headers;
  void Add(const QByteArray& name, const QByteArray& value) { headers.emplace_back(name, value); }
};

// One request's answer, given once from any thread; later answers (a
// deadline's, after the worker's) are dropped. While the request's head is
// being checked elsewhere, Continue lets its body be read instead.
class HttpExchange : public std::enable_shared_from_this<HttpExchange> {
 public:
  // true when this was the answer that counts.
  bool Answer(HttpResponse response);
  // The head passed (with this key): read the body, up to maxBody bytes.
  void Continue(size_t maxBody, const QString& keyName);
  // Answered with `fallback` unless answered within `ms`.
  void Deadline(int ms, HttpResponse fallback);

 private:
  friend class HttpServer;
  void Resume();  // under mutex_
  std::mutex mutex_;
  bool decided_ = false;  // answered or continued
  std::optional<HttpResponse> response_;
  std::optional<size_t> continueWith_;
  QString keyName_;
  MHD_Connection* connection_ = nullptr;
  bool suspended_ = false;
  std::chrono::steady_clock::time_point deadline_{};
  std::optional<HttpResponse> fallback_;
  class HttpServer* server_ = nullptr;
};

struct HttpLimits {
  size_t maxConnections = 512;  // in all; lowered below the file limit
  size_t maxPerClient = 64;     // per client address
  int headerSeconds = 10;       // to send a request head (and between requests)
  int bodySeconds = 30;         // to send the body once the head is in
  int idleSeconds = 30;         // without a byte either way
};

// What the head of a request leads to.
struct HeadVerdict {
  enum Kind { Answer, ReadBody, Deferred } kind = ReadBody;
  HttpResponse response;  // Answer: sent at once, the body (if any) unread
  size_t maxBody = 0;     // ReadBody: larger bodies get 413, unread
  QString keyName;        // ReadBody: the key the request came with
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // The head is in. Deferred: the check goes on elsewhere and ends with
  // exchange->Answer (a refusal) or exchange->Continue (read the body).
  virtual HeadVerdict OnHead(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) = 0;
  // The whole request is in; answer through the exchange, now or later.
  virtual void OnRequest(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) = 0;
};

class HttpServer {
 public:
  HttpServer(HttpHandler& handler, HttpLimits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Starts the server thread; the port listened on, 0 on failure (why set).
  quint16 Listen(const QHostAddress& address, quint16 port, QString* why);
  void Stop();
  const HttpLimits& Limits() const { return limits_; }

 private:
  static int Access(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                    const char* upload, size_t* uploadSize, void** context);
  static void Completed(void* cls, MHD_Connection* c, void** context, int why);
  static void Notify(void* cls, MHD_Connection* c, void** socketContext, int what);
  int Handle(MHD_Connection* c, const char* url, const char* method, const char* version, const char* upload,
             size_t* uploadSize, ServerRequest* r);
  // The steps of a request, one call of the library's per stage.
  int HeadIn(MHD_Connection* c, const char* method, const char* version, ServerRequest* r);
  // The head was checked elsewhere: its answer, the body to read, or wait.
  int HeadChecked(MHD_Connection* c, ServerRequest* r);
  // The head passed: a body announced larger than maxBody is refused unread.
  int StartBody(MHD_Connection* c, ServerRequest* r, size_t maxBody);
  int BodyIn(MHD_Connection* c, ServerRequest* r);
  // Queues the answer if there is one, or waits suspended for it.
  int AnswerOrWait(MHD_Connection* c, ServerRequest* r);
  int Suspend(MHD_Connection* c, ServerRequest* r);  // under the exchange's mutex
  void Sweep();
  void Watch(const std::shared_ptr<HttpExchange>& exchange);
  friend class HttpExchange;

  HttpHandler& handler_;
  HttpLimits limits_;
  MHD_Daemon* daemon_ = nullptr;
  // Open connections, for the sweeper that drops slow ones.
  std::mutex connectionsMutex_;
  std::map<MHD_Connection*, ServerConnection*> connections_;
  std::thread sweeper_;
  std::mutex sweepMutex_;
  std::condition_variable sweepWake_;
  bool stopping_ = false;
  std::vector<std::weak_ptr<HttpExchange>> deadlines_;  // under sweepMutex_
  // Requests waiting for an answer from elsewhere, answered 503 on stopping
  // (the library must not be stopped with a connection suspended).
  std::mutex waitingMutex_;
  std::vector<std::weak_ptr<HttpExchange>> waiting_;
  void Waiting(const std::shared_ptr<HttpExchange>& exchange);
};

}  // namespace pdulink::web
