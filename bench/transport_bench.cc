// The event transport's costs: storing events, taking a filtered batch out of a full store,
// encoding a batch for the wire, and how long a tier-4 event takes from the send to the
// loopback collection service through the shared store and uploader.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include <benchmark/benchmark.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORTransport.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "foundation/ZIRServiceHosts.h"
#include "tests/support/fake_collection_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using testing_support::FakeCollectionService;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayloadBytes = 200;

class PayloadObject : public RDTCOREventDataObject {
 public:
  explicit PayloadObject(std::string bytes) : bytes_(std::move(bytes)) {}
  platform::Data transportBytes() const override { return platform::Data::fromString(bytes_); }

 private:
  std::string bytes_;
};

// What the program shares: a home with a bundle (the client block reads it), and the loopback
// service the configured addresses point at, set before the transport first reads them.
struct Process {
  Process() {
    home.useBundle();
    setenv(ZIRServiceHosts::kKCTUploadURLEnvironment, service.uploadURL(RDTCORTargetKCT).c_str(),
           1);
    service.service().respond("POST", FakeCollectionService::uploadPath(RDTCORTargetKCT),
                              [this](const testing_support::FakeService::Request&) {
                                receivedAt = Clock::now().time_since_epoch().count();
                                ++received;
                                return testing_support::FakeService::Response{};
                              });
    RDTCOREvent::load();
  }

  testing_support::TemporaryHome home;
  // When the service last had an upload of 1000 (steady clock ticks), and how many it had.
  std::atomic<Clock::rep> receivedAt{0};
  std::atomic<std::size_t> received{0};
  FakeCollectionService service;
};

Process& process() {
  static Process shared;
  return shared;
}

// Events as a client makes them: four log sources, a payload of kPayloadBytes, stamped now.
std::shared_ptr<RDTCOREvent> makeEvent(std::size_t index, RDTCORTarget target,
                                       RDTCOREventQoS tier) {
  auto event = RDTCOREvent::initWithMappingID(std::to_string(1970 + index % 4), target);
  std::string payload(kPayloadBytes, 'a');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>((index * 31 + i * 7) & 0xff);
  }
  event->setDataObject(std::make_shared<PayloadObject>(std::move(payload)));
  event->setQosTier(tier);
  event->setClockSnapshot(RDTCORClock::snapshot());
  return event;
}

// Tiers take turns among 1, 3, 4 and 5.
RDTCOREventSet makeEvents(std::size_t count) {
  static constexpr RDTCOREventQoS kTiers[] = {RDTCOREventQoSTelemetry, RDTCOREventQoSDefault,
                                              RDTCOREventQoSFast, RDTCOREventQoSWifiOnly};
  RDTCOREventSet events;
  events.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    events.push_back(makeEvent(i, RDTCORTargetFLL, kTiers[i % 4]));
  }
  return events;
}

