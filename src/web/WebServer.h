// The routes of pdulink-web: the API under /api/v1, health and metrics
// (also at the root), the page at /. The HTTP thread checks each request's
// head (route, method, Host, key) before its body is read; everything that
// touches the database runs on the spool worker, and the connection waits
// for it without holding up the others. Every API request but the health
// check needs a key; metrics also answer a loopback client that came
// without a proxy's forwarding headers.
#pragma once

#include <QHostAddress>
#include <QStringList>
#include <memory>
#include <mutex>
#include <vector>

#include "HttpServer.h"
#include "SendRequest.h"
#include "SpoolWorker.h"
#include "WebhookWorker.h"

namespace pdulink::web {

struct WebOptions {
  SendLimits limits;
  HttpLimits http;
  QStringList hostNames;  // Host names the page and metrics answer to
  int healthMs = 800;     // a health check still waiting after this: "spool slow"
  WebhookOptions webhooks;
};

class WebServer : public HttpHandler {
 public:
  explicit WebServer(WebOptions options);
  ~WebServer() override;

  // Opens the spool in the worker; false (why set) when it fails.
  bool Open(const spool::Target& target, QString* why);
  // The port listened on (the chosen one for port 0), 0 on failure.
  quint16 Listen(const QHostAddress& address, quint16 port, QString* why);
  void Stop();

  HeadVerdict OnHead(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) override;
  void OnRequest(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) override;

 private:
  struct PendingSend;
  // A key's name from the cache, or nothing.
  std::optional<QString> CachedKey(const QByteArray& hash);
  void StoreKeys(std::vector<std::pair<QString, QByteArray>> keys);
  bool HostAllowed(const HttpRequest& request) const;
  bool OpenWorker(const spool::Target& target, QString* why);
  void LogRefusal(const HttpRequest& request, const char* why);
  HeadVerdict CheckKey(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange);
  void PostWebhook(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange);
  void PostMessages(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange);
  void FlushSends(WebStore& store);
  void Health(const std::shared_ptr<HttpExchange>& exchange);

  WebOptions options_;
  QHostAddress listenAddress_;
  SpoolWorker worker_;
  std::unique_ptr<HttpServer> http_;
  WebhookWorker webhooks_;

  std::mutex keysMutex_;
  std::vector<std::pair<QString, QByteArray>> keys_;  // name, hash

  std::mutex sendsMutex_;
  std::vector<std::unique_ptr<PendingSend>> sends_;
};

}  // namespace pdulink::web
