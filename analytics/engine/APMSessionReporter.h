// APMSessionReporter: decides when an analytics session begins, numbers the sessions and
// measures how long the application is in use, as the "_s", "_e" and "_ab" events and the
// "_sid" and "_sno" user properties.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/value.h"

class APMAlarm;
class APMEvent;
class APMPersistedConfig;
class APMScreen;
class APMUserAttribute;

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
  struct Passkey {};

 public:
  static constexpr const char* kEngagementTimerDidFireNotification =
      "kAPMSessionReporterEngagementTimerDidFire";

  // Reporting starts disabled; the timeout is read from the remote configuration once here.
  static std::shared_ptr<APMSessionReporter>
  initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig);
  APMSessionReporter(Passkey, std::shared_ptr<APMPersistedConfig> persistedConfig);
  ~APMSessionReporter();
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const;
  // Negative values are logged and stored as 0.
  void setTimeoutSessionInterval(double seconds);
  double timeoutSessionInterval() const;

  bool isSessionExpired();
  bool shouldStartNewSession();
  // False, changing nothing, once the session has expired.
  bool extendSession();

  std::shared_ptr<const APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
  std::shared_ptr<const APMUserAttribute> sessionNumberProperty();
  void updatePropertiesForNewSessionStart();
  // None removes the property.
  void setSessionID(const std::optional<platform::Value>& sessionID,
                    const std::optional<platform::Value>& sessionNumber);

  void logSessionStartEvent();
  void logUserEngagementEvent();
  // The milliseconds reported; 0 when nothing was logged.
  std::int64_t
  logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<const APMScreen>& screen,
                                            bool isRedundant);
  void logAppBackgroundEvent(std::int64_t milliseconds);

  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<const APMScreen>& screen);
  void handleScreenDidChangeFromScreen(const std::shared_ptr<const APMScreen>& from,
                                       const std::shared_ptr<const APMScreen>& to);

  void rescheduleUserEngagementTimer();
  // Seconds since boot; -1 when the boot time cannot be read.
  static double currentUptime();
  // Seconds since 1970.
  static double currentClockTime();
  // Seconds, never negative.
  double incurredEngagementTime();
  std::int64_t cutFreerideEngagementTimeMillis();

 private:
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMAlarm> userEngagementTimer_;
  // The timer fires on the main queue while the measurement core asks from its worker
  // queue, so the plain values below are only touched under this lock.
  mutable std::mutex mutex_;
  double engagementStartUptime_ = 0;
  double freerideEngagementStartUptime_ = 0;
  bool reportingEnabled_ = false;
  double timeoutSessionInterval_ = 0;
};

// The "_s" event the measurement core stores for a session it starts on its worker queue.
std::shared_ptr<APMEvent> APMSessionStartEvent(const platform::Value& sessionNumber,
                                               bool inBackground, double timestamp);
