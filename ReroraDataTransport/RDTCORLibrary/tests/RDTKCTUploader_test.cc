// Upload operations against the loopback collection service: what the batch's fate and the
// next upload time are for each answer, what the request carries, when an operation is ready
// and which events it takes.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCOREndpoints.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTCompressionHelper.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploadOperation.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/KCTTestMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTKCTUploaderTestFakes.h"
#include "foundation/ZIRServiceHosts.h"
#include "platform/gzip.h"
#include "tests/support/fake_collection_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using testing_support::FakeCollectionService;
using transport_testing::LogCapture;
using transport_testing::RecordingApplication;
using uploader_testing::InMemoryEventStore;
using uploader_testing::makeEvent;
using uploader_testing::RecordingMetricsController;
using Answer = FakeCollectionService::Answer;

constexpr std::int64_t kLongestWaitMillis = std::numeric_limits<std::int64_t>::max() / 2;

// One collection service, store, metrics controller and uploader (the operations' metadata
// provider and queue), fresh for each case of a table.
struct Harness {
  FakeCollectionService service;
  std::shared_ptr<InMemoryEventStore> store = std::make_shared<InMemoryEventStore>();
  std::shared_ptr<RecordingMetricsController> metrics =
      std::make_shared<RecordingMetricsController>(RecordingMetricsController::sampleMetrics());
  std::shared_ptr<RDTKCTUploader> uploader = std::make_shared<RDTKCTUploader>();

  std::shared_ptr<RDTKCTUploadOperation> operation(RDTCORTarget target,
                                                   RDTCORUploadConditions conditions,
                                                   bool withMetricsController = false) {
    return std::make_shared<RDTKCTUploadOperation>(target, conditions, service.uploadURL(target),
                                                   uploader->uploadQueue(), store, uploader,
                                                   withMetricsController ? metrics : nullptr);
  }

  // The next upload time as milliseconds from now, or none.
  std::optional<std::int64_t> waitMillis(RDTCORTarget target) const {
    const auto next = uploader->nextUploadTimeForTarget(target);
    if (!next) return std::nullopt;
    return next->timeMillis() - RDTCORClock::snapshot()->timeMillis();
  }
};

// Starts the operation outside any queue and pumps the main queue, where data tasks start,
// until it finished.
::testing::AssertionResult run(const std::shared_ptr<RDTKCTUploadOperation>& operation) {
  operation->start();
  return testing_support::pumpMainQueueUntil([&] { return operation->isFinished(); });
}

std::optional<kct_testing::BatchRequest> decode(const FakeCollectionService::Upload& upload) {
  return kct_testing::DecodeBatchRequest(Data::fromString(upload.inflatedBody));
}

// (log source, payload) of every event of the request, in no particular order.
using Payloads = std::multiset<std::pair<std::int32_t, std::string>>;

Payloads payloadsBySource(const kct_testing::BatchRequest& batch) {
  Payloads payloads;
  for (const auto& source : batch.source_requests) {
    for (const auto& event : source.events) {
      payloads.emplace(source.log_source.value_or(-1), event.payload.value_or(""));
    }
  }
  return payloads;
}

class RDTKCTUploadOperationTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(
        testing_support::pumpMainQueueUntil([] { return ZBLPromise::dispatchGroup().wait(0); }));
  }

  testing_support::ManualClockScope clock_;
};

