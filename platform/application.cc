#include "platform/application.h"

#include <algorithm>
#include <utility>

#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/files.h"

namespace platform {

// ---- Window

void Window::setContentSize(Size size) {
  contentSize_ = size;
  changed();
}

void Window::setMinSize(Size size) {
  minSize_ = size;
  changed();
}

void Window::setMaxSize(Size size) {
  maxSize_ = size;
  changed();
}

void Window::setStyleMask(std::uint64_t mask) {
  styleMask_ = mask;
  changed();
}

void Window::setTitle(std::string title) {
  title_ = std::move(title);
  changed();
}

void Window::setChangeHook(ChangeHook hook) { hook_ = std::move(hook); }

void Window::changed() {
  if (hook_) hook_(*this);
}

// ---- MenuItem

MenuItem::MenuItem(std::string title, std::string action, std::string keyEquivalent)
    : title_(std::move(title)), action_(std::move(action)),
      keyEquivalent_(std::move(keyEquivalent)) {}

std::shared_ptr<MenuItem> MenuItem::create(std::string title, std::string action,
                                           std::string keyEquivalent) {
  return std::make_shared<MenuItem>(std::move(title), std::move(action), std::move(keyEquivalent));
}

void MenuItem::setTitle(std::string title) {
  title_ = std::move(title);
  changed();
}

void MenuItem::setTarget(Target target) {
  target_ = std::move(target);
  changed();
}

void MenuItem::setSubmenu(std::shared_ptr<Menu> submenu) {
  if (submenu_ == submenu) return;
  if (submenu_) submenu_->parent_.reset();
  // A menu hangs under one item at a time: it leaves the item it was under.
  if (submenu) {
    if (auto previous = submenu->parent_.lock()) {
      previous->submenu_.reset();
      previous->changed();
    }
  }
  submenu_ = std::move(submenu);
  if (submenu_) submenu_->parent_ = weak_from_this();
  changed();
}

void MenuItem::perform() const {
  // A copy, so that a target that replaces itself (or drops the menu) stays alive while
  // it runs.
  Target target = target_;
  if (target) target();
}

void MenuItem::changed() {
  if (auto menu = menu_.lock()) menu->changed();
}

// ---- Menu

Menu::Menu(std::string title) : title_(std::move(title)) {}

std::shared_ptr<Menu> Menu::create(std::string title) {
  return std::make_shared<Menu>(std::move(title));
}

void Menu::addItem(const std::shared_ptr<MenuItem>& item) {
  if (!item) return;
  if (item->menu_.lock()) {
    AssertionHandler::handleFailure(
        {__func__, __FILE__, __LINE__, "Item to be inserted into menu already is in another menu"});
    return;
  }
  item->menu_ = weak_from_this();
  items_.push_back(item);
  changed();
}

void Menu::removeItem(const std::shared_ptr<MenuItem>& item) {
  auto it = std::find(items_.begin(), items_.end(), item);
  if (it == items_.end()) return;
  item->menu_.reset();
  items_.erase(it);
  changed();
}

void Menu::setChangeHook(ChangeHook hook) { hook_ = std::move(hook); }

void Menu::changed() {
  if (hook_) {
    ChangeHook hook = hook_;
    hook();
  }
  if (auto parent = parent_.lock()) parent->changed();
}

// ---- LocalRemoteNotificationService

void LocalRemoteNotificationService::registerDevice(Completion completion) {
  const std::filesystem::path folder = applicationSupportDirectory();
  const std::filesystem::path file = folder / kTokenFileName;
  if (auto stored = readFile(file); stored && stored->length() == kTokenLength) {
    completion(std::move(*stored), nullptr);
    return;
  }
  // Missing or damaged: a new token, as a reinstalled application would get.
  Data token = crypto::randomBytes(kTokenLength);
  ErrorPtr error;
  if (!createDirectory(folder, true, &error, DirectoryAccess::OwnerOnly) ||
      !writeFileAtomically(file, token, &error)) {
    completion(std::nullopt, error);
    return;
  }
  completion(std::move(token), nullptr);
}

// ---- Application

void Application::load() {
  Class& cls = ObjectRuntime::registerClass<Application>("NSApplication");
  cls.addClassMethod<std::shared_ptr<Application>()>("sharedApplication", &sharedApplication);
}

std::shared_ptr<Application> Application::sharedApplication() {
  // Never destroyed: observers and queued tasks may still reach it while the process exits.
  static auto* const shared = new std::shared_ptr<Application>(new Application);
  return *shared;
}

void Application::setDelegate(const std::shared_ptr<ApplicationDelegate>& delegate) {
  NotificationCenter& center = NotificationCenter::defaultCenter();
  for (const ObserverToken& token : delegateObservers_) center.removeObserver(token);
  delegateObservers_.clear();
  const std::shared_ptr<ApplicationDelegate> previous = delegate_.lock();
  delegate_ = delegate;
  if (delegate) {
    std::weak_ptr<ApplicationDelegate> weak = delegate;
    const auto observe = [&](const char* name,
                             const Selector<void(const Notification&)>& selector) {
      if (!ObjectRuntime::respondsToSelector(*delegate, selector.name)) return;
      delegateObservers_.push_back(
          center.addObserver(name, this, nullptr, [weak, selector](const Notification& note) {
            if (auto strong = weak.lock()) ObjectRuntime::send(*strong, selector, note);
          }));
    };
    observe(kApplicationDidFinishLaunchingNotification, kApplicationDidFinishLaunchingSelector);
    observe(kApplicationWillTerminateNotification, kApplicationWillTerminateSelector);
    observe(kApplicationDidBecomeActiveNotification, kApplicationDidBecomeActiveSelector);
    observe(kApplicationDidResignActiveNotification, kApplicationDidResignActiveSelector);
  }
  didChangeValueForKey("delegate", previous, delegate);
}

void Application::addWindow(const std::shared_ptr<Window>& window) {
  if (!window || std::find(windows_.begin(), windows_.end(), window) != windows_.end()) return;
  windows_.push_back(window);
}

void Application::removeWindow(const std::shared_ptr<Window>& window) {
  windows_.erase(std::remove(windows_.begin(), windows_.end(), window), windows_.end());
}

void Application::setMainMenu(std::shared_ptr<Menu> menu) {
  if (mainMenu_ && mainMenu_ != menu) mainMenu_->setChangeHook(nullptr);
  mainMenu_ = std::move(menu);
  hookMainMenu();
  if (mainMenuHook_) {
    auto hook = mainMenuHook_;
    hook();
  }
}

void Application::setMainMenuChangeHook(std::function<void()> hook) {
  mainMenuHook_ = std::move(hook);
}

void Application::hookMainMenu() {
  if (!mainMenu_) return;
  // The application outlives every menu (it is never destroyed).
  mainMenu_->setChangeHook([this] {
    if (mainMenuHook_) {
      auto hook = mainMenuHook_;
      hook();
    }
  });
}

void Application::setRemoteNotificationService(std::shared_ptr<RemoteNotificationService> service) {
  remoteNotificationService_ = std::move(service);
}

void Application::registerForRemoteNotifications() {
  std::shared_ptr<RemoteNotificationService> service = remoteNotificationService_;
  if (!service) service = std::make_shared<LocalRemoteNotificationService>();
  // The delegate is looked up when the answer arrives: it may have changed meanwhile.
  service->registerDevice([self = sharedApplication()](std::optional<Data> token, ErrorPtr error) {
    Queue::main()->async([self, token = std::move(token), error = std::move(error)] {
      auto delegate = self->delegate();
      if (!delegate) return;
      if (token) {
        if (ObjectRuntime::respondsToSelector(
                *delegate, kApplicationDidRegisterForRemoteNotificationsSelector.name)) {
          ObjectRuntime::send(*delegate, kApplicationDidRegisterForRemoteNotificationsSelector,
                              *self, *token);
        }
      } else if (ObjectRuntime::respondsToSelector(
                     *delegate, kApplicationDidFailToRegisterForRemoteNotificationsSelector.name)) {
        ObjectRuntime::send(
            *delegate, kApplicationDidFailToRegisterForRemoteNotificationsSelector, *self,
            error ? *error : Error(kCocoaErrorDomain, kRemoteNotificationRegistrationError));
      }
    });
  });
}

void Application::receiveRemoteNotification(const Dictionary& userInfo) {
  const auto delegate = this->delegate();
  if (delegate && ObjectRuntime::respondsToSelector(
                      *delegate, kApplicationDidReceiveRemoteNotificationSelector.name)) {
    ObjectRuntime::send(*delegate, kApplicationDidReceiveRemoteNotificationSelector, *this,
                        userInfo);
  }
}

void Application::post(const char* name) { NotificationCenter::defaultCenter().post(name, this); }

void Application::finishLaunching() { post(kApplicationDidFinishLaunchingNotification); }

void Application::setActive(bool active) {
  if (active == active_) return;
  if (active) {
    post(kApplicationWillBecomeActiveNotification);
    active_ = true;
    post(kApplicationDidBecomeActiveNotification);
  } else {
    post(kApplicationWillResignActiveNotification);
    active_ = false;
    post(kApplicationDidResignActiveNotification);
  }
}

void Application::terminate() {
  if (terminated_) return;
  terminated_ = true;
  post(kApplicationWillTerminateNotification);
}

}  // namespace platform
