// Opens the analytics persistent dictionary over a file as a crash, another program or an older
// version may have left it, reads every entry through each typed getter, and writes what it
// kept back: what it keeps must save and read back the same.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "analytics/data/APMPersistentDictionary.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/plist.h"

namespace {

using namespace platform;

// The analytics directory in a folder of the target's own, removed at exit.
std::string makeHome() {
  std::string folder = (temporaryDirectory() / "vilmo-fuzz-persistent-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  const std::string path = APMApplicationSupportPlistPath("fuzz");
  fuzz::fuzzCheck(!path.empty(), "the analytics directory has a path");
  fuzz::fuzzCheck(createDirectory(std::filesystem::path(path).parent_path(), true),
                  "the analytics directory is made");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = makeHome();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto dictionary = APMPersistentDictionary::initWithFileName("fuzz");
  fuzz::fuzzCheck(dictionary != nullptr, "a dictionary opens over any file");

  const auto kept = APMPersistentDictionary::contentFromFileData(Data(data, size));
  const std::size_t entries = kept ? kept->size() : 0;
  if (kept) {
    for (const auto& [key, value] : *kept) {
      const auto read = dictionary->objectForKey(key);
      fuzz::fuzzCheck(read.has_value() && *read == value, "each kept entry reads as it was");
      dictionary->stringForKey(key);
      dictionary->numberForKey(key);
      dictionary->integerForKey(key);
      dictionary->floatForKey(key);
      dictionary->doubleForKey(key);
      dictionary->boolForKey(key);
      dictionary->arrayForKey(key);
      dictionary->dictionaryForKey(key);
    }
  }

  // What was kept saves, and reads back whole.
  dictionary->persistToDisk();
  const auto again = plist::readDictionaryFile(path);
  fuzz::fuzzCheck(again.has_value() && again->size() == entries,
                  "the kept entries save and read back");
  // Keys only: the file keeps dates to the second.
  if (kept) fuzz::fuzzCheck(again->keys() == kept->keys(), "the saved entries are the kept ones");
  return 0;
}
