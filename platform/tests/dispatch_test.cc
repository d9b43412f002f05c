#include "platform/dispatch.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/dispatch_internal.h"
#include "platform/operation_queue.h"
#include "platform/run_loop.h"
#include "tests/support/child_process.h"
#include "tests/support/main_queue.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

// Generous: a passing test never comes near it.
constexpr double kTimeout = 10;
// How long a test watches for something that must not happen.
constexpr double kQuietPeriod = 0.05;
// Generous for tests that start hundreds of workers, which takes seconds under
// ThreadSanitizer.
constexpr double kManyWorkersTimeout = 30;

struct QueueKind {
  const char* name;
  std::function<QueuePtr()> make;
};

// Keeps the test names readable where a parameter is printed.
void PrintTo(const QueueKind& kind, std::ostream* out) { *out << kind.name; }

std::string kindName(const ::testing::TestParamInfo<QueueKind>& info) { return info.param.name; }

const QueueKind kOwnQueues[] = {
    {"Serial", [] { return Queue::serial("test.serial"); }},
    {"Concurrent", [] { return Queue::concurrent("test.concurrent"); }},
};

TEST(SerialQueueTest, RunsTasksOneAtATimeInSubmissionOrder) {
  auto queue = Queue::serial("test.serial");
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  constexpr int kTasks = 200;
  for (int i = 0; i < kTasks; ++i) {
    queue->async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      std::this_thread::yield();
      running.fetch_sub(1);
    });
  }
  queue->sync([&] { order.push_back(kTasks); });
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), kTasks + 1u);
  for (int i = 0; i <= kTasks; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, SyncRunsOnTheCallingThreadAfterEarlierTasks) {
  auto queue = Queue::serial("test.serial");
  Semaphore gate;
  std::vector<std::string> order;
  queue->async([&, gate]() mutable {
    gate.wait();
    order.push_back("async");
  });
  std::thread opener([gate]() mutable { gate.signal(); });
  std::thread::id syncThread;
  queue->sync([&] {
    order.push_back("sync");
    syncThread = std::this_thread::get_id();
    EXPECT_TRUE(RunLoop::isMainThread());
  });
  opener.join();
  EXPECT_THAT(order, ElementsAre("async", "sync"));
  EXPECT_EQ(syncThread, std::this_thread::get_id());
}

class QueueKindTest : public ::testing::TestWithParam<QueueKind> {};

// Each sync below would deadlock if it waited for the queue the caller already holds.
TEST_P(QueueKindTest, SyncOntoAQueueTheCallerHoldsRunsInline) {
  auto outer = GetParam().make();
  auto other = Queue::serial("test.other");
  std::vector<std::string> trace;
  auto nestedSyncs = [&] {
    trace.push_back("outer");
    outer->sync([&] { trace.push_back("outer again"); });
    outer->barrierSync([&] { trace.push_back("outer barrier"); });
    other->sync([&] {
      EXPECT_TRUE(outer->isCurrent());
      EXPECT_TRUE(other->isCurrent());
      EXPECT_EQ(Queue::currentLabel(), "test.other");
      outer->sync([&] { trace.push_back("back on outer"); });
    });
    EXPECT_FALSE(other->isCurrent());
  };
  outer->sync(nestedSyncs);

  Semaphore done;
  outer->async([&] {
    nestedSyncs();
    done.signal();
  });
  ASSERT_TRUE(done.wait(kTimeout));
  EXPECT_THAT(trace, ElementsAre("outer", "outer again", "outer barrier", "back on outer", "outer",
                                 "outer again", "outer barrier", "back on outer"));
}

TEST_P(QueueKindTest, SuspendedQueueHoldsTasksUntilEveryResume) {
  auto queue = GetParam().make();
  queue->suspend();
  queue->suspend();
  Semaphore ran;
  queue->async([ran]() mutable { ran.signal(); });
  EXPECT_FALSE(ran.wait(kQuietPeriod));
  queue->resume();
  EXPECT_FALSE(ran.wait(kQuietPeriod));
  queue->resume();
  EXPECT_TRUE(ran.wait(kTimeout));
}

TEST_P(QueueKindTest, SyncOntoASuspendedQueueWaitsForResume) {
  auto queue = GetParam().make();
  queue->suspend();
  Semaphore returned;
  std::thread caller([&] {
    queue->sync([] {});
    returned.signal();
  });
  EXPECT_FALSE(returned.wait(kQuietPeriod));
  queue->resume();
  EXPECT_TRUE(returned.wait(kTimeout));
  caller.join();
}

