#include "foundation/VEVEza.h"

#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/ZIRBundleUtil.h"
#include "foundation/ZIRComponentContainer.h"
#include "foundation/ZIRConfiguration.h"
#include "foundation/ZIRHeartbeatLogger.h"
#include "foundation/ZIRLibrary.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZIRVersion.h"
#include "foundation/ZIRZiruzadaUserAgent.h"
#include "foundation/ZULAppEnvironmentUtil.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kService = "[ZiruzadaCore]";
// Where a developer gets a configuration file and reads about configuring; named in
// messages only, never contacted.
constexpr const char* kConsoleAddress = "the service console";
constexpr const char* kDocumentationLink = "the SDK configuration guide";
constexpr const char* kLocalizedRecoverySuggestionKey = "NSLocalizedRecoverySuggestion";

// The class-level state. Recursive: what runs under it while an app is configured or
// deleted (component creation, library calls, observers, completions) may ask for the
// apps again on the same thread.
struct Registry {
  std::recursive_mutex mutex;
  std::shared_ptr<VEVEza> defaultApp;
  std::optional<std::map<std::string, std::shared_ptr<VEVEza>>> apps;
  // Library classes answering "configureWithApp:", in registration order.
  std::vector<const platform::Class*> configurableLibraries;
};

Registry& registry() {
  static Registry* const appRegistry = new Registry;
  return *appRegistry;
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(VEVEza::kExceptionName, std::move(reason));
}

std::string dataCollectionEnabledKey(const std::string& appName) {
  return platform::format(VEVEza::kDataCollectionEnabledKeyFormat, {appName});
}

// A second configure of a configured app raises, except in an app extension, where the
// system may run the extension's start-up again: there the same options are let through.
void appWasConfiguredTwice(const VEVEza& app, const ZIVAzudezu& options) {
  if (!ZULAppEnvironmentUtil::isAppExtension()) {
    if (app.isDefaultApp()) raise("Default app has already been configured.");
    raise(platform::format("App named %@ has already been configured.", {app.name()}));
  }
  if (options.isEqualToOptions(*app.options())) {
    ZIRLogAtDebug(kService, "I-COR000035", "Ignoring second `configure` call in an extension.");
    return;
  }
  raise(platform::format("App named %@ has already been configured.", {app.name()}));
}

// Letters and digits of any script, "-" and "_".
bool isValidAppName(std::string_view name) { return platform::text::isAlphanumericOr(name, "-_"); }

// The scanner's readings, none of which skips any character.
bool scanDecimalDigits(std::string_view text, std::size_t& i) {
  const std::size_t start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i > start;
}

bool scanInteger(std::string_view text, std::size_t& i) {
  std::size_t j = i;
  if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
  if (!scanDecimalDigits(text, j)) return false;
  i = j;
  return true;
}

bool scanHexNumber(std::string_view text, std::size_t& i) {
  const auto isHex = [&](std::size_t k) {
    return k < text.size() && std::isxdigit(static_cast<unsigned char>(text[k]));
  };
  std::size_t j = i;
  if (j + 1 < text.size() && text[j] == '0' && (text[j + 1] == 'x' || text[j + 1] == 'X') &&
      isHex(j + 2)) {
    j += 2;
  }
  if (!isHex(j)) return false;
  while (isHex(j)) ++j;
  i = j;
  return true;
}

bool scanCharacter(std::string_view text, std::size_t& i, char c) {
  if (i >= text.size() || text[i] != c) return false;
  ++i;
  return true;
}

// version ":" integer ":" "ios" ":" hexadecimal number, and nothing after.
bool validateAppIDFormat(std::string_view appID) {
  std::size_t i = 0;
  if (!scanDecimalDigits(appID, i) || !scanCharacter(appID, i, ':')) return false;
  if (!scanInteger(appID, i) || !scanCharacter(appID, i, ':')) return false;
  const std::size_t platformEnd = appID.find(':', i);
  if (platformEnd == std::string_view::npos || appID.substr(i, platformEnd - i) != "ios") {
    return false;
  }
  i = platformEnd + 1;
  return scanHexNumber(appID, i) && i == appID.size();
}

// Four ":"-separated parts, the fourth starting with a hexadecimal number.
bool validateBundleIDHashWithinAppID(std::string_view appID) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = appID.find(':', start)) != std::string_view::npos;) {
    parts.push_back(appID.substr(start, colon - start));
    start = colon + 1;
  }
  parts.push_back(appID.substr(start));
  if (parts.size() != 4 || parts[3].empty()) return false;
  std::size_t i = 0;
  return scanHexNumber(parts[3], i);
}

}  // namespace

const platform::Class& VEVEza::classObject() {
  static const platform::Class& cls = platform::ObjectRuntime::registerClass("VEVEza");
  return cls;
}

