#include "analytics/engine/APMAnalytics.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMInfoPlistFileUtil.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/messages/APMServices.h"
#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/ZULAppDelegateSwizzler.h"
#include "foundation/ZULNetwork.h"
#include "platform/clock.h"
#include "platform/notification_center.h"
#include "platform/object_runtime.h"
#include "platform/operation_queue.h"

namespace {

constexpr const char* kSerialQueueLabel = "APMAnalyticsQueue";
constexpr const char* kTimestampQueueLabel = "APMAnalyticsTimestampQueue";
constexpr const char* kOperationQueueName = "APMAnalyticsOperationQueue";

constexpr const char* kResetRetryCountKey = "reset_retry_count";
constexpr const char* kNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
constexpr const char* kAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
constexpr const char* kDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
constexpr const char* kConsentOnStartKey = "consent_settings_on_start";
constexpr const char* kDeferredConsentResetKey = "deferred_consent_reset";
constexpr const char* kConsentSourceKey = "consent_source";

constexpr const char* kAppOrigin = "app";
constexpr const char* kAutoOrigin = "auto";
constexpr const char* kStartOrigin = "fa";
constexpr const char* kMobileAdsOrigin = "am";
constexpr const char* kScreenViewEvent = "screen_view";
constexpr const char* kAllowPersonalizedAds = "allow_personalized_ads";
constexpr const char* kUserIDProperty = "_id";
constexpr const char* kUserIDSetTimeProperty = "_lair";
constexpr const char* kNonPersonalizedAdsProperty = "_npa";
constexpr const char* kHelpPage = "https://vilmo.invalid/help/analytics";

constexpr std::int64_t kEventNameLimit = 40;
constexpr std::int64_t kUserPropertyLimit = 24;
constexpr std::int64_t kReservedFailure = 4;
constexpr std::int64_t kTooLongFailure = 2;

// Through the installed monitor: the engine's own, made here if need be, unless a test put
// another in its place.
double now() { return platform::Clock::current().now().timeIntervalSince1970(); }

platform::Value stringOrNil(const std::optional<std::string>& text) {
  return text ? platform::Value(*text) : platform::Value();
}

// The process-wide state; the queues are made on first use and live for the process.
struct State {
  platform::QueuePtr serialQueue = platform::Queue::serial(kSerialQueueLabel);
  platform::QueuePtr timestampQueue = platform::Queue::serial(kTimestampQueueLabel);
  platform::OperationQueue operationQueue;
  std::shared_ptr<APMUserDefaults> userDefaults;
  std::mutex loadTimestampLock;
  double loadTimestamp = 0;
  platform::Once startOnce;
  platform::Once proxyOnce;

  // Touched on the serial queue only.
  bool analyticsEnabled = false;
  bool collectionDeactivated = false;
  APMAnalytics::Interceptor logEventInterceptor;
  std::optional<std::map<APMAnalytics::LogEventListenerToken, APMAnalytics::LogEventListener>>
      logEventListeners;
  APMAnalytics::OpenURLListener openURLListener;

  // Guards the configuration observation, which callers of any thread change.
  std::mutex observerLock;
  std::optional<platform::ObserverToken> configurationObserver;

  State() {
    operationQueue.setName(kOperationQueueName);
    operationQueue.setMaxConcurrentOperationCount(1);
    operationQueue.setSuspended(true);
    userDefaults = std::make_shared<APMUserDefaults>(std::string(APMAnalytics::kSuiteName));
  }
};

State& state() {
  static State* const shared = new State;
  return *shared;
}

// Stored values come from disk: anything of the wrong kind reads as absent.
std::optional<platform::Dictionary> storedDictionary(const std::string& key) {
  const auto value = state().userDefaults->objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->asDictionary();
}

std::optional<std::int64_t> storedInteger(const std::string& key) {
  const auto value = state().userDefaults->objectForKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  const auto number = value->asDouble();
  if (!number || !(*number >= -9.2e18 && *number <= 9.2e18)) return std::nullopt;
  return value->integerValue();
}

void storeValue(const std::optional<platform::Value>& value, const std::string& key) {
  state().userDefaults->setObject(value, key);
}

void runOnSerialQueue(platform::Task block) {
  if (APMAnalytics::isCurrentQueueSerialQueue()) {
    block();
  } else {
    APMAnalytics::queueOperationWithBlock(std::move(block));
  }
}

void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                           platform::Dictionary parameters, double timestamp, bool ignoreEnabled,
                           bool ignoreInterceptor, platform::Dictionary addedScreenParameters) {
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(platform::Value(origin))) {
    addedScreenParameters = APMScreenParameters(parameters);
    for (const std::string& key : addedScreenParameters.keys()) parameters.erase(key);
  }
  if (!APMMeasurement::hasSharedInstance()) return;
  const auto core = APMMeasurement::sharedInstance();
  State& s = state();
  core->logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, s.analyticsEnabled,
                           ignoreEnabled, ignoreInterceptor, s.logEventInterceptor,
                           addedScreenParameters);
}

