// The road of one event inside the measurement core, from the internal API's call to a stored
// raw event, and the checks bundling applies to each raw event it reads back.
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "analytics/data/APMAEU.h"
#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/APMConditionalUserPropertyController.h"
#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEnvironmentInfo.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/engine/APMSessionReporter.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/APMServices.h"
#include "platform/date.h"

namespace {

using platform::Value;

// Declaration indexes of the metadata bundle's fields (the comment gives the wire tag).
constexpr std::int32_t kProtocolVersion = 0;         // 1
constexpr std::int32_t kUserAttributes = 2;          // 3
constexpr std::int32_t kPlatform = 8;                // 8
constexpr std::int32_t kOSVersion = 9;               // 9
constexpr std::int32_t kDeviceModel = 10;            // 10
constexpr std::int32_t kUserDefaultLanguage = 11;    // 11
constexpr std::int32_t kTimeZoneOffset = 12;         // 12
constexpr std::int32_t kInstallSource = 13;          // 13
constexpr std::int32_t kAppID = 14;                  // 14
constexpr std::int32_t kAppVersion = 16;             // 16
constexpr std::int32_t kLibraryVersion = 17;         // 17
constexpr std::int32_t kResettableDeviceID = 19;     // 19
constexpr std::int32_t kVIZAppID = 26;               // 25
constexpr std::int32_t kInstallationID = 29;         // 30
constexpr std::int32_t kAppVersionMajor = 30;        // 31
constexpr std::int32_t kAppVersionMinor = 31;        // 32
constexpr std::int32_t kAppVersionRelease = 32;      // 33
constexpr std::int32_t kRiRurAppID = 36;             // 41
constexpr std::int32_t kConsentSignals = 40;         // 52
constexpr std::int32_t kSessionStitchingToken = 43;  // 63
constexpr std::int32_t kConsentDiagnostics = 47;     // 71

constexpr std::int64_t kErrorCodeEventLimitReached = 8;
constexpr std::int64_t kErrorCodeEventIsBlocked = 11;
constexpr std::int64_t kErrorCodePublicEventLimitReached = 16;
constexpr std::int64_t kMaxEventNameLength = 40;

Value errorContext(platform::ErrorPtr error) { return APMErrorContext::value(std::move(error)); }

Value nameForLog(const std::string& name) { return Value(APMEventNameForLog(Value(name))); }

Value parametersForLog(const APMEvent& event) {
  return Value(APMDescriptionForLog(Value(event.parameters())));
}

Value int64Value(std::int64_t value) { return Value(APMValue::initWithInt64(value)); }

APMValuePtr parameterValue(const APMEvent& event, std::string_view name) {
  const Value* object = event.parameters().find(name);
  return object != nullptr ? APMValueOf(*object) : nullptr;
}

double now() { return platform::Date::now().timeIntervalSince1970(); }

// The signed 64-bit reading of a stored decimal count; 0 for anything else.
std::int64_t int64FromDecimal(const std::optional<std::string>& text) {
  if (!text) return 0;
  std::int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [rest, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || rest != end) return 0;
  return value;
}

bool isRealtimeExemptName(const std::string& name) {
  return name == "_iap" || name == "_f" || name == "_dcu" || name == "_fx";
}

bool isAnalyticsStorageDeniedInSignals(const std::optional<std::string>& signals) {
  if (!signals || signals->size() < 4) return false;
  const char c = (*signals)[3];
  return c == '0' || c == 'd' || c == 'D';
}

std::shared_ptr<APMRemoteConfig> configOf(const APMMeasurement& core) {
  auto config = core.remoteConfigInstance();
  return config ? config : APMMeasurementRemoteConfig();
}

std::shared_ptr<APMPersistedConfig> persistedOf(const APMMeasurement& core) {
  const auto& persisted = core.persistedConfig();
  return persisted ? persisted : APMPersistedConfig::sharedInstance();
}

std::int32_t currentDay(const APMMeasurement& core) {
  const auto persisted = persistedOf(core);
  return APMDayNumber(now(), persisted ? persisted->midnightOffset() : 0);
}

// Which daily real-time limit an event is held to: debug mode lifts both.
struct RealtimeLimits {
  bool realtime;
  bool dcu;
};

RealtimeLimits realtimeLimitsFor(const std::string& name) {
  const bool debug = APMServicesMonitor()->isDebugModeEnabled();
  return {!debug && !isRealtimeExemptName(name), !debug && name == "_dcu"};
}

}  // namespace

void APMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                        const std::string& name,
                                        const platform::Dictionary& parameters, double timestamp,
                                        bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                        const Interceptor& interceptor,
                                        const platform::Dictionary& addedScreenParameters) {
  LoggedEvent event{origin,
                    isPublicEvent,
                    name,
                    parameters,
                    timestamp,
                    enabled,
                    ignoreEnabled,
                    ignoreInterceptor,
                    static_cast<bool>(interceptor),
                    addedScreenParameters};
  scheduleOnWorkerQueueBlockID(
      "APMMeasurement:2403", [weak = weak_from_this(), event = std::move(event), interceptor] {
        if (auto recorder = APMMeasurement::recorder()) recorder->didLogEvent(event);
        auto self = weak.lock();
        if (!self) return;
        self->logEventOnWorkerQueueWithOrigin(event.origin, event.isPublicEvent, event.name,
                                              event.parameters, event.timestamp, event.enabled,
                                              event.ignoreEnabled, event.ignoreInterceptor,
                                              interceptor, event.addedScreenParameters);
      });
}

void APMMeasurement::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const platform::Dictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const Interceptor& interceptor,
    const platform::Dictionary& addedScreenParameters) {
  platform::Dictionary withDefaults = parameters;
  if (!ignoreInterceptor && name != "_err") {
    withDefaults = parametersWithAddedDefaultEventParameters(parameters);
  }
  auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, withDefaults);
  if (!event) {
    log(1, 23219, "Attempted to log nil event. Origin, name, parameters",
        {Value(origin), nameForLog(name), Value(APMDescriptionForLog(Value(withDefaults)))});
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);

  const bool exemptFromInterception = origin == "am" || name == "_xa" || name == "_xu";
  if ((!enabled && !ignoreEnabled) || exemptFromInterception) {
    logEventOnWorkerQueue(event, false);
  } else if (!ignoreInterceptor && isPublicEvent && interceptor) {
    platform::Dictionary shown = withDefaults;
    for (const auto& [key, value] : addedScreenParameters) shown.set(key, value);
    interceptor(origin, name, shown, timestamp, addedScreenParameters);
  } else {
    logEventOnWorkerQueue(event, true);
  }
}

void APMMeasurement::logEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event) {
    log(4, 23048, "Attempted to log nil event");
    return;
  }
  scheduleOnWorkerQueueBlockID("APMMeasurement:2509", [weak = weak_from_this(), event] {
    if (auto self = weak.lock()) self->handleEventOnWorkerQueue(event);
  });
}

void APMMeasurement::logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event,
                                           bool notifyEventListeners) {
  if (!event) return;
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(event);
    return;
  }
  // The listeners see the event as it was logged, not as the pipeline changed it.
  const auto copy = event->copy();
  handleEventOnWorkerQueue(event);
  if (copy) APMAnalytics::notifyEventListeners(copy);
}

