#pragma once
// Hand-over of work from the serial worker thread to the user-interface thread.
#include <functional>

// The window implements Post with its event loop (a queued call); tests use a
// plain queue that the test thread pumps. Post must be thread-safe and must not
// block: it only queues the call. The serial library itself waits for the call
// to run where it needs a synchronous hand-over, and cancels that wait when the
// port closes or is destroyed, so a user-interface thread that is waiting for
// the worker can never deadlock with it. A queued call may run after the port
// is gone; it then does nothing.
class UiDispatcher {
 public:
  virtual ~UiDispatcher() = default;
  virtual void Post(std::function<void()> call) = 0;
};
