#include "tests/support/temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/bundle.h"
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
  setenv("HOME", root_.c_str(), 1);
  setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
  setenv("XDG_CACHE_HOME", cacheHome().c_str(), 1);
  setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
}

TemporaryHome::~TemporaryHome() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
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
