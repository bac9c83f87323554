#include "ApiQuery.h"

#include <QStringList>

namespace pdulink::web {

namespace {

// A decimal integer of plain digits (no sign, no blanks) within [lo, hi].
std::optional<qint64> Digits(const QString& text, qint64 lo, qint64 hi) {
  if (text.isEmpty() || text.size() > 18) return std::nullopt;
  for (QChar c : text)
    if (c < '0' || c > '9') return std::nullopt;
  const qint64 v = text.toLongLong();
  if (v < lo || v > hi) return std::nullopt;
  return v;
}

// Every parameter of the query must be one of `known`, and appear once.
ApiError CheckKnown(const QUrlQuery& q, const QStringList& known) {
  const auto items = q.queryItems(QUrl::FullyDecoded);
  QStringList seen;
  for (const auto& [key, value] : items) {
    if (!known.contains(key)) return Refuse(400, key, "unknown query parameter");
    if (seen.contains(key)) return Refuse(400, key, "given more than once");
    seen.append(key);
  }
  return {};
}

ApiError ParseLimit(const QUrlQuery& q, int* limit) {
  if (!q.hasQueryItem("limit")) return {};
  const std::optional<qint64> v = Digits(q.queryItemValue("limit", QUrl::FullyDecoded), 1, kMaxLimit);
  if (!v) return Refuse(400, "limit", QString("an integer from 1 to %1 is expected").arg(kMaxLimit));
  *limit = static_cast<int>(*v);
  return {};
}

// newest=N stands alone: it cannot be combined with a page's start or size.
ApiError ParseNewest(const QUrlQuery& q, const char* startParameter, int* newest) {
  if (!q.hasQueryItem("newest")) return {};
  const std::optional<qint64> v = Digits(q.queryItemValue("newest", QUrl::FullyDecoded), 1, kMaxLimit);
  if (!v) return Refuse(400, "newest", QString("an integer from 1 to %1 is expected").arg(kMaxLimit));
  if (q.hasQueryItem(startParameter) || q.hasQueryItem("limit"))
    return Refuse(400, "newest", QString("cannot be combined with %1 or limit").arg(startParameter));
  *newest = static_cast<int>(*v);
  return {};
}

// The filters both listings take: before_id (with newest, the rows older
// than a row), number (one correspondent, '+' or not) and q (a piece of the
// text or the number).
template <typename Query>
ApiError ParseFilters(const QUrlQuery& q, Query* query) {
  if (q.hasQueryItem("before_id")) {
    const std::optional<qint64> id = Digits(q.queryItemValue("before_id", QUrl::FullyDecoded), 1, Q_INT64_C(999999999999999999));
    if (!id) return Refuse(400, "before_id", "a row id (an integer from 1) is expected");
    if (query->newest == 0) return Refuse(400, "before_id", "goes with newest");
    query->beforeId = *id;
  }
  if (q.hasQueryItem("number")) {
    const QString n = q.queryItemValue("number", QUrl::FullyDecoded);
    if (n.isEmpty() || n.size() > 32) return Refuse(400, "number", "a number of 1 to 32 characters is expected");
    query->number = n;
  }
  if (q.hasQueryItem("q")) {
    const QString text = q.queryItemValue("q", QUrl::FullyDecoded);
    if (text.isEmpty() || text.size() > 200) return Refuse(400, "q", "1 to 200 characters are expected");
    query->search = text;
  }
  return {};
}

}  // namespace

bool ValidOutboxState(const QString& state) {
  static const QStringList states = {"queued", "sending", "sent", "failed", "unknown"};
  return states.contains(state);
}

std::optional<qint64> ParseRowId(const QString& segment) { return Digits(segment, 1, Q_INT64_C(999999999999999999)); }

QString EncodeCursor(qint64 lastId) {
  return QString::fromLatin1(
      QByteArray("o1:" + QByteArray::number(lastId)).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

std::optional<qint64> DecodeCursor(const QString& cursor) {
  const auto decoded = QByteArray::fromBase64Encoding(cursor.toLatin1(), QByteArray::Base64UrlEncoding |
                                                                            QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || !decoded.decoded.startsWith("o1:")) return std::nullopt;
  return Digits(QString::fromLatin1(decoded.decoded.mid(3)), 0, Q_INT64_C(999999999999999999));
}

ParsedOutboxQuery ParseOutboxQuery(const QUrlQuery& q) {
  ParsedOutboxQuery p;
  if ((p.error = CheckKnown(q, {"state", "since", "limit", "cursor", "newest", "before_id", "number", "q"})).status)
    return p;
  if (q.hasQueryItem("state")) {
    const QString s = q.queryItemValue("state", QUrl::FullyDecoded);
    if (!ValidOutboxState(s)) {
      p.error = Refuse(400, "state", "one of queued, sending, sent, failed, unknown is expected");
      return p;
    }
    p.query.state = s;
  }
  if (q.hasQueryItem("since")) {
    const QDateTime t = QDateTime::fromString(q.queryItemValue("since", QUrl::FullyDecoded), Qt::ISODateWithMs);
    if (!t.isValid() || t.timeSpec() == Qt::LocalTime) {
      p.error = Refuse(400, "since", "a date and time in ISO 8601 with its zone is expected (2026-12-08T10:00:00Z)");
      return p;
    }
    p.query.since = t.toUTC();
  }
  if ((p.error = ParseLimit(q, &p.query.limit)).status) return p;
  if (q.hasQueryItem("cursor")) {
    const std::optional<qint64> id = DecodeCursor(q.queryItemValue("cursor", QUrl::FullyDecoded));
    if (!id) {
      p.error = Refuse(400, "cursor", "not a cursor this server handed out");
      return p;
    }
    p.query.afterId = *id;
  }
  if ((p.error = ParseNewest(q, "cursor", &p.query.newest)).status) return p;
  p.error = ParseFilters(q, &p.query);
  return p;
}

ParsedInboxQuery ParseInboxQuery(const QUrlQuery& q) {
  ParsedInboxQuery p;
  if ((p.error = CheckKnown(q, {"since_id", "limit", "newest", "before_id", "number", "q"})).status) return p;
  if (q.hasQueryItem("since_id")) {
    const std::optional<qint64> id = Digits(q.queryItemValue("since_id", QUrl::FullyDecoded), 0, Q_INT64_C(999999999999999999));
    if (!id) {
      p.error = Refuse(400, "since_id", "a row id (an integer from 0) is expected");
      return p;
    }
    p.query.sinceId = *id;
  }
  if ((p.error = ParseLimit(q, &p.query.limit)).status) return p;
  if ((p.error = ParseNewest(q, "since_id", &p.query.newest)).status) return p;
  p.error = ParseFilters(q, &p.query);
  return p;
}

}  // namespace pdulink::web
