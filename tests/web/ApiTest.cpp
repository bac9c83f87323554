// pdulink-web as a client meets it: a real server process over a SQLite
// spool, spoken to over HTTP. Keys and refusals, every kind of bad input
// (and that none of it reaches the outbox), idempotent retries, the
// listings and their paging, and the rows a gateway writes showing up.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "PhoneProcess.h"
#include "Spool.h"
#include "SpoolDatabase.h"
#include "SpoolTarget.h"
#include "WebProcess.h"

namespace {

using pdulink::test::HttpResponse;
using pdulink::test::WebProcess;

QJsonObject Json(const HttpResponse& r) { return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object(); }
QString Field(const HttpResponse& r) { return Json(r).value("error").toObject().value("field").toString(); }
int Rows(WebProcess& web, const std::string& key) {
  return static_cast<int>(Json(web.Get("/api/v1/messages?limit=1000", key)).value("messages").toArray().size());
}

TEST(WebApiTest, KeysAreNeededCheckedAndRevocable) {
  WebProcess web;
  const std::string key = web.AddKey("shop"), other = web.AddKey("monitor");
  ASSERT_EQ(key.size(), 64u);
  ASSERT_NE(key, other);
  std::string out, err;
  EXPECT_NE(web.Run({"--add-key", "shop"}, &out, &err), 0) << "a taken name must be refused";
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(web.Start());

  // Only the hashes are stored: the key's text is nowhere in the spool file.
  const std::string db = pdulink::test::Slurp(web.Directory() + "/spool.db") +
                         pdulink::test::Slurp(web.Directory() + "/spool.db-wal");
  EXPECT_EQ(db.find(key), std::string::npos);

  for (const auto& headers : std::vector<std::vector<std::string>>{
           {}, {"Authorization: Bearer " + key + "x"}, {"Authorization: Basic " + key}, {"Authorization: Bearer"}}) {
    const HttpResponse r = pdulink::test::Http(web.Port(), "GET", "/api/v1/inbox", "", headers);
    EXPECT_EQ(r.status, 401) << (headers.empty() ? "" : headers[0]);
    EXPECT_EQ(r.Header("www-authenticate"), "Bearer");
    EXPECT_EQ(Field(r), "Authorization");
  }
  // A refused POST stores nothing.
  EXPECT_EQ(web.Post("/api/v1/messages", R"({"to":"+4915","text":"x"})", "wrong").status, 401);
  EXPECT_EQ(web.Get("/api/v1/inbox", key).status, 200);
  EXPECT_EQ(web.Get("/api/v1/gateways", other).status, 200);
  EXPECT_EQ(web.Get("/api/v1/healthz").status, 200);
  EXPECT_EQ(web.Get("/healthz").status, 200);  // where load balancers look
  EXPECT_EQ(web.Get("/api/v1/metrics").status, 200) << "loopback needs no key";
  EXPECT_EQ(Rows(web, key), 0);

  // Revoked from another process while the server runs: refused within a
  // second or so, the other key still works.
  EXPECT_EQ(web.Run({"--revoke-key", "shop"}), 0);
  EXPECT_NE(web.Run({"--revoke-key", "shop"}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(web.Get("/api/v1/inbox", key).status, 401);
  EXPECT_EQ(web.Get("/api/v1/inbox", other).status, 200);
  EXPECT_EQ(web.Run({"--list-keys"}, &out), 0);
  EXPECT_EQ(out.find("shop"), std::string::npos);
  EXPECT_NE(out.find("monitor\t"), std::string::npos);

  const std::string log = web.Log();
  EXPECT_NE(log.find("refused GET /api/v1/inbox from 127.0.0.1: no bearer key"), std::string::npos) << log;
  EXPECT_NE(log.find("unknown key"), std::string::npos) << log;
  EXPECT_EQ(log.find(key.substr(0, 16)), std::string::npos) << "the log must not show a key";
}

TEST(WebApiTest, BadInputGetsAnErrorNamingTheFieldAndStoresNothing) {
  WebProcess web("", {"--max-parts", "2"});
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  struct Case {
    std::string body;
    int status;
    const char* field;
  } cases[] = {
      {R"({"to": "+4915", "text": "hi")", 400, "body"},
      {R"({"text": "hi"})", 422, "to"},
      {R"({"to": ["+4915", "x"], "text": "hi"})", 422, "to[1]"},
      {R"({"to": "+4915", "text": "hi", "priority": "high"})", 422, "priority"},
      {R"({"to": "+4915", "text": "hi", "validity": 1e3})", 422, "validity"},
      {R"({"to": "+4915", "text": "hi", "gateway": "nosuch"})", 422, "gateway"},
      {R"({"to": "+4915", "text": ")" + std::string(307, 'a') + "\"}", 422, "text"},
      {R"({"to": "+4915", "text": ")" + std::string(64 * 1024, 'a') + "\"}", 413, "body"},
  };
  for (const Case& c : cases) {
    const HttpResponse r = web.Post("/api/v1/messages", c.body, key);
    EXPECT_EQ(r.status, c.status) << c.body.substr(0, 80) << "\n" << r.body;
    EXPECT_EQ(Field(r), c.field) << c.body.substr(0, 80);
    EXPECT_EQ(r.Header("content-type"), "application/json");
  }
  EXPECT_EQ(web.Post("/api/v1/messages", R"({"to":"+4915","text":"x"})", key, {"Idempotency-Key: a b"}).status, 400);
  EXPECT_EQ(Rows(web, key), 0);
  // Two parts of 153 are the most that --max-parts 2 takes.
  const HttpResponse two = web.Post("/api/v1/messages", R"({"to": "+4915", "text": ")" + std::string(306, 'a') + "\"}", key);
  EXPECT_EQ(two.status, 201) << two.body;
  EXPECT_EQ(Json(two).value("parts").toInt(), 2);

