// The road of one event inside the measurement core, from the internal API's call to a stored
// raw event, and the checks bundling applies to each raw event it reads back.
#include <utility>

#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/APMPBMessages.h"

namespace {

constexpr std::int64_t kDebugLevel = 7;
constexpr std::int64_t kLoggingEventCode = 23051;

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
  scheduleOnWorkerQueueBlockID("APMMeasurement:2403", [event = std::move(event)] {
    monitor()->logWithLevel(kDebugLevel, kLoggingEventCode, "Logging event: origin, name, params",
                            {event.origin, APMEventNameForLog(event.name),
                             APMDescriptionForLog(platform::Value(event.parameters))});
    if (auto recorder = APMMeasurement::recorder()) recorder->didLogEvent(event);
  });
}

void APMMeasurement::logEventOnWorkerQueueWithOrigin(const std::string&, bool,
                                                     const std::string&,
                                                     const platform::Dictionary&, double, bool,
                                                     bool, bool, const Interceptor&,
                                                     const platform::Dictionary&) {}
void APMMeasurement::logEvent(const std::shared_ptr<APMEvent>&) {}
void APMMeasurement::logEventOnWorkerQueue(const std::shared_ptr<APMEvent>&, bool) {}
void APMMeasurement::handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
void APMMeasurement::handleEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
void APMMeasurement::writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
void APMMeasurement::writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
void APMMeasurement::writeSessionStartEventOnWorkerQueue(const std::shared_ptr<APMEvent>&) {}
bool APMMeasurement::writeEvent(const std::shared_ptr<APMEvent>&, bool, bool) { return false; }
bool APMMeasurement::shouldProcessEvent(const std::shared_ptr<APMEvent>&, APMDailyCounts&, bool) {
  return false;
}
bool APMMeasurement::isRealtimeEvent(const std::shared_ptr<APMEvent>&, APMDailyCounts&) {
  return false;
}
void APMMeasurement::maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>&) {}
std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>&) {
  return nullptr;
}
void APMMeasurement::logFirstOpenConsentedEvent(double) {}
bool APMMeasurement::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>&) {
  return true;
}
std::shared_ptr<APMEvent> APMMeasurement::eventAfterSafelistingEvent(
    const std::shared_ptr<APMEvent>& event) {
  return event;
}
void APMMeasurement::processSessionFromEvent(const std::shared_ptr<APMEvent>&) {}
bool APMMeasurement::dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>&) { return true; }
bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(
    const std::shared_ptr<APMEvent>&) {
  return false;
}
std::shared_ptr<APMEvent> APMMeasurement::appExceptionEventWithZiruzadaFeatureRollouts(
    const std::shared_ptr<APMEvent>& event) {
  return event;
}
std::optional<std::string> APMMeasurement::previousFirstOpenCount() const { return std::nullopt; }
void APMMeasurement::setPreviousFirstOpenCount(const std::optional<std::string>&) {}
std::shared_ptr<APMRawEventData> APMMeasurement::internalEventFromPublicEvent(
    const std::shared_ptr<APMRawEventData>& data) {
  return data;
}
bool APMMeasurement::checkConversion(const std::shared_ptr<APMRawEventData>&, APMDailyCounts&) {
  return false;
}
bool APMMeasurement::checkRealtime(const std::shared_ptr<APMRawEventData>&, APMDailyCounts&) {
  return false;
}
std::shared_ptr<APMRawEventData> APMMeasurement::validatePurchaseEvent(
    const std::shared_ptr<APMRawEventData>& data) {
  return data;
}
void APMMeasurement::handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle&) {}
