#pragma once
// Where the spool lives, from the Spool= key: "sqlite:PATH" or a libpq
// connection URI "postgresql://[user[:password]@][host][:port][/dbname][?k=v&...]"
// ("postgres://" too). A host that is a directory (percent-encoded, or the
// host= parameter) is a Unix socket. The password is best left to libpq:
// the passfile= parameter or PGPASSFILE names the file it reads; a password
// written in the URI is used but never shown.
#include <QString>

namespace spool {

enum class Backend { Sqlite, Postgres };

struct Target {
  Backend backend = Backend::Sqlite;
  QString path;      // SQLite: the database file
  QString host;      // PostgreSQL: host name or socket directory (empty: libpq's default)
  int port = -1;     // -1: libpq's default
  QString dbname;
  QString user;
  QString password;  // never journaled
  // Further libpq keywords as "key=value" pairs joined by ';' (Qt's form),
  // for example "passfile=/etc/pdulink/pgpass;sslmode=require".
  QString options;
  // The key's text with any password replaced by "***": what the journal shows.
  QString shown;
};

// Parses the key's value; false (why set) for an unknown scheme or a
// malformed URI.
bool ParseTarget(const QString& text, Target* target, QString* why);

}  // namespace spool
