// Application: the one application object (its delegate, windows, main menu, active state
// and life-cycle notifications) as a model the GUI layer mirrors and drives.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/object_runtime.h"
#include "platform/value.h"

namespace platform {

// Life-cycle notifications, posted on the default center with the application as object.
inline constexpr const char* kApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
inline constexpr const char* kApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";
// Posted by a window, as object, when it stops being the key window.
inline constexpr const char* kWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// Window style bits; 15 is an ordinary titled, closable, minimisable, resizable window.
enum WindowStyleMask : std::uint64_t {
  kWindowStyleMaskBorderless = 0,
  kWindowStyleMaskTitled = 1 << 0,
  kWindowStyleMaskClosable = 1 << 1,
  kWindowStyleMaskMiniaturizable = 1 << 2,
  kWindowStyleMaskResizable = 1 << 3,
};

// A window's geometry and decoration. Sizes are of the content area. Main thread only; the
// GUI layer installs the change hook and applies each change to the real window.
class Window {
 public:
  using ChangeHook = std::function<void(const Window&)>;

  Size contentSize() const { return contentSize_; }
  void setContentSize(Size size);
  Size minSize() const { return minSize_; }
  void setMinSize(Size size);
  Size maxSize() const { return maxSize_; }
  void setMaxSize(Size size);
  std::uint64_t styleMask() const { return styleMask_; }
  void setStyleMask(std::uint64_t mask);
  const std::string& title() const { return title_; }
  void setTitle(std::string title);

  void setChangeHook(ChangeHook hook);

 private:
  void changed();

  Size contentSize_{};
  Size minSize_{};
  Size maxSize_{std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  std::uint64_t styleMask_ = kWindowStyleMaskTitled | kWindowStyleMaskClosable |
                             kWindowStyleMaskMiniaturizable | kWindowStyleMaskResizable;
  std::string title_;
  ChangeHook hook_;
};

class Menu;

// One entry of a menu: a title, the name of the action it sends, an optional key
// equivalent, the target that carries out the action, and an optional submenu.
class MenuItem : public std::enable_shared_from_this<MenuItem> {
 public:
  using Target = std::function<void()>;

  static std::shared_ptr<MenuItem> create(std::string title, std::string action = {},
                                          std::string keyEquivalent = {});

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  // The action's name, as "checkForUpdates"; empty for an item that only holds a submenu.
  const std::string& action() const { return action_; }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  bool hasTarget() const { return static_cast<bool>(target_); }
  void setTarget(Target target);

  std::shared_ptr<Menu> submenu() const { return submenu_; }
  void setSubmenu(std::shared_ptr<Menu> submenu);
  // The menu holding this item; none once removed.
  std::shared_ptr<Menu> menu() const { return menu_.lock(); }

  // What choosing the item does: sends the action to the target. Without a target
  // nothing happens.
  void perform() const;

  // Use create(); public only for make_shared.
  MenuItem(std::string title, std::string action, std::string keyEquivalent);

 private:
  friend class Menu;
  void changed();

  std::string title_;
  std::string action_;
  std::string keyEquivalent_;
  Target target_;
  std::shared_ptr<Menu> submenu_;
  std::weak_ptr<Menu> menu_;
};

// An ordered list of menu items. A change anywhere in a menu tree (items added or removed,
// titles, targets, submenus) runs the change hook of every menu above it, so that the GUI
// layer, hooked on the root, redraws the whole bar.
class Menu : public std::enable_shared_from_this<Menu> {
 public:
  using ChangeHook = std::function<void()>;

  static std::shared_ptr<Menu> create(std::string title = {});

  const std::string& title() const { return title_; }
  // A snapshot of the items, in order.
  std::vector<std::shared_ptr<MenuItem>> itemArray() const { return items_; }
  std::size_t numberOfItems() const { return items_.size(); }
  // An item can be in one menu at a time: adding one that is still in a menu is a
  // programming error, reported to the assertion handler, and changes nothing.
  void addItem(const std::shared_ptr<MenuItem>& item);
  // Removing an item that is not in this menu does nothing.
  void removeItem(const std::shared_ptr<MenuItem>& item);
  // The item whose submenu this menu is; none for a root.
  std::shared_ptr<MenuItem> supermenuItem() const { return parent_.lock(); }

  void setChangeHook(ChangeHook hook);

  // Use create(); public only for make_shared.
  explicit Menu(std::string title);

 private:
  friend class MenuItem;
  void changed();

