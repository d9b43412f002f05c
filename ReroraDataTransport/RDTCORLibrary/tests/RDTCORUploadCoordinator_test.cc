#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "tests/support/main_queue.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using transport_testing::FakeStorage;
using transport_testing::FakeUploader;
using transport_testing::LogCapture;
using transport_testing::setNetworkFlags;
using Upload = FakeUploader::Upload;

constexpr platform::NetworkReachabilityFlags kReachable =
    platform::kNetworkReachabilityFlagsReachable;
constexpr platform::NetworkReachabilityFlags kUnreachable =
    platform::kNetworkReachabilityFlagsConnectionRequired;

class RDTCORUploadCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setNetworkFlags(kReachable);
    coordinator_->setRegistrar(registrar_);
    registrar_->registerUploader(uploader_, 1000);
    registrar_->registerUploader(uploader_, 1001);
    for (RDTCORTarget target = 999; target <= 1003; ++target) {
      registrar_->registerStorage(storage_, target);
    }
    registrar_->registerStorage(otherStorage_, 77);
  }

  void TearDown() override {
    coordinator_->stopTimer();
    RDTCORApplication::sharedApplication()->setIsRunningInBackground(false);
  }

  // The timer starts on the coordination queue; its first firing is due half a second later.
  void startTimer() {
    coordinator_->startTimer();
    drain();
  }
  // A firing queues its uploads behind itself on the coordination queue: wait for both.
  void drain() {
    coordinator_->coordinationQueue()->sync([] {});
    coordinator_->coordinationQueue()->sync([] {});
  }
  void advance(double seconds) {
    clock_.advance(seconds);
    drain();
  }
  // The uploads asked for since the last call.
  std::vector<Upload> takeUploads() {
    drain();
    auto uploads = uploader_->uploads();
    uploader_->clear();
    return uploads;
  }

  testing_support::ManualClockScope clock_;
  std::shared_ptr<RDTCORRegistrar> registrar_ = std::make_shared<RDTCORRegistrar>();
  std::shared_ptr<RDTCORUploadCoordinator> coordinator_ =
      std::make_shared<RDTCORUploadCoordinator>();
  std::shared_ptr<FakeUploader> uploader_ = std::make_shared<FakeUploader>();
  std::shared_ptr<FakeStorage> storage_ = std::make_shared<FakeStorage>();
  std::shared_ptr<FakeStorage> otherStorage_ = std::make_shared<FakeStorage>();
};

TEST_F(RDTCORUploadCoordinatorTest, ConditionsFollowTheNetwork) {
  struct Case {
    platform::NetworkReachabilityFlags flags;
    RDTCORUploadConditions conditions;
  } const cases[] = {
      {kReachable, RDTCORUploadConditionWifiData},
      {kReachable | platform::kNetworkReachabilityFlagsIsDirect, RDTCORUploadConditionWifiData},
      {kReachable | kUnreachable, RDTCORUploadConditionNoNetwork},
      {kUnreachable, RDTCORUploadConditionNoNetwork},
      {platform::kNetworkReachabilityFlagsTransientConnection, RDTCORUploadConditionNoNetwork},
  };
  for (const Case& c : cases) {
    setNetworkFlags(c.flags);
    EXPECT_EQ(coordinator_->uploadConditions(), c.conditions) << c.flags;
  }
}

TEST_F(RDTCORUploadCoordinatorTest, TimerFiringsAskEveryUploaderEveryIntervalWhileReachable) {
  LogCapture log(RDTCORLoggingLevelDebug);
  EXPECT_FALSE(coordinator_->hasTimer());
  startTimer();
  EXPECT_TRUE(coordinator_->hasTimer());
  advance(0.499);
  EXPECT_THAT(takeUploads(), IsEmpty());
  advance(0.001);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
  advance(29.9);
  EXPECT_THAT(takeUploads(), IsEmpty());
  advance(0.1);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
  EXPECT_TRUE(log.contains("[ReroraDataTransport][I-RDTCOR000000] Upload timer started"));
  EXPECT_TRUE(log.contains("[ReroraDataTransport][I-RDTCOR000000] Upload timer fired"));

  // Without a network the timer goes on firing but no uploader hears of it.
  setNetworkFlags(kUnreachable);
  advance(30);
  EXPECT_THAT(takeUploads(), IsEmpty());
  setNetworkFlags(kReachable);
  advance(30);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
}

TEST_F(RDTCORUploadCoordinatorTest, AForcedUploadAddsBitSixteenButNeedsANetwork) {
  LogCapture log(RDTCORLoggingLevelDebug);
  coordinator_->forceUploadForTarget(1000);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 20}));
  EXPECT_TRUE(log.contains("Forcing an upload of target 1000"));

  // A target nobody uploads for is passed over.
  coordinator_->forceUploadForTarget(1003);
  EXPECT_THAT(takeUploads(), IsEmpty());

  setNetworkFlags(kUnreachable);
  coordinator_->forceUploadForTarget(1000);
  EXPECT_THAT(takeUploads(), IsEmpty());
}