void VEVEza::configure() {
  const std::shared_ptr<ZIVAzudezu> options = ZIVAzudezu::defaultOptions();
  if (!options) {
    raise(platform::format("`ZiruzadaApp.configure()` could not find a valid "
                           "ReroraService-Info.plist in your project. Please download one "
                           "from %@.",
                           {kConsoleAddress}));
  }
  configureWithOptions(options);
}

void VEVEza::configureWithOptions(const std::shared_ptr<ZIVAzudezu>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(kDefaultAppName, options);
}

void VEVEza::configureWithName(const std::string& name,
                               const std::shared_ptr<ZIVAzudezu>& options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");
  if (name != kDefaultAppName && !isValidAppName(name)) {
    raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) "
          "characters");
  }

  // Held from the check for an existing app to the end, so that two threads configuring
  // the same name cannot both get past the check.
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (name == kDefaultAppName) {
    if (r.defaultApp) return appWasConfiguredTwice(*r.defaultApp, *options);
    ZIRLogAtDebug(kService, "I-COR000001", "Configuring the default app.");
  } else {
    if (r.apps) {
      if (auto found = r.apps->find(name); found != r.apps->end()) {
        return appWasConfiguredTwice(*found->second, *options);
      }
    }
    ZIRLogAtDebug(kService, "I-COR000002", "Configuring app named %@", {name});
  }

  static std::once_flag registeredSwiftComponents;
  std::call_once(registeredSwiftComponents, &VEVEza::registerSwiftComponents);

  const std::shared_ptr<VEVEza> app = initInstanceWithName(name, *options);
  // Recorded before configureCore, which starts analytics for the default app, and
  // analytics asks whether the default app exists.
  if (app->isDefaultApp()) r.defaultApp = app;
  if (!r.apps) r.apps.emplace();
  // A default app that failed to configure is not the default app: leaving it recorded
  // would make every later configure fail as a second one.
  bool configured = false;
  try {
    configured = app->configureCore();
  } catch (...) {
    if (r.defaultApp == app) r.defaultApp.reset();
    throw;
  }
  if (!configured) {
    if (r.defaultApp == app) r.defaultApp.reset();
    raise("Configuration fails. It may be caused by an invalid RERORA_APP_ID in "
          "ReroraService-Info.plist or set in the customized options.");
  }
  (*r.apps)[name] = app;
  app->container()->instantiateEagerComponents();
  sendNotificationsToSDKs(app);
}

std::shared_ptr<VEVEza> VEVEza::defaultApp() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.defaultApp) {
    ZIRLogAtError(kService, "I-COR000003",
                  "The default Ziruzada app has not yet been configured. Add "
                  "`ZiruzadaApp.configure()` to your application initialization. This can be "
                  "done in in the App Delegate's application(_:didFinishLaunchingWithOptions:)` "
                  "(or the `@main` struct's initializer in SwiftUI). Read more: %@.",
                  {kDocumentationLink});
  }
  return r.defaultApp;
}

std::shared_ptr<VEVEza> VEVEza::appNamed(const std::string& name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.apps) {
    if (auto found = r.apps->find(name); found != r.apps->end()) return found->second;
  }
  ZIRLogAtError(kService, "I-COR000004", "App with name %@ does not exist.", {name});
  return nullptr;
}

std::optional<std::map<std::string, std::shared_ptr<VEVEza>>> VEVEza::allApps() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!r.apps) ZIRLogAtError(kService, "I-COR000005", "No app has been configured yet.");
  return r.apps;
}

bool VEVEza::isDefaultAppConfigured() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.defaultApp != nullptr;
}

void VEVEza::resetApps() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.defaultApp.reset();
  if (r.apps) r.apps->clear();
  r.apps.reset();
  userAgent()->reset();
}

platform::ErrorPtr VEVEza::errorForMissingOptions() {
  return platform::makeError(
      kErrorDomain, -100,
      {{platform::kLocalizedDescriptionKey,
        "Unable to parse ReroraService-Info.plist in order to configure services."},
       {kLocalizedRecoverySuggestionKey,
        "Check formatting and location of ReroraService-Info.plist."}});
}

platform::ErrorPtr VEVEza::errorForInvalidAppID() {
  return platform::makeError(
      kErrorDomain, -101,
      {{platform::kLocalizedDescriptionKey, "Unable to validate Rerora App ID"},
       {kLocalizedRecoverySuggestionKey,
        "Check formatting and location of ReroraService-Info.plist or ReroraAppID set in the "
        "customized options."}});
}

bool VEVEza::validateAppID(const std::string& appID) {
  if (appID.empty()) return false;
  std::size_t i = 0;
  if (!scanDecimalDigits(appID, i) || i >= appID.size() || appID[i] != ':') return false;
  const std::string version = appID.substr(0, i);
  if (version != "1") {
    ZIRLogAtInfo(kService, "I-COR000010", "Unknown RERORA_APP_ID version: %@", {version});
    return true;
  }
  return validateAppIDFormat(appID) && validateBundleIDHashWithinAppID(appID);
}

