#include "SendRequest.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

#include "StrictJson.h"
#include "sms_concat.h"

namespace pdulink::web {

namespace {

const QStringList kFields = {"to", "text", "flash", "validity", "smsc", "report", "gateway", "not_before", "priority"};

ApiError Bad(const QString& field, const QString& message) { return Refuse(422, field, message); }

// An integer in [lo, hi]: a JSON number without a fraction.
std::optional<int> IntegerIn(const QJsonValue& v, int lo, int hi) {
  if (!v.isDouble()) return std::nullopt;
  const double d = v.toDouble();
  if (!std::isfinite(d) || std::floor(d) != d || d < lo || d > hi) return std::nullopt;
  return static_cast<int>(d);
}

}  // namespace

std::optional<QString> NormaliseNumber(const QString& text) {
  QString n;
  for (QChar c : text) {
    if (c == ' ' || c == '-' || c == '(' || c == ')') continue;
    n.append(c);
  }
  const qsizetype digitsFrom = n.startsWith('+') ? 1 : 0;
  const qsizetype digits = n.size() - digitsFrom;
  if (digits < 1 || digits > 20) return std::nullopt;
  for (qsizetype i = digitsFrom; i < n.size(); ++i)
    if (n[i] < '0' || n[i] > '9') return std::nullopt;
  return n;
}

ApiError CheckIdempotencyKey(const QByteArray& key) {
  if (key.size() > kMaxIdempotencyKeyLength)
    return Refuse(400, "Idempotency-Key", "longer than 200 characters");
  for (char c : key)
    if (c < 0x21 || c > 0x7E) return Refuse(400, "Idempotency-Key", "only printable ASCII characters are allowed");
  return {};
}

QByteArray RequestHash(const QJsonObject& object) {
  return QCryptographicHash::hash(QJsonDocument(object).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256)
      .toHex();
}

ApiError ReadBody(const QByteArray& body, const QStringList& fields, QJsonObject* object) {
  if (body.size() > kMaxBodyBytes) return Refuse(413, "body", QString("larger than %1 bytes").arg(kMaxBodyBytes));
  if (ApiError e = CheckJsonStrictly(body); !e.ok()) return e;
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
  if (parseError.error != QJsonParseError::NoError)
    return Refuse(400, "body", QString("malformed JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString()));
  if (!doc.isObject()) return Refuse(400, "body", "a JSON object is expected");
  *object = doc.object();
  for (auto it = object->begin(); it != object->end(); ++it)
    if (!fields.contains(it.key())) return Bad(it.key(), "unknown field");
  return {};
}

namespace {

// A field that is there: neither absent nor null.
bool Given(const QJsonValue& v) { return !v.isUndefined() && !v.isNull(); }

// The text field: present and a string.
ApiError ReadText(const QJsonObject& o, QString* text) {
  const QJsonValue v = o.value("text");
  if (!Given(v)) return Bad("text", "missing");
  if (!v.isString()) return Bad("text", "a string is expected");
  *text = v.toString();
  return {};
}

}  // namespace

TextCount CountText(const QString& text, const SendLimits& limits) {
  const QByteArray utf8 = text.toUtf8();
  const PartCount c = CountParts(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), limits.ref16,
                                 true, limits.shiftTables);
  return TextCount{c.characters, c.parts, c.ucs2};
}

ParsedCount ParseCountRequest(const QByteArray& body, const SendLimits& limits) {
  ParsedCount p;
  QJsonObject o;
  QString text;
  if (p.error = ReadBody(body, {"text"}, &o); !p.error.ok()) return p;
  if (p.error = ReadText(o, &text); !p.error.ok()) return p;
  p.count = CountText(text, limits);
  return p;
}

namespace {

// to: one number or a list of them, each normalised.
ApiError ReadRecipients(const QJsonObject& o, QStringList* to) {
  const QJsonValue v = o.value("to");
  if (!Given(v)) return Bad("to", "missing");
  QJsonArray numbers;
  if (v.isString())
    numbers.append(v);
  else if (v.isArray())
    numbers = v.toArray();
  else
    return Bad("to", "a number or a list of numbers is expected");
  if (numbers.isEmpty()) return Bad("to", "no recipient");
  if (numbers.size() > kMaxRecipients) return Bad("to", QString("more than %1 recipients").arg(kMaxRecipients));
  for (qsizetype i = 0; i < numbers.size(); ++i) {
    const QString field = v.isArray() ? QString("to[%1]").arg(i) : QString("to");
    if (!numbers[i].isString()) return Bad(field, "a number is a string of digits, optionally after '+'");
    const std::optional<QString> n = NormaliseNumber(numbers[i].toString());
    if (!n) return Bad(field, "not a phone number ('+' and 1 to 20 digits)");
    to->append(*n);
  }
  return {};
}

// text: must fit what the gateways can send; what it needs noted in *r.
ApiError ReadSendText(const QJsonObject& o, const SendLimits& limits, SendRequest* r) {
  if (ApiError e = ReadText(o, &r->text); !e.ok()) return e;
  const TextCount count = CountText(r->text, limits);
  r->characters = count.characters;
  r->parts = count.parts;
  r->ucs2 = count.ucs2;
  if (count.characters == 0) return Bad("text", "empty");
  if (count.parts > limits.maxParts)
    return limits.maxParts == 1
               ? Bad("text", QString("longer than one message (%1 characters, %2 parts)").arg(count.characters).arg(count.parts))
               : Bad("text", QString("needs %1 parts, at most %2 can be sent").arg(count.parts).arg(limits.maxParts));
  return {};
}

// flash and report: true or false when given.
ApiError ReadFlags(const QJsonObject& o, SendRequest* r) {
  for (const char* flag : {"flash", "report"}) {
    const QJsonValue v = o.value(flag);
    if (!Given(v)) continue;
    if (!v.isBool()) return Bad(flag, "true or false is expected");
    (QString(flag) == "flash" ? r->flash : r->report) = v.toBool();
  }
  return {};
}

// validity and priority: integers in their ranges when given.
ApiError ReadNumbers(const QJsonObject& o, SendRequest* r) {
  if (const QJsonValue v = o.value("validity"); Given(v)) {
    r->validity = IntegerIn(v, 0, 255);
    if (!r->validity) return Bad("validity", "an integer from 0 to 255 (relative validity period) is expected");
  }
  if (const QJsonValue v = o.value("priority"); Given(v)) {
    const std::optional<int> prio = IntegerIn(v, -kMaxPriority, kMaxPriority);
    if (!prio)
      return Bad("priority", QString("an integer from %1 to %2 is expected").arg(-kMaxPriority).arg(kMaxPriority));
    r->priority = *prio;
  }
  return {};
}

// smsc, gateway and not_before: where and when the message goes, when given.
ApiError ReadRouting(const QJsonObject& o, SendRequest* r) {
  if (const QJsonValue v = o.value("smsc"); Given(v)) {
    const std::optional<QString> n = v.isString() ? NormaliseNumber(v.toString()) : std::nullopt;
    if (!n) return Bad("smsc", "not a phone number ('+' and 1 to 20 digits)");
    r->smsc = *n;
  }
  if (const QJsonValue v = o.value("gateway"); Given(v)) {
    const QString g = v.isString() ? v.toString() : QString();
    if (g.isEmpty() || g.size() > 128) return Bad("gateway", "a gateway name (1 to 128 characters) is expected");
    r->gateway = g;
  }
  if (const QJsonValue v = o.value("not_before"); Given(v)) {
    QDateTime t = v.isString() ? QDateTime::fromString(v.toString(), Qt::ISODateWithMs) : QDateTime();
    if (!t.isValid() || t.timeSpec() == Qt::LocalTime)
      return Bad("not_before", "a date and time in ISO 8601 with its zone is expected (2026-12-08T10:00:00Z)");
    r->notBefore = t.toUTC();
  }
  return {};
}

}  // namespace

ParsedSend ParseSendRequest(const QByteArray& body, const SendLimits& limits) {
  ParsedSend p;
  QJsonObject o;
  SendRequest& r = p.request;
  if (p.error = ReadBody(body, kFields, &o); !p.error.ok()) return p;
  if (p.error = ReadRecipients(o, &r.to); !p.error.ok()) return p;
  if (p.error = ReadSendText(o, limits, &r); !p.error.ok()) return p;
  if (p.error = ReadFlags(o, &r); !p.error.ok()) return p;
  if (p.error = ReadNumbers(o, &r); !p.error.ok()) return p;
  if (p.error = ReadRouting(o, &r); !p.error.ok()) return p;
  p.hash = RequestHash(o);
  return p;
}

}  // namespace pdulink::web