TEST_F(RDTKCTUploadOperationTest, TheStatusDecidesTheBatchAndTheMetricsGoBackOnEveryFailure) {
  struct Case {
    int status;
    bool eventsKept;
    bool reportedDropped;
  } cases[] = {
      {200, false, false}, {204, false, false}, {404, true, false},  {429, true, false},
      {500, true, false},  {503, true, false},  {599, true, false},  {400, false, true},
      {401, false, false}, {403, false, false}, {413, false, false},
  };
  const std::string metricsPayload =
      RecordingMetricsController::sampleMetrics()->transportBytes().toString();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Harness h;
    h.store->add(makeEvent(RDTCORTargetCSH, RDTCOREventQoSDefault, "first"));
    h.store->add(makeEvent(RDTCORTargetCSH, RDTCOREventQoSDefault, "second"));
    h.service.script(RDTCORTargetCSH, {.status = c.status});

    const auto operation = h.operation(RDTCORTargetCSH, RDTCORUploadConditionWifiData, true);
    ASSERT_TRUE(run(operation));
    EXPECT_TRUE(operation->uploadAttempted());

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const auto batch = decode(uploads[0]);
    ASSERT_TRUE(batch);
    // The stored events under their own log source, the metrics under 1710.
    EXPECT_EQ(payloadsBySource(*batch),
              (Payloads{{1206, "first"}, {1206, "second"}, {1710, metricsPayload}}));

    const bool succeeded = c.status >= 200 && c.status < 300;
    EXPECT_EQ(h.store->removals(), (std::vector<InMemoryEventStore::Removal>{{1, !c.eventsKept}}));
    EXPECT_EQ(h.store->pool().size(), c.eventsKept ? 2u : 0u);
    EXPECT_EQ(h.store->batchCount(), 0u);
    // The metrics event itself never lands in the store.
    for (const auto& event : h.store->pool()) {
      EXPECT_NE(event->mappingID(), kRDTCORMetricsMappingID);
    }

    const auto offers = h.metrics->offers();
    ASSERT_EQ(offers.size(), succeeded ? 0u : 1u);
    if (!succeeded) {
      EXPECT_TRUE(*offers[0] == *RecordingMetricsController::sampleMetrics());
    }

    const auto drops = h.metrics->drops();
    ASSERT_EQ(drops.size(), c.reportedDropped ? 1u : 0u);
    if (c.reportedDropped) {
      EXPECT_EQ(drops[0].reason, RDTCOREventDropReasonInvalidPayload);
      // The two client events, not the metrics event that rode along.
      ASSERT_EQ(drops[0].events.size(), 2u);
      for (const auto& event : drops[0].events) EXPECT_EQ(event->mappingID(), "1206");
    }
  }
}

TEST_F(RDTKCTUploadOperationTest, WithoutMetricsTheBatchGoesAloneAndNothingIsOffered) {
  Harness h;
  h.metrics = std::make_shared<RecordingMetricsController>(nullptr);
  h.store->add(makeEvent(RDTCORTargetCSH, RDTCOREventQoSDefault, "alone"));
  h.service.script(RDTCORTargetCSH, {.status = 500});

  const auto operation = h.operation(RDTCORTargetCSH, RDTCORUploadConditionWifiData, true);
  ASSERT_TRUE(run(operation));

  EXPECT_EQ(h.metrics->handedOut(), 1);
  const auto uploads = h.service.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto batch = decode(uploads[0]);
  ASSERT_TRUE(batch);
  EXPECT_EQ(payloadsBySource(*batch), (Payloads{{1206, "alone"}}));
  EXPECT_TRUE(h.metrics->offers().empty());
  EXPECT_EQ(h.store->pool().size(), 1u);
}