platform::Dictionary addedScreenParametersFor(const platform::Dictionary& parameters) {
  if (APMHasScreenParameters(parameters)) return {};
  return APMScreenViewReporter::sharedInstance()->screenParameters();
}

void logUserPropertyNameError(const std::string& name, std::int64_t failureCode,
                              std::int64_t reservedCode, std::int64_t otherCode) {
  APMLogErrorEventWithValue(failureCode == kReservedFailure ? reservedCode : otherCode,
                            platform::Value(name), kUserPropertyLimit, platform::Value(name));
}

void setAllowPersonalizedAds(const std::optional<platform::Value>& value) {
  APMAnalytics::queueOperationWithBlock([value] {
    State& s = state();
    if (!s.analyticsEnabled) {
      APMMeasurement::log(7, 25033, "Personalized Ads property changed while Analytics is disabled");
    }
    const auto persisted = APMPersistedConfig::sharedInstance();
    if (persisted) {
      persisted->setAllowPersonalizedAds(value ? std::optional<platform::Value>(value->boolValue())
                                               : std::nullopt);
    }
    if (!value && APMMeasurement::remoteConfig()->DMAConsentEnabled() &&
        APMConsentSettingsUtil::adPersonalization()) {
      APMConsentSettingsUtil::unsetAdPersonalization();
    }
    if (!s.analyticsEnabled || !APMMeasurement::hasSharedInstance()) return;
    const auto core = APMMeasurement::sharedInstance();
    if (const auto disable = core->shouldDisableAdPersonalization()) {
      core->setUserAttribute(APMUserAttribute::initWithOrigin(
          kAutoOrigin, kNonPersonalizedAdsProperty,
          platform::Value(APMValue::initWithInt64(*disable ? 1 : 0)), now()));
    } else {
      core->removeUserAttribute(
          APMUserAttribute::initWithOrigin(kAutoOrigin, kNonPersonalizedAdsProperty,
                                           platform::Value(APMValue::initWithInt64(0)), now()));
    }
  });
}

}  // namespace

std::string APMAnalyticsConfigurationValue::description() const {
  return "<DAVOdazaradoConfiguration>";
}

bool APMAnalyticsConfigurationValue::isEqual(const platform::ValueObject& other) const {
  const auto* same = dynamic_cast<const APMAnalyticsConfigurationValue*>(&other);
  return same && same->configuration_ == configuration_;
}

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
  static const auto* const shared =
      new std::shared_ptr<APMAnalytics>(std::make_shared<APMAnalytics>());
  return *shared;
}

void APMAnalytics::load() {
  setLoadTimestamp(now());
  state();
  APMSetInternalEventLogging(sharedInstance());
  APMSetConsentFront(sharedInstance());
}

// ---- Queues

platform::QueuePtr APMAnalytics::queue() { return state().serialQueue; }

void APMAnalytics::dispatchAsyncOnSerialQueue(platform::Task block) {
  state().serialQueue->async(std::move(block));
}

bool APMAnalytics::isCurrentQueueSerialQueue() {
  return platform::Queue::currentLabel() == kSerialQueueLabel;
}

void APMAnalytics::queueOperationWithBlock(platform::Task block) {
  State& s = state();
  s.operationQueue.addOperationWithBlock(
      [queue = s.serialQueue, block = std::move(block)]() mutable {
        queue->async(std::move(block));
      });
}

