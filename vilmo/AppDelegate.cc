#include "vilmo/AppDelegate.h"

#include <iostream>
#include <string>

#include "analytics/engine/DAVOdazarado.h"
#include "foundation/VEVEza.h"
#include "messaging/ZIRMessaging.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "platform/uuid.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/settings/SettingsKeys.h"

namespace {
constexpr platform::Selector<void()> kCheckForUpdatesSelector{AppDelegate::kCheckForUpdatesAction};
constexpr platform::Selector<void()> kInstallUpdateMenuItemSelector{"installUpdateMenuItem"};
}  // namespace

void AppDelegate::load() {
  platform::Class& cls = platform::ObjectRuntime::registerClass<AppDelegate>("AppDelegate");
  platform::addApplicationDelegateMethods<AppDelegate>(cls);
  platform::addUserNotificationCenterDelegateMethods<AppDelegate>(cls);
  cls.addMethod(kCheckForUpdatesSelector, &AppDelegate::checkForUpdates);
  cls.addMethod(kInstallUpdateMenuItemSelector, &AppDelegate::installUpdateMenuItem);
}

void AppDelegate::applicationDidFinishLaunching(const platform::Notification&) { launchBody(); }

void AppDelegate::applicationWillTerminate(const platform::Notification&) { terminateBody(); }

void AppDelegate::launchBody() {
  VEVEza::configure();

  auto defaults = platform::UserDefaults::standard();
  if (auto userID = defaults->stringForKey(settings::kUserIDKey)) {
    DAVOdazarado::setUserID(*userID);
  } else {
    std::string fresh = platform::UUID::random().string();
    defaults->setObject(settings::kUserIDKey, platform::Value(fresh));
    DAVOdazarado::setUserID(fresh);
  }

  appLaunchTime_ = platform::Date::now();
  logUsageEvent(usage_event::kAppLaunch);

  auto center = platform::UserNotificationCenter::currentNotificationCenter();
  center->setDelegate(shared_from_this());
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  center->requestAuthorizationWithOptions(kAuthorizationOptions,
                                          [weak](bool granted, platform::ErrorPtr error) {
                                            if (auto self = weak.lock()) {
                                              self->notificationAuthorizationResult(granted, error);
                                            }
                                          });

  // Without an update feed on this system, the updater's "feed" is the release page.
  updaterController_ = std::make_shared<platform::UpdaterController>(true);
  updaterController_->updater()->setReleasePageURL(AppConfiguration::releasePageURL());

  platform::Queue::main()->async([weak] {
    if (auto self = weak.lock())
      platform::ObjectRuntime::send(*self, kInstallUpdateMenuItemSelector);
  });
}

void AppDelegate::notificationAuthorizationResult(bool granted, platform::ErrorPtr) {
  if (granted) {
    platform::Queue::main()->async(
        [] { platform::Application::sharedApplication()->registerForRemoteNotifications(); });
  } else {
    std::cout << "User disallow" << std::endl;
  }
}

void AppDelegate::terminateBody() {
  if (appLaunchTime_) totalRunTime_ += platform::Date::now().timeIntervalSince(*appLaunchTime_);
  logUsageEvent(usage_event::kAppClose, {{usage_event::kTotalRunTime, totalRunTime_},
                                         {usage_event::kTotalActiveTime, totalActiveTime_}});
}

void AppDelegate::checkForUpdates() {
  if (updaterController_) updaterController_->updater()->checkForUpdates();
}

void AppDelegate::installUpdateMenuItem() {
  auto application = platform::Application::sharedApplication();
  auto mainMenu = application->mainMenu();
  if (!mainMenu) return;
  auto items = mainMenu->itemArray();
  if (items.empty()) return;
  const auto& applicationMenuItem = items[0];
  auto oldMenu = applicationMenuItem->submenu();
  if (!oldMenu) return;

  auto newMenu = platform::Menu::create();
  for (const auto& item : oldMenu->itemArray()) {
    oldMenu->removeItem(item);
    newMenu->addItem(item);
  }
  applicationMenuItem->setSubmenu(newMenu);

  auto checkItem = platform::MenuItem::create(kCheckForUpdatesTitle, kCheckForUpdatesAction, "");
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  checkItem->setTarget([weak] {
    if (auto self = weak.lock()) platform::ObjectRuntime::send(*self, kCheckForUpdatesSelector);
  });
  newMenu->addItem(checkItem);

  application->setMainMenu(mainMenu);
}

void AppDelegate::didRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& token) {
  // The messaging client exists only once the SDK is configured (launch does that first).
  if (auto messaging = ZIRMessaging::messaging()) messaging->setAPNSToken(token);
}

void AppDelegate::didFailToRegisterForRemoteNotificationsWithError(const platform::Error& error) {
  std::cout << "Failed to register for remote notifications: " << error.localizedDescription()
            << std::endl;
}

void AppDelegate::willPresentNotification(
    platform::UserNotificationCenter&, const platform::UserNotification& notification,
    std::function<void(platform::UserNotificationPresentationOptions)> completion) {
  if (auto messaging = ZIRMessaging::messaging()) {
    messaging->appDidReceiveMessage(notification.request.content.userInfo);
  }
  completion(kPresentationOptions);
}

void AppDelegate::didReceiveNotificationResponse(platform::UserNotificationCenter&,
                                                 const platform::UserNotificationResponse& response,
                                                 std::function<void()> completion) {
  if (auto messaging = ZIRMessaging::messaging()) {
    messaging->appDidReceiveMessage(response.notification.request.content.userInfo);
  }
  completion();
}
