// The shared uploader as the coordinator uses it, in a process of its own per case (the
// registrar and the configured addresses are fixed once per process): registration at class
// load, the configured addresses and key, and one upload per tick.
#include <algorithm>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREndpoints.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/KCTTestMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTKCTUploaderTestFakes.h"
#include "foundation/ZIRServiceHosts.h"
#include "tests/support/fake_collection_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_home.h"

namespace {

using testing_support::FakeCollectionService;
using testing_support::ScopedEnvironment;
using transport_testing::LogCapture;
using uploader_testing::InMemoryEventStore;
using uploader_testing::makeEvent;
using uploader_testing::RecordingMetricsController;

constexpr const char* kTestAPIKey = "test-api-key-of-the-loopback-service-01";

// Points the three configurable addresses at the fake service and sets the key, before the
// process first reads them.
class RDTKCTUploaderSchedulingTest : public testing_support::TemporaryHomeTest {
 protected:
  void TearDown() override {
    EXPECT_TRUE(
        testing_support::pumpMainQueueUntil([] { return ZBLPromise::dispatchGroup().wait(0); }));
  }

  // Waits until the shared uploader has no operation left.
  static ::testing::AssertionResult drain() {
    return testing_support::pumpMainQueueUntil([] {
      return RDTKCTUploader::sharedInstance()->uploadOperationQueue().operationCount() == 0;
    });
  }

  static std::size_t count(const std::vector<std::string>& calls, const std::string& call) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
  }

  testing_support::ManualClockScope clock_;
  FakeCollectionService service_;
  ScopedEnvironment kct_{ZIRServiceHosts::kKCTUploadURLEnvironment,
                         service_.uploadURL(RDTCORTargetKCT)};
  ScopedEnvironment fll_{ZIRServiceHosts::kFLLUploadURLEnvironment,
                         service_.uploadURL(RDTCORTargetFLL)};
  ScopedEnvironment csh_{ZIRServiceHosts::kCSHUploadURLEnvironment,
                         service_.uploadURL(RDTCORTargetCSH)};
  ScopedEnvironment key_{ZIRServiceHosts::kTransportAPIKeyEnvironment, kTestAPIKey};
};

TEST_F(RDTKCTUploaderSchedulingTest, LoadRegistersTheSharedUploaderForTargets1000To1003) {
  RDTKCTUploader::load();
  RDTKCTUploader::load();
  const auto uploaders = RDTCORRegistrar::sharedInstance()->targetToUploader();
  ASSERT_EQ(uploaders.size(), 4u);
  for (const RDTCORTarget target :
       {RDTCORTargetKCT, RDTCORTargetFLL, RDTCORTargetCSH, RDTCORTargetINT}) {
    ASSERT_EQ(uploaders.count(target), 1u) << target;
    EXPECT_EQ(uploaders.at(target), RDTKCTUploader::sharedInstance()) << target;
  }
  EXPECT_EQ(RDTKCTUploader::sharedInstance()->uploadOperationQueue().maxConcurrentOperationCount(),
            1);
}

TEST_F(RDTKCTUploaderSchedulingTest, AddressesAndKeyAreTheConfiguredOnesReadOnce) {
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetKCT),
            service_.uploadURL(RDTCORTargetKCT));
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetFLL),
            service_.uploadURL(RDTCORTargetFLL));
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetCSH),
            service_.uploadURL(RDTCORTargetCSH));
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetINT), kRDTCORINTUploadURL);
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetTest), std::nullopt);

  const auto uploader = RDTKCTUploader::sharedInstance();
  EXPECT_EQ(uploader->APIKeyForTarget(RDTCORTargetKCT), std::nullopt);
  EXPECT_EQ(uploader->APIKeyForTarget(RDTCORTargetTest), std::nullopt);
  for (const RDTCORTarget target : {RDTCORTargetFLL, RDTCORTargetCSH, RDTCORTargetINT}) {
    EXPECT_EQ(uploader->APIKeyForTarget(target), kTestAPIKey) << target;
  }

  // Changing the configuration later changes nothing in this process.
  ScopedEnvironment changed(ZIRServiceHosts::kKCTUploadURLEnvironment, "http://127.0.0.1:1/other");
  EXPECT_EQ(RDTKCTUploader::serverURLForTarget(RDTCORTargetKCT),
            service_.uploadURL(RDTCORTargetKCT));
}

