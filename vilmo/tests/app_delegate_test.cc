#include "vilmo/AppDelegate.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZULAppDelegateSwizzler.h"
#include "foundation/ZULSwizzler.h"
#include "messaging/ZIRMessaging.h"
#include "platform/application.h"
#include "platform/files.h"
#include "platform/object_runtime.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"
#include "platform/user_notifications.h"
#include "platform/workspace.h"
#include "tests/support/child_process.h"
#include "tests/support/main_queue.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "vilmo/LoadHooks.h"
#include "vilmo/tests/content_view_test_support.h"

namespace {

using platform::Value;

using Sink = vilmo_test::RecordingSink;

// Tells when the permission answer has been handled (it comes on a background queue).
class TestDelegate : public AppDelegate {
 public:
  void notificationAuthorizationResult(bool granted, platform::ErrorPtr error) override {
    AppDelegate::notificationAuthorizationResult(granted, error);
    answered = true;
  }
  std::atomic<bool> answered{false};
};

// A push service that hands out a fixed token, or fails.
class FakePushService : public platform::RemoteNotificationService {
 public:
  void registerDevice(Completion completion) override {
    ++registrations;
    if (failure) {
      completion(std::nullopt, failure);
    } else {
      completion(token, nullptr);
    }
  }
  platform::Data token = platform::Data::fromString("fixed-device-token-0123456789abc");
  platform::ErrorPtr failure;
  std::atomic<int> registrations{0};
};

// The application's bundle, analytics recorded, a push service and the delegate in place.
// The SDK is not configured: launch does that, as in the application. The home is the
// one the process was given (see AppDelegateTest).
class LaunchFixture : public ::testing::Test {
 protected:
  LaunchFixture() {
    runClassLoadHooks();
    platform::Bundle::setMainForTesting(VILMO_TEST_BUNDLE);
    app_->setDelegate(delegate_);
    app_->setRemoteNotificationService(service_);
  }
  ~LaunchFixture() override {
    // Whatever launch left on the main queue runs while the fixture is still whole.
    platform::RunLoop::drain();
    app_->setRemoteNotificationService(nullptr);
    app_->setDelegate(nullptr);
    platform::UserNotificationCenter::currentNotificationCenter()->setAuthorizationDecision(
        std::nullopt);
    APMMeasurement::setRecorder(nullptr);
    VEVEza::resetApps();
  }

  // Launches as the application does and waits until the permission answer was handled.
  void launch() {
    app_->finishLaunching();
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return delegate_->answered.load(); }));
  }

  std::vector<Sink::Event> eventsNamed(const std::string& name) const {
    std::vector<Sink::Event> found;
    for (const auto& event : sink_->events()) {
      if (event.name == name) found.push_back(event);
    }
    return found;
  }

  std::shared_ptr<Sink> sink_ = Sink::install();
  std::shared_ptr<platform::Application> app_ = platform::Application::sharedApplication();
  std::shared_ptr<TestDelegate> delegate_ = std::make_shared<TestDelegate>();
  std::shared_ptr<FakePushService> service_ = std::make_shared<FakePushService>();
};

// Each test in a fresh home.
class AppDelegateTest : public LaunchFixture {
 protected:
  testing_support::TemporaryHome home_;
};

