// The store's promise operations, on stores of their own over a temporary folder.
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "promises/zbl_promise.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using platform::Data;
using platform::Date;
using transport_testing::BytesObject;

struct Outcome {
  ZBLObject value;
  platform::ErrorPtr error;
};

Outcome await(const ZBLPromisePtr& promise) {
  Outcome outcome;
  outcome.value = ZBLPromiseAwait(promise, &outcome.error);
  return outcome;
}

class RDTCORFlatFileStoragePromisesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    RDTCOREvent::load();
    RDTCORMetricsLoad();
  }

  void storeEvent(RDTCORTarget target = 1000) {
    auto event = RDTCOREvent::initWithMappingID("1249", target);
    event->setDataObject(std::make_shared<BytesObject>());
    storage_->storeEvent(event, nullptr);
    storage_->storageQueue()->sync([] {});
  }

  std::set<std::int64_t> batchIDsOf(const ZBLObject& value) {
    std::set<std::int64_t> ids;
    if (const platform::Value* array = value.asValue(); array && array->asArray()) {
      for (const platform::Value& id : *array->asArray()) ids.insert(id.integerValue());
    }
    return ids;
  }

  fs::path metricsPath() const {
    return root_ / "RDTCORFlatFileStorage" / "rdt_library_data" / "metrics_metadata";
  }

  fs::path root_ = home_.path() / "root";
  std::shared_ptr<RDTCORFlatFileStorage> storage_ =
      std::make_shared<RDTCORFlatFileStorage>(root_, nullptr);
};

TEST_F(RDTCORFlatFileStoragePromisesTest, BatchesAreMadeListedAndRemovedThroughPromises) {
  const Outcome none = await(
      storage_->batchWithEventSelector(RDTCORStorageEventSelector::eventSelectorForTarget(1000),
                                       Date::now().addingTimeInterval(600)));
  ASSERT_TRUE(none.error);
  EXPECT_EQ(none.error->domain(), "RDTCORFlatFileStorage");
  EXPECT_EQ(none.error->code(), -1);
  EXPECT_EQ(none.error->localizedFailureReason(), "There are no events for the selector.");

  const Outcome nothingToRemove = await(storage_->removeAllBatchesForTarget(1000, false));
  EXPECT_EQ(nothingToRemove.error, nullptr);
  EXPECT_TRUE(nothingToRemove.value.isNullPlaceholder());
  EXPECT_TRUE(await(storage_->batchIDsForTarget(1000)).value.isNil());

  const Outcome noEvents = await(storage_->hasEventsForTarget(1000));
  ASSERT_TRUE(noEvents.value.asValue());
  EXPECT_EQ(noEvents.value.asValue()->asBool(), false);

  storeEvent();
  storeEvent();
  storeEvent(1001);
  EXPECT_EQ(await(storage_->hasEventsForTarget(1000)).value.asValue()->asBool(), true);
  std::set<std::int64_t> made;
  for (RDTCORTarget target : {1000, 1001}) {
    const Outcome batch = await(
        storage_->batchWithEventSelector(RDTCORStorageEventSelector::eventSelectorForTarget(target),
                                         Date::now().addingTimeInterval(600)));
    ASSERT_EQ(batch.error, nullptr);
    const auto uploadBatch = batch.value.as<RDTCORUploadBatch>();
    ASSERT_TRUE(uploadBatch);
    EXPECT_EQ(uploadBatch->events().size(), target == 1000 ? 2u : 1u);
    made.insert(uploadBatch->batchID());
  }
  // The empty selection above used ID 0 up.
  EXPECT_EQ(made, (std::set<std::int64_t>{1, 2}));
  EXPECT_EQ(batchIDsOf(await(storage_->batchIDsForTarget(1000)).value), std::set<std::int64_t>{1});
  EXPECT_EQ(await(storage_->hasEventsForTarget(1000)).value.asValue()->asBool(), false);

  // Back into the pool for target 1000; the other target's batch stays.
  const Outcome removed = await(storage_->removeAllBatchesForTarget(1000, false));
  EXPECT_EQ(removed.error, nullptr);
  EXPECT_TRUE(removed.value.isNullPlaceholder());
  EXPECT_EQ(await(storage_->hasEventsForTarget(1000)).value.asValue()->asBool(), true);
  EXPECT_EQ(batchIDsOf(await(storage_->batchIDsForTarget(1001)).value), std::set<std::int64_t>{2});

  const Outcome deleted = await(storage_->removeBatchesWithIDs({2, 99}, true));
  EXPECT_EQ(deleted.error, nullptr);
  EXPECT_TRUE(deleted.value.isNullPlaceholder());
  EXPECT_EQ(await(storage_->hasEventsForTarget(1001)).value.asValue()->asBool(), false);
  EXPECT_TRUE(await(storage_->batchIDsForTarget(1001)).value.isNil());

  const Outcome one = await(storage_->removeBatchWithID(5, true));
  EXPECT_EQ(one.error, nullptr);
}

