#include "WebServer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrlQuery>
#include <cstdio>

#include "ApiKeys.h"
#include "ApiQuery.h"
#include "Metrics.h"
#include "WebhookStore.h"
#include "Webhooks.h"
#include "national_tables.h"

namespace pdulink::web {

namespace {

// Sends taken together in one transaction, at most.
constexpr size_t kMaxBatch = 256;

HttpResponse Json(const QJsonObject& o, int status = 200) {
  HttpResponse r;
  r.status = status;
  r.body = QJsonDocument(o).toJson(QJsonDocument::Compact);
  return r;
}

HttpResponse Error(const ApiError& e) {
  HttpResponse r = Json(e.ToJson(), e.status);
  if (e.status == 401) r.Add("WWW-Authenticate", "Bearer");
  return r;
}

// HEAD goes with GET without being listed, as the answers always had it.
HttpResponse NotAllowed(const char* allow) {
  HttpResponse r = Error(Refuse(405, "", QString("method not allowed; allowed: %1").arg(allow)));
  r.Add("Allow", allow);
  return r;
}

HttpResponse KeyNeeded() { return Error(Refuse(401, "Authorization", "a valid bearer key is needed")); }

HttpResponse SpoolDown() { return Error(Refuse(503, "", "the spool does not answer")); }

// Control characters of anything a client sent, shown escaped: one log
// line stays one line.
QString Printable(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || u == 0x2028 || u == 0x2029)
      out += QString("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QChar('0'));
    else if (u == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

void Log(const QString& line) {
  std::fprintf(stderr, "pdulink-web: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

HttpResponse Resource(const QString& name, const QByteArray& type) {
  QFile f(":/pdulink-web/" + name);
  if (!f.open(QIODevice::ReadOnly)) return Error(Refuse(404, "", "not found"));
  HttpResponse r;
  r.contentType = type;
  r.body = f.readAll();
  // Nothing from elsewhere: scripts, styles and requests stay on this origin.
  r.Add("Content-Security-Policy",
        "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
        "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  return r;
}

bool IsGet(const HttpRequest& r) { return r.method == "GET" || r.method == "HEAD"; }

// A proxy in front says so with one of these; a loopback client that sent
// none of them is on this machine itself.
bool Forwarded(const HttpRequest& r) {
  for (const char* h : {"Forwarded", "X-Forwarded-For", "X-Forwarded-Host", "X-Forwarded-Proto", "X-Real-IP", "Via"})
    if (r.HasHeader(h)) return true;
  return false;
}

enum class Route {
  Page, Script, Style, Health, Metrics, Messages, Message, Inbox, Gateways, Count,
  Webhooks, Webhook, WebhookDeliveries, None
};

Route RouteOf(const QString& path) {
  if (path == "/") return Route::Page;
  if (path == "/app.js") return Route::Script;
  if (path == "/app.css") return Route::Style;
  if (path == "/healthz" || path == "/api/v1/healthz") return Route::Health;
  if (path == "/metrics" || path == "/api/v1/metrics") return Route::Metrics;
  if (path == "/api/v1/messages") return Route::Messages;
  if (path.startsWith("/api/v1/messages/") && path.count('/') == 4) return Route::Message;
  if (path == "/api/v1/inbox") return Route::Inbox;
  if (path == "/api/v1/gateways") return Route::Gateways;
  if (path == "/api/v1/count") return Route::Count;
  if (path == "/api/v1/webhooks") return Route::Webhooks;
  if (path.startsWith("/api/v1/webhooks/") && path.count('/') == 4) return Route::Webhook;
  if (path.startsWith("/api/v1/webhooks/") && path.endsWith("/deliveries") && path.count('/') == 5)
    return Route::WebhookDeliveries;
  return Route::None;
}

HttpResponse Messages(WebStore& store, const QByteArray& query) {
  const ParsedOutboxQuery p = ParseOutboxQuery(QUrlQuery(QString::fromUtf8(query)));
  if (!p.error.ok()) return Error(p.error);
  const std::optional<Page> page = store.Messages(p.query);
  if (!page) return SpoolDown();
  QJsonObject o{{"messages", page->rows}};
  o.insert("next_cursor", page->more ? QJsonValue(EncodeCursor(page->lastId)) : QJsonValue());
  if (p.query.newest > 0) o.insert("older", page->older);
  return Json(o);
}

HttpResponse Message(WebStore& store, const QString& idText) {
  const std::optional<qint64> id = ParseRowId(idText);
  if (!id) return Error(Refuse(404, "id", "not a message id"));
  bool failed = false;
  const std::optional<QJsonObject> row = store.Message(*id, &failed);
  if (failed) return SpoolDown();
  if (!row) return Error(Refuse(404, "id", "no such message"));
  return Json(*row);
}

HttpResponse Inbox(WebStore& store, const QByteArray& query) {
  const ParsedInboxQuery p = ParseInboxQuery(QUrlQuery(QString::fromUtf8(query)));
  if (!p.error.ok()) return Error(p.error);
  const std::optional<Page> page = store.Inbox(p.query);
  if (!page) return SpoolDown();
  QJsonObject o{{"messages", page->rows}, {"more", page->more}};
  if (p.query.newest > 0) o.insert("older", page->older);
  o.insert("last_id", page->lastId ? page->lastId : p.query.sinceId);
  return Json(o);
}

HttpResponse Gateways(WebStore& store, const SendLimits& limits) {
  const std::optional<QJsonArray> rows = store.Gateways();
  if (!rows) return SpoolDown();
  // What the page's counter needs to know: the parts a text may take, and
  // the shift tables the gateways count with (the page then asks /count).
  QJsonArray shiftTables;
  for (std::uint8_t language : limits.shiftTables)
    shiftTables.append(QString::fromUtf8(NationalLanguageCode(language)));
  const QJsonObject sendLimits{{"max_parts", limits.maxParts}, {"ref16", limits.ref16}, {"shift_tables", shiftTables}};
  return Json(QJsonObject{{"gateways", *rows}, {"send_limits", sendLimits}});
}

HttpResponse MetricsText(WebStore& store) {
  const SpoolFigures f = store.Figures();
  HttpResponse r;
  r.status = f.reachable ? 200 : 503;
  r.contentType = "text/plain; version=0.0.4; charset=utf-8";
  r.body = PrometheusText(f);
  return r;
}

HttpResponse ListWebhooks(WebStore& store) {
  QString why;
  const std::optional<QJsonArray> list = WebhookStore(store.Db()).List(&why);
  if (!list) return SpoolDown();
  return Json(QJsonObject{{"webhooks", *list}});
}

HttpResponse AddWebhook(WebStore& store, const WebhookRegistration& hook) {
  QString why;
  const std::optional<qint64> id = WebhookStore(store.Db()).Add(hook, &why);
  if (!id) {
    Log("the spool refused a webhook: " + why);
    return SpoolDown();
  }
  Log(QString("webhook %1 added for %2").arg(*id).arg(Printable(hook.url)));
  return Json(QJsonObject{{"id", *id}}, 201);
}

HttpResponse RemoveWebhook(WebStore& store, const QString& idText) {
  const std::optional<qint64> id = ParseRowId(idText);
  if (!id) return Error(Refuse(404, "id", "not a webhook id"));
  bool found = false;
  QString why;
  if (WebhookStore(store.Db()).Remove(*id, &found, &why)) {
    HttpResponse r;
    r.status = 204;
    return r;
  }
  return found || !why.isEmpty() ? SpoolDown() : Error(Refuse(404, "id", "no such webhook"));
}

HttpResponse WebhookDeliveries(WebStore& store, const QString& idText, const QByteArray& query) {
  const std::optional<qint64> id = ParseRowId(idText);
  if (!id) return Error(Refuse(404, "id", "not a webhook id"));
  const QString limitText = QUrlQuery(QString::fromUtf8(query)).queryItemValue("limit");
  bool ok = true;
  const int limit = limitText.isEmpty() ? 100 : limitText.toInt(&ok);
  if (!ok || limit < 1 || limit > 1000) return Error(Refuse(400, "limit", "1 to 1000"));
  bool found = false;
  const std::optional<QJsonArray> list = WebhookStore(store.Db()).Deliveries(*id, limit, &found);
  if (!list) return found ? SpoolDown() : Error(Refuse(404, "id", "no such webhook"));
  return Json(QJsonObject{{"deliveries", *list}});
}

// The methods each route takes; a 405 naming them otherwise.
std::optional<HttpResponse> MethodRefused(Route route, const HttpRequest& request) {
  const bool get = IsGet(request);
  switch (route) {
    case Route::None:
      return Error(Refuse(404, "", QString("no such resource: %1").arg(request.path)));
    case Route::Page:
    case Route::Script:
    case Route::Style:
    case Route::Metrics:
    case Route::Health:
    case Route::Message:
    case Route::Inbox:
    case Route::Gateways:
    case Route::WebhookDeliveries:
      if (!get) return NotAllowed("GET");
      break;
    case Route::Messages:
    case Route::Webhooks:
      if (!get && request.method != "POST") return NotAllowed("GET, POST");
      break;
    case Route::Count:
      if (request.method != "POST") return NotAllowed("POST");
      break;
    case Route::Webhook:
      if (request.method != "DELETE") return NotAllowed("DELETE");
      break;
  }
  return std::nullopt;
}

// The page's files, answered from the program's resources.
std::optional<HttpResponse> PageFile(Route route) {
  if (route == Route::Page) return Resource("index.html", "text/html; charset=utf-8");
  if (route == Route::Script) return Resource("app.js", "text/javascript; charset=utf-8");
  if (route == Route::Style) return Resource("app.css", "text/css; charset=utf-8");
  return std::nullopt;
}

}  // namespace

struct WebServer::PendingSend {
  ParsedSend parsed;
  QString key;
  QByteArray idempotencyKey;
  std::shared_ptr<HttpExchange> exchange;
};

WebServer::WebServer(WebOptions options) : options_(std::move(options)), webhooks_(options_.webhooks) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Open(const spool::Target& target, QString* why) {
  return OpenWorker(target, why) && webhooks_.Start(target, why);
}

bool WebServer::OpenWorker(const spool::Target& target, QString* why) {
  // Every second the keys are read again, so that a revoked key stops
  // working within a second.
  return worker_.Start(
      target,
      [this](WebStore& store) {
        if (auto keys = store.ReadKeys(nullptr)) StoreKeys(std::move(*keys));
      },
      why);
}

quint16 WebServer::Listen(const QHostAddress& address, quint16 port, QString* why) {
  listenAddress_ = address;
  http_ = std::make_unique<HttpServer>(*this, options_.http);
  return http_->Listen(address, port, why);
}

void WebServer::Stop() {
  // The worker answers what it holds before the connections waiting for
  // those answers are closed.
  worker_.Stop();
  if (http_) http_->Stop();
  webhooks_.Stop();
}

void WebServer::StoreKeys(std::vector<std::pair<QString, QByteArray>> keys) {
  std::lock_guard lock(keysMutex_);
  keys_ = std::move(keys);
}

std::optional<QString> WebServer::CachedKey(const QByteArray& hash) {
  std::lock_guard lock(keysMutex_);
  std::optional<QString> match;
  // Every stored hash is compared, the match or not, so the time taken does
  // not tell how far a guess got.
  for (const auto& [name, stored] : keys_)
    if (ConstantTimeEqual(hash, stored)) match = name;
  return match;
}

bool WebServer::HostAllowed(const HttpRequest& request) const {
  if (!request.HasHeader("Host")) return true;  // HTTP/1.0: no browser leaves it out
  QString host = QString::fromLatin1(request.Header("Host")).trimmed().toLower();
  if (host.startsWith('[')) {
    host = host.mid(1, host.indexOf(']') - 1);
  } else if (host.count(':') == 1) {
    host = host.left(host.indexOf(':'));
  }
  if (options_.hostNames.contains(host, Qt::CaseInsensitive)) return true;
  const QHostAddress literal(host);
  if (!literal.isNull()) {
    // An address typed into the browser is no rebinding: the listen
    // address, or any address when listening on all of them.
    return literal == listenAddress_ || listenAddress_ == QHostAddress::Any ||
           listenAddress_ == QHostAddress::AnyIPv6 || listenAddress_ == QHostAddress::AnyIPv4;
  }
  return host == "localhost" && listenAddress_.isLoopback();
}

HeadVerdict WebServer::OnHead(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) {
  auto answer = [](HttpResponse r) { return HeadVerdict{HeadVerdict::Answer, std::move(r), 0, {}}; };
  const Route route = RouteOf(request.path);
  if (std::optional<HttpResponse> refused = MethodRefused(route, request)) return answer(std::move(*refused));
  const bool ownHost =
      route == Route::Page || route == Route::Script || route == Route::Style || route == Route::Metrics;
  if (ownHost && !HostAllowed(request)) {
    LogRefusal(request, "Host is not this server's name");
    return answer(Error(Refuse(421, "Host", "not a name this server answers to")));
  }
  if (std::optional<HttpResponse> file = PageFile(route)) return answer(std::move(*file));
  if (route == Route::Health) return HeadVerdict{HeadVerdict::ReadBody, {}, 0, {}};
  if (route == Route::Metrics && request.peer.isLoopback() && !Forwarded(request))
    return HeadVerdict{HeadVerdict::ReadBody, {}, 0, {}};
  return CheckKey(request, exchange);
}

void WebServer::LogRefusal(const HttpRequest& request, const char* why) {
  Log(QString("refused %1 %2 from %3: %4")
          .arg(Printable(QString::fromStdString(request.method)), Printable(request.path), request.peer.toString(),
               why));
}

HeadVerdict WebServer::CheckKey(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) {
  // Everything else needs a key, checked before the body is read.
  const size_t maxBody = request.method == "POST" ? static_cast<size_t>(kMaxBodyBytes) : 0;
  const std::optional<QByteArray> key = BearerKey(request.Header("Authorization"));
  if (!key) {
    LogRefusal(request, "no bearer key");
    return HeadVerdict{HeadVerdict::Answer, KeyNeeded(), 0, {}};
  }
  const QByteArray hash = HashKey(*key);
  if (const std::optional<QString> name = CachedKey(hash))
    return HeadVerdict{HeadVerdict::ReadBody, {}, maxBody, *name};
  // Not among the keys read last: a key made since then works at once, so
  // the keys are read again before the request is refused.
  const QString method = Printable(QString::fromStdString(request.method)), path = Printable(request.path);
  const QString peer = request.peer.toString();
  worker_.Post(
      [this, exchange, hash, maxBody, method, path, peer](WebStore& store) {
        if (auto keys = store.ReadKeys(nullptr)) StoreKeys(std::move(*keys));
        if (const std::optional<QString> name = CachedKey(hash)) return exchange->Continue(maxBody, *name);
        Log(QString("refused %1 %2 from %3: unknown key").arg(method, path, peer));
        exchange->Answer(KeyNeeded());
      },
      true);
  return HeadVerdict{HeadVerdict::Deferred, {}, 0, {}};
}

void WebServer::OnRequest(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) {
  const Route route = RouteOf(request.path);
  if (route == Route::Health) return Health(exchange);
  if (route == Route::Messages && request.method == "POST") return PostMessages(request, exchange);
  if (route == Route::Webhooks && request.method == "POST") return PostWebhook(request, exchange);
  if (route == Route::Count) {
    // Counted here: no database, the same count a send's length check uses.
    const ParsedCount parsed = ParseCountRequest(request.body, options_.limits);
    exchange->Answer(parsed.error.ok() ? Json(QJsonObject{{"characters", parsed.count.characters},
                                                          {"parts", parsed.count.parts},
                                                          {"coding", parsed.count.ucs2 ? "ucs2" : "gsm7"}})
                                       : Error(parsed.error));
    return;
  }
  const QByteArray query = request.query;
  const QString path = request.path;
  const SendLimits limits = options_.limits;
  worker_.Post([route, query, path, limits, exchange](WebStore& store) {
    switch (route) {
      case Route::Metrics: exchange->Answer(MetricsText(store)); break;
      case Route::Messages: exchange->Answer(Messages(store, query)); break;
      case Route::Message: exchange->Answer(Message(store, path.section('/', 4))); break;
      case Route::Inbox: exchange->Answer(Inbox(store, query)); break;
      case Route::Gateways: exchange->Answer(Gateways(store, limits)); break;
      case Route::Webhooks: exchange->Answer(ListWebhooks(store)); break;
      case Route::Webhook: exchange->Answer(RemoveWebhook(store, path.section('/', 4))); break;
      case Route::WebhookDeliveries: exchange->Answer(WebhookDeliveries(store, path.section('/', 4, 4), query)); break;
      default: exchange->Answer(SpoolDown()); break;
    }
  });
}

void WebServer::PostWebhook(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) {
  const ParsedWebhook parsed = ParseWebhookRequest(request.body);
  if (!parsed.error.ok()) {
    exchange->Answer(Error(parsed.error));
    return;
  }
  worker_.Post([hook = parsed.hook, exchange](WebStore& store) { exchange->Answer(AddWebhook(store, hook)); });
}

void WebServer::Health(const std::shared_ptr<HttpExchange>& exchange) {
  // A database call that has not come back says enough: the spool is slow.
  // Otherwise a cheap query, answered as slow if it takes too long.
  const HttpResponse slow = Json(QJsonObject{{"status", "spool slow"}}, 503);
  if (worker_.BusyMs() > options_.healthMs) {
    exchange->Answer(slow);
    return;
  }
  exchange->Deadline(options_.healthMs, slow);
  worker_.Post(
      [exchange](WebStore& store) {
        exchange->Answer(store.Reachable() ? Json(QJsonObject{{"status", "ok"}})
                                           : Json(QJsonObject{{"status", "spool unreachable"}}, 503));
      },
      true);
}

void WebServer::PostMessages(const HttpRequest& req, const std::shared_ptr<HttpExchange>& exchange) {
  const QByteArray idempotencyKey = req.Header("Idempotency-Key");
  ApiError refused;
  if (req.HasHeader("Idempotency-Key") && idempotencyKey.isEmpty())
    refused = Refuse(400, "Idempotency-Key", "empty");
  else
    refused = CheckIdempotencyKey(idempotencyKey);
  ParsedSend parsed;
  if (refused.ok()) {
    parsed = ParseSendRequest(req.body, options_.limits);
    refused = parsed.error;
  }
  if (!refused.ok()) {
    exchange->Answer(Error(refused));
    return;
  }
  // Sends that arrive while the worker is busy are committed together.
  bool first = false;
  {
    std::lock_guard lock(sendsMutex_);
    first = sends_.empty();
    sends_.push_back(std::unique_ptr<PendingSend>(
        new PendingSend{std::move(parsed), req.keyName, idempotencyKey, exchange}));
  }
  if (first) worker_.Post([this](WebStore& store) { FlushSends(store); });
}

void WebServer::FlushSends(WebStore& store) {
  for (;;) {
    std::vector<std::unique_ptr<PendingSend>> batch;
    {
      std::lock_guard lock(sendsMutex_);
      if (sends_.empty()) return;
      const size_t n = std::min(sends_.size(), kMaxBatch);
      std::move(sends_.begin(), sends_.begin() + static_cast<std::ptrdiff_t>(n), std::back_inserter(batch));
      sends_.erase(sends_.begin(), sends_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    std::vector<SendItem> items(batch.size());
    std::vector<SendItem*> pointers;
    for (size_t i = 0; i < batch.size(); ++i) {
      items[i] = SendItem{&batch[i]->parsed.request, batch[i]->key, batch[i]->idempotencyKey, batch[i]->parsed.hash, {}};
      pointers.push_back(&items[i]);
    }
    // A failed batch is tried again request by request, so that one
    // request's trouble (or a lost race for an idempotency key) is its own.
    bool began = false;
    if (!store.EnqueueBatch(pointers, &began) && began && batch.size() > 1)
      for (SendItem& item : items)
        item.outcome = store.Enqueue(*item.request, item.apiKey, item.idempotencyKey, item.requestHash);

    for (size_t i = 0; i < batch.size(); ++i) {
      const EnqueueOutcome& out = items[i].outcome;
      HttpResponse r;
      switch (out.kind) {
        case EnqueueOutcome::Failed:
          Log("the spool refused a message: " + (out.why.isEmpty() ? QString("no reason given") : out.why));
          r = Error(Refuse(503, "", "the spool is busy or does not answer; try again"));
          r.Add("Retry-After", "2");
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
          if (out.kind == EnqueueOutcome::Replayed) r.Add("Idempotent-Replayed", "true");
          break;
        }
      }
      batch[i]->exchange->Answer(std::move(r));
    }
  }
}

}  // namespace pdulink::web
