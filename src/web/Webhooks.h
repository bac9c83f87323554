// Webhooks, the pure parts: the registration a client sends, the signature
// a receiver checks, the waits between attempts and the JSON of an event.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "ApiError.h"

namespace pdulink::web {

// The events a webhook may ask for.
extern const QStringList kWebhookEvents;

// A secret shorter than this is too easy to guess; longer is refused too.
inline constexpr int kMinSecretLength = 16;
inline constexpr int kMaxSecretLength = 1024;
inline constexpr int kMaxUrlLength = 2048;

struct WebhookRegistration {
  QString url;
  QStringList events;  // each among kWebhookEvents, no repeats
  QString secret;
};

struct ParsedWebhook {
  ApiError error;  // names the field at fault
  WebhookRegistration hook;
};

// The body of POST /api/v1/webhooks: {"url", "events": [...], "secret"}.
ParsedWebhook ParseWebhookRequest(const QByteArray& body);
// The same checks for the command line's values (events as "a,b,c").
ParsedWebhook CheckWebhook(const QString& url, const QString& events, const QString& secret);

// The header a delivery carries: "t=<unix seconds>,v1=<hex HMAC-SHA256 of
// "<t>.<body>" keyed with the secret>".
QByteArray SignatureHeader(const QByteArray& secret, qint64 unixSeconds, const QByteArray& body);

// How the waits between attempts grow: base, twice, four times ... up to
// an hour's worth (720 bases), and how long a delivery is tried at all (a
// day's worth, 17280 bases). The shipped base is 5 s: first retry after
// 5 s, at most an hour apart, given up after 24 hours.
inline constexpr qint64 kRetryBaseMs = 5000;
qint64 RetryDelayMs(int attemptsMade, qint64 baseMs);
inline qint64 RetryCapMs(qint64 baseMs) { return baseMs * 720; }
inline qint64 GiveUpAfterMs(qint64 baseMs) { return baseMs * 17280; }

// {"id", "type", "created", "data"}, compact UTF-8.
QByteArray EventBody(const QString& id, const QString& type, const QDateTime& created, const QJsonObject& data);

// A received sender in international form: digits whose address type in
// the first PDU (TS 23.040 9.1.2.5, type of number 1) says international
// get their '+'; anything else is left as stored.
QString InternationalSender(const QString& sender, const QString& firstPdu);

}  // namespace pdulink::web
