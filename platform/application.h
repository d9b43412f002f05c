// Application: the one application object (its delegate, windows, main menu, active state
// and life-cycle notifications) as a model the GUI layer mirrors and drives.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/notification_center.h"

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

// The receiver of the application's life-cycle calls. Every method has an empty default,
// so a delegate implements only what it needs.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching(const Notification&) {}
  virtual void applicationWillTerminate(const Notification&) {}
  virtual void applicationDidBecomeActive(const Notification&) {}
  virtual void applicationDidResignActive(const Notification&) {}
  virtual void didRegisterForRemoteNotificationsWithDeviceToken(const Data&) {}
  virtual void didFailToRegisterForRemoteNotificationsWithError(const Error&) {}
};

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

class Application {
 public:
  static std::shared_ptr<Application> sharedApplication();

  // The delegate is held weakly: whoever makes it keeps it alive. It receives the
  // life-cycle notifications as an observer added here, so observers added before it
  // hear them first.
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
