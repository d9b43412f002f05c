// Reading one upload batch of 100 queued bundles from the analytics database's upload queue:
// the rows read, each bundle inflated, decoded and measured for the size limit, as the
// uploader asks for a batch. Bundles of 50 events with 10 parameters each, stored
// gzip-compressed as the bundler stores them.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "analytics/data/APMDatabaseUploadQueue.h"
#include "bench/wire_bytes.h"
#include "platform/clock.h"
#include "platform/data.h"
#include "tests/support/temp_home.h"

namespace {

constexpr int kBundles = 100;
constexpr int kEvents = 50;
constexpr int kParams = 10;

class BenchDatabase final : public APMDatabaseUploadQueue {
 public:
  bool deleteStaleRawEventsDataOlderThanMaxAge(double, platform::ErrorPtr*) override {
    return true;
  }
};

using namespace bench_wire;

std::string bundleBytes(int bundle, std::int64_t endMillis) {
  std::string out;
  putVarintField(out, 1, 1);
  for (int e = 0; e < kEvents; ++e) {
    putBytesField(out, 2, eventBytes(e, kParams, endMillis - (kEvents - e) * 1000));
  }
  putVarintField(out, 5, endMillis - kEvents * 1000);
  putVarintField(out, 6, endMillis);
  putBytesField(out, 8, "desktop");
  putBytesField(out, 9, "12.4");
  putBytesField(out, 14, "1:1234567890:desktop:abcdef");
  putBytesField(out, 21, "0123456789abcdef0123456789abcdef");
  putVarintField(out, 23, bundle);
  return out;
}

void BM_QueueReadBatchOf100(benchmark::State& state) {
  testing_support::TemporaryHome home;
  BenchDatabase database;
  if (!database.initializeDatabaseResourcesWithContext(
          "Init", (home.path() / "queue-bench.sql").string(), nullptr)) {
    state.SkipWithError("database did not open");
    return;
  }
  const auto endMillis =
      static_cast<std::int64_t>(platform::Clock::current().now().timeIntervalSince1970() * 1000);
  std::size_t encodedBytes = 0;
  for (int b = 0; b < kBundles; ++b) {
    const auto data = platform::Data::fromString(bundleBytes(b, endMillis));
    encodedBytes += data.length();
    const auto bundle = APMPBMeasurementBundle::initWithBuffer(&data);
    if (!bundle || !database.insertBundle(*bundle, false, nullptr)) {
      state.SkipWithError("insert failed");
      return;
    }
  }
  for (auto _ : state) {
    const auto batch =
        database.queryBundlesWithCountLimit(kBundles, std::int64_t{1} << 40, nullptr);
    if (!batch || batch->size() != kBundles) {
      state.SkipWithError("batch incomplete");
      return;
    }
    benchmark::DoNotOptimize(batch);
  }
  state.counters["bundle_bytes"] = static_cast<double>(encodedBytes) / kBundles;
  state.SetItemsProcessed(state.iterations() * kBundles);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(encodedBytes));
}
BENCHMARK(BM_QueueReadBatchOf100)->Unit(benchmark::kMillisecond);

}  // namespace
