// The JSON of spool rows as the API hands them out. The store selects the
// columns named here, in this order, and passes the values on; times come
// out as ISO 8601 UTC with milliseconds, whichever backend stored them.
// Pure.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QVariantList>

namespace pdulink::web {

extern const char* const kOutboxColumns;
extern const char* const kInboxColumns;
extern const char* const kGatewayColumns;

QJsonObject OutboxJson(const QVariantList& values);
QJsonObject InboxJson(const QVariantList& values);
QJsonObject GatewayJson(const QVariantList& values);

// A stored time (SQLite text or a QDateTime) as "2026-12-08T10:00:00.000Z";
// null for a null value.
QJsonValue TimeJson(const QVariant& value);

}  // namespace pdulink::web