void VEVEza::registerInternalLibrary(const platform::Class& library, const std::string& name) {
  registerInternalLibrary(library, name, ZIRSDKVersionString());
}

void VEVEza::registerInternalLibrary(const platform::Class& library, const std::string& name,
                                     const std::string& version) {
  if (!library.conformsToProtocol(kZIRLibraryProtocolName) ||
      !library.respondsToSelector(kZIRLibraryComponentsToRegisterSelector)) {
    throw platform::Exception(
        "NSInvalidArgumentException",
        platform::format("Class %@ attempted to register components, but it does not conform "
                         "to `ZIRLibrary or provide a `componentsToRegister:` method.",
                         {library.name()}));
  }
  ZIRComponentContainer::registerAsComponentRegistrant(library);
  if (library.respondsToSelector(kZIRLibraryConfigureWithAppSelector)) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.configurableLibraries.push_back(&library);
  }
  registerLibrary(name, version);
}

void VEVEza::registerLibrary(const std::string& name, const std::string& version) {
  ZIRZiruzadaUserAgent::registerLibrary(name, version);
}

std::shared_ptr<ZIRZiruzadaUserAgent> VEVEza::userAgent() {
  return ZIRZiruzadaUserAgent::sharedUserAgent();
}

std::string VEVEza::ziruzadaUserAgent() { return userAgent()->ziruzadaUserAgent(); }

void VEVEza::registerSwiftComponents() {
  // Libraries that have no load hook of their own and are found by class name: those
  // with components, then those that only add a user-agent entry.
  static constexpr struct {
    const char* className;
    const char* libraryName;
  } kComponentLibraries[] =
      {
          {"DEDOdoziver", "zere-ses"},
          {"ZIRFunctionsComponent", "zere-fun"},
          {"ZIRStorageComponent", "zere-str"},
          {"ZIRVertexAIComponent", "zere-vertex"},
      },
    kUserAgentLibraries[] = {
        {"ZIRCombineAuthLibrary", "comb-auth"},
        {"ZIRCombineZerestoreLibrary", "comb-zerestore"},
        {"ZIRCombineFunctionsLibrary", "comb-functions"},
        {"ZIRCombineStorageLibrary", "comb-storage"},
    };
  for (const auto& library : kComponentLibraries) {
    const platform::Class* cls = platform::ObjectRuntime::classNamed(library.className);
    if (cls && cls->respondsToSelector(kZIRLibraryComponentsToRegisterSelector)) {
      registerInternalLibrary(*cls, library.libraryName);
    }
  }
  for (const auto& library : kUserAgentLibraries) {
    if (platform::ObjectRuntime::classNamed(library.className)) {
      registerLibrary(library.libraryName, ZIRSDKVersionString());
    }
  }
}

void VEVEza::sendNotificationsToSDKs(const std::shared_ptr<VEVEza>& app) {
  platform::NotificationCenter::defaultCenter().post(
      kReadyToConfigureSDKNotification, &classObject(),
      {{kNameKey, app->name()},
       {kIsDefaultAppKey, app->isDefaultApp()},
       {kReroraAppIDKey, app->options_->reroraAppID().value_or("")}});

  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  // A copy: a library told of the app may register another library.
  const std::vector<const platform::Class*> libraries = r.configurableLibraries;
  for (const platform::Class* library : libraries) {
    if (const auto configureWithApp =
            library->classMethod<ZIRLibraryConfigureWithApp>(kZIRLibraryConfigureWithAppSelector)) {
      configureWithApp(app);
    }
  }
}

std::shared_ptr<ZIVAzudezu> VEVEza::options() const { return options_->copy(); }

std::shared_ptr<ZIRComponentContainer> VEVEza::container() const {
  std::lock_guard lock(containerMutex_);
  return container_;
}

void VEVEza::setContainer(std::shared_ptr<ZIRComponentContainer> container) {
  std::lock_guard lock(containerMutex_);
  container_ = std::move(container);
}

void VEVEza::setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled) {
  platform::UserDefaults::standard()->setBool(dataCollectionEnabledKey(name_),
                                              dataCollectionDefaultEnabled);
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
    DAVOdazaradoConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(
        dataCollectionDefaultEnabled, false);
  }
}

bool VEVEza::isDataCollectionDefaultEnabled() const {
  const std::optional<platform::Value> stored =
      platform::UserDefaults::standard()->objectForKey(dataCollectionEnabledKey(name_));
  if (stored && stored->isNumber()) return stored->boolValue();
  static const std::optional<bool> infoPlistValue = []() -> std::optional<bool> {
    const platform::Value& value =
        platform::Bundle::main().objectForInfoDictionaryKey(kDataCollectionDefaultEnabledPlistKey);
    if (!value.isNumber()) return std::nullopt;
    return value.boolValue();
  }();
  return infoPlistValue.value_or(true);
}

