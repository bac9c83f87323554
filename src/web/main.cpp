// pdulink-web: the HTTP API and the web page over the spool.
//
//   pdulink-web --spool URI [--listen 127.0.0.1:8080] [--max-parts N] [--ref16]
//               [--host-name NAME]... [--max-connections N] [--max-per-client N]
//               [--header-timeout S]
//   pdulink-web --spool URI --add-key NAME | --list-keys | --revoke-key NAME
//   pdulink-web --spool URI --add-webhook URL --events LIST --secret-file FILE
//               | --list-webhooks | --remove-webhook N
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
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
#include "WebhookStore.h"
#include "Webhooks.h"
#include "national_tables.h"
#include "sms_concat.h"

namespace {

const char* const kUsage =
    "Usage: pdulink-web --spool URI [--listen HOST:PORT] [--max-parts N] [--ref16]\n"
    "                   [--shift-tables LIST]\n"
    "       pdulink-web --spool URI --add-key NAME | --list-keys | --revoke-key NAME\n"
    "       pdulink-web --spool URI --add-webhook URL --events LIST --secret-file FILE\n"
    "                   | --list-webhooks | --remove-webhook N\n"
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
    "  --add-webhook URL   posts the events in LIST (comma-separated, e.g.\n"
    "                      message.received,message.delivered) to URL, signed with\n"
    "                      the secret read from FILE; prints the webhook's number\n"
    "  --list-webhooks     lists the webhooks and how their deliveries go\n"
    "  --remove-webhook N  removes webhook N and its pending deliveries\n"
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

// What the command line asked for.
struct Arguments {
  QString spool, listen = "127.0.0.1:8080", addKey, revokeKey;
  bool listKeys = false;
  QString addWebhook, events, secretFile, removeWebhook;
  bool listWebhooks = false;
  pdulink::web::WebOptions options;
};

constexpr int kDone = -1;  // not an exit status: go on

// One option (and its value); an exit status when it ends the program.
int ParseOption(const QStringList& args, qsizetype& i, Arguments& a) {
  const QString& o = args[i];
  pdulink::web::SendLimits& limits = a.options.limits;
  auto value = [&](QString* out) {
    if (i + 1 >= args.size()) return false;
    *out = args[++i];
    return true;
  };
  QString v;
  if (o == "--help" || o == "-h") return std::fputs(kUsage, stdout), 0;
  if (o == "--version") return std::printf("pdulink-web %s\n", PDULINK_VERSION_TEXT), 0;
  if ((o == "--spool" && value(&a.spool)) || (o == "--listen" && value(&a.listen)) ||
      (o == "--add-key" && value(&a.addKey)) || (o == "--revoke-key" && value(&a.revokeKey)) ||
      (o == "--add-webhook" && value(&a.addWebhook)) || (o == "--events" && value(&a.events)) ||
      (o == "--secret-file" && value(&a.secretFile)) || (o == "--remove-webhook" && value(&a.removeWebhook)))
    return kDone;
  if (o == "--list-keys") return a.listKeys = true, kDone;
  if (o == "--list-webhooks") return a.listWebhooks = true, kDone;
  if (o == "--ref16") return limits.ref16 = true, kDone;
  if (o == "--shift-tables" && value(&v)) {
    const pdulink::ShiftList list = pdulink::ParseShiftList(v.toStdString());
    if (!list.badName.empty())
      return Fail("--shift-tables: unknown language " + QString::fromStdString(list.badName), 2);
    limits.shiftTables = list.languages;
    return kDone;
  }
  if (o == "--host-name" && value(&v)) return a.options.hostNames.append(v.toLower()), kDone;
  if ((o == "--max-connections" || o == "--max-per-client" || o == "--header-timeout") && value(&v)) {
    bool ok = false;
    const int n = v.toInt(&ok);
    if (!ok || n < 1 || n > 1000000) return Fail(o + " takes a positive number", 2);
    if (o == "--max-connections") a.options.http.maxConnections = static_cast<size_t>(n);
    if (o == "--max-per-client") a.options.http.maxPerClient = static_cast<size_t>(n);
    if (o == "--header-timeout") a.options.http.headerSeconds = n;
    return kDone;
  }
  if (o == "--max-parts" && value(&v)) {
    bool ok = false;
    limits.maxParts = v.toInt(&ok);
    if (!ok || limits.maxParts < 1 || limits.maxParts > pdulink::kMaxPartsLimit)
      return Fail("--max-parts takes 1 to 255", 2);
    return kDone;
  }
  std::fputs(kUsage, stderr);
  return 2;
}

// The command line read and checked; an exit status when it ends the program.
int ParseArguments(const QStringList& args, Arguments& a) {
  for (qsizetype i = 0; i < args.size(); ++i)
    if (const int status = ParseOption(args, i, a); status != kDone) return status;
  if (a.spool.isEmpty()) return std::fputs(kUsage, stderr), 2;
  const int commands = int(!a.addKey.isEmpty()) + int(!a.revokeKey.isEmpty()) + int(a.listKeys) +
                       int(!a.addWebhook.isEmpty()) + int(a.listWebhooks) + int(!a.removeWebhook.isEmpty());
  if (commands > 1)
    return Fail("--add-key, --list-keys, --revoke-key, --add-webhook, --list-webhooks and --remove-webhook"
                " go one at a time",
                2);
  for (const QString& name : {a.addKey, a.revokeKey})
    if (!name.isEmpty() && !pdulink::web::ValidKeyName(name))
      return Fail("a key name has 1 to 64 letters, digits, '.', '_' or '-'", 2);
  // Hidden, for tests: the first retry's wait, the others grow from it.
  if (const int base = qEnvironmentVariableIntValue("PDULINK_WEB_RETRY_BASE_MS"); base > 0)
    a.options.webhooks.retryBaseMs = base;
  return kDone;
}

int KeyCommand(pdulink::web::WebStore& store, const Arguments& a) {
  QString why;
  if (!a.addKey.isEmpty()) {
    const QString key = pdulink::web::GenerateKey();
    if (!store.AddKey(a.addKey, pdulink::web::HashKey(key.toLatin1()), &why)) return Fail(why, 1);
    std::printf("%s\n", key.toLatin1().constData());
    std::fprintf(stderr, "pdulink-web: key %s added; it is shown only this once\n", a.addKey.toUtf8().constData());
    return 0;
  }
  if (a.listKeys) {
    const auto keys = store.ListKeys(&why);
    if (!keys) return Fail(why, 1);
    for (const pdulink::web::KeyInfo& k : *keys)
      std::printf("%s\t%s\n", k.name.toUtf8().constData(), k.created.toUtf8().constData());
    return 0;
  }
  bool found = false;
  if (!store.RevokeKey(a.revokeKey, &found, &why))
    return found ? Fail(why, 1) : Fail(why.isEmpty() ? "no key named " + a.revokeKey : why, 1);
  std::fprintf(stderr, "pdulink-web: key %s revoked\n", a.revokeKey.toUtf8().constData());
  return 0;
}

int AddWebhook(pdulink::web::WebhookStore& hooks, const Arguments& a) {
  if (a.secretFile.isEmpty()) return Fail("--add-webhook needs --secret-file FILE", 2);
  QFile file(a.secretFile);
  if (!file.open(QIODevice::ReadOnly)) return Fail("--secret-file " + a.secretFile + ": " + file.errorString(), 2);
  const QString secret = QString::fromUtf8(file.readAll()).trimmed();
  const pdulink::web::ParsedWebhook parsed = pdulink::web::CheckWebhook(a.addWebhook, a.events, secret);
  if (!parsed.error.ok()) {
    // The option that gave the refused value.
    const QString field = parsed.error.field.startsWith("events") ? "--events"
                          : parsed.error.field == "url"           ? "--add-webhook"
                                                                  : "--secret-file";
    return Fail(field + ": " + parsed.error.message, 2);
  }
  QString why;
  const std::optional<qint64> id = hooks.Add(parsed.hook, &why);
  if (!id) return Fail(why, 1);
  std::printf("%lld\n", static_cast<long long>(*id));
  return 0;
}

int WebhookCommand(pdulink::web::WebhookStore& hooks, const Arguments& a) {
  QString why;
  if (!a.addWebhook.isEmpty()) return AddWebhook(hooks, a);
  if (a.listWebhooks) {
    const std::optional<QJsonArray> list = hooks.List(&why);
    if (!list) return Fail(why, 1);
    for (const QJsonValue& v : *list) {
      const QJsonObject o = v.toObject();
      QStringList events;
      for (const QJsonValue& e : o.value("events").toArray()) events.append(e.toString());
      std::printf("%lld\t%s\t%s\t%s\tpending %lld\tdelivered %lld\tfailed %lld\t%s\n",
                  static_cast<long long>(o.value("id").toInteger()), o.value("url").toString().toUtf8().constData(),
                  events.join(',').toUtf8().constData(), o.value("state").toString().toUtf8().constData(),
                  static_cast<long long>(o.value("pending").toInteger()),
                  static_cast<long long>(o.value("delivered").toInteger()),
                  static_cast<long long>(o.value("failed").toInteger()),
                  o.value("last_error").toString().toUtf8().constData());
    }
    return 0;
  }
  bool ok = false, found = false;
  const qint64 id = a.removeWebhook.toLongLong(&ok);
  if (!ok || id < 1) return Fail("--remove-webhook takes a webhook's number", 2);
  if (!hooks.Remove(id, &found, &why)) return Fail(found || !why.isEmpty() ? why : "no webhook " + a.removeWebhook, 1);
  std::fprintf(stderr, "pdulink-web: webhook %lld removed\n", static_cast<long long>(id));
  return 0;
}

// A command that manages keys or webhooks, run against the spool; kDone
// when the arguments name none.
int Command(const spool::Target& target, const Arguments& a) {
  const bool keys = !a.addKey.isEmpty() || a.listKeys || !a.revokeKey.isEmpty();
  const bool webhooks = !a.addWebhook.isEmpty() || a.listWebhooks || !a.removeWebhook.isEmpty();
  if (!keys && !webhooks) return kDone;
  pdulink::web::WebStore store;
  QString why;
  if (!store.Open(target, &why)) return Fail(QString("spool %1: %2").arg(target.shown, why), 1);
  if (keys) return KeyCommand(store, a);
  pdulink::web::WebhookStore hooks(store.Db());
  return WebhookCommand(hooks, a);
}

// SIGTERM and SIGINT end the event loop; the spool connection closes.
void QuitOnSignals(QCoreApplication& app) {
  if (::pipe(g_signalPipe) != 0) return;
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
}

int Serve(QCoreApplication& app, const spool::Target& target, const Arguments& a) {
  QHostAddress address;
  quint16 port = 0;
  if (!ParseListen(a.listen, &address, &port)) return Fail("--listen takes HOST:PORT, e.g. 127.0.0.1:8080", 2);
  pdulink::web::WebServer server(a.options);
  QString why;
  if (!server.Open(target, &why)) return Fail(QString("spool %1: %2").arg(target.shown, why), 1);
  const quint16 bound = server.Listen(address, port, &why);
  if (bound == 0) return Fail(QString("cannot listen on %1: %2").arg(a.listen, why), 3);
  QuitOnSignals(app);
  const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                               : address.toString();
  std::printf("pdulink-web: listening on http://%s:%u/ (spool %s)\n", shown.toUtf8().constData(), bound,
              target.shown.toUtf8().constData());
  std::fflush(stdout);
  const int status = app.exec();
  server.Stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();
  // What this program creates (a new SQLite spool and its journal) is
  // readable by its group at most: the spool holds every message.
  ::umask(027);
  Arguments a;
  if (const int status = ParseArguments(args, a); status != kDone) return status;
  spool::Target target;
  QString why;
  if (!spool::ParseTarget(a.spool, &target, &why)) return Fail("--spool: " + why, 2);
  if (const int status = Command(target, a); status != kDone) return status;
  return Serve(app, target, a);
}