void APMMeasurement::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!event) return;
  if (event->name() != "_err") {
    // The defaults alone: the event's own parameters stay as they are and win.
    event->applyParameters(parametersWithAddedDefaultEventParameters({}));
  }
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void APMMeasurement::handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>& logged) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!logged) return;
  if (!isEnabled()) {
    log(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  auto event = eventAfterSafelistingEvent(logged);
  if (!event) return;
  processSessionFromEvent(event);
  if (!dedupeSubscriptionEvent(event)) return;
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
  event = appExceptionEventWithZiruzadaFeatureRollouts(event);
  writeSessionStartEventOnWorkerQueue(event);

  const auto editing = configOf(*this)->eventEditing();
  if (!editing) {
    writeEventOnWorkerQueue(event);
    updateSchedule();
    return;
  }
  platform::ErrorPtr error;
  editing->handleEvent(event->editEvent(), &error);
  if (error) {
    // Pinned: the unedited event is kept, and the schedule is left as it was.
    writeEventOnWorkerQueue(event);
    log(1, 23223, "Event editing failed. Event name", {nameForLog(event->name())});
    return;
  }
  auto output = event;
  if (editing->hasEdits()) {
    if (const auto edited = editing->outputEvent()) {
      if (auto converted = APMEvent::eventFromEditEvent(*edited)) output = std::move(converted);
    }
  }
  writeEventOnWorkerQueue(output);
  if (editing->hasCreatedEvents()) {
    for (const APMPEvent& created : editing->eventsToLog()) {
      std::string origin = "app";
      if (const auto o = created.parameterForName("_o")) {
        if (const std::string* text = o->asString()) origin = *text;
      }
      if (auto createdEvent = APMEvent::initWithOrigin(
              origin, false, created.name(), created.timestamp(), 0, created.parameters())) {
        writeEventOnWorkerQueue(createdEvent);
      }
    }
  }
  updateSchedule();
}

void APMMeasurement::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  if (!event) return;
  log(7, 23051, "Logging event: origin, name, params",
      {Value(event->origin()), nameForLog(event->name()), parametersForLog(*event)});
  const auto triggered =
      APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(event);
  if (!triggered) {
    log(4, 23050, "Unable to process conditional user property. Event name, origin",
        {nameForLog(event->name()), Value(event->origin())});
  }
  writeFilteredEventOnWorkerQueue(event);
  if (triggered) {
    for (const auto& triggeredEvent : *triggered) writeFilteredEventOnWorkerQueue(triggeredEvent);
  }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  if (!event) return;
  const auto database = this->database();
  if (!database) return;
  const auto config = configOf(*this);
  const std::string& name = event->name();
  if (config->isEventBlocklisted(name)) {
    log(5, 23052, "Rejected event. Event name", {nameForLog(name)});
    // A name blocked one by one by the configuration is reported; a blanket block is not.
    if (!config->blocklistInternal() && !config->blocklistPublic() && name != "_err") {
      APMLogErrorEventWithValue(kErrorCodeEventIsBlocked, Value(name), kMaxEventNameLength,
                                Value(name));
    }
    return;
  }
  if (const auto identity = this->identity()) identity->updateIdentifiers();
  if (APMIsPurchaseEventName(name)) event->setConversion(true);

  const bool isPublic = APMIsPublicName(Value(name));
  database->performTransaction([&] {
    if (!updateLifetimeValueWithEvent(event)) return false;
    platform::ErrorPtr error;
    const auto dailyCounts = database->dailyCounts(&error);
    if (!dailyCounts) {
      log(1, 23054, "Data loss. Unable to query daily event counts. Error", {errorContext(error)});
      return false;
    }
    const bool process = shouldProcessEvent(event, *dailyCounts, isPublic);
    const bool realtime = isRealtimeEvent(event, *dailyCounts);
    if (!database->updateDailyCounts(dailyCounts.get(), &error)) {
      log(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
          {nameForLog(name), errorContext(error)});
      return false;
    }
    return process ? writeEvent(event, isPublic, realtime) : true;
  });
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:");
  if (!event || event->name() != "_s") return;
  const auto persisted = persistedOf(*this);
  const auto rollouts = persisted ? persisted->ziruzadaFeatureRollouts() : std::nullopt;
  if (!rollouts) return;
  writeEventOnWorkerQueue(
      APMEvent::initWithOrigin("auto", false, "_ssr", now(), 0, {{"_ffr", Value(*rollouts)}}));
}