// A store of its own in a temporary folder, which goes with it. No coordinator: a stored
// tier-4 event forces nothing.
class ScratchStore {
 public:
  ScratchStore() {
    std::string pattern = (fs::temp_directory_path() / "vilmo-transport-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
    root_ = pattern;
    store_ = std::make_shared<RDTCORFlatFileStorage>(root_, nullptr);
  }
  ~ScratchStore() {
    store_->storageQueue()->sync([] {});
    store_.reset();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  ScratchStore(const ScratchStore&) = delete;
  ScratchStore& operator=(const ScratchStore&) = delete;

  RDTCORFlatFileStorage& store() { return *store_; }

  // Returns once every event is written (completions run on the store's queue).
  bool storeAll(const RDTCOREventSet& events) {
    std::atomic<std::size_t> written{0};
    for (const auto& event : events) {
      store_->storeEvent(event, [&written](bool wasWritten, const platform::ErrorPtr&) {
        if (wasWritten) ++written;
      });
    }
    store_->storageQueue()->sync([] {});
    return written == events.size();
  }

 private:
  fs::path root_;
  std::shared_ptr<RDTCORFlatFileStorage> store_;
};

// Two sizes, as the rate per event should not fall with the number of files a target's folder
// already holds.
void BM_StoreEvents(benchmark::State& state) {
  process();
  const auto count = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto scratch = std::make_unique<ScratchStore>();
    const RDTCOREventSet events = makeEvents(count);
    state.ResumeTiming();

    if (!scratch->storeAll(events)) state.SkipWithError("an event was not stored");

    state.PauseTiming();
    scratch.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_StoreEvents)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The tiers a mobile-data upload takes (3 and 4): half of the stored events. Each batch goes
// back to the pool untimed, so every iteration starts from the same full store.
void BM_BatchWithTierFilter(benchmark::State& state) {
  process();
  const auto count = static_cast<std::size_t>(state.range(0));
  ScratchStore scratch;
  if (!scratch.storeAll(makeEvents(count))) {
    state.SkipWithError("the store could not be filled");
    return;
  }
  const auto selector = std::make_shared<RDTCORStorageEventSelector>(
      RDTCORTargetFLL, std::nullopt, std::nullopt,
      std::set<RDTCOREventQoS>{RDTCOREventQoSDefault, RDTCOREventQoSFast});
  RDTCORFlatFileStorage& store = scratch.store();
  std::size_t batched = 0;
  for (auto _ : state) {
    std::optional<std::int64_t> batchID;
    store.batchWithEventSelector(
        selector, platform::Date::now().addingTimeInterval(600),
        [&](std::optional<std::int64_t> id, std::optional<RDTCOREventSet> events) {
          batchID = id;
          batched = events ? events->size() : 0;
        });
    store.storageQueue()->sync([] {});

    state.PauseTiming();
    if (!batchID || batched != count / 2) state.SkipWithError("the batch is not the selected half");
    if (batchID) store.removeBatchWithID(*batchID, false, nullptr);
    store.storageQueue()->sync([] {});
    state.ResumeTiming();
  }
  state.counters["stored"] = static_cast<double>(count);
  state.counters["batched"] = static_cast<double>(batched);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batched));
}
BENCHMARK(BM_BatchWithTierFilter)->Arg(10'000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeBatch(benchmark::State& state) {
  process();
  const auto count = static_cast<std::size_t>(state.range(0));
  const RDTCOREventSet events = makeEvents(count);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const platform::Data body = KCTEncodeBatchRequest(events);
    bytes = body.size();
    benchmark::DoNotOptimize(body.bytes());
  }
  if (bytes == 0) state.SkipWithError("nothing was encoded");
  state.counters["per_event"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_event"] = static_cast<double>(bytes) / static_cast<double>(count);
}
BENCHMARK(BM_EncodeBatch)->Arg(1'000)->Unit(benchmark::kMicrosecond);

// The start-up list's transport part, with the coordinator's timer stopped so that every
// upload measured is the one the tier-4 event forced.
std::shared_ptr<RDTCORTransport> loadedTransport() {
  static const auto transport = [] {
    process();
    RDTCOREvent::load();
    RDTCORApplication::load();
    RDTCORLifecycle::load();
    RDTKCTUploader::load();
    RDTCORFlatFileStorage::load();
    RDTCORMetricsController::load();
    RDTCORUploadCoordinator::sharedInstance()->stopTimer();
    transport_testing::setNetworkFlags(platform::kNetworkReachabilityFlagsReachable);
    return RDTCORTransport::initWithMappingID("1974", {}, RDTCORTargetKCT);
  }();
  return transport;
}

bool uploaderIdle() {
  return RDTKCTUploader::sharedInstance()->uploadOperationQueue().operationCount() == 0;
}

// From the send to the moment the service has the request, taken by the service itself (the
// main queue is pumped meanwhile, as the upload's steps need it). The upload's end (the answer,
// the batch's removal) is waited for outside the measure, before the next send.
void BM_TierFourEventToService(benchmark::State& state) {
  Process& shared = process();
  const auto transport = loadedTransport();
  std::size_t index = 0;
  for (auto _ : state) {
    auto event = makeEvent(index++, RDTCORTargetKCT, RDTCOREventQoSFast);
    const std::size_t before = shared.received.load();
    const Clock::time_point sent = Clock::now();
    transport->sendDataEvent(event, nullptr);
    if (!testing_support::pumpMainQueueUntil([&] { return shared.received.load() > before; })) {
      state.SkipWithError("the event never reached the service");
      break;
    }
    const Clock::time_point arrived{Clock::duration(shared.receivedAt.load())};
    state.SetIterationTime(std::chrono::duration<double>(arrived - sent).count());
    if (!testing_support::pumpMainQueueUntil(uploaderIdle)) {
      state.SkipWithError("the upload never ended");
      break;
    }
  }
}
BENCHMARK(BM_TierFourEventToService)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