TEST_P(QueueKindTest, PendingTasksRunAfterTheLastReferenceIsDropped) {
  auto queue = GetParam().make();
  std::weak_ptr<Queue> weak = queue;
  Semaphore gate;
  Group group;
  auto count = std::make_shared<std::atomic<int>>(0);
  group.async(queue, [gate]() mutable { gate.wait(); });
  // Serial: behind the blocked task; concurrent: behind a barrier that waits for it.
  queue->barrierAsync([count] { ++*count; });
  for (int i = 0; i < 10; ++i) group.async(queue, [count] { ++*count; });
  queue->after(1e-6, [count] { ++*count; });
  queue.reset();
  EXPECT_FALSE(weak.expired());
  gate.signal();
  ASSERT_TRUE(group.wait(kTimeout));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((*count < 12 || !weak.expired()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(*count, 12);
  EXPECT_TRUE(weak.expired());
}

INSTANTIATE_TEST_SUITE_P(OwnQueues, QueueKindTest, ::testing::ValuesIn(kOwnQueues), kindName);

class ParallelQueueTest : public ::testing::TestWithParam<QueueKind> {};

// Each task waits until all have started, so they only finish if they ran side by side.
TEST_P(ParallelQueueTest, RunsTasksInParallel) {
  auto queue = GetParam().make();
  constexpr int kTasks = 4;
  auto allStarted = std::make_shared<std::latch>(kTasks);
  Group group;
  for (int i = 0; i < kTasks; ++i)
    group.async(queue, [allStarted] { allStarted->arrive_and_wait(); });
  EXPECT_TRUE(group.wait(kTimeout));
}

INSTANTIATE_TEST_SUITE_P(
    ConcurrentQueues, ParallelQueueTest,
    ::testing::Values(QueueKind{"Concurrent", [] { return Queue::concurrent("test.concurrent"); }},
                      QueueKind{"Global", [] { return Queue::global(Queue::QoS::Utility); }}),
    kindName);

TEST(ConcurrentQueueTest, BarrierWaitsForEarlierTasksAndHoldsBackLaterOnes) {
  auto queue = Queue::concurrent("test.concurrent");
  std::mutex mutex;
  std::vector<std::string> events;
  auto record = [&](std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  };
  std::atomic<int> running{0};
  Semaphore readersStarted;
  Semaphore releaseReaders;
  Semaphore barrierStarted;
  Semaphore laterStarted;
  for (int i = 0; i < 2; ++i) {
    queue->async([&] {
      ++running;
      readersStarted.signal();
      releaseReaders.wait();
      record("reader");
      --running;
    });
  }
  ASSERT_TRUE(readersStarted.wait(kTimeout));
  ASSERT_TRUE(readersStarted.wait(kTimeout));
  queue->barrierAsync([&] {
    barrierStarted.signal();
    record("barrier sees " + std::to_string(running.load()) + " running");
    EXPECT_FALSE(laterStarted.wait(kQuietPeriod));
    record("barrier done");
  });
  queue->async([&] {
    laterStarted.signal();
    record("later");
  });
  EXPECT_FALSE(barrierStarted.wait(kQuietPeriod));
  releaseReaders.signal();
  releaseReaders.signal();
  queue->barrierSync([&] { record("barrier sync sees " + std::to_string(running.load())); });
  EXPECT_THAT(events, ElementsAre("reader", "reader", "barrier sees 0 running", "barrier done",
                                  "later", "barrier sync sees 0"));
}

TEST(QueueLabelTest, CurrentLabelNamesTheQueueRunningTheCaller) {
  EXPECT_EQ(Queue::currentLabel(), "main-thread");
  EXPECT_EQ(Queue::main()->label(), "main-thread");
  EXPECT_TRUE(Queue::main()->isCurrent());

  auto queue = Queue::serial("com.example.worker");
  EXPECT_EQ(queue->label(), "com.example.worker");
  EXPECT_FALSE(queue->isCurrent());
  queue->sync([&] {
    EXPECT_EQ(Queue::currentLabel(), "com.example.worker");
    EXPECT_TRUE(queue->isCurrent());
  });

  std::string labelInTask;
  bool mainIsCurrentInTask = true;
  queue->async([&] {
    labelInTask = Queue::currentLabel();
    mainIsCurrentInTask = Queue::main()->isCurrent();
  });
  queue->sync([] {});
  EXPECT_EQ(labelInTask, "com.example.worker");
  EXPECT_FALSE(mainIsCurrentInTask);

  std::string labelOnPlainThread = "unset";
  std::thread([&] { labelOnPlainThread = Queue::currentLabel(); }).join();
  EXPECT_EQ(labelOnPlainThread, "");
}

TEST(QueueSpecificTest, ValuesAreReadBackFromTasksOfTheirQueue) {
  static const char kKey = 0;
  auto valueAt = [](const std::shared_ptr<void>& value) {
    return value ? *std::static_pointer_cast<int>(value) : -1;
  };
  auto first = Queue::serial("test.first");
  auto second = Queue::concurrent("test.second");
  first->setSpecific(&kKey, std::make_shared<int>(1));
  second->setSpecific(&kKey, std::make_shared<int>(2));
  EXPECT_EQ(valueAt(first->specific(&kKey)), 1);
  EXPECT_EQ(Queue::getSpecific(&kKey), nullptr);

  first->sync([&] {
    EXPECT_EQ(valueAt(Queue::getSpecific(&kKey)), 1);
    second->sync([&] { EXPECT_EQ(valueAt(Queue::getSpecific(&kKey)), 2); });
  });
  int seenInTask = 0;
  second->async([&] { seenInTask = valueAt(Queue::getSpecific(&kKey)); });
  second->barrierSync([] {});
  EXPECT_EQ(seenInTask, 2);

  first->setSpecific(&kKey, nullptr);
  first->sync([&] { EXPECT_EQ(Queue::getSpecific(&kKey), nullptr); });

  Queue::main()->setSpecific(&kKey, std::make_shared<int>(3));
  EXPECT_EQ(valueAt(Queue::getSpecific(&kKey)), 3);
  Queue::main()->setSpecific(&kKey, nullptr);
}

// Delayed blocks and timers on a manual clock; every check flushes the queue first, since
// advance() only hands due work to the queue.
class ManualTimeTest : public ::testing::Test {
 protected:
  void advance(double seconds) {
    clock_.advance(seconds);
    queue_->sync([] {});
  }

  testing_support::ManualClockScope clock_;
  QueuePtr queue_ = Queue::serial("test.timers");
};

TEST_F(ManualTimeTest, AfterRunsOnceTheClockReachesTheDelay) {
  int fired = 0;
  queue_->after(1.0, [&] { ++fired; });
  advance(0.9);
  EXPECT_EQ(fired, 0);
  advance(0.1);
  EXPECT_EQ(fired, 1);
  advance(100);
  EXPECT_EQ(fired, 1);
}

TEST_F(ManualTimeTest, DueBlocksRunInDeadlineOrder) {
  std::vector<std::string> order;
  queue_->after(3, [&] { order.push_back("3"); });
  queue_->after(1, [&] { order.push_back("1"); });
  queue_->after(2, [&] { order.push_back("2a"); });
  queue_->after(2, [&] { order.push_back("2b"); });
  queue_->after(0, [&] { order.push_back("0"); });
  queue_->after(-1, [&] { order.push_back("-1"); });
  queue_->sync([] {});
  EXPECT_THAT(order, ElementsAre("0", "-1"));
  advance(5);
  EXPECT_THAT(order, ElementsAre("0", "-1", "1", "2a", "2b", "3"));
}

TEST(ClockInstallTest, PendingDelaysKeepTheirRemainingTimeOnTheNewClock) {
  auto queue = Queue::serial("test.timers");
  int fired = 0;
  queue->after(10, [&] { ++fired; });
  // Up to a second of real time may pass before the manual clock takes over.
  testing_support::ManualClockScope clock;
  clock.advance(9);
  queue->sync([] {});
  EXPECT_EQ(fired, 0);
  clock.advance(1);
  queue->sync([] {});
  EXPECT_EQ(fired, 1);
}

TEST(AfterTest, RunsNoSoonerThanTheDelayOnTheSystemClock) {
  auto start = std::chrono::steady_clock::now();
  Semaphore fired;
  std::chrono::steady_clock::time_point firedAt;
  Queue::global()->after(0.02, [&] {
    firedAt = std::chrono::steady_clock::now();
    fired.signal();
  });
  ASSERT_TRUE(fired.wait(kTimeout));
  EXPECT_GE(firedAt - start, std::chrono::milliseconds(20));
}

class TimerTest : public ManualTimeTest {
 protected:
  // Suspended, as timers start; counts firings in fired.
  std::shared_ptr<TimerSource> makeTimer(double start, std::optional<double> interval) {
    auto timer = TimerSource::create(queue_);
    timer->setEventHandler([this] { ++fired; });
    timer->setTimer(start, interval, 0.1);
    return timer;
  }

  int fired = 0;
};

TEST_F(TimerTest, OneShotTimerFiresOnceAtItsStart) {
  auto timer = makeTimer(1, std::nullopt);
  timer->resume();
  advance(0.9);
  EXPECT_EQ(fired, 0);
  advance(0.1);
  EXPECT_EQ(fired, 1);
  advance(10);
  EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, RepeatingTimerFiresEveryInterval) {
  auto timer = makeTimer(1, 2);
  timer->resume();
  const struct {
    double advance;
    int fired;
  } steps[] = {{0.9, 0}, {0.1, 1}, {1.9, 1}, {0.1, 2}, {2, 3}, {2, 4}};
  for (const auto& step : steps) {
    advance(step.advance);
    EXPECT_EQ(fired, step.fired) << "after advancing " << step.advance;
  }
}

TEST_F(TimerTest, TimerThatMissedIntervalsFiresOnceAndCountsTheNextFromNow) {
  auto timer = makeTimer(1, 1);
  timer->resume();
  advance(5.5);
  EXPECT_EQ(fired, 1);
  advance(0.9);
  EXPECT_EQ(fired, 1);
  advance(0.1);
  EXPECT_EQ(fired, 2);
}

TEST_F(TimerTest, CancelStopsTheTimerAndRunsTheCancelHandlerOnItsQueue) {
  auto timer = makeTimer(1, 1);
  int cancelHandlerRuns = 0;
  std::string cancelHandlerLabel;
  timer->setCancelHandler([&] {
    ++cancelHandlerRuns;
    cancelHandlerLabel = Queue::currentLabel();
  });
  timer->resume();
  advance(1);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isCancelled());
  timer->cancel();
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  advance(5);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(cancelHandlerRuns, 1);
  EXPECT_EQ(cancelHandlerLabel, "test.timers");
}

TEST_F(TimerTest, TimerStartsSuspendedAndDeliversFiringsMissedWhileSuspendedOnce) {
  auto timer = makeTimer(1, 1);
  advance(3);
  EXPECT_EQ(fired, 0);
  timer->resume();
  queue_->sync([] {});
  EXPECT_EQ(fired, 1);
  timer->suspend();
  advance(3);
  EXPECT_EQ(fired, 1);
  timer->resume();
  queue_->sync([] {});
  EXPECT_EQ(fired, 2);
  advance(1);
  EXPECT_EQ(fired, 3);
}

TEST_F(TimerTest, SetTimerAgainReplacesTheSchedule) {
  auto timer = makeTimer(1, std::nullopt);
  timer->resume();
  advance(0.5);
  timer->setTimer(1, std::nullopt);
  advance(0.6);
  EXPECT_EQ(fired, 0);
  advance(0.4);
  EXPECT_EQ(fired, 1);
}

TEST_F(TimerTest, TimerStartingNowFiresWithoutAdvancing) {
  Semaphore firedNow;
  auto timer = TimerSource::create(queue_);
  timer->setEventHandler([firedNow]() mutable { firedNow.signal(); });
  timer->setTimer(0, 60);
  timer->resume();
  EXPECT_TRUE(firedNow.wait(kTimeout));
  timer->cancel();
}

TEST_F(TimerTest, DroppingTheLastReferenceStopsTheTimerWithoutItsCancelHandler) {
  auto timer = makeTimer(1, 1);
  bool cancelHandlerRan = false;
  timer->setCancelHandler([&] { cancelHandlerRan = true; });
  std::weak_ptr<TimerSource> weak = timer;
  timer->resume();
  advance(1);
  EXPECT_EQ(fired, 1);
  timer.reset();
  EXPECT_TRUE(weak.expired());
  advance(5);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(cancelHandlerRan);
}

TEST(SystemClockTimerTest, RepeatsInRealTime) {
  auto counter = std::make_shared<Semaphore>();
  auto timer = TimerSource::create(Queue::global());
  timer->setEventHandler([counter] { counter->signal(); });
  timer->setTimer(0.005, 0.005);
  timer->resume();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(counter->wait(kTimeout));
  timer->cancel();
}

TEST(GroupTest, NotifiesAndWakesWaitersOnceTheLastMemberLeaves) {
  Group group;
  Semaphore gate;
  Semaphore notified;
  std::string notifiedOn;
  auto serial = Queue::serial("test.notify");
  group.enter();
  group.async(Queue::concurrent("test.work"), [gate]() mutable { gate.wait(); });
  group.notify(serial, [&] {
    notifiedOn = Queue::currentLabel();
    notified.signal();
  });
  EXPECT_FALSE(group.wait(kQuietPeriod));
  gate.signal();
  EXPECT_FALSE(group.wait(kQuietPeriod));
  EXPECT_FALSE(notified.wait(0));
  group.leave();
  EXPECT_TRUE(group.wait(kTimeout));
  EXPECT_TRUE(group.wait());
  ASSERT_TRUE(notified.wait(kTimeout));
  EXPECT_EQ(notifiedOn, "test.notify");
}

TEST(GroupTest, NotifyOnAnEmptyGroupRunsAtOnce) {
  Group group;
  Semaphore notified;
  group.notify(Queue::global(), [notified]() mutable { notified.signal(); });
  EXPECT_TRUE(notified.wait(kTimeout));
  EXPECT_TRUE(group.wait(0));
}

TEST(GroupTest, WaitsForTasksSpreadOverManyQueues) {
  Group group;
  std::atomic<int> ran{0};
  const QueuePtr queues[] = {Queue::serial("test.a"), Queue::concurrent("test.b"),
                             Queue::global(Queue::QoS::Background),
                             Queue::global(Queue::QoS::UserInteractive)};
  for (int i = 0; i < 100; ++i) group.async(queues[i % 4], [&] { ++ran; });
  ASSERT_TRUE(group.wait(kTimeout));
  EXPECT_EQ(ran, 100);
}

TEST(SemaphoreTest, CountsSignalsAndTimesOutWithoutOne) {
  Semaphore semaphore(2);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0.02));
  semaphore.signal();
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0));
}

