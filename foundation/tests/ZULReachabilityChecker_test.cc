#include "foundation/ZULReachabilityChecker.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/tests/log_capture.h"
#include "platform/dispatch.h"
#include "tests/support/main_queue.h"

namespace {

using platform::NetworkReachabilityFlags;

class RecordingDelegate : public ZULReachabilityDelegate {
 public:
  void reachability(const std::shared_ptr<ZULReachabilityChecker>& checker,
                    ZULReachabilityStatus status) override {
    checkers.push_back(checker.get());
    statuses.push_back(status);
  }
  std::vector<ZULReachabilityChecker*> checkers;
  std::vector<ZULReachabilityStatus> statuses;
};

// A stand-in service: remembers what the checker asked of it and can refuse each step.
struct FakeReachability {
  bool createFails = false;
  bool setCallbackFails = false;
  bool scheduleFails = false;
  std::vector<std::string> calls{};
  std::string host{};
  platform::NetworkReachabilityCallBack callback = nullptr;
  void* info = nullptr;
  platform::QueuePtr runLoop{};
  int handle = 0;

  void report(NetworkReachabilityFlags flags) { callback(ref(), flags, info); }
  platform::NetworkReachabilityRef ref() {
    return reinterpret_cast<platform::NetworkReachabilityRef>(&handle);
  }
};
FakeReachability* fake = nullptr;

const ZULReachabilityApi kFakeApi = {
    [](const char* host) -> platform::NetworkReachabilityRef {
      fake->calls.push_back("create");
      fake->host = host;
      return fake->createFails ? nullptr : fake->ref();
    },
    [](platform::NetworkReachabilityRef target, platform::NetworkReachabilityCallBack callback,
       const platform::NetworkReachabilityContext* context) {
      EXPECT_EQ(target, fake->ref());
      fake->calls.push_back("setCallback");
      fake->callback = callback;
      fake->info = context->info;
      return !fake->setCallbackFails;
    },
    [](platform::NetworkReachabilityRef target, platform::QueuePtr runLoop) {
      EXPECT_EQ(target, fake->ref());
      fake->calls.push_back("schedule");
      fake->runLoop = runLoop;
      return !fake->scheduleFails;
    },
    [](platform::NetworkReachabilityRef target, const platform::QueuePtr& runLoop) {
      EXPECT_EQ(target, fake->ref());
      EXPECT_EQ(runLoop, fake->runLoop);
      fake->calls.push_back("unschedule");
      return true;
    },
    [](platform::NetworkReachabilityRef target) {
      EXPECT_EQ(target, fake->ref());
      fake->calls.push_back("release");
    },
};

using Calls = std::vector<std::string>;

class ZULReachabilityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &service_;
    ZULLoggerForceDebugLevel();
    checker_ = ZULReachabilityChecker::initWithReachabilityDelegate(delegate_, "service.test");
    ASSERT_NE(checker_, nullptr);
    checker_->setReachabilityApi(&kFakeApi);
  }
  void TearDown() override {
    checker_.reset();
    fake = nullptr;
  }

  LogCapture log_;
  FakeReachability service_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<ZULReachabilityChecker> checker_;
};

