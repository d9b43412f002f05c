// Opens a database file as the analytics client may find it after a crash, a full disk or
// tampering: the input is the whole file. The store must refuse it or start afresh, and what it
// opens must then read, check and rebuild its tables without crashing or hanging, within the
// bounds the store's own opener sets (the target adds none).
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

std::filesystem::path makeFolder() {
  std::string folder = (platform::temporaryDirectory() / "vilmo-fuzz-sqlite-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
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