TEST_F(RDTCORUploadCoordinatorTest, UploadsGoInTheGivenOrderWithTheConditionsUnchanged) {
  struct Case {
    std::vector<RDTCORTarget> targets;
    RDTCORUploadConditions conditions;
    std::vector<Upload> expected;
  } const cases[] = {
      {{1001, 5, 1000}, 4, {{1001, 4}, {1000, 4}}},
      {{1000}, 2 | 16, {{1000, 18}}},
      {{1000, 1001}, 1, {}},
      {{1000, 1001}, 1 | 16, {}},
      {{}, 4, {}},
  };
  for (const Case& c : cases) {
    coordinator_->uploadTargets(c.targets, c.conditions);
    EXPECT_EQ(takeUploads(), c.expected) << c.conditions;
  }
}

TEST_F(RDTCORUploadCoordinatorTest, StartingTwiceMakesOneTimer) {
  coordinator_->startTimer();
  coordinator_->startTimer();
  drain();
  advance(0.5);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
  advance(30);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
}

TEST_F(RDTCORUploadCoordinatorTest, InTheBackgroundFiringsDoNothingButTheTimerKeepsGoing) {
  const auto application = RDTCORApplication::sharedApplication();
  application->setIsRunningInBackground(true);
  startTimer();
  advance(0.5);
  advance(30);
  EXPECT_THAT(takeUploads(), IsEmpty());
  EXPECT_TRUE(coordinator_->hasTimer());
  application->setIsRunningInBackground(false);
  advance(30);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));
}

TEST_F(RDTCORUploadCoordinatorTest, BackgroundStopsTheTimerAndForegroundRestartsItHalfASecondOn) {
  const RDTCORApplicationPtr application = RDTCORApplication::sharedApplication();
  startTimer();
  advance(0.5);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));

  coordinator_->appWillBackground(application);
  EXPECT_FALSE(coordinator_->hasTimer());
  advance(60);
  EXPECT_THAT(takeUploads(), IsEmpty());

  coordinator_->appWillForeground(application);
  EXPECT_TRUE(coordinator_->hasTimer());
  advance(0.4);
  EXPECT_THAT(takeUploads(), IsEmpty());
  advance(0.1);
  EXPECT_THAT(takeUploads(), ElementsAre(Upload{1000, 4}, Upload{1001, 4}));

  coordinator_->appWillTerminate(application);
  EXPECT_FALSE(coordinator_->hasTimer());
  advance(60);
  EXPECT_THAT(takeUploads(), IsEmpty());
}

// No foreground notification comes here, so every firing sweeps each store once; a process
// that stays up for weeks still drops what expired instead of uploading it.
TEST_F(RDTCORUploadCoordinatorTest, EveryFiringSweepsEveryStoreOnce) {
  startTimer();
  drain();
  EXPECT_EQ(storage_->expirationChecks(), 0);
  advance(0.5);
  EXPECT_EQ(storage_->expirationChecks(), 1);
  EXPECT_EQ(otherStorage_->expirationChecks(), 1);
  advance(30);
  startTimer();  // already running: no second timer, no extra sweeps
  advance(30);
  EXPECT_EQ(storage_->expirationChecks(), 3);
  EXPECT_EQ(otherStorage_->expirationChecks(), 3);

  // Firings in the background sweep too: only uploads wait for the foreground.
  takeUploads();
  RDTCORApplication::sharedApplication()->setIsRunningInBackground(true);
  advance(30);
  EXPECT_EQ(storage_->expirationChecks(), 4);
  EXPECT_THAT(takeUploads(), IsEmpty());
  RDTCORApplication::sharedApplication()->setIsRunningInBackground(false);
}

TEST_F(RDTCORUploadCoordinatorTest, TheExpirySignalReachesEachDistinctStoreOnce) {
  coordinator_->signalToStoragesToCheckExpirations();
  EXPECT_EQ(storage_->expirationChecks(), 1);
  EXPECT_EQ(otherStorage_->expirationChecks(), 1);
}

TEST_F(RDTCORUploadCoordinatorTest, StorageForTargetAssertsWhenNoStoreServesIt) {
  EXPECT_EQ(coordinator_->storageForTarget(1002), storage_);
  LogCapture log;
  EXPECT_EQ(coordinator_->storageForTarget(5), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_THAT(log.lines()[0], testing::StartsWith("[ReroraDataTransport][I-RDTCOR001006] ("));
  EXPECT_THAT(log.lines()[0], testing::EndsWith(" : A storage must be registered for target 5"));
}

TEST(RDTCORUploadCoordinatorDefaultsTest, ThirtySecondsWithFiveSecondsLeewayAndTheSharedRegistrar) {
  const auto coordinator = std::make_shared<RDTCORUploadCoordinator>();
  EXPECT_EQ(coordinator->timerInterval(), 30'000'000'000u);
  EXPECT_EQ(coordinator->timerLeeway(), 5'000'000'000u);
  EXPECT_EQ(coordinator->registrar(), RDTCORRegistrar::sharedInstance());
  EXPECT_EQ(coordinator->coordinationQueue()->label(), "com.rerora.RDTCORUploadCoordinator");
  EXPECT_FALSE(coordinator->hasTimer());
}

}  // namespace
