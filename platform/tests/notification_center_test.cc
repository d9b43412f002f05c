#include "platform/notification_center.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"

namespace platform {
namespace {

// Records who was called with what, in order.
class NotificationCenterTest : public ::testing::Test {
 protected:
  NotificationCenter::Block recorder(std::string who) {
    return [this, who](const Notification& notification) {
      std::lock_guard lock(mutex_);
      calls_.push_back(who + ":" + notification.name);
    };
  }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

  NotificationCenter center_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST_F(NotificationCenterTest, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

TEST_F(NotificationCenterTest, ObserversAreChosenByNameAndSender) {
  int senderA = 0;
  int senderB = 0;
  center_.addObserver("Ping", nullptr, nullptr, recorder("ping-any"));
  center_.addObserver("Ping", &senderA, nullptr, recorder("ping-a"));
  center_.addObserver("", nullptr, nullptr, recorder("all"));
  center_.addObserver("", &senderB, nullptr, recorder("all-b"));
  center_.addObserver("Pong", nullptr, nullptr, recorder("pong-any"));

  struct Case {
    const char* name;
    const void* sender;
    std::vector<std::string> expected;
  } cases[] = {
      {"Ping", nullptr, {"ping-any:Ping", "all:Ping"}},
      {"Ping", &senderA, {"ping-any:Ping", "ping-a:Ping", "all:Ping"}},
      {"Ping", &senderB, {"ping-any:Ping", "all:Ping", "all-b:Ping"}},
      {"Pong", &senderB, {"all:Pong", "all-b:Pong", "pong-any:Pong"}},
      {"Other", &senderA, {"all:Other"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearCalls();
    center_.post(c.name, c.sender);
    EXPECT_EQ(calls(), c.expected);
  }
}

TEST_F(NotificationCenterTest, DeliversNameSenderAndUserInfo) {
  int sender = 0;
  Notification received;
  center_.addObserver("Changed", nullptr, nullptr,
                      [&](const Notification& notification) { received = notification; });
  center_.post("Changed", &sender, Dictionary{{"count", 2}});
  EXPECT_EQ(received.name, "Changed");
  EXPECT_EQ(received.object, &sender);
  EXPECT_EQ(received.userInfo, (Dictionary{{"count", 2}}));
}

TEST_F(NotificationCenterTest, RemovalByToken) {
  ObserverToken first = center_.addObserver("N", nullptr, nullptr, recorder("first"));
  ObserverToken second = center_.addObserver("N", nullptr, nullptr, recorder("second"));
  center_.removeObserver(first);
  center_.removeObserver(first);
  center_.removeObserver(nullptr);
  center_.post("N");
  EXPECT_EQ(calls(), std::vector<std::string>{"second:N"});

  // Dropping a token does not remove its observer.
  second.reset();
  clearCalls();
  center_.post("N");
  EXPECT_EQ(calls(), std::vector<std::string>{"second:N"});
}

TEST_F(NotificationCenterTest, DeliveryIsOnThePostingThreadBeforePostReturns) {
  std::thread::id observedOn;
  center_.addObserver("N", nullptr, nullptr,
                      [&](const Notification&) { observedOn = std::this_thread::get_id(); });
  std::thread::id postedOn;
  std::thread([&] {
    postedOn = std::this_thread::get_id();
    center_.post("N");
    EXPECT_EQ(observedOn, postedOn);
  }).join();
  EXPECT_EQ(observedOn, postedOn);
}

TEST_F(NotificationCenterTest, ObserversChangeTheListDuringDelivery) {
  ObserverToken self;
  ObserverToken later;
  ObserverToken added;
  self = center_.addObserver("N", nullptr, nullptr, [&](const Notification& notification) {
    recorder("self")(notification);
    center_.removeObserver(self);
    center_.removeObserver(later);
    added = center_.addObserver("N", nullptr, nullptr, recorder("added"));
  });
  later = center_.addObserver("N", nullptr, nullptr, recorder("later"));
  center_.addObserver("N", nullptr, nullptr, recorder("last"));

  center_.post("N");
  // The observer removed before its turn is skipped; the one added is not called by the
  // post that was already under way.
  EXPECT_EQ(calls(), (std::vector<std::string>{"self:N", "last:N"}));
  clearCalls();
  center_.post("N");
  EXPECT_EQ(calls(), (std::vector<std::string>{"last:N", "added:N"}));
}

TEST_F(NotificationCenterTest, ObserverCanPostFromItsBlock) {
  center_.addObserver("First", nullptr, nullptr,
                      [&](const Notification&) { center_.post("Second"); });
  center_.addObserver("Second", nullptr, nullptr, recorder("second"));
  center_.post("First");
  EXPECT_EQ(calls(), std::vector<std::string>{"second:Second"});
}

TEST_F(NotificationCenterTest, AnObserverWithAQueueRunsThere) {
  QueuePtr queue = Queue::serial("test.notifications");
  Semaphore delivered;
  std::atomic<bool> onQueue{false};
  center_.addObserver("N", nullptr, queue, [&](const Notification& notification) {
    onQueue = queue->isCurrent() && notification.userInfo["k"] == Value("v");
    delivered.signal();
  });
  center_.post("N", nullptr, Dictionary{{"k", "v"}});
  ASSERT_TRUE(delivered.wait(10));
  EXPECT_TRUE(onQueue);
}

TEST_F(NotificationCenterTest, AQueuedDeliveryIsDroppedWhenTheObserverIsRemovedFirst) {
  QueuePtr queue = Queue::serial("test.notifications");
  queue->suspend();
  ObserverToken token = center_.addObserver("N", nullptr, queue, recorder("queued"));
  center_.post("N");
  center_.removeObserver(token);
  queue->resume();
  queue->sync([] {});
  EXPECT_TRUE(calls().empty());
}

TEST_F(NotificationCenterTest, ConcurrentPostsAndRegistrations) {
  std::atomic<int> delivered{0};
  center_.addObserver("N", nullptr, nullptr, [&](const Notification&) { ++delivered; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        center_.post("N");
        ObserverToken token =
            center_.addObserver("M", nullptr, nullptr, [](const Notification&) {});
        center_.post("M");
        center_.removeObserver(token);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(delivered, 800);
}

}  // namespace
}  // namespace platform