TEST_F(RDTKCTUploadOperationTest, TheAnswerSetsTheNextUploadTime) {
  const std::string undecodable = "\xff\xff\xff";
  struct Case {
    const char* name;
    int status;
    std::string body;
    std::optional<std::string> retryAfter;
    std::int64_t expectedWait;
  } cases[] = {
      {"the body's wait", 200, kct_testing::EncodeResponse(5000).toString(), std::nullopt, 5000},
      {"the body wins over Retry-After", 503, kct_testing::EncodeResponse(2500).toString(), "120",
       2500},
      {"a zero wait", 200, kct_testing::EncodeResponse(0).toString(), "120", 0},
      {"Retry-After when the body does not decode", 503, undecodable, "120", 120'000},
      {"Retry-After when the body has no wait", 429,
       kct_testing::EncodeResponse(std::nullopt, true).toString(), "7", 7000},
      {"Retry-After keeps whole seconds", 503, "", "1.9", 1000},
      {"nothing: 15 minutes", 400, "", std::nullopt, 900'000},
      {"a negative wait is no answer", 200, kct_testing::EncodeResponse(-5000).toString(),
       std::nullopt, 900'000},
      {"a negative wait gives way to Retry-After", 503,
       kct_testing::EncodeResponse(-5000).toString(), "30", 30'000},
      {"a negative Retry-After", 503, "", "-3", 900'000},
      {"a Retry-After date", 503, "", "Wed, 21 Oct 2015 07:28:00 GMT", 900'000},
      {"a Retry-After with trailing text", 503, "", "12abc", 900'000},
      {"an endless wait stops short of overflowing", 200,
       kct_testing::EncodeResponse(std::numeric_limits<std::int64_t>::max()).toString(),
       std::nullopt, kLongestWaitMillis},
      {"an endless Retry-After too", 503, "", "999999999999999999999999", kLongestWaitMillis},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault));
    h.service.script(RDTCORTargetKCT,
                     {.status = c.status, .body = c.body, .retryAfter = c.retryAfter});
    LogCapture log(RDTCORLoggingLevelDebug);
    ASSERT_TRUE(run(h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData)));

    EXPECT_EQ(h.waitMillis(RDTCORTargetKCT), c.expectedWait);
    EXPECT_EQ(h.waitMillis(RDTCORTargetFLL), std::nullopt);
    if (c.body == undecodable) {
      EXPECT_TRUE(log.contains("There was a response decoding error: "));
    }
    if (c.expectedWait == 900'000) {
      EXPECT_TRUE(log.contains("KCT: The backend response failed to parse, so the next request "
                               "won't occur until 15 minutes from now"));
    }
    if (c.expectedWait == 5000) {
      EXPECT_TRUE(log.contains(
          "KCT: The backend responded asking to not upload for 5000 millis from now."));
    }
  }
}

TEST_F(RDTKCTUploadOperationTest, ATransportFailureKeepsTheEventsAndTheNextUploadTime) {
  Harness h;
  h.store->add(makeEvent(RDTCORTargetCSH, RDTCOREventQoSDefault));
  const auto earlier = RDTCORClock::clockSnapshotInTheFuture(60'000);
  h.uploader->setNextUploadTime(earlier, RDTCORTargetCSH);
  h.service.script(RDTCORTargetCSH, {.dropConnection = true});

  // Forced, as the stored wait has not passed.
  const auto operation = h.operation(
      RDTCORTargetCSH, RDTCORUploadConditionWifiData | RDTCORUploadConditionHighPriority, true);
  ASSERT_TRUE(run(operation));

  EXPECT_TRUE(operation->uploadAttempted());
  EXPECT_EQ(h.service.uploads().size(), 1u);
  EXPECT_EQ(h.uploader->nextUploadTimeForTarget(RDTCORTargetCSH), earlier);
  EXPECT_EQ(h.store->removals(), (std::vector<InMemoryEventStore::Removal>{{1, false}}));
  EXPECT_EQ(h.store->pool().size(), 1u);
  EXPECT_EQ(h.metrics->offers().size(), 1u);
  EXPECT_TRUE(h.metrics->drops().empty());
}

TEST_F(RDTKCTUploadOperationTest, TheRequestCarriesTheTargetsHeaders) {
  struct Case {
    RDTCORTarget target;
    const char* userAgent;
    bool hasAPIKey;
  } cases[] = {
      {RDTCORTargetKCT, "datatransport/0.0.1 kctsupport/0.0.1 apple/", false},
      {RDTCORTargetFLL, "datatransport/0.0.1 fllsupport/0.0.1 apple/", true},
      {RDTCORTargetCSH, "datatransport/0.0.1 cshsupport/0.0.1 apple/", true},
      {RDTCORTargetINT, "datatransport/0.0.1 intsupport/0.0.1 apple/", true},
      {RDTCORTargetTest, "datatransport/0.0.1 unknownsupport/0.0.1 apple/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    Harness h;
    h.store->add(makeEvent(c.target, RDTCOREventQoSDefault));
    h.service.script(c.target, {.status = 200});
    ASSERT_TRUE(run(h.operation(c.target, RDTCORUploadConditionWifiData)));

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const auto& upload = uploads[0];
    EXPECT_EQ(upload.method, "POST");
    EXPECT_EQ(upload.path, FakeCollectionService::uploadPath(c.target));
    EXPECT_EQ(upload.header("User-Agent"), c.userAgent);
    EXPECT_EQ(upload.header("Content-Type"), "application/x-protobuf");
    EXPECT_EQ(upload.header("Accept-Encoding"), "gzip");
    EXPECT_EQ(upload.header("X-Rerora-Api-Key"),
              c.hasAPIKey ? std::optional<std::string>(FLLAndCSHAndINTAPIKey()) : std::nullopt);
    EXPECT_TRUE(decode(upload));
  }
}

TEST_F(RDTKCTUploadOperationTest, TheBodyIsGzippedOnlyWhenThatMakesItShorter) {
  struct Case {
    const char* name;
    std::string payload;
    bool gzipped;
  } cases[] = {
      {"a compressible payload", std::string(4000, 'x'), true},
      {"a short payload", "p", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault, c.payload));
    ASSERT_TRUE(run(h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData)));

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const auto& upload = uploads[0];
    const Data sent = Data::fromString(upload.body);
    const auto batch = decode(upload);
    ASSERT_TRUE(batch);
    EXPECT_EQ(payloadsBySource(*batch), (Payloads{{1206, c.payload}}));
    if (c.gzipped) {
      EXPECT_EQ(upload.header("Content-Encoding"), "gzip");
      EXPECT_TRUE(RDTKCTCompressionHelper::isGzipped(sent));
      EXPECT_LT(upload.body.size(), upload.inflatedBody.size());
    } else {
      EXPECT_EQ(upload.header("Content-Encoding"), std::nullopt);
      EXPECT_EQ(upload.body, upload.inflatedBody);
      const auto gzipped = RDTKCTCompressionHelper::gzippedData(sent);
      ASSERT_TRUE(gzipped);
      EXPECT_GE(gzipped->size(), sent.size());
    }
  }
}

TEST_F(RDTKCTUploadOperationTest, ARedirectIsFollowedWithTheTargetsOwnHeadersAndTheSameBody) {
  for (const int status : {301, 302, 307, 308}) {
    SCOPED_TRACE(status);
    Harness h;
    h.store->add(makeEvent(RDTCORTargetFLL, RDTCOREventQoSDefault, std::string(3000, 'r')));
    h.service.script(RDTCORTargetFLL, Answer::redirect(h.service.baseURL() + "/moved", status));
    h.service.script("/moved",
                     {.status = 200, .body = kct_testing::EncodeResponse(5000).toString()});
    ASSERT_TRUE(run(h.operation(RDTCORTargetFLL, RDTCORUploadConditionWifiData)));

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    const auto& first = uploads[0];
    const auto& moved = uploads[1];
    EXPECT_EQ(moved.path, "/moved");
    EXPECT_EQ(moved.method, "POST");
    EXPECT_EQ(moved.header("X-Rerora-Api-Key"), FLLAndCSHAndINTAPIKey());
    EXPECT_EQ(moved.header("User-Agent"), "datatransport/0.0.1 fllsupport/0.0.1 apple/");
    EXPECT_EQ(moved.header("Content-Type"), "application/x-protobuf");
    EXPECT_EQ(moved.header("Content-Encoding"), "gzip");
    EXPECT_EQ(moved.body, first.body);
    // The answer at the new address is the one that counts.
    EXPECT_EQ(h.store->removals(), (std::vector<InMemoryEventStore::Removal>{{1, true}}));
    EXPECT_EQ(h.waitMillis(RDTCORTargetFLL), 5000);
  }
}

// The key is for the collection service only: a redirect to another server gets none,
// whichever status sends it there.
TEST_F(RDTKCTUploadOperationTest, ARedirectToAnotherServerCarriesNoKey) {
  for (const int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    Harness h;
    h.store->add(makeEvent(RDTCORTargetFLL, RDTCOREventQoSDefault, std::string(3000, 'r')));
    // Another host name for the same loopback server: another origin as far as the key goes.
    std::string elsewhere = h.service.baseURL() + "/moved";
    elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
    h.service.script(RDTCORTargetFLL, Answer::redirect(elsewhere, status));
    h.service.script("/moved", {.status = 200});
    ASSERT_TRUE(run(h.operation(RDTCORTargetFLL, RDTCORUploadConditionWifiData)));

    const auto uploads = h.service.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].header("X-Rerora-Api-Key"), FLLAndCSHAndINTAPIKey());
    EXPECT_EQ(uploads[1].path, "/moved");
    EXPECT_EQ(uploads[1].header("X-Rerora-Api-Key"), std::nullopt);
    if (status == 303) {
      // Followed as proposed: a GET without the body.
      EXPECT_EQ(uploads[1].method, "GET");
      continue;
    }
    EXPECT_EQ(uploads[1].method, "POST");
    EXPECT_EQ(uploads[1].header("User-Agent"), "datatransport/0.0.1 kctsupport/0.0.1 apple/");
    EXPECT_EQ(uploads[1].body, uploads[0].body);
  }
}

TEST_F(RDTKCTUploadOperationTest, ReadinessNoNetworkWinsThenForcedThenTheBackendsWait) {
  Harness h;
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault));
  {
    LogCapture log(RDTCORLoggingLevelDebug);
    const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionNoNetwork |
                                                            RDTCORUploadConditionHighPriority);
    ASSERT_TRUE(run(operation));
    EXPECT_FALSE(operation->uploadAttempted());
    EXPECT_TRUE(log.contains("KCT: Not ready to upload without a network connection."));
  }
  EXPECT_TRUE(h.store->calls().empty());

  h.uploader->setNextUploadTime(RDTCORClock::clockSnapshotInTheFuture(60'000), RDTCORTargetKCT);
  {
    LogCapture log(RDTCORLoggingLevelDebug);
    const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
    ASSERT_TRUE(run(operation));
    EXPECT_FALSE(operation->uploadAttempted());
    EXPECT_TRUE(log.contains("KCT: can't upload to target 1000 because the backend asked to wait"));
  }
  EXPECT_TRUE(h.store->calls().empty());
  EXPECT_TRUE(h.service.uploads().empty());

  // A moment exactly at the stored time is not after it.
  clock_.advance(60);
  {
    const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
    ASSERT_TRUE(run(operation));
    EXPECT_FALSE(operation->uploadAttempted());
  }
  clock_.advance(1);
  {
    LogCapture log(RDTCORLoggingLevelDebug);
    const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
    ASSERT_TRUE(run(operation));
    EXPECT_TRUE(operation->uploadAttempted());
    EXPECT_TRUE(log.contains(
        "KCT: can upload to target 1000 because the request wait time has transpired"));
  }
  // The answer asked for 15 minutes; a high-priority event does not wait for them.
  ASSERT_EQ(h.waitMillis(RDTCORTargetKCT), 900'000);
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSFast));
  {
    LogCapture log(RDTCORLoggingLevelDebug);
    const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData |
                                                            RDTCORUploadConditionHighPriority);
    ASSERT_TRUE(run(operation));
    EXPECT_TRUE(operation->uploadAttempted());
    EXPECT_TRUE(log.contains("KCT: a high priority event is allowing an upload"));
  }
  EXPECT_EQ(h.service.uploads().size(), 2u);
}