void APMAnalytics::queueOperationWithBlockThenWait(platform::Task block) {
  State& s = state();
  queueOperationWithBlock(std::move(block));
  if (s.operationQueue.isSuspended()) return;
  s.operationQueue.waitUntilAllOperationsAreFinished();
  s.operationQueue.setSuspended(true);
  s.serialQueue->after(0.5, [] { unsuspendOperationQueue(); });
}

void APMAnalytics::unsuspendOperationQueue() { state().operationQueue.setSuspended(false); }

double APMAnalytics::loadTimestamp() {
  State& s = state();
  std::lock_guard lock(s.loadTimestampLock);
  return s.loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  State& s = state();
  std::lock_guard lock(s.loadTimestampLock);
  s.loadTimestamp = timestamp;
}

// ---- Start

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options) {
  if (platform::ObjectRuntime::classNamed("RARUDatabase")) {
    APMMeasurement::log(1, 25029,
        "Detected an older version of Rerora Analytics for Ziruzada framework. Data collection "
        "will be disabled. Please upgrade to the latest version of Rerora Analytics for "
        "Ziruzada");
    return;
  }
  if (platform::ObjectRuntime::classNamed("DAVOdazarado")) {
    if (origin != kStartOrigin) {
      APMMeasurement::log(3, 25026, "Deferring to Ziruzada for event data collection");
      return;
    }
  } else if (!APMInfoPlistFileUtil::reroraServiceInfoPlistPath().value_or("").empty()) {
    APMMeasurement::log(0, 25027,
        std::string("Deferring to Rerora Analytics for Ziruzada for event data collection. ") +
            kHelpPage);
    return;
  }
  if (platform::ObjectRuntime::classNamed("ZOREduzezAza") &&
      APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist()) {
    const auto identity = APMIdentity::sharedInstance();
    if (identity && identity->appIDFromRiRur().value_or("").empty()) {
      APMMeasurement::log(3, 25028,
          std::string("RiRur and Ziruzada are in use in this app, but are not linked. For "
                      "analytics data consistency and integrity, it is highly recommended that "
                      "you link your RiRur app to the corresponding Ziruzada app and "
                      "re-download the ReroraServices-Info.plist file. ") +
              kHelpPage);
    }
  }
  if (!options.empty()) {
    const platform::Value& tag = options[kOptionLogTag];
    if (tag.isString() && !tag.asString()->empty()) {
      APMMeasurement::monitor()->setLogTag(*tag.asString());
    } else {
      APMMeasurement::log(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }

  state().startOnce.call([&] {
    State& s = state();
    if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone) {
      loadPersistedConsentSettings();
    }
    const auto identity = APMIdentity::sharedInstance();
    if (identity && origin == kStartOrigin) {
      const auto previous = identity->appIDFromVIZ();
      if (previous != appID) {
        identity->setAppIDFromVIZ(appID);
        APMMeasurement::log(1, 25020,
            "Analytics requires Rerora App ID from ReroraService-Info.plist. Your data may be "
            "lost. Rerora App ID has been changed. Original, new ID",
            {stringOrNil(previous), appID});
      }
    }
    if (identity && origin == kMobileAdsOrigin) {
      const auto previous = identity->appIDFromRiRur();
      if (previous != appID) {
        APMMeasurement::log(3, 25031, "RiRur App ID changed. Original, new", {stringOrNil(previous), appID});
        identity->setAppIDFromRiRur(appID);
      }
    }
    platform::NotificationCenter::defaultCenter().post(kWillStartNotification);
    APMIdentifiers::sharedInstance().setOrigin(origin);

    bool enabled = true;
    std::shared_ptr<DAVOdazaradoConfiguration> configuration;
    std::optional<platform::Array> safelist;
    bool deactivated = false;
    if (!options.empty()) {
      if (options[kOptionCollectionEnabled].isNumber()) {
        enabled = options[kOptionCollectionEnabled].boolValue();
      }
      if (options[kOptionCollectionDeactivated].isNumber()) {
        deactivated = options[kOptionCollectionDeactivated].boolValue();
      }
      if (const auto box =
              options[kOptionConfiguration].asObjectOf<APMAnalyticsConfigurationValue>()) {
        configuration = box->configuration();
      }
      if (const platform::Value* list = options.find(kOptionSafelistedEvents)) {
        if (APMValidateSafelistedEvents(*list)) safelist = *list->asArray();
      }
      const auto consent = APMConsentSettingsUtil::consentSettingsFromDictionary(options);
      if (!consent.empty()) storeValue(platform::Value(consent), kConsentOnStartKey);
    }

    s.serialQueue->async([appID, enabled, deactivated, safelist] {
      State& s = state();
      s.collectionDeactivated = deactivated;
      APMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
      if (ZULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
        if (!deactivated) platform::Queue::main()->async([] { createAppDelegateProxy(); });
      } else {
        APMMeasurement::log(6, 25036, "App Delegate Proxy is disabled");
      }
      if (const auto core = APMMeasurement::sharedInstance()) {
        s.analyticsEnabled = core->wasEnabledDuringInitialization();
      }
      maybeEnableZovUvuduvo();
    });
    if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
    // There is no purchase store on this system, so there are no payment transactions to
    // observe: the observer registration has nothing to register with.
    unsuspendOperationQueue();
  });
}

bool APMAnalytics::APMValidateSafelistedEvents(const platform::Value& value) {
  const platform::Array* list = value.asArray();
  if (!list) {
    APMMeasurement::log(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const platform::Value& name : *list) {
    if (!APMDataTypeValidator::isValidInternalEventName(name)) {
      APMMeasurement::log(0, 25035, "Invalid event name for safelisting. Name", {name});
      return false;
    }
  }
  return true;
}

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<DAVOdazaradoConfiguration>& configuration) {
  State& s = state();
  std::lock_guard lock(s.observerLock);
  auto& center = platform::NotificationCenter::defaultCenter();
  if (s.configurationObserver) center.removeObserver(*s.configurationObserver);
  s.configurationObserver = center.addObserver(
      DAVOdazaradoConfiguration::kSetEnabledNotification, configuration.get(), nullptr,
      [](const platform::Notification& notification) { handleSetEnabled(notification.userInfo); });
}

void APMAnalytics::handleSetEnabled(const platform::Dictionary& userInfo) {
  const platform::Value& value = userInfo[DAVOdazaradoConfiguration::kSetEnabledNotification];
  if (!value.isNumber()) {
    APMMeasurement::log(4, 25000, "Received setEnabled notification without NSNumber", {value});
    return;
  }
  setAnalyticsEnabled(value.boolValue(), false);
}

void APMAnalytics::createAppDelegateProxy() {
  // The monitor's application-delegate interceptor registers itself with the proxy when it
  // is made; here the proxy is only put in place.
  state().proxyOnce.call([] { ZULAppDelegateSwizzler::proxyOriginalDelegate(); });
}

void APMAnalytics::maybeEnableZovUvuduvo() {
  const platform::Class* manager = platform::ObjectRuntime::classNamed("ZOVUvuduvo");
  if (!manager || !manager->respondsToSelector("initializeSharedInstance")) return;
  if (const auto initialize = manager->classMethod<void()>("initializeSharedInstance")) {
    initialize();
  } else {
    APMMeasurement::log(2, 25016, "ZOVUvuduvo class doesn't define initializeSharedInstance");
  }
}

// ---- Events

void APMAnalytics::logEventWithOrigin(const std::string& origin,
                                      const std::optional<std::string>& name,
                                      const platform::Dictionary& parameters) {
  const std::optional<platform::Value> nameValue =
      name ? std::optional<platform::Value>(*name) : std::nullopt;
  std::int64_t failureCode = 0;
  if (!name || !APMDataTypeValidator::isValidPublicEventName(nameValue, &failureCode)) {
    APMLogErrorEventWithValue(failureCode == kReservedFailure ? 13 : 2, nameValue, kEventNameLimit,
                              nameValue);
    return;
  }
  logEventWithOrigin(origin, true, *name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp,
                                              const platform::Dictionary& parameters) {
  auto added = addedScreenParametersFor(parameters);
  queueOperationWithBlock([origin, name, parameters, timestamp, added = std::move(added)] {
    logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false, added);
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (name == kScreenViewEvent) {
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(parameters, now());
    return;
  }
  auto added = addedScreenParametersFor(parameters);
  // Reading the clock and enqueueing in one step keeps timestamps in queue order.
  state().timestampQueue->sync([&] {
    queueOperationWithBlock(
        [origin, isPublicEvent, name, parameters, timestamp = now(), added = std::move(added)] {
          logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, false, false,
                                added);
        });
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      bool ignoreEnabled, bool ignoreInterceptor) {
  queueOperationWithBlock(
      [origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor] {
        logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                              ignoreInterceptor, {});
      });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
  platform::Dictionary rewritten = parameters;
  if (origin == kMobileAdsOrigin) {
    if (platform::Value* adEventID = rewritten.find("_aeid"); adEventID && adEventID->isString()) {
      const std::string text = *adEventID->asString();
      const auto number =
          APMIsDecimalNumberString(text) ? APMDecimalNumberFromString(text) : std::nullopt;
      if (number) {
        *adEventID =
            platform::Value(APMValue::initWithInt64(platform::Value(text).longLongValue()));
      } else {
        APMMeasurement::log(2, 25024, "AdEvent ID string is not a number");
      }
    }
  }
  logEventWithOrigin(origin, false, name, rewritten);
}

// ---- User properties

void APMAnalytics::setUserPropertyString(const std::optional<platform::Value>& value,
                                         const std::string& name) {
  if (name == kAllowPersonalizedAds) {
    setAllowPersonalizedAds(value);
    return;
  }
  if (!value || value->isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  std::int64_t failureCode = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name), &failureCode)) {
    logUserPropertyNameError(name, failureCode, 15, 6);
    return;
  }
  if (!value->isString()) {
    APMMeasurement::log(0, 25003, "User property must be NSString. Value", {*value});
    return;
  }
  const platform::Value typed(APMValue::initWithString(*value));
  failureCode = 0;
  if (APMDataTypeValidator::isValidPublicUserAttributeValue(typed, &failureCode)) {
    sharedInstance()->setInternalUserProperty(typed, name, kAppOrigin);
  } else if (failureCode == kTooLongFailure) {
    APMLogErrorEventWithValue(7, platform::Value(name), kUserPropertyLimit, *value);
  }
}

void APMAnalytics::setUserID(const std::optional<platform::Value>& userID) {
  if (!userID || userID->isNull()) {
    removeInternalUserAttributeForName(kUserIDProperty);
    removeInternalUserAttributeForName(kUserIDSetTimeProperty);
    return;
  }
  if (!userID->isString()) {
    APMMeasurement::log(0, 25004, "User ID must be NSString. User ID", {*userID});
    return;
  }
  sharedInstance()->setInternalUserProperty(*userID, kUserIDProperty, kAppOrigin);
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name))) return;
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::setUserAttributeNumber(const platform::Value& number, const std::string& name) {
  std::int64_t failureCode = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name), &failureCode)) {
    logUserPropertyNameError(name, failureCode, 15, 6);
    return;
  }
  if (!number.isNumber() || number.isBool()) return;
  const APMValuePtr typed = number.type() == platform::Value::Type::Double
                                ? APMValue::initWithDouble(number.doubleValue())
                                : APMValue::initWithInt64(number.longLongValue());
  sharedInstance()->setInternalUserProperty(platform::Value(typed), name, kAutoOrigin);
}