TEST(ZULReachabilityCheckerStatus, DerivesTheStatusFromTheFlags) {
  const struct {
    NetworkReachabilityFlags flags;
    ZULReachabilityStatus status;
  } cases[] = {
      {0x0, ZULReachabilityStatusDisconnected},  {0x2, ZULReachabilityStatusConnected},
      {0x6, ZULReachabilityStatusDisconnected},  {0xE, ZULReachabilityStatusConnected},
      {0x26, ZULReachabilityStatusConnected},    {0x36, ZULReachabilityStatusDisconnected},
      {0x1E, ZULReachabilityStatusDisconnected}, {0x30002, ZULReachabilityStatusConnected},
      {0x3C, ZULReachabilityStatusDisconnected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(ZULReachabilityChecker::statusForFlags(c.flags), c.status);
  }
}

TEST(ZULReachabilityCheckerCreation, EmptyHostIsRefused) {
  LogCapture log;
  EXPECT_EQ(ZULReachabilityChecker::initWithReachabilityDelegate(nullptr, ""), nullptr);
  EXPECT_TRUE(log.contains("[ZULReachability][I-REA902001] Invalid host specified"));
}

TEST_F(ZULReachabilityCheckerTest, StartsOnTheMainRunLoopAndStopsCleanly) {
  EXPECT_EQ(checker_->host(), "service.test");
  EXPECT_EQ(checker_->reachabilityDelegate(), delegate_);
  EXPECT_FALSE(checker_->isActive());

  ASSERT_TRUE(checker_->start());
  EXPECT_TRUE(checker_->isActive());
  EXPECT_EQ(service_.calls, (Calls{"create", "setCallback", "schedule"}));
  EXPECT_EQ(service_.host, "service.test");
  EXPECT_EQ(service_.info, checker_.get());
  EXPECT_EQ(service_.runLoop, platform::Queue::main());
  EXPECT_TRUE(log_.contains("[ZULReachability][I-REA902003] Monitoring the network status"));

  ASSERT_TRUE(checker_->start());
  EXPECT_EQ(service_.calls.size(), 3u);

  service_.report(0x2);
  EXPECT_EQ(checker_->reachabilityStatus(), ZULReachabilityStatusConnected);
  checker_->stop();
  EXPECT_FALSE(checker_->isActive());
  EXPECT_EQ(checker_->reachabilityStatus(), ZULReachabilityStatusUnknown);
  EXPECT_EQ(service_.calls, (Calls{"create", "setCallback", "schedule", "unschedule", "release"}));
  checker_->stop();
  EXPECT_EQ(service_.calls.size(), 5u);
}

TEST_F(ZULReachabilityCheckerTest, FailedStartsReleaseTheHandle) {
  const struct {
    bool createFails, setCallbackFails, scheduleFails;
    Calls calls;
    bool logged;
  } cases[] = {
      {true, false, false, {"create"}, false},
      {false, true, false, {"create", "setCallback", "release"}, true},
      {false, false, true, {"create", "setCallback", "schedule", "release"}, true},
  };
  for (const auto& c : cases) {
    service_ = FakeReachability{.createFails = c.createFails,
                                .setCallbackFails = c.setCallbackFails,
                                .scheduleFails = c.scheduleFails};
    LogCapture log;
    EXPECT_FALSE(checker_->start());
    EXPECT_FALSE(checker_->isActive());
    EXPECT_EQ(service_.calls, c.calls);
    EXPECT_EQ(log.contains("[ZULReachability][I-REA902002] Failed to start reachability handle"),
              c.logged);
    EXPECT_FALSE(log.contains("I-REA902003"));
  }
}

TEST_F(ZULReachabilityCheckerTest, TellsTheDelegateOnlyOfChanges) {
  ASSERT_TRUE(checker_->start());
  for (NetworkReachabilityFlags flags : {0x2u, 0x2u, 0xEu, 0x0u, 0x6u, 0x36u, 0x2u})
    service_.report(flags);
  EXPECT_EQ(delegate_->statuses,
            (std::vector<ZULReachabilityStatus>{ZULReachabilityStatusConnected,
                                                ZULReachabilityStatusDisconnected,
                                                ZULReachabilityStatusConnected}));
  EXPECT_EQ(delegate_->checkers.front(), checker_.get());
  EXPECT_TRUE(log_.contains(
      "[ZULReachability][I-REA902004] Network status has changed. Code:2, status:Connected"));
  EXPECT_TRUE(log_.contains(
      "[ZULReachability][I-REA902004] Network status has changed. Code:1, status:Disconnected"));

  // Stopping forgets the status, so the same flags count as a change once started again.
  checker_->stop();
  ASSERT_TRUE(checker_->start());
  service_.report(0x2);
  EXPECT_EQ(delegate_->statuses.size(), 4u);
  EXPECT_EQ(delegate_->statuses.back(), ZULReachabilityStatusConnected);
}

TEST_F(ZULReachabilityCheckerTest, ApiCannotChangeWhileRunning) {
  ASSERT_TRUE(checker_->start());
  checker_->setReachabilityApi(ZULDefaultReachabilityApi());
  EXPECT_EQ(checker_->reachabilityApi(), &kFakeApi);
  EXPECT_TRUE(log_.contains("[ZULReachability][I-REA902000] Cannot change reachability API while "
                            "reachability is running. Call stop first."));
  checker_->stop();
  checker_->setReachabilityApi(ZULDefaultReachabilityApi());
  EXPECT_EQ(checker_->reachabilityApi(), ZULDefaultReachabilityApi());
}

TEST_F(ZULReachabilityCheckerTest, DestructionStopsWithoutTellingTheDelegate) {
  ASSERT_TRUE(checker_->start());
  service_.report(0x2);
  checker_.reset();
  EXPECT_EQ(service_.calls, (Calls{"create", "setCallback", "schedule", "unschedule", "release"}));
  EXPECT_EQ(delegate_->statuses.size(), 1u);
}

TEST_F(ZULReachabilityCheckerTest, DelegateIsHeldWeakly) {
  ASSERT_TRUE(checker_->start());
  delegate_.reset();
  EXPECT_EQ(checker_->reachabilityDelegate(), nullptr);
  service_.report(0x2);
  EXPECT_EQ(checker_->reachabilityStatus(), ZULReachabilityStatusConnected);
}

TEST(ZULReachabilityCheckerDefaultService, ReportsALoopbackHostConnected) {
  const auto delegate = std::make_shared<RecordingDelegate>();
  const auto checker = ZULReachabilityChecker::initWithReachabilityDelegate(delegate, "127.0.0.1");
  ASSERT_NE(checker, nullptr);
  EXPECT_EQ(checker->reachabilityApi(), ZULDefaultReachabilityApi());
  ASSERT_TRUE(checker->start());
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !delegate->statuses.empty(); }));
  EXPECT_EQ(delegate->statuses, std::vector<ZULReachabilityStatus>{ZULReachabilityStatusConnected});
  EXPECT_EQ(delegate->checkers.front(), checker.get());
  checker->stop();
}

}  // namespace
