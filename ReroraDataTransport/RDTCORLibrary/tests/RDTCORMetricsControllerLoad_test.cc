// The shared metrics controller as the program wires it: registered for its targets and
// keeping its record in the shared event store. Each case runs in a process of its own.
#include <memory>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

class RDTCORMetricsControllerLoadTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    home_.useBundle({{"CFBundleIdentifier", "com.example.loaded"}});
    RDTCOREvent::load();
    RDTCORFlatFileStorage::load();
    RDTCORMetricsController::load();
  }

  static void settle(const ZBLPromisePtr& promise) {
    ASSERT_NE(promise, nullptr);
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
  }

  testing_support::ManualClockScope clock_;
};

TEST_F(RDTCORMetricsControllerLoadTest, SharedControllerServesTargets1001And1002) {
  const auto controller = RDTCORMetricsController::sharedInstance();
  EXPECT_EQ(controller, RDTCORMetricsController::sharedInstance());
  EXPECT_EQ(controller->storage(), std::static_pointer_cast<RDTCORStoragePromiseProtocol>(
                                       RDTCORFlatFileStorage::sharedInstance()));

  const auto controllers = RDTCORRegistrar::sharedInstance()->targetToMetricsController();
  ASSERT_EQ(controllers.size(), 2u);
  EXPECT_EQ(controllers.at(RDTCORTargetFLL), controller);
  EXPECT_EQ(controllers.at(RDTCORTargetCSH), controller);
  // Loading again registers nothing more.
  RDTCORMetricsController::load();
  EXPECT_EQ(RDTCORRegistrar::sharedInstance()->targetToMetricsController().size(), 2u);
}

TEST_F(RDTCORMetricsControllerLoadTest, CountsKeptInTheSharedStoreComeBackOut) {
  const auto controller = RDTCORMetricsController::sharedInstance();
  const double start = platform::Date::now().timeIntervalSince1970();
  settle(controller->logEventsDroppedForReason(
      RDTCOREventDropReasonStorageFull, {RDTCOREvent::initWithMappingID("1206", RDTCORTargetCSH),
                                         RDTCOREvent::initWithMappingID("1206", RDTCORTargetCSH)}));
  clock_.advance(30);
  const auto taken = controller->getAndResetMetrics();
  settle(taken);
  ASSERT_TRUE(taken->isFulfilled()) << taken->description();
  const auto metrics = taken->value().as<RDTCORMetrics>();
  ASSERT_NE(metrics, nullptr);
  EXPECT_EQ(metrics->collectionStartDate().timeIntervalSince1970(), start);
  EXPECT_EQ(metrics->collectionEndDate().timeIntervalSince1970(), start + 30);
  EXPECT_EQ(metrics->logSourceMetrics()->droppedEventCounterByLogSource(),
            (RDTCORDroppedEventCounterByLogSource{{"1206", {{2, 2}}}}));
  EXPECT_EQ(metrics->maxCacheSize(), kRDTCORFlatFileStorageSizeLimit);
  EXPECT_GT(metrics->currentCacheSize(), 0u);  // the record itself is a file under the root
  EXPECT_EQ(metrics->bundleID(), "com.example.loaded");

  // The window restarted: a second take hands out no counts.
  const auto again = controller->getAndResetMetrics();
  settle(again);
  ASSERT_TRUE(again->isFulfilled());
  EXPECT_TRUE(again->value()
                  .as<RDTCORMetrics>()
                  ->logSourceMetrics()
                  ->droppedEventCounterByLogSource()
                  .empty());
}

}  // namespace