TEST_F(AppDelegateTest, FirstLaunchStoresANewUserIDAndTheNextLaunchReadsIt) {
  launch();
  auto stored = platform::UserDefaults::standard()->stringForKey("userID");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(std::regex_match(
      *stored, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << *stored;
  EXPECT_EQ(sink_->userIDs(), std::vector<std::optional<std::string>>{*stored});

  // The next launch is a new process in the same home (the child inherits it).
  auto next = testing_support::runTestInChildProcess("SecondLaunchTest.DISABLED_ReadsTheUserID",
                                                     {{"VILMO_EXPECTED_USER_ID", *stored}});
  EXPECT_TRUE(next.passed()) << next.output;
  EXPECT_EQ(platform::UserDefaults::standard()->stringForKey("userID"), stored);
}

using SecondLaunchTest = LaunchFixture;

TEST_F(SecondLaunchTest, DISABLED_ReadsTheUserID) {
  const char* expected = std::getenv("VILMO_EXPECTED_USER_ID");
  ASSERT_NE(expected, nullptr);
  const auto fileBefore = platform::readFile(platform::UserDefaults::standard()->filePath());
  launch();
  EXPECT_EQ(sink_->userIDs(), std::vector<std::optional<std::string>>{std::string(expected)});
  EXPECT_EQ(platform::UserDefaults::standard()->stringForKey("userID"), expected);
  // Nothing was written.
  EXPECT_EQ(platform::readFile(platform::UserDefaults::standard()->filePath()), fileBefore);
}

TEST_F(AppDelegateTest, TheStartUpListWiresTheEventTransport) {
  launch();
  const auto registrar = RDTCORRegistrar::sharedInstance();
  const auto store = RDTCORFlatFileStorage::sharedInstance();
  for (RDTCORTarget target : {1000, 1001, 1002, 1003}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(registrar->targetToUploader().at(target), RDTKCTUploader::sharedInstance());
    EXPECT_EQ(RDTCORRegisteredStorage(target),
              std::static_pointer_cast<RDTCORStoragePromiseProtocol>(store));
  }
  EXPECT_EQ(registrar->targetToStorage().at(999), store);
  // The controller registers last, so it is the store's delegate.
  EXPECT_EQ(RDTCORRegisteredMetricsController(1001), RDTCORMetricsController::sharedInstance());
  EXPECT_EQ(store->delegate(), RDTCORMetricsController::sharedInstance());
  EXPECT_TRUE(std::filesystem::is_directory(RDTCORFlatFileStorage::eventDataStoragePath()));
}

TEST_F(AppDelegateTest, LaunchReportsItselfAndStartsTheUpdater) {
  testing_support::ManualClockScope clock;
  launch();
  EXPECT_EQ(delegate_->appLaunchTime(), platform::Date::now());
  auto launches = eventsNamed("app_launch");
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].origin, "app");
  EXPECT_EQ(launches[0].parameters["timestamp"],
            Value(platform::Date::now().timeIntervalSince1970()));
  ASSERT_NE(delegate_->updaterController(), nullptr);
  EXPECT_TRUE(delegate_->updaterController()->updater()->isStarted());
  EXPECT_EQ(delegate_->updaterController()->updater()->releasePageURL(), std::nullopt);
  EXPECT_EQ(platform::UserNotificationCenter::currentNotificationCenter()->delegate(), delegate_);
}

TEST_F(AppDelegateTest, CloseReportsRunTimeAndActiveTime) {
  testing_support::ManualClockScope clock;
  VEVEza::configure();
  // No launch time: the sums go out as they are.
  delegate_->terminateBody();
  delegate_->setAppLaunchTime(platform::Date::now());
  delegate_->setTotalActiveTime(12.5);
  clock.advance(40);
  app_->terminate();

  auto closes = eventsNamed("app_close");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].parameters["total_run_time"], Value(0.0));
  EXPECT_EQ(closes[0].parameters["total_active_time"], Value(0.0));
  EXPECT_EQ(closes[1].parameters["total_run_time"], Value(40.0));
  EXPECT_EQ(closes[1].parameters["total_active_time"], Value(12.5));
  EXPECT_EQ(closes[1].parameters["total_run_time"].type(), Value::Type::Double);
  EXPECT_EQ(delegate_->totalRunTime(), 40.0);
}

TEST_F(AppDelegateTest, GrantedPermissionRegistersAndHandsTheTokenToMessaging) {
  launch();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] {
    auto messaging = ZIRMessaging::messaging();
    return messaging && messaging->APNSToken() == service_->token;
  }));
  EXPECT_EQ(service_->registrations, 1);
}

TEST_F(AppDelegateTest, RefusedPermissionIsPrintedAndNothingRegisters) {
  platform::UserNotificationCenter::currentNotificationCenter()->setAuthorizationDecision(false);
  testing::internal::CaptureStdout();
  launch();
  platform::RunLoop::drain();
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("User disallow\n"), std::string::npos) << printed;
  EXPECT_EQ(service_->registrations, 0);
  EXPECT_EQ(ZIRMessaging::messaging()->APNSToken(), std::nullopt);
}

TEST_F(AppDelegateTest, AFailedRegistrationIsPrinted) {
  service_->failure = platform::makeError(
      "push", 3000, {{platform::kLocalizedDescriptionKey, "no push service here"}});
  testing::internal::CaptureStdout();
  launch();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return service_->registrations == 1; }));
  platform::RunLoop::drain();
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Failed to register for remote notifications: no push service here\n"),
            std::string::npos)
      << printed;
}

TEST_F(AppDelegateTest, NotificationsAreHandedToMessagingAndShownWithBadgeSoundAndBanner) {
  launch();
  auto center = platform::UserNotificationCenter::currentNotificationCenter();
  for (const platform::Dictionary& userInfo :
       {platform::Dictionary{}, platform::Dictionary{{"rcm.message_id", "42"}}}) {
    SCOPED_TRACE(userInfo.size());
    platform::UserNotification notification;
    notification.request.content.userInfo = userInfo;
    // Through the center, as the system delivers them: by selector to the delegate.
    std::optional<platform::UserNotificationPresentationOptions> options;
    center->presentNotification(notification, [&](auto presentation) { options = presentation; });
    EXPECT_EQ(options, 19u);
    bool completed = false;
    center->receiveResponse({notification, ""}, [&] { completed = true; });
    EXPECT_TRUE(completed);
  }
}

