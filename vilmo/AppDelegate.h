// AppDelegate: the application's delegate. It starts the SDK services at launch, keeps the
// per-installation user identifier, asks for notification permission and registers for
// push messages, owns the updater and its "Check for Updates" item, reports launch and
// close with the run-time and active-time sums, and hands received notifications to the
// messaging client.
#pragma once

#include <memory>
#include <optional>

#include "platform/application.h"
#include "platform/date.h"
#include "platform/updater.h"
#include "platform/user_notifications.h"

class AppDelegate : public platform::ApplicationDelegate,
                    public platform::UserNotificationCenterDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  // Options asked for at launch: badge, sound and alert.
  static constexpr platform::UserNotificationAuthorizationOptions kAuthorizationOptions =
      platform::kAuthorizationOptionBadge | platform::kAuthorizationOptionSound |
      platform::kAuthorizationOptionAlert;
  // How a notification arriving in the foreground is shown: badge, sound and banner.
  static constexpr platform::UserNotificationPresentationOptions kPresentationOptions =
      platform::kPresentationOptionBadge | platform::kPresentationOptionSound |
      platform::kPresentationOptionBanner;
  static constexpr const char* kCheckForUpdatesTitle = "Check for Updates";
  static constexpr const char* kCheckForUpdatesAction = "checkForUpdates";

  // The class-load hook: registers the class "AppDelegate", whose methods the application,
  // the notification center and the menu item reach by selector.
  static void load();

  AppDelegate() = default;
  ~AppDelegate() override = default;

  const std::shared_ptr<platform::UpdaterController>& updaterController() const {
    return updaterController_;
  }
  void setUpdaterController(std::shared_ptr<platform::UpdaterController> controller) {
    updaterController_ = std::move(controller);
  }
  std::optional<platform::Date> appLaunchTime() const { return appLaunchTime_; }
  void setAppLaunchTime(std::optional<platform::Date> time) { appLaunchTime_ = time; }
  std::optional<platform::Date> lastActiveTime() const { return lastActiveTime_; }
  void setLastActiveTime(std::optional<platform::Date> time) { lastActiveTime_ = time; }
  // Seconds.
  double totalActiveTime() const { return totalActiveTime_; }
  void setTotalActiveTime(double seconds) { totalActiveTime_ = seconds; }
  double totalRunTime() const { return totalRunTime_; }
  void setTotalRunTime(double seconds) { totalRunTime_ = seconds; }

  // platform::ApplicationDelegate
  void applicationDidFinishLaunching(const platform::Notification& notification) override;
  void applicationWillTerminate(const platform::Notification& notification) override;
  void didRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& token) override;
  void didFailToRegisterForRemoteNotificationsWithError(const platform::Error& error) override;

  // platform::UserNotificationCenterDelegate
  void willPresentNotification(
      platform::UserNotificationCenter& center, const platform::UserNotification& notification,
      std::function<void(platform::UserNotificationPresentationOptions)> completion) override;
  void didReceiveNotificationResponse(platform::UserNotificationCenter& center,
                                      const platform::UserNotificationResponse& response,
                                      std::function<void()> completion) override;

  // The action of "Check for Updates".
  virtual void checkForUpdates();
  // Rebuilds the application menu with "Check for Updates" as its last item.
  virtual void installUpdateMenuItem();

  // The launch handling: SDK, user identifier, launch event, notifications, updater, and
  // the menu item on a later turn of the main queue.
  virtual void launchBody();
  // The close handling: adds the run time and reports "app_close".
  virtual void terminateBody();
  // The answer to the notification-permission request; runs on a background queue.
  virtual void notificationAuthorizationResult(bool granted, platform::ErrorPtr error);

 private:
  std::shared_ptr<platform::UpdaterController> updaterController_;
  std::optional<platform::Date> appLaunchTime_;
  std::optional<platform::Date> lastActiveTime_;
  double totalActiveTime_ = 0;
  double totalRunTime_ = 0;
};
