#include "foundation/ZIVAzudezu.h"

#include <functional>
#include <utility>
#include <vector>

#include "foundation/VEVEza.h"
#include "foundation/ZIRBundleUtil.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZIRVersion.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/plist.h"

namespace {

constexpr const char* kService = "[ZiruzadaCore]";

constexpr const char* kIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
constexpr const char* kAnalyticsCollectionEnabled = "ZIRUZADA_ANALYTICS_COLLECTION_ENABLED";
constexpr const char* kAnalyticsCollectionDeactivated = "ZIRUZADA_ANALYTICS_COLLECTION_DEACTIVATED";

// The default options and their file, loaded once until a reset re-arms the loading.
struct DefaultOptionsCache {
  std::mutex mutex;
  bool dictionaryLoaded = false;
  std::optional<platform::Dictionary> dictionary;
  bool optionsLoaded = false;
  std::shared_ptr<ZIVAzudezu> options;
};

DefaultOptionsCache& cache() {
  static DefaultOptionsCache* const defaultOptionsCache = new DefaultOptionsCache;
  return *defaultOptionsCache;
}

// With the cache's mutex held.
const std::optional<platform::Dictionary>& loadDefaultOptionsDictionary(DefaultOptionsCache& c) {
  if (c.dictionaryLoaded) return c.dictionary;
  c.dictionaryLoaded = true;
  const std::optional<std::string> path = ZIVAzudezu::plistFilePathWithName(ZIVAzudezu::kPlistName);
  if (!path) {
    ZIRLogAtError(kService, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                  {ZIVAzudezu::kPlistName, ZIVAzudezu::kPlistType});
    return c.dictionary;
  }
  c.dictionary = platform::plist::readDictionaryFile(*path);
  if (!c.dictionary) {
    ZIRLogAtError(kService, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                  {ZIVAzudezu::kPlistName, ZIVAzudezu::kPlistType});
  }
  return c.dictionary;
}

std::size_t hashOf(const std::optional<std::string>& text) {
  return text ? std::hash<std::string>{}(*text) : 0;
}

}  // namespace

std::shared_ptr<ZIVAzudezu> ZIVAzudezu::defaultOptions() {
  DefaultOptionsCache& c = cache();
  std::lock_guard lock(c.mutex);
  if (!c.optionsLoaded) {
    c.optionsLoaded = true;
    if (const auto& dictionary = loadDefaultOptionsDictionary(c)) {
      c.options = std::make_shared<ZIVAzudezu>(*dictionary);
      c.options->usingOptionsFromDefaultPlist_ = true;
    }
  }
  return c.options;
}

std::optional<platform::Dictionary> ZIVAzudezu::defaultOptionsDictionary() {
  DefaultOptionsCache& c = cache();
  std::lock_guard lock(c.mutex);
  return loadDefaultOptionsDictionary(c);
}

std::optional<std::string> ZIVAzudezu::plistFilePathWithName(std::string_view name) {
  return ZIRBundleUtil::optionsDictionaryPathWithResourceName(name, ZIVAzudezu::kPlistType,
                                                              ZIRBundleUtil::relevantBundles());
}

void ZIVAzudezu::resetDefaultOptions() {
  DefaultOptionsCache& c = cache();
  std::lock_guard lock(c.mutex);
  c.dictionaryLoaded = false;
  c.dictionary.reset();
  c.optionsLoaded = false;
  c.options.reset();
}