void APMAnalytics::setInternalUserProperty(const std::optional<platform::Value>& value,
                                           const std::string& name, const std::string& origin) {
  std::int64_t failureCode = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(platform::Value(name),
                                                              &failureCode)) {
    APMLogErrorEventWithValue(6, platform::Value(name), kUserPropertyLimit, platform::Value(name));
    return;
  }
  if (origin.empty() || origin.size() > 32) {
    APMMeasurement::log(2, 25005, "Unable to set user property. Origin is invalid. Origin, name", {origin, name});
    return;
  }
  if (!value || value->isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  const APMValuePtr typed =
      APMValueOf(*value) ? APMValueOf(*value) : APMValue::valueFromObject(value);
  if (!typed) return;
  const platform::Value typedValue(typed);
  failureCode = 0;
  if (APMDataTypeValidator::isValidInternalUserAttributeValue(typedValue, platform::Value(name),
                                                              &failureCode)) {
    auto attribute = APMUserAttribute::initWithOrigin(origin, name, typedValue, now());
    queueOperationWithBlock([attribute] {
      if (const auto core = APMMeasurement::sharedInstance()) core->setUserAttribute(attribute);
    });
  } else if (failureCode == kTooLongFailure) {
    std::optional<platform::Value> lengthValue;
    if (const auto text = typed->stringValue()) {
      lengthValue = platform::Value(*text);
    } else if (value->isNumber()) {
      lengthValue = platform::Value(value->description());
    }
    APMLogErrorEventWithValue(7, platform::Value(name), kUserPropertyLimit, lengthValue);
  }
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = APMUserAttribute::initWithOrigin(
      "", name, platform::Value(APMValue::initWithDouble(0)), now());
  queueOperationWithBlock([attribute] {
    if (const auto core = APMMeasurement::sharedInstance()) core->removeUserAttribute(attribute);
  });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              const platform::QueuePtr& queue,
                                              std::function<void(std::int32_t)> callback) {
  if (origin.empty()) {
    APMMeasurement::log(2, 25009,
        "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    APMMeasurement::log(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
        {origin});
    return;
  }
  if (!callback) {
    APMMeasurement::log(2, 25011,
        "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be "
        "nil. Origin",
        {origin});
    return;
  }
  queueOperationWithBlock([origin, queue, callback = std::move(callback)] {
    const auto core = APMMeasurement::sharedInstance();
    if (!core) return;
    core->maxUserPropertiesForOrigin(origin, [queue, callback](std::int32_t limit) {
      queue->async([callback, limit] { callback(limit); });
    });
  });
}

