// Events of 10 parameters stored per second by the measurement core's pipeline on its worker
// queue (checks, daily counts, metadata, raw event; one transaction per event) into a real
// database file, against the floor of one bare SQLite insert of a row of the same size per
// exclusive transaction on the same disk. Beside it, the worker latency of one event from the
// call that logs it to the moment it is stored, as percentiles (counters). Ratio at the end.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMSqliteStore.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "bench/ratio_reporter.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/temp_home.h"

namespace {

// Events per timed iteration: long enough that one or two iterations make a run, so that a
// run stays well inside the default daily limits (50000 public events) and every event is
// really stored.
constexpr int kBatch = 2000;
constexpr int kLatencySamples = 1000;

const platform::Dictionary& tenParameters() {
  static const auto* const parameters =
      new platform::Dictionary{{"file_type", "pdf"},      {"source", "drop"}, {"pages", 12},
                               {"size_kb", 2048},         {"duration", 1.25}, {"renamed", 1},
                               {"pattern", "date-title"}, {"language", "en"}, {"folder_depth", 3},
                               {"result", "ok"}};
  return *parameters;
}

// Both sides wait on the disk, so the rate that counts is per second of wall time, which
// the library's own rates (per CPU second) are not.
class WallClock {
 public:
  double perSecond(std::int64_t count) const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
    return static_cast<double>(count) / elapsed.count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

std::shared_ptr<APMEvent> sampleEvent() {
  return APMEvent::initWithOrigin("app", true, "file_renamed", now(), 0, tenParameters());
}

std::int64_t rawEventCount(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_stmt* count = nullptr;
  std::int64_t rows = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM raw_events", -1, &count, nullptr) == SQLITE_OK &&
      sqlite3_step(count) == SQLITE_ROW) {
    rows = sqlite3_column_int64(count, 0);
  }
  sqlite3_finalize(count);
  sqlite3_close(db);
  return rows;
}

// A started core whose database lives in the given home; null after marking the run skipped.
std::shared_ptr<APMMeasurement> startedCore(benchmark::State& state) {
  auto persisted = APMPersistedConfig::initWithSuiteName("com.rerora.viz.measurement.bench");
  auto scheduler = std::make_shared<APMScheduler>(APMMeasurement::kWorkerQueueLabel);
  auto alarm =
      APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), APMMeasurement::kAlarmName);
  auto core = APMMeasurement::initWithDatabaseName(
      APMMeasurement::kDatabaseName, std::move(persisted), nullptr, std::move(scheduler),
      std::move(alarm), "1:123:ios:abc", true, false, std::nullopt, nullptr);
  bool started = false;
  if (core) {
    core->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "bench", [&] { started = core->startMeasurementOnWorkerQueue() && core->database(); });
  }
  if (!started) {
    state.SkipWithError("core did not start");
    return nullptr;
  }
  return core;
}

void EventStored_Project(benchmark::State& state) {
  testing_support::TemporaryHome home;
  const auto core = startedCore(state);
  if (!core) return;
  const WallClock clock;
  for (auto _ : state) {
    core->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      for (int i = 0; i < kBatch; ++i) core->handleEventOnWorkerQueue(sampleEvent());
    });
  }
  state.counters["stored_per_s"] = clock.perSecond(state.iterations() * kBatch);
  // A figure for events the limits dropped would flatter the pipeline.
  if (rawEventCount(core->database()->sqliteStore()->databasePath()) <
      state.iterations() * kBatch) {
    state.SkipWithError("not every event was stored");
  }
}

void EventStored_Floor(benchmark::State& state) {
  testing_support::TemporaryHome home;
  const auto event = sampleEvent();
  const auto bytes = event ? event->protoBytes(/*withName=*/false) : std::nullopt;
  if (!bytes) {
    state.SkipWithError("event not encoded");
    return;
  }
  const std::string path = (home.path() / "floor.sql").string();
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db,
                   "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                   "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, "
                   "is_realtime INTEGER NOT NULL)",
                   nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db,
                         "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                         "is_realtime) VALUES (?, ?, ?, ?, ?)",
                         -1, &insert, nullptr) != SQLITE_OK) {
    state.SkipWithError("floor database did not open");
    sqlite3_close(db);
    return;
  }
  const WallClock clock;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      sqlite3_bind_text(insert, 1, event->name().c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 2, static_cast<std::int64_t>(event->timestamp() * 1000));
      sqlite3_bind_int64(insert, 3, 0x1234567890);
      sqlite3_bind_blob(insert, 4, bytes->bytes(), static_cast<int>(bytes->length()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 0);
      if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
      sqlite3_reset(insert);
      sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
  }
  state.counters["stored_per_s"] = clock.perSecond(state.iterations() * kBatch);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

// One event at a time through the whole road on the worker queue: the call that logs it, the
// worker queue, the pipeline, the stored row; a marker block queued behind the event tells
// when it is done.
void EventLatency(benchmark::State& state) {
  testing_support::TemporaryHome home;
  const auto core = startedCore(state);
  if (!core) return;
  using Clock = std::chrono::steady_clock;
  std::vector<double> micros;
  micros.reserve(kLatencySamples);
  for (auto _ : state) {
    for (int i = 0; i < kLatencySamples; ++i) {
      platform::Semaphore stored;
      Clock::time_point done;
      const Clock::time_point start = Clock::now();
      core->logEventWithOrigin("app", true, "file_renamed", tenParameters(), now(), true, false,
                               false, nullptr, {});
      core->scheduleOnWorkerQueueBlockID("bench", [&] {
        done = Clock::now();
        stored.signal();
      });
      stored.wait();
      micros.push_back(std::chrono::duration<double, std::micro>(done - start).count());
    }
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) {
    return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = micros.back();
}

}  // namespace

BENCHMARK(EventStored_Project)->Unit(benchmark::kMillisecond);
BENCHMARK(EventStored_Floor)->Unit(benchmark::kMillisecond);
BENCHMARK(EventLatency)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) { return bench_support::runWithRatios(argc, argv); }
