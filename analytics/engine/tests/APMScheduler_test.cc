#include "analytics/engine/APMScheduler.h"

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/dispatch.h"

namespace {

using analytics_test::ScopedMonitor;

class APMSchedulerTest : public testing::Test {
 protected:
  // The core's monitor is made first, so that the recording one stays in its place.
  void SetUp() override {
    APMMeasurement::load();
    monitor_.emplace();
  }
  void TearDown() override { monitor_.reset(); }

  std::vector<analytics_test::RecordingMonitor::Line> lines() const { return (*monitor_)->lines(); }

  std::optional<ScopedMonitor> monitor_;
  APMScheduler scheduler_{"com.rerora.raru.worker"};
};

TEST_F(APMSchedulerTest, WorkerBlocksRunOneAtATimeOnTheWorkerQueueInOrder) {
  EXPECT_EQ(scheduler_.workerQueue()->label(), "com.rerora.raru.worker");
  EXPECT_EQ(scheduler_.workerQueue()->kind(), platform::Queue::Kind::Serial);

  std::vector<int> order;
  std::atomic<int> running{0};
  bool overlapped = false;
  bool offQueue = false;
  for (int i = 0; i < 40; ++i) {
    scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:" + std::to_string(i), [&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      if (!scheduler_.workerQueue()->isCurrent()) offQueue = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  std::size_t seenBySync = 0;
  scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:1762",
                                              [&] { seenBySync = order.size(); });

  EXPECT_EQ(seenBySync, 40u);
  ASSERT_EQ(order.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(offQueue);
  EXPECT_TRUE(lines().empty());
}

TEST_F(APMSchedulerTest, EmptyBlocksAreLoggedWithTheirIdentifierAndNothingIsDispatched) {
  scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:611", {});
  scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:1034", {});
  // Nothing was put on the queue: a block handed on afterwards is the first to run there.
  bool ranFirst = false;
  scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:1584", [&] { ranFirst = true; });
  EXPECT_TRUE(ranFirst);

  const auto logged = lines();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].level, 1);
  EXPECT_EQ(logged[0].messageCode, 30005);
  EXPECT_EQ(logged[0].message,
            "Nil block dispatched asynchronously on worker queue. Block ID=APMMeasurement:611.");
  EXPECT_EQ(logged[1].level, 1);
  EXPECT_EQ(logged[1].messageCode, 30002);
  EXPECT_EQ(logged[1].message,
            "Nil block dispatched synchronously on worker queue. Block ID=APMMeasurement:1034.");
}

TEST_F(APMSchedulerTest, SynchronousDispatchFromTheWorkerQueueRunsTheBlockInPlace) {
  std::vector<std::string> steps;
  platform::Semaphore done;
  scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:1", [&] {
    steps.push_back("outer");
    scheduler_.dispatchSyncOnWorkerQueueBlockID("APMMeasurement:2", [&] {
      steps.push_back(scheduler_.workerQueue()->isCurrent() ? "inner on worker"
                                                            : "inner elsewhere");
    });
    steps.push_back("after");
    done.signal();
  });
  // A worker waiting on itself would never signal; the wait ends the test instead of hanging.
  ASSERT_TRUE(done.wait(30));
  EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner on worker", "after"}));
  EXPECT_TRUE(lines().empty());
}

TEST_F(APMSchedulerTest, BackgroundCheckLogsOnlyOnTheMainThread) {
  struct Case {
    std::string methodName;
    std::string message;
  } const cases[] = {
      {"", "Method <empty method name> should execute on background thread"},
      {"uploadData", "Method uploadData should execute on background thread"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(c.methodName));
    // Not through a synchronous dispatch: its block runs on the calling thread, here the
    // main one.
    bool onWorker = false;
    platform::Semaphore done;
    scheduler_.scheduleOnWorkerQueueBlockID("APMMeasurement:3", [&] {
      onWorker = APMScheduler::checkOnBackgroundThreadWithMethodName(c.methodName);
      done.signal();
    });
    ASSERT_TRUE(done.wait(30));
    EXPECT_TRUE(onWorker);
  }

  const auto logged = lines();
  ASSERT_EQ(logged.size(), 2u);
  for (std::size_t i = 0; i < logged.size(); ++i) {
    EXPECT_EQ(logged[i].level, 1);
    EXPECT_EQ(logged[i].messageCode, 30001);
    EXPECT_EQ(logged[i].message, cases[i].message);
  }
}

}  // namespace