// ---- Switches and values

void APMAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    State& s = state();
    if (persistSetting) {
      if (const auto persisted = APMPersistedConfig::sharedInstance()) {
        persisted->setMeasurementEnabledState(enabled ? 1 : 2);
      }
    }
    if (s.collectionDeactivated && enabled) return;
    s.analyticsEnabled = enabled;
    if (const auto core = APMMeasurement::sharedInstance()) core->setEnabled(enabled);
  });
}

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    if (const auto core = APMMeasurement::sharedInstance())
      core->setSessionTimeoutInterval(seconds);
  });
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    APMMeasurement::log(1, 25050, "Analytics sessionID completion cannot be nil");
    return;
  }
  SessionIDCompletion answer = [completion](std::int64_t sessionID, platform::ErrorPtr error) {
    platform::Queue::global()->async(
        [completion, sessionID, error] { completion(sessionID, error); });
  };
  dispatchAsyncOnSerialQueue([answer] {
    const auto core = APMMeasurement::sharedInstance();
    if (!core || !core->didInitializeComponents()) {
      answer(0, apm_errorWithCode(13, "Analytics uninitialized"));
    } else if (!APMMeasurement::remoteConfig()->isSessionIDEnabled()) {
      answer(0, apm_errorWithCode(13, "Session ID API disabled"));
    } else {
      core->sessionIDWithCompletion(answer);
    }
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) {
    return afterReset;
  }
  const auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> appInstanceID = APMIdentity::randomAppInstanceID();
  if (appInstanceID->empty()) {
    APMMeasurement::log(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.reset();
  } else {
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([appInstanceID] {
    const auto core = APMMeasurement::sharedInstance();
    if (!core || !core->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      APMMeasurement::log(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceID && appInstanceIDAfterReset() == appInstanceID) {
      setAppInstanceIDAfterReset(std::nullopt);
    }
  });
}

void APMAnalytics::setUserData(const platform::Dictionary& userData) {
  queueOperationWithBlockThenWait([userData] {
    if (!state().analyticsEnabled) {
      APMMeasurement::log(4, 25044, "Analytics is disabled. User data not set.");
      return;
    }
    if (const auto core = APMMeasurement::sharedInstance()) core->setUserData(userData);
  });
}

void APMAnalytics::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
  queueOperationWithBlock([parameters] {
    if (!state().analyticsEnabled) return;
    if (const auto core = APMMeasurement::sharedInstance()) {
      core->setDefaultEventParameters(parameters);
    }
  });
}

std::int64_t APMAnalytics::resetRetryCount() {
  return storedInteger(kResetRetryCountKey).value_or(0);
}

void APMAnalytics::setResetRetryCount(std::int64_t count) {
  storeValue(count < 1 ? std::nullopt : std::optional<platform::Value>(count), kResetRetryCountKey);
}

bool APMAnalytics::needFirstOpenAfterReset() {
  const auto value = state().userDefaults->objectForKey(kNeedFirstOpenAfterResetKey);
  return value && (value->isBool() || value->isNumber()) && value->boolValue();
}

void APMAnalytics::setNeedFirstOpenAfterReset(bool need) {
  storeValue(platform::Value(need), kNeedFirstOpenAfterResetKey);
}

void APMAnalytics::removeNeedFirstOpenAfterReset() {
  storeValue(std::nullopt, kNeedFirstOpenAfterResetKey);
}

std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  const auto value = state().userDefaults->objectForKey(kAppInstanceIDAfterResetKey);
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

void APMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  storeValue(appInstanceID ? std::optional<platform::Value>(*appInstanceID) : std::nullopt,
             kAppInstanceIDAfterResetKey);
}

std::optional<platform::Value> APMAnalytics::deferredAnalyticsCollection() {
  const auto value = state().userDefaults->objectForKey(kDeferredAnalyticsCollectionKey);
  if (!value || !value->isNumber()) return std::nullopt;
  return value;
}

void APMAnalytics::setDeferredAnalyticsCollection(const std::optional<platform::Value>& value) {
  storeValue(value, kDeferredAnalyticsCollectionKey);
}

// ---- Consent

void APMAnalytics::setConsent(const platform::Dictionary& consent) {
  sharedInstance()->setConsent(consent, kConsentKey);
}

void APMAnalytics::setConsent(const platform::Dictionary& consent, const std::string& key) {
  if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone) {
    loadPersistedConsentSettings();
  }
  platform::Dictionary settings = APMConsentSettingsUtil::consentSettingsFromDictionary(consent);
  for (const std::string& type : settings.keys()) {
    const platform::Value& value = settings[type];
    const std::string* text = value.asString();
    if (!text || (*text != "granted" && *text != "denied")) {
      APMMeasurement::log(3, 25042,
          "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
          {value});
      settings.erase(type);
    }
  }
  if (settings.empty()) {
    APMMeasurement::log(3, 25041, "Discarding empty consent settings");
    return;
  }
  const std::int64_t source = key == kConsentTCFKey  ? APMConsentSettingsUtil::kSourceTCF
                              : key == kConsent3PKey ? APMConsentSettingsUtil::kSourcePublicCall
                                                     : APMConsentSettingsUtil::kSourceInternalCall;
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    APMMeasurement::log(3, 25043, "Ignoring lower priority consent settings");
    return;
  }
  const bool wasAdUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  APMConsentSettingsUtil::updateSettings(settings, source);
  persistConsentSettings(APMConsentSettingsUtil::consentSettings(), source);
  if (key == kConsent3PKey) APMMeasurement::log(8, 25055, APMConsentSettingsUtil::description());

  const auto remoteConfig = APMMeasurement::remoteConfig();
  if (remoteConfig->dcuEventFeatureEnabled() && !remoteConfig->consentDefaults().empty() &&
      APMConsentSettingsUtil::didAdUserDataConsentChange(wasAdUserDataDenied)) {
    logInternalEventWithOrigin(kAutoOrigin, "_dcu", {{"_r", platform::Value(std::int64_t{1})}});
  }
  if (remoteConfig->DMAConsentEnabled() && settings.contains("ad_personalization")) {
    if (const auto adPersonalization = APMConsentSettingsUtil::adPersonalization()) {
      setUserPropertyString(platform::Value(*adPersonalization != 0 ? "YES" : "NO"),
                            kAllowPersonalizedAds);
    }
  }
}

