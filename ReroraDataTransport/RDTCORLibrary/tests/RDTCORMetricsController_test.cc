#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "platform/dispatch.h"
#include "platform/keyed_archive.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Date;

// Keeps the metrics record as the store does: archived, read and rewritten on its own queue
// inside fetchAndUpdateMetricsWithHandler, written only when the handler's record differs.
class MetricsRecordStorage : public RDTCORStoragePromiseProtocol {
 public:
  MetricsRecordStorage() : queue_(platform::Queue::serial("test.MetricsRecordStorage")) {}

  void setRecord(const std::shared_ptr<RDTCORMetricsMetadata>& record) {
    std::lock_guard lock(mutex_);
    archive_ = record ? platform::KeyedArchiver::archivedData(platform::SecureCodingPtr(record))
                      : std::nullopt;
  }
  std::shared_ptr<RDTCORMetricsMetadata> record() const {
    std::lock_guard lock(mutex_);
    return readLocked();
  }
  int updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
  }

  ZBLPromisePtr fetchAndUpdateMetricsWithHandler(MetricsHandler handler) override {
    return ZBLPromise::async(
        queue_, [this, handler](ZBLPromise::Fulfill fulfill, ZBLPromise::Reject) {
          std::shared_ptr<RDTCORMetricsMetadata> fetched;
          {
            std::lock_guard lock(mutex_);
            fetched = readLocked();
          }
          const platform::ErrorPtr error =
              fetched ? nullptr : platform::makeError(platform::kCocoaErrorDomain, 260);
          const auto updated = handler(fetched, error);
          {
            std::lock_guard lock(mutex_);
            if (updated && !(fetched && fetched->isEqualToMetricsMetadata(*updated))) {
              archive_ = platform::KeyedArchiver::archivedData(platform::SecureCodingPtr(updated));
            }
            ++updates_;
          }
          fulfill(nullptr);
        });
  }
  ZBLPromisePtr fetchStorageMetadata() override {
    return ZBLPromise::resolvedWith(
        RDTCORStorageMetadata::metadataWithCurrentCacheSize(1234, kRDTCORFlatFileStorageSizeLimit));
  }

  ZBLPromisePtr batchIDsForTarget(RDTCORTarget) override { return unused(); }
  ZBLPromisePtr removeBatchWithID(std::int64_t, bool) override { return unused(); }
  ZBLPromisePtr removeBatchesWithIDs(const std::set<std::int64_t>&, bool) override {
    return unused();
  }
  ZBLPromisePtr removeAllBatchesForTarget(RDTCORTarget, bool) override { return unused(); }
  ZBLPromisePtr hasEventsForTarget(RDTCORTarget) override { return unused(); }
  ZBLPromisePtr batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>&,
                                       platform::Date) override {
    return unused();
  }

 private:
  static ZBLPromisePtr unused() {
    ADD_FAILURE() << "the metrics controller asked for an event operation";
    return ZBLPromise::resolvedWith(nullptr);
  }
  std::shared_ptr<RDTCORMetricsMetadata> readLocked() const {
    if (!archive_) return nullptr;
    return platform::recordAs<RDTCORMetricsMetadata>(
        platform::KeyedUnarchiver::unarchivedObject({kRDTCORMetricsMetadataClassName}, *archive_));
  }

  platform::QueuePtr queue_;
  mutable std::mutex mutex_;
  std::optional<platform::Data> archive_;
  int updates_ = 0;
};

std::shared_ptr<RDTCOREvent> event(const std::string& mappingID) {
  return RDTCOREvent::initWithMappingID(mappingID, RDTCORTargetCSH);
}

std::shared_ptr<RDTCORMetricsMetadata> record(double startSeconds,
                                              RDTCORDroppedEventCounterByLogSource counts) {
  return RDTCORMetricsMetadata::metadataWithCollectionStartDate(
      Date::fromTimeIntervalSince1970(startSeconds),
      RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(std::move(counts)));
}

class RDTCORMetricsControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RDTCORMetricsLoad();
    home_.useBundle({{"CFBundleIdentifier", "com.example.counted"}});
  }

  // Pumps the main queue until the promise settles.
  static void settle(const ZBLPromisePtr& promise) {
    ASSERT_NE(promise, nullptr);
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
  }

  static double now() { return Date::now().timeIntervalSince1970(); }

  testing_support::TemporaryHome home_;
  testing_support::ManualClockScope clock_;
  std::shared_ptr<MetricsRecordStorage> storage_ = std::make_shared<MetricsRecordStorage>();
  std::shared_ptr<RDTCORMetricsController> controller_ =
      std::make_shared<RDTCORMetricsController>(storage_);
};

TEST_F(RDTCORMetricsControllerTest, EmptyDropSettlesAtOnceWithoutTouchingTheStore) {
  const auto promise = controller_->logEventsDroppedForReason(2, {});
  ASSERT_NE(promise, nullptr);
  EXPECT_TRUE(promise->isFulfilled());
  EXPECT_TRUE(promise->value().isNil());
  EXPECT_EQ(storage_->updates(), 0);
  EXPECT_EQ(storage_->record(), nullptr);
}

