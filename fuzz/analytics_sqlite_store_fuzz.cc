// Opens a database file as the analytics client may find it after a crash, a full disk or
// tampering: the input is the whole file. The store must refuse it or start afresh, and what it
// opens must then read, check and rebuild its tables without crashing or hanging.
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "analytics/data/APMSqliteStore.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"

namespace {

// Work per input is bounded: a hostile schema may declare expressions that build huge values
// or run long, and the integrity check evaluates its constraints.
constexpr int kProgressCallsAllowed = 20000;  // of every 1000 virtual-machine steps
int progressCalls = 0;

int stopRunawayWork(void*) { return ++progressCalls > kProgressCallsAllowed ? 1 : 0; }

int boundConnection(sqlite3* db, const char**, const struct sqlite3_api_routines*) {
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
  sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 1 << 16);
  sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 100);
  sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 10);
  sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 25000);
  sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 8);
  sqlite3_limit(db, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 100);
  sqlite3_limit(db, SQLITE_LIMIT_TRIGGER_DEPTH, 10);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_progress_handler(db, 1000, stopRunawayWork, nullptr);
  return SQLITE_OK;
}

std::filesystem::path makeFolder() {
  std::string folder = (platform::temporaryDirectory() / "vilmo-fuzz-sqlite-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  sqlite3_hard_heap_limit64(64 << 20);
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(boundConnection));
  return folder;
}

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

void exercise(APMSqliteStore& store) {
  platform::ErrorPtr error;
  const auto tables = store.recordsForQuery(
      "SELECT name FROM sqlite_master WHERE type='table' LIMIT 8", {}, &error);
  fuzz::fuzzCheck(tables.has_value() || error != nullptr, "a failed read says why");
  if (tables) {
    for (const platform::Dictionary& row : *tables) {
      const std::string* name = row["name"].asString();
      if (!name || name->empty()) continue;
      store.tableExists(*name, nullptr);
      store.columnsForTableWithName(quoted(*name), nullptr);
      store.columnInfoForTableWithName(quoted(*name), nullptr);
      store.rowCountForTableWithName(quoted(*name), nullptr);
      store.recordsForQuery("SELECT * FROM " + quoted(*name) + " LIMIT 64", {}, nullptr);
    }
  }
  // A table of the analytics schema as every open checks it, with a changed column type, so
  // that whatever the file holds under that name is validated, extended and rebuilt.
  const APMColumnInfo elementary = {{"app_id", "TEXT NOT NULL"},
                                    {"name", "TEXT NOT NULL"},
                                    {"timestamp", "INTEGER NOT NULL"},
                                    {"PRIMARY KEY", "(app_id, name)"}};
  error = nullptr;
  const bool ensured = store.ensureTableWithName("raw_events", elementary, {{"data", "BLOB"}},
                                                 {{"timestamp", "REAL NOT NULL"}}, &error);
  fuzz::fuzzCheck(ensured || error != nullptr, "a failed schema check says why");
  store.upsertRecord({{"app_id", "a"}, {"name", "n"}, {"timestamp", 1.5}}, "raw_events", nullptr);
  store.recordsForQuery("SELECT * FROM raw_events LIMIT 64", {}, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path folder = makeFolder();
  const std::filesystem::path path = folder / "fuzz.sql";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  fuzz::fuzzCheck(platform::writeFileAtomically(path, fuzz::dataOf(data, size)),
                  "the database file is written");
  progressCalls = 0;
  platform::ErrorPtr error;
  auto store = APMSqliteStore::initWithDatabasePath(path.string(), &error);
  fuzz::fuzzCheck(store != nullptr || error != nullptr, "a refused file says why");
  if (store) {
    fuzz::fuzzCheck(store->sqliteHandle() != nullptr, "an opened store is open");
    exercise(*store);
    store->closeAndDeleteDatabase();
  }
  return 0;
}
