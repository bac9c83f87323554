#pragma once
// Where the spool lives, from the Spool= key: "sqlite:PATH" or a libpq
// connection URI "postgresql://[user[:password]@][host][:port][/dbname][?k=v&...]"
// ("postgres://" too). A host that is a directory (percent-encoded, or the
// host= parameter) is a Unix socket. The password comes only from the file
// libpq reads (the passfile= parameter, PGPASSFILE or ~/.pgpass): a URI
// holding one (user:password@ or password=) is refused, and no error says
// what it held.
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
  // Further libpq keywords as "key=value" pairs joined by ';' (Qt's form),
  // for example "passfile=/etc/pdulink/pgpass;sslmode=require".
  QString options;
  // The key's text as the journal shows it.
  QString shown;
};

// Parses the key's value; false (why set) for an unknown scheme, a
// malformed URI or a password in it. why never quotes the value.
bool ParseTarget(const QString& text, Target* target, QString* why);

}  // namespace spool