  std::string title_;
  std::vector<std::shared_ptr<MenuItem>> items_;
  std::weak_ptr<MenuItem> parent_;
  ChangeHook hook_;
};

class Application;

// What the user was doing elsewhere that the application is asked to carry on with.
struct UserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
  Dictionary userInfo;
};
// Hands back the objects that take the activity over.
using UserActivityRestorationHandler = std::function<void(std::vector<ObjectPtr>)>;

// The messages the application sends its delegate, by selector. A delegate gets each one
// only when its class answers the selector, and every message goes through the object
// runtime, so that code replacing a delegate's methods or class sees them.
inline constexpr Selector<void(const Notification&)> kApplicationDidFinishLaunchingSelector{
    "applicationDidFinishLaunching:"};
inline constexpr Selector<void(const Notification&)> kApplicationWillTerminateSelector{
    "applicationWillTerminate:"};
inline constexpr Selector<void(const Notification&)> kApplicationDidBecomeActiveSelector{
    "applicationDidBecomeActive:"};
inline constexpr Selector<void(const Notification&)> kApplicationDidResignActiveSelector{
    "applicationDidResignActive:"};
inline constexpr Selector<void(Application&, const Data&)>
    kApplicationDidRegisterForRemoteNotificationsSelector{
        "application:didRegisterForRemoteNotificationsWithDeviceToken:"};
inline constexpr Selector<void(Application&, const Error&)>
    kApplicationDidFailToRegisterForRemoteNotificationsSelector{
        "application:didFailToRegisterForRemoteNotificationsWithError:"};
inline constexpr Selector<void(Application&, const Dictionary&)>
    kApplicationDidReceiveRemoteNotificationSelector{"application:didReceiveRemoteNotification:"};
inline constexpr Selector<bool(Application&, const UserActivity&, UserActivityRestorationHandler)>
    kApplicationContinueUserActivitySelector{
        "application:continueUserActivity:restorationHandler:"};

// The protocol every application delegate (and every interceptor of one) conforms to.
inline constexpr const char* kApplicationDelegateProtocolName = "NSApplicationDelegate";

// The receiver of the application's calls. Every method has an empty default; a delegate
// overrides what it needs, and its class (see addApplicationDelegateMethods) answers
// exactly the selectors of the methods it overrides.
class ApplicationDelegate : public virtual Object {
 public:
  static Protocol protocol() {
    return Protocol::of<ApplicationDelegate>(kApplicationDelegateProtocolName);
  }

  virtual void applicationDidFinishLaunching(const Notification&) {}
  virtual void applicationWillTerminate(const Notification&) {}
  virtual void applicationDidBecomeActive(const Notification&) {}
  virtual void applicationDidResignActive(const Notification&) {}
  virtual void didRegisterForRemoteNotificationsWithDeviceToken(const Data&) {}
  virtual void didFailToRegisterForRemoteNotificationsWithError(const Error&) {}
  virtual void didReceiveRemoteNotification(const Dictionary&) {}
  virtual bool continueUserActivity(const UserActivity&, UserActivityRestorationHandler) {
    return false;
  }
};

namespace application_delegate_detail {

// Whether a type's member is not the base's own: the type, or one between, overrides it.
template <typename Member, typename BaseMember>
inline constexpr bool overrides = !std::is_same_v<Member, BaseMember>;

// A method for a message that passes the application first, running a member that does
// not take it.
template <typename R, typename... Args>
void addMethodWithoutApplication(Class& cls, const Selector<R(Application&, Args...)>& selector,
                                 R (ApplicationDelegate::*member)(Args...)) {
  cls.addMethod(selector, std::function<R(Object&, Application&, Args...)>(
                              [member](Object& self, Application&, Args... arguments) -> R {
                                return (dynamic_cast<ApplicationDelegate&>(self).*
                                        member)(std::forward<Args>(arguments)...);
                              }));
}

}  // namespace application_delegate_detail

// Gives the class of the delegate type T a method for each ApplicationDelegate method T
// overrides (or inherits overridden from a type between the two), running T's own code;
// and the application-delegate protocol.
template <typename T> void addApplicationDelegateMethods(Class& cls) {
  using D = ApplicationDelegate;
  using application_delegate_detail::addMethodWithoutApplication;
  using application_delegate_detail::overrides;
  cls.addProtocol(kApplicationDelegateProtocolName);
  if constexpr (overrides<decltype(&T::applicationDidFinishLaunching),
                          decltype(&D::applicationDidFinishLaunching)>) {
    cls.addMethod(kApplicationDidFinishLaunchingSelector, &D::applicationDidFinishLaunching);
  }
  if constexpr (overrides<decltype(&T::applicationWillTerminate),
                          decltype(&D::applicationWillTerminate)>) {
    cls.addMethod(kApplicationWillTerminateSelector, &D::applicationWillTerminate);
  }
  if constexpr (overrides<decltype(&T::applicationDidBecomeActive),
                          decltype(&D::applicationDidBecomeActive)>) {
    cls.addMethod(kApplicationDidBecomeActiveSelector, &D::applicationDidBecomeActive);
  }
  if constexpr (overrides<decltype(&T::applicationDidResignActive),
                          decltype(&D::applicationDidResignActive)>) {
    cls.addMethod(kApplicationDidResignActiveSelector, &D::applicationDidResignActive);
  }
  if constexpr (overrides<decltype(&T::didRegisterForRemoteNotificationsWithDeviceToken),
                          decltype(&D::didRegisterForRemoteNotificationsWithDeviceToken)>) {
    addMethodWithoutApplication(cls, kApplicationDidRegisterForRemoteNotificationsSelector,
                                &D::didRegisterForRemoteNotificationsWithDeviceToken);
  }
  if constexpr (overrides<decltype(&T::didFailToRegisterForRemoteNotificationsWithError),
                          decltype(&D::didFailToRegisterForRemoteNotificationsWithError)>) {
    addMethodWithoutApplication(cls, kApplicationDidFailToRegisterForRemoteNotificationsSelector,
                                &D::didFailToRegisterForRemoteNotificationsWithError);
  }
  if constexpr (overrides<decltype(&T::didReceiveRemoteNotification),
                          decltype(&D::didReceiveRemoteNotification)>) {
    addMethodWithoutApplication(cls, kApplicationDidReceiveRemoteNotificationSelector,
                                &D::didReceiveRemoteNotification);
  }
  if constexpr (overrides<decltype(&T::continueUserActivity), decltype(&D::continueUserActivity)>) {
    addMethodWithoutApplication(cls, kApplicationContinueUserActivitySelector,
                                &D::continueUserActivity);
  }
}

// Code (domain "NSCocoaErrorDomain") of a registration that failed without saying why.
inline constexpr std::int64_t kRemoteNotificationRegistrationError = 3000;

// Hands out the device token through which a push service reaches this installation.
class RemoteNotificationService {
 public:
  // Exactly one of token and error is set. May be called on any thread.
  using Completion = std::function<void(std::optional<Data> token, ErrorPtr error)>;
  virtual ~RemoteNotificationService() = default;
  virtual void registerDevice(Completion completion) = 0;
};

// The service used when none is installed. There is no push service on this system, so it
// stands in with a token that is stable per installation: 32 random bytes made on first
// use and kept in Application Support.
class LocalRemoteNotificationService : public RemoteNotificationService {
 public:
  static constexpr std::size_t kTokenLength = 32;
  static constexpr const char* kTokenFileName = "remote-notification-device-token";
  void registerDevice(Completion completion) override;
};

// The one application object, of class "NSApplication" (whose class method
// "sharedApplication" hands it out once the platform's load hook ran).
class Application : public Object {
 public:
  // The platform's class-load hook: registers "NSApplication".
  static void load();
  static std::shared_ptr<Application> sharedApplication();

