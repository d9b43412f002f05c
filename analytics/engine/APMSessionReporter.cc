#include "analytics/engine/APMSessionReporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMScreenViewReporter.h"
#include "analytics/messages/APMServices.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace {

constexpr const char* kOrigin = "auto";
// Longer stretches are reported as this much, so that a forgotten timer cannot inflate use.
constexpr double kMaxEngagementSeconds = 3600;

void log(std::int64_t level, std::int64_t messageCode, const char* message) {
  APMServicesMonitor()->logWithLevel(level, messageCode, message, {});
}

bool isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

bool efficientReporting() {
  return APMMeasurementRemoteConfig()->efficientEngagementReportingEnabled();
}

bool redundantRemoval() {
  return APMMeasurementRemoteConfig()->redundantEngagementRemovalEnabled();
}

bool backgroundedTracking() { return APMMeasurementRemoteConfig()->appBackgroundedEventEnabled(); }

platform::Value int64Value(std::int64_t value) {
  return platform::Value(APMValue::initWithInt64(value));
}

void logEvent(const std::string& name, const platform::Dictionary& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(kOrigin, name, parameters);
}

}  // namespace

std::shared_ptr<APMSessionReporter>
APMSessionReporter::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {
  return std::make_shared<APMSessionReporter>(Passkey{}, std::move(persistedConfig));
}

APMSessionReporter::APMSessionReporter(Passkey, std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)),
      userEngagementTimer_(
          APMAlarm::initWithDispatchQueue(platform::Queue::main(), "Engagement timer")) {
  timeoutSessionInterval_ = APMMeasurementRemoteConfig()->sessionDefaultTimeoutInterval();
  engagementStartUptime_ = currentUptime();
  freerideEngagementStartUptime_ = engagementStartUptime_;
}

APMSessionReporter::~APMSessionReporter() { userEngagementTimer_->cancel(); }

void APMSessionReporter::setReportingEnabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    reportingEnabled_ = enabled;
  }
  if (!enabled) {
    userEngagementTimer_->cancel();
  } else if (isAppActive() && !userEngagementTimer_->scheduledTimestamp()) {
    rescheduleUserEngagementTimer();
  }
}

bool APMSessionReporter::isReportingEnabled() const {
  std::lock_guard lock(mutex_);
  return reportingEnabled_;
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0) {
    log(3, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0;
  }
  std::lock_guard lock(mutex_);
  timeoutSessionInterval_ = seconds;
}

double APMSessionReporter::timeoutSessionInterval() const {
  std::lock_guard lock(mutex_);
  return timeoutSessionInterval_;
}

bool APMSessionReporter::isSessionExpired() {
  const double idle =
      std::fabs(currentClockTime() - persistedConfig_->lastSessionActivityClockTime());
  return idle > timeoutSessionInterval();
}

bool APMSessionReporter::shouldStartNewSession() { return isAppActive() && isSessionExpired(); }

bool APMSessionReporter::extendSession() {
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

std::shared_ptr<const APMUserAttribute>
APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return APMUserAttribute::initWithOrigin(
      kOrigin, "_sid", int64Value(static_cast<std::int64_t>(timestamp)), timestamp);
}

std::shared_ptr<const APMUserAttribute> APMSessionReporter::sessionNumberProperty() {
  return APMUserAttribute::initWithOrigin(
      kOrigin, "_sno", int64Value(persistedConfig_->sessionNumber()), currentClockTime());
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

void APMSessionReporter::setSessionID(const std::optional<platform::Value>& sessionID,
                                      const std::optional<platform::Value>& sessionNumber) {
  const auto analytics = APMAnalytics::sharedInstance();
  analytics->setInternalUserProperty(sessionID, "_sid", kOrigin);
  analytics->setInternalUserProperty(sessionNumber, "_sno", kOrigin);
}

void APMSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    log(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!isReportingEnabled()) return;
  updatePropertiesForNewSessionStart();
  const auto sessionID = static_cast<std::int64_t>(currentClockTime());
  const std::int64_t sessionNumber = persistedConfig_->sessionNumber();
  setSessionID(int64Value(sessionID), int64Value(sessionNumber));
  logEvent("_s", {{"_sid", int64Value(sessionID)}, {"_sno", int64Value(sessionNumber)}});
}