  // Paths, methods and query parameters.
  EXPECT_EQ(web.Get("/api/v1/nothing", key).status, 404);
  EXPECT_EQ(web.Get("/api/v1/messages/abc", key).status, 404);
  EXPECT_EQ(web.Get("/api/v1/messages/999", key).status, 404);
  const HttpResponse del = pdulink::test::Http(web.Port(), "DELETE", "/api/v1/messages", "", {"Authorization: Bearer " + key});
  EXPECT_EQ(del.status, 405);
  EXPECT_EQ(del.Header("allow"), "GET, POST");
  EXPECT_EQ(pdulink::test::Http(web.Port(), "POST", "/api/v1/inbox", "{}", {"Authorization: Bearer " + key}).status, 405);
  EXPECT_EQ(Field(web.Get("/api/v1/inbox?since_id=1%27%20OR%201=1", key)), "since_id");
  EXPECT_EQ(Field(web.Get("/api/v1/messages?state=gone", key)), "state");
  EXPECT_EQ(Field(web.Get("/api/v1/messages?cursor=AAAA", key)), "cursor");
  EXPECT_EQ(Field(web.Get("/api/v1/messages?limit=5000", key)), "limit");
  EXPECT_EQ(Field(web.Get("/api/v1/inbox?sort=id", key)), "sort");
}

// The page's counter asks /api/v1/count when the gateways have shift
// tables: a Turkish text counts as UCS2 without them, as one 7-bit part
// with them, and the send limits name the tables.
TEST(WebApiTest, CountAnswersThePartsTheGatewaysWillSend) {
  std::string turkish;
  for (int i = 0; i < 155; ++i) turkish += "\xC5\x9F";  // "ş"
  const std::string body = R"({"text": ")" + turkish + "\"}";
  struct Case {
    std::vector<std::string> args;
    int parts;
    const char* coding;
    QJsonArray tables;
  } cases[] = {
      {{"--max-parts", "3"}, 3, "ucs2", {}},
      {{"--max-parts", "3", "--shift-tables", "es,tr"}, 1, "gsm7", {"es", "tr"}},
  };
  for (const Case& c : cases) {
    WebProcess web("", c.args);
    const std::string key = web.AddKey("page");
    ASSERT_TRUE(web.Start());
    const HttpResponse r = web.Post("/api/v1/count", body, key);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(Json(r).value("characters").toInt(), 155);
    EXPECT_EQ(Json(r).value("parts").toInt(), c.parts);
    EXPECT_EQ(Json(r).value("coding").toString(), c.coding);
    EXPECT_EQ(Json(web.Get("/api/v1/gateways", key)).value("send_limits").toObject().value("shift_tables").toArray(),
              c.tables);
    // Under the same key check, body limit and JSON reader as a send.
    EXPECT_EQ(web.Post("/api/v1/count", body, "wrong").status, 401);
    EXPECT_EQ(Field(web.Post("/api/v1/count", R"({"text": 5})", key)), "text");
    EXPECT_EQ(web.Post("/api/v1/count", R"({"text": ")" + std::string(64 * 1024, 'a') + "\"}", key).status, 413);
    EXPECT_EQ(web.Get("/api/v1/count", key).status, 405);
    EXPECT_EQ(Rows(web, key), 0);
  }
}

