#include "ApiKeys.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace pdulink::web {

QString GenerateKey() {
  QByteArray raw(32, '\0');
  QRandomGenerator* rng = QRandomGenerator::system();
  for (int i = 0; i < raw.size(); i += 4) {
    const quint32 v = rng->generate();
    for (int b = 0; b < 4; ++b) raw[i + b] = static_cast<char>((v >> (8 * b)) & 0xFF);
  }
  return QString::fromLatin1(raw.toHex());
}

QByteArray HashKey(const QByteArray& key) {
  return QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
}

bool ConstantTimeEqual(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (qsizetype i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
  return diff == 0;
}

std::optional<QByteArray> BearerKey(const QByteArray& header) {
  const QByteArray v = header.trimmed();
  static const QByteArray scheme = "bearer";
  if (v.size() <= scheme.size() || v.left(scheme.size()).toLower() != scheme) return std::nullopt;
  const char sep = v[scheme.size()];
  if (sep != ' ' && sep != '\t') return std::nullopt;
  QByteArray key = v.mid(scheme.size() + 1).trimmed();
  if (key.isEmpty()) return std::nullopt;
  return key;
}

bool ValidKeyName(const QString& name) {
  if (name.isEmpty() || name.size() > 64) return false;
  for (QChar c : name) {
    const char16_t u = c.unicode();
    const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' ||
                    u == '_' || u == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace pdulink::web