TEST_F(RDTCORMetricsControllerTest, DropsAreCountedIntoTheStoredWindow) {
  const double start = now();
  const auto first = controller_->logEventsDroppedForReason(
      RDTCOREventDropReasonStorageFull, {event("1206"), event("1974"), event("1206"),
                                         std::make_shared<RDTCOREvent>(), event("1206")});
  settle(first);
  EXPECT_TRUE(first->isFulfilled());
  ASSERT_NE(storage_->record(), nullptr);
  EXPECT_EQ(*storage_->record(), *record(start, {{"1206", {{2, 3}}}, {"1974", {{2, 1}}}}));

  // A later report keeps the window's start and adds to its counts.
  clock_.advance(300);
  settle(
      controller_->logEventsDroppedForReason(RDTCOREventDropReasonMessageTooOld, {event("1206")}));
  EXPECT_EQ(*storage_->record(), *record(start, {{"1206", {{1, 1}, {2, 3}}}, {"1974", {{2, 1}}}}));
}

TEST_F(RDTCORMetricsControllerTest, StoreDelegateCallsCountExpiredAndRefusedEvents) {
  storage_->setRecord(record(now(), {}));
  transport_testing::FakeStorage store;
  controller_->storageDidRemoveExpiredEvents(store, {event("1206"), event("1974")});
  controller_->storageDidDropEvent(store, event("1206"));
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return storage_->updates() == 2; }));
  EXPECT_EQ(storage_->record()->logSourceMetrics()->droppedEventCounterByLogSource(),
            (RDTCORDroppedEventCounterByLogSource{{"1206", {{1, 1}, {2, 1}}}, {"1974", {{1, 1}}}}));
}

TEST_F(RDTCORMetricsControllerTest, GetAndResetHandsOutTheWindowAndRestartsIt) {
  const double start = now() - 3600;
  storage_->setRecord(record(start, {{"1206", {{2, 3}}}}));
  clock_.advance(100);
  const auto promise = controller_->getAndResetMetrics();
  settle(promise);
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  const auto metrics = promise->value().as<RDTCORMetrics>();
  ASSERT_NE(metrics, nullptr);
  EXPECT_EQ(*metrics, RDTCORMetrics(Date::fromTimeIntervalSince1970(start), Date::now(),
                                    RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
                                        {{"1206", {{2, 3}}}}),
                                    1234, 20'000'000, "com.example.counted"));
  EXPECT_EQ(*storage_->record(), *record(now(), {}));
}

TEST_F(RDTCORMetricsControllerTest, GetAndResetWithoutRecordRejectsAndStartsAFreshWindow) {
  const transport_testing::LogCapture log(RDTCORLoggingLevelDebug);
  const auto promise = controller_->getAndResetMetrics();
  settle(promise);
  EXPECT_TRUE(log.contains("Error fetching metrics metadata: Error Domain=NSCocoaErrorDomain"));
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->domain(), ZBLPromiseErrorDomain);
  EXPECT_EQ(promise->error()->code(), ZBLPromiseErrorCodeValidationFailure);
  ASSERT_NE(storage_->record(), nullptr);
  EXPECT_EQ(*storage_->record(), *record(now(), {}));
}

TEST_F(RDTCORMetricsControllerTest, OfferedMetricsWidenTheWindowOnlyBackwards) {
  const double current = now();
  const RDTCORDroppedEventCounterByLogSource stored = {{"1206", {{2, 3}}}};
  const RDTCORDroppedEventCounterByLogSource offered = {{"1206", {{2, 1}}}, {"1974", {{5, 2}}}};
  const RDTCORDroppedEventCounterByLogSource merged = {{"1206", {{2, 4}}}, {"1974", {{5, 2}}}};
  struct Case {
    const char* name;
    std::shared_ptr<RDTCORMetricsMetadata> before;
    double offeredStart;
    std::shared_ptr<RDTCORMetricsMetadata> after;
  };
  const std::vector<Case> cases = {
      {"older than the window", record(current - 60, stored), current - 600,
       record(current - 600, merged)},
      {"same start", record(current - 60, stored), current - 60, record(current - 60, merged)},
      {"newer than the window", record(current - 60, stored), current - 30,
       record(current - 60, stored)},
      {"no record, started before now", nullptr, current - 600, record(current - 600, offered)},
      {"no record, started now", nullptr, current, record(current, offered)},
      {"no record, started after now", nullptr, current + 60, record(current, {})},
  };
  for (const Case& c : cases) {
    storage_->setRecord(c.before);
    const auto metrics = std::make_shared<RDTCORMetrics>(
        Date::fromTimeIntervalSince1970(c.offeredStart), Date::now(),
        RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(offered), 10, 20, "id");
    const auto promise = controller_->offerMetrics(metrics);
    settle(promise);
    EXPECT_TRUE(promise->isFulfilled()) << c.name;
    ASSERT_NE(storage_->record(), nullptr) << c.name;
    EXPECT_EQ(*storage_->record(), *c.after) << c.name;
  }

  const int updates = storage_->updates();
  const auto none = controller_->offerMetrics(nullptr);
  EXPECT_TRUE(none->isFulfilled());
  EXPECT_EQ(storage_->updates(), updates);
}

TEST_F(RDTCORMetricsControllerTest, CountsSurviveTheUploadRoundTrip) {
  // What a failed upload does: take the counts out, drop more events, hand the counts back.
  const double start = now();
  settle(controller_->logEventsDroppedForReason(2, {event("1206"), event("1206")}));
  clock_.advance(60);
  const auto taken = controller_->getAndResetMetrics();
  settle(taken);
  ASSERT_TRUE(taken->isFulfilled());
  clock_.advance(60);
  settle(controller_->logEventsDroppedForReason(1, {event("1974")}));
  settle(controller_->offerMetrics(taken->value().as<RDTCORMetrics>()));
  EXPECT_EQ(*storage_->record(), *record(start, {{"1206", {{2, 2}}}, {"1974", {{1, 1}}}}));
}

}  // namespace
