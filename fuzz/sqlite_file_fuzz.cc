// A SQLite file of any bytes, found where the analytics database and where the keychain keep
// theirs, opened through the same classes and calls the application uses, with no bounds of
// the target's own: whatever the file holds (schema code included), opening sets it aside or
// takes it, never crashes, hangs or fills memory, and the store works afterwards.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistentDictionary.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/keychain.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDatabaseName = "rerora-app-measurement.sql";

// A home of the target's own, removed at exit.
fs::path makeHome() {
  std::string folder = (platform::temporaryDirectory() / "vilmo-fuzz-sqlite-file-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { fs::remove_all(*root); });
  for (const char* variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
    setenv(variable, folder.c_str(), 1);
  }
  return folder;
}

// Replaces the folder's contents with the one file.
void place(const fs::path& file, const std::uint8_t* data, std::size_t size) {
  fs::remove_all(file.parent_path());
  fuzz::fuzzCheck(platform::createDirectory(file.parent_path(), true, nullptr,
                                            platform::DirectoryAccess::OwnerOnly),
                  "the store's folder is made");
  fuzz::fuzzCheck(platform::writeFileAtomically(file, fuzz::dataOf(data, size)),
                  "the file is written");
}

void openAnalyticsDatabase(const std::uint8_t* data, std::size_t size) {
  place(APMApplicationSupportPath(kDatabaseName), data, size);
  platform::ErrorPtr error;
  auto database = APMDatabase::initWithDatabaseName(kDatabaseName, nullptr, &error);
  fuzz::fuzzCheck(database != nullptr || error != nullptr, "a refused file says why");
  // The engine's second attempt starts from a file of its own.
  if (!database) database = APMDatabase::initWithDatabaseName(kDatabaseName, nullptr, &error);
  fuzz::fuzzCheck(database != nullptr, "the second attempt opens");
  database->queryAppMetadata(nullptr);
  database->publicUserAttributeCount(nullptr);
  database->queryLatestBundleTime(nullptr);
  database->queryLatestRawEventTime(nullptr);
}

void openKeychain(const std::uint8_t* data, std::size_t size) {
  place(platform::applicationSupportDirectory() / "Keychain" / "keychain.db", data, size);
  using namespace platform;
  const Dictionary anyPassword{{kSecClass, kSecClassGenericPassword}};
  std::optional<Value> result;
  const OSStatus found = SecItemCopyMatching(
      {{kSecClass, kSecClassGenericPassword}, {kSecReturnAttributes, true}, {kSecReturnData, true}},
      &result);
  fuzz::fuzzCheck(found == errSecSuccess || found == errSecItemNotFound || found == errSecIO,
                  "a read answers with a status of its own");
  SecItemCopyMatching(
      {{kSecClass, kSecClassKey}, {kSecReturnData, true}, {kSecMatchLimit, kSecMatchLimitAll}},
      &result);
  SecItemDelete(anyPassword);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path home = makeHome();
  openAnalyticsDatabase(data, size);
  openKeychain(data, size);
  return 0;
}
