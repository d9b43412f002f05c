// Inserts per second through the SQLite store (a record dictionary per row, the statement
// built and prepared per row, as the analytics database writes), against the floor of bare
// SQLite: the same rows through one prepared statement. Both run in one transaction per batch.
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "analytics/data/APMSqliteStore.h"
#include "tests/support/temp_home.h"

namespace {

constexpr int kRowsPerBatch = 1000;
constexpr const char* kCreate =
    "CREATE TABLE raw_events (id INTEGER NOT NULL PRIMARY KEY, name TEXT NOT NULL, "
    "timestamp REAL NOT NULL, data BLOB)";

const platform::Data& payload() {
  static const platform::Data data(std::string(200, 'p').data(), 200);
  return data;
}

void BM_StoreUpsert(benchmark::State& state) {
  testing_support::TemporaryHome home;
  auto store = APMSqliteStore::initWithDatabasePath((home.path() / "bench.sql").string(), nullptr);
  if (!store || !store->executeSQL(kCreate, nullptr)) {
    state.SkipWithError("store did not open");
    return;
  }
  std::int64_t id = 0;
  for (auto _ : state) {
    const bool ok = store->performTransactionWithError(nullptr, [&] {
      for (int i = 0; i < kRowsPerBatch; ++i, ++id) {
        const platform::Dictionary record{{"id", id},
                                          {"name", "screen_view"},
                                          {"timestamp", 1.7e9 + static_cast<double>(id)},
                                          {"data", payload()}};
        if (!store->upsertRecord(record, "raw_events", nullptr)) return false;
      }
      return true;
    });
    if (!ok) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerBatch);
}
BENCHMARK(BM_StoreUpsert)->Unit(benchmark::kMillisecond);

void BM_BareSqliteInsert(benchmark::State& state) {
  testing_support::TemporaryHome home;
  sqlite3* db = nullptr;
  const std::string path = (home.path() / "bench.sql").string();
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
    state.SkipWithError("database did not open");
    sqlite3_close(db);
    return;
  }
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT OR REPLACE INTO raw_events (id, name, timestamp, data) "
                     "VALUES (?, ?, ?, ?);",
                     -1, &insert, nullptr);
  std::int64_t id = 0;
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    for (int i = 0; i < kRowsPerBatch; ++i, ++id) {
      sqlite3_bind_int64(insert, 1, id);
      sqlite3_bind_text(insert, 2, "screen_view", -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(insert, 3, 1.7e9 + static_cast<double>(id));
      sqlite3_bind_blob(insert, 4, payload().bytes(), static_cast<int>(payload().length()),
                        SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRowsPerBatch);
}
BENCHMARK(BM_BareSqliteInsert)->Unit(benchmark::kMillisecond);

}  // namespace
