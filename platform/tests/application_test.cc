#include "platform/application.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/run_loop.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace platform {
namespace {

std::vector<std::string> titles(const Menu& menu) {
  std::vector<std::string> result;
  for (const auto& item : menu.itemArray()) result.push_back(item->title());
  return result;
}

TEST(MenuTest, AddsAndRemovesItemsInOrder) {
  auto menu = Menu::create("File");
  auto open = MenuItem::create("Open", "openDocument", "o");
  auto save = MenuItem::create("Save", "saveDocument", "s");
  auto close = MenuItem::create("Close", "performClose", "w");
  menu->addItem(open);
  menu->addItem(save);
  menu->addItem(close);
  EXPECT_EQ(titles(*menu), (std::vector<std::string>{"Open", "Save", "Close"}));
  EXPECT_EQ(save->menu(), menu);

  menu->removeItem(save);
  EXPECT_EQ(titles(*menu), (std::vector<std::string>{"Open", "Close"}));
  EXPECT_EQ(save->menu(), nullptr);
  menu->removeItem(save);  // no longer there: nothing happens
  EXPECT_EQ(menu->numberOfItems(), 2u);

  // Free again, it can go into another menu.
  auto other = Menu::create();
  other->addItem(save);
  EXPECT_EQ(save->menu(), other);
}

TEST(MenuTest, AnItemInAnotherMenuIsRefused) {
  std::vector<std::string> failures;
  auto previous = AssertionHandler::setHandler(
      [&](const AssertionHandler::Failure& failure) { failures.push_back(failure.description); });
  auto first = Menu::create();
  auto second = Menu::create();
  auto item = MenuItem::create("Item");
  first->addItem(item);
  second->addItem(item);
  AssertionHandler::setHandler(previous);

  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], "Item to be inserted into menu already is in another menu");
  EXPECT_EQ(first->numberOfItems(), 1u);
  EXPECT_EQ(second->numberOfItems(), 0u);
  EXPECT_EQ(item->menu(), first);
}

TEST(MenuTest, PerformSendsTheActionToTheTarget) {
  auto item = MenuItem::create("Check for Updates", "checkForUpdates");
  item->perform();  // no target: nothing happens
  int calls = 0;
  item->setTarget([&] { ++calls; });
  EXPECT_TRUE(item->hasTarget());
  item->perform();
  item->perform();
  EXPECT_EQ(calls, 2);
}

TEST(MenuTest, ChangesAnywhereInTheTreeReachTheRoot) {
  auto root = Menu::create();
  auto appItem = MenuItem::create("App");
  auto appMenu = Menu::create("App");
  root->addItem(appItem);
  appItem->setSubmenu(appMenu);
  EXPECT_EQ(appMenu->supermenuItem(), appItem);

  int rootChanges = 0;
  int appChanges = 0;
  root->setChangeHook([&] { ++rootChanges; });
  appMenu->setChangeHook([&] { ++appChanges; });

  auto quit = MenuItem::create("Quit", "terminate", "q");
  appMenu->addItem(quit);  // in the submenu
  quit->setTitle("Quit App");
  quit->setTarget([] {});
  appMenu->removeItem(quit);
  EXPECT_EQ(appChanges, 4);
  EXPECT_EQ(rootChanges, 4);

  // A submenu that is replaced no longer reports to the root.
  auto replacement = Menu::create();
  appItem->setSubmenu(replacement);
  EXPECT_EQ(rootChanges, 5);
  EXPECT_EQ(appMenu->supermenuItem(), nullptr);
  appMenu->addItem(MenuItem::create("Orphan"));
  EXPECT_EQ(rootChanges, 5);
  replacement->addItem(MenuItem::create("New"));
  EXPECT_EQ(rootChanges, 6);
}

TEST(MenuTest, AMenuHangsUnderOneItemAtATime) {
  auto shared = Menu::create();
  auto first = MenuItem::create("First");
  auto second = MenuItem::create("Second");
  first->setSubmenu(shared);
  second->setSubmenu(shared);
  EXPECT_EQ(first->submenu(), nullptr);
  EXPECT_EQ(second->submenu(), shared);
  EXPECT_EQ(shared->supermenuItem(), second);
}

