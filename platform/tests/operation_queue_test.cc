#include "platform/operation_queue.h"

#include <atomic>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/error.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

constexpr double kTimeout = 10;
constexpr double kQuietPeriod = 0.05;

// Records events from any thread.
class Log {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

TEST(OperationQueueTest, OneAtATimeRunsOperationsInTheOrderAdded) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 50; ++i) {
    queue.addOperationWithBlock([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, NeverRunsMoreThanTheLimitAtOnce) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(2);
  Semaphore started;
  Semaphore release;
  std::atomic<int> running{0};
  std::atomic<int> mostRunning{0};
  for (int i = 0; i < 4; ++i) {
    queue.addOperationWithBlock([&] {
      int now = ++running;
      int seen = mostRunning;
      while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
      }
      started.signal();
      release.wait();
      --running;
    });
  }
  ASSERT_TRUE(started.wait(kTimeout));
  ASSERT_TRUE(started.wait(kTimeout));
  EXPECT_FALSE(started.wait(kQuietPeriod));
  EXPECT_EQ(queue.operationCount(), 4u);
  for (int i = 0; i < 4; ++i) release.signal();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(mostRunning, 2);
}

TEST(OperationQueueTest, DefaultLimitRunsOperationsSideBySide) {
  OperationQueue queue;
  EXPECT_EQ(queue.maxConcurrentOperationCount(),
            OperationQueue::kDefaultMaxConcurrentOperationCount);
  auto allStarted = std::make_shared<std::latch>(4);
  std::atomic<int> finished{0};
  for (int i = 0; i < 4; ++i) {
    queue.addOperationWithBlock([allStarted, &finished] {
      allStarted->arrive_and_wait();
      ++finished;
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(finished, 4);
}

TEST(OperationQueueTest, SuspendedQueueStartsNothingUntilResumed) {
  OperationQueue queue;
  queue.setName("test.operations");
  EXPECT_EQ(queue.name(), "test.operations");
  queue.setSuspended(true);
  EXPECT_TRUE(queue.isSuspended());
  Semaphore ran;
  for (int i = 0; i < 3; ++i) queue.addOperationWithBlock([ran]() mutable { ran.signal(); });
  EXPECT_FALSE(ran.wait(kQuietPeriod));
  EXPECT_EQ(queue.operationCount(), 3u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ran.wait(0));
}

TEST(OperationQueueTest, CancelAllFinishesPendingOperationsWithoutRunningThem) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  Log log;
  Semaphore firstStarted;
  Semaphore release;
  std::vector<std::shared_ptr<Operation>> operations;
  operations.push_back(std::make_shared<Operation>([&] {
    firstStarted.signal();
    release.wait();
    log.add(operations[0]->isCancelled() ? "first saw cancel" : "first missed cancel");
  }));
  for (int i = 1; i < 4; ++i) {
    operations.push_back(
        std::make_shared<Operation>([&log, i] { log.add("ran " + std::to_string(i)); }));
  }
  for (int i = 0; i < 4; ++i) {
    operations[i]->setCompletionBlock([&log, i] { log.add("completed " + std::to_string(i)); });
    queue.addOperation(operations[i]);
  }
  ASSERT_TRUE(firstStarted.wait(kTimeout));
  queue.cancelAllOperations();
  release.signal();
  queue.waitUntilAllOperationsAreFinished();

  auto events = log.events();
  EXPECT_THAT(events, ::testing::UnorderedElementsAre("first saw cancel", "completed 0",
                                                      "completed 1", "completed 2", "completed 3"));
  for (const auto& operation : operations) {
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
    EXPECT_FALSE(operation->isExecuting());
  }
}

TEST(OperationTest, StatesFollowTheOperationThroughItsLife) {
  std::shared_ptr<Operation> operation;
  bool executingInside = false;
  int completions = 0;
  operation = std::make_shared<Operation>([&] { executingInside = operation->isExecuting(); });
  operation->setCompletionBlock([&] {
    ++completions;
    EXPECT_TRUE(operation->isFinished());
  });
  EXPECT_TRUE(operation->isReady());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());

  operation->start();
  EXPECT_TRUE(executingInside);
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_TRUE(operation->isFinished());
  operation->waitUntilFinished();
  operation->start();
  operation->finish();
  EXPECT_EQ(completions, 1);

  OperationQueue queue;
  EXPECT_THROW(queue.addOperation(operation), Exception);
  auto pending = std::make_shared<Operation>();
  queue.setSuspended(true);
  queue.addOperation(pending);
  EXPECT_THROW(queue.addOperation(pending), Exception);
  queue.setSuspended(false);
  pending->waitUntilFinished();
}

// Stays executing after main() until the test calls finish(), like an upload waiting for
// its response.
class AsynchronousOperation : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  void main() override { started.signal(); }
  Semaphore started;
};

TEST(OperationQueueTest, AsynchronousOperationHoldsItsSlotUntilItFinishes) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  auto upload = std::make_shared<AsynchronousOperation>();
  Semaphore nextRan;
  queue.addOperation(upload);
  queue.addOperationWithBlock([nextRan]() mutable { nextRan.signal(); });
  ASSERT_TRUE(upload->started.wait(kTimeout));
  EXPECT_FALSE(nextRan.wait(kQuietPeriod));
  EXPECT_TRUE(upload->isExecuting());
  EXPECT_EQ(queue.operationCount(), 2u);
  upload->finish();
  EXPECT_TRUE(nextRan.wait(kTimeout));
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(upload->isFinished());
}

TEST(OperationQueueTest, DependenciesHoldOperationsBackAcrossQueues) {
  OperationQueue first;
  OperationQueue second;
  first.setSuspended(true);
  Log log;
  auto prepare = std::make_shared<Operation>([&] { log.add("prepare"); });
  auto use = std::make_shared<Operation>([&] { log.add("use"); });
  auto cancelled = std::make_shared<Operation>([&] { log.add("cancelled ran"); });
  use->addDependency(prepare);
  cancelled->addDependency(prepare);
  EXPECT_EQ(use->dependencies().size(), 1u);

  second.addOperation(use);
  second.addOperation(cancelled);
  first.addOperation(prepare);
  EXPECT_FALSE(use->isReady());
  // A cancelled operation no longer waits for its dependencies.
  cancelled->cancel();
  cancelled->waitUntilFinished();
  EXPECT_TRUE(log.events().empty());
  EXPECT_FALSE(use->isReady());
  first.setSuspended(false);
  second.waitUntilAllOperationsAreFinished();
  EXPECT_THAT(log.events(), ElementsAre("prepare", "use"));
}

TEST(OperationQueueTest, OperationsStillRunAfterTheQueueIsDestroyed) {
  Semaphore release;
  auto ran = std::make_shared<std::atomic<int>>(0);
  auto last = std::make_shared<Operation>([ran] { ++*ran; });
  {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.addOperationWithBlock([release, ran]() mutable {
      release.wait();
      ++*ran;
    });
    for (int i = 0; i < 3; ++i) queue.addOperationWithBlock([ran] { ++*ran; });
    queue.addOperation(last);
  }
  release.signal();
  last->waitUntilFinished();
  EXPECT_EQ(*ran, 5);
}

}  // namespace
}  // namespace platform