TEST_F(RDTKCTUploadOperationTest, TheConditionsChooseTheTiers) {
  struct Case {
    RDTCORUploadConditions conditions;
    std::optional<std::set<RDTCOREventQoS>> tiers;
  } cases[] = {
      {RDTCORUploadConditionMobileData, std::set<RDTCOREventQoS>{4, 3}},
      {RDTCORUploadConditionWifiData, std::set<RDTCOREventQoS>{4, 5, 3, 1, 0}},
      {RDTCORUploadConditionWifiData | RDTCORUploadConditionMobileData,
       std::set<RDTCOREventQoS>{4, 5, 3, 1, 0}},
      {RDTCORUploadConditionMobileData | RDTCORUploadConditionHighPriority, std::nullopt},
  };
  Harness h;
  for (const Case& c : cases) {
    const auto selector = h.operation(RDTCORTargetKCT, c.conditions)
                              ->eventSelectorTarget(RDTCORTargetKCT, c.conditions);
    EXPECT_EQ(selector->selectedTarget(), RDTCORTargetKCT);
    EXPECT_EQ(selector->selectedQosTiers(), c.tiers) << c.conditions;
    EXPECT_EQ(selector->selectedEventIDs(), std::nullopt);
    EXPECT_EQ(selector->selectedMappingIDs(), std::nullopt);
  }
}

