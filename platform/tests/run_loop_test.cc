#include "platform/run_loop.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/support/main_queue.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using testing_support::pumpMainQueueUntil;

TEST(RunLoopTest, TheThreadTheProcessStartedOnIsTheMainThread) {
  EXPECT_TRUE(RunLoop::isMainThread());
  bool mainOnOtherThread = true;
  std::thread([&] { mainOnOtherThread = RunLoop::isMainThread(); }).join();
  EXPECT_FALSE(mainOnOtherThread);
}

TEST(RunLoopTest, SetMainThreadMovesTheMainQueueToTheCallingThread) {
  bool mainThere = false;
  std::string labelThere;
  std::size_t drainedThere = 0;
  int ran = 0;
  std::thread([&] {
    RunLoop::setMainThread();
    mainThere = RunLoop::isMainThread();
    labelThere = Queue::currentLabel();
    Queue::main()->async([&] { ++ran; });
    drainedThere = RunLoop::drain();
  }).join();
  EXPECT_TRUE(mainThere);
  EXPECT_EQ(labelThere, "main-thread");
  EXPECT_EQ(drainedThere, 1u);
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(RunLoop::isMainThread());
  RunLoop::setMainThread();
  EXPECT_TRUE(RunLoop::isMainThread());
}

TEST(RunLoopTest, DrainRunsReadyTasksAndThoseTheyEnqueueInOrder) {
  std::vector<int> order;
  std::string label;
  Queue::main()->async([&] {
    order.push_back(1);
    label = Queue::currentLabel();
    Queue::main()->async([&] { order.push_back(3); });
  });
  Queue::main()->async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(RunLoop::drain(), 3u);
  EXPECT_THAT(order, ElementsAre(1, 2, 3));
  EXPECT_EQ(label, "main-thread");
  EXPECT_EQ(RunLoop::drain(), 0u);
}

TEST(RunLoopTest, RunUntilPumpsTasksPostedFromOtherThreadsUntilThePredicateHolds) {
  int ran = 0;
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) Queue::main()->async([&] { ++ran; });
  });
  EXPECT_TRUE(RunLoop::runUntil([&] { return ran == 5; }, 10));
  poster.join();
}

TEST(RunLoopTest, RunUntilNoticesConditionsThatNeverTouchTheMainQueue) {
  std::atomic<bool> flag{false};
  std::thread setter([&] { flag = true; });
  EXPECT_TRUE(RunLoop::runUntil([&] { return flag.load(); }, 10));
  setter.join();
}

TEST(RunLoopTest, RunUntilGivesUpAfterTheTimeout) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunLoop::runUntil([] { return false; }, 0.05));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(RunLoopTest, RunForRunsWhatIsPosted) {
  int ran = 0;
  Queue::main()->async([&] { ++ran; });
  RunLoop::runFor(0.01);
  EXPECT_EQ(ran, 1);
}

TEST(RunLoopTest, WakeUpHookIsCalledOnEveryEnqueueUntilUnset) {
  std::atomic<int> wakeUps{0};
  RunLoop::setWakeUpHook([&] { ++wakeUps; });
  Queue::main()->async([] {});
  std::thread([] { Queue::main()->async([] {}); }).join();
  Queue::main()->after(0, [] {});
  EXPECT_EQ(wakeUps, 3);
  RunLoop::setWakeUpHook({});
  Queue::main()->async([] {});
  EXPECT_EQ(wakeUps, 3);
  EXPECT_EQ(RunLoop::drain(), 4u);
}

TEST(MainQueueTest, SyncFromTheMainThreadRunsInline) {
  bool ran = false;
  Queue::main()->sync([&] {
    ran = true;
    EXPECT_EQ(Queue::currentLabel(), "main-thread");
  });
  EXPECT_TRUE(ran);
  // Also while the main thread is inside another queue's sync.
  Queue::serial("test.other")->sync([&] { Queue::main()->sync([&] { ran = false; }); });
  EXPECT_FALSE(ran);
}

TEST(MainQueueTest, SyncFromAnotherThreadWaitsUntilTheMainThreadRunsIt) {
  std::atomic<bool> returned{false};
  bool ranOnMain = false;
  std::thread caller([&] {
    Queue::main()->sync([&] { ranOnMain = RunLoop::isMainThread(); });
    returned = true;
  });
  ASSERT_TRUE(pumpMainQueueUntil([&] { return returned.load(); }));
  caller.join();
  EXPECT_TRUE(ranOnMain);
}

TEST(MainQueueTest, MainSyncFromAQueueTaskCanSyncBackOntoThatQueue) {
  auto queue = Queue::serial("test.worker");
  std::atomic<bool> done{false};
  std::vector<std::string> labels;
  queue->async([&] {
    Queue::main()->sync([&] {
      labels.push_back(Queue::currentLabel());
      queue->sync([&] { labels.push_back(Queue::currentLabel()); });
    });
    done = true;
  });
  ASSERT_TRUE(pumpMainQueueUntil([&] { return done.load(); }));
  EXPECT_THAT(labels, ElementsAre("main-thread", "test.worker"));
}

TEST(MainQueueTest, SuspendedMainQueueHoldsItsTasks) {
  int ran = 0;
  Queue::main()->suspend();
  Queue::main()->async([&] { ++ran; });
  EXPECT_EQ(RunLoop::drain(), 0u);
  EXPECT_FALSE(RunLoop::runUntil([&] { return ran > 0; }, 0.02));
  Queue::main()->resume();
  EXPECT_EQ(RunLoop::drain(), 1u);
  EXPECT_EQ(ran, 1);
}

TEST(MainQueueTest, DelayedBlocksAndTimersRunWhenPumpedAfterTheirTime) {
  testing_support::ManualClockScope clock;
  int delayed = 0;
  int ticks = 0;
  Queue::main()->after(1, [&] { ++delayed; });
  auto timer = TimerSource::create(Queue::main());
  timer->setEventHandler([&] { ++ticks; });
  timer->setTimer(1, 1);
  timer->resume();
  clock.advance(0.5);
  RunLoop::drain();
  EXPECT_EQ(delayed, 0);
  clock.advance(0.5);
  EXPECT_EQ(delayed, 0);
  EXPECT_EQ(RunLoop::drain(), 2u);
  EXPECT_EQ(delayed, 1);
  EXPECT_EQ(ticks, 1);
  timer->cancel();
}

}  // namespace
}  // namespace platform
