#include "platform/bundle.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/plist.h"
#include "platform/process_info.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

fs::path currentExecutable() {
  std::error_code code;
  fs::path path = fs::read_symlink("/proc/self/exe", code);
  return code ? fs::path() : path;
}

struct MainBundles {
  std::mutex mutex;
  // Every bundle that was ever main, so that references handed out stay valid.
  std::vector<std::unique_ptr<Bundle>> all;
  std::atomic<Bundle*> current{nullptr};
};

// Never destroyed, so that threads still running at exit can ask for the main bundle.
MainBundles& mainBundles() {
  static MainBundles* const bundles = new MainBundles;
  return *bundles;
}

}  // namespace

Bundle::Bundle(fs::path bundlePath) : bundlePath_(std::move(bundlePath)) {
  if (auto info = plist::readDictionaryFile((bundlePath_ / "Info.plist").string())) {
    info_ = std::move(*info);
  }
}

Bundle& Bundle::main() {
  MainBundles& bundles = mainBundles();
  if (Bundle* bundle = bundles.current.load(std::memory_order_acquire)) {
    return *bundle;
  }
  std::lock_guard lock(bundles.mutex);
  if (Bundle* bundle = bundles.current.load(std::memory_order_acquire)) {
    return *bundle;
  }
  fs::path path;
  if (const auto override = environmentValue("VILMO_BUNDLE_PATH"); override && !override->empty()) {
    path = *override;
  } else {
    path = currentExecutable().parent_path() / "Resources";
  }
  bundles.all.push_back(std::make_unique<Bundle>(std::move(path)));
  bundles.current.store(bundles.all.back().get(), std::memory_order_release);
  return *bundles.all.back();
}

void Bundle::setMainForTesting(const fs::path& bundlePath) {
  MainBundles& bundles = mainBundles();
  auto bundle = std::make_unique<Bundle>(bundlePath);
  std::lock_guard lock(bundles.mutex);
  bundles.all.push_back(std::move(bundle));
  bundles.current.store(bundles.all.back().get(), std::memory_order_release);
}

std::optional<fs::path> Bundle::pathForResource(std::string_view name,
                                                std::string_view type) const {
  std::string fileName(name);
  if (!type.empty()) {
    fileName += ".";
    fileName += type;
  }
  fs::path path = bundlePath_ / fileName;
  if (!fileExists(path)) {
    return std::nullopt;
  }
  return path;
}

const Value& Bundle::objectForInfoDictionaryKey(std::string_view key) const { return info_[key]; }

std::optional<std::string> Bundle::configurationValue(std::string_view infoKey,
                                                      const char* environmentName) const {
  if (auto value = ProcessInfo::processInfo().environmentValue(environmentName);
      value && !value->empty()) {
    return value;
  }
  const std::string* value = objectForInfoDictionaryKey(infoKey).asString();
  if (!value || value->empty()) return std::nullopt;
  return *value;
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
  if (const std::string* text = info_[key].asString()) {
    return *text;
  }
  return std::nullopt;
}

std::string Bundle::bundleIdentifier() const {
  if (auto identifier = infoString("CFBundleIdentifier"); identifier && !identifier->empty()) {
    return *identifier;
  }
  return executablePath().filename().string();
}

std::optional<std::string> Bundle::shortVersionString() const {
  return infoString("CFBundleShortVersionString");
}

std::optional<std::string> Bundle::version() const { return infoString("CFBundleVersion"); }

fs::path Bundle::executablePath() const { return currentExecutable(); }

}  // namespace platform
