#include "vilmo/shell/RunLoopBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <mutex>

#include "platform/run_loop.h"

namespace shell {

struct RunLoopBridge::State {
  std::mutex mutex;
  bool alive = true;
  // A drain is already on its way: many tasks queued at once cost one queued call.
  std::atomic<bool> pending{false};

  // Any thread.
  void schedule(const std::shared_ptr<State>& self) {
    std::lock_guard lock(mutex);
    if (!alive || pending.exchange(true)) return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
      pending = false;
      return;
    }
    QMetaObject::invokeMethod(
        application,
        [self] {
          // Cleared first: tasks queued while draining schedule the next drain.
          self->pending = false;
          platform::RunLoop::drain();
        },
        Qt::QueuedConnection);
  }
};

RunLoopBridge::RunLoopBridge() : state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  platform::RunLoop::setWakeUpHook([weak] {
    if (auto state = weak.lock()) state->schedule(state);
  });
  state_->schedule(state_);
}

RunLoopBridge::~RunLoopBridge() {
  platform::RunLoop::setWakeUpHook(nullptr);
  // A hook call that was already running on another thread may still hold the state; it
  // finds it dead.
  std::lock_guard lock(state_->mutex);
  state_->alive = false;
}

}  // namespace shell