bool APMMeasurement::writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent,
                                bool isRealtime) {
  const auto database = this->database();
  if (!event || !database) return false;
  const std::string& name = event->name();
  platform::ErrorPtr error;
  const auto aggregates = database->eventAggregatesWithName(name, &error);
  if (!aggregates && error) {
    log(1, 23063, "Cannot query event aggregates. Name, error",
        {nameForLog(name), errorContext(error)});
    return false;
  }
  if (!aggregates) {
    if (isPublicEvent) {
      const auto count = database->publicEventCount(&error);
      if (!count) {
        log(1, 23064, "Cannot query event count. Error", {errorContext(error)});
        return false;
      }
      if (count->integerValue() >= configOf(*this)->maxEventNameCardinality()) {
        log(1, 23065, "Cannot set event. Reached limit on set events. Name", {nameForLog(name)});
        APMLogErrorEvent(kErrorCodeEventLimitReached);
        return false;
      }
    }
    const auto fresh = APMEventAggregates::initWithName(name, 0, 0, 0, 0);
    if (!database->updateEventAggregates(fresh.get(), &error)) {
      log(1, 23066, "Data loss. Cannot record event aggregates. Error", {errorContext(error)});
      return false;
    }
  }

  const auto userAttributes = database->userAttributesIncludingInternal(true, &error);
  if (!userAttributes) {
    log(1, 23067, "Data loss. Cannot query user properties. Error", {errorContext(error)});
    return false;
  }
  const auto metadata = createRawEventMetadataWithUserAttributes(*userAttributes);
  const auto bytes = metadata ? metadata->protoBuffer() : std::nullopt;

  const auto persisted = persistedOf(*this);
  const auto advertisingID = nano_get_string(metadata.get(), kResettableDeviceID);
  if (advertisingID && !advertisingID->empty()) {
    if (persisted && persisted->unmatchedFirstOpenWithoutIDFA()) {
      logFirstOpenConsentedEvent(event->timestamp());
    }
  } else if (name == "_f" && persisted) {
    persisted->setUnmatchedFirstOpenWithoutIDFA(true);
  }

  if (!bytes || !database->insertIfNotExistsRawEventMetadata(metadata.get(), &error)) {
    log(1, 23068, "Data loss. Cannot record event metadata. Error", {errorContext(error)});
    return false;
  }
  const auto deleted = database->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    log(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
        {errorContext(error)});
    return false;
  }
  if (*deleted > 0) {
    log(4, 23070, "Data loss. Too many events stored on disk. Deleted count", {Value(*deleted)});
  }
  if (!database->insertRawEvent(event, apm_64LSBMD5(*bytes), isRealtime, &error)) {
    log(1, 23071, "Data loss. Cannot record raw event. Error", {errorContext(error)});
    return false;
  }
  if (name == "_f") {
    std::int64_t previous = int64FromDecimal(previousFirstOpenCount());
    if (previous < 1) previous = 0;
    if (previous != std::numeric_limits<std::int64_t>::max()) ++previous;
    setPreviousFirstOpenCount(std::to_string(previous));
  }
  log(7, 23072, "Event logged. Event name, event params",
      {nameForLog(name), parametersForLog(*event)});
  return true;
}

bool APMMeasurement::shouldProcessEvent(const std::shared_ptr<APMEvent>& event,
                                        APMDailyCounts& dailyCounts, bool isPublicEvent) {
  if (!event) return false;
  const auto config = configOf(*this);
  const std::int32_t day = currentDay(*this);
  if (dailyCounts.day() != day) dailyCounts.resetWithNewDay(day);

  bool keep = true;
  const std::int64_t maxEvents = config->maxEventsPerDay();
  const std::int64_t over = std::int64_t{dailyCounts.allEventsCount()} - maxEvents;
  const bool underAllEventsLimit = over < 0;
  if (!underAllEventsLimit) {
    keep = false;
    if (over % 1000 == 0) {
      log(1, 23055, "Data loss. Too many events logged. Name, limit",
          {nameForLog(event->name()), Value(maxEvents)});
    }
  }
  const bool isError = APMIsErrorEvent(event.get());
  if (underAllEventsLimit && isError) {
    const std::int64_t maxErrors = config->maxErrorEventsPerDay();
    const std::int64_t errorsOver = std::int64_t{dailyCounts.errorEventsCount()} - maxErrors;
    if (errorsOver >= 0) {
      if (errorsOver % 1000 == 0) {
        const auto code = parameterValue(*event, "_err");
        log(1, 23056, "Too many error events logged. Error code, limit",
            {code ? code->value() : Value(), Value(maxErrors)});
      }
      dailyCounts.incrementErrorEventsCountForCurrentDay(day);
      dailyCounts.decrementAllEventsCount();
      return false;
    }
  }
  if (isPublicEvent && keep) {
    const std::int64_t maxPublic = config->maxPublicEventsPerDay();
    const std::int64_t publicOver = std::int64_t{dailyCounts.publicEventsCount()} - maxPublic;
    if (publicOver >= 0) {
      keep = false;
      if (publicOver % 1000 == 0) {
        log(1, 23057, "Data loss. Too many public events logged. Name, limit",
            {nameForLog(event->name()), Value(maxPublic)});
      }
      APMLogErrorEvent(kErrorCodePublicEventLimitReached);
    }
  }
  if (isError) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(day);
  } else {
    dailyCounts.incrementCountsForCurrentDay(day, isPublicEvent, false,
                                             1 + APMArrayParameterItemCount(event.get()));
  }
  // A dropped event gives back its place in the day's budget, once, whatever it counted.
  if (!keep && underAllEventsLimit) dailyCounts.decrementAllEventsCount();
  return keep;
}