TEST(WebApiTest, RetriedRequestWithTheSameIdempotencyKeyCreatesNothingNew) {
  WebProcess web;
  const std::string key = web.AddKey("a"), key2 = web.AddKey("b");
  ASSERT_TRUE(web.Start());
  const std::string body = R"({"to": ["+491511", "+491512"], "text": "Order 17 is ready"})";
  const HttpResponse first = web.Post("/api/v1/messages", body, key, {"Idempotency-Key: order-17"});
  ASSERT_EQ(first.status, 201) << first.body;
  const QJsonArray ids = Json(first).value("ids").toArray();
  ASSERT_EQ(ids.size(), 2);
  EXPECT_TRUE(first.Header("idempotent-replayed").empty());

  // The same body laid out differently is the same request.
  const HttpResponse again =
      web.Post("/api/v1/messages", "{\"text\":\"Order 17 is ready\",\n \"to\":[\"+491511\",\"+491512\"]}", key,
               {"Idempotency-Key: order-17"});
  EXPECT_EQ(again.status, 201);
  EXPECT_EQ(Json(again).value("ids").toArray(), ids);
  EXPECT_EQ(again.Header("idempotent-replayed"), "true");
  EXPECT_EQ(Rows(web, key), 2);

  const HttpResponse changed = web.Post("/api/v1/messages", R"({"to": "+491511", "text": "Order 18"})", key,
                                        {"Idempotency-Key: order-17"});
  EXPECT_EQ(changed.status, 422);
  EXPECT_EQ(Field(changed), "Idempotency-Key");
  // Another key's idempotency keys are its own.
  EXPECT_EQ(web.Post("/api/v1/messages", body, key2, {"Idempotency-Key: order-17"}).status, 201);
  // Without the header, every request is new.
  EXPECT_EQ(web.Post("/api/v1/messages", body, key).status, 201);
  EXPECT_EQ(Rows(web, key), 6);
}

