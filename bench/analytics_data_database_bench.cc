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
#include "tests/support/temp_home.h"

namespace {

constexpr int kEvents = 10000;
constexpr std::int64_t kFingerprint = 0x1234567890;

class BenchDatabase final : public APMDatabaseRawEvents {};

std::shared_ptr<APMEvent> sampleEvent() {
  static const auto event = APMEvent::initWithOrigin("app", false, "_vs", 1.7e9, 1.7e9 - 30,
                                                     {{"_sn", platform::Value("Home")},
                                                      {"_sc", platform::Value("HomeController")},
                                                      {"_si", platform::Value(std::int64_t{-4711})},
                                                      {"value", platform::Value(9.99)}});
  return event;
}

// The database and the event to write, or null after marking the benchmark skipped.
std::unique_ptr<BenchDatabase> openDatabase(const testing_support::TemporaryHome& home,
                                            benchmark::State& state) {
  auto database = std::make_unique<BenchDatabase>();
  if (!sampleEvent() || !database->initializeDatabaseResourcesWithContext(
                            "Init", (home.path() / "bench.sql").string(), nullptr)) {
    state.SkipWithError("database did not open");
    return nullptr;
  }
  return database;
}

void BM_RawEventInsertEachCommitted(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto database = openDatabase(home, state);
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
  auto database = openDatabase(home, state);
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
