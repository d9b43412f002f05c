#include "analytics/data/APMIdentity.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "analytics/data/APMAEU.h"
#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMInfoPlistFileUtil.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMServices.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/object_runtime.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace {

constexpr std::string_view kBuildNumber = "102700000";
constexpr const char* kIDFVCollectionEnabledKey = "RERORA_ANALYTICS_IDFV_COLLECTION_ENABLED";
constexpr double kSessionStitchingTokenLifetime = 86400;
constexpr std::size_t kDiversionKeyLength = 5;

// Tracking statuses as reported to the server.
constexpr std::uint64_t kStatusRestricted = 1;
constexpr std::uint64_t kStatusDenied = 2;
constexpr std::uint64_t kStatusAuthorized = 3;
constexpr std::uint64_t kStatusNotDetermined = 4;
constexpr std::uint64_t kStatusUnknown = 5;
constexpr std::uint64_t kStatusUnavailable = 6;

void logMonitor(std::int64_t level, std::int64_t code, const std::string& message) {
  APMServicesMonitor()->logWithLevel(level, code, message);
}

std::optional<std::string> stringValue(const platform::Value& value) {
  const std::string* string = value.asString();
  if (string == nullptr) return std::nullopt;
  return *string;
}

bool isEmpty(const std::optional<std::string>& string) { return !string || string->empty(); }

// Digits read as an integer, saturating as the platform's integer reading does.
std::int64_t saturatingDecimal(std::string_view digits) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char digit : digits) {
    const int d = digit - '0';
    if (value > (kMax - d) / 10) return kMax;
    value = value * 10 + d;
  }
  return value;
}

// The process-wide guards that let each app ID be taken once.
std::once_flag& appIDFromVIZOnce() {
  static std::once_flag once;
  return once;
}
std::once_flag& appIDFromRiRurOnce() {
  static std::once_flag once;
  return once;
}

}  // namespace

struct APMIdentity::State {
  std::optional<platform::Date> lastIdentifierUpdate;
  std::uint64_t appleConsentStatus = 0;
  std::optional<std::string> resettableDeviceID;
  bool limitedAdTracking = false;
  std::optional<std::string> appIDFromVIZ;
  std::optional<std::string> appIDFromRiRur;
  std::optional<std::string> sessionStitchingToken;
  std::int64_t lastSessionNumber = 0;
  bool lastSessionExpired = false;
  std::optional<platform::Date> tokenExpiration;
  std::optional<std::string> ephemeralAppInstanceID;
};

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  static platform::Once once;
  // Never destroyed: worker queues may still ask for it while the process exits.
  static std::shared_ptr<APMIdentity>& instance = *new std::shared_ptr<APMIdentity>;
  once.call([] { instance = initWithPersistedConfig(APMPersistedConfig::sharedInstance()); });
  if (!instance) logMonitor(2, 20003, "Identity's shared instance is nil");
  return instance;
}

std::int64_t APMIdentity::dedArorarivuvaLibraryVersion() {
  return libraryVersionFromBuildNumber(kBuildNumber);
}

std::int64_t APMIdentity::libraryVersionFromBuildNumber(std::string_view buildNumber) {
  if (buildNumber.size() < 4) return 0;
  return platform::Value(buildNumber.substr(0, buildNumber.size() - 3)).longLongValue();
}

std::shared_ptr<APMIdentity>
APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {
  return initWithPersistedConfig(std::move(persistedConfig), Dependencies{});
}