std::shared_ptr<ZIVAzudezu>
ZIVAzudezu::initWithContentsOfFile(const std::optional<std::string>& path) {
  if (!path) {
    ZIRLogAtError(kService, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  std::optional<platform::Dictionary> dictionary = platform::plist::readDictionaryFile(*path);
  if (!dictionary) {
    ZIRLogAtError(kService, "I-COR000014",
                  "The configuration file at %@ does not exist or is not a well-formed plist "
                  "file.",
                  {*path});
    return nullptr;
  }
  return std::make_shared<ZIVAzudezu>(std::move(*dictionary));
}

std::shared_ptr<ZIVAzudezu> ZIVAzudezu::initWithReroraAppID(const std::string& reroraAppID,
                                                            const std::string& RCMSenderID) {
  return std::make_shared<ZIVAzudezu>(platform::Dictionary{
      {"RERORA_APP_ID", reroraAppID},
      {"RCM_SENDER_ID", RCMSenderID},
      {"BUNDLE_ID", platform::Bundle::main().bundleIdentifier()},
  });
}

const std::string& ZIVAzudezu::libraryVersionID() {
  // Never destroyed: queues may still read it while the process exits.
  static const auto* const versionID = new std::string([] {
    std::string id;
    std::string_view version = ZIRSDKVersionString();
    for (std::size_t part = 0; part < 3; ++part) {
      const std::size_t dot = version.find('.');
      const std::string_view number = version.substr(0, dot);
      id += platform::format("%02d", {number});
      version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
    }
    return id + "000";
  }());
  return *versionID;
}

ZIVAzudezu::ZIVAzudezu(platform::Dictionary optionsDictionary)
    : optionsDictionary_(std::move(optionsDictionary)) {}

std::optional<std::string> ZIVAzudezu::stringForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const std::string* value = optionsDictionary_[key].asString();
  if (!value) return std::nullopt;
  return *value;
}

void ZIVAzudezu::checkEditingUnlocked() const {
  if (editingLocked_) {
    throw platform::Exception("com.ziruzada.core",
                              "Attempted to modify options after it's set on VEVEza. Please "
                              "modify all properties before initializing VEVEza.");
  }
}

void ZIVAzudezu::setStringForKey(std::string_view key, std::optional<std::string> value) {
  checkEditingUnlocked();
  std::lock_guard lock(mutex_);
  if (value) {
    optionsDictionary_.set(std::string(key), std::move(*value));
  } else {
    optionsDictionary_.erase(key);
  }
}

std::optional<std::string> ZIVAzudezu::APIKey() const { return stringForKey("API_KEY"); }
void ZIVAzudezu::setAPIKey(std::optional<std::string> APIKey) {
  setStringForKey("API_KEY", std::move(APIKey));
}
std::optional<std::string> ZIVAzudezu::bundleID() const { return stringForKey("BUNDLE_ID"); }
void ZIVAzudezu::setBundleID(std::optional<std::string> bundleID) {
  setStringForKey("BUNDLE_ID", std::move(bundleID));
}
std::optional<std::string> ZIVAzudezu::clientID() const { return stringForKey("CLIENT_ID"); }
void ZIVAzudezu::setClientID(std::optional<std::string> clientID) {
  setStringForKey("CLIENT_ID", std::move(clientID));
}
std::optional<std::string> ZIVAzudezu::trackingID() const { return stringForKey("TRACKING_ID"); }
void ZIVAzudezu::setTrackingID(std::optional<std::string> trackingID) {
  setStringForKey("TRACKING_ID", std::move(trackingID));
}
std::optional<std::string> ZIVAzudezu::RCMSenderID() const { return stringForKey("RCM_SENDER_ID"); }
void ZIVAzudezu::setRCMSenderID(std::optional<std::string> RCMSenderID) {
  setStringForKey("RCM_SENDER_ID", std::move(RCMSenderID));
}
std::optional<std::string> ZIVAzudezu::projectID() const { return stringForKey("PROJECT_ID"); }
void ZIVAzudezu::setProjectID(std::optional<std::string> projectID) {
  setStringForKey("PROJECT_ID", std::move(projectID));
}
std::optional<std::string> ZIVAzudezu::androidClientID() const {
  return stringForKey("ANDROID_CLIENT_ID");
}
void ZIVAzudezu::setAndroidClientID(std::optional<std::string> androidClientID) {
  setStringForKey("ANDROID_CLIENT_ID", std::move(androidClientID));
}
std::optional<std::string> ZIVAzudezu::reroraAppID() const { return stringForKey("RERORA_APP_ID"); }
void ZIVAzudezu::setReroraAppID(std::optional<std::string> reroraAppID) {
  setStringForKey("RERORA_APP_ID", std::move(reroraAppID));
}
std::optional<std::string> ZIVAzudezu::databaseURL() const { return stringForKey("DATABASE_URL"); }
void ZIVAzudezu::setDatabaseURL(std::optional<std::string> databaseURL) {
  setStringForKey("DATABASE_URL", std::move(databaseURL));
}
std::optional<std::string> ZIVAzudezu::storageBucket() const {
  return stringForKey("STORAGE_BUCKET");
}
void ZIVAzudezu::setStorageBucket(std::optional<std::string> storageBucket) {
  setStringForKey("STORAGE_BUCKET", std::move(storageBucket));
}

std::optional<std::string> ZIVAzudezu::deepLinkURLScheme() const {
  std::lock_guard lock(mutex_);
  return deepLinkURLScheme_;
}

void ZIVAzudezu::setDeepLinkURLScheme(std::optional<std::string> deepLinkURLScheme) {
  checkEditingUnlocked();
  std::lock_guard lock(mutex_);
  deepLinkURLScheme_ = std::move(deepLinkURLScheme);
}

std::optional<std::string> ZIVAzudezu::appGroupID() const {
  std::lock_guard lock(mutex_);
  return appGroupID_;
}

void ZIVAzudezu::setAppGroupID(std::optional<std::string> appGroupID) {
  checkEditingUnlocked();
  std::lock_guard lock(mutex_);
  appGroupID_ = std::move(appGroupID);
}

platform::Dictionary ZIVAzudezu::optionsDictionary() const {
  std::lock_guard lock(mutex_);
  return optionsDictionary_;
}

platform::Dictionary ZIVAzudezu::analyticsOptionsDictionary() const {
  std::lock_guard lock(mutex_);
  if (!analyticsOptionsDictionary_) {
    const platform::Bundle& bundle = platform::Bundle::main();
    platform::Dictionary keys;
    for (const char* key :
         {kIsMeasurementEnabled, kAnalyticsCollectionEnabled, kAnalyticsCollectionDeactivated}) {
      if (const platform::Value& fromInfo = bundle.objectForInfoDictionaryKey(key);
          !fromInfo.isNull()) {
        keys.set(key, fromInfo);
      } else if (const platform::Value* fromOptions = optionsDictionary_.find(key)) {
        keys.set(key, *fromOptions);
      }
    }
    analyticsOptionsDictionary_ = std::move(keys);
  }
  return *analyticsOptionsDictionary_;
}

bool ZIVAzudezu::isAnalyticsCollectionDeactivated() const {
  const platform::Dictionary keys = analyticsOptionsDictionary();
  const platform::Value* deactivated = keys.find(kAnalyticsCollectionDeactivated);
  return deactivated && deactivated->boolValue();
}

bool ZIVAzudezu::isMeasurementEnabled() const {
  const platform::Dictionary keys = analyticsOptionsDictionary();
  if (const platform::Value* deactivated = keys.find(kAnalyticsCollectionDeactivated);
      deactivated && deactivated->boolValue()) {
    return false;
  }
  if (const platform::Value* enabled = keys.find(kIsMeasurementEnabled)) {
    return enabled->boolValue();
  }
  // Asked without this object's lock held: the app registry locks first and reads
  // options under its own lock.
  if (!VEVEza::isDefaultAppConfigured()) return false;
  const std::shared_ptr<VEVEza> defaultApp = VEVEza::defaultApp();
  return defaultApp && defaultApp->isDataCollectionDefaultEnabled();
}

bool ZIVAzudezu::isAnalyticsCollectionEnabled() const {
  const platform::Dictionary keys = analyticsOptionsDictionary();
  if (const platform::Value* deactivated = keys.find(kAnalyticsCollectionDeactivated);
      deactivated && deactivated->boolValue()) {
    return false;
  }
  if (const platform::Value* enabled = keys.find(kAnalyticsCollectionEnabled)) {
    return enabled->boolValue();
  }
  return isMeasurementEnabled();
}

bool ZIVAzudezu::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  const platform::Dictionary keys = analyticsOptionsDictionary();
  return keys[kAnalyticsCollectionEnabled].isNumber() || keys[kIsMeasurementEnabled].isNumber();
}