// Hears the delegate callbacks an SDK library intercepts, noting whether the application's
// own delegate had handled each already.
class RecordingInterceptor : public platform::ApplicationDelegate {
 public:
  void didRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& token) override {
    tokens.push_back(token);
    tokenReachedMessagingFirst = ZIRMessaging::messaging()->APNSToken().has_value();
  }
  void didReceiveRemoteNotification(const platform::Dictionary& userInfo) override {
    pushes.push_back(userInfo);
  }
  std::vector<platform::Data> tokens;
  std::vector<platform::Dictionary> pushes;
  bool tokenReachedMessagingFirst = true;
};

TEST_F(AppDelegateTest, DelegateCallbacksReachRegisteredInterceptorsFirst) {
  platform::Class& interceptorClass =
      platform::ObjectRuntime::registerClass<RecordingInterceptor>("RecordingInterceptor");
  platform::addApplicationDelegateMethods<RecordingInterceptor>(interceptorClass);

  // What an SDK library does when it starts: proxy the delegate, then register.
  ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  auto interceptor = std::make_shared<RecordingInterceptor>();
  const auto interceptorID = ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  ASSERT_TRUE(interceptorID);
  EXPECT_EQ(platform::ObjectRuntime::classOf(*delegate_).name().rfind("ZUL_AppDelegate-", 0), 0u);
  EXPECT_EQ(platform::ObjectRuntime::describe(*delegate_).rfind("<AppDelegate: 0x", 0), 0u);

  // Launch registers for pushes; the token reaches the interceptor, then messaging.
  launch();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil(
      [&] { return ZIRMessaging::messaging()->APNSToken().has_value(); }));
  EXPECT_EQ(interceptor->tokens, std::vector<platform::Data>{service_->token});
  EXPECT_FALSE(interceptor->tokenReachedMessagingFirst);
  EXPECT_EQ(ZIRMessaging::messaging()->APNSToken(), service_->token);

  // A push message arriving: the delegate has no handling of its own, the interceptor hears it.
  const platform::Dictionary push{{"rcm.message_id", "7"}};
  app_->receiveRemoteNotification(push);
  EXPECT_EQ(interceptor->pushes, std::vector<platform::Dictionary>{push});

  // The user's response to a notification goes to the delegate by selector, so a method
  // replaced on the delegate's class sees it before the delegate's own code.
  platform::Class& delegateClass = platform::ObjectRuntime::classOf(*delegate_);
  const auto& selector = platform::kUserNotificationCenterDidReceiveResponseSelector;
  const platform::IMP own =
      ZULSwizzler::currentImplementationForClass(&delegateClass, selector.name.data(), false);
  std::vector<std::string> seen;
  ZULSwizzler::swizzleClass(
      &delegateClass, selector.name.data(), false,
      platform::makeImplementation(
          std::function<void(platform::Object&, platform::UserNotificationCenter&,
                             const platform::UserNotificationResponse&, std::function<void()>)>(
              [&](platform::Object& self, platform::UserNotificationCenter& center,
                  const platform::UserNotificationResponse& response, std::function<void()> done) {
                seen.push_back("replacement");
                platform::ObjectRuntime::call(own, self, selector, center, response, [&, done] {
                  seen.push_back("delegate");
                  done();
                });
              })));
  platform::UserNotificationResponse response;
  response.notification.request.content.userInfo = push;
  bool completed = false;
  platform::UserNotificationCenter::currentNotificationCenter()->receiveResponse(
      response, [&] { completed = true; });
  EXPECT_TRUE(completed);
  EXPECT_EQ(seen, (std::vector<std::string>{"replacement", "delegate"}));

  ZULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(interceptorID);
  app_->receiveRemoteNotification(push);
  EXPECT_EQ(interceptor->pushes.size(), 1u);
}

// An application menu as the shell makes it, with two items.
std::shared_ptr<platform::Menu>
makeMainMenu(std::vector<std::shared_ptr<platform::MenuItem>> items) {
  auto applicationMenu = platform::Menu::create("Vilmo");
  for (const auto& item : items) applicationMenu->addItem(item);
  auto applicationItem = platform::MenuItem::create("Vilmo");
  applicationItem->setSubmenu(applicationMenu);
  auto mainMenu = platform::Menu::create();
  mainMenu->addItem(applicationItem);
  return mainMenu;
}

