#include "platform/notification_center.h"

#include <algorithm>
#include <atomic>

namespace platform {

class NotificationObservation {
 public:
  NotificationObservation(std::string name, const void* object, QueuePtr queue,
                          NotificationCenter::Block block)
      : name(std::move(name)), object(object), queue(std::move(queue)), block(std::move(block)) {}

  bool matches(const Notification& notification) const {
    return (name.empty() || name == notification.name) &&
           (object == nullptr || object == notification.object);
  }

  const std::string name;
  const void* const object;
  const QueuePtr queue;
  const NotificationCenter::Block block;
  // Cleared by removeObserver; checked right before each call, which is what keeps a
  // removed observer from being called by a post already under way.
  std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: threads still running at exit may post.
  static NotificationCenter* const center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() = default;

ObserverToken NotificationCenter::addObserver(std::string name, const void* object, QueuePtr queue,
                                              Block block) {
  auto observation = std::make_shared<NotificationObservation>(std::move(name), object,
                                                               std::move(queue), std::move(block));
  std::lock_guard lock(mutex_);
  observers_.push_back(observation);
  return observation;
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
  if (!token) {
    return;
  }
  token->active.store(false);
  std::lock_guard lock(mutex_);
  auto found = std::find(observers_.begin(), observers_.end(), token);
  if (found != observers_.end()) {
    observers_.erase(found);
  }
}

void NotificationCenter::post(std::string name, const void* object, Dictionary userInfo) {
  auto notification = std::make_shared<const Notification>(
      Notification{std::move(name), object, std::move(userInfo)});
  // Observers are called outside the lock, from a copy of the list, so that they can add
  // and remove observers (themselves included) and post in turn.
  std::vector<ObserverToken> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  for (const ObserverToken& observer : observers) {
    if (!observer->active.load() || !observer->matches(*notification)) {
      continue;
    }
    if (observer->queue) {
      observer->queue->async([observer, notification] {
        if (observer->active.load()) {
          observer->block(*notification);
        }
      });
    } else {
      observer->block(*notification);
    }
  }
}

}  // namespace platform