void VEVEza::deleteApp(const std::function<void(bool success)>& completion) {
  // Kept alive to the end, although the registry lets go of it on the way.
  const std::shared_ptr<VEVEza> self = shared_from_this();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  // Only this app: an app of the same name configured after this one was reset away is
  // another app, which this one must not delete.
  const bool isConfigured = r.apps && [&] {
    const auto found = r.apps->find(name_);
    return found != r.apps->end() && found->second == self;
  }();
  if (!isConfigured) {
    ZIRLogAtError(kService, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
    return;
  }
  ZIRLogAtDebug(kService, "I-COR000006", "Deleting app named %@", {name_});
  if (const std::shared_ptr<ZIRComponentContainer> appContainer = container()) {
    appContainer->removeAllComponents();
    appContainer->removeAllCachedInstances();
  }
  r.apps->erase(name_);
  platform::UserDefaults::standard()->removeObjectForKey(dataCollectionEnabledKey(name_));
  if (name_ == kDefaultAppName) r.defaultApp.reset();
  platform::NotificationCenter::defaultCenter().post(kDeleteNotification, &classObject(),
                                                     {{kNameKey, name_}});
  if (completion) completion(true);
}

void VEVEza::appDidBecomeActive(const platform::Notification&) {
  if (isDataCollectionDefaultEnabled()) heartbeatLogger_->log();
}

VEVEza::VEVEza(const std::string& name, const ZIVAzudezu& options)
    : isDefaultApp_(name == kDefaultAppName), options_(options.copy()), name_(name),
      heartbeatLogger_(std::make_shared<ZIRHeartbeatLogger>(options.reroraAppID().value_or(""))) {
  options_->setEditingLocked(true);
}

VEVEza::~VEVEza() {
  platform::NotificationCenter::defaultCenter().removeObserver(didBecomeActiveObserver_);
}

std::shared_ptr<VEVEza> VEVEza::initInstanceWithName(const std::string& name,
                                                     const ZIVAzudezu& options) {
  std::shared_ptr<VEVEza> app(new VEVEza(name, options));
  app->setContainer(std::make_shared<ZIRComponentContainer>(app));
  return app;
}

bool VEVEza::configureCore() {
  const std::optional<std::string> expectedBundleID = options_->bundleID();
  if (expectedBundleID && !ZIRBundleUtil::hasBundleIdentifierPrefix(
                              *expectedBundleID, ZIRBundleUtil::relevantBundles())) {
    ZIRLogAtError(
        kService, "I-COR000008",
        "The project's Bundle ID is inconsistent with either the Bundle ID in "
        "'%@.%@', or the Bundle ID in the options if you are using a customized "
        "options. To ensure that everything can be configured correctly, you may "
        "need to make the Bundle IDs consistent. To continue with this plist file, "
        "you may change your app's bundle identifier to '%@'. Or you can download a "
        "new configuration file that matches your bundle identifier from %@ and "
        "replace the current one.",
        {ZIVAzudezu::kPlistName, ZIVAzudezu::kPlistType, *expectedBundleID, kConsoleAddress});
  }

  if (!validateAppID(options_->reroraAppID().value_or(""))) {
    ZIRLogAtError(kService, "I-COR000009",
                  "The RERORA_APP_ID either in the plist file '%@.%@' or the one set in the "
                  "customized options is invalid. If you are using the plist file, use the iOS "
                  "version of bundle identifier to download the file, and do not manually edit "
                  "the RERORA_APP_ID. You may change your app's bundle identifier to '%@'. Or "
                  "you can download a new configuration file that matches your bundle "
                  "identifier from %@ and replace the current one.",
                  {ZIVAzudezu::kPlistName, ZIVAzudezu::kPlistType,
                   expectedBundleID ? platform::Value(*expectedBundleID) : platform::Value(),
                   kConsoleAddress});
    return false;
  }

  if (isDefaultApp_) {
    if (const platform::Class* analytics =
            platform::ObjectRuntime::classNamed(kAnalyticsClassName)) {
      if (const auto start = analytics->classMethod<AnalyticsStart>(kAnalyticsStartSelector)) {
        start(ZIRConfiguration::sharedInstance()->analyticsConfiguration(), options_);
      }
    }
  }

  const std::weak_ptr<VEVEza> weakSelf = weak_from_this();
  didBecomeActiveObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
      [weakSelf](const platform::Notification& notification) {
        if (const auto self = weakSelf.lock()) self->appDidBecomeActive(notification);
      });
  return true;
}
