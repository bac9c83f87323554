#pragma once
// Hands the serial worker's calls to the window's event loop.
#include <QMetaObject>
#include <QPointer>

#include "UiDispatcher.h"

class QtUiDispatcher final : public UiDispatcher {
 public:
  explicit QtUiDispatcher(QObject* context) : context_(context) {}
  void Post(std::function<void()> call) override {
    // Thread-safe: the call is queued to the context's (user-interface)
    // thread and runs when that thread processes its events, also inside a
    // command wait. A context that is gone drops the call.
    if (QObject* target = context_.data()) QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
  }

 private:
  QPointer<QObject> context_;
};