  // The delegate is held weakly: whoever makes it keeps it alive. It receives the
  // life-cycle notifications it answers as an observer added here, so observers added
  // before it hear them first; which ones it answers is read when it is set. Setting the
  // delegate tells observers of the key "delegate".
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<ApplicationDelegate>& delegate);

  // The application's windows in the order they were opened; the GUI layer adds each.
  std::vector<std::shared_ptr<Window>> windows() const { return windows_; }
  void addWindow(const std::shared_ptr<Window>& window);
  void removeWindow(const std::shared_ptr<Window>& window);

  std::shared_ptr<Menu> mainMenu() const { return mainMenu_; }
  // Replacing the menu (or setting the same one again) runs the main-menu hook; so does
  // any later change inside the menu tree. The application takes over the root menu's
  // own change hook for this.
  void setMainMenu(std::shared_ptr<Menu> menu);
  void setMainMenuChangeHook(std::function<void()> hook);

  // Asks the remote-notification service for a device token; the delegate hears of the
  // token or the failure later, on the main queue.
  void registerForRemoteNotifications();
  // nullptr restores the local stand-in.
  void setRemoteNotificationService(std::shared_ptr<RemoteNotificationService> service);
  // Where a push message arriving for this installation enters: the delegate hears of it
  // on the calling thread (the main thread).
  void receiveRemoteNotification(const Dictionary& userInfo);

  bool isActive() const { return active_; }

  // Life-cycle entry points the GUI layer calls, on the main thread.
  // Posts the did-finish-launching notification (the delegate's launch handling).
  void finishLaunching();
  // Posts the will / did become-active or resign-active pair, only when the state
  // changes: a GUI toolkit may report one loss of activation in several steps.
  void setActive(bool active);
  // Posts the will-terminate notification, once per process.
  void terminate();

  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

 private:
  Application() = default;
  void post(const char* name);
  void hookMainMenu();

  std::weak_ptr<ApplicationDelegate> delegate_;
  std::vector<ObserverToken> delegateObservers_;
  std::vector<std::shared_ptr<Window>> windows_;
  std::shared_ptr<Menu> mainMenu_;
  std::function<void()> mainMenuHook_;
  std::shared_ptr<RemoteNotificationService> remoteNotificationService_;
  bool active_ = false;
  bool terminated_ = false;
};

}  // namespace platform