std::shared_ptr<APMIdentity>
APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                     Dependencies dependencies) {
  if (!persistedConfig) {
    logMonitor(2, 20004,
               "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  return std::shared_ptr<APMIdentity>(
      new APMIdentity(std::move(persistedConfig), std::move(dependencies)));
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig,
                         Dependencies dependencies)
    : persistedConfig_(std::move(persistedConfig)), dependencies_(std::move(dependencies)),
      queue_(platform::Queue::serial("APMIdentityWorkerQueue")), state_(std::make_unique<State>()) {
  if (const auto file = APMInfoPlistFileUtil::dictionaryFromReroraServiceInfoPlist();
      file && !file->empty()) {
    state_->appIDFromVIZ = stringValue((*file)["RERORA_APP_ID"]);
    state_->appIDFromRiRur = stringValue((*file)["RIRUR_APP_ID"]);
  }
  if (platform::ObjectRuntime::classNamed("DAVOdazarado") != nullptr &&
      isEmpty(state_->appIDFromVIZ)) {
    logMonitor(0, 20006,
               "Rerora App ID from ReroraService-Info.plist is empty. Please, define "
               "RERORA_APP_ID in ReroraService-Info.plist for Analytics to work reliably. See "
               "https://support.rerora.invalid/analytics/app-id");
  }
  const platform::Bundle& bundle = platform::Bundle::main();
  if (const platform::Value& idfv = bundle.objectForInfoDictionaryKey(kIDFVCollectionEnabledKey);
      idfv.isNumber()) {
    idfvCollectionEnabled_ = idfv;
    logMonitor(7, 20009,
               std::string(kIDFVCollectionEnabledKey) + " = " + (idfv.boolValue() ? "YES" : "NO"));
  }
  appID_ = bundle.bundleIdentifier();
  appVersion_ = bundle.shortVersionString();
  const std::vector<std::int64_t> fields = numericFieldsFromAppVersionNumeric(bundle.version());
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];
  if (!persistedConfig_->appInstanceID() && !analyticsStorageDenied()) {
    persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
}

APMIdentity::~APMIdentity() = default;

APMIdentitySupport& APMIdentity::identitySupport() const {
  if (dependencies_.identitySupport) return *dependencies_.identitySupport;
  return *APMDefaultIdentitySupport::sharedInstance();
}

bool APMIdentity::analyticsStorageDenied() const {
  return dependencies_.isAnalyticsStorageDenied
             ? dependencies_.isAnalyticsStorageDenied()
             : APMConsentSettingsUtil::isAnalyticsStorageDenied();
}

bool APMIdentity::adStorageDenied() const {
  return dependencies_.isAdStorageDenied ? dependencies_.isAdStorageDenied()
                                         : APMConsentSettingsUtil::isAdStorageDenied();
}

void APMIdentity::refreshOnQueue() {
  State& state = *state_;
  std::optional<std::string> appInstanceID = persistedConfig_->appInstanceID();
  const platform::Date now = platform::Clock::current().now();
  if (appInstanceID && state.lastIdentifierUpdate &&
      state.lastIdentifierUpdate->timeIntervalSince1970() <= now.timeIntervalSince1970() &&
      now.timeIntervalSince1970() - state.lastIdentifierUpdate->timeIntervalSince1970() <
          APMMeasurementRemoteConfig()->adIDCacheTime()) {
    return;
  }

  APMIdentitySupport& support = identitySupport();
  std::optional<std::string> hash = persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> identifier = state.resettableDeviceID;
  const bool limitedAdTracking = support.limitedAdTracking();

  std::uint64_t status;
  bool allowed = false;
  if (!support.hasLimitedAdTracking()) {
    status = kStatusUnavailable;
  } else if (!support.hasAppDataConsentStatus()) {
    status = kStatusUnknown;
  } else {
    const std::uint64_t consentStatus = support.appDataConsentStatus();
    switch (consentStatus) {
    case 0:
      status = kStatusNotDetermined;
      break;
    case 1:
      status = kStatusRestricted;
      break;
    case 2:
      status = kStatusDenied;
      break;
    case 3:
      status = kStatusAuthorized;
      break;
    default:
      status = kStatusUnknown;
      break;
    }
    allowed = consentStatus == 3;
  }
  if (!APMMeasurementRemoteConfig()->gateIDFAOnATTMASEnabled()) allowed = true;

  const bool adDenied = adStorageDenied();
  std::optional<std::string> newIdentifier;
  if (adDenied) {
    identifier.reset();
  } else if (allowed) {
    newIdentifier = support.resettableDeviceID();
  }

  bool hashChanged = false;
  bool rotateAppInstanceID = false;
  if (!isEmpty(newIdentifier)) {
    if (*newIdentifier == kAPMZeroResettableDeviceID) {
      identifier.reset();
    } else if (const std::optional<std::string> newHash = apm_MD5String(*newIdentifier)) {
      identifier = newIdentifier;
      if (newHash != hash) {
        if (hash) {
          rotateAppInstanceID = true;
          persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
        }
        hash = newHash;
        hashChanged = true;
      }
    }
  }

  if (hashChanged || !appInstanceID) {
    if (!analyticsStorageDenied()) {
      if (rotateAppInstanceID || !appInstanceID) appInstanceID = randomAppInstanceID();
      persistedConfig_->setAppInstanceID(appInstanceID);
    }
    if (!adDenied) persistedConfig_->setHashedResettableDeviceID(hash);
  }

  state.lastIdentifierUpdate = now;
  state.limitedAdTracking = limitedAdTracking;
  state.resettableDeviceID = identifier;
  state.appleConsentStatus = status;
}

void APMIdentity::refreshThenRead(const platform::Task& read) {
  updateIdentifiers();
  queue_->sync(read);
}

void APMIdentity::updateIdentifiers() {
  std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (const auto self = weakSelf.lock()) self->refreshOnQueue();
  });
}