TEST_F(RDTKCTUploadOperationTest, OnMobileDataOnlyTiersFourAndThreeGo) {
  Harness h;
  for (const RDTCOREventQoS tier : {0, 1, 3, 4, 5}) {
    h.store->add(makeEvent(RDTCORTargetKCT, tier, "tier" + std::to_string(tier)));
  }
  ASSERT_TRUE(run(h.operation(RDTCORTargetKCT, RDTCORUploadConditionMobileData)));

  const auto uploads = h.service.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto batch = decode(uploads[0]);
  ASSERT_TRUE(batch);
  EXPECT_EQ(payloadsBySource(*batch), (Payloads{{1206, "tier3"}, {1206, "tier4"}}));
  EXPECT_EQ(h.store->poolTiers(), (std::set<RDTCOREventQoS>{0, 1, 5}));
  // The batch is held for 600 seconds of the (manual) clock.
  EXPECT_EQ(h.store->lastBatchExpiration(), platform::Date::now().addingTimeInterval(600));
}

// Two processes of the user share the store's folders: while one uploads, the other must not
// take, return or delete batches.
TEST_F(RDTKCTUploadOperationTest, WhileAnotherProcessUploadsNothingIsTaken) {
  Harness h;
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault, "waits"));
  h.service.script(RDTCORTargetKCT, {.status = 200});
  const std::string lockPath = (RDTCORRootDirectory() / "upload.lock").string();
  // A lock taken through another open file stands for another process's.
  const int other = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  const auto blocked = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
  ASSERT_TRUE(run(blocked));
  EXPECT_FALSE(blocked->uploadAttempted());
  EXPECT_TRUE(h.service.uploads().empty());
  EXPECT_TRUE(h.store->calls().empty());

  ::close(other);
  const auto next = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
  ASSERT_TRUE(run(next));
  EXPECT_TRUE(next->uploadAttempted());
  EXPECT_EQ(h.service.uploads().size(), 1u);
}

