#include "WebServer.h"

#include <QFile>
#include <QTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>
#include <cstdio>

#include "ApiKeys.h"
#include "ApiQuery.h"
#include "Metrics.h"

namespace pdulink::web {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponder::StatusCode;

QHttpServerResponse Json(const QJsonObject& o, int status = 200) {
  return QHttpServerResponse(o, static_cast<Status>(status));
}

QHttpServerResponse Error(const ApiError& e) {
  QHttpServerResponse r = Json(e.ToJson(), e.status);
  if (e.status == 401) r.addHeader("WWW-Authenticate", "Bearer");
  return r;
}

QHttpServerResponse NotAllowed(const char* allow) {
  QHttpServerResponse r = Error(Refuse(405, "", QString("method not allowed; allowed: %1").arg(allow)));
  r.addHeader("Allow", allow);
  return r;
}

// The headers every answer carries (routes that answer through a responder
// do not pass the server's after-request step).
QHttpServerResponse Finish(QHttpServerResponse&& r) {
  r.addHeader("X-Content-Type-Options", "nosniff");
  r.addHeader("Cache-Control", "no-store");
  return std::move(r);
}

// Sends taken together in one transaction, at most.
constexpr size_t kMaxBatch = 256;

QHttpServerResponse SpoolDown() { return Error(Refuse(503, "", "the spool does not answer")); }

QByteArray Header(const QHttpServerRequest& request, const QByteArray& name) {
  for (const auto& [key, value] : request.headers())
    if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
  return {};
}

bool HasHeader(const QHttpServerRequest& request, const QByteArray& name) {
  for (const auto& [key, value] : request.headers())
    if (key.compare(name, Qt::CaseInsensitive) == 0) return true;
  return false;
}

const char* MethodName(Method m) {
  switch (m) {
    case Method::Get: return "GET";
    case Method::Post: return "POST";
    case Method::Put: return "PUT";
    case Method::Delete: return "DELETE";
    case Method::Head: return "HEAD";
    case Method::Options: return "OPTIONS";
    case Method::Patch: return "PATCH";
    default: return "other";
  }
}

void Log(const QString& line) {
  std::fprintf(stderr, "pdulink-web: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

QHttpServerResponse Resource(const QString& name, const QByteArray& type) {
  QFile f(":/pdulink-web/" + name);
  if (!f.open(QIODevice::ReadOnly)) return Error(Refuse(404, "", "not found"));
  QHttpServerResponse r(type, f.readAll());
  // Nothing from elsewhere: scripts, styles and requests stay on this origin.
  r.addHeader("Content-Security-Policy",
              "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
              "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  return r;
}

}  // namespace

WebServer::WebServer(WebStore& store, SendLimits limits) : store_(store), limits_(limits) { Routes(); }

quint16 WebServer::Listen(const QHostAddress& address, quint16 port) { return server_.listen(address, port); }

std::optional<QString> WebServer::Authorised(const QHttpServerRequest& request) {
  const std::optional<QByteArray> key = BearerKey(Header(request, "Authorization"));
  std::optional<QString> name;
  if (key) name = store_.Authenticate(*key);
  if (!name)
    Log(QString("refused %1 %2 from %3: %4")
            .arg(MethodName(request.method()), request.url().path(), request.remoteAddress().toString(),
                 key ? "unknown key" : "no bearer key"));
  return name;
}

void WebServer::Routes() {
  // The page.
  server_.route("/", [](const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    return Resource("index.html", "text/html; charset=utf-8");
  });
  server_.route("/app.js", [](const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    return Resource("app.js", "text/javascript; charset=utf-8");
  });
  server_.route("/app.css", [](const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    return Resource("app.css", "text/css; charset=utf-8");
  });

  // The API.
  // Health and metrics also at the root, where load balancers and
  // Prometheus look by default.
  for (const char* path : {"/api/v1/healthz", "/healthz"}) {
    server_.route(path, [this](const QHttpServerRequest& req) {
      if (req.method() != Method::Get) return NotAllowed("GET");
      return GetHealth();
    });
  }
  for (const char* path : {"/api/v1/metrics", "/metrics"}) {
    server_.route(path, [this](const QHttpServerRequest& req) {
      if (req.method() != Method::Get) return NotAllowed("GET");
      if (!req.remoteAddress().isLoopback() && !Authorised(req))
        return Error(Refuse(401, "Authorization", "a valid bearer key is needed"));
      return GetMetrics();
    });
  }
  server_.route("/api/v1/messages", [this](const QHttpServerRequest& req, QHttpServerResponder&& responder) {
    if (req.method() != Method::Get && req.method() != Method::Post)
      return Finish(NotAllowed("GET, POST")).write(std::move(responder));
    const std::optional<QString> key = Authorised(req);
    if (!key) return Finish(Error(Refuse(401, "Authorization", "a valid bearer key is needed"))).write(std::move(responder));
    if (req.method() == Method::Get) return Finish(GetMessages(req)).write(std::move(responder));
    PostMessages(req, *key, std::move(responder));
  });
  server_.route("/api/v1/messages/<arg>", [this](const QString& id, const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    if (!Authorised(req)) return Error(Refuse(401, "Authorization", "a valid bearer key is needed"));
    return GetMessage(id);
  });
  server_.route("/api/v1/inbox", [this](const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    if (!Authorised(req)) return Error(Refuse(401, "Authorization", "a valid bearer key is needed"));
    return GetInbox(req);
  });
  server_.route("/api/v1/gateways", [this](const QHttpServerRequest& req) {
    if (req.method() != Method::Get) return NotAllowed("GET");
    if (!Authorised(req)) return Error(Refuse(401, "Authorization", "a valid bearer key is needed"));
    return GetGateways();
  });
  server_.setMissingHandler([](const QHttpServerRequest& req, QHttpServerResponder&& responder) {
    const ApiError e = Refuse(404, "", QString("no such resource: %1").arg(req.url().path()));
    responder.write(QJsonDocument(e.ToJson()).toJson(QJsonDocument::Compact), "application/json", Status::NotFound);
  });
  server_.afterRequest([](QHttpServerResponse&& r) {
    r.addHeader("X-Content-Type-Options", "nosniff");
    r.addHeader("Cache-Control", "no-store");
    return std::move(r);
  });
}

void WebServer::PostMessages(const QHttpServerRequest& req, const QString& key, QHttpServerResponder&& responder) {
  const QByteArray idempotencyKey = Header(req, "Idempotency-Key");
  ApiError refused;
  if (HasHeader(req, "Idempotency-Key") && idempotencyKey.isEmpty())
    refused = Refuse(400, "Idempotency-Key", "empty");
  else
    refused = CheckIdempotencyKey(idempotencyKey);
  ParsedSend parsed;
  if (refused.ok()) {
    parsed = ParseSendRequest(req.body(), limits_);
    refused = parsed.error;
  }
  if (!refused.ok()) return Finish(Error(refused)).write(std::move(responder));
  QTcpSocket* socket = responder.socket();
  pending_.push_back(std::unique_ptr<PendingSend>(
      new PendingSend{std::move(parsed), key, idempotencyKey, std::move(responder), QPointer<QTcpSocket>(socket)}));
  if (pending_.size() >= kMaxBatch)
    FlushSends();
  else if (pending_.size() == 1)
    QTimer::singleShot(0, &server_, [this] { FlushSends(); });
}

void WebServer::FlushSends() {
  if (pending_.empty()) return;
  std::vector<std::unique_ptr<PendingSend>> batch;
  batch.swap(pending_);
  std::vector<SendItem> items(batch.size());
  std::vector<SendItem*> pointers;
  for (size_t i = 0; i < batch.size(); ++i) {
    items[i] = SendItem{&batch[i]->parsed.request, batch[i]->key, batch[i]->idempotencyKey, batch[i]->parsed.hash, {}};
    pointers.push_back(&items[i]);
  }
  // A failed batch is tried again request by request, so that one
  // request's trouble (or a lost race for an idempotency key) is its own.
  if (!store_.EnqueueBatch(pointers) && batch.size() > 1)
    for (SendItem& item : items)
      item.outcome = store_.Enqueue(*item.request, item.apiKey, item.idempotencyKey, item.requestHash);

  for (size_t i = 0; i < batch.size(); ++i) {
    const EnqueueOutcome& out = items[i].outcome;
    QHttpServerResponse r(QHttpServerResponse::StatusCode::Ok);
    switch (out.kind) {
      case EnqueueOutcome::Failed:
        Log("the spool refused a message: " + out.why);
        r = SpoolDown();
        break;
      case EnqueueOutcome::Conflict:
        r = Error(Refuse(422, "Idempotency-Key", "used before with a different request body"));
        break;
      case EnqueueOutcome::UnknownGateway:
        r = Error(Refuse(422, "gateway", "no gateway of that name in the spool"));
        break;
      case EnqueueOutcome::Created:
      case EnqueueOutcome::Replayed: {
        QJsonArray ids;
        for (qint64 id : out.ids) ids.append(id);
        r = Json(QJsonObject{{"ids", ids}, {"parts", batch[i]->parsed.request.parts}}, 201);
        if (out.kind == EnqueueOutcome::Replayed) r.addHeader("Idempotent-Replayed", "true");
        break;
      }
    }
    if (batch[i]->socket) Finish(std::move(r)).write(std::move(batch[i]->responder));
  }
}

QHttpServerResponse WebServer::GetMessages(const QHttpServerRequest& req) {
  const ParsedOutboxQuery p = ParseOutboxQuery(req.query());
  if (!p.error.ok()) return Error(p.error);
  const std::optional<Page> page = store_.Messages(p.query);
  if (!page) return SpoolDown();
  QJsonObject o{{"messages", page->rows}};
  o.insert("next_cursor", page->more ? QJsonValue(EncodeCursor(page->lastId)) : QJsonValue());
  return Json(o);
}

QHttpServerResponse WebServer::GetMessage(const QString& idText) {
  const std::optional<qint64> id = ParseRowId(idText);
  if (!id) return Error(Refuse(404, "id", "not a message id"));
  bool failed = false;
  const std::optional<QJsonObject> row = store_.Message(*id, &failed);
  if (failed) return SpoolDown();
  if (!row) return Error(Refuse(404, "id", "no such message"));
  return Json(*row);
}

QHttpServerResponse WebServer::GetInbox(const QHttpServerRequest& req) {
  const ParsedInboxQuery p = ParseInboxQuery(req.query());
  if (!p.error.ok()) return Error(p.error);
  const std::optional<Page> page = store_.Inbox(p.query);
  if (!page) return SpoolDown();
  QJsonObject o{{"messages", page->rows}, {"more", page->more}};
  o.insert("last_id", page->lastId ? page->lastId : p.query.sinceId);
  return Json(o);
}

QHttpServerResponse WebServer::GetGateways() {
  const std::optional<QJsonArray> rows = store_.Gateways();
  if (!rows) return SpoolDown();
  // What the page's counter needs to know: the parts a text may take.
  const QJsonObject sendLimits{{"max_parts", limits_.maxParts}, {"ref16", limits_.ref16}};
  return Json(QJsonObject{{"gateways", *rows}, {"send_limits", sendLimits}});
}

QHttpServerResponse WebServer::GetHealth() {
  if (!store_.Reachable()) return Json(QJsonObject{{"status", "spool unreachable"}}, 503);
  return Json(QJsonObject{{"status", "ok"}});
}

QHttpServerResponse WebServer::GetMetrics() {
  const SpoolFigures f = store_.Figures();
  return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", PrometheusText(f),
                             f.reachable ? Status::Ok : Status::ServiceUnavailable);
}

}  // namespace pdulink::web