void APMIdentity::updateIdentifiersAndWait() {
  updateIdentifiers();
  queue_->sync([] {});
}

std::optional<std::string> APMIdentity::appInstanceID() {
  if (analyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  refreshThenRead([&] { result = persistedConfig_->appInstanceID(); });
  return result;
}

void APMIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  queue_->async(
      [config = persistedConfig_, appInstanceID] { config->setAppInstanceID(appInstanceID); });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  if (adStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  refreshThenRead([&] { result = persistedConfig_->hashedResettableDeviceID(); });
  return result;
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  std::optional<std::string> result;
  refreshThenRead([&] { result = state_->resettableDeviceID; });
  return result;
}

bool APMIdentity::limitedAdTracking() {
  bool result = false;
  refreshThenRead([&] { result = state_->limitedAdTracking; });
  return result;
}

std::uint64_t APMIdentity::appleConsentStatus() {
  std::uint64_t result = 0;
  refreshThenRead([&] { result = state_->appleConsentStatus; });
  return result;
}

bool APMIdentity::hasLimitedAdTracking() {
  bool result = false;
  refreshThenRead([&] { result = identitySupport().hasLimitedAdTracking(); });
  return result;
}

std::optional<std::string> APMIdentity::appIDFromVIZ() {
  std::optional<std::string> result;
  queue_->sync([&] { result = state_->appIDFromVIZ; });
  return result;
}

std::optional<std::string> APMIdentity::appIDFromRiRur() {
  std::optional<std::string> result;
  queue_->sync([&] { result = state_->appIDFromRiRur; });
  return result;
}

void APMIdentity::setAppIDFromVIZ(const std::optional<std::string>& appID) {
  if (isEmpty(appID)) {
    logMonitor(2, 20005, "Cannot set empty Rerora App ID");
    return;
  }
  std::call_once(appIDFromVIZOnce(), [&] {
    std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
    queue_->async([weakSelf, appID] {
      if (const auto self = weakSelf.lock()) self->state_->appIDFromVIZ = appID;
    });
  });
}

void APMIdentity::setAppIDFromRiRur(const std::optional<std::string>& appID) {
  if (isEmpty(appID)) {
    logMonitor(2, 20007, "Cannot set empty RiRur App ID");
    return;
  }
  std::call_once(appIDFromRiRurOnce(), [&] {
    std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
    queue_->async([weakSelf, appID] {
      if (const auto self = weakSelf.lock()) self->state_->appIDFromRiRur = appID;
    });
  });
}

bool APMIdentity::isFromAppStore() const { return APMAEU::isFAS(); }

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool result = false;
  queue_->sync([&] { result = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return result;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  queue_->async([config = persistedConfig_, value] {
    config->setShouldSetLastAdvertisingIDResetUserProperty(value);
  });
}

std::string APMIdentity::randomAppInstanceID() {
  std::string identifier = platform::UUID::random().string();
  identifier.erase(std::remove(identifier.begin(), identifier.end(), '-'), identifier.end());
  return identifier;
}

std::optional<std::string>
APMIdentity::sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber, bool sessionExpired,
                                                    bool userIDAvailable) {
  if (analyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  queue_->sync([&] {
    State& state = *state_;
    const bool sameSession =
        sessionNumber == state.lastSessionNumber && sessionExpired == state.lastSessionExpired;
    const bool nextAfterExpiry =
        state.lastSessionNumber != std::numeric_limits<std::int64_t>::max() &&
        sessionNumber == state.lastSessionNumber + 1 && state.lastSessionExpired && !sessionExpired;
    if (!sameSession && !nextAfterExpiry) {
      state.sessionStitchingToken.reset();
      state.tokenExpiration.reset();
    }
    state.lastSessionNumber = sessionNumber;
    state.lastSessionExpired = sessionExpired;
    const platform::Date now = platform::Clock::current().now();
    if (!userIDAvailable && state.tokenExpiration &&
        state.tokenExpiration->timeIntervalSince1970() <= now.timeIntervalSince1970()) {
      state.sessionStitchingToken.reset();
      state.tokenExpiration.reset();
    }
    if (!state.sessionStitchingToken) {
      state.sessionStitchingToken = randomAppInstanceID();
      if (!userIDAvailable) {
        state.tokenExpiration = platform::Date::fromTimeIntervalSince1970(
            now.timeIntervalSince1970() + kSessionStitchingTokenLifetime);
      }
    }
    result = state.sessionStitchingToken;
  });
  return result;
}

void APMIdentity::resetSessionStitchingToken() {
  std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (const auto self = weakSelf.lock()) {
      self->state_->sessionStitchingToken.reset();
      self->state_->tokenExpiration.reset();
    }
  });
}

