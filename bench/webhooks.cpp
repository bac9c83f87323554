// Webhook benchmark: pdulink-web delivering to a local receiver that
// answers at once, on a SQLite file and on a private PostgreSQL server.
//   events/s: `events` inbox rows written by the gateway's spool calls
//             while pdulink-web is stopped, from its start until the
//             receiver has every one of them; once with one sender (one
//             delivery at a time, in order) and once with 100 senders (a
//             few deliveries at once)
//   delay:    a message delivered to the simulated phone until its webhook
//             arrives, through a gateway with Indications=1 and FastMode=1,
//             median and worst of `messages` messages
// A plain program: bench_webhooks [events] [messages]. Exit status 2 when
// something cannot be set up.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "PostgresServer.h"
#include "Spool.h"
#include "SpoolTarget.h"
#include "TempDir.h"
#include "WebProcess.h"
#include "WebhookReceiver.h"

namespace {

using pdulink::test::WebhookReceiver;
using pdulink::test::WebProcess;

bool Register(WebProcess& web, const std::string& key, const std::string& url) {
  const std::string body =
      "{\"url\": \"" + url + "\", \"events\": [\"message.received\"], \"secret\": \"bench-secret-0123456789\"}";
  return web.Post("/api/v1/webhooks", body, key).status == 201;
}

// Events per second for `events` inbox rows from `senders` numbers; 0 on failure.
double Throughput(const std::string& uri, int events, int senders) {
  WebhookReceiver receiver;
  WebProcess web(uri);
  std::ofstream(web.Directory() + "/secret") << "bench-secret-0123456789\n";
  std::string id;
  if (web.Run({"--add-webhook", receiver.Url(), "--events", "message.received", "--secret-file", "secret"}, &id) != 0)
    return 0;
  spool::Target target;
  QString why;
  if (!spool::ParseTarget(QString::fromStdString(uri), &target, &why)) return 0;
  {
    auto gw = spool::Spool::Make(target, "bench", QString("bench-%1").arg(senders));
    if (!gw->Open(&why)) return 0;
    for (int i = 0; i < events; ++i) {
      spool::InboxRow row;
      row.msgKey = QString("b%1-%2").arg(senders).arg(i);
      row.sender = QString("4917%1").arg(i % senders, 6, 10, QChar('0'));
      row.text = "benchmark";
      row.pdus = "00";
      if (!gw->InsertInbox(row, &why)) return 0;
    }
  }
  QElapsedTimer timer;
  timer.start();
  if (!web.Start()) return 0;
  if (receiver.WaitFor(static_cast<size_t>(events), 600).size() < static_cast<size_t>(events)) return 0;
  const double rate = events * 1000.0 / std::max<qint64>(1, timer.elapsed());
  // The next figure on the same spool has a receiver of its own.
  web.Stop();
  web.Run({"--remove-webhook", id.substr(0, id.find('\n'))});
  return rate;
}

struct Delay {
  double median = 0, worst = 0;
};

// Milliseconds from the phone's new message to its webhook.
Delay PhoneToWebhook(const std::string& uri, int messages) {
  pdulink::test::PhoneProcess phone;
  if (!phone.Started()) return {};
  WebhookReceiver receiver;
  WebProcess web(uri);
  const std::string key = web.AddKey("delay");
  if (key.empty() || !web.Start() || !Register(web, key, receiver.Url())) return {};
  pdulink::test::TempDir dir("benchhook");
  std::ofstream(dir.Path() + "/gw.ini") << "[Main]\nComPort=1\nBaudRate=115200\nAutoConnect=1\nAutoRead=1\n"
                                           "PollingInt=1\nFastMode=1\nIndications=1\nBatteryCheck=0\nLogDir="
                                        << dir.Path() << "/\nSpool=" << uri
                                        << "\nGatewayName=modem1\n[Ports]\nCOM1=" << phone.LinkPath() << "\n";
  pdulink::test::Child gateway({PDULINK_BIN, "--headless", "gw.ini"}, dir.Path());
  if (!gateway.WaitFor("SMS Memory Select:", 60)) return {};
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<double> ms;
  for (int i = 0; i < messages; ++i) {
    QElapsedTimer timer;
    timer.start();
    phone.Control("deliver +4917012345 message " + std::to_string(i));
    while (receiver.Calls().size() < static_cast<size_t>(i + 1) && timer.elapsed() < 30000) gateway.Pump(1);
    if (receiver.Calls().size() < static_cast<size_t>(i + 1)) return {};
    ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    gateway.Pump(200);
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

bool Run(const char* name, const std::string& uri, int events, int messages) {
  const double one = Throughput(uri, events, 1);
  const double many = Throughput(uri, events, 100);
  const Delay d = PhoneToWebhook(uri, messages);
  std::printf(
      "%-10s %8.0f events/s (one sender)  %8.0f events/s (100 senders)  phone to webhook: median %.0f ms, "
      "worst %.0f ms\n",
      name, one, many, d.median, d.worst);
  std::fflush(stdout);
  return one > 0 && many > 0 && d.median > 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int events = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int messages = argc > 2 ? std::atoi(argv[2]) : 10;
  pdulink::test::TempDir dir("benchhooks");
  bool ok = Run("sqlite", "sqlite:" + dir.Path() + "/spool.db", events, messages);
  pdulink::test::PostgresServer pg;
  if (!pg.Started())
    std::printf("%-10s skipped: %s\n", "postgresql", pg.Error().c_str());
  else
    ok = Run("postgresql", pg.Uri(), events, messages) && ok;
  return ok ? 0 : 2;
}