TEST(WindowTest, EverySetterReportsTheNewState) {
  Window window;
  EXPECT_EQ(window.styleMask(), 15u);
  std::vector<std::string> seen;
  window.setChangeHook([&](const Window& changed) {
    seen.push_back(std::to_string(static_cast<int>(changed.contentSize().width)) + "x" +
                   std::to_string(static_cast<int>(changed.minSize().width)) + "/" +
                   std::to_string(changed.styleMask()) + "/" + changed.title());
  });
  window.setContentSize({585, 381});
  window.setMinSize({585, 381});
  window.setMaxSize({10000, 10000});
  window.setStyleMask(kWindowStyleMaskTitled);
  window.setTitle("Vilmo");
  EXPECT_EQ(seen, (std::vector<std::string>{"585x0/15/", "585x585/15/", "585x585/15/", "585x585/1/",
                                            "585x585/1/Vilmo"}));
  EXPECT_EQ(window.maxSize(), (Size{10000, 10000}));
}

// Records the delegate calls and every life-cycle notification, in order.
class RecordingDelegate : public ApplicationDelegate {
 public:
  void applicationDidFinishLaunching(const Notification& note) override { record("launch", note); }
  void applicationWillTerminate(const Notification& note) override { record("terminate", note); }
  void applicationDidBecomeActive(const Notification& note) override { record("active", note); }
  void applicationDidResignActive(const Notification& note) override { record("resign", note); }
  void didRegisterForRemoteNotificationsWithDeviceToken(const Data& token) override {
    tokens.push_back(token);
  }
  void didFailToRegisterForRemoteNotificationsWithError(const Error& error) override {
    errors.push_back(error);
  }
  void didReceiveRemoteNotification(const Dictionary& userInfo) override {
    pushes.push_back(userInfo);
  }

  void record(const std::string& what, const Notification& note) {
    calls.push_back("delegate:" + what);
    EXPECT_EQ(note.object, Application::sharedApplication().get());
  }

  std::vector<std::string> calls;
  std::vector<Data> tokens;
  std::vector<Error> errors;
  std::vector<Dictionary> pushes;
};

class ApplicationTest : public testing_support::TemporaryHomeTest {
 protected:
  ApplicationTest() {
    // The delegate answers only what its class does, so the type needs its class first.
    addApplicationDelegateMethods<RecordingDelegate>(
        ObjectRuntime::registerClass<RecordingDelegate>("RecordingDelegate"));
    app_->setDelegate(delegate_);
    for (const char* name :
         {kApplicationDidFinishLaunchingNotification, kApplicationWillBecomeActiveNotification,
          kApplicationDidBecomeActiveNotification, kApplicationWillResignActiveNotification,
          kApplicationDidResignActiveNotification, kApplicationWillTerminateNotification}) {
      tokens_.push_back(NotificationCenter::defaultCenter().addObserver(
          name, nullptr, nullptr,
          [this](const Notification& note) { delegate_->calls.push_back(note.name); }));
    }
  }
  ~ApplicationTest() override {
    for (const auto& token : tokens_) NotificationCenter::defaultCenter().removeObserver(token);
    app_->setDelegate(nullptr);
  }

  std::shared_ptr<Application> app_ = Application::sharedApplication();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::vector<ObserverToken> tokens_;
};

TEST_F(ApplicationTest, ActivationIsPostedOnlyWhenItChanges) {
  EXPECT_FALSE(app_->isActive());
  app_->setActive(false);  // already inactive
  app_->setActive(true);
  app_->setActive(true);
  EXPECT_TRUE(app_->isActive());
  // A toolkit reporting one loss of activation in two steps (inactive, then hidden).
  app_->setActive(false);
  app_->setActive(false);
  EXPECT_FALSE(app_->isActive());

  // The delegate was added first, so it hears each notification first.
  EXPECT_EQ(delegate_->calls, (std::vector<std::string>{
                                  "NSApplicationWillBecomeActiveNotification", "delegate:active",
                                  "NSApplicationDidBecomeActiveNotification",
                                  "NSApplicationWillResignActiveNotification", "delegate:resign",
                                  "NSApplicationDidResignActiveNotification"}));
}

