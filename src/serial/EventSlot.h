#pragma once
// TEventSlot: an event handler of the serial port. Assigned and called on the
// user-interface thread like a std::function; besides, any thread can ask
// whether a handler is assigned, so the worker hands an event over only when
// someone listens (each hand-over stops the worker until the user-interface
// thread has run it).
#include <atomic>
#include <functional>
#include <type_traits>
#include <utility>

template <class Signature>
class TEventSlot;

template <class R, class... Args>
class TEventSlot<R(Args...)> {
 public:
  using Function = std::function<R(Args...)>;

  TEventSlot() = default;
  TEventSlot(const TEventSlot& other) : fn_(other.fn_), assigned_(static_cast<bool>(fn_)) {}
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TEventSlot>)
  TEventSlot(F&& f) : fn_(std::forward<F>(f)), assigned_(static_cast<bool>(fn_)) {}

  TEventSlot& operator=(const TEventSlot& other) {
    if (this != &other) Set(other.fn_);
    return *this;
  }
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TEventSlot>)
  TEventSlot& operator=(F&& f) {
    Set(Function(std::forward<F>(f)));
    return *this;
  }

  explicit operator bool() const { return static_cast<bool>(fn_); }
  R operator()(Args... args) const { return fn_(std::forward<Args>(args)...); }

  // Safe on any thread.
  bool Assigned() const { return assigned_.load(std::memory_order_acquire); }

 private:
  void Set(Function f) {
    fn_ = std::move(f);
    assigned_.store(static_cast<bool>(fn_), std::memory_order_release);
  }

  Function fn_;
  std::atomic<bool> assigned_{false};
};
