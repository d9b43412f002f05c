// Loads the legacy identifier's marker property list as another program may have left it
// under Application Support, asks whether it marks an identifier, and removes the mark.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_input.h"
#include "installations/ZIRInstallationsIIDStore.h"
#include "platform/files.h"

namespace {

// Application Support in a folder of the target's own, removed at exit.
std::filesystem::path makeMarkerFolder(const ZIRInstallationsIIDStore& store) {
  std::string folder = (platform::temporaryDirectory() / "vilmo-fuzz-iid-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  const auto markerFolder = store.plistPath().parent_path();
  fuzz::fuzzCheck(platform::createDirectory(markerFolder, true), "the marker folder is made");
  return markerFolder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ZIRInstallationsIIDStore store;
  static const std::filesystem::path folder = makeMarkerFolder(store);
  fuzz::fuzzCheck(platform::writeFileAtomically(store.plistPath(), fuzz::dataOf(data, size)),
                  "the marker file is written");
  store.hasPlistIIDFlag();
  // The fuzz build has no bundle identifier, so the key pair is never looked for.
  fuzz::fuzzCheck(!store.existingIIDValue(), "no identifier without a key");
  platform::ErrorPtr error;
  const bool deleted = store.deleteIIDFlagFromPlist(&error);
  fuzz::fuzzCheck(deleted == (error == nullptr), "a failed removal says why");
  if (deleted) fuzz::fuzzCheck(!store.hasPlistIIDFlag(), "the mark is gone once removed");
  platform::removeItem(store.plistPath());
  return 0;
}
