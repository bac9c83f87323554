// Query parameters of the listing requests, checked before any query runs,
// and the opaque cursor of the outbox listing. Pure.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrlQuery>
#include <optional>

#include "ApiError.h"

namespace pdulink::web {

inline constexpr int kDefaultLimit = 100;
inline constexpr int kMaxLimit = 1000;

// GET /messages?state=&since=&limit=&cursor=
// Both listings return rows in id order. Instead of paging, newest=N asks
// for the N newest rows (still oldest first), as a page that shows the
// latest messages does.
struct OutboxQuery {
  QString state;               // empty: every state
  std::optional<QDateTime> since;  // created at or after (UTC)
  qint64 afterId = 0;          // from the cursor: rows with a larger id
  int limit = kDefaultLimit;
  int newest = 0;              // > 0: the newest rows instead of a page
  qint64 beforeId = 0;         // with newest: only rows with a smaller id (older)
  QString number;              // only rows to this number (as stored)
  QString search;              // only rows whose text or number contains this
};
// GET /inbox?since_id=&limit=
struct InboxQuery {
  qint64 sinceId = 0;  // rows with a larger id
  int limit = kDefaultLimit;
  int newest = 0;      // > 0: the newest rows instead of a page
  qint64 beforeId = 0; // with newest: only rows with a smaller id (older)
  QString number;      // only rows from this number (as stored)
  QString search;      // only rows whose text or number contains this
};

struct ParsedOutboxQuery {
  ApiError error;
  OutboxQuery query;
};
struct ParsedInboxQuery {
  ApiError error;
  InboxQuery query;
};

ParsedOutboxQuery ParseOutboxQuery(const QUrlQuery& q);
ParsedInboxQuery ParseInboxQuery(const QUrlQuery& q);

// The states an outbox row can be in.
bool ValidOutboxState(const QString& state);

// A positive row id from a path segment ("17"); nothing otherwise.
std::optional<qint64> ParseRowId(const QString& segment);

// The cursor names the last row of a page: base64url of "o1:<id>".
QString EncodeCursor(qint64 lastId);
std::optional<qint64> DecodeCursor(const QString& cursor);

}  // namespace pdulink::web
