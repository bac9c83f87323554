#include "SpoolTarget.h"

#include <QByteArray>
#include <QStringList>
#include <QUrl>

namespace spool {
namespace {

QString Decode(const QString& text) { return QUrl::fromPercentEncoding(text.toUtf8()); }

const QString kPasswordRefused = QStringLiteral(
    "a password in the URI is refused; put it in the passfile (passfile=PATH in the URI, or PGPASSFILE)");

// The user of "user@host..." into t, `authority` left with the host part.
// An '@' past the host is a user-info that a '/' or '?' in it cut short:
// most likely a password, so nothing of it is repeated.
bool ReadUserInfo(const QString& rest, QString& authority, Target* t, QString* why) {
  if (rest.mid(authority.size()).contains(u'@')) {
    *why = QStringLiteral("malformed URI ('@' after the host); ") + kPasswordRefused;
    return false;
  }
  if (qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
    const QString userInfo = authority.left(at);
    if (userInfo.contains(u':')) {
      *why = kPasswordRefused;
      return false;
    }
    t->user = Decode(userInfo);
    authority = authority.mid(at + 1);
  }
  return true;
}

// host[:port]; an IPv6 address is bracketed.
bool SplitHostPort(const QString& authority, QString& hostText, QString& portText, QString* why) {
  if (authority.contains(u',')) {
    *why = QStringLiteral("several hosts are not supported");
    return false;
  }
  hostText = authority;
  if (authority.startsWith(u'[')) {
    qsizetype close = authority.indexOf(u']');
    if (close < 0) {
      *why = QStringLiteral("unclosed [ in the host");
      return false;
    }
    hostText = authority.mid(1, close - 1);
    if (authority.size() > close + 1) {
      if (authority.at(close + 1) != u':') {
        *why = QStringLiteral("malformed host");
        return false;
      }
      portText = authority.mid(close + 2);
    }
  } else if (qsizetype colon = authority.lastIndexOf(u':'); colon >= 0) {
    hostText = authority.left(colon);
    portText = authority.mid(colon + 1);
  }
  return true;
}

// The query's key=value pairs: host, port, dbname and user into t (port
// into portText), the others into t->options, with connect_timeout=5 when
// it names none: an unreachable server must not hold the gateway for
// libpq's default (no limit).
bool ReadParameters(const QString& query, Target* t, QString& portText, QString* why) {
  QStringList options;
  bool hasTimeout = false;
  for (const QString& pair : query.split(u'&', Qt::SkipEmptyParts)) {
    qsizetype eq = pair.indexOf(u'=');
    if (eq <= 0) {
      *why = QStringLiteral("malformed parameter (no '=')");
      return false;
    }
    const QString key = Decode(pair.left(eq));
    const QString value = Decode(pair.mid(eq + 1));
    if (key == u"password") {
      *why = kPasswordRefused;
      return false;
    }
    if (key == u"host") {
      t->host = value;
    } else if (key == u"port") {
      portText = value;
    } else if (key == u"dbname") {
      t->dbname = value;
    } else if (key == u"user") {
      t->user = value;
    } else {
      if (value.contains(u';') || value.contains(u' ') || key.contains(u';') || key.contains(u' ')) {
        *why = QStringLiteral("parameter \"%1\" holds a blank or ';'").arg(key);
        return false;
      }
      if (key == u"connect_timeout") hasTimeout = true;
      options << key + u'=' + value;
    }
  }
  if (!hasTimeout) options << QStringLiteral("connect_timeout=5");
  t->options = options.join(u';');
  return true;
}

bool ReadPort(const QString& portText, Target* t, QString* why) {
  if (portText.isEmpty()) return true;
  bool ok = false;
  t->port = portText.toInt(&ok);
  if (!ok || t->port <= 0 || t->port > 65535) {
    *why = QStringLiteral("bad port");
    return false;
  }
  return true;
}

bool ParsePostgres(const QString& text, qsizetype schemeEnd, Target* t, QString* why) {
  t->backend = Backend::Postgres;
  QString rest = text.mid(schemeEnd);
  QString query;
  if (qsizetype q = rest.indexOf(u'?'); q >= 0) {
    query = rest.mid(q + 1);
    rest = rest.left(q);
  }
  QString authority = rest;
  if (qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
    authority = rest.left(slash);
    t->dbname = Decode(rest.mid(slash + 1));
  }
  QString hostText, portText;
  if (!ReadUserInfo(rest, authority, t, why) || !SplitHostPort(authority, hostText, portText, why)) return false;
  t->host = Decode(hostText);
  if (!ReadParameters(query, t, portText, why) || !ReadPort(portText, t, why)) return false;
  // Nothing secret is left in it.
  t->shown = text;
  return true;
}

}  // namespace

bool ParseTarget(const QString& raw, Target* target, QString* why) {
  Target t;
  const QString text = raw.trimmed();
  if (text.startsWith(QStringLiteral("sqlite:"), Qt::CaseInsensitive)) {
    t.backend = Backend::Sqlite;
    t.path = text.mid(7);
    if (t.path.startsWith(QStringLiteral("//"))) t.path = t.path.mid(2);  // sqlite:///abs/path
    if (t.path.isEmpty()) {
      *why = QStringLiteral("no database file after sqlite:");
      return false;
    }
    t.shown = text;
    *target = t;
    return true;
  }
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    const QString s = QString::fromLatin1(scheme);
    if (text.startsWith(s, Qt::CaseInsensitive)) {
      if (!ParsePostgres(text, s.size(), &t, why)) return false;
      *target = t;
      return true;
    }
  }
  *why = QStringLiteral("expected sqlite:PATH or postgresql://...");
  return false;
}

}  // namespace spool
