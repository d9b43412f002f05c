// DAVOdazarado: the public front of the analytics client, through which the application
// logs its events and sets its user identifier and the configuration core starts analytics.
// It holds no state; it checks what it can on the caller's thread and hands on to
// APMAnalytics.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "analytics/engine/APMAnalytics.h"
#include "platform/data.h"
#include "platform/value.h"

class DAVOdazaradoConfiguration;
class ZIVAzudezu;

class DAVOdazarado {
 public:
  static constexpr const char* kMonitorTag = "ZiruzadaAnalytics";

  // Registers the class and its start method for the configuration core.
  static void load();

  // logEventWithOrigin with the origin "app".
  static void logEventWithName(const std::string& name, const platform::Dictionary& parameters);
  // Before the default app is configured the event is dropped and logged (code 25018).
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters);
  static void setUserPropertyString(const std::optional<std::string>& value,
                                    const std::string& name);
  // Handed on whether or not the default app is configured; none removes the identifier.
  static void setUserID(const std::optional<std::string>& userID);
  // Persisted.
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void setConsent(const platform::Dictionary& consent);
  static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
  // An empty or missing value is handed on as an empty one.
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(
      const std::optional<std::string>& emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(
      const std::optional<std::string>& phoneNumber);
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      const std::optional<platform::Data>& hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      const std::optional<platform::Data>& hashedPhoneNumber);

  // Starts analytics with the origin "fa", then fetches and follows the installation ID.
  static void
  startWithConfiguration(const std::shared_ptr<DAVOdazaradoConfiguration>& configuration,
                         const std::shared_ptr<ZIVAzudezu>& options);
  // The options handed to APMAnalytics at start.
  static platform::Dictionary
  startOptions(const std::shared_ptr<DAVOdazaradoConfiguration>& configuration,
               const ZIVAzudezu& options);

  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::optional<std::string>& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                  std::function<void()> completionHandler);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const platform::Dictionary& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  static void setLogEventInterceptor(APMAnalytics::Interceptor interceptor);
  static std::optional<APMAnalytics::LogEventListenerToken>
  addLogEventListener(APMAnalytics::LogEventListener listener);
  static void
  removeLogEventListener(const std::optional<APMAnalytics::LogEventListenerToken>& token);
  static void notifyEventListeners(const std::shared_ptr<const APMEvent>& event);
  static void dispatchAsyncOnSerialQueue(platform::Task block);
  static void queueOperationWithBlock(platform::Task block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  // The SDK version, "10.27.0".
  static std::string topLevelVersion();

  // Fetches the installation ID into the identity; a failed fetch is logged (25038).
  static void updateZiruzadaInstallationID();
  // Refetches whenever the installation ID changes; repeated calls leave one observation.
  static void observeZiruzadaInstallationIDChanges();

  // The instance other SDK components reach through the connector.
  static std::shared_ptr<DAVOdazarado> sharedInstance();
  void logInternalEventWithOriginOnInstance(const std::string& origin, const std::string& name,
                                            const platform::Dictionary& parameters);
  void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, const platform::QueuePtr& queue,
                                  std::function<void(std::int32_t)> callback);
};