void APMAnalytics::loadPersistedConsentSettings() {
  std::int64_t source = persistedConsentSource();
  if (source == APMConsentSettingsUtil::kSourceNone) return;
  const struct {
    const char* key;
    std::int64_t cap;
  } layers[] = {{kConsentTCFKey, 5}, {kConsent3PKey, 20}, {kConsentKey, 40}};
  for (const auto& layer : layers) {
    if (auto settings = storedDictionary(layer.key)) {
      APMConsentSettingsUtil::setConsentSettings(std::move(settings));
      source = std::min(source, layer.cap);
      break;
    }
  }
  APMConsentSettingsUtil::setConsentSource(source);
}

void APMAnalytics::persistConsentSettings(const std::optional<platform::Dictionary>& settings,
                                          std::int64_t source) {
  const char* key = source == APMConsentSettingsUtil::kSourceTCF ? kConsentTCFKey
                    : source <= 20                               ? kConsent3PKey
                                                                 : kConsentKey;
  storeValue(settings ? std::optional<platform::Value>(*settings) : std::nullopt, key);
  storeValue(platform::Value(source), kConsentSourceKey);
}

std::int64_t APMAnalytics::persistedConsentSource() {
  return storedInteger(kConsentSourceKey).value_or(APMConsentSettingsUtil::kSourceNone);
}