TEST_F(ApplicationTest, LaunchAndTerminationReachTheDelegate) {
  app_->finishLaunching();
  app_->terminate();
  app_->terminate();  // once per process
  EXPECT_EQ(delegate_->calls, (std::vector<std::string>{
                                  "delegate:launch", "NSApplicationDidFinishLaunchingNotification",
                                  "delegate:terminate", "NSApplicationWillTerminateNotification"}));
}

TEST_F(ApplicationTest, AReplacedOrReleasedDelegateHearsNothing) {
  auto second = std::make_shared<RecordingDelegate>();
  app_->setDelegate(second);
  EXPECT_EQ(app_->delegate(), second);
  app_->setActive(true);
  EXPECT_EQ(second->calls, (std::vector<std::string>{"delegate:active"}));

  second.reset();  // held weakly
  EXPECT_EQ(app_->delegate(), nullptr);
  app_->setActive(false);
  for (const std::string& call : delegate_->calls)
    EXPECT_EQ(call.rfind("delegate:", 0), std::string::npos);
}

TEST_F(ApplicationTest, WindowsAreListedOnceInOrder) {
  auto first = std::make_shared<Window>();
  auto second = std::make_shared<Window>();
  app_->addWindow(first);
  app_->addWindow(second);
  app_->addWindow(first);
  EXPECT_EQ(app_->windows(), (std::vector<std::shared_ptr<Window>>{first, second}));
  app_->removeWindow(first);
  EXPECT_EQ(app_->windows(), (std::vector<std::shared_ptr<Window>>{second}));
}

TEST_F(ApplicationTest, TheMainMenuHookHearsSettingAndChangesInsideTheMenu) {
  int changes = 0;
  app_->setMainMenuChangeHook([&] { ++changes; });
  auto menu = Menu::create();
  auto appItem = MenuItem::create("Vilmo");
  menu->addItem(appItem);
  auto appMenu = Menu::create();
  appItem->setSubmenu(appMenu);

  app_->setMainMenu(menu);
  EXPECT_EQ(app_->mainMenu(), menu);
  EXPECT_EQ(changes, 1);
  app_->setMainMenu(menu);  // the same menu again
  EXPECT_EQ(changes, 2);
  appMenu->addItem(MenuItem::create("Quit Vilmo", "terminate", "q"));
  EXPECT_EQ(changes, 3);

  // A replaced main menu is no longer followed.
  app_->setMainMenu(Menu::create());
  EXPECT_EQ(changes, 4);
  appMenu->addItem(MenuItem::create("About"));
  EXPECT_EQ(changes, 4);
  app_->setMainMenuChangeHook(nullptr);
}

class FakeService : public RemoteNotificationService {
 public:
  explicit FakeService(std::optional<Data> token, ErrorPtr error = nullptr)
      : token_(std::move(token)), error_(std::move(error)) {}
  void registerDevice(Completion completion) override { completion(token_, error_); }

 private:
  std::optional<Data> token_;
  ErrorPtr error_;
};

TEST_F(ApplicationTest, RegistrationAnswersTheDelegateOnALaterTurnOfTheMainQueue) {
  Data token = Data::fromString("0123456789abcdef0123456789abcdef");
  app_->setRemoteNotificationService(std::make_shared<FakeService>(token));
  app_->registerForRemoteNotifications();
  EXPECT_TRUE(delegate_->tokens.empty());
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !delegate_->tokens.empty(); }));
  EXPECT_EQ(delegate_->tokens, std::vector<Data>{token});

  auto failure = makeError("push", 7, {{kLocalizedDescriptionKey, "no push service"}});
  app_->setRemoteNotificationService(std::make_shared<FakeService>(std::nullopt, failure));
  app_->registerForRemoteNotifications();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !delegate_->errors.empty(); }));
  EXPECT_EQ(delegate_->errors[0], *failure);
  EXPECT_EQ(delegate_->errors[0].localizedDescription(), "no push service");
  app_->setRemoteNotificationService(nullptr);
}

