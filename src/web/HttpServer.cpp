#include "HttpServer.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <QUrl>
#include <cstring>

namespace pdulink::web {

namespace {

using Clock = std::chrono::steady_clock;

bool SameName(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// File descriptors kept free of connections: the listening socket, the
// database, the log, the event descriptors.
constexpr rlim_t kReservedFiles = 64;

}  // namespace

QByteArray HttpRequest::Header(const char* name) const {
  for (const auto& [key, value] : headers)
    if (SameName(key, name)) return QByteArray::fromStdString(value);
  return {};
}

bool HttpRequest::HasHeader(const char* name) const {
  for (const auto& header : headers)
    if (SameName(header.first, name)) return true;
  return false;
}

// One request: what the server has of it and where it stands.
struct ServerRequest {
  enum Stage { Head, HeadChecked, Body, Answering };
  Stage stage = Head;
  HttpRequest request;
  std::shared_ptr<HttpExchange> exchange = std::make_shared<HttpExchange>();
  size_t maxBody = 0;
  bool tooLarge = false;  // the body went past maxBody
  size_t discarded = 0;   // bytes of it read and dropped since
};

// One connection, for the sweeper: its socket and since when it has been
// waiting for a request's head (or, reading a body, for the body).
struct ServerConnection {
  enum Phase { AwaitingHead, ReadingBody, Busy };
  int fd = -1;
  Phase phase = AwaitingHead;
  Clock::time_point since = Clock::now();
};

void HttpExchange::Resume() {
  if (suspended_) {
    suspended_ = false;
    MHD_resume_connection(connection_);
  }
}

bool HttpExchange::Answer(HttpResponse response) {
  std::lock_guard lock(mutex_);
  if (response_) return false;
  decided_ = true;
  response_ = std::move(response);
  Resume();
  return true;
}

void HttpExchange::Continue(size_t maxBody, const QString& keyName) {
  std::lock_guard lock(mutex_);
  if (decided_) return;
  decided_ = true;
  continueWith_ = maxBody;
  keyName_ = keyName;
  Resume();
}

void HttpExchange::Deadline(int ms, HttpResponse fallback) {
  {
    std::lock_guard lock(mutex_);
    deadline_ = Clock::now() + std::chrono::milliseconds(ms);
    fallback_ = std::move(fallback);
  }
  if (server_) server_->Watch(shared_from_this());
}

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits) : handler_(handler), limits_(limits) {
  // Connections stay below the file limit, so that the database and the
  // answers always find a descriptor.
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    const rlim_t room = rl.rlim_cur > 2 * kReservedFiles ? rl.rlim_cur - kReservedFiles : rl.rlim_cur / 2;
    if (limits_.maxConnections > room) limits_.maxConnections = room;
  }
  if (limits_.maxPerClient > limits_.maxConnections) limits_.maxPerClient = limits_.maxConnections;
}

HttpServer::~HttpServer() { Stop(); }

