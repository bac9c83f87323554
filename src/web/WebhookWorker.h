// The thread that delivers webhooks: its own spool connection and its own
// event loop with an HTTP client. Four times a second it writes gateway
// events (once a second), gives new events to the webhooks that asked for
// them and starts the deliveries that are due: at most kPerWebhook at once
// per webhook, one at a time per number (or gateway) so that their order
// is kept, each with a 10 s timeout. A receiver that is down or slow holds
// up only its own deliveries; the HTTP thread never waits on this one.
#pragma once

#include <QString>
#include <QThread>
#include <memory>

#include "SpoolTarget.h"

namespace pdulink::web {

struct WebhookOptions {
  qint64 retryBaseMs = 5000;  // first retry after this, doubling up to 720 times it
  int timeoutMs = 10000;      // per attempt
  int gatewayDownS = 30;      // a heartbeat older than this: gateway.down
  int perWebhook = 4;         // deliveries at once per webhook
};

class WebhookWorker {
 public:
  explicit WebhookWorker(WebhookOptions options) : options_(options) {}
  ~WebhookWorker();
  // Opens its own spool connection in its thread; false (why set) on failure.
  bool Start(const spool::Target& target, QString* why);
  // Ends the thread; deliveries in flight are tried again at the next start.
  void Stop();

 private:
  class Engine;
  WebhookOptions options_;
  QThread thread_;
  Engine* engine_ = nullptr;  // lives and dies in thread_
};

}  // namespace pdulink::web
