#include "Metrics.h"

namespace pdulink::web {

QString EscapeLabel(const QString& value) {
  QString out;
  out.reserve(value.size());
  for (QChar c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

namespace {

void Family(QByteArray& out, const char* name, const char* type, const char* help) {
  out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void Sample(QByteArray& out, const char* name, const QString& gateway, double value, const char* label = "gateway") {
  out += name;
  if (!gateway.isNull()) out += QByteArray("{") + label + "=\"" + EscapeLabel(gateway).toUtf8() + "\"}";
  out += ' ' + QByteArray::number(value, 'g', 15) + '\n';
}

void WebhookText(QByteArray& out, const std::vector<WebhookFigures>& webhooks) {
  if (webhooks.empty()) return;
  struct Figure {
    const char* name;
    const char* type;
    const char* help;
    qint64 WebhookFigures::*field;
  };
  const Figure figures[] = {
      {"pdulink_webhook_delivered_total", "counter", "Events a webhook's receiver took (2xx).", &WebhookFigures::delivered},
      {"pdulink_webhook_failed_total", "counter", "Events given up after a day of retries.", &WebhookFigures::failed},
      {"pdulink_webhook_attempts_total", "counter", "Delivery attempts, retries included.", &WebhookFigures::attempts},
      {"pdulink_webhook_pending", "gauge", "Events waiting for delivery or a retry.", &WebhookFigures::pending},
  };
  for (const Figure& fig : figures) {
    Family(out, fig.name, fig.type, fig.help);
    for (const WebhookFigures& w : webhooks)
      Sample(out, fig.name, QString::number(w.id), static_cast<double>(w.*(fig.field)), "webhook");
  }
}

}  // namespace

QByteArray PrometheusText(const SpoolFigures& f) {
  QByteArray out;
  Family(out, "pdulink_spool_up", "gauge", "1 when the spool answered.");
  Sample(out, "pdulink_spool_up", QString(), f.reachable ? 1 : 0);
  if (!f.reachable) return out;
  Family(out, "pdulink_queue_length", "gauge", "Messages queued in the outbox.");
  Sample(out, "pdulink_queue_length", QString(), static_cast<double>(f.queueLength));
  Family(out, "pdulink_oldest_queued_seconds", "gauge", "Age of the oldest queued message, 0 when none waits.");
  Sample(out, "pdulink_oldest_queued_seconds", QString(), f.oldestQueuedSeconds.value_or(0));

  struct Counter {
    const char* name;
    const char* help;
    qint64 GatewayFigures::*field;
  };
  const Counter counters[] = {
      {"pdulink_messages_received_total", "Messages received into the inbox.", &GatewayFigures::received},
      {"pdulink_messages_sent_total", "Outbox messages sent.", &GatewayFigures::sent},
      {"pdulink_messages_failed_total", "Outbox messages that failed.", &GatewayFigures::failed},
      {"pdulink_messages_delivered_total", "Outbox messages with a delivery report.", &GatewayFigures::delivered},
  };
  for (const Counter& c : counters) {
    Family(out, c.name, "counter", c.help);
    for (const GatewayFigures& g : f.gateways) Sample(out, c.name, g.name, static_cast<double>(g.*(c.field)));
  }
  Family(out, "pdulink_signal", "gauge", "Signal as last reported by the gateway.");
  for (const GatewayFigures& g : f.gateways)
    if (g.signal) Sample(out, "pdulink_signal", g.name, *g.signal);
  Family(out, "pdulink_battery_percent", "gauge", "Battery charge as last reported by the gateway.");
  for (const GatewayFigures& g : f.gateways)
    if (g.battery) Sample(out, "pdulink_battery_percent", g.name, *g.battery);
  using Health = GatewayFigures::Health;
  struct Gauge {
    const char* name;
    const char* type;
    const char* help;
    std::optional<double> Health::*field;
  };
  const Gauge gauges[] = {
      {"pdulink_registered", "gauge", "1 when the phone is registered with a network.", &Health::registered},
      {"pdulink_last_answer_timestamp_seconds", "gauge", "Unix time the phone last answered a command.",
       &Health::lastAnswerTime},
      {"pdulink_seconds_since_answer", "gauge", "Seconds since the phone last answered a command.",
       &Health::sinceLastAnswer},
      {"pdulink_phone_restarts_total", "counter", "Restarts of the phone seen since the gateway started.",
       &Health::phoneRestarts},
      {"pdulink_store_used", "gauge", "Messages in the phone's store.", &Health::storeUsed},
      {"pdulink_store_total", "gauge", "Slots of the phone's store.", &Health::storeTotal},
      {"pdulink_store_full", "gauge", "1 when the phone's store is full.", &Health::storeFull},
  };
  for (const Gauge& c : gauges) {
    Family(out, c.name, c.type, c.help);
    for (const GatewayFigures& g : f.gateways)
      if (g.health.*(c.field)) Sample(out, c.name, g.name, *(g.health.*(c.field)));
  }
  WebhookText(out, f.webhooks);
  return out;
}

}  // namespace pdulink::web
