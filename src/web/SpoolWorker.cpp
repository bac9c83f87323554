#include "SpoolWorker.h"

#include <chrono>

namespace pdulink::web {

namespace {

qint64 NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SpoolWorker::~SpoolWorker() { Stop(); }

bool SpoolWorker::Start(const spool::Target& target, Job everySecond, QString* why) {
  everySecond_ = std::move(everySecond);
  bool opened = false;
  std::mutex m;
  std::condition_variable cv;
  bool ready = false;
  thread_ = std::thread([&, target] {
    WebStore store("pdulink-web-worker");
    const bool ok = store.Open(target, why);
    {
      // Start's variables are gone once it sees `ready`: nothing of them
      // is touched after this.
      std::lock_guard lock(m);
      opened = ok;
      ready = true;
      cv.notify_one();
    }
    if (!ok) return;
    std::unique_lock lock(mutex_);
    qint64 lastTick = NowMs();
    for (;;) {
      wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_ || !jobs_.empty(); });
      while (!jobs_.empty()) {
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        busySince_.store(NowMs());
        job(store);
        busySince_.store(0);
        lock.lock();
      }
      if (stopping_) break;
      if (NowMs() - lastTick >= 1000 && everySecond_) {
        lastTick = NowMs();
        lock.unlock();
        busySince_.store(NowMs());
        everySecond_(store);
        busySince_.store(0);
        lock.lock();
      }
    }
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return ready; });
  lock.unlock();
  if (!opened) thread_.join();
  return opened;
}

void SpoolWorker::Post(Job job, bool urgent) {
  {
    std::lock_guard lock(mutex_);
    if (urgent)
      jobs_.push_front(std::move(job));
    else
      jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void SpoolWorker::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

qint64 SpoolWorker::BusyMs() const {
  const qint64 since = busySince_.load();
  return since == 0 ? 0 : NowMs() - since;
}

}  // namespace pdulink::web