std::optional<platform::Dictionary> APMAnalytics::consentSettingsTCF() {
  return storedDictionary(kConsentTCFKey);
}

std::optional<platform::Dictionary> APMAnalytics::consentSettings3P() {
  return storedDictionary(kConsent3PKey);
}

std::optional<platform::Dictionary> APMAnalytics::consentSettings1P() {
  return storedDictionary(kConsentKey);
}

std::optional<platform::Dictionary> APMAnalytics::consentSettings1PStart() {
  return storedDictionary(kConsentOnStartKey);
}

std::optional<platform::Value> APMAnalytics::deferredResetOnDeniedConsent() {
  return state().userDefaults->objectForKey(kDeferredConsentResetKey);
}

void APMAnalytics::removeStartUpConsentSettings() { storeValue(std::nullopt, kConsentOnStartKey); }

void APMAnalytics::removeDeferredResetOnDeniedConsent() {
  storeValue(std::nullopt, kDeferredConsentResetKey);
}

void APMAnalytics::clearConsent() {
  for (const char* key : {kConsentSourceKey, kConsent3PKey, kConsentKey, kConsentOnStartKey,
                          kDeferredConsentResetKey, kConsentTCFKey}) {
    storeValue(std::nullopt, key);
  }
  APMConsentSettingsUtil::clearAllSettings();
}