TEST_F(ApplicationTest, TheLocalTokenIsStablePerInstallation) {
  app_->registerForRemoteNotifications();
  app_->registerForRemoteNotifications();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return delegate_->tokens.size() == 2; }));
  EXPECT_EQ(delegate_->tokens[0].length(), LocalRemoteNotificationService::kTokenLength);
  EXPECT_EQ(delegate_->tokens[0], delegate_->tokens[1]);
  const auto file = applicationSupportDirectory() / LocalRemoteNotificationService::kTokenFileName;
  EXPECT_EQ(readFile(file), delegate_->tokens[0]);
  // Only this user may read the token, or list the folder it lives in.
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
  EXPECT_EQ(std::filesystem::status(file.parent_path()).permissions(),
            std::filesystem::perms(0700));

  // A damaged file is replaced by a new token.
  ASSERT_TRUE(writeFileAtomically(file, Data::fromString("short")));
  app_->registerForRemoteNotifications();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return delegate_->tokens.size() == 3; }));
  EXPECT_EQ(delegate_->tokens[2].length(), LocalRemoteNotificationService::kTokenLength);
  EXPECT_NE(delegate_->tokens[2], delegate_->tokens[0]);
  EXPECT_EQ(readFile(file), delegate_->tokens[2]);
}

TEST_F(ApplicationTest, ALocalTokenThatCannotBeStoredIsAFailure) {
  // A file where the folder should be.
  const auto folder = applicationSupportDirectory();
  ASSERT_TRUE(createDirectory(folder.parent_path(), true));
  ASSERT_TRUE(writeFileAtomically(folder, Data::fromString("in the way")));
  app_->registerForRemoteNotifications();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !delegate_->errors.empty(); }));
  EXPECT_TRUE(delegate_->tokens.empty());
  EXPECT_EQ(delegate_->errors[0].domain(), kCocoaErrorDomain);
}

// Answers only the launch and push messages.
class LaunchDelegate : public ApplicationDelegate {
 public:
  void applicationDidFinishLaunching(const Notification&) override { calls.push_back("launch"); }
  void didReceiveRemoteNotification(const Dictionary&) override { calls.push_back("push"); }
  std::vector<std::string> calls;
};

// Inherits the launch and push handling and adds activation.
class ActivatingDelegate : public LaunchDelegate {
 public:
  void applicationDidBecomeActive(const Notification&) override { calls.push_back("active"); }
};

// Overrides nothing.
class SilentDelegate : public ApplicationDelegate {};

// Runs every block queued on the main queue before the call.
void drainMainQueue() {
  bool drained = false;
  Queue::main()->async([&] { drained = true; });
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return drained; }));
}

