#include "WebhookWorker.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QTimer>
#include <cstdio>
#include <future>
#include <map>

#include "WebStore.h"
#include "WebhookStore.h"

namespace pdulink::web {

namespace {

constexpr int kTickMs = 250;
constexpr int kWindow = 64;   // pending deliveries looked at first, per webhook
constexpr int kKeepDays = 7;  // finished deliveries are listed this long
constexpr qint64 kPurgeEveryMs = 3600 * 1000;

void Log(const QString& line) {
  std::fprintf(stderr, "pdulink-web: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

AttemptOutcome OutcomeOf(QNetworkReply* reply, int timeoutMs) {
  AttemptOutcome o;
  o.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  o.delivered = o.status >= 200 && o.status < 300;
  if (o.delivered) return o;
  if (o.status > 0)
    o.error = QString("HTTP %1").arg(o.status);
  else if (reply->error() == QNetworkReply::OperationCanceledError)
    o.error = QString("no answer within %1 s").arg(timeoutMs / 1000.0);
  else
    o.error = reply->errorString();
  return o;
}

}  // namespace

class WebhookWorker::Engine : public QObject {
 public:
  explicit Engine(const WebhookOptions& options) : options_(options), store_("pdulink-web-webhooks") {}
  ~Engine() override {
    stopping_ = true;
    // Outcomes come in but not yet written are kept; the rest is sent again.
    if (hooks_ && !done_.empty()) {
      std::vector<Attempt> attempts;
      for (const Done& x : done_) attempts.push_back(x.attempt);
      hooks_->Record(attempts, options_.retryBaseMs);
      hooks_->FinishAll();
    }
  }

  bool Open(const spool::Target& target, QString* why) {
    if (!store_.Open(target, why)) return false;
    hooks_ = std::make_unique<WebhookStore>(store_.Db());
    connect(&timer_, &QTimer::timeout, this, &Engine::Tick);
    timer_.start(kTickMs);
    return true;
  }

 private:
  struct InFlight {
    int count = 0;
    QSet<QString> subjects;
    QSet<qint64> events;
    bool failing = false;
  };

  void Tick();
  // Whether this process delivers (one per spool); says so when it changes.
  bool Deliverer(WebhookStore& ws);
  void StartDue(WebhookStore& ws, const Webhook& hook);
  // Starts what may go of these rows (inOrder: all pending in event order,
  // so that a row holds back the later ones of its number); how many.
  int StartFrom(WebhookStore& ws, const Webhook& hook, const std::vector<DueDelivery>& rows, bool inOrder);
  void Deliver(WebhookStore& ws, const Webhook& hook, const DueDelivery& d);
  void Finished(QNetworkReply* reply, const Webhook& hook, const DueDelivery& d, const QString& key,
                const QByteArray& body);
  void Flush();

  struct Done {
    Webhook hook;
    QString key;
    Attempt attempt;
  };

  WebhookOptions options_;
  WebStore store_;
  std::unique_ptr<WebhookStore> hooks_;  // over store_'s connection
  QTimer timer_;
  QElapsedTimer gatewaysChecked_, purged_;
  std::map<qint64, InFlight> flight_;
  std::vector<Done> done_;  // outcomes not yet written
  bool stopping_ = false;
  bool deliverer_ = false;
  bool waited_ = false;  // stood by for another pdulink-web at least once
  // Last: destroyed first, its replies aborted while the rest still stands.
  QNetworkAccessManager nam_;
};

void WebhookWorker::Engine::Tick() {
  WebhookStore& ws = *hooks_;
  const std::optional<std::vector<Webhook>> hooks = ws.Webhooks();
  if (!hooks) {
    ws.Forget();
    deliverer_ = false;  // a new connection takes the lock again
    store_.Reachable();  // reconnects a connection that broke
    return;
  }
  if (hooks->empty() || !Deliverer(ws)) return;
  if (!gatewaysChecked_.isValid() || gatewaysChecked_.elapsed() >= 1000) {
    gatewaysChecked_.start();
    ws.CheckGateways(options_.gatewayDownS);
  }
  if (ws.FanOut())
    for (const Webhook& hook : *hooks) StartDue(ws, hook);
  if (!purged_.isValid() || purged_.elapsed() >= kPurgeEveryMs) {
    purged_.start();
    ws.Purge(kKeepDays);
  }
  ws.FinishAll();
}

bool WebhookWorker::Engine::Deliverer(WebhookStore& ws) {
  if (deliverer_) return true;
  deliverer_ = ws.Deliverer();
  if (deliverer_ && waited_) Log("this pdulink-web delivers the webhooks now");
  if (!deliverer_ && !waited_) Log("another pdulink-web delivers the webhooks of this spool; this one stands by");
  waited_ = waited_ || !deliverer_;
  return deliverer_;
}

void WebhookWorker::Engine::StartDue(WebhookStore& ws, const Webhook& hook) {
  InFlight& f = flight_[hook.id];
  if (f.count >= options_.perWebhook) return;
  // The oldest pending deliveries first (one query, cheap). When none of
  // them may go (their numbers wait for a retry) and more pending remain,
  // the first of every number is looked for instead, so that a number
  // that waits does not hold up the others.
  const std::optional<std::vector<DueDelivery>> window = ws.Pending(hook.id, kWindow);
  if (!window || StartFrom(ws, hook, *window, true) > 0 || window->size() < static_cast<size_t>(kWindow)) return;
  if (const auto heads = ws.Due(hook.id, f.count + options_.perWebhook)) StartFrom(ws, hook, *heads, false);
}

int WebhookWorker::Engine::StartFrom(WebhookStore& ws, const Webhook& hook, const std::vector<DueDelivery>& rows,
                                     bool inOrder) {
  InFlight& f = flight_[hook.id];
  // A number's events go one at a time, in order: one in flight, or
  // waiting for its retry, holds back the later ones of its number.
  QSet<QString> held = f.subjects;
  const QDateTime now = QDateTime::currentDateTimeUtc();
  int started = 0;
  for (const DueDelivery& d : rows) {
    if (f.count >= options_.perWebhook) break;
    const bool free = d.subject.isEmpty() || !held.contains(d.subject);
    if (inOrder && !d.subject.isEmpty()) held.insert(d.subject);
    if (!free || f.events.contains(d.eventId) || d.nextAttempt > now) continue;
    Deliver(ws, hook, d);
    ++started;
  }
  return started;
}

void WebhookWorker::Engine::Deliver(WebhookStore& ws, const Webhook& hook, const DueDelivery& d) {
  QString key;
  const std::optional<QByteArray> body = ws.Body(d.eventId, &key);
  if (!body) return;
  QNetworkRequest request{QUrl(hook.url)};
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  request.setHeader(QNetworkRequest::UserAgentHeader, "pdulink-web/" PDULINK_VERSION_TEXT);
  request.setRawHeader("X-Pdulink-Signature", SignatureHeader(hook.secret, QDateTime::currentSecsSinceEpoch(), *body));
  request.setRawHeader("X-Pdulink-Event", key.toUtf8());
  request.setTransferTimeout(options_.timeoutMs);
  // A redirect is an answer other than 2xx: tried again later, not followed.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  QNetworkReply* reply = nam_.post(request, *body);
  InFlight& f = flight_[hook.id];
  ++f.count;
  if (!d.subject.isEmpty()) f.subjects.insert(d.subject);
  f.events.insert(d.eventId);
  connect(reply, &QNetworkReply::finished, this,
          [this, reply, hook, d, key, body = *body] { Finished(reply, hook, d, key, body); });
}

void WebhookWorker::Engine::Finished(QNetworkReply* reply, const Webhook& hook, const DueDelivery& d,
                                     const QString& key, const QByteArray& body) {
  reply->deleteLater();
  if (stopping_) return;
  // Outcomes that come together are written in one transaction.
  if (done_.empty()) QTimer::singleShot(0, this, &Engine::Flush);
  done_.push_back({hook, key, {d, OutcomeOf(reply, options_.timeoutMs), body}});
}

void WebhookWorker::Engine::Flush() {
  std::vector<Done> done = std::move(done_);
  done_.clear();
  std::vector<Attempt> attempts;
  for (const Done& x : done) attempts.push_back(x.attempt);
  WebhookStore& ws = *hooks_;
  // Not written (the spool is away): the deliveries stay pending and are
  // sent again; at least once holds.
  ws.Record(attempts, options_.retryBaseMs);
  std::map<qint64, Webhook> touched;
  for (const Done& x : done) {
    const DueDelivery& d = x.attempt.delivery;
    const AttemptOutcome& outcome = x.attempt.outcome;
    InFlight& f = flight_[x.hook.id];
    --f.count;
    f.subjects.remove(d.subject);
    f.events.remove(d.eventId);
    touched[x.hook.id] = x.hook;
    if (outcome.delivered != f.failing) continue;
    f.failing = !outcome.delivered;
    Log(outcome.delivered ? QString("webhook %1 takes events again").arg(x.hook.id)
                          : QString("webhook %1 did not take event %2 (%3); it is tried again with growing waits")
                                .arg(x.hook.id)
                                .arg(x.key, outcome.error));
  }
  for (const auto& [id, hook] : touched) StartDue(ws, hook);
  ws.FinishAll();
}

WebhookWorker::~WebhookWorker() { Stop(); }

bool WebhookWorker::Start(const spool::Target& target, QString* why) {
  // Shared: the thread may still be leaving set_value when Start returns.
  auto opened = std::make_shared<std::promise<bool>>();
  QObject::connect(&thread_, &QThread::started, [this, target, why, opened] {
    auto* engine = new Engine(options_);
    const bool ok = engine->Open(target, why);
    if (!ok) {
      delete engine;
      QThread::currentThread()->quit();
    } else {
      engine_ = engine;
    }
    opened->set_value(ok);
  });
  thread_.start();
  const bool ok = opened->get_future().get();
  QObject::disconnect(&thread_, &QThread::started, nullptr, nullptr);
  if (!ok) thread_.wait();
  return ok;
}

void WebhookWorker::Stop() {
  if (!thread_.isRunning()) return;
  if (engine_) {
    Engine* engine = engine_;
    QMetaObject::invokeMethod(engine, [this, engine] {
      delete engine;
      thread_.quit();
    });
  }
  thread_.wait();
  engine_ = nullptr;
}

}  // namespace pdulink::web
