// Lookups through the process-wide registrar, and the transport wired as the program's
// start-up list wires it; these cases fill the shared registrar, so each runs in a fresh
// process.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORTransport.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using transport_testing::BytesObject;
using transport_testing::FakeMetricsController;
using transport_testing::FakePromiseStorage;
using transport_testing::FakeStorage;

namespace fs = std::filesystem;

TEST(RDTCORRegistrarWiringTest, RegisteredStorageAnswersOnlyStoresWithPromiseOperations) {
  const auto registrar = RDTCORRegistrar::sharedInstance();
  EXPECT_EQ(registrar, RDTCORRegistrar::sharedInstance());
  const auto promising = std::make_shared<FakePromiseStorage>();
  const auto plain = std::make_shared<FakeStorage>();
  registrar->registerStorage(promising, 1000);
  registrar->registerStorage(plain, 1001);

  EXPECT_EQ(RDTCORRegisteredStorage(1000), promising);
  EXPECT_EQ(registrar->targetToStorage().at(1001), plain);
  EXPECT_EQ(RDTCORRegisteredStorage(1001), nullptr);
  EXPECT_EQ(RDTCORRegisteredStorage(1003), nullptr);
}

TEST(RDTCORRegistrarWiringTest, RegisteredMetricsControllerIsTheTargetsOrNone) {
  const auto controller = std::make_shared<FakeMetricsController>();
  RDTCORRegistrar::sharedInstance()->registerMetricsController(controller, 1002);
  EXPECT_EQ(RDTCORRegisteredMetricsController(1002), controller);
  EXPECT_EQ(RDTCORRegisteredMetricsController(1000), nullptr);
}

// The start-up list's transport part, on a clock that stands still and with no network, so
// that no uploader is ever asked to upload.
class RDTCORClassLoadTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    home_.useBundle();
    transport_testing::setNetworkFlags(platform::kNetworkReachabilityFlagsConnectionRequired);
  }

  // Time runs again once the manual clock goes: stop the timer and let the store finish
  // before the temporary home is taken down, so that no sweep reads a home being replaced.
  void TearDown() override {
    RDTCORUploadCoordinator::sharedInstance()->stopTimer();
    RDTCORFlatFileStorage::sharedInstance()->storageQueue()->sync([] {});
  }

  static void loadTheTransport() {
    RDTCOREvent::load();
    RDTCORApplication::load();
    RDTCORLifecycle::load();
    RDTKCTUploader::load();
    RDTCORFlatFileStorage::load();
    RDTCORMetricsController::load();
  }

  testing_support::ManualClockScope clock_;
};

TEST_F(RDTCORClassLoadTest, EachTargetIsServedAndTheSharedStoreReportsToTheSharedController) {
  loadTheTransport();
  const auto registrar = RDTCORRegistrar::sharedInstance();
  const auto storage = RDTCORFlatFileStorage::sharedInstance();
  const auto uploaders = registrar->targetToUploader();
  const auto storages = registrar->targetToStorage();
  for (RDTCORTarget target = 999; target <= 1003; ++target) {
    EXPECT_EQ(uploaders.count(target), target == 999 ? 0u : 1u) << target;
    EXPECT_EQ(storages.count(target), 1u) << target;
  }
  EXPECT_EQ(RDTCORRegisteredStorage(1000), storage);
  EXPECT_EQ(RDTCORRegisteredMetricsController(1002), RDTCORMetricsController::sharedInstance());
  EXPECT_EQ(RDTCORRegisteredMetricsController(1000), nullptr);
  // The controller's registrations run last, so the store's delegate is the controller.
  EXPECT_EQ(storage->delegate(), RDTCORMetricsController::sharedInstance());
}

// The shared coordinator is made inside the shared store's creation, before that store is
// registered; its first firing still sweeps that store.
TEST_F(RDTCORClassLoadTest, TheFirstFiringAfterLaunchSweepsWhatExpiredWhileTheProcessWasAway) {
  RDTCOREvent::load();
  auto event = RDTCOREvent::initWithMappingID("1206", RDTCORTargetCSH);
  event->setDataObject(std::make_shared<BytesObject>());
  event->setExpirationDate(platform::Clock::current().now().addingTimeInterval(-1));
  const fs::path expired =
      RDTCORFlatFileStorage::pathForTarget(RDTCORTargetCSH, event->eventID(), event->qosTier(),
                                           event->expirationDate(), event->mappingID());
  ASSERT_TRUE(RDTCORArchiveToPath(event, expired));
  ASSERT_TRUE(fs::exists(expired));

  loadTheTransport();
  const auto coordinator = RDTCORUploadCoordinator::sharedInstance();
  const auto storage = RDTCORFlatFileStorage::sharedInstance();
  EXPECT_TRUE(coordinator->hasTimer());
  clock_.advance(0.5);
  coordinator->coordinationQueue()->sync([] {});
  storage->storageQueue()->sync([] {});
  EXPECT_FALSE(fs::exists(expired));
}

TEST_F(RDTCORClassLoadTest, ASentEventIsWrittenByTheSharedStoreWhichAnswersOnItsQueue) {
  loadTheTransport();
  const auto transport = RDTCORTransport::initWithMappingID("1249", {}, RDTCORTargetKCT);
  ASSERT_NE(transport, nullptr);
  auto event = transport->eventForTransport();
  event->setDataObject(std::make_shared<BytesObject>());

  platform::Semaphore answered;
  std::optional<bool> written;
  platform::ErrorPtr error;
  std::string queueLabel;
  transport->sendDataEvent(event, [&](bool wasWritten, const platform::ErrorPtr& storeError) {
    written = wasWritten;
    error = storeError;
    queueLabel = platform::Queue::currentLabel();
    answered.signal();
  });
  ASSERT_TRUE(answered.wait(10));
  EXPECT_EQ(written, true);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(queueLabel, "com.rerora.RDTCORFlatFileStorage");
  const fs::path targetFolder =
      fs::path(RDTCORFlatFileStorage::eventDataStoragePath()) / std::to_string(RDTCORTargetKCT);
  ASSERT_TRUE(fs::is_directory(targetFolder));
  int files = 0;
  for (const auto& entry : fs::directory_iterator(targetFolder)) {
    EXPECT_TRUE(entry.path().filename().string().starts_with(event->eventID() + "-3-"));
    ++files;
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
