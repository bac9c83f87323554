// pdulink-web: the HTTP API and the web page over the spool.
//
//   pdulink-web --spool URI [--listen 127.0.0.1:8080] [--max-parts N] [--ref16]
//               [--host-name NAME]... [--max-connections N] [--max-per-client N]
//               [--header-timeout S]
//   pdulink-web --spool URI --add-key NAME | --list-keys | --revoke-key NAME
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "ApiKeys.h"
#include "SendRequest.h"
#include "SpoolTarget.h"
#include "WebServer.h"
#include "WebStore.h"
#include "national_tables.h"
#include "sms_concat.h"

namespace {

const char* const kUsage =
    "Usage: pdulink-web --spool URI [--listen HOST:PORT] [--max-parts N] [--ref16]\n"
    "                   [--shift-tables LIST]\n"
    "       pdulink-web --spool URI --add-key NAME | --list-keys | --revoke-key NAME\n"
    "\n"
    "Serves the HTTP API (/api/v1) and the web page (/) over the spool the\n"
    "gateways use.\n"
    "\n"
    "  --spool URI         sqlite:PATH or postgresql://... (as Spool= of the gateways)\n"
    "  --listen HOST:PORT  address to listen on (default 127.0.0.1:8080; port 0: any free)\n"
    "  --max-parts N       texts of up to N parts are taken, as the gateways' MaxParts\n"
    "                      with LongSms=1 (default 1: one message)\n"
    "  --ref16             the gateways use LongSmsRef16=1 (parts one character shorter)\n"
    "  --shift-tables LIST the gateways' ShiftTables=LIST: texts counted with them\n"
    "  --host-name NAME    a name the page and metrics answer to besides the listen\n"
    "                      address (and localhost on loopback); repeatable\n"
    "  --max-connections N connections at once (default 512, kept below the file limit)\n"
    "  --max-per-client N  connections at once from one address (default 64)\n"
    "  --header-timeout S  seconds a client has to send a request's head (default 10)\n"
    "  --add-key NAME      makes a key, prints it once, keeps only its hash\n"
    "  --list-keys         lists the names of the keys\n"
    "  --revoke-key NAME   removes a key\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done, 1 the spool failed, 2 bad arguments, 3 cannot listen.\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

bool ParseListen(const QString& text, QHostAddress* address, quint16* port) {
  const qsizetype colon = text.lastIndexOf(':');
  if (colon <= 0) return false;
  QString host = text.left(colon);
  if (host.startsWith('[') && host.endsWith(']')) host = host.mid(1, host.size() - 2);
  bool ok = false;
  const uint p = text.mid(colon + 1).toUInt(&ok);
  if (!ok || p > 65535 || !address->setAddress(host)) return false;
  *port = static_cast<quint16>(p);
  return true;
}

int Fail(const QString& text, int status) {
  std::fprintf(stderr, "pdulink-web: %s\n", text.toUtf8().constData());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();
  QString spoolText, listen = "127.0.0.1:8080", addKey, revokeKey;
  bool listKeys = false;
  pdulink::web::WebOptions options;
  pdulink::web::SendLimits& limits = options.limits;
  // What this program creates (a new SQLite spool and its journal) is
  // readable by its group at most: the spool holds every message.
  ::umask(027);
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    auto value = [&](QString* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    QString v;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("pdulink-web %s\n", PDULINK_VERSION_TEXT);
      return 0;
    } else if (a == "--spool" && value(&spoolText)) {
    } else if (a == "--listen" && value(&listen)) {
    } else if (a == "--add-key" && value(&addKey)) {
    } else if (a == "--revoke-key" && value(&revokeKey)) {
    } else if (a == "--list-keys") {
      listKeys = true;
    } else if (a == "--ref16") {
      limits.ref16 = true;
    } else if (a == "--shift-tables" && value(&v)) {
      const pdulink::ShiftList list = pdulink::ParseShiftList(v.toStdString());
      if (!list.badName.empty())
        return Fail("--shift-tables: unknown language " + QString::fromStdString(list.badName), 2);
      limits.shiftTables = list.languages;
    } else if (a == "--host-name" && value(&v)) {
      options.hostNames.append(v.toLower());
    } else if ((a == "--max-connections" || a == "--max-per-client" || a == "--header-timeout") && value(&v)) {
      bool ok = false;
      const int n = v.toInt(&ok);
      if (!ok || n < 1 || n > 1000000) return Fail(a + " takes a positive number", 2);
      if (a == "--max-connections") options.http.maxConnections = static_cast<size_t>(n);
      if (a == "--max-per-client") options.http.maxPerClient = static_cast<size_t>(n);
      if (a == "--header-timeout") options.http.headerSeconds = n;
    } else if (a == "--max-parts" && value(&v)) {
      bool ok = false;
      limits.maxParts = v.toInt(&ok);
      if (!ok || limits.maxParts < 1 || limits.maxParts > pdulink::kMaxPartsLimit)
        return Fail("--max-parts takes 1 to 255", 2);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (spoolText.isEmpty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (int(!addKey.isEmpty()) + int(!revokeKey.isEmpty()) + int(listKeys) > 1)
    return Fail("--add-key, --list-keys and --revoke-key go one at a time", 2);
  for (const QString& name : {addKey, revokeKey})
    if (!name.isEmpty() && !pdulink::web::ValidKeyName(name))
      return Fail("a key name has 1 to 64 letters, digits, '.', '_' or '-'", 2);
  QHostAddress address;
  quint16 port = 0;
  if (!ParseListen(listen, &address, &port)) return Fail("--listen takes HOST:PORT, e.g. 127.0.0.1:8080", 2);

  spool::Target target;
  QString why;
  if (!spool::ParseTarget(spoolText, &target, &why)) return Fail("--spool: " + why, 2);
  if (!addKey.isEmpty() || listKeys || !revokeKey.isEmpty()) {
    pdulink::web::WebStore store;
    if (!store.Open(target, &why)) return Fail(QString("spool %1: %2").arg(target.shown, why), 1);

    if (!addKey.isEmpty()) {
      const QString key = pdulink::web::GenerateKey();
      if (!store.AddKey(addKey, pdulink::web::HashKey(key.toLatin1()), &why)) return Fail(why, 1);
      std::printf("%s\n", key.toLatin1().constData());
      std::fprintf(stderr, "pdulink-web: key %s added; it is shown only this once\n", addKey.toUtf8().constData());
      return 0;
    }
    if (listKeys) {
      const auto keys = store.ListKeys(&why);
      if (!keys) return Fail(why, 1);
      for (const pdulink::web::KeyInfo& k : *keys)
        std::printf("%s\t%s\n", k.name.toUtf8().constData(), k.created.toUtf8().constData());
      return 0;
    }
    if (!revokeKey.isEmpty()) {
      bool found = false;
      if (!store.RevokeKey(revokeKey, &found, &why))
        return found ? Fail(why, 1) : Fail(why.isEmpty() ? "no key named " + revokeKey : why, 1);
      std::fprintf(stderr, "pdulink-web: key %s revoked\n", revokeKey.toUtf8().constData());
      return 0;
    }
    return 0;
  }

  pdulink::web::WebServer server(options);
  if (!server.Open(target, &why)) return Fail(QString("spool %1: %2").arg(target.shown, why), 1);
  const quint16 bound = server.Listen(address, port, &why);
  if (bound == 0) return Fail(QString("cannot listen on %1: %2").arg(listen, why), 3);

  // SIGTERM and SIGINT end the event loop; the spool connection closes.
  if (::pipe(g_signalPipe) == 0) {
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
  }
  const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                               : address.toString();
  std::printf("pdulink-web: listening on http://%s:%u/ (spool %s)\n", shown.toUtf8().constData(), bound,
              target.shown.toUtf8().constData());
  std::fflush(stdout);
  const int status = app.exec();
  server.Stop();
  return status;
}