TEST(SemaphoreTest, SignalFromAnotherThreadWakesAWaiter) {
  Semaphore semaphore;
  std::thread signaller([semaphore]() mutable { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(kTimeout));
  signaller.join();
}

// What worker tasks block in, and what lets them all go.
struct BlockingWait {
  Task block;
  Task release;
};

struct BlockingWaitKind {
  const char* name;
  std::function<BlockingWait(int tasks)> make;
};

void PrintTo(const BlockingWaitKind& kind, std::ostream* out) { *out << kind.name; }

std::string blockingWaitName(const ::testing::TestParamInfo<BlockingWaitKind>& info) {
  return info.param.name;
}

// Syncs onto a queue held by a task that waits for the release (on a serial queue a barrier
// sync is a plain sync).
BlockingWait heldQueueWait(const QueuePtr& queue) {
  Semaphore gate;
  queue->barrierAsync([gate]() mutable { gate.wait(); });
  return {[queue] { queue->barrierSync([] {}); }, [gate]() mutable { gate.signal(); }};
}

const BlockingWaitKind kBlockingWaits[] = {
    {"Semaphore",
     [](int tasks) {
       Semaphore gate;
       return BlockingWait{[gate]() mutable { gate.wait(); },
                           [gate, tasks]() mutable {
                             for (int i = 0; i < tasks; ++i) gate.signal();
                           }};
     }},
    {"Group",
     [](int) {
       Group group;
       group.enter();
       return BlockingWait{[group]() mutable { group.wait(); },
                           [group]() mutable { group.leave(); }};
     }},
    // The main thread runs the syncs only once it pumps, after every task has started.
    {"MainQueueSync",
     [](int) {
       return BlockingWait{[] { Queue::main()->sync([] {}); }, [] {}};
     }},
    {"ConcurrentQueueBarrierSync",
     [](int) { return heldQueueWait(Queue::concurrent("test.held")); }},
    // The awaited operation itself needs a worker once its suspended queue lets it go.
    {"OperationWaitUntilFinished",
     [](int) {
       auto queue = std::make_shared<OperationQueue>();
       queue->setSuspended(true);
       auto operation = std::make_shared<Operation>([] {});
       queue->addOperation(operation);
       return BlockingWait{[operation] { operation->waitUntilFinished(); },
                           [queue] { queue->setSuspended(false); }};
     }},
    {"OperationQueueWaitUntilAllFinished",
     [](int) {
       auto queue = std::make_shared<OperationQueue>();
       queue->setSuspended(true);
       queue->addOperationWithBlock([] {});
       return BlockingWait{[queue] { queue->waitUntilAllOperationsAreFinished(); },
                           [queue] { queue->setSuspended(false); }};
     }},
    // Last: before workers counted as blocked here, this left the pool stuck for good.
    {"SerialQueueSync", [](int) { return heldQueueWait(Queue::serial("test.held")); }},
};

std::chrono::steady_clock::time_point deadlineIn(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

double secondsUntil(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}

// Waits for the semaphore to be signalled `count` times before the deadline; returns how many
// signals came.
int countSignals(Semaphore& semaphore, int count, std::chrono::steady_clock::time_point deadline) {
  int signals = 0;
  while (signals < count && semaphore.wait(secondsUntil(deadline))) ++signals;
  return signals;
}

class BlockedWorkerTest : public ::testing::TestWithParam<BlockingWaitKind> {};

// Twice as many tasks as workers may run at once all start while the first ones wait, so the
// work they wait for never lacks a thread.
TEST_P(BlockedWorkerTest, TasksKeepStartingWhileWorkersWait) {
  constexpr int kTasks = 128;
  BlockingWait wait = GetParam().make(kTasks);
  Semaphore started;
  auto done = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < kTasks; ++i) {
    Queue::global()->async([started, block = wait.block, done]() mutable {
      started.signal();
      block();
      ++*done;
    });
  }
  EXPECT_EQ(countSignals(started, kTasks, deadlineIn(kManyWorkersTimeout)), kTasks);
  wait.release();
  EXPECT_TRUE(
      testing_support::pumpMainQueueUntil([&] { return *done == kTasks; }, kManyWorkersTimeout));
}

INSTANTIATE_TEST_SUITE_P(Waits, BlockedWorkerTest, ::testing::ValuesIn(kBlockingWaits),
                         blockingWaitName);

// However many workers wait, the pool stops growing at its limit; the tasks beyond it run
// once waiting ones finish.
TEST(WorkerPoolTest, StopsGrowingAtItsLimit) {
  constexpr int kLimit = static_cast<int>(detail::kMaxWorkerThreads);
  constexpr int kTasks = kLimit + 32;
  Semaphore gate;
  Semaphore started;
  auto done = std::make_shared<std::atomic<int>>(0);
  for (int i = 0; i < kTasks; ++i) {
    Queue::global()->async([gate, started, done]() mutable {
      started.signal();
      gate.wait();
      ++*done;
    });
  }
  EXPECT_EQ(countSignals(started, kLimit, deadlineIn(kManyWorkersTimeout)), kLimit);
  EXPECT_FALSE(started.wait(kQuietPeriod));
  for (int i = 0; i < kTasks; ++i) gate.signal();
  EXPECT_TRUE(
      testing_support::pumpMainQueueUntil([&] { return *done == kTasks; }, kManyWorkersTimeout));
}

// The platform crashed on these; so do we, rather than carry on with broken counts.
TEST(DispatchMisuseDeathTest, UnbalancedResumeAndLeaveAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    const char* name;
    std::function<void()> misuse;
  } cases[] = {
      {"serial resume", [] { Queue::serial("test.serial")->resume(); }},
      {"concurrent resume", [] { Queue::concurrent("test.concurrent")->resume(); }},
      {"main resume", [] { Queue::main()->resume(); }},
      {"timer resume",
       [] {
         auto timer = TimerSource::create(Queue::global());
         timer->resume();
         timer->resume();
       }},
      {"group leave", [] { Group().leave(); }},
  };
  for (const auto& c : cases) {
    EXPECT_DEATH(c.misuse(), "without a matching") << c.name;
  }
}

// Leaves blocked workers, a running timer, pending delayed blocks and undrained main-queue
// tasks behind; the process must still exit at once and without sanitizer reports.
TEST(DispatchExitTest, DISABLED_BusyChild) {
  Semaphore never;
  Queue::serial("test.blocked")->async([never]() mutable { never.wait(); });
  Queue::concurrent("test.blocked")->async([never]() mutable { never.wait(); });
  auto timer = TimerSource::create(Queue::global());
  auto ticks = std::make_shared<std::atomic<long>>(0);
  timer->setEventHandler([ticks] { ++*ticks; });
  timer->setTimer(0, 0.001);
  timer->resume();
  static const auto* const keptRunning = new std::shared_ptr<TimerSource>(timer);
  (void)keptRunning;
  Queue::global()->after(3600, [] { std::abort(); });
  Queue::main()->async([] { std::abort(); });
  while (*ticks < 3) std::this_thread::yield();
}

TEST(DispatchExitTest, ProcessExitsPromptlyWithWorkLeftBehind) {
  auto result = testing_support::runTestInChildProcess("DispatchExitTest.DISABLED_BusyChild");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
}  // namespace platform
