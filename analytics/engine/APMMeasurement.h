// APMMeasurement: the measurement core of the analytics client. For now it is the way to the
// shared monitor and a recording core: the operations the internal API hands over arrive on
// its worker queue, are logged and reach a recorder a test may install; storing and upload
// come with the full core.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/engine/APMMonitor.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

class APMRemoteConfig;
class APMUserAttribute;

class APMMeasurement : public std::enable_shared_from_this<APMMeasurement> {
 public:
  // What the log-event interceptor is given: origin, name, parameters, timestamp and the
  // screen parameters added to the event.
  using Interceptor =
      std::function<void(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters, double timestamp,
                         const platform::Dictionary& addedScreenParameters)>;
  using SessionIDCompletion = std::function<void(std::int64_t sessionID, platform::ErrorPtr)>;

  // One event as the internal API hands it to the core.
  struct LoggedEvent {
    std::string origin;
    bool isPublicEvent = false;
    std::string name;
    platform::Dictionary parameters;
    double timestamp = 0;
    bool enabled = false;
    bool ignoreEnabled = false;
    bool ignoreInterceptor = false;
    bool hasInterceptor = false;
    platform::Dictionary addedScreenParameters;
  };

  // Sees, on the worker queue and in order, what reaches the core.
  class Recorder {
   public:
    virtual ~Recorder() = default;
    virtual void didLogEvent(const LoggedEvent& event) = 0;
    // A removal has no value.
    virtual void didSetUserAttribute(const std::string& name,
                                     const std::optional<platform::Value>& value,
                                     const std::string& origin) = 0;
    virtual void didSetUserData(const platform::Dictionary&) {}
  };
  // For the whole process; nullptr stops recording.
  static void setRecorder(std::shared_ptr<Recorder> recorder);

  // The one monitor of the process, created on first use; from then on it is also the
  // monitor that the wire messages and the analytics data log through.
  static std::shared_ptr<APMMonitor> monitor();
  // Class-load hook: makes the monitor before any analytics code runs.
  static void load();

  // Creates the shared instance once; later calls change nothing.
  static void initializeSharedInstanceWithAppID(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::optional<platform::Array>& safelisted);
  static bool hasSharedInstance();
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The shared instance's configuration, or the default one while there is none.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();

  // The serial queue every operation of the core runs on.
  const platform::QueuePtr& workerQueue() const { return worker_; }

  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::Dictionary& parameters, double timestamp, bool enabled,
                          bool ignoreEnabled, bool ignoreInterceptor,
                          const Interceptor& interceptor,
                          const platform::Dictionary& addedScreenParameters);
  void setUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute);
  void removeUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute);
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::function<void(std::int32_t)> callback);
  void setEnabled(bool enabled);
  bool isEnabled() const;
  void setSessionTimeoutInterval(double seconds);
  double sessionTimeoutInterval() const;
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool didInitializeComponents() const;
  void sessionIDWithCompletion(SessionIDCompletion completion);
  // False when the reset could not be done.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  void setUserData(const platform::Dictionary& userData);
  void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);

 private:
  APMMeasurement(std::string appID, bool enabled);

  const std::string appID_;
  const bool wasEnabledDuringInitialization_;
  // The worker queue; the scheduler's queue once the full core is in.
  const platform::QueuePtr worker_;
  struct State;
  const std::shared_ptr<State> state_;
};
