// An API request refused: the HTTP status, the field (or header, or query
// parameter) at fault and a sentence for people. Pure.
#pragma once

#include <QJsonObject>
#include <QString>

namespace pdulink::web {

struct ApiError {
  int status = 0;  // 0: no error
  QString field;   // empty when no one field is at fault
  QString message;

  bool ok() const { return status == 0; }
  // {"error": {"status": 422, "field": "text", "message": "..."}}
  QJsonObject ToJson() const {
    QJsonObject e{{"status", status}, {"message", message}};
    if (!field.isEmpty()) e.insert("field", field);
    return QJsonObject{{"error", e}};
  }
};

inline ApiError Refuse(int status, const QString& field, const QString& message) {
  return ApiError{status, field, message};
}

}  // namespace pdulink::web
