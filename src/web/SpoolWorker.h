// The thread that does pdulink-web's database work: it owns the spool
// connection (a Qt SQL connection belongs to one thread), runs jobs one at
// a time in order (urgent ones, such as a health check, first) and every
// second a periodic job. The HTTP thread never waits on the database; it
// can ask how long the current job has been running.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "SpoolTarget.h"
#include "WebStore.h"

namespace pdulink::web {

class SpoolWorker {
 public:
  using Job = std::function<void(WebStore&)>;
  ~SpoolWorker();

  // Opens the spool in the worker's thread; false (why set) when it fails.
  bool Start(const spool::Target& target, Job everySecond, QString* why);
  void Post(Job job, bool urgent = false);
  // Runs what is queued, then ends the thread.
  void Stop();
  // Milliseconds the job in hand has been running; 0 when idle.
  qint64 BusyMs() const;

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  Job everySecond_;
  std::atomic<qint64> busySince_{0};  // steady clock, ms; 0: idle
};

}  // namespace pdulink::web