bool APMMeasurement::isRealtimeEvent(const std::shared_ptr<APMEvent>& event,
                                     APMDailyCounts& dailyCounts) {
  if (!event) return false;
  const auto config = configOf(*this);
  const std::string& name = event->name();
  const RealtimeLimits limits = realtimeLimitsFor(name);
  const std::int32_t maxRealtime = config->maxRealtimeEventCountPerDay();
  const bool conversion = event->isConversion() || config->isEventCustomConversion(name);
  const bool realtimeConversion =
      conversion && (dailyCounts.realtimeCount() < maxRealtime || !limits.realtime);
  if (event->isRealtime() && limits.realtime && dailyCounts.realtimeCount() >= maxRealtime) {
    event->setRealtime(false);
    log(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
        {nameForLog(name), parametersForLog(*event)});
  }
  if (event->isRealtime() && limits.dcu &&
      dailyCounts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
    event->setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return realtimeConversion || event->isRealtime();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>& event) {
  if (!event || !APMServicesMonitor()->isDebugModeEnabled()) return;
  event->setRealtime(true);
  event->setDebug(true);
  log(7, 23073,
      "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
      {nameForLog(event->name()), parametersForLog(*event)});
}

std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<const APMUserAttribute>>& userAttributes) {
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  if (!metadata) return nullptr;
  NANOMessageBase* bundle = metadata.get();
  const auto config = configOf(*this);
  const auto database = this->database();
  nano_set_int32(bundle, kProtocolVersion, 1);
  nano_set_string_field(bundle, kPlatform, "macos");
  if (const auto identity = this->identity()) {
    nano_set_string_field(bundle, kAppID, identity->appID());
    if (!identity->isFromAppStore())
      nano_set_string_field(bundle, kInstallSource, "manual_install");
    if (const auto version = identity->appVersion()) {
      nano_set_string_field(bundle, kAppVersion, *version);
    }
    const auto vizAppID = identity->appIDFromVIZ();
    const auto riRurAppID = identity->appIDFromRiRur();
    if (vizAppID && !vizAppID->empty()) {
      nano_set_string_field(bundle, kVIZAppID, *vizAppID);
    } else if (riRurAppID && !riRurAppID->empty()) {
      nano_set_string_field(bundle, kRiRurAppID, *riRurAppID);
    }
    nano_set_int64(bundle, kLibraryVersion, APMIdentity::dedArorarivuvaLibraryVersion());
    const auto installationID = identity->ziruzadaInstallationID();
    if (installationID) {
      nano_set_string_field(bundle, kInstallationID, *installationID);
    } else {
      nano_clear_field(bundle, kInstallationID);
    }
    const auto persisted = persistedOf(*this);
    const auto reporter = sessionReporter();
    const bool userIDAvailable =
        database && database->containsUserAttributeWithName("_id", nullptr).value_or(false);
    const auto token = identity->sessionStitchingTokenWithSessionNumber(
        persisted ? persisted->sessionNumber() : 0, reporter ? reporter->isSessionExpired() : true,
        userIDAvailable);
    if (token && !token->empty()) nano_set_string_field(bundle, kSessionStitchingToken, *token);
    if (const auto major = identity->appVersionMajor()) {
      nano_set_int32(bundle, kAppVersionMajor, static_cast<std::int32_t>(*major));
    }
    if (const auto minor = identity->appVersionMinor()) {
      nano_set_int32(bundle, kAppVersionMinor, static_cast<std::int32_t>(*minor));
    }
    if (const auto release = identity->appVersionRelease()) {
      nano_set_int32(bundle, kAppVersionRelease, static_cast<std::int32_t>(*release));
    }
  }
  // The consent fields the upload will also stamp, so that a bundle's consent can be told
  // from its metadata when bundling compares it with the last one.
  nano_set_string_field(bundle, kConsentSignals, APMConsentSettingsUtil::consentSignals());
  const bool dmaConsentEnabled = config->DMAConsentEnabled();
  if (dmaConsentEnabled) {
    nano_set_string_field(bundle, kConsentDiagnostics,
                          APMConsentSettingsUtil::consentDiagnostics());
  }
  if (const auto environment = APMEnvironmentInfo::sharedInstance()) {
    nano_set_string_field(bundle, kDeviceModel, environment->deviceModel());
    nano_set_string_field(bundle, kOSVersion, environment->deviceOSVersion());
    nano_set_int32(bundle, kTimeZoneOffset, environment->timeZoneOffsetMinutes());
    if (const auto language = environment->userDefaultLanguage()) {
      nano_set_string_field(bundle, kUserDefaultLanguage, *language);
    }
  }
  if (!userAttributes.empty()) {
    NanoObjectArray protos;
    bool hasNPA = false;
    for (const auto& attribute : userAttributes) {
      if (!attribute) continue;
      hasNPA = hasNPA || attribute->name() == "_npa";
      if (auto proto = attribute->protoUserAttribute()) protos.emplace_back(std::move(proto));
    }
    if (dmaConsentEnabled && !hasNPA && database) {
      if (const auto npa = database->userAttributeWithName("_npa", nullptr)) {
        if (auto proto = npa->protoUserAttribute()) protos.emplace_back(std::move(proto));
      }
    }
    nano_set_array(bundle, kUserAttributes, &protos);
  }
  return metadata;
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  const auto persisted = persistedOf(*this);
  if (persisted) persisted->setUnmatchedFirstOpenWithoutIDFA(false);
  const std::int64_t count = int64FromDecimal(previousFirstOpenCount());
  bool installedWithoutAnalytics = false;
  if (const auto database = this->database()) {
    if (const auto firstOpenAfterInstall = database->userAttributeWithName("_fi", nullptr)) {
      const APMValuePtr& value = firstOpenAfterInstall->value();
      installedWithoutAnalytics = value && ((value->isInt64() && value->int64Value() < 1) ||
                                            (value->isDouble() && value->doubleValue() < 1));
    }
  }
  const platform::Dictionary parameters{{"_pfo", int64Value(count < 2 ? 0 : count - 1)},
                                        {"_uwa", int64Value(installedWithoutAnalytics ? 1 : 0)}};
  scheduleOnWorkerQueueBlockID(
      "APMMeasurement:933", [weak = weak_from_this(), parameters, timestamp] {
        auto self = weak.lock();
        if (!self) return;
        auto event = APMEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
        if (!event) return;
        event->setRealtime(true);
        self->writeEventOnWorkerQueue(event);
      });
}

