// The HTTP side of pdulink-web: the routes of the API under /api/v1 and the
// page at /, over one WebStore. Every API request but the health check
// needs a key; /metrics also answers loopback clients without one.
#pragma once

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <memory>
#include <vector>

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

  // POST /messages: checked at once, then queued with the other sends that
  // arrive before the event loop comes round, all committed in one
  // transaction; each client is answered after that commit.
  void PostMessages(const QHttpServerRequest& request, const QString& key, QHttpServerResponder&& responder);
  void FlushSends();
  QHttpServerResponse GetMessages(const QHttpServerRequest& request);
  QHttpServerResponse GetMessage(const QString& id);
  QHttpServerResponse GetInbox(const QHttpServerRequest& request);
  QHttpServerResponse GetGateways();
  QHttpServerResponse GetHealth();
  QHttpServerResponse GetMetrics();

  struct PendingSend {
    ParsedSend parsed;
    QString key;
    QByteArray idempotencyKey;
    QHttpServerResponder responder;
    QPointer<QTcpSocket> socket;  // gone: the client left, nobody to answer
  };

  WebStore& store_;
  std::vector<std::unique_ptr<PendingSend>> pending_;
  SendLimits limits_;
  QHttpServer server_;
};

}  // namespace pdulink::web
