// Raw events written per second through the analytics database's raw-event family (the
// event's wire form built and encoded, the record written by the generic insert). Its floor,
// bare SQLite with the same rows, runs beside it in analytics_data_floors_bench. The family
// runs both as the engine writes (each event its own statement, so its own
// transaction) and inside one transaction, which separates the cost of the commits from the
// cost of the code.
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "analytics/data/APMDatabaseRawEvents.h"
#include "analytics/data/APMEvent.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "bench/raw_event_sample.h"
#include "tests/support/temp_home.h"

namespace {

constexpr int kEvents = 10000;
constexpr std::int64_t kFingerprint = kBenchMetadataFingerprint;

class BenchDatabase final : public APMDatabaseRawEvents {};

void BM_RawEventInsertEachCommitted(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = openDatabase<BenchDatabase>(home, state);
  if (!database) return;
  const auto event = sampleEvent();
  for (auto _ : state) {
    for (int i = 0; i < kEvents; ++i) {
      if (!database->insertRawEvent(event, kFingerprint, false, nullptr)) {
        state.SkipWithError("insert failed");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_RawEventInsertEachCommitted)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RawEventInsertOneTransaction(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = openDatabase<BenchDatabase>(home, state);
  if (!database) return;
  const auto event = sampleEvent();
  for (auto _ : state) {
    const bool ok = database->performTransaction([&] {
      for (int i = 0; i < kEvents; ++i) {
        if (!database->insertRawEvent(event, kFingerprint, false, nullptr)) return false;
      }
      return true;
    });
    if (!ok) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
}
BENCHMARK(BM_RawEventInsertOneTransaction)->Unit(benchmark::kMillisecond);


}  // namespace