// ---- Interceptor, listeners, links

void APMAnalytics::setLogEventInterceptor(Interceptor interceptor) {
  runOnSerialQueue(
      [interceptor = std::move(interceptor)] { state().logEventInterceptor = interceptor; });
}

std::optional<APMAnalytics::LogEventListenerToken>
APMAnalytics::addLogEventListener(LogEventListener listener) {
  if (!listener) {
    APMMeasurement::log(2, 25012, "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  static std::atomic<LogEventListenerToken> nextToken{1};
  const LogEventListenerToken token = nextToken++;
  runOnSerialQueue([token, listener = std::move(listener)] {
    auto& listeners = state().logEventListeners;
    if (!listeners) listeners.emplace();
    (*listeners)[token] = listener;
  });
  return token;
}

void APMAnalytics::removeLogEventListener(const std::optional<LogEventListenerToken>& token) {
  if (!token) {
    APMMeasurement::log(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token = *token] {
    auto& listeners = state().logEventListeners;
    if (!listeners) {
      APMMeasurement::log(2, 25014, "Attempted removal of nil log event listener.");
    } else if (!listeners->erase(token)) {
      APMMeasurement::log(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const std::shared_ptr<const APMEvent>& event) {
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const std::shared_ptr<const APMEvent>& event) {
  const auto& listeners = state().logEventListeners;
  if (!listeners) return;
  for (const auto& [token, listener] : *listeners) listener(event);
}

void APMAnalytics::setOpenURLListener(OpenURLListener listener) {
  dispatchAsyncOnSerialQueue(
      [listener = std::move(listener)] { state().openURLListener = listener; });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([url, timestamp] {
    if (const auto core = APMMeasurement::sharedInstance()) {
      core->handleNonFirstOpenEventURL(url, timestamp);
    }
    if (const auto& listener = state().openURLListener) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const std::optional<std::string>& webpageURL) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([webpageURL, timestamp] {
    if (!webpageURL || webpageURL->empty()) return;
    if (const auto core = APMMeasurement::sharedInstance()) {
      core->handleNonFirstOpenEventURL(*webpageURL, timestamp);
    }
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
  ZULNetwork::handleEventsForBackgroundURLSessionID(sessionID, std::move(completionHandler));
}

std::shared_ptr<APMUserDefaults> APMAnalytics::userDefaults() { return state().userDefaults; }

bool APMAnalytics::analyticsEnabled() {
  bool enabled = false;
  state().serialQueue->sync([&] { enabled = state().analyticsEnabled; });
  return enabled;
}