TEST_F(RDTKCTUploadOperationTest, LeftoverBatchesReturnFirstAndAnEmptyTargetUploadsNothing) {
  Harness h;
  h.store->addLeftoverBatch({makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault, "leftover")});
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault, "new"));
  ASSERT_TRUE(run(h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData)));

  EXPECT_EQ(h.store->calls(),
            (std::vector<std::string>{"removeAllBatchesForTarget", "hasEventsForTarget",
                                      "batchWithEventSelector", "removeBatchWithID"}));
  EXPECT_EQ(h.store->removals(), (std::vector<InMemoryEventStore::Removal>{{1, false}, {2, true}}));
  auto uploads = h.service.uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto batch = decode(uploads[0]);
  ASSERT_TRUE(batch);
  EXPECT_EQ(payloadsBySource(*batch), (Payloads{{1206, "leftover"}, {1206, "new"}}));

  // Nothing left: the chain ends at the check for events (forced, past the backend's wait).
  const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData |
                                                          RDTCORUploadConditionHighPriority);
  ASSERT_TRUE(run(operation));
  EXPECT_FALSE(operation->uploadAttempted());
  EXPECT_EQ(h.store->calls().size(), 6u);
  EXPECT_EQ(h.store->calls().back(), "hasEventsForTarget");
  EXPECT_EQ(h.service.uploads().size(), 1u);
}