TEST_F(RDTCORFlatFileStoragePromisesTest, MetricsAreReadUpdatedAndWrittenOnlyWhenChanged) {
  const auto start = Date::fromTimeIntervalSince1970(1'700'000'000);
  const auto record = RDTCORMetricsMetadata::metadataWithCollectionStartDate(
      start, RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource({{"1249", {{2, 3}}}}));

  bool sawNothing = false;
  const Outcome first = await(storage_->fetchAndUpdateMetricsWithHandler(
      [&](const std::shared_ptr<RDTCORMetricsMetadata>& fetched, const platform::ErrorPtr& error) {
        sawNothing = fetched == nullptr && error != nullptr;
        return record;
      }));
  EXPECT_EQ(first.error, nullptr);
  EXPECT_TRUE(sawNothing) << "a missing record comes with its read error";
  ASSERT_TRUE(fs::is_regular_file(metricsPath()));
  // Counted toward the cap like any file the store writes.
  EXPECT_EQ(
      await(storage_->fetchStorageMetadata()).value.as<RDTCORStorageMetadata>()->currentCacheSize(),
      fs::file_size(metricsPath()));

  // An equal record is not written again: the file keeps its old time.
  const struct timeval old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimes(metricsPath().c_str(), old), 0);
  std::shared_ptr<RDTCORMetricsMetadata> seen;
  EXPECT_EQ(await(storage_->fetchAndUpdateMetricsWithHandler(
                      [&](const std::shared_ptr<RDTCORMetricsMetadata>& fetched,
                          const platform::ErrorPtr&) {
                        seen = fetched;
                        return fetched;
                      }))
                .error,
            nullptr);
  ASSERT_TRUE(seen);
  EXPECT_TRUE(seen->isEqualToMetricsMetadata(*record));
  struct stat info {};
  ASSERT_EQ(::stat(metricsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1'000'000'000);

  // A changed record replaces the old one.
  const auto later = RDTCORMetricsMetadata::metadataWithCollectionStartDate(
      start.addingTimeInterval(60), RDTCORLogSourceMetrics::metrics());
  await(
      storage_->fetchAndUpdateMetricsWithHandler([&](const std::shared_ptr<RDTCORMetricsMetadata>&,
                                                     const platform::ErrorPtr&) { return later; }));
  await(storage_->fetchAndUpdateMetricsWithHandler(
      [&](const std::shared_ptr<RDTCORMetricsMetadata>& fetched, const platform::ErrorPtr&) {
        seen = fetched;
        return nullptr;
      }));
  ASSERT_TRUE(seen);
  EXPECT_TRUE(seen->isEqualToMetricsMetadata(*later));
}

TEST_F(RDTCORFlatFileStoragePromisesTest, AnUnreadableRecordIsNoFailureButAnUnwritableOneIs) {
  fs::create_directories(metricsPath().parent_path());
  std::ofstream(metricsPath()) << "not an archive";
  platform::ErrorPtr readError;
  const Outcome unreadable = await(storage_->fetchAndUpdateMetricsWithHandler(
      [&](const std::shared_ptr<RDTCORMetricsMetadata>& fetched, const platform::ErrorPtr& error) {
        EXPECT_EQ(fetched, nullptr);
        readError = error;
        return nullptr;
      }));
  EXPECT_EQ(unreadable.error, nullptr);
  EXPECT_NE(readError, nullptr);

  fs::remove(metricsPath());
  fs::create_directories(metricsPath() / "in the way");
  const Outcome unwritable = await(storage_->fetchAndUpdateMetricsWithHandler(
      [](const std::shared_ptr<RDTCORMetricsMetadata>&, const platform::ErrorPtr&) {
        return RDTCORMetricsMetadata::metadataWithCollectionStartDate(Date::now(), nullptr);
      }));
  EXPECT_NE(unwritable.error, nullptr);
}

TEST_F(RDTCORFlatFileStoragePromisesTest, StorageMetadataReportsTheRootsSizeAndTheCap) {
  storeEvent();
  const Outcome outcome = await(storage_->fetchStorageMetadata());
  const auto metadata = outcome.value.as<RDTCORStorageMetadata>();
  ASSERT_TRUE(metadata);
  std::uint64_t onDisk = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_regular_file()) onDisk += entry.file_size();
  }
  EXPECT_EQ(metadata->currentCacheSize(), onDisk);
  EXPECT_EQ(metadata->maxCacheSize(), 20'000'000u);
  EXPECT_EQ(
      RDTCORFlatFileStorage::genericRejectedPromiseErrorWithReason("why")->localizedFailureReason(),
      "why");
}

}  // namespace
