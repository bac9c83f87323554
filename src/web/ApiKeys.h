// API keys of the web server: a key is 32 random bytes shown once as text;
// the spool keeps only the SHA-256 of that text. A presented key is hashed
// and its hash compared with each stored one in constant time. Pure apart
// from the system's random source.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace pdulink::web {

// A fresh key: 32 bytes from the system's random source as 64 lower-case hex
// digits.
QString GenerateKey();

// The stored form of a key: SHA-256 of its text, as 64 lower-case hex digits.
QByteArray HashKey(const QByteArray& key);

// Equal length and bytes, in a time that depends only on the length.
bool ConstantTimeEqual(const QByteArray& a, const QByteArray& b);

// The key of an "Authorization: Bearer KEY" header value (scheme in any
// case, blanks around the key ignored); nothing for any other value or an
// empty key.
std::optional<QByteArray> BearerKey(const QByteArray& header);

// Names of keys: 1..64 letters, digits, '.', '_' or '-'.
bool ValidKeyName(const QString& name);

}  // namespace pdulink::web