// The rows a gateway writes (claims, outcomes, received messages, status),
// written here through the spool library as a gateway does, show in the
// listings; paging loses and repeats nothing.
TEST(WebApiTest, ListingsShowWhatTheGatewaysWrote) {
  WebProcess web;
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(web.Post("/api/v1/messages", "{\"to\": \"+49151" + std::to_string(i) + "\", \"text\": \"m" +
                                                std::to_string(i) + "\", \"priority\": " + std::to_string(i) + "}",
                       key)
                  .status,
              201);

  spool::Target target;
  QString why;
  ASSERT_TRUE(spool::ParseTarget(QString::fromStdString(web.Spool()), &target, &why));
  auto gw = spool::Spool::Make(target, "modem1", "test-gateway");
  ASSERT_TRUE(gw->Open(&why)) << why.toStdString();
  bool error = false;
  std::optional<spool::Claimed> claimed = gw->Claim(&error, &why);
  ASSERT_TRUE(claimed) << why.toStdString();
  EXPECT_EQ(claimed->text, "m4") << "the highest priority first";
  ASSERT_TRUE(gw->MarkSent(claimed->id, "17,18", &why));
  claimed = gw->Claim(&error, &why);
  ASSERT_TRUE(claimed);
  ASSERT_TRUE(gw->MarkFailed(claimed->id, "+CMS ERROR: 38", &why));
  for (int i = 0; i < 3; ++i) {
    spool::InboxRow row;
    row.msgKey = QString("k%1").arg(i);
    row.sender = "+4917";
    row.text = QString("Привет %1").arg(i);
    row.coding = "ucs2";
    row.pdus = "0791AA\n0791BB";
    ASSERT_TRUE(gw->InsertInbox(row, &why)) << why.toStdString();
  }
  spool::GatewayStatus status;
  status.connection = "connected";
  status.signal = 21;
  status.battery = 80;
  status.registered = true;
  status.lastAnswer = "AT+CSQ";
  status.lastAnswerAt = QDateTime::currentDateTimeUtc().addSecs(-30);
  status.restarts = 1;
  status.storeUsed = 10;
  status.storeTotal = 10;
  status.storeFull = true;
  ASSERT_TRUE(gw->WriteStatus(status, &why));

  const QJsonObject sent = Json(web.Get("/api/v1/messages/5", key));
  EXPECT_EQ(sent.value("state").toString(), "sent");
  EXPECT_EQ(sent.value("references").toArray(), QJsonArray({17, 18}));
  EXPECT_EQ(sent.value("claimed_by").toString(), "modem1");
  EXPECT_EQ(Json(web.Get("/api/v1/messages?state=failed", key)).value("messages").toArray()[0].toObject().value("error"),
            "+CMS ERROR: 38");

  // Pages of two: 1-2, 3-4, 5; the cursor of the last page is null.
  std::vector<int> seen;
  std::string path = "/api/v1/messages?limit=2";
  for (int page = 0; page < 5; ++page) {
    const QJsonObject o = Json(web.Get(path, key));
    for (const QJsonValue& m : o.value("messages").toArray()) seen.push_back(m.toObject().value("id").toInt());
    if (o.value("next_cursor").isNull()) break;
    path = "/api/v1/messages?limit=2&cursor=" + o.value("next_cursor").toString().toStdString();
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
  const QJsonArray newest = Json(web.Get("/api/v1/messages?newest=2", key)).value("messages").toArray();
  ASSERT_EQ(newest.size(), 2);
  EXPECT_EQ(newest[1].toObject().value("id").toInt(), 5) << "newest last";

  const QJsonObject inbox = Json(web.Get("/api/v1/inbox?since_id=1&limit=1", key));
  ASSERT_EQ(inbox.value("messages").toArray().size(), 1);
  const QJsonObject m = inbox.value("messages").toArray()[0].toObject();
  EXPECT_EQ(m.value("id").toInt(), 2);
  EXPECT_EQ(m.value("text").toString(), "Привет 1");
  EXPECT_EQ(m.value("pdus").toArray(), QJsonArray({"0791AA", "0791BB"}));
  EXPECT_TRUE(inbox.value("more").toBool());

  // Older pages, one correspondent, a search over text and numbers (a
  // pattern's own % and _ taken as such).
  auto ids = [&](const std::string& path) {
    std::vector<int> out;
    for (const QJsonValue& v : Json(web.Get(path, key)).value("messages").toArray()) out.push_back(v.toObject().value("id").toInt());
    return out;
  };
  EXPECT_EQ(ids("/api/v1/messages?newest=2&before_id=4"), (std::vector<int>{2, 3}));
  EXPECT_TRUE(Json(web.Get("/api/v1/messages?newest=2&before_id=4", key)).value("older").toBool());
  EXPECT_FALSE(Json(web.Get("/api/v1/inbox?newest=2&before_id=3", key)).value("older").toBool());
  EXPECT_EQ(ids("/api/v1/inbox?newest=2&before_id=3"), (std::vector<int>{1, 2}));
  EXPECT_EQ(ids("/api/v1/messages?newest=10&number=491513"), (std::vector<int>{4}));
  EXPECT_EQ(ids("/api/v1/inbox?newest=10&number=4917"), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ids("/api/v1/inbox?newest=10&q=%D0%B5%D1%82%202"), (std::vector<int>{3}));
  EXPECT_EQ(ids("/api/v1/messages?newest=10&q=m3"), (std::vector<int>{4}));
  EXPECT_EQ(ids("/api/v1/messages?newest=10&q=4915"), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(ids("/api/v1/messages?newest=10&q=%25").empty());
  EXPECT_EQ(web.Get("/api/v1/inbox?before_id=3", key).status, 400) << "before_id goes with newest";

  const QJsonArray gateways = Json(web.Get("/api/v1/gateways", key)).value("gateways").toArray();
  ASSERT_EQ(gateways.size(), 1);
  const QJsonObject row = gateways[0].toObject();
  EXPECT_EQ(row.value("signal").toInt(), 21);
  EXPECT_TRUE(row.value("registered").toBool());
  EXPECT_EQ(row.value("last_answer").toString(), "AT+CSQ");
  EXPECT_NEAR(row.value("seconds_since_answer").toDouble(), 30, 5);
  EXPECT_EQ(row.value("phone_restarts").toInt(), 1);
  EXPECT_EQ(row.value("store").toObject(), (QJsonObject{{"used", 10}, {"total", 10}, {"full", true}}));
  // Now the gateway exists, messages may name it.
  EXPECT_EQ(web.Post("/api/v1/messages", R"({"to":"+4915","text":"x","gateway":"modem1"})", key).status, 201);

  const std::string metrics = web.Get("/api/v1/metrics").body;
  EXPECT_NE(metrics.find("pdulink_messages_sent_total{gateway=\"modem1\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("pdulink_messages_failed_total{gateway=\"modem1\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("pdulink_messages_received_total{gateway=\"modem1\"} 3\n"), std::string::npos);
  EXPECT_NE(metrics.find("pdulink_queue_length 4\n"), std::string::npos);
  EXPECT_NE(metrics.find("pdulink_battery_percent{gateway=\"modem1\"} 80\n"), std::string::npos);
  for (const char* sample : {"pdulink_registered{gateway=\"modem1\"} 1\n", "pdulink_phone_restarts_total{gateway=\"modem1\"} 1\n",
                             "pdulink_store_used{gateway=\"modem1\"} 10\n", "pdulink_store_total{gateway=\"modem1\"} 10\n",
                             "pdulink_store_full{gateway=\"modem1\"} 1\n", "pdulink_seconds_since_answer{gateway=\"modem1\"} 3"})
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample;
  EXPECT_NE(metrics.find("pdulink_last_answer_timestamp_seconds{gateway=\"modem1\"} " +
                         std::to_string(status.lastAnswerAt.toSecsSinceEpoch() / 1000)),
            std::string::npos);
}

// The whole path: a headless gateway on the simulated phone takes the row
// a POST queued, the phone receives its PDU and the row becomes sent; a
// message delivered to the phone appears in /inbox.
TEST(WebApiTest, SendAndReceiveThroughAGatewayOnTheSimulatedPhone) {
  pdulink::test::PhoneProcess phone;
  ASSERT_TRUE(phone.Started()) << phone.Error();
  WebProcess web;
  const std::string key = web.AddKey("k");
  ASSERT_TRUE(web.Start());
  const std::unique_ptr<pdulink::test::Child> started = pdulink::test::StartGateway(PDULINK_BIN, web, phone.LinkPath());
  ASSERT_TRUE(started);
  pdulink::test::Child& gateway = *started;

  const HttpResponse posted =
      web.Post("/api/v1/messages", R"({"to": "+4915112345678", "text": "Grüße über HTTP €5", "report": true})", key);
  ASSERT_EQ(posted.status, 201) << posted.body;
  const int id = Json(posted).value("ids").toArray()[0].toInt();
  QJsonObject row;
  for (int i = 0; i < 300 && row.value("state").toString() != "sent"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gateway.Pump(0);
    row = Json(web.Get("/api/v1/messages/" + std::to_string(id), key));
  }
  ASSERT_EQ(row.value("state").toString(), "sent") << gateway.outText;
  EXPECT_EQ(row.value("claimed_by").toString(), "modem1");
  EXPECT_EQ(row.value("references").toArray().size(), 1);
  const std::vector<std::string> pdus = phone.Submitted();
  ASSERT_EQ(pdus.size(), 1u);

  ASSERT_TRUE(pdulink::test::PhoneProcess::Ok(phone.Control("deliver +4917012345 Antwort vom Telefon")));
  QJsonArray inbox;
  for (int i = 0; i < 300 && inbox.isEmpty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gateway.Pump(0);
    inbox = Json(web.Get("/api/v1/inbox?since_id=0", key)).value("messages").toArray();
  }
  ASSERT_EQ(inbox.size(), 1) << gateway.outText;
  EXPECT_EQ(inbox[0].toObject().value("text").toString(), "Antwort vom Telefon");
  EXPECT_TRUE(inbox[0].toObject().value("sender").toString().endsWith("4917012345"));
  EXPECT_EQ(inbox[0].toObject().value("gateway").toString(), "modem1");
  const QJsonArray gateways = Json(web.Get("/api/v1/gateways", key)).value("gateways").toArray();
  ASSERT_EQ(gateways.size(), 1);
  EXPECT_EQ(gateways[0].toObject().value("name").toString(), "modem1");
  // The running gateway's health, with its next heartbeat: the phone
  // answered a moment ago.
  QJsonObject own;
  for (int i = 0; i < 150 && !own.value("last_answer").isString(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gateway.Pump(0);
    own = Json(web.Get("/api/v1/gateways", key)).value("gateways").toArray()[0].toObject();
  }
  EXPECT_TRUE(own.value("last_answer").toString().startsWith("AT")) << QJsonDocument(own).toJson().toStdString();
  EXPECT_LE(own.value("seconds_since_answer").toInt(99), 10);
  EXPECT_EQ(own.value("phone_restarts").toInt(-1), 0);
}

}  // namespace

namespace {

// Idempotency keys are kept a day, across restarts of the server: a retry
// within the day is answered from the first request, a key older than that
// is forgotten (the hourly purge also runs at start).
TEST(WebApiTest, IdempotencyKeysLastADayAcrossRestarts) {
  WebProcess web;
  const std::string key = web.AddKey("a");
  ASSERT_TRUE(web.Start());
  const std::string body = R"({"to": "+491511", "text": "Order 19"})";
  const HttpResponse first = web.Post("/api/v1/messages", body, key, {"Idempotency-Key: fresh"});
  ASSERT_EQ(first.status, 201);
  {
    // Aged by hand: the first request 23 hours ago, another 25 hours ago.
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "ager");
    db.setDatabaseName(QString::fromStdString(web.Directory() + "/spool.db"));
    ASSERT_TRUE(db.open());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QSqlQuery q(db);
    q.prepare("UPDATE idempotency_keys SET created = ? WHERE idem_key = 'fresh'");
    q.addBindValue(spool::TimeValue(db, now.addSecs(-23 * 3600)));
    ASSERT_TRUE(q.exec());
    q.prepare("INSERT INTO idempotency_keys (api_key, idem_key, request_hash, ids, created) VALUES ('a', 'stale', 'x', '999', ?)");
    q.addBindValue(spool::TimeValue(db, now.addSecs(-25 * 3600)));
    ASSERT_TRUE(q.exec());
    q = QSqlQuery();
    db.close();
  }
  QSqlDatabase::removeDatabase("ager");
  ASSERT_TRUE(web.Start());  // a restart
  const HttpResponse stale = web.Post("/api/v1/messages", body, key, {"Idempotency-Key: stale"});
  EXPECT_EQ(stale.status, 201) << stale.body << ": a day-old key is forgotten";
  EXPECT_TRUE(stale.Header("idempotent-replayed").empty());
  const HttpResponse retry = web.Post("/api/v1/messages", body, key, {"Idempotency-Key: fresh"});
  EXPECT_EQ(retry.status, 201);
  EXPECT_EQ(retry.Header("idempotent-replayed"), "true") << "a retry within the day sent the message again";
  EXPECT_EQ(Json(retry).value("ids"), Json(first).value("ids"));
}

}  // namespace
