// NotificationCenter: broadcasts named notifications from a sender to every observer
// registered for that name (or all names) and that sender (or any sender).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/value.h"

namespace platform {

struct Notification {
  std::string name;
  // The sender's identity, compared by address only.
  const void* object = nullptr;
  Dictionary userInfo;
};

// What addObserver hands back; pass it to removeObserver. Dropping it does not remove the
// observer.
class NotificationObservation;
using ObserverToken = std::shared_ptr<NotificationObservation>;

class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // An empty name observes every name; a null object observes every sender. With no
  // queue the block runs on the posting thread, inside post(); with a queue it is handed
  // to that queue and post() does not wait for it.
  ObserverToken addObserver(std::string name, const void* object, QueuePtr queue, Block block);
  // Once this returns, the observer is not called again by any post, including one in
  // progress on this thread and deliveries already handed to its queue. (A post running
  // on another thread may be calling it at that moment.) An unknown or null token is
  // ignored.
  void removeObserver(const ObserverToken& token);

  // Calls the matching observers in the order they were added. Observers added during a
  // post are not called by it; observers may add and remove observers freely.
  void post(std::string name, const void* object = nullptr, Dictionary userInfo = {});

 private:
  std::mutex mutex_;
  std::vector<ObserverToken> observers_;
};

}  // namespace platform
