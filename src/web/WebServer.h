// The HTTP side of pdulink-web: the routes of the API under /api/v1 and the
// page at /, over one WebStore. Every API request but the health check
// needs a key; /metrics also answers loopback clients without one.
#pragma once

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QObject>

#include "SendRequest.h"
#include "WebStore.h"

namespace pdulink::web {

class WebServer {
 public:
  WebServer(WebStore& store, SendLimits limits);
  // The port listened on (the chosen one for port 0), 0 on failure.
  quint16 Listen(const QHostAddress& address, quint16 port);

 private:
  void Routes();
  // The key's name when the request carries a valid key; logs a refusal.
  std::optional<QString> Authorised(const QHttpServerRequest& request);

  QHttpServerResponse PostMessages(const QHttpServerRequest& request, const QString& key);
  QHttpServerResponse GetMessages(const QHttpServerRequest& request);
  QHttpServerResponse GetMessage(const QString& id);
  QHttpServerResponse GetInbox(const QHttpServerRequest& request);
  QHttpServerResponse GetGateways();
  QHttpServerResponse GetHealth();
  QHttpServerResponse GetMetrics();

  WebStore& store_;
  SendLimits limits_;
  QHttpServer server_;
};

}  // namespace pdulink::web
