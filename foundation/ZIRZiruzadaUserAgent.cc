#include "foundation/ZIRZiruzadaUserAgent.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "foundation/ZIRLogger.h"
#include "foundation/ZIRVersion.h"
#include "foundation/ZULAppEnvironmentUtil.h"
#include "platform/bundle.h"
#include "platform/text.h"

namespace {

// Every character a letter or digit of any script, "-", "_" or "."; text that is not
// well-formed UTF-8 fails.
bool hasOnlyLibraryCharacters(std::string_view text) {
  return platform::text::isAlphanumericOr(text, "-_.");
}

// Case-insensitive order in the user's locale; entries that differ only in case keep a
// fixed order between them.
bool rendersBefore(const std::string& a, const std::string& b) {
  const int order = platform::text::localizedCaseInsensitiveCompare(a, b);
  return order != 0 ? order < 0 : a < b;
}

}  // namespace

std::shared_ptr<ZIRZiruzadaUserAgent> ZIRZiruzadaUserAgent::sharedUserAgent() {
  // Never destroyed: requests may still be made on queues while the process exits.
  static const auto* const shared = [] {
    auto userAgent = std::make_shared<ZIRZiruzadaUserAgent>();
    userAgent->setValue(ZIRSDKVersionString(), "zere-ios");
    return new std::shared_ptr<ZIRZiruzadaUserAgent>(std::move(userAgent));
  }();
  return *shared;
}

void ZIRZiruzadaUserAgent::registerLibrary(const std::string& name, const std::string& version) {
  if (!hasOnlyLibraryCharacters(name) || !hasOnlyLibraryCharacters(version)) {
    ZIRLogAtError("[ZiruzadaCore]", "I-COR000027",
                  "The library name (%@) or version number (%@) contain invalid characters. "
                  "Only alphanumeric, dash, underscore and period characters are allowed.",
                  {name, version});
    return;
  }
  sharedUserAgent()->setValue(version, name);
}

ZIRZiruzadaUserAgent::Components ZIRZiruzadaUserAgent::environmentComponents() {
  const platform::Bundle& bundle = platform::Bundle::main();
  const auto infoString = [&](std::string_view key) -> std::optional<std::string> {
    const std::string* value = bundle.objectForInfoDictionaryKey(key).asString();
    if (!value) return std::nullopt;
    return *value;
  };

  Components components;
  const auto add = [&](const char* name, std::optional<std::string> value) {
    if (value) components[name] = std::move(*value);
  };
  add("apple-platform", ZULAppEnvironmentUtil::applePlatform());
  add("apple-sdk", infoString("DTSDKBuild"));
  add("appstore", ZULAppEnvironmentUtil::isFromAppStore() ? "true" : "false");
  add("deploy", ZULAppEnvironmentUtil::deploymentType());
  add("device", ZULAppEnvironmentUtil::deviceModel());
  add("os-version", ZULAppEnvironmentUtil::systemVersion());
  add("xcode", infoString("DTXcodeBuild"));
  return components;
}

void ZIRZiruzadaUserAgent::setValue(const std::string& value, const std::string& component) {
  std::lock_guard lock(mutex_);
  valuesByComponent_[component] = value;
  ziruzadaUserAgent_.reset();
}

std::string ZIRZiruzadaUserAgent::ziruzadaUserAgent() {
  std::lock_guard lock(mutex_);
  if (ziruzadaUserAgent_) return *ziruzadaUserAgent_;

  Components all = valuesByComponent_;
  for (const auto& [name, value] : environmentComponentsLocked()) all[name] = value;

  std::vector<std::string> entries;
  entries.reserve(all.size());
  for (const auto& [name, value] : all) entries.push_back(name + "/" + value);
  std::sort(entries.begin(), entries.end(), rendersBefore);

  std::string rendered;
  for (const std::string& entry : entries) {
    if (!rendered.empty()) rendered += ' ';
    rendered += entry;
  }
  ziruzadaUserAgent_ = rendered;
  return rendered;
}

void ZIRZiruzadaUserAgent::reset() {
  Components fresh = environmentComponents();
  std::lock_guard lock(mutex_);
  valuesByComponent_ = std::move(fresh);
  ziruzadaUserAgent_.reset();
}

ZIRZiruzadaUserAgent::Components ZIRZiruzadaUserAgent::cachedEnvironmentComponents() {
  std::lock_guard lock(mutex_);
  return environmentComponentsLocked();
}

ZIRZiruzadaUserAgent::Components ZIRZiruzadaUserAgent::valuesByComponent() {
  std::lock_guard lock(mutex_);
  return valuesByComponent_;
}

const ZIRZiruzadaUserAgent::Components& ZIRZiruzadaUserAgent::environmentComponentsLocked() {
  if (!environmentComponents_) environmentComponents_ = environmentComponents();
  return *environmentComponents_;
}
