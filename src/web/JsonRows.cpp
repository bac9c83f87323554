#include "JsonRows.h"

#include <QDateTime>
#include <QJsonArray>
#include <algorithm>

namespace pdulink::web {

const char* const kOutboxColumns =
    "id, created, number, text, flash, validity, smsc, report, gateway, not_before, priority, state,"
    " claimed_by, claimed_at, attempts, refs, sent, error, delivered, report_status";
const char* const kInboxColumns = "id, gateway, received, sc_time, sender, text, parts, coding, class, flash, pdus, files";
const char* const kGatewayColumns =
    "name, host, last_seen, connection, signal, battery, sim, network, queue,"
    " last_answer, last_answer_at, restarts, store_used, store_total, store_full, registered";

namespace {

QJsonValue Int(const QVariant& v) { return v.isNull() ? QJsonValue() : QJsonValue(v.toLongLong()); }
QJsonValue Text(const QVariant& v) { return v.isNull() ? QJsonValue() : QJsonValue(v.toString()); }
QJsonValue Bool(const QVariant& v) { return v.isNull() ? QJsonValue(false) : QJsonValue(v.toLongLong() != 0); }

// "a\nb" (or "17,18") as a list; null stays null.
QJsonValue List(const QVariant& v, QChar separator, bool numbers) {
  if (v.isNull()) return QJsonValue();
  QJsonArray a;
  const QStringList items = v.toString().split(separator, Qt::SkipEmptyParts);
  for (const QString& item : items) {
    if (numbers)
      a.append(item.trimmed().toLongLong());
    else
      a.append(item.trimmed());
  }
  return a;
}

}  // namespace

namespace {

QDateTime StoredTime(const QVariant& value) {
  if (value.isNull()) return QDateTime();
  return value.typeId() == QMetaType::QDateTime ? value.toDateTime()
                                                : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

}  // namespace

QJsonValue TimeJson(const QVariant& value) {
  if (value.isNull()) return QJsonValue();
  QDateTime t = StoredTime(value);
  if (!t.isValid()) return value.toString();
  return t.toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject OutboxJson(const QVariantList& v) {
  if (v.size() < 20) return {};
  return QJsonObject{
      {"id", Int(v[0])},          {"created", TimeJson(v[1])},     {"to", Text(v[2])},
      {"text", Text(v[3])},       {"flash", Bool(v[4])},           {"validity", Int(v[5])},
      {"smsc", Text(v[6])},       {"report", Bool(v[7])},          {"gateway", Text(v[8])},
      {"not_before", TimeJson(v[9])}, {"priority", Int(v[10])},    {"state", Text(v[11])},
      {"claimed_by", Text(v[12])}, {"claimed_at", TimeJson(v[13])}, {"attempts", Int(v[14])},
      {"references", List(v[15], ',', true)}, {"sent", TimeJson(v[16])}, {"error", Text(v[17])},
      {"delivered", TimeJson(v[18])}, {"report_status", Int(v[19])},
  };
}

QJsonObject InboxJson(const QVariantList& v) {
  if (v.size() < 12) return {};
  return QJsonObject{
      {"id", Int(v[0])},       {"gateway", Text(v[1])}, {"received", TimeJson(v[2])}, {"sc_time", Text(v[3])},
      {"sender", Text(v[4])},  {"text", Text(v[5])},    {"parts", Int(v[6])},         {"coding", Text(v[7])},
      {"class", Int(v[8])},    {"flash", Bool(v[9])},   {"pdus", List(v[10], '\n', false)},
      {"files", List(v[11], '\n', false)},
  };
}

QJsonObject GatewayJson(const QVariantList& v) {
  if (v.size() < 16) return {};
  // Seconds since the phone last answered, at the time of asking.
  QJsonValue since;
  if (const QDateTime at = StoredTime(v[10]); at.isValid())
    since = std::max<qint64>(0, at.secsTo(QDateTime::currentDateTimeUtc()));
  return QJsonObject{
      {"name", Text(v[0])},    {"host", Text(v[1])},    {"last_seen", TimeJson(v[2])},
      {"connection", Text(v[3])}, {"signal", Int(v[4])}, {"battery", Int(v[5])},
      {"sim", Text(v[6])},     {"network", Text(v[7])}, {"queue", Int(v[8])},
      {"registered", v[15].isNull() ? QJsonValue() : Bool(v[15])},
      {"last_answer", Text(v[9])}, {"last_answer_at", TimeJson(v[10])}, {"seconds_since_answer", since},
      {"phone_restarts", Int(v[11])},
      {"store", QJsonObject{{"used", Int(v[12])}, {"total", Int(v[13])}, {"full", Bool(v[14])}}},
  };
}

}  // namespace pdulink::web