TEST_F(AppDelegateTest, TheUpdateItemIsAddedLastToTheApplicationMenuAfterLaunch) {
  auto about = platform::MenuItem::create("About Vilmo", "orderFrontStandardAboutPanel");
  auto quit = platform::MenuItem::create("Quit Vilmo", "terminate", "q");
  auto mainMenu = makeMainMenu({about, quit});
  app_->setMainMenu(mainMenu);
  int menuSettings = 0;
  app_->setMainMenuChangeHook([&] { ++menuSettings; });

  app_->finishLaunching();
  // Launch handling has returned; the rebuild waits for a later turn of the main queue.
  auto applicationItem = mainMenu->itemArray()[0];
  EXPECT_EQ(applicationItem->submenu()->numberOfItems(), 2u);
  platform::RunLoop::drain();

  EXPECT_EQ(app_->mainMenu(), mainMenu);
  auto rebuilt = applicationItem->submenu();
  EXPECT_EQ(rebuilt->title(), "");
  auto items = rebuilt->itemArray();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0], about);
  EXPECT_EQ(items[1], quit);
  EXPECT_EQ(items[2]->title(), "Check for Updates");
  EXPECT_EQ(items[2]->action(), "checkForUpdates");
  EXPECT_EQ(items[2]->keyEquivalent(), "");
  EXPECT_GT(menuSettings, 0);
  app_->setMainMenuChangeHook(nullptr);

  // The item checks with the updater.
  std::vector<std::string> told;
  platform::Updater::setUserDriver([&](const std::string& message) { told.push_back(message); });
  items[2]->perform();
  platform::Updater::setUserDriver(nullptr);
  EXPECT_EQ(told, std::vector<std::string>{platform::Updater::kNoUpdateFeedMessage});
}

TEST_F(AppDelegateTest, MenusWithoutAnApplicationSubmenuAreLeftAlone) {
  struct Case {
    const char* what;
    std::shared_ptr<platform::Menu> menu;
  } cases[] = {
      {"no main menu", nullptr},
      {"an empty main menu", platform::Menu::create()},
      {"a first item without submenu", platform::Menu::create()},
  };
  cases[2].menu->addItem(platform::MenuItem::create("Vilmo"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    app_->setMainMenu(c.menu);
    delegate_->installUpdateMenuItem();
    EXPECT_EQ(app_->mainMenu(), c.menu);
    if (c.menu && c.menu->numberOfItems() > 0) {
      EXPECT_EQ(c.menu->itemArray()[0]->submenu(), nullptr);
    }
  }
}

// A settings file that cannot be read must not stop the application: it is kept beside the
// new one for whoever wants to recover it, and the launch stores what it needs afresh.
TEST_F(AppDelegateTest, ADamagedSettingsFileIsSetAsideAndTheLaunchGoesOn) {
  const auto file = platform::UserDefaults::standard()->filePath();
  const auto damaged = platform::Data::fromString("<?xml version=\"1.0\"?><plist><dict><key>user");
  ASSERT_TRUE(platform::createDirectory(file.parent_path(), true));
  ASSERT_TRUE(platform::writeFileAtomically(file, damaged));
  launch();
  auto userID = platform::UserDefaults::standard()->stringForKey("userID");
  ASSERT_TRUE(userID);
  EXPECT_EQ(sink_->userIDs(), std::vector<std::optional<std::string>>{*userID});

  const auto entries = platform::contentsOfDirectory(file.parent_path(), false);
  ASSERT_TRUE(entries);
  std::vector<std::filesystem::path> setAside;
  for (const auto& entry : *entries) {
    if (entry.filename().string().starts_with(file.filename().string() + ".damaged-")) {
      setAside.push_back(entry);
    }
  }
  ASSERT_EQ(setAside.size(), 1u);
  EXPECT_EQ(platform::readFile(setAside[0]), damaged);
  // The new file holds what this launch stored, as a new process reads it.
  auto next = testing_support::runTestInChildProcess("SecondLaunchTest.DISABLED_ReadsTheUserID",
                                                     {{"VILMO_EXPECTED_USER_ID", *userID}});
  EXPECT_TRUE(next.passed()) << next.output;
}

TEST_F(AppDelegateTest, CheckingForUpdatesOpensTheConfiguredReleasePage) {
  delegate_->checkForUpdates();  // no updater yet: nothing happens
  std::vector<std::string> opened;
  platform::Workspace::sharedWorkspace().setOpener([&](const std::string& url) {
    opened.push_back(url);
    return true;
  });
  setenv("VILMO_RELEASE_PAGE_URL", "https://example.com/vilmo/releases", 1);
  launch();
  unsetenv("VILMO_RELEASE_PAGE_URL");
  delegate_->checkForUpdates();
  platform::Workspace::sharedWorkspace().setOpener(nullptr);
  EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/vilmo/releases"});
}

}  // namespace