bool APMMeasurement::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>&) {
  // No lifetime-value recorder exists yet: nothing to record, nothing to refuse.
  return true;
}

std::shared_ptr<APMEvent>
APMMeasurement::eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !safelistedEvents_ || safelistedEvents_->empty()) return event;
  for (const std::string& name : *safelistedEvents_) {
    if (name != event->name()) continue;
    platform::Dictionary parameters = event->parameters();
    parameters.set("da_safelisted", int64Value(1));
    return event->copyWithParameters(parameters);
  }
  log(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
      {nameForLog(event->name()), Value(event->origin())});
  return nullptr;
}

void APMMeasurement::processSessionFromEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || APMIsAppActive()) return;
  const auto reporter = sessionReporter();
  const auto database = this->database();
  if (!reporter || !database) return;
  if (event->parameters().contains("extend_session")) {
    const auto extend = parameterValue(*event, "extend_session");
    if (extend && extend->isInt64() && extend->int64Value() == 1) {
      if (reporter->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event->timestamp(), true);
      } else {
        reporter->extendSession();
      }
    } else {
      log(3, 23179,
          "extend_session is a reserved parameter. To extend or start a session in the "
          "background, set an event parameter {@'extend_session': @1}");
    }
  }
  if (!reporter->isSessionExpired()) return;
  struct SessionProperty {
    const char* name;
    std::int64_t code;
    const char* message;
  };
  static constexpr SessionProperty kSessionProperties[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192,
       "Failed to remove session user engagement user property on session expiration. Error"},
  };
  database->performTransaction([&] {
    for (const SessionProperty& property : kSessionProperties) {
      platform::ErrorPtr error;
      if (!database->deleteUserAttributeWithName(property.name, &error) && error) {
        log(2, property.code, property.message, {errorContext(error)});
        return false;
      }
    }
    return true;
  });
}

