#include "SendRequest.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

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

// A walk over JSON text that stops quietly at anything malformed.
class StrictJson {
 public:
  explicit StrictJson(const QByteArray& text) : p_(text.constData()), end_(p_ + text.size()) {}
  ApiError Check() {
    Value("body");
    return error_;
  }

 private:
  void Blank() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool Fail(const QString& field, const QString& message) {
    error_ = Refuse(400, field, message);
    return false;
  }
  static int Hex4(const char* p) {
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = p[i];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return -1;
    }
    return v;
  }
  // A string at p_ ('"'); its decoded text in *out. false: stop.
  bool String(const QString& field, QString* out) {
    ++p_;
    QByteArray raw;
    while (p_ < end_ && *p_ != '"') {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c < 0x20) return Fail(field, "a control character must be escaped (\\n, \\u0000)");
      if (c != '\\') {
        raw.append(static_cast<char>(c));
        ++p_;
        continue;
      }
      if (end_ - p_ < 2) return false;
      if (p_[1] != 'u') {
        raw.append(p_, 2);
        p_ += 2;
        continue;
      }
      if (end_ - p_ < 6) return false;
      const int unit = Hex4(p_ + 2);
      if (unit < 0) return false;
      p_ += 6;
      char32_t code = static_cast<char32_t>(unit);
      if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail(field, "a \\u escape of half a character (unpaired surrogate)");
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const int low = (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') ? Hex4(p_ + 2) : -1;
        if (low < 0xDC00 || low > 0xDFFF) return Fail(field, "a \\u escape of half a character (unpaired surrogate)");
        p_ += 6;
        code = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
      }
      raw.append(QString::fromUcs4(&code, 1).toUtf8());
    }
    if (p_ >= end_) return false;
    ++p_;
    if (out) *out = QString::fromUtf8(raw);
    return true;
  }
  bool Value(const QString& field) {
    if (++depth_ > 64) return false;
    Blank();
    if (p_ >= end_) return false;
    bool ok = true;
    if (*p_ == '"') {
      ok = String(field, nullptr);
    } else if (*p_ == '{') {
      ++p_;
      QStringList keys;
      Blank();
      if (p_ < end_ && *p_ == '}') {
        ++p_;
      } else {
        for (;;) {
          Blank();
          QString key;
          if (p_ >= end_ || *p_ != '"' || !String(field == "body" ? QString("body") : field, &key)) return false;
          const QString inner = field == "body" ? key : field + "." + key;
          if (keys.contains(key)) return Fail(inner, "given twice");
          keys.append(key);
          Blank();
          if (p_ >= end_ || *p_ != ':') return false;
          ++p_;
          if (!Value(inner)) return false;
          Blank();
          if (p_ < end_ && *p_ == ',') {
            ++p_;
            continue;
          }
          if (p_ < end_ && *p_ == '}') {
            ++p_;
            break;
          }
          return false;
        }
      }
    } else if (*p_ == '[') {
      ++p_;
      Blank();
      if (p_ < end_ && *p_ == ']') {
        ++p_;
      } else {
        for (int i = 0;; ++i) {
          if (!Value(QString("%1[%2]").arg(field).arg(i))) return false;
          Blank();
          if (p_ < end_ && *p_ == ',') {
            ++p_;
            continue;
          }
          if (p_ < end_ && *p_ == ']') {
            ++p_;
            break;
          }
          return false;
        }
      }
    } else {
      while (p_ < end_ && *p_ != ',' && *p_ != '}' && *p_ != ']' && *p_ != ' ' && *p_ != '\n' && *p_ != '\r' &&
             *p_ != '\t')
        ++p_;
    }
    --depth_;
    return ok;
  }

  const char* p_;
  const char* end_;
  int depth_ = 0;
  ApiError error_;
};

}  // namespace

ApiError CheckJsonStrictly(const QByteArray& body) { return StrictJson(body).Check(); }

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