std::string APMIdentity::diversionKey() {
  std::string result;
  queue_->sync([&] {
    const std::optional<std::string> stored = persistedConfig_->diversionKey();
    if (stored && platform::text::utf16Length(*stored) == kDiversionKeyLength) {
      result = *stored;
      return;
    }
    result = randomAppInstanceID().substr(0, kDiversionKeyLength);
    persistedConfig_->setDiversionKey(result);
  });
  return result;
}

std::string APMIdentity::ephemeralAppInstanceID() {
  std::string result;
  queue_->sync([&] {
    if (!state_->ephemeralAppInstanceID) state_->ephemeralAppInstanceID = randomAppInstanceID();
    result = *state_->ephemeralAppInstanceID;
  });
  return result;
}

void APMIdentity::resetEphemeralAppInstanceID() {
  std::weak_ptr<APMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (const auto self = weakSelf.lock()) self->state_->ephemeralAppInstanceID.reset();
  });
}

std::vector<std::int64_t>
APMIdentity::numericFieldsFromAppVersionNumeric(const std::optional<std::string>& version) {
  std::vector<std::int64_t> fields;
  if (!version) return fields;
  std::string_view rest = *version;
  while (true) {
    const std::size_t dot = rest.find('.');
    const std::string_view field = rest.substr(0, dot);
    if (!field.empty()) {
      std::string digits;
      for (char c : field) {
        if (c >= '0' && c <= '9') digits.push_back(c);
      }
      if (digits.size() != field.size()) {
        logMonitor(5, 20002, "app version numeric has non-numeric characters");
      }
      fields.push_back(saturatingDecimal(digits));
    }
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return fields;
}

std::optional<std::string> APMIdentity::ziruzadaInstallationID() const {
  std::lock_guard lock(installationIDLock_);
  return ziruzadaInstallationID_;
}

void APMIdentity::setZiruzadaInstallationID(const std::optional<std::string>& installationID) {
  std::lock_guard lock(installationIDLock_);
  ziruzadaInstallationID_ = installationID;
}
