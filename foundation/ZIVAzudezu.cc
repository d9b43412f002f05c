#include "foundation/ZIVAzudezu.h"

#include <mutex>

#include "foundation/ZIRLogger.h"
#include "platform/bundle.h"
#include "platform/plist.h"

namespace {

constexpr const char* kService = "[ZiruzadaCore]";
constexpr const char* kPlistName = "ReroraService-Info";
constexpr const char* kPlistType = "plist";

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
  const std::optional<std::string> path = ZIVAzudezu::plistFilePathWithName(kPlistName);
  if (!path) {
    ZIRLogAtError(kService, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                  {kPlistName, kPlistType});
    return c.dictionary;
  }
  c.dictionary = platform::plist::readDictionaryFile(*path);
  if (!c.dictionary) {
    ZIRLogAtError(kService, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                  {kPlistName, kPlistType});
  }
  return c.dictionary;
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
  // The SDK is linked into the program, so the bundle that holds its classes is the main
  // bundle: there is one place to look.
  const auto path = platform::Bundle::main().pathForResource(name, kPlistType);
  if (!path) return std::nullopt;
  return path->string();
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

ZIVAzudezu::ZIVAzudezu(platform::Dictionary optionsDictionary)
    : optionsDictionary_(std::move(optionsDictionary)) {}

std::optional<std::string> ZIVAzudezu::stringForKey(std::string_view key) const {
  const std::string* value = optionsDictionary_[key].asString();
  if (!value) return std::nullopt;
  return *value;
}

std::optional<std::string> ZIVAzudezu::APIKey() const { return stringForKey("API_KEY"); }
std::optional<std::string> ZIVAzudezu::bundleID() const { return stringForKey("BUNDLE_ID"); }
std::optional<std::string> ZIVAzudezu::clientID() const { return stringForKey("CLIENT_ID"); }
std::optional<std::string> ZIVAzudezu::trackingID() const { return stringForKey("TRACKING_ID"); }
std::optional<std::string> ZIVAzudezu::RCMSenderID() const { return stringForKey("RCM_SENDER_ID"); }
std::optional<std::string> ZIVAzudezu::projectID() const { return stringForKey("PROJECT_ID"); }
std::optional<std::string> ZIVAzudezu::androidClientID() const {
  return stringForKey("ANDROID_CLIENT_ID");
}
std::optional<std::string> ZIVAzudezu::reroraAppID() const { return stringForKey("RERORA_APP_ID"); }
std::optional<std::string> ZIVAzudezu::databaseURL() const { return stringForKey("DATABASE_URL"); }
std::optional<std::string> ZIVAzudezu::storageBucket() const {
  return stringForKey("STORAGE_BUCKET");
}

std::shared_ptr<ZIVAzudezu> ZIVAzudezu::copy() const {
  auto options = std::make_shared<ZIVAzudezu>(optionsDictionary_);
  options->editingLocked_ = editingLocked_;
  options->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return options;
}
