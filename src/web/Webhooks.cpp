#include "Webhooks.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QUrl>
#include <algorithm>

#include "SendRequest.h"

namespace pdulink::web {

const QStringList kWebhookEvents = {"message.received",  "message.sent",          "message.failed", "message.unknown",
                                    "message.delivered", "message.undeliverable", "gateway.down",   "gateway.up"};

namespace {

ApiError Bad(const QString& field, const QString& message) { return Refuse(422, field, message); }

ApiError CheckUrl(const QString& text) {
  if (text.isEmpty()) return Bad("url", "missing");
  if (text.size() > kMaxUrlLength) return Bad("url", QString("longer than %1 characters").arg(kMaxUrlLength));
  const QUrl url(text, QUrl::StrictMode);
  if (!url.isValid()) return Bad("url", "not a valid URL");
  const QString scheme = url.scheme().toLower();
  if (scheme != "http" && scheme != "https") return Bad("url", "only http and https URLs are taken");
  if (url.host().isEmpty()) return Bad("url", "the URL has no host");
  return {};
}

ApiError CheckEvents(const QStringList& events) {
  if (events.isEmpty()) return Bad("events", "name at least one event");
  for (qsizetype i = 0; i < events.size(); ++i) {
    if (!kWebhookEvents.contains(events[i]))
      return Bad(QString("events[%1]").arg(i), "unknown event; known: " + kWebhookEvents.join(", "));
    if (events.indexOf(events[i]) < i) return Bad(QString("events[%1]").arg(i), "named twice");
  }
  return {};
}

ApiError CheckSecret(const QString& secret) {
  if (secret.isEmpty()) return Bad("secret", "missing");
  const qsizetype n = secret.toUtf8().size();
  if (n < kMinSecretLength) return Bad("secret", QString("shorter than %1 bytes").arg(kMinSecretLength));
  if (n > kMaxSecretLength) return Bad("secret", QString("longer than %1 bytes").arg(kMaxSecretLength));
  return {};
}

ApiError CheckAll(const WebhookRegistration& hook) {
  if (ApiError e = CheckUrl(hook.url); !e.ok()) return e;
  if (ApiError e = CheckEvents(hook.events); !e.ok()) return e;
  return CheckSecret(hook.secret);
}

}  // namespace

ParsedWebhook ParseWebhookRequest(const QByteArray& body) {
  ParsedWebhook p;
  QJsonObject o;
  if (p.error = ReadBody(body, {"url", "events", "secret"}, &o); !p.error.ok()) return p;
  const QJsonValue url = o.value("url"), events = o.value("events"), secret = o.value("secret");
  if (!url.isUndefined() && !url.isString()) return p.error = Bad("url", "a string is expected"), p;
  if (!secret.isUndefined() && !secret.isString()) return p.error = Bad("secret", "a string is expected"), p;
  if (!events.isUndefined() && !events.isArray())
    return p.error = Bad("events", "a list of event names is expected"), p;
  const QJsonArray list = events.toArray();
  for (qsizetype i = 0; i < list.size(); ++i) {
    if (!list[i].isString()) return p.error = Bad(QString("events[%1]").arg(i), "a string is expected"), p;
    p.hook.events.append(list[i].toString());
  }
  p.hook.url = url.toString();
  p.hook.secret = secret.toString();
  p.error = CheckAll(p.hook);
  return p;
}

ParsedWebhook CheckWebhook(const QString& url, const QString& events, const QString& secret) {
  ParsedWebhook p;
  p.hook.url = url;
  for (const QString& e : events.split(',', Qt::SkipEmptyParts)) p.hook.events.append(e.trimmed());
  p.hook.secret = secret;
  p.error = CheckAll(p.hook);
  return p;
}

QByteArray SignatureHeader(const QByteArray& secret, qint64 unixSeconds, const QByteArray& body) {
  const QByteArray t = QByteArray::number(unixSeconds);
  const QByteArray mac = QMessageAuthenticationCode::hash(t + '.' + body, secret, QCryptographicHash::Sha256).toHex();
  return "t=" + t + ",v1=" + mac;
}

qint64 RetryDelayMs(int attemptsMade, qint64 baseMs) {
  const int doublings = std::clamp(attemptsMade - 1, 0, 30);
  return std::min(baseMs << doublings, RetryCapMs(baseMs));
}

QByteArray EventBody(const QString& id, const QString& type, const QDateTime& created, const QJsonObject& data) {
  const QJsonObject o{
      {"id", id}, {"type", type}, {"created", created.toUTC().toString(Qt::ISODateWithMs)}, {"data", data}};
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString InternationalSender(const QString& sender, const QString& firstPdu) {
  if (sender.isEmpty()) return sender;
  for (QChar c : sender)
    if (!c.isDigit()) return sender;
  bool ok = false;
  const int smscOctets = firstPdu.left(2).toInt(&ok, 16);
  if (!ok) return sender;
  // SMSC address, first octet, address length, then the address type.
  const int type = firstPdu.mid(2 + smscOctets * 2 + 4, 2).toInt(&ok, 16);
  if (!ok) return sender;
  return ((type >> 4) & 7) == 1 ? "+" + sender : sender;
}

}  // namespace pdulink::web