TEST_F(RDTKCTUploadOperationTest, ACancelledOperationNeverRuns) {
  Harness h;
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault));
  const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
  operation->cancel();
  ASSERT_TRUE(run(operation));
  EXPECT_FALSE(operation->uploadAttempted());
  EXPECT_TRUE(h.store->calls().empty());
}

TEST_F(RDTKCTUploadOperationTest, AnExpiredBackgroundTaskCancelsTheUploadInFlightAndEndsOnce) {
  Harness h;
  h.store->add(makeEvent(RDTCORTargetKCT, RDTCOREventQoSDefault));
  // Long enough never to answer first: the service's end cuts it short.
  h.service.script(RDTCORTargetKCT, {.status = 200, .delaySeconds = 60});
  const auto application = std::make_shared<RecordingApplication>(7);
  const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
  operation->setApplication(application);

  operation->start();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !h.service.uploads().empty(); }));
  application->expireLastTask();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return operation->isFinished(); }));

  EXPECT_EQ(application->names(), std::vector<std::string>{"RDTKCTUploader-upload"});
  EXPECT_EQ(application->ended(), std::vector<RDTCORBackgroundIdentifier>{7});
  EXPECT_TRUE(operation->uploadAttempted());
  // Cancelled in flight is a transport failure: the events wait for the next attempt.
  EXPECT_EQ(h.store->removals(), (std::vector<InMemoryEventStore::Removal>{{1, false}}));
  EXPECT_EQ(h.uploader->nextUploadTimeForTarget(RDTCORTargetKCT), nullptr);

  // Once ended, a late expiry only warns.
  LogCapture log(RDTCORLoggingLevelWarnings);
  application->expireLastTask();
  EXPECT_TRUE(
      log.contains("Attempted to cancel invalid background task in RDTKCTUploadOperation."));
  EXPECT_EQ(application->ended().size(), 1u);
}

TEST_F(RDTKCTUploadOperationTest, ARequestNeedsDataAndAnAddress) {
  Harness h;
  const auto operation = h.operation(RDTCORTargetKCT, RDTCORUploadConditionWifiData);
  LogCapture log(RDTCORLoggingLevelDebug);
  EXPECT_FALSE(operation->constructRequestWithURL(h.service.uploadURL(RDTCORTargetKCT),
                                                  RDTCORTargetKCT, Data()));
  EXPECT_TRUE(log.contains("There was no data to construct a request for target 1000."));
  EXPECT_FALSE(
      operation->constructRequestWithURL(std::nullopt, RDTCORTargetKCT, Data::fromString("bytes")));

  const auto error = RDTKCTUploadOperation::genericRejectedPromiseErrorWithReason("why");
  EXPECT_EQ(error->domain(), "RDTKCTUploader");
  EXPECT_EQ(error->code(), -1);
  EXPECT_EQ(error->userInfo()[platform::kLocalizedFailureReasonErrorKey], platform::Value("why"));
}