TEST_F(ApplicationTest, ADelegateAnswersAndHearsOnlyTheMethodsItsTypeOverrides) {
  addApplicationDelegateMethods<LaunchDelegate>(
      ObjectRuntime::registerClass<LaunchDelegate>("LaunchDelegate"));
  addApplicationDelegateMethods<ActivatingDelegate>(
      ObjectRuntime::registerClass<ActivatingDelegate>("ActivatingDelegate"));
  addApplicationDelegateMethods<SilentDelegate>(
      ObjectRuntime::registerClass<SilentDelegate>("SilentDelegate"));

  const std::string_view launch = kApplicationDidFinishLaunchingSelector.name;
  const std::string_view active = kApplicationDidBecomeActiveSelector.name;
  const std::string_view push = kApplicationDidReceiveRemoteNotificationSelector.name;
  const std::vector<std::string_view> every = {
      launch,
      kApplicationWillTerminateSelector.name,
      active,
      kApplicationDidResignActiveSelector.name,
      kApplicationDidRegisterForRemoteNotificationsSelector.name,
      kApplicationDidFailToRegisterForRemoteNotificationsSelector.name,
      push,
      kApplicationContinueUserActivitySelector.name,
  };
  const struct {
    const char* what;
    std::shared_ptr<ApplicationDelegate> delegate;
    std::vector<std::string_view> answered;
    std::vector<std::string> heard;
  } cases[] = {
      {"overrides two", std::make_shared<LaunchDelegate>(), {launch, push}, {"launch", "push"}},
      {"inherits two, overrides one",
       std::make_shared<ActivatingDelegate>(),
       {launch, active, push},
       {"launch", "active", "push"}},
      {"overrides none", std::make_shared<SilentDelegate>(), {}, {}},
  };
  const Data token = Data::fromString("0123456789abcdef0123456789abcdef");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string_view selector : every) {
      const bool expected =
          std::find(c.answered.begin(), c.answered.end(), selector) != c.answered.end();
      EXPECT_EQ(ObjectRuntime::respondsToSelector(*c.delegate, selector), expected) << selector;
    }
    EXPECT_TRUE(
        ObjectRuntime::classOf(*c.delegate).conformsToProtocol(kApplicationDelegateProtocolName));

    // Everything the application can tell a delegate, answered or not.
    app_->setDelegate(c.delegate);
    app_->finishLaunching();
    app_->setActive(true);
    app_->setActive(false);
    app_->receiveRemoteNotification(Dictionary{{"aps", Dictionary{{"alert", "hi"}}}});
    app_->setRemoteNotificationService(std::make_shared<FakeService>(token));
    app_->registerForRemoteNotifications();
    app_->setRemoteNotificationService(
        std::make_shared<FakeService>(std::nullopt, makeError("push", 7)));
    app_->registerForRemoteNotifications();
    drainMainQueue();
    if (auto recording = std::dynamic_pointer_cast<LaunchDelegate>(c.delegate)) {
      EXPECT_EQ(recording->calls, c.heard);
    }
  }
  app_->setRemoteNotificationService(nullptr);
}

TEST_F(ApplicationTest, RemoteNotificationMessagesRunWhatTheDelegatesClassHolds) {
  Class& cls = ObjectRuntime::classOf(*delegate_);
  ASSERT_EQ(cls.name(), "RecordingDelegate");
  std::vector<std::string> intercepted;

  // The token and push replacements pass on to the original; the failure one swallows it.
  IMP originalToken;
  IMP originalPush;
  const IMP tokenReplacement = makeImplementation<void(Object&, Application&, const Data&)>(
      [&](Object& self, Application& app, const Data& token) {
        intercepted.push_back("token:" + std::to_string(token.length()));
        ObjectRuntime::call(originalToken, self,
                            kApplicationDidRegisterForRemoteNotificationsSelector, app, token);
      });
  const IMP failureReplacement = makeImplementation<void(Object&, Application&, const Error&)>(
      [&](Object&, Application&, const Error& error) {
        intercepted.push_back("failure:" + std::to_string(error.code()));
      });
  const IMP pushReplacement = makeImplementation<void(Object&, Application&, const Dictionary&)>(
      [&](Object& self, Application& app, const Dictionary& userInfo) {
        intercepted.push_back("push");
        ObjectRuntime::call(originalPush, self, kApplicationDidReceiveRemoteNotificationSelector,
                            app, userInfo);
      });
  originalToken = cls.replaceMethod(kApplicationDidRegisterForRemoteNotificationsSelector.name,
                                    tokenReplacement);
  const IMP originalFailure = cls.replaceMethod(
      kApplicationDidFailToRegisterForRemoteNotificationsSelector.name, failureReplacement);
  originalPush =
      cls.replaceMethod(kApplicationDidReceiveRemoteNotificationSelector.name, pushReplacement);
  ASSERT_TRUE(originalToken && originalFailure && originalPush);

  const Data token = Data::fromString("0123456789abcdef0123456789abcdef");
  app_->setRemoteNotificationService(std::make_shared<FakeService>(token));
  app_->registerForRemoteNotifications();
  app_->setRemoteNotificationService(
      std::make_shared<FakeService>(std::nullopt, makeError("push", 7)));
  app_->registerForRemoteNotifications();
  drainMainQueue();
  const Dictionary userInfo{{"aps", Dictionary{{"alert", "hi"}}}};
  app_->receiveRemoteNotification(userInfo);
  EXPECT_EQ(intercepted, (std::vector<std::string>{"token:32", "failure:7", "push"}));
  EXPECT_EQ(delegate_->tokens, std::vector<Data>{token});
  EXPECT_TRUE(delegate_->errors.empty());
  EXPECT_EQ(delegate_->pushes, std::vector<Dictionary>{userInfo});

  // Restored, the delegate's own code runs again.
  EXPECT_EQ(
      cls.replaceMethod(kApplicationDidRegisterForRemoteNotificationsSelector.name, originalToken),
      tokenReplacement);
  EXPECT_EQ(cls.replaceMethod(kApplicationDidFailToRegisterForRemoteNotificationsSelector.name,
                              originalFailure),
            failureReplacement);
  EXPECT_EQ(cls.replaceMethod(kApplicationDidReceiveRemoteNotificationSelector.name, originalPush),
            pushReplacement);
  app_->registerForRemoteNotifications();
  drainMainQueue();
  app_->receiveRemoteNotification(userInfo);
  EXPECT_EQ(intercepted.size(), 3u);
  EXPECT_EQ(delegate_->errors.size(), 1u);
  EXPECT_EQ(delegate_->pushes.size(), 2u);
  app_->setRemoteNotificationService(nullptr);
}

