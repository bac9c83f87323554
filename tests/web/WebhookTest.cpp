// Webhooks as their receivers meet them: a real pdulink-web process, a
// test receiver on a loopback port, events made by a gateway on the
// simulated phone or by the gateway's own spool calls. Signed, retried
// until taken (and no more), kept across a restart while the receiver is
// down, one slow receiver holding up no other, refusals naming the field;
// under SQLite and PostgreSQL.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlQuery>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "PhoneProcess.h"
#include "PostgresServer.h"
#include "Spool.h"
#include "SpoolDatabase.h"
#include "SpoolTarget.h"
#include "WebProcess.h"
#include "WebhookReceiver.h"

namespace {

using pdulink::test::HttpResponse;
using pdulink::test::WebhookCall;
using pdulink::test::WebhookReceiver;
using pdulink::test::WebProcess;

const char* const kSecret = "s3cret-for-the-tests-0123";
// Retries a fifth of a second apart at first, so that a test sees several.
const std::vector<std::string> kFastRetries = {"PDULINK_WEB_RETRY_BASE_MS=200"};

QJsonObject Json(const HttpResponse& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }
QString Field(const HttpResponse& r) { return Json(r).value("error").toObject().value("field").toString(); }

std::string Register(const std::string& url, const std::string& events) {
  return "{\"url\": \"" + url + "\", \"events\": " + events + ", \"secret\": \"" + kSecret + "\"}";
}

int AddWebhook(WebProcess& web, const std::string& key, const std::string& url,
               const std::string& events = R"(["message.received"])") {
  const HttpResponse r = web.Post("/api/v1/webhooks", Register(url, events), key);
  EXPECT_EQ(r.status, 201) << r.body;
  return Json(r).value("id").toInt();
}

// The gateway's side of the spool, as a gateway writes it.
std::unique_ptr<spool::Spool> Gateway(const std::string& uri, const char* name = "modem1") {
  spool::Target target;
  QString why;
  EXPECT_TRUE(spool::ParseTarget(QString::fromStdString(uri), &target, &why)) << why.toStdString();
  auto gw = spool::Spool::Make(target, name, QString("test-%1").arg(name));
  EXPECT_TRUE(gw->Open(&why)) << why.toStdString();
  return gw;
}

void Receive(spool::Spool& gw, const QString& key, const QString& sender, const QString& text) {
  spool::InboxRow row;
  row.msgKey = key;
  row.sender = sender;
  row.text = text;
  row.coding = "7bit";
  row.pdus = "0791947106004034040C91947110325476000062201010000000";
  QString why;
  ASSERT_TRUE(gw.InsertInbox(row, &why)) << why.toStdString();
}

std::vector<QString> Ids(const std::vector<WebhookCall>& calls) {
  std::vector<QString> ids;
  for (const WebhookCall& c : calls) ids.push_back(c.id());
  return ids;
}

TEST(WebhookTest, RegisteringChecksEachFieldAndNeverShowsTheSecret) {
  WebProcess web;
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  const std::string ok = "http://127.0.0.1:9/hook";
  struct Case {
    std::string body, field;
  } cases[] = {
      {R"({"url": "ftp://127.0.0.1/hook", "events": ["message.received"], "secret": "0123456789abcdef"})", "url"},
      {R"({"url": "file:///etc/passwd", "events": ["message.received"], "secret": "0123456789abcdef"})", "url"},
      {R"({"url": "http://", "events": ["message.received"], "secret": "0123456789abcdef"})", "url"},
      {R"({"events": ["message.received"], "secret": "0123456789abcdef"})", "url"},
      {R"({"url": ")" + ok + R"(", "events": ["message.received", "message.lost"], "secret": "0123456789abcdef"})",
       "events[1]"},
      {R"({"url": ")" + ok + R"(", "events": [], "secret": "0123456789abcdef"})", "events"},
      {R"({"url": ")" + ok + R"(", "events": ["message.sent"], "secret": "short"})", "secret"},
      {R"({"url": ")" + ok + R"(", "events": ["message.sent"], "secret": "0123456789abcdef", "x": 1})", "x"},
  };
  for (const Case& c : cases) {
    const HttpResponse r = web.Post("/api/v1/webhooks", c.body, key);
    EXPECT_EQ(r.status, 422) << c.body;
    EXPECT_EQ(Field(r).toStdString(), c.field) << c.body;
  }
  EXPECT_EQ(web.Post("/api/v1/webhooks", Register(ok, R"(["message.sent"])"), "wrong").status, 401);
  const int id = AddWebhook(web, key, "https://hooks.example.org/sms?x=1", R"(["message.sent", "gateway.down"])");
  EXPECT_GT(id, 0);

  const HttpResponse list = web.Get("/api/v1/webhooks", key);
  ASSERT_EQ(list.status, 200);
  EXPECT_EQ(list.body.find(kSecret), std::string::npos) << "a secret is never shown again";
  const QJsonObject hook = Json(list).value("webhooks").toArray()[0].toObject();
  EXPECT_EQ(hook.value("url").toString(), "https://hooks.example.org/sms?x=1");
  EXPECT_EQ(hook.value("events").toArray().size(), 2);
  EXPECT_EQ(hook.value("state").toString(), "ok");

  // The command line: the same checks, the field named by its option.
  std::ofstream(web.Directory() + "/secret") << kSecret << "\n";
  std::string out, err;
  EXPECT_EQ(
      web.Run({"--add-webhook", "gopher://x/", "--events", "message.received", "--secret-file", "secret"}, &out, &err),
      2);
  EXPECT_NE(err.find("--add-webhook: only http and https"), std::string::npos) << err;
  EXPECT_EQ(web.Run({"--add-webhook", ok, "--events", "message.received,nope", "--secret-file", "secret"}, &out, &err),
            2);
  EXPECT_NE(err.find("--events"), std::string::npos) << err;
  ASSERT_EQ(web.Run({"--add-webhook", ok, "--events", "message.received", "--secret-file", "secret"}, &out), 0);
  const std::string second = out.substr(0, out.find('\n'));
  EXPECT_EQ(web.Run({"--list-webhooks"}, &out), 0);
  EXPECT_NE(out.find(ok), std::string::npos) << out;
  EXPECT_EQ(out.find(kSecret), std::string::npos);

  EXPECT_EQ(pdulink::test::Http(web.Port(), "DELETE", "/api/v1/webhooks/" + std::to_string(id), "",
                                {"Authorization: Bearer " + key})
                .status,
            204);
  EXPECT_EQ(pdulink::test::Http(web.Port(), "DELETE", "/api/v1/webhooks/" + std::to_string(id), "",
                                {"Authorization: Bearer " + key})
                .status,
            404);
  EXPECT_EQ(web.Get("/api/v1/webhooks/" + std::to_string(id) + "/deliveries", key).status, 404);
  EXPECT_EQ(web.Run({"--remove-webhook", second}), 0);
  EXPECT_NE(web.Run({"--remove-webhook", second}), 0);
  EXPECT_TRUE(Json(web.Get("/api/v1/webhooks", key)).value("webhooks").toArray().isEmpty());
}

TEST(WebhookTest, MessageOnThePhoneArrivesAsASignedEvent) {
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  WebhookReceiver receiver;
  WebProcess web;
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  AddWebhook(web, key, receiver.Url(), R"(["message.received", "message.sent"])");
  const std::unique_ptr<pdulink::test::Child> started = pdulink::test::StartGateway(PDULINK_BIN, web, phone.LinkPath());
  ASSERT_TRUE(started);
  pdulink::test::Child& gateway = *started;

  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("deliver +4917012345 Grüße vom Telefon")));
  std::vector<WebhookCall> calls;
  for (int i = 0; i < 150 && calls.empty(); ++i) {
    gateway.Pump(100);
    calls = receiver.Calls();
  }
  ASSERT_EQ(calls.size(), 1u) << gateway.outText << web.Log();
  qint64 t = 0;
  EXPECT_TRUE(WebhookReceiver::Signed(calls[0], kSecret, &t)) << calls[0].signature;
  EXPECT_LE(std::abs(t - QDateTime::currentSecsSinceEpoch()), 5);
  EXPECT_FALSE(WebhookReceiver::Signed(calls[0], "another secret of the same size"));
  const QJsonObject event = calls[0].event();
  EXPECT_EQ(event.value("type").toString(), "message.received");
  EXPECT_FALSE(event.value("id").toString().isEmpty());
  EXPECT_TRUE(QDateTime::fromString(event.value("created").toString(), Qt::ISODateWithMs).isValid());
  const QJsonObject data = event.value("data").toObject();
  EXPECT_EQ(data.value("number").toString(), "+4917012345");
  EXPECT_EQ(data.value("text").toString(), "Grüße vom Telefon");
  EXPECT_EQ(data.value("gateway").toString(), "modem1");
  EXPECT_EQ(data.value("parts").toInt(), 1);
  EXPECT_TRUE(data.value("time").toString().contains(QRegularExpression("[+-]\\d\\d:\\d\\d$")))
      << data.value("time").toString().toStdString();

  // A message sent through the API comes back as message.sent.
  ASSERT_EQ(web.Post("/api/v1/messages", R"({"to": "+4915112345678", "text": "Hallo"})", key).status, 201);
  calls = receiver.WaitFor(2, 30);
  ASSERT_EQ(calls.size(), 2u) << gateway.outText;
  EXPECT_EQ(calls[1].type(), "message.sent");
  EXPECT_EQ(calls[1].event().value("data").toObject().value("number").toString(), "+4915112345678");
  EXPECT_EQ(calls[1].event().value("data").toObject().value("references").toArray().size(), 1);
}

TEST(WebhookTest, ReceiverAnswering500TwiceGetsTheSameEventThreeTimesAndNoMore) {
  WebhookReceiver receiver;
  receiver.AnswerWith({500, 500, 200});
  WebProcess web;
  web.SetEnvironment(kFastRetries);
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  const int id = AddWebhook(web, key, receiver.Url());
  auto gw = Gateway(web.Spool());
  Receive(*gw, "m1", "4917012345", "eins");

  std::vector<WebhookCall> calls = receiver.WaitFor(3, 20);
  ASSERT_EQ(calls.size(), 3u) << web.Log();
  EXPECT_EQ(calls[0].id(), calls[1].id());
  EXPECT_EQ(calls[1].id(), calls[2].id());
  EXPECT_EQ(calls[0].body, calls[2].body) << "a retry carries the same event";
  for (const WebhookCall& c : calls) EXPECT_TRUE(WebhookReceiver::Signed(c, kSecret));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(receiver.Calls().size(), 3u) << "a taken event is not sent again";

  const QJsonArray deliveries =
      Json(web.Get("/api/v1/webhooks/" + std::to_string(id) + "/deliveries", key)).value("deliveries").toArray();
  ASSERT_EQ(deliveries.size(), 1);
  const QJsonObject d = deliveries[0].toObject();
  EXPECT_EQ(d.value("event_id").toString(), calls[0].id());
  EXPECT_EQ(d.value("state").toString(), "delivered");
  EXPECT_EQ(d.value("attempts").toInt(), 3);
  EXPECT_EQ(d.value("last_status").toInt(), 200);
  const std::string metrics = web.Get("/metrics").body;
  EXPECT_NE(metrics.find("pdulink_webhook_attempts_total{webhook=\"" + std::to_string(id) + "\"} 3"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("pdulink_webhook_delivered_total{webhook=\"" + std::to_string(id) + "\"} 1"),
            std::string::npos);
  EXPECT_NE(web.Log().find("did not take event"), std::string::npos) << web.Log();
}

TEST(WebhookTest, EventsWaitForAReceiverThatIsDownWhileTheServerRestarts) {
  int port = 0;
  { port = WebhookReceiver().Port(); }  // a free port, nobody listening on it now
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/hook";
  WebProcess web;
  web.SetEnvironment(kFastRetries);
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  const int id = AddWebhook(web, key, url);
  auto gw = Gateway(web.Spool());
  Receive(*gw, "m1", "4917012345", "eins");
  Receive(*gw, "m2", "4917012345", "zwei");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // tried and refused at least once
  EXPECT_EQ(web.Stop(), 0);
  Receive(*gw, "m3", "4917012345", "drei");  // while pdulink-web is away
  ASSERT_TRUE(web.Start());
  const QJsonObject hook = Json(web.Get("/api/v1/webhooks", key)).value("webhooks").toArray()[0].toObject();
  EXPECT_EQ(hook.value("id").toInt(), id);
  EXPECT_GE(hook.value("pending").toInt(), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(web.Stop(), 0);

  WebhookReceiver receiver(port);
  ASSERT_EQ(receiver.Port(), port);
  ASSERT_TRUE(web.Start());
  const std::vector<WebhookCall> calls = receiver.WaitFor(3, 30);
  ASSERT_EQ(calls.size(), 3u) << web.Log();
  // One number's events in their order.
  EXPECT_EQ(calls[0].event().value("data").toObject().value("text").toString(), "eins");
  EXPECT_EQ(calls[1].event().value("data").toObject().value("text").toString(), "zwei");
  EXPECT_EQ(calls[2].event().value("data").toObject().value("text").toString(), "drei");
  const std::vector<QString> ids = Ids(calls);
  EXPECT_EQ(std::set<QString>(ids.begin(), ids.end()).size(), 3u);
  const QJsonObject after = Json(web.Get("/api/v1/webhooks", key)).value("webhooks").toArray()[0].toObject();
  EXPECT_EQ(after.value("pending").toInt(), 0);
  EXPECT_EQ(after.value("delivered").toInt(), 3);
}

TEST(WebhookTest, SlowReceiverDoesNotHoldUpAnother) {
  WebhookReceiver slow(0, 30000), fast;
  WebProcess web;
  web.SetEnvironment(kFastRetries);
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  AddWebhook(web, key, slow.Url());
  AddWebhook(web, key, fast.Url());
  auto gw = Gateway(web.Spool());
  for (int i = 0; i < 6; ++i) Receive(*gw, QString("m%1").arg(i), QString("49170%1").arg(i), "hallo");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fast.WaitFor(6, 10).size(), 6u) << web.Log();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  // The slow one has a few deliveries at once, not all six.
  const size_t atOnce = slow.WaitFor(4, 3).size();
  EXPECT_GE(atOnce, 1u);
  EXPECT_LE(atOnce, 4u);
}

TEST(WebhookTest, ANumberWaitingForItsRetryHoldsUpOnlyItsOwnEvents) {
  WebhookReceiver receiver;
  receiver.RefuseWhenBodyHolds("stuck");
  WebProcess web;
  web.SetEnvironment(kFastRetries);
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  AddWebhook(web, key, receiver.Url());
  auto gw = Gateway(web.Spool());
  // More events of the refused number than are looked at in one go, then
  // others: those go, the refused number's later ones wait in order.
  Receive(*gw, "x0", "4917000", "stuck");
  for (int i = 1; i < 80; ++i) Receive(*gw, QString("x%1").arg(i), "4917000", "after");
  for (int i = 0; i < 3; ++i) Receive(*gw, QString("o%1").arg(i), QString("4916%1").arg(i), "other");
  std::vector<WebhookCall> others;
  for (int i = 0; i < 100 && others.size() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    others.clear();
    for (const WebhookCall& c : receiver.Calls())
      if (c.body.contains("other")) others.push_back(c);
  }
  EXPECT_EQ(others.size(), 3u) << web.Log();
  for (const WebhookCall& c : receiver.Calls()) EXPECT_FALSE(c.body.contains("after")) << "order within a number";
}

TEST(WebhookTest, UnderPostgresEveryKindOfEventArrives) {
  pdulink::test::PostgresServer pg;
  if (!pg.Started()) GTEST_SKIP() << pg.Error();
  WebhookReceiver receiver;
  receiver.AnswerWith({503});
  WebProcess web(pg.Uri());
  web.SetEnvironment(kFastRetries);
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  AddWebhook(web, key, receiver.Url(),
             R"(["message.received", "message.sent", "message.failed", "message.delivered", "message.undeliverable",
                 "gateway.down", "gateway.up"])");
  auto gw = Gateway(web.Spool());
  QString why;
  spool::GatewayStatus status;
  status.host = "here";
  status.connection = "connected";
  ASSERT_TRUE(gw->WriteStatus(status, &why)) << why.toStdString();
  Receive(*gw, "m1", "4917012345", "eins");
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(
        web.Post("/api/v1/messages", "{\"to\": \"+49151000" + std::to_string(i) + "\", \"text\": \"x\"}", key).status,
        201);
  bool error = false;
  const auto first = gw->Claim(&error, &why);
  ASSERT_TRUE(first) << why.toStdString();
  ASSERT_TRUE(gw->MarkSent(first->id, "17", &why));
  const auto second = gw->Claim(&error, &why);
  ASSERT_TRUE(second);
  ASSERT_TRUE(gw->MarkSent(second->id, "18", &why));
  const auto third = gw->Claim(&error, &why);
  ASSERT_TRUE(third);
  ASSERT_TRUE(gw->MarkFailed(third->id, "+CMS ERROR: 38", &why));
  ASSERT_TRUE(gw->RecordReport(first->number, 17, QDateTime::currentDateTimeUtc(), 0, &why)) << why.toStdString();
  ASSERT_TRUE(gw->RecordReport(second->number, 18, QDateTime::currentDateTimeUtc(), 0x41, &why));

  // The gateway's heartbeat stops: gateway.down; it comes back: gateway.up.
  {
    QSqlDatabase db = spool::Open(
        [&] {
          spool::Target t;
          spool::ParseTarget(QString::fromStdString(pg.Uri()), &t, &why);
          return t;
        }(),
        "test-heartbeat", &why);
    QSqlQuery q(db);
    q.prepare("UPDATE gateways SET last_seen = ?");
    q.addBindValue(QDateTime::currentDateTimeUtc().addSecs(-120));
    ASSERT_TRUE(q.exec());
    db.close();
  }
  spool::Close("test-heartbeat");
  std::vector<WebhookCall> calls = receiver.WaitFor(8, 20);
  ASSERT_TRUE(gw->WriteStatus(status, &why));
  calls = receiver.WaitFor(9, 20);
  // Each event once, and the one answered 503 once more.
  ASSERT_EQ(calls.size(), 9u) << web.Log();
  std::map<QString, QString> types;
  for (const WebhookCall& c : calls) types[c.id()] = c.type();
  std::multiset<QString> kinds;
  for (const auto& [id, type] : types) kinds.insert(type);
  EXPECT_EQ(kinds, (std::multiset<QString>{"message.received", "message.sent", "message.sent", "message.failed",
                                           "message.delivered", "message.undeliverable", "gateway.down", "gateway.up"}))
      << web.Log();
  for (const WebhookCall& c : calls) {
    EXPECT_TRUE(WebhookReceiver::Signed(c, kSecret));
    const QJsonObject data = c.event().value("data").toObject();
    if (c.type() == "message.failed") {
      EXPECT_EQ(data.value("error").toString(), "+CMS ERROR: 38");
    } else if (c.type() == "message.undeliverable") {
      EXPECT_EQ(data.value("report_status").toInt(), 0x41);
    } else if (c.type() == "gateway.down") {
      EXPECT_EQ(data.value("gateway").toString(), "modem1");
    }
  }
}

TEST(WebhookTest, UnderPostgresOneOfTwoServersDeliversAndTheOtherTakesOver) {
  pdulink::test::PostgresServer pg;
  if (!pg.Started()) GTEST_SKIP() << pg.Error();
  WebhookReceiver receiver;
  WebProcess first(pg.Uri()), second(pg.Uri());
  const std::string key = first.AddKey("k");
  ASSERT_TRUE(first.Start());
  AddWebhook(first, key, receiver.Url());
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the first takes the delivering
  ASSERT_TRUE(second.Start());
  auto gw = Gateway(pg.Uri());
  for (int i = 0; i < 3; ++i) Receive(*gw, QString("a%1").arg(i), QString("49170%1").arg(i), "vorher");
  EXPECT_EQ(receiver.WaitFor(3, 10).size(), 3u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(receiver.Calls().size(), 3u) << "each event once, not once per server";
  EXPECT_NE(second.Log().find("stands by"), std::string::npos) << second.Log();

  EXPECT_EQ(first.Stop(), 0);
  for (int i = 0; i < 2; ++i) Receive(*gw, QString("b%1").arg(i), QString("49170%1").arg(i), "nachher");
  const std::vector<WebhookCall> calls = receiver.WaitFor(5, 10);
  ASSERT_EQ(calls.size(), 5u) << second.Log();
  const std::vector<QString> ids = Ids(calls);
  EXPECT_EQ(std::set<QString>(ids.begin(), ids.end()).size(), 5u);
  EXPECT_NE(second.Log().find("delivers the webhooks now"), std::string::npos) << second.Log();
}

}  // namespace
