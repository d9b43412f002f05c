// The screen-view event the raw-event benchmarks write, and the database they write it to.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "analytics/data/APMEvent.h"
#include "platform/value.h"
#include "tests/support/temp_home.h"

inline constexpr std::int64_t kBenchMetadataFingerprint = 0x1234567890;

inline std::shared_ptr<APMEvent> sampleEvent() {
  static const auto event = APMEvent::initWithOrigin("app", false, "_vs", 1.7e9, 1.7e9 - 30,
                                                     {{"_sn", platform::Value("Home")},
                                                      {"_sc", platform::Value("HomeController")},
                                                      {"_si", platform::Value(std::int64_t{-4711})},
                                                      {"value", platform::Value(9.99)}});
  return event;
}

// The database in the temporary home, or null after marking the benchmark skipped.
template <class Database>
std::unique_ptr<Database> openDatabase(const testing_support::TemporaryHome& home,
                                       benchmark::State& state) {
  auto database = std::make_unique<Database>();
  if (!sampleEvent() || !database->initializeDatabaseResourcesWithContext(
                            "Init", (home.path() / "bench.sql").string(), nullptr)) {
    state.SkipWithError("database did not open");
    return nullptr;
  }
  return database;
}
