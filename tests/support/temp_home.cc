#include "tests/support/temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/bundle.h"
#include "platform/environment.h"
#include "platform/plist.h"

namespace testing_support {
namespace {

const char* const kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"};

}  // namespace

TemporaryHome::TemporaryHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vilmo-home-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary home");
  }
  root_ = pattern;
  for (const char* name : kVariables) {
    const char* old = std::getenv(name);
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  std::filesystem::create_directories(dataHome());
  std::filesystem::create_directories(cacheHome());
  std::filesystem::create_directories(configHome());
  // Through the platform, under the lock its readers take: work left running on other
  // threads by an earlier test may be reading these as they change.
  platform::setEnvironmentValue("HOME", root_.string());
  platform::setEnvironmentValue("XDG_DATA_HOME", dataHome().string());
  platform::setEnvironmentValue("XDG_CACHE_HOME", cacheHome().string());
  platform::setEnvironmentValue("XDG_CONFIG_HOME", configHome().string());
}

TemporaryHome::~TemporaryHome() {
  for (const auto& [name, value] : saved_) platform::setEnvironmentValue(name, value);
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path TemporaryHome::useBundle(platform::Dictionary info) {
  const std::filesystem::path bundle = root_ / ("Resources" + std::to_string(++bundles_));
  std::filesystem::create_directories(bundle);
  if (!info.contains("CFBundleIdentifier")) info.set("CFBundleIdentifier", "com.example.vilmo");
  if (!platform::plist::writeFile(info, (bundle / "Info.plist").string(),
                                  platform::plist::Format::XML)) {
    throw std::runtime_error("cannot write the bundle's Info.plist");
  }
  platform::Bundle::setMainForTesting(bundle);
  return bundle;
}

}  // namespace testing_support
