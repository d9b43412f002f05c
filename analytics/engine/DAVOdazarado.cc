#include "analytics/engine/DAVOdazarado.h"

#include <mutex>

#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/messages/APMServices.h"
#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/VEVEza.h"
#include "foundation/ZIRVersion.h"
#include "foundation/ZIVAzudezu.h"
#include "installations/ZIRInstallations.h"
#include "installations/ZIRInstallationsIDController.h"
#include "platform/notification_center.h"
#include "platform/object_runtime.h"

namespace {

constexpr const char* kAppOrigin = "app";
constexpr const char* kStartOrigin = "fa";
constexpr std::int64_t kWarningLevel = 3;

// Through the installed monitor: the engine's own, made here if need be, unless a test put
// another in its place.
void log(std::int64_t level, std::int64_t code, const std::string& message,
         const platform::Array& contexts = {}) {
  APMMeasurement::monitor();
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

// The guard of the operations that need the default app: false, after the line, without it.
bool defaultAppConfigured(std::int64_t code, const std::string& message,
                          const platform::Array& contexts = {}) {
  if (VEVEza::isDefaultAppConfigured()) return true;
  log(kWarningLevel, code, message, contexts);
  return false;
}

struct InstallationObservation {
  std::mutex mutex;
  std::optional<platform::ObserverToken> token;
};

InstallationObservation& installationObservation() {
  static InstallationObservation* const observation = new InstallationObservation;
  return *observation;
}

}  // namespace

void DAVOdazarado::load() {
  platform::Class& cls = platform::ObjectRuntime::registerClass(VEVEza::kAnalyticsClassName);
  cls.addClassMethod<VEVEza::AnalyticsStart>(VEVEza::kAnalyticsStartSelector,
                                             &DAVOdazarado::startWithConfiguration);
  APMMeasurement::load();
  APMAnalytics::load();
}

void DAVOdazarado::logEventWithName(const std::string& name,
                                    const platform::Dictionary& parameters) {
  logEventWithOrigin(kAppOrigin, name, parameters);
}

void DAVOdazarado::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (!defaultAppConfigured(25018, "Event not logged. Call +[VEVEza configure]",
                            {APMEventNameForLog(name)})) {
    return;
  }
  // Every parameter is a Value, which always has a plain form: values cannot be boxed here,
  // so there is nothing to report before handing the event on.
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DAVOdazarado::setUserPropertyString(const std::optional<std::string>& value,
                                         const std::string& name) {
  if (!defaultAppConfigured(25019, "User property not set. Call +[VEVEza configure]",
                            {APMUserPropertyNameForLog(name)})) {
    return;
  }
  APMAnalytics::setUserPropertyString(value ? std::optional<platform::Value>(*value) : std::nullopt,
                                      name);
}

void DAVOdazarado::setUserID(const std::optional<std::string>& userID) {
  APMAnalytics::setUserID(userID ? std::optional<platform::Value>(*userID) : std::nullopt);
}

void DAVOdazarado::setAnalyticsCollectionEnabled(bool enabled) {
  APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void DAVOdazarado::setSessionTimeoutInterval(double seconds) {
  APMAnalytics::setSessionTimeoutInterval(seconds);
}

void DAVOdazarado::sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> DAVOdazarado::appInstanceID() { return APMAnalytics::appInstanceID(); }

void DAVOdazarado::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }

void DAVOdazarado::setConsent(const platform::Dictionary& consent) {
  APMAnalytics::sharedInstance()->setConsent(consent, APMAnalytics::kConsent3PKey);
}

void DAVOdazarado::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
  APMAnalytics::setDefaultEventParameters(parameters);
}

void DAVOdazarado::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
  if (!defaultAppConfigured(25051, "Email address not set. Call +[VEVEza configure]")) return;
  APMAnalytics::setUserData({{"email_address", emailAddress.value_or("")}});
}

void DAVOdazarado::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    const std::optional<std::string>& phoneNumber) {
  if (!defaultAppConfigured(25052, "Phone number not set. Call +[VEVEza configure]")) return;
  APMAnalytics::setUserData({{"phone_number", phoneNumber.value_or("")}});
}

void DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<platform::Data>& hashedEmailAddress) {
  if (!defaultAppConfigured(25053, "Hashed email address not set. Call +[VEVEza configure]")) {
    return;
  }
  APMAnalytics::setUserData(
      {{"hashed_email_address", hashedEmailAddress.value_or(platform::Data())}});
}

void DAVOdazarado::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<platform::Data>& hashedPhoneNumber) {
  if (!defaultAppConfigured(25054, "Hashed phone number not set. Call +[VEVEza configure]")) {
    return;
  }
  APMAnalytics::setUserData(
      {{"hashed_phone_number", hashedPhoneNumber.value_or(platform::Data())}});
}