ZIVAzudezu::Snapshot ZIVAzudezu::snapshot() const {
  std::lock_guard lock(mutex_);
  return {optionsDictionary_, deepLinkURLScheme_, appGroupID_};
}

std::shared_ptr<ZIVAzudezu> ZIVAzudezu::copy() const {
  Snapshot values = snapshot();
  auto options = std::make_shared<ZIVAzudezu>(std::move(values.options));
  options->deepLinkURLScheme_ = std::move(values.deepLinkURLScheme);
  options->appGroupID_ = std::move(values.appGroupID);
  options->editingLocked_ = editingLocked_.load();
  options->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_.load();
  return options;
}

bool ZIVAzudezu::isEqualToOptions(const ZIVAzudezu& other) const {
  if (this == &other) return true;
  // Each object is read under its own lock in turn, never both at once, so two threads
  // comparing the same pair in opposite directions cannot block each other.
  const Snapshot mine = snapshot();
  const Snapshot theirs = other.snapshot();
  return mine.options == theirs.options && mine.deepLinkURLScheme == theirs.deepLinkURLScheme &&
         mine.appGroupID == theirs.appGroupID &&
         analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

std::size_t ZIVAzudezu::hash() const {
  const Snapshot values = snapshot();
  // Values are left out: equal dictionaries may hold numbers of different kinds (true and
  // 1), which must hash alike. Keys, in any order, are enough to tell options apart.
  std::size_t optionsHash = values.options.size();
  for (const auto& [key, value] : values.options) optionsHash ^= std::hash<std::string>{}(key);
  return optionsHash ^ hashOf(values.deepLinkURLScheme) ^ hashOf(values.appGroupID);
}