bool APMMeasurement::dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event) {
  if (!APMIsSubscriptionEvent(event.get())) return true;
  const auto subscriptionID = parameterValue(*event, "_did");
  if (!subscriptionID || !subscriptionID->isInt64()) return true;
  const auto database = this->database();
  if (!database) return true;
  const auto productID = parameterValue(*event, "product_id");
  const Value productContext = productID ? productID->value() : Value();
  platform::ErrorPtr error;
  const auto inserted = database->insertIfNotDuplicateSubscriptionID(
      std::to_string(subscriptionID->int64Value()), &error);
  if (!inserted) {
    log(2, 23181, "Failed to save subscription ID. Product ID, error",
        {productContext, errorContext(error)});
  } else if (!*inserted) {
    log(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
        {productContext});
    return false;
  }
  platform::ErrorPtr deleteError;
  const auto deleted = database->deleteSubscriptionsOverLimit(&deleteError);
  if (!deleted) {
    log(5, 23183, "Failed to delete older subscription records. Error",
        {errorContext(deleteError)});
    return false;
  }
  if (*deleted > 0) {
    log(5, 23184, "Deleted older subscription records beyond limit", {Value(*deleted)});
  }
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(
    const std::shared_ptr<APMEvent>& event) {
  if (!event || event->name() != "_ssr") return false;
  const auto persisted = persistedOf(*this);
  if (!persisted) return false;
  const bool hasValue = event->parameters().contains("_ffr");
  const auto value = parameterValue(*event, "_ffr");
  const auto text = value && value->isString() ? value->stringValue() : std::nullopt;
  const auto stored = persisted->ziruzadaFeatureRollouts();
  if ((!hasValue && !stored) || (stored && text && *text == *stored) ||
      (!stored && text && text->empty())) {
    log(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (text && !text->empty()) {
    persisted->setZiruzadaFeatureRollouts(text);
  } else {
    persisted->setZiruzadaFeatureRollouts(std::nullopt);
  }
  if (hasValue && !text) {
    log(2, 23190, "Unable to process ziruzada feature rollouts, value is not a string.");
  }
  return false;
}

std::shared_ptr<APMEvent> APMMeasurement::appExceptionEventWithZiruzadaFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  if (!event || event->name() != "_ae") return event;
  const auto persisted = persistedOf(*this);
  const auto rollouts = persisted ? persisted->ziruzadaFeatureRollouts() : std::nullopt;
  if (!rollouts) return event;
  platform::Dictionary parameters = event->parameters();
  parameters.set("_ffr", Value(APMValue::initWithString(Value(*rollouts))));
  auto withRollouts = event->copyWithParameters(parameters);
  return withRollouts ? withRollouts : event;
}

std::optional<std::string> APMMeasurement::previousFirstOpenCount() const {
  const auto persisted = persistedOf(*this);
  const auto stored = persisted ? persisted->previousFirstOpenCount() : std::nullopt;
  if (!stored) return std::nullopt;
  return std::to_string(stored->longLongValue());
}

void APMMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  const auto persisted = persistedOf(*this);
  if (!persisted) return;
  if (!count) {
    persisted->setPreviousFirstOpenCount(std::nullopt);
    return;
  }
  persisted->setPreviousFirstOpenCount(
      Value(static_cast<std::int64_t>(Value(*count).longLongValue())));
}

std::shared_ptr<APMRawEventData>
APMMeasurement::internalEventFromPublicEvent(const std::shared_ptr<APMRawEventData>& data) {
  if (!data || !data->rawEvent()) return data;
  const APMEvent& event = *data->rawEvent();
  const Value* internalName = APMReservedEventNamesAllowedForPublicLogging().find(event.name());
  if (internalName == nullptr || !internalName->isString()) return data;
  auto internalEvent =
      APMEvent::initWithOrigin(event.origin(), false, *internalName->asString(), event.timestamp(),
                               event.previousTimestamp(), event.parameters());
  if (!internalEvent) return data;
  auto converted = APMRawEventData::initWithRawEvent(std::move(internalEvent), data->rowID(),
                                                     data->metadataFingerprint());
  return converted ? converted : data;
}

bool APMMeasurement::checkConversion(const std::shared_ptr<APMRawEventData>& data,
                                     APMDailyCounts& dailyCounts) {
  if (!data || !data->rawEvent()) return false;
  const auto& event = data->rawEvent();
  const std::string& name = event->name();
  const auto config = configOf(*this);
  if (config->isEventCustomConversion(name)) event->setConversion(true);
  if (!APMIsPublicName(Value(name)) || !event->isConversion()) return false;
  const std::int32_t maxConversions = config->maxConversionsPerDay();
  if (dailyCounts.conversionsCount() < maxConversions) {
    // Only the conversion counter grows: the event was counted when it was logged.
    dailyCounts.incrementCountsForCurrentDay(currentDay(*this), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
  }
  event->setConversion(false);
  log(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
      {nameForLog(name), Value(maxConversions)});
  return false;
}

bool APMMeasurement::checkRealtime(const std::shared_ptr<APMRawEventData>& data,
                                   APMDailyCounts& dailyCounts) {
  if (!data || !data->rawEvent()) return false;
  const auto& event = data->rawEvent();
  if (!event->isRealtime() && !event->isConversion()) return false;
  const auto config = configOf(*this);
  const RealtimeLimits limits = realtimeLimitsFor(event->name());
  if (limits.realtime) {
    if (dailyCounts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
      dailyCounts.incrementRealtimeCountsForCurrentDay(currentDay(*this));
      event->setRealtime(true);
      log(7, 23103,
          "Event is under real-time event count daily limit. Marking the event as real-time. "
          "Event name, parameters",
          {nameForLog(event->name()), parametersForLog(*event)});
      return true;
    }
    event->setRealtime(false);
    log(4, 23104,
        "Number of real-time events is over the real-time event count daily limit. Event is no "
        "longer real-time. Event name, parameters",
        {nameForLog(event->name()), parametersForLog(*event)});
    return false;
  }
  if (limits.dcu) {
    if (dailyCounts.dcuRealtimeCount() < config->maxRealtimeDCUEventCountPerDay()) {
      dailyCounts.incrementDCURealtimeCountsForCurrentDay(currentDay(*this));
      event->setRealtime(true);
      return true;
    }
    event->setRealtime(false);
    return false;
  }
  event->setRealtime(true);
  log(7, 23105,
      "Event is not subject to real-time event count daily limit. Marking an event as "
      "real-time. Event name, parameters",
      {nameForLog(event->name()), parametersForLog(*event)});
  return false;
}

std::shared_ptr<APMRawEventData>
APMMeasurement::validatePurchaseEvent(const std::shared_ptr<APMRawEventData>& data) {
  if (!data || !data->rawEvent() || data->rawEvent()->name() != "_iap") return data;
  const APMEvent& event = *data->rawEvent();
  platform::Dictionary parameters = event.parameters();
  if (APMAEU::isASRS()) parameters.set("sandbox", int64Value(1));
  auto purchase = APMEvent::initWithOrigin(event.origin(), false, event.name(), event.timestamp(),
                                           event.previousTimestamp(), parameters);
  if (!purchase) return data;
  auto validated = APMRawEventData::initWithRawEvent(std::move(purchase), data->rowID(),
                                                     data->metadataFingerprint());
  return validated ? validated : data;
}

void APMMeasurement::handleAnalyticsStorageConsentTransitions(
    const APMPBMeasurementBundle& bundle) {
  const auto persisted = persistedOf(*this);
  if (!persisted) return;
  const auto previous = persisted->previousBundledConsentSignals();
  const auto current = nano_get_string(&bundle, kConsentSignals);
  if (previous == current) return;
  const bool wasDenied = isAnalyticsStorageDeniedInSignals(previous);
  const bool isDenied = isAnalyticsStorageDeniedInSignals(current);
  if (const auto database = this->database()) {
    platform::ErrorPtr error;
    if (!wasDenied && isDenied) {
      if (!database->createEventsSnapshotTable(&error)) {
        log(4, 23266, "Unable to create table snapshot. Error", {errorContext(error)});
      }
    } else if (wasDenied && !isDenied) {
      if (!database->restoreFromEventsSnapshotTable(&error)) {
        log(4, 23267, "Unable to restore from table snapshot. Error", {errorContext(error)});
      }
    }
  }
  persisted->setPreviousBundledConsentSignals(current);
}