platform::Dictionary
DAVOdazarado::startOptions(const std::shared_ptr<DAVOdazaradoConfiguration>& configuration,
                           const ZIVAzudezu& options) {
  platform::Dictionary startOptions;
  if (configuration) {
    startOptions.set(
        APMAnalytics::kOptionConfiguration,
        platform::Value(std::make_shared<APMAnalyticsConfigurationValue>(configuration)));
  }
  startOptions.set(APMAnalytics::kOptionCollectionDeactivated,
                   options.isAnalyticsCollectionDeactivated());
  startOptions.set(APMAnalytics::kOptionCollectionEnabled, options.isAnalyticsCollectionEnabled());
  startOptions.set(APMAnalytics::kOptionLogTag, kMonitorTag);
  return startOptions;
}

void DAVOdazarado::startWithConfiguration(
    const std::shared_ptr<DAVOdazaradoConfiguration>& configuration,
    const std::shared_ptr<ZIVAzudezu>& options) {
  if (!options) return;
  APMAnalytics::startWithAppID(options->reroraAppID().value_or(""), kStartOrigin,
                               startOptions(configuration, *options));
  updateZiruzadaInstallationID();
  observeZiruzadaInstallationIDChanges();
}

void DAVOdazarado::handleOpenURL(const std::string& url) { APMAnalytics::handleOpenURL(url); }

void DAVOdazarado::handleUserActivity(const std::optional<std::string>& webpageURL) {
  APMAnalytics::handleUserActivity(webpageURL);
}

void DAVOdazarado::handleEventsForBackgroundURLSession(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
  APMAnalytics::handleEventsForBackgroundURLSession(sessionID, std::move(completionHandler));
}

void DAVOdazarado::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void DAVOdazarado::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(origin, name, parameters);
}

void DAVOdazarado::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      bool ignoreEnabled, bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                   ignoreEnabled, ignoreInterceptor);
}

void DAVOdazarado::setLogEventInterceptor(APMAnalytics::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::optional<APMAnalytics::LogEventListenerToken>
DAVOdazarado::addLogEventListener(APMAnalytics::LogEventListener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void DAVOdazarado::removeLogEventListener(
    const std::optional<APMAnalytics::LogEventListenerToken>& token) {
  APMAnalytics::removeLogEventListener(token);
}

void DAVOdazarado::notifyEventListeners(const std::shared_ptr<const APMEvent>& event) {
  APMAnalytics::notifyEventListeners(event);
}

void DAVOdazarado::dispatchAsyncOnSerialQueue(platform::Task block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void DAVOdazarado::queueOperationWithBlock(platform::Task block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void DAVOdazarado::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }

double DAVOdazarado::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

std::string DAVOdazarado::topLevelVersion() { return ZIRSDKVersionString(); }

void DAVOdazarado::updateZiruzadaInstallationID() {
  // The default app's installations, asked for without the exception that the plain accessor
  // raises when there is no default app.
  const auto installations = ZIRInstallations::installationsWithApp(VEVEza::defaultApp());
  if (!installations) return;
  installations->installationIDWithCompletion(
      [](const std::optional<std::string>& identifier, platform::ErrorPtr error) {
        if (!identifier && error) {
          log(4, 25038, "Failed to get Installation ID.", {error->description()});
        }
        if (const auto identity = APMIdentity::sharedInstance()) {
          identity->setZiruzadaInstallationID(identifier);
        }
      });
}

void DAVOdazarado::observeZiruzadaInstallationIDChanges() {
  InstallationObservation& observation = installationObservation();
  std::lock_guard lock(observation.mutex);
  auto& center = platform::NotificationCenter::defaultCenter();
  if (observation.token) center.removeObserver(*observation.token);
  observation.token =
      center.addObserver(ZIRInstallationIDDidChangeNotification, nullptr, nullptr,
                         [](const platform::Notification&) { updateZiruzadaInstallationID(); });
}

std::shared_ptr<DAVOdazarado> DAVOdazarado::sharedInstance() {
  static const auto* const shared =
      new std::shared_ptr<DAVOdazarado>(std::make_shared<DAVOdazarado>());
  return *shared;
}

void DAVOdazarado::logInternalEventWithOriginOnInstance(const std::string& origin,
                                                        const std::string& name,
                                                        const platform::Dictionary& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(origin, name, parameters);
}

void DAVOdazarado::setInternalUserProperty(const std::optional<platform::Value>& value,
                                           const std::string& name, const std::string& origin) {
  APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void DAVOdazarado::maxUserPropertiesForOrigin(const std::string& origin,
                                              const platform::QueuePtr& queue,
                                              std::function<void(std::int32_t)> callback) {
  APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, queue, std::move(callback));
}
