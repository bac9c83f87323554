// The body of POST /api/v1/messages: checked field by field before anything
// is stored, so that a refused request names its field and a text the
// gateway could not send never enters the outbox. Pure.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "ApiError.h"
#include "StrictJson.h"  // CheckJsonStrictly, the first check of ReadBody

namespace pdulink::web {

// Larger bodies are refused before they are parsed.
inline constexpr qsizetype kMaxBodyBytes = 64 * 1024;
// Recipients of one request.
inline constexpr int kMaxRecipients = 1000;
// Idempotency-Key header: printable ASCII, at most this long.
inline constexpr int kMaxIdempotencyKeyLength = 200;
// Priorities run from -1000 (last) to 1000 (first); 0 by default.
inline constexpr int kMaxPriority = 1000;

// What the gateways can send: one message, or up to maxParts concatenated
// parts (their LongSms/MaxParts/LongSmsRef16).
struct SendLimits {
  int maxParts = 1;
  bool ref16 = false;
  std::vector<std::uint8_t> shiftTables{};  // their ShiftTables (with Utf8Files=1)
};

struct SendRequest {
  QStringList to;        // numbers: optional '+', then 1..20 digits
  QString text;          // as given (the gateway trims and collapses blanks)
  bool flash = false;
  std::optional<int> validity;  // relative validity-period octet, 0..255
  QString smsc;          // service centre number, empty: the phone's
  bool report = false;   // status report requested
  QString gateway;       // empty: any gateway
  std::optional<QDateTime> notBefore;  // UTC
  int priority = 0;
  // What the text needs.
  int characters = 0;
  int parts = 1;
  bool ucs2 = false;
};

struct ParsedSend {
  ApiError error;
  SendRequest request;
  // SHA-256 (hex) of the body's JSON in canonical form (keys sorted, no
  // blanks): the same request gives the same hash however it is laid out.
  QByteArray hash;
};

ParsedSend ParseSendRequest(const QByteArray& body, const SendLimits& limits);

// What a text needs as the gateways send it (their ShiftTables included):
// the same count the length check of a send uses.
struct TextCount {
  int characters = 0;
  int parts = 1;
  bool ucs2 = false;
};
TextCount CountText(const QString& text, const SendLimits& limits);

// The body of POST /api/v1/count, {"text": "..."}: read as a send's body
// is (size limit, strict JSON), then counted. An empty text counts 0
// characters, a long one its parts: the page decides what to make of them.
struct ParsedCount {
  ApiError error;
  TextCount count;
};
ParsedCount ParseCountRequest(const QByteArray& body, const SendLimits& limits);

// A request body as a JSON object whose keys are all among `fields`; the
// error otherwise (413 too large, 400 malformed, 422 naming an unknown field).
ApiError ReadBody(const QByteArray& body, const QStringList& fields, QJsonObject* object);

// The canonical hash used above, of any JSON object.
QByteArray RequestHash(const QJsonObject& object);

// A number as the API takes it: blanks, '-', '(' and ')' dropped; then an
// optional '+' and 1..20 digits. Nothing when it is not a number.
std::optional<QString> NormaliseNumber(const QString& text);

// The Idempotency-Key header: empty (absent) or 1..200 printable ASCII
// characters; an error names the header otherwise.
ApiError CheckIdempotencyKey(const QByteArray& key);

}  // namespace pdulink::web