void APMSessionReporter::logUserEngagementEvent() {
  logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

std::int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(
    const std::shared_ptr<const APMScreen>& screen, bool isRedundant) {
  if (!isAppActive()) {
    log(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = efficientReporting();
  std::int64_t milliseconds = 0;
  if (isReportingEnabled()) {
    const double seconds = std::min(incurredEngagementTime(), kMaxEngagementSeconds);
    milliseconds = static_cast<std::int64_t>(seconds * 1000);
    platform::Dictionary parameters{{"_et", int64Value(milliseconds)}};
    if (screen) {
      for (const auto& [name, value] : screen->parameters()) parameters.set(name, value);
    }
    if (isRedundant && efficient) parameters.set("_fr", int64Value(1));
    logEvent("_e", parameters);
  }
  const double now = currentUptime();
  {
    std::lock_guard lock(mutex_);
    engagementStartUptime_ = now;
    if (!isRedundant && efficient) freerideEngagementStartUptime_ = now;
  }
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return milliseconds;
}

void APMSessionReporter::logAppBackgroundEvent(std::int64_t milliseconds) {
  if (!isReportingEnabled() || !backgroundedTracking()) return;
  if (!isAppActive()) {
    log(7, 33008, "App backgrounded event not logged. Application is not active");
    return;
  }
  platform::Dictionary parameters;
  if (efficientReporting() && milliseconds > 0) parameters.set("_et", int64Value(milliseconds));
  logEvent("_ab", parameters);
}

void APMSessionReporter::handleAppDidBecomeActive() {
  const double now = currentUptime();
  {
    std::lock_guard lock(mutex_);
    engagementStartUptime_ = now;
    freerideEngagementStartUptime_ = now;
  }
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && isReportingEnabled()) {
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(
    const std::shared_ptr<const APMScreen>& screen) {
  const bool backgrounded = backgroundedTracking();
  const std::int64_t milliseconds =
      backgrounded && redundantRemoval()
          ? cutFreerideEngagementTimeMillis()
          : logEngagementEventAndReturnTimeWithScreen(screen, backgrounded);
  logAppBackgroundEvent(milliseconds);
  userEngagementTimer_->cancel();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(
    const std::shared_ptr<const APMScreen>& from, const std::shared_ptr<const APMScreen>&) {
  if (!from || incurredEngagementTime() < 1) return;
  if (!efficientReporting()) {
    logEngagementEventAndReturnTimeWithScreen(from, false);
  } else if (!redundantRemoval()) {
    logEngagementEventAndReturnTimeWithScreen(from, true);
  }
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  const double interval = APMMeasurementRemoteConfig()->sessionEventUserEngagementInterval();
  userEngagementTimer_->runAfterDelay(interval, [weak = weak_from_this()] {
    platform::NotificationCenter::defaultCenter().post(kEngagementTimerDidFireNotification);
    if (const auto reporter = weak.lock()) reporter->logUserEngagementEvent();
  });
}

double APMSessionReporter::currentUptime() { return platform::Clock::current().uptime(); }

double APMSessionReporter::currentClockTime() {
  return platform::Clock::current().now().timeIntervalSince1970();
}

double APMSessionReporter::incurredEngagementTime() {
  const bool efficient = efficientReporting();
  double start;
  {
    std::lock_guard lock(mutex_);
    start = efficient ? freerideEngagementStartUptime_ : engagementStartUptime_;
  }
  const double seconds = currentUptime() - start;
  if (seconds < 0) {
    log(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return seconds;
}

std::int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!efficientReporting()) return 0;
  const double seconds = incurredEngagementTime();
  {
    std::lock_guard lock(mutex_);
    freerideEngagementStartUptime_ = currentUptime();
  }
  return static_cast<std::int64_t>(seconds * 1000);
}

std::shared_ptr<APMEvent> APMSessionStartEvent(const platform::Value& sessionNumber,
                                               bool inBackground, double timestamp) {
  platform::Dictionary parameters{{"_sid", int64Value(static_cast<std::int64_t>(timestamp))},
                                  {"_sno", sessionNumber}};
  if (inBackground) {
    parameters.set("_aib", int64Value(1));
  } else {
    for (const auto& [name, value] : APMScreenViewReporter::sharedInstance()->screenParameters()) {
      parameters.set(name, value);
    }
  }
  return APMEvent::initWithOrigin(kOrigin, false, "_s", timestamp, 0, parameters);
}
