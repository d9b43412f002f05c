// Loads a suite's settings file as another program or an older version may have left it in
// Preferences, and reads every setting through each typed getter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/user_defaults.h"

namespace {

using namespace platform;

// Preferences in a folder of the target's own, removed at exit.
std::filesystem::path makePreferences() {
  std::string folder = (temporaryDirectory() / "vilmo-fuzz-defaults-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  const auto preferences = preferencesDirectory();
  fuzz::fuzzCheck(createDirectory(preferences, true), "the preferences folder is made");
  return preferences;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path preferences = makePreferences();
  // A suite lives as long as the process and loads its file when first read, so each input
  // gets a suite of its own (run.sh fuzzes this target in short-lived processes).
  static std::uint64_t inputs = 0;
  const std::string name = "fuzz." + std::to_string(++inputs);
  const auto file = preferences / (name + ".plist");
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto defaults = UserDefaults::suite(name);
  fuzz::fuzzCheck(defaults->filePath() == file, "the suite reads its own file");
  const Dictionary settings = defaults->dictionaryRepresentation();
  for (const auto& key : settings.keys()) {
    fuzz::fuzzCheck(defaults->objectForKey(key).has_value(), "each listed setting reads");
    defaults->stringForKey(key);
    defaults->integerForKey(key);
    defaults->boolForKey(key);
    defaults->doubleForKey(key);
    defaults->dataForKey(key);
    defaults->arrayForKey(key);
    defaults->dictionaryForKey(key);
  }
  // Whatever the loader kept must save again, or one bad entry would stop every later save.
  fuzz::fuzzCheck(plist::write(Value(settings), plist::Format::XML).has_value(),
                  "the loaded settings can be saved");
  // The file, its lock and any damaged file set aside beside it go, so that the folder stays
  // small however long the target runs.
  for (const auto& entry : std::filesystem::directory_iterator(preferences)) {
    std::filesystem::remove(entry.path());
  }
  return 0;
}
