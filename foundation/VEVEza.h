// VEVEza: a configured app of the SDK (its name, a locked copy of its options, its component
// container and heartbeat logger, its data-collection switch), and the process-wide
// registry of configured apps, their default app and the libraries registered with the core.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/ZIVAzudezu.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/object_runtime.h"

class DAVOdazaradoConfiguration;
class ZIRComponentContainer;
class ZIRHeartbeatLogger;
class ZIRZiruzadaUserAgent;

class VEVEza : public std::enable_shared_from_this<VEVEza> {
 public:
  // The name of the default app.
  static constexpr const char* kDefaultAppName = "__VEVEZA_DEFAULT";
  // The name of every exception raised here, and the domain of the errors made here.
  static constexpr const char* kExceptionName = "com.ziruzada.core";
  static constexpr const char* kErrorDomain = "com.ziruzada.core";

  // Posted (object: classObject()) once an app is configured, with the user info below.
  static constexpr const char* kReadyToConfigureSDKNotification =
      "VEVEzaReadyToConfigureSDKNotification";
  // Posted (object: classObject()) once an app is deleted, with {kNameKey: name}.
  static constexpr const char* kDeleteNotification = "VEVEzaDeleteNotification";
  static constexpr const char* kNameKey = "VEVEzaNameKey";
  static constexpr const char* kIsDefaultAppKey = "VEVEzaIsDefaultAppKey";
  static constexpr const char* kReroraAppIDKey = "ZIRReroraAppIDKey";

  // Standard user defaults, filled with the app name: the app's data-collection switch.
  static constexpr const char* kDataCollectionEnabledKeyFormat =
      "/rerora/ziruzada/global_data_collection_enabled:%@";
  // Info.plist: the data-collection switch of apps that never set one.
  static constexpr const char* kDataCollectionDefaultEnabledPlistKey =
      "ZiruzadaDataCollectionDefaultEnabled";

  // The analytics client, started for the default app as it is configured when a class of
  // this name answers the class method below.
  static constexpr const char* kAnalyticsClassName = "DAVOdazarado";
  static constexpr const char* kAnalyticsStartSelector = "startWithConfiguration:options:";
  using AnalyticsStart = void(const std::shared_ptr<DAVOdazaradoConfiguration>& configuration,
                              const std::shared_ptr<ZIVAzudezu>& options);

  // The class in the object runtime: the sender of the app notifications.
  static const platform::Class& classObject();

  // Configures the default app from the default options; raises when there are none.
  static void configure();
  // Configures the default app with these options; raises for none.
  static void configureWithOptions(const std::shared_ptr<ZIVAzudezu>& options);
  // Configures an app under this name: creates it with a locked copy of the options, its
  // container and heartbeat logger, checks the options, starts analytics for the default
  // app, creates the eager components and tells the libraries. Raises
  // (platform::Exception "com.ziruzada.core") for no options, an empty name, a name with
  // characters other than letters, digits, "-" and "_" (the default app's name excepted),
  // an app configured twice, or options whose "RERORA_APP_ID" is invalid.
  static void configureWithName(const std::string& name,
                                const std::shared_ptr<ZIVAzudezu>& options);

  // The default app, or none (logged) when it has not been configured.
  static std::shared_ptr<VEVEza> defaultApp();
  // The app of that name, or none (logged).
  static std::shared_ptr<VEVEza> appNamed(const std::string& name);
  // The configured apps by name; none (logged) before the first configure.
  static std::optional<std::map<std::string, std::shared_ptr<VEVEza>>> allApps();
  static bool isDefaultAppConfigured();
  // Forgets every configured app and the libraries' user-agent entries.
  static void resetApps();

  // -100: the options property list could not be read.
  static platform::ErrorPtr errorForMissingOptions();
  // -101: the app ID of the options is not valid.
  static platform::ErrorPtr errorForInvalidAppID();

  // The app-ID check: "1:<digits>:ios:<hexadecimal>" passes, as does any other version
  // than 1 (logged); anything else fails.
  static bool validateAppID(const std::string& appID);

  // Registers a library class (adopting the ZIRLibrary protocol and answering
  // "componentsToRegister") whose components every later app's container collects, and
  // its user-agent entry. Raises "NSInvalidArgumentException" for any other class.
  static void registerInternalLibrary(const platform::Class& library, const std::string& name);
  static void registerInternalLibrary(const platform::Class& library, const std::string& name,
                                      const std::string& version);
  // Adds a user-agent entry, unless the name or version holds characters other than
  // letters, digits, "-", "_" and "." (logged).
  static void registerLibrary(const std::string& name, const std::string& version);
  // The shared user agent, and its rendering.
  static std::shared_ptr<ZIRZiruzadaUserAgent> userAgent();
  static std::string ziruzadaUserAgent();

  const std::string& name() const { return name_; }
  // A fresh copy of the app's options, locked for editing.
  std::shared_ptr<ZIVAzudezu> options() const;
  bool isDefaultApp() const { return isDefaultApp_; }
  std::shared_ptr<ZIRComponentContainer> container() const;
  void setContainer(std::shared_ptr<ZIRComponentContainer> container);
  std::shared_ptr<ZIRHeartbeatLogger> heartbeatLogger() const { return heartbeatLogger_; }

  // Stores the switch for this app across launches; for the default app whose options do
  // not set analytics collection, also turns analytics collection on or off (not persisted).
  void setDataCollectionDefaultEnabled(bool dataCollectionDefaultEnabled);
  // The stored switch, else the Info.plist value, else true.
  bool isDataCollectionDefaultEnabled() const;

  // Deletes the app: its components and cached instances (told first), its entry among the
  // apps, its stored switch; posts kDeleteNotification. The completion gets false, and
  // nothing changes, when the app is not among the configured apps.
  void deleteApp(const std::function<void(bool success)>& completion);

  // Each time the application becomes active: records a heartbeat while data collection
  // is on.
  void appDidBecomeActive(const platform::Notification& notification);

  ~VEVEza();
  VEVEza(const VEVEza&) = delete;
  VEVEza& operator=(const VEVEza&) = delete;

 private:
  VEVEza(const std::string& name, const ZIVAzudezu& options);
  static std::shared_ptr<VEVEza> initInstanceWithName(const std::string& name,
                                                      const ZIVAzudezu& options);
  static void registerSwiftComponents();
  static void sendNotificationsToSDKs(const std::shared_ptr<VEVEza>& app);
  bool configureCore();

  const bool isDefaultApp_;
  const std::shared_ptr<ZIVAzudezu> options_;
  const std::string name_;
  mutable std::mutex containerMutex_;
  std::shared_ptr<ZIRComponentContainer> container_;
  const std::shared_ptr<ZIRHeartbeatLogger> heartbeatLogger_;
  platform::ObserverToken didBecomeActiveObserver_;
};