TEST(RDTKCTCompressionHelperTest, GzipsNonEmptyInputAndRecognisesTheMagicBytes) {
  EXPECT_EQ(RDTKCTCompressionHelper::gzippedData(Data()), std::nullopt);
  const Data text = Data::fromString(std::string(1000, 'z') + "end");
  const auto gzipped = RDTKCTCompressionHelper::gzippedData(text);
  ASSERT_TRUE(gzipped);
  EXPECT_TRUE(RDTKCTCompressionHelper::isGzipped(*gzipped));
  EXPECT_EQ(platform::gzip::decompress(*gzipped), text);

  struct Case {
    std::vector<std::uint8_t> bytes;
    bool gzipped;
  } cases[] = {
      {{}, false},           {{0x1F}, false},
      {{0x1F, 0x8B}, true},  {{0x1F, 0x8C, 0x08}, false},
      {{0x8B, 0x1F}, false}, {{0x1F, 0x8B, 0x08, 0x00}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RDTKCTCompressionHelper::isGzipped(Data(c.bytes)), c.gzipped) << c.bytes.size();
  }
}

class RDTKCTUploaderConfigurationTest : public testing_support::TemporaryHomeTest {};

TEST_F(RDTKCTUploaderConfigurationTest, UploadAddressesAndKeyComeFromTheEnvironmentOrInfoPlist) {
  using Getter = std::string (*)();
  struct Case {
    const char* key;
    const char* environment;
    const char* fallback;
    Getter get;
  } cases[] = {
      {ZIRServiceHosts::kKCTUploadURLKey, ZIRServiceHosts::kKCTUploadURLEnvironment,
       ZIRServiceHosts::kDefaultKCTUploadURL, &ZIRServiceHosts::kctUploadURL},
      {ZIRServiceHosts::kFLLUploadURLKey, ZIRServiceHosts::kFLLUploadURLEnvironment,
       ZIRServiceHosts::kDefaultFLLUploadURL, &ZIRServiceHosts::fllUploadURL},
      {ZIRServiceHosts::kCSHUploadURLKey, ZIRServiceHosts::kCSHUploadURLEnvironment,
       ZIRServiceHosts::kDefaultCSHUploadURL, &ZIRServiceHosts::cshUploadURL},
      {ZIRServiceHosts::kTransportAPIKeyKey, ZIRServiceHosts::kTransportAPIKeyEnvironment,
       ZIRServiceHosts::kDefaultTransportAPIKey, &ZIRServiceHosts::transportAPIKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    home_.useBundle();
    EXPECT_EQ(c.get(), c.fallback);
    home_.useBundle({{c.key, "from-info-plist"}});
    EXPECT_EQ(c.get(), "from-info-plist");
    {
      testing_support::ScopedEnvironment environment(c.environment, "from-environment");
      EXPECT_EQ(c.get(), "from-environment");
    }
    {
      testing_support::ScopedEnvironment environment(c.environment, "");
      EXPECT_EQ(c.get(), "from-info-plist");
    }
  }
  // The shipped values never reach a real host, and the key placeholder has a key's length.
  for (const char* url :
       {ZIRServiceHosts::kDefaultKCTUploadURL, ZIRServiceHosts::kDefaultFLLUploadURL,
        ZIRServiceHosts::kDefaultCSHUploadURL, kRDTCORINTUploadURL}) {
    EXPECT_NE(std::string(url).find(".invalid/"), std::string::npos) << url;
  }
  EXPECT_EQ(std::string(ZIRServiceHosts::kDefaultTransportAPIKey).size(), 39u);
  EXPECT_EQ(RDTCOREndpoints::uploadURLForTarget(RDTCORTargetINT),
            "https://dummy.invalid/dummy/api/very/long");
  EXPECT_EQ(RDTCOREndpoints::uploadURLForTarget(RDTCORTargetTest), std::nullopt);
}

}  // namespace