// The text field: present and a string.
ApiError ReadText(const QJsonObject& o, QString* text) {
  const QJsonValue v = o.value("text");
  if (v.isUndefined() || v.isNull()) return Bad("text", "missing");
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

ParsedSend ParseSendRequest(const QByteArray& body, const SendLimits& limits) {
  ParsedSend p;
  QJsonObject o;
  if (p.error = ReadBody(body, kFields, &o); !p.error.ok()) return p;
  SendRequest& r = p.request;

  // to: one number or a list of them.
  const QJsonValue to = o.value("to");
  if (to.isUndefined() || to.isNull()) {
    p.error = Bad("to", "missing");
    return p;
  }
  QJsonArray numbers;
  if (to.isString())
    numbers.append(to);
  else if (to.isArray())
    numbers = to.toArray();
  else {
    p.error = Bad("to", "a number or a list of numbers is expected");
    return p;
  }
  if (numbers.isEmpty()) {
    p.error = Bad("to", "no recipient");
    return p;
  }
  if (numbers.size() > kMaxRecipients) {
    p.error = Bad("to", QString("more than %1 recipients").arg(kMaxRecipients));
    return p;
  }
  for (qsizetype i = 0; i < numbers.size(); ++i) {
    const QString field = to.isArray() ? QString("to[%1]").arg(i) : QString("to");
    if (!numbers[i].isString()) {
      p.error = Bad(field, "a number is a string of digits, optionally after '+'");
      return p;
    }
    const std::optional<QString> n = NormaliseNumber(numbers[i].toString());
    if (!n) {
      p.error = Bad(field, "not a phone number ('+' and 1 to 20 digits)");
      return p;
    }
    r.to.append(*n);
  }

  // text: must fit what the gateways can send.
  if (p.error = ReadText(o, &r.text); !p.error.ok()) return p;
  const TextCount count = CountText(r.text, limits);
  r.characters = count.characters;
  r.parts = count.parts;
  r.ucs2 = count.ucs2;
  if (count.characters == 0) {
    p.error = Bad("text", "empty");
    return p;
  }
  if (count.parts > limits.maxParts) {
    p.error = limits.maxParts == 1
                  ? Bad("text", QString("longer than one message (%1 characters, %2 parts)").arg(count.characters).arg(count.parts))
                  : Bad("text", QString("needs %1 parts, at most %2 can be sent").arg(count.parts).arg(limits.maxParts));
    return p;
  }

  for (const char* flag : {"flash", "report"}) {
    const QJsonValue v = o.value(flag);
    if (v.isUndefined() || v.isNull()) continue;
    if (!v.isBool()) {
      p.error = Bad(flag, "true or false is expected");
      return p;
    }
    (QString(flag) == "flash" ? r.flash : r.report) = v.toBool();
  }

  if (const QJsonValue v = o.value("validity"); !v.isUndefined() && !v.isNull()) {
    r.validity = IntegerIn(v, 0, 255);
    if (!r.validity) {
      p.error = Bad("validity", "an integer from 0 to 255 (relative validity period) is expected");
      return p;
    }
  }
  if (const QJsonValue v = o.value("priority"); !v.isUndefined() && !v.isNull()) {
    const std::optional<int> prio = IntegerIn(v, -kMaxPriority, kMaxPriority);
    if (!prio) {
      p.error = Bad("priority", QString("an integer from %1 to %2 is expected").arg(-kMaxPriority).arg(kMaxPriority));
      return p;
    }
    r.priority = *prio;
  }
  if (const QJsonValue v = o.value("smsc"); !v.isUndefined() && !v.isNull()) {
    const std::optional<QString> n = v.isString() ? NormaliseNumber(v.toString()) : std::nullopt;
    if (!n) {
      p.error = Bad("smsc", "not a phone number ('+' and 1 to 20 digits)");
      return p;
    }
    r.smsc = *n;
  }
  if (const QJsonValue v = o.value("gateway"); !v.isUndefined() && !v.isNull()) {
    const QString g = v.isString() ? v.toString() : QString();
    if (g.isEmpty() || g.size() > 128) {
      p.error = Bad("gateway", "a gateway name (1 to 128 characters) is expected");
      return p;
    }
    r.gateway = g;
  }
  if (const QJsonValue v = o.value("not_before"); !v.isUndefined() && !v.isNull()) {
    QDateTime t = v.isString() ? QDateTime::fromString(v.toString(), Qt::ISODateWithMs) : QDateTime();
    if (!t.isValid() || t.timeSpec() == Qt::LocalTime) {
      p.error = Bad("not_before", "a date and time in ISO 8601 with its zone is expected (2026-12-08T10:00:00Z)");
      return p;
    }
    r.notBefore = t.toUTC();
  }
  p.hash = RequestHash(o);
  return p;
}

}  // namespace pdulink::web