TEST_F(RDTKCTUploaderSchedulingTest, AnAttemptedUploadCancelsTheOperationsQueuedBehindIt) {
  const auto store = std::make_shared<InMemoryEventStore>();
  const auto metrics =
      std::make_shared<RecordingMetricsController>(RecordingMetricsController::sampleMetrics());
  const auto registrar = RDTCORRegistrar::sharedInstance();
  registrar->registerStorage(store, RDTCORTargetFLL);
  registrar->registerMetricsController(metrics, RDTCORTargetFLL);
  store->add(makeEvent(RDTCORTargetFLL, RDTCOREventQoSDefault, "one"));
  store->add(makeEvent(RDTCORTargetFLL, RDTCOREventQoSDefault, "two"));
  service_.script(RDTCORTargetFLL,
                  {.status = 200, .body = kct_testing::EncodeResponse(5000).toString()});

  const auto uploader = RDTKCTUploader::sharedInstance();
  {
    LogCapture log(RDTCORLoggingLevelDebug);
    // Data tasks start on the main queue, which only the drain below pumps: all three are
    // queued before the first can finish.
    for (int i = 0; i < 3; ++i)
      uploader->uploadTarget(RDTCORTargetFLL, RDTCORUploadConditionWifiData);
    ASSERT_TRUE(drain());

    EXPECT_EQ(count(store->calls(), "hasEventsForTarget"), 1u);
    EXPECT_TRUE(log.contains("uploadAttempted: 1"));
    std::size_t skipped = 0;
    for (const auto& line : log.lines()) {
      if (line.find("Upload operation finished: ") != std::string::npos &&
          line.find("uploadAttempted: 0") != std::string::npos) {
        ++skipped;
      }
    }
    EXPECT_EQ(skipped, 2u);
    EXPECT_TRUE(log.contains("Upload operation scheduled: "));
  }

  // One upload, with the configured key, the stored events and the metrics event.
  const auto uploads = service_.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].header("X-Rerora-Api-Key"), kTestAPIKey);
  EXPECT_EQ(uploads[0].header("User-Agent"), "datatransport/0.0.1 fllsupport/0.0.1 apple/");
  const auto batch =
      kct_testing::DecodeBatchRequest(platform::Data::fromString(uploads[0].inflatedBody));
  ASSERT_TRUE(batch);
  std::multiset<std::int32_t> sources;
  for (const auto& source : batch->source_requests) {
    for (std::size_t i = 0; i < source.events.size(); ++i) sources.insert(*source.log_source);
  }
  EXPECT_EQ(sources, (std::multiset<std::int32_t>{1206, 1206, 1710}));
  EXPECT_TRUE(store->pool().empty());
  const auto next = uploader->nextUploadTimeForTarget(RDTCORTargetFLL);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->timeMillis() - RDTCORClock::snapshot()->timeMillis(), 5000);

  // Operations that attempt nothing (no events left) let the next ones run.
  for (int i = 0; i < 3; ++i) {
    uploader->uploadTarget(RDTCORTargetFLL,
                           RDTCORUploadConditionWifiData | RDTCORUploadConditionHighPriority);
  }
  ASSERT_TRUE(drain());
  EXPECT_EQ(count(store->calls(), "hasEventsForTarget"), 4u);
  EXPECT_EQ(service_.uploads().size(), 1u);
}

TEST_F(RDTKCTUploaderSchedulingTest, ATargetWithoutAStoreIsNotUploaded) {
  LogCapture log;
  RDTKCTUploader::sharedInstance()->uploadTarget(RDTCORTargetCSH, RDTCORUploadConditionWifiData);
  EXPECT_TRUE(log.contains(
      "Failed to upload target: 1002 - could not find corresponding storage instance."));
  EXPECT_EQ(RDTKCTUploader::sharedInstance()->uploadOperationQueue().operationCount(), 0u);
  EXPECT_TRUE(service_.uploads().empty());
}

TEST_F(RDTKCTUploaderSchedulingTest, WithTheRealStoreA400IsCountedAndReportedInTheNextUpload) {
  // The application's class-load list.
  RDTCOREvent::load();
  RDTCORApplication::load();
  RDTKCTUploader::load();
  RDTCORFlatFileStorage::load();
  RDTCORMetricsController::load();
  const auto store = [&](const std::string& payload) {
    std::promise<bool> written;
    RDTCORFlatFileStorage::sharedInstance()->storeEvent(
        makeEvent(RDTCORTargetCSH, RDTCOREventQoSDefault, payload),
        [&](bool wasWritten, const platform::ErrorPtr&) { written.set_value(wasWritten); });
    return written.get_future().get();
  };
  ASSERT_TRUE(store("one"));
  ASSERT_TRUE(store("two"));
  service_.script(RDTCORTargetCSH, {.status = 400});
  service_.script(RDTCORTargetCSH, {.status = 200});

  const auto uploader = RDTKCTUploader::sharedInstance();
  uploader->uploadTarget(RDTCORTargetCSH, RDTCORUploadConditionWifiData);
  ASSERT_TRUE(drain());
  ASSERT_TRUE(store("three"));
  // Forced: the 400 asked for 15 minutes.
  uploader->uploadTarget(RDTCORTargetCSH,
                         RDTCORUploadConditionWifiData | RDTCORUploadConditionHighPriority);
  ASSERT_TRUE(drain());

  const auto uploads = service_.uploads();
  ASSERT_EQ(uploads.size(), 2u);
  // The first upload found no metrics record yet; the second carries the 400's two events
  // under their own log source with reason 5, and nothing for the metrics event itself.
  std::optional<kct_testing::MetricsReport> report;
  std::vector<std::string> payloads;
  const auto second =
      kct_testing::DecodeBatchRequest(platform::Data::fromString(uploads[1].inflatedBody));
  ASSERT_TRUE(second);
  for (const auto& source : second->source_requests) {
    for (const auto& event : source.events) {
      if (source.log_source == 1710) {
        report = kct_testing::DecodeMetricsReport(platform::Data::fromString(*event.payload));
      } else {
        payloads.push_back(event.payload.value_or(""));
      }
    }
  }
  EXPECT_EQ(payloads, std::vector<std::string>{"three"});
  ASSERT_TRUE(report);
  ASSERT_EQ(report->log_source_metrics.size(), 1u);
  EXPECT_EQ(report->log_source_metrics[0].log_source, "1206");
  ASSERT_EQ(report->log_source_metrics[0].dropped_events.size(), 1u);
  EXPECT_EQ(report->log_source_metrics[0].dropped_events[0].reason,
            RDTCOREventDropReasonInvalidPayload);
  EXPECT_EQ(report->log_source_metrics[0].dropped_events[0].events_dropped_count, 2);

  std::promise<bool> hasEvents;
  RDTCORFlatFileStorage::sharedInstance()->hasEventsForTarget(
      RDTCORTargetCSH, [&](bool value) { hasEvents.set_value(value); });
  EXPECT_FALSE(hasEvents.get_future().get());
}

}  // namespace