// Records, for each change, the objects it carried (not keeping them alive).
class DelegateObserver : public KeyValueObserver {
 public:
  struct Seen {
    const Object* object;
    std::optional<const Object*> oldValue;
    std::optional<const Object*> newValue;
    void* context;
  };
  void observeValueForKeyPath(std::string_view keyPath, Object& object,
                              const KeyValueChange& change, void* context) override {
    EXPECT_EQ(keyPath, "delegate");
    Seen seen{&object, std::nullopt, std::nullopt, context};
    if (change.oldValue) seen.oldValue = change.oldValue->get();
    if (change.newValue) seen.newValue = change.newValue->get();
    changes.push_back(seen);
  }
  std::vector<Seen> changes;
};

TEST_F(ApplicationTest, SettingTheDelegateTellsItsObserversTheOldAndNewOne) {
  const auto observer = std::make_shared<DelegateObserver>();
  int context = 0;
  app_->addObserver(observer, "delegate", kKeyValueObservingOptionOld | kKeyValueObservingOptionNew,
                    &context);
  auto second = std::make_shared<RecordingDelegate>();
  const Object* const secondAddress = second.get();
  const Object* const firstAddress = delegate_.get();
  app_->setDelegate(second);
  app_->setDelegate(nullptr);
  app_->setDelegate(second);
  second.reset();  // held weakly: the next change has no old value to tell
  app_->setDelegate(delegate_);
  app_->removeObserver(observer.get(), "delegate", &context);
  app_->setDelegate(nullptr);

  const struct {
    const Object* oldValue;
    const Object* newValue;
  } expected[] = {
      {firstAddress, secondAddress},
      {secondAddress, nullptr},
      {nullptr, secondAddress},
      {nullptr, firstAddress},
  };
  ASSERT_EQ(observer->changes.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const auto& seen = observer->changes[i];
    EXPECT_EQ(seen.object, app_.get());
    EXPECT_EQ(seen.context, &context);
    EXPECT_EQ(seen.oldValue, std::optional<const Object*>(expected[i].oldValue));
    EXPECT_EQ(seen.newValue, std::optional<const Object*>(expected[i].newValue));
  }
}

}  // namespace
}  // namespace platform