namespace {

// The raw request target, caught before the library decodes it: the query
// is kept as sent, as the listings' parameters expect it.
void* UriSeen(void*, const char* uri, MHD_Connection*) {
  auto* seen = new ServerRequest;
  HttpRequest* request = &seen->request;
  const QByteArray target(uri ? uri : "");
  const qsizetype q = target.indexOf('?');
  request->rawPath = q < 0 ? target : target.left(q);
  if (q >= 0) request->query = target.mid(q + 1);
  request->path = QUrl::fromPercentEncoding(request->rawPath);
  return seen;
}

enum MHD_Result CollectHeader(void* cls, enum MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpRequest*>(cls)->headers.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

QHostAddress Peer(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return {};
  return QHostAddress(info->client_addr);
}

enum MHD_Result Queue(MHD_Connection* c, const HttpResponse& r) {
  MHD_Response* response =
      MHD_create_response_from_buffer(static_cast<size_t>(r.body.size()), const_cast<char*>(r.body.constData()),
                                      MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  if (!r.contentType.isEmpty()) MHD_add_response_header(response, "Content-Type", r.contentType.constData());
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  for (const auto& [name, value] : r.headers) MHD_add_response_header(response, name.constData(), value.constData());
  const enum MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
  MHD_destroy_response(response);
  return ok;
}

// A piece of the body as it streams in: kept up to the limit.
int KeepBody(const char* upload, size_t* uploadSize, ServerRequest* r) {
  const size_t size = static_cast<size_t>(r->request.body.size());
  if (r->tooLarge || size + *uploadSize > r->maxBody) {
    // Streamed past the limit (chunked, or longer than announced). The
    // library answers only once the body is in, so the rest is read without
    // being kept, up to a few times the limit; a longer one has its
    // connection closed unanswered.
    r->tooLarge = true;
    r->discarded += *uploadSize;
    *uploadSize = 0;
    return r->discarded > 4 * r->maxBody + 65536 ? MHD_NO : MHD_YES;
  }
  r->request.body.append(upload, static_cast<qsizetype>(*uploadSize));
  *uploadSize = 0;
  return MHD_YES;
}

// Where a connection stands, for the sweeper, from now on.
void SetPhase(std::mutex& connectionsMutex, MHD_Connection* c, ServerConnection::Phase phase) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (!info || !info->socket_context) return;
  std::lock_guard lock(connectionsMutex);
  auto* conn = static_cast<ServerConnection*>(info->socket_context);
  conn->phase = phase;
  conn->since = Clock::now();
}

HttpResponse TooLarge(size_t limit) {
  HttpResponse r;
  r.status = 413;
  r.body = QString(R"({"error":{"status":413,"field":"body","message":"larger than %1 bytes"}})").arg(limit).toUtf8();
  r.Add("Connection", "close");
  return r;
}

}  // namespace

int HttpServer::Access(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                       const char* upload, size_t* uploadSize, void** context) {
  auto* self = static_cast<HttpServer*>(cls);
  auto* r = static_cast<ServerRequest*>(*context);
  if (r == nullptr) *context = r = new ServerRequest;  // begun by the URI callback otherwise
  return self->Handle(c, url, method, version, upload, uploadSize, r);
}

int HttpServer::Handle(MHD_Connection* c, const char*, const char* method, const char* version, const char* upload,
                       size_t* uploadSize, ServerRequest* r) {
  switch (r->stage) {
    case ServerRequest::Head:
      return HeadIn(c, method, version, r);
    case ServerRequest::HeadChecked:
      return HeadChecked(c, r);
    case ServerRequest::Body:
      if (*uploadSize > 0) return KeepBody(upload, uploadSize, r);
      return BodyIn(c, r);
    case ServerRequest::Answering:
      if (*uploadSize > 0) {
        *uploadSize = 0;  // the rest of a refused body
        return MHD_NO;
      }
      return AnswerOrWait(c, r);
  }
  return MHD_NO;
}

int HttpServer::HeadIn(MHD_Connection* c, const char* method, const char* version, ServerRequest* r) {
  SetPhase(connectionsMutex_, c, ServerConnection::Busy);
  HttpExchange& ex = *r->exchange;
  HttpRequest& q = r->request;
  q.method = method ? method : "";
  q.version = version ? version : "";
  q.peer = Peer(c);
  MHD_get_connection_values(c, MHD_HEADER_KIND, &CollectHeader, &q);
  ex.connection_ = c;
  ex.server_ = this;
  r->stage = ServerRequest::HeadChecked;
  HeadVerdict v = handler_.OnHead(q, r->exchange);
  if (v.kind == HeadVerdict::Answer) {
    ex.Answer(std::move(v.response));
    return AnswerOrWait(c, r);
  }
  if (v.kind == HeadVerdict::ReadBody) {
    q.keyName = v.keyName;
    return StartBody(c, r, v.maxBody);
  }
  return HeadChecked(c, r);
}

int HttpServer::HeadChecked(MHD_Connection* c, ServerRequest* r) {
  HttpExchange& ex = *r->exchange;
  std::unique_lock lock(ex.mutex_);
  if (ex.response_) return Queue(c, *ex.response_);
  if (ex.continueWith_) {
    const size_t maxBody = *ex.continueWith_;
    ex.decided_ = false;
    ex.continueWith_.reset();
    r->request.keyName = ex.keyName_;
    lock.unlock();
    return StartBody(c, r, maxBody);
  }
  return Suspend(c, r);
}

int HttpServer::StartBody(MHD_Connection* c, ServerRequest* r, size_t maxBody) {
  r->maxBody = maxBody;
  const QByteArray length = r->request.Header("Content-Length");
  bool numeric = false;
  const qulonglong declared = length.toULongLong(&numeric);
  if (!length.isEmpty() && (!numeric || declared > maxBody)) return Queue(c, TooLarge(maxBody));
  r->stage = ServerRequest::Body;
  SetPhase(connectionsMutex_, c, ServerConnection::ReadingBody);
  return MHD_YES;
}

int HttpServer::BodyIn(MHD_Connection* c, ServerRequest* r) {
  r->stage = ServerRequest::Answering;
  SetPhase(connectionsMutex_, c, ServerConnection::Busy);
  if (r->tooLarge) return Queue(c, TooLarge(r->maxBody));
  handler_.OnRequest(r->request, r->exchange);
  return AnswerOrWait(c, r);
}

int HttpServer::AnswerOrWait(MHD_Connection* c, ServerRequest* r) {
  HttpExchange& ex = *r->exchange;
  std::unique_lock lock(ex.mutex_);
  if (ex.response_) return Queue(c, *ex.response_);
  return Suspend(c, r);
}

int HttpServer::Suspend(MHD_Connection* c, ServerRequest* r) {
  r->exchange->suspended_ = true;
  MHD_suspend_connection(c);
  Waiting(r->exchange);
  return MHD_YES;
}

void HttpServer::Completed(void* cls, MHD_Connection* c, void** context, int) {
  auto* self = static_cast<HttpServer*>(cls);
  delete static_cast<ServerRequest*>(*context);
  *context = nullptr;
  SetPhase(self->connectionsMutex_, c, ServerConnection::AwaitingHead);
}

void HttpServer::Notify(void* cls, MHD_Connection* c, void** socketContext, int what) {
  auto* self = static_cast<HttpServer*>(cls);
  std::lock_guard lock(self->connectionsMutex_);
  if (what == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* conn = new ServerConnection;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    conn->fd = info ? info->connect_fd : -1;
    *socketContext = conn;
    self->connections_[c] = conn;
  } else {
    delete static_cast<ServerConnection*>(*socketContext);
    *socketContext = nullptr;
    self->connections_.erase(c);
  }
}

void HttpServer::Waiting(const std::shared_ptr<HttpExchange>& exchange) {
  std::lock_guard lock(waitingMutex_);
  // Those answered (or gone) since are dropped as the list grows.
  if (waiting_.size() >= 64)
    std::erase_if(waiting_, [](const std::weak_ptr<HttpExchange>& w) {
      const std::shared_ptr<HttpExchange> ex = w.lock();
      if (!ex) return true;
      std::lock_guard exLock(ex->mutex_);
      return !ex->suspended_;
    });
  waiting_.push_back(exchange);
}

void HttpServer::Watch(const std::shared_ptr<HttpExchange>& exchange) {
  std::lock_guard lock(sweepMutex_);
  deadlines_.push_back(exchange);
}

void HttpServer::Sweep() {
  std::unique_lock lock(sweepMutex_);
  while (!stopping_) {
    sweepWake_.wait_for(lock, std::chrono::milliseconds(100));
    const Clock::time_point now = Clock::now();
    // Answers not given in time get their fallback.
    std::vector<std::shared_ptr<HttpExchange>> due;
    for (auto it = deadlines_.begin(); it != deadlines_.end();) {
      std::shared_ptr<HttpExchange> ex = it->lock();
      bool drop = !ex;
      if (ex) {
        std::lock_guard exLock(ex->mutex_);
        if (ex->response_) {
          drop = true;
        } else if (now >= ex->deadline_) {
          due.push_back(ex);
          drop = true;
        }
      }
      it = drop ? deadlines_.erase(it) : it + 1;
    }
    lock.unlock();
    for (const std::shared_ptr<HttpExchange>& ex : due) {
      std::optional<HttpResponse> fallback;
      {
        std::lock_guard exLock(ex->mutex_);
        fallback = ex->fallback_;
      }
      if (fallback) ex->Answer(std::move(*fallback));
    }
    // A client slow to send its head or its body is dropped: its socket is
    // shut down, and the server closes the connection on seeing that.
    {
      std::lock_guard connLock(connectionsMutex_);
      for (const auto& [c, conn] : connections_) {
        const auto age = now - conn->since;
        const bool late = (conn->phase == ServerConnection::AwaitingHead && age > std::chrono::seconds(limits_.headerSeconds)) ||
                          (conn->phase == ServerConnection::ReadingBody && age > std::chrono::seconds(limits_.bodySeconds));
        if (late && conn->fd >= 0) ::shutdown(conn->fd, SHUT_RDWR);
      }
    }
    lock.lock();
  }
}

quint16 HttpServer::Listen(const QHostAddress& address, quint16 port, QString* why) {
  sockaddr_storage storage{};
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (address.protocol() == QAbstractSocket::IPv6Protocol) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&storage);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&a6->sin6_addr, &bytes, sizeof bytes);
    flags |= MHD_USE_IPv6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&storage);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    a4->sin_addr.s_addr = htonl(address.toIPv4Address());
  }
  daemon_ = MHD_start_daemon(
      flags, port, nullptr, nullptr, reinterpret_cast<MHD_AccessHandlerCallback>(&HttpServer::Access), this,
      MHD_OPTION_SOCK_ADDR, &storage,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits_.maxConnections),
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(limits_.maxPerClient),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.idleSeconds),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
      MHD_OPTION_URI_LOG_CALLBACK, &UriSeen, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<MHD_RequestCompletedCallback>(&HttpServer::Completed), this,
      MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<MHD_NotifyConnectionCallback>(&HttpServer::Notify), this,
      MHD_OPTION_END);
  if (!daemon_) {
    if (why) *why = QString::fromLocal8Bit(std::strerror(errno));
    return 0;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  sweeper_ = std::thread([this] { Sweep(); });
  return info ? info->port : port;
}

void HttpServer::Stop() {
  if (sweeper_.joinable()) {
    {
      std::lock_guard lock(sweepMutex_);
      stopping_ = true;
    }
    sweepWake_.notify_all();
    sweeper_.join();
  }
  if (daemon_) {
    MHD_quiesce_daemon(daemon_);
    std::vector<std::weak_ptr<HttpExchange>> waiting;
    {
      std::lock_guard lock(waitingMutex_);
      waiting.swap(waiting_);
    }
    HttpResponse closing;
    closing.status = 503;
    closing.body = R"({"error":{"status":503,"message":"the server is stopping"}})";
    closing.Add("Connection", "close");
    for (const std::weak_ptr<HttpExchange>& w : waiting)
      if (const std::shared_ptr<HttpExchange> ex = w.lock()) ex->Answer(closing);
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
}

}  // namespace pdulink::web
