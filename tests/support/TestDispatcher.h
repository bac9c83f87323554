#pragma once
// A user-interface thread for tests: calls posted by a worker wait in a queue
// until the test thread pumps them.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "UiDispatcher.h"

class TestDispatcher final : public UiDispatcher {
 public:
  void Post(std::function<void()> call) override {
    {
      std::lock_guard lk(m_);
      ++posted_;
      calls_.push_back(std::move(call));
    }
    cv_.notify_all();
  }

  // Runs the queued calls; waits up to `wait` for the first one. Returns how many ran.
  int Pump(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
    int ran = 0;
    std::unique_lock lk(m_);
    if (calls_.empty() && wait.count() > 0) cv_.wait_for(lk, wait, [&] { return !calls_.empty(); });
    while (!calls_.empty()) {
      auto call = std::move(calls_.front());
      calls_.pop_front();
      lk.unlock();
      call();
      ++ran;
      lk.lock();
    }
    return ran;
  }

  // Pumps until `done()` holds; false when `deadline` passed first. The
  // deadline is generous: it only stops a broken test from hanging.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds deadline = std::chrono::milliseconds(20000)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      Pump(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Calls posted since construction (each one a hand-over that stopped the worker).
  size_t Posted() {
    std::lock_guard lk(m_);
    return posted_;
  }

  size_t Queued() {
    std::lock_guard lk(m_);
    return calls_.size();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> calls_;
  size_t posted_ = 0;
};
