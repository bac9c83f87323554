// The Prometheus text exposition format (version 0.0.4) of the spool's
// figures: one family per figure, one sample per gateway. Pure.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace pdulink::web {

struct GatewayFigures {
  QString name;
  qint64 received = 0;
  qint64 sent = 0;
  qint64 failed = 0;
  qint64 delivered = 0;
  std::optional<double> signal;   // as the gateway reported it
  std::optional<double> battery;  // percent
  // Health as the gateway's row holds it.
  struct Health {
    std::optional<double> lastAnswerTime;   // Unix time of the phone's last answer
    std::optional<double> sinceLastAnswer;  // seconds since then, at the time of asking
    std::optional<double> phoneRestarts;    // restarts of the phone seen since the gateway started
    std::optional<double> storeUsed, storeTotal, storeFull, registered;  // full, registered: 0 or 1
  };
  Health health = {};
};

// One webhook's outcomes so far (kept in the spool, so they survive a
// restart) and its deliveries still pending.
struct WebhookFigures {
  qint64 id = 0;
  qint64 delivered = 0;
  qint64 failed = 0;
  qint64 attempts = 0;
  qint64 pending = 0;
};

struct SpoolFigures {
  bool reachable = true;
  qint64 queueLength = 0;              // rows in state queued
  std::optional<double> oldestQueuedSeconds;  // age of the oldest of them
  std::vector<GatewayFigures> gateways;
  std::vector<WebhookFigures> webhooks;
};

QByteArray PrometheusText(const SpoolFigures& figures);

// A label value with backslash, double quote and line feed escaped.
QString EscapeLabel(const QString& value);

}  // namespace pdulink::web
