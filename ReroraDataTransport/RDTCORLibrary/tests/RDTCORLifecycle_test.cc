// The lifecycle fans out to the shared coordinator and registrar, which these cases fill and
// start, so each case runs in a fresh process.
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "platform/notification_center.h"
#include "tests/support/main_queue.h"

namespace {

using testing::ElementsAre;
using transport_testing::FakeStorage;
using transport_testing::FakeUploader;
using transport_testing::LogCapture;

class RDTCORLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RDTCORApplication::load();
    RDTCORLifecycle::load();
    // Started, as at launch, before any store is registered.
    ASSERT_TRUE(coordinator_->hasTimer());
    const auto registrar = RDTCORRegistrar::sharedInstance();
    registrar->registerUploader(uploader_, 1000);
    registrar->registerStorage(storage_, 999);
  }

  void post(const char* name) { platform::NotificationCenter::defaultCenter().post(name); }
  // The fan-out's own lines, in order.
  static std::vector<std::string> signalingLines(const LogCapture& log) {
    std::vector<std::string> lines;
    for (const std::string& line : log.lines()) {
      if (line.find("Signaling ") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  testing_support::ManualClockScope clock_;
  std::shared_ptr<FakeUploader> uploader_ = std::make_shared<FakeUploader>();
  std::shared_ptr<FakeStorage> storage_ = std::make_shared<FakeStorage>();
  std::shared_ptr<RDTCORUploadCoordinator> coordinator_ = RDTCORUploadCoordinator::sharedInstance();
};

TEST_F(RDTCORLifecycleTest, ThePlatformsTerminationStopsTheTimerAndReachesUploadersAndStores) {
  LogCapture log(RDTCORLoggingLevelDebug);
  // The application wrapper turns the platform's notification into the transport's own.
  post(platform::kApplicationWillTerminateNotification);
  EXPECT_FALSE(coordinator_->hasTimer());
  EXPECT_THAT(uploader_->lifecycleCalls(), ElementsAre("terminate"));
  EXPECT_THAT(storage_->lifecycleCalls(), ElementsAre("terminate"));
  // The transformer answers no lifecycle operation, so it is not signalled.
  EXPECT_THAT(signalingLines(log),
              ElementsAre("[ReroraDataTransport][I-RDTCOR000000] Signaling "
                          "RDTCORUploadCoordinator that the app is terminating.",
                          "[ReroraDataTransport][I-RDTCOR000000] Signaling RDTCORRegistrar "
                          "that the app is terminating."));
}

TEST_F(RDTCORLifecycleTest, BackgroundStopsTheTimerAndForegroundRestartsItAndSweeps) {
  LogCapture log(RDTCORLoggingLevelDebug);
  post(kRDTCORApplicationDidEnterBackgroundNotification);
  EXPECT_FALSE(coordinator_->hasTimer());
  EXPECT_THAT(uploader_->lifecycleCalls(), ElementsAre("background"));
  EXPECT_THAT(storage_->lifecycleCalls(), ElementsAre("background"));

  const int sweepsBefore = storage_->expirationChecks();
  post(kRDTCORApplicationWillEnterForegroundNotification);
  EXPECT_TRUE(coordinator_->hasTimer());
  EXPECT_EQ(storage_->expirationChecks(), sweepsBefore + 1);
  EXPECT_THAT(uploader_->lifecycleCalls(), ElementsAre("background", "foreground"));
  EXPECT_THAT(storage_->lifecycleCalls(), ElementsAre("background", "foreground"));

  EXPECT_THAT(signalingLines(log),
              ElementsAre("[ReroraDataTransport][I-RDTCOR000000] Signaling "
                          "RDTCORUploadCoordinator that the app is backgrounding.",
                          "[ReroraDataTransport][I-RDTCOR000000] Signaling RDTCORRegistrar "
                          "that the app is backgrounding.",
                          "[ReroraDataTransport][I-RDTCOR000000] Signaling "
                          "RDTCORUploadCoordinator that the app is foregrounding.",
                          "[ReroraDataTransport][I-RDTCOR000000] Signaling RDTCORRegistrar "
                          "that the app is foregrounding."));
}

// The shared coordinator starts inside the shared store's creation, before any store is
// registered; its first firing still sweeps the stores registered by then.
TEST_F(RDTCORLifecycleTest, TheSharedCoordinatorsFirstFiringSweepsStoresRegisteredAfterItsStart) {
  EXPECT_EQ(storage_->expirationChecks(), 0);
  clock_.advance(0.5);
  coordinator_->coordinationQueue()->sync([] {});
  coordinator_->coordinationQueue()->sync([] {});
  EXPECT_EQ(storage_->expirationChecks(), 1);
}

}  // namespace
