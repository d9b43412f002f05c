#include "foundation/ZULAppDelegateSwizzler.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZULLogger.h"
#include "foundation/ZULSceneDelegateSwizzler.h"
#include "foundation/tests/log_capture.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/object_runtime.h"
#include "platform/plist.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Application;
using platform::ApplicationDelegate;
using platform::Object;
using platform::ObjectRuntime;

using CallLog = std::vector<std::string>;

// Writes each callback it answers to the shared log, under its own name.
class RecordingDelegate : public ApplicationDelegate {
 public:
  RecordingDelegate(std::string name, std::shared_ptr<CallLog> log)
      : name_(std::move(name)), log_(std::move(log)) {}

  void record(const std::string& what) { log_->push_back(name_ + " " + what); }

  bool handlesActivity = false;

 protected:
  std::string name_;
  std::shared_ptr<CallLog> log_;
};

// Answers every intercepted callback and the launch notification.
class FullDelegate : public RecordingDelegate {
 public:
  using RecordingDelegate::RecordingDelegate;
  void applicationDidFinishLaunching(const platform::Notification&) override { record("launched"); }
  void didRegisterForRemoteNotificationsWithDeviceToken(const platform::Data& token) override {
    record("token " + token.toString());
  }
  void didFailToRegisterForRemoteNotificationsWithError(const platform::Error& error) override {
    record("failed " + std::to_string(error.code()));
  }
  void didReceiveRemoteNotification(const platform::Dictionary& userInfo) override {
    record("received " + platform::Value(userInfo).description());
  }
  bool continueUserActivity(const platform::UserActivity& activity,
                            platform::UserActivityRestorationHandler) override {
    record("activity " + activity.activityType);
    return handlesActivity;
  }
};

// Lacks the remote-notification receipt and the user activity.
class PartialDelegate : public RecordingDelegate {
 public:
  using RecordingDelegate::RecordingDelegate;
  void didRegisterForRemoteNotificationsWithDeviceToken(const platform::Data&) override {
    record("token");
  }
  void didFailToRegisterForRemoteNotificationsWithError(const platform::Error&) override {
    record("failed");
  }
};

// Distinct C++ types so that each has a runtime class of its own.
class AppDelegate : public FullDelegate {
  using FullDelegate::FullDelegate;
};
class OtherAppDelegate : public FullDelegate {
  using FullDelegate::FullDelegate;
};
class Interceptor : public FullDelegate {
  using FullDelegate::FullDelegate;
};

// An object that is no application delegate.
class Bystander : public Object {};

// Answers a registration with the token or, without one, an error of code 7.
class ScriptedRemoteNotificationService : public platform::RemoteNotificationService {
 public:
  std::optional<platform::Data> token;
  void registerDevice(Completion completion) override {
    if (token) {
      completion(*token, nullptr);
    } else {
      completion(std::nullopt, platform::makeError("com.example.push", 7));
    }
  }
};

class RecordingAssertions {
 public:
  RecordingAssertions() {
    previous_ = platform::AssertionHandler::setHandler(
        [this](const platform::AssertionHandler::Failure& failure) {
          failures.push_back(failure);
        });
  }
  ~RecordingAssertions() { platform::AssertionHandler::setHandler(std::move(previous_)); }

  std::vector<platform::AssertionHandler::Failure> failures;

 private:
  platform::AssertionHandler::Handler previous_;
};

const std::regex kDescription("<([A-Za-z]+): 0x[0-9a-f]+>");
const std::regex
    kSubclassName("ZUL_([A-Za-z]+)-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

// Every test has a home and a bundle of its own, the application class loaded and the
// delegate classes registered. The application's delegate is cleared at the end.
class ZULAppDelegateSwizzlerTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    useBundle({});
    Application::load();
    registerDelegateClass<AppDelegate>("AppDelegate");
    registerDelegateClass<OtherAppDelegate>("OtherAppDelegate");
    registerDelegateClass<PartialDelegate>("PartialDelegate");
    registerDelegateClass<Interceptor>("Interceptor");
    ObjectRuntime::registerClass<Bystander>("Bystander");
    application_ = Application::sharedApplication();
  }

  void TearDown() override {
    application_->setDelegate(nullptr);
    application_->setRemoteNotificationService(nullptr);
    ZULAppDelegateSwizzler::clearInterceptors();
  }

  template <typename T> static void registerDelegateClass(const char* name) {
    platform::addApplicationDelegateMethods<T>(ObjectRuntime::registerClass<T>(name));
  }

  void useBundle(platform::Dictionary info) { home_.useBundle(std::move(info)); }

  template <typename T> std::shared_ptr<T> makeDelegate(const std::string& name) {
    auto delegate = std::make_shared<T>(name, log_);
    application_->setDelegate(delegate);
    return delegate;
  }

  bool continueActivity(Object& receiver) {
    return ObjectRuntime::send(receiver, platform::kApplicationContinueUserActivitySelector,
                               *application_, platform::UserActivity{"browse", std::nullopt, {}},
                               [](std::vector<platform::ObjectPtr>) {});
  }

  std::shared_ptr<Application> application_;
  std::shared_ptr<CallLog> log_ = std::make_shared<CallLog>();
};

TEST_F(ZULAppDelegateSwizzlerTest, TheDelegateMovesIntoANamedSubclassAndKeepsItsDescription) {
  ZULLoggerSetLevel(ZULLoggerLevelDebug);
  LogCapture capture;
  const auto delegate = makeDelegate<AppDelegate>("delegate");
  const std::string description = ObjectRuntime::describe(*delegate);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(description, match, kDescription)) << description;
  EXPECT_EQ(match[1], "AppDelegate");

  ZULAppDelegateSwizzler::proxyOriginalDelegate();

  const platform::Class& subclass = ObjectRuntime::classOf(*delegate);
  const std::string& subclassName = subclass.name();
  ASSERT_TRUE(std::regex_match(subclassName, match, kSubclassName)) << subclassName;
  EXPECT_EQ(match[1], "AppDelegate");
  EXPECT_EQ(subclass.superclass(), ObjectRuntime::classNamed("AppDelegate"));
  EXPECT_EQ(ObjectRuntime::classNamed(subclassName), &subclass);
  EXPECT_EQ(ObjectRuntime::describe(*delegate), description);
  EXPECT_EQ(ZULAppDelegateSwizzler::originalDelegate(), delegate);
  EXPECT_EQ(application_->delegate(), delegate);
  EXPECT_TRUE(ZULAppDelegateObserver::sharedInstance()->isObserving());
  EXPECT_TRUE(capture.contains(
      "[ReroraUtilities/AppDelegateSwizzler][I-SWZ001008] Successfully created App Delegate "
      "Proxy automatically. To disable the proxy, set the flag "
      "ReroraUtilitiesAppDelegateProxyEnabled to NO (Boolean) in the Info.plist"));

  // Setting the delegate again left the application with one launch observer for it.
  application_->finishLaunching();
  EXPECT_EQ(*log_, CallLog{"delegate launched"});

  // Once per process, until re-armed.
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(&ObjectRuntime::classOf(*delegate), &subclass);

  // Re-armed with the same delegate: it keeps its subclass, and a callback runs the
  // interceptors and the delegate's own code once each.
  ZULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
  ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  EXPECT_EQ(&ObjectRuntime::classOf(*delegate), &subclass);
  EXPECT_EQ(ObjectRuntime::describe(*delegate), description);
  const auto interceptor = std::make_shared<Interceptor>("interceptor", log_);
  ASSERT_TRUE(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));
  log_->clear();
  continueActivity(*delegate);
  application_->receiveRemoteNotification({});
  EXPECT_EQ(*log_, (CallLog{"interceptor activity browse", "delegate activity browse",
                            "interceptor received {\n}", "delegate received {\n}"}));
}

TEST_F(ZULAppDelegateSwizzlerTest, InterceptorsHearTheUserActivityFirstAndAnyTrueAnswerWins) {
  const auto delegate = makeDelegate<AppDelegate>("delegate");
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  const auto interceptor = std::make_shared<Interceptor>("interceptor", log_);
  // Answers none of the intercepted callbacks: never called.
  const auto silent = std::make_shared<OtherAppDelegate>("silent", log_);
  ObjectRuntime::setClass(*silent, ObjectRuntime::registerClass("SilentInterceptor"));
  ASSERT_TRUE(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor));
  ASSERT_TRUE(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(silent));

  struct Case {
    bool interceptorAnswer;
    bool delegateAnswer;
    bool expected;
  };
  for (const Case c : {Case{false, false, false}, Case{true, false, true}, Case{false, true, true},
                       Case{true, true, true}}) {
    log_->clear();
    interceptor->handlesActivity = c.interceptorAnswer;
    delegate->handlesActivity = c.delegateAnswer;
    EXPECT_EQ(continueActivity(*delegate), c.expected)
        << c.interceptorAnswer << " " << c.delegateAnswer;
    EXPECT_EQ(*log_, (CallLog{"interceptor activity browse", "delegate activity browse"}));
  }
}

TEST_F(ZULAppDelegateSwizzlerTest,
       ADelegateWithoutTheUserActivityMethodStillLetsInterceptorsAnswer) {
  const auto delegate = makeDelegate<PartialDelegate>("delegate");
  EXPECT_FALSE(ObjectRuntime::respondsToSelector(
      *delegate, platform::kApplicationContinueUserActivitySelector.name));
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  ASSERT_TRUE(ObjectRuntime::respondsToSelector(
      *delegate, platform::kApplicationContinueUserActivitySelector.name));

  EXPECT_FALSE(continueActivity(*delegate));
  const auto interceptor = std::make_shared<Interceptor>("interceptor", log_);
  interceptor->handlesActivity = true;
  ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  EXPECT_TRUE(continueActivity(*delegate));
  EXPECT_EQ(*log_, CallLog{"interceptor activity browse"});
}

TEST_F(ZULAppDelegateSwizzlerTest, RemoteNotificationCallbacksReachInterceptorsAndTheDelegate) {
  auto service = std::make_shared<ScriptedRemoteNotificationService>();
  application_->setRemoteNotificationService(service);
  const auto interceptor = std::make_shared<Interceptor>("interceptor", log_);
  ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);

  // Runs every remote-notification callback through the application.
  const auto deliverAll = [&] {
    service->token = platform::Data::fromString("T0K");
    application_->registerForRemoteNotifications();
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return !log_->empty(); }));
    const std::size_t before = log_->size();
    service->token.reset();
    application_->registerForRemoteNotifications();
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return log_->size() > before; }));
    application_->receiveRemoteNotification({{"message", "hi"}});
  };

  const std::string received =
      "received " + platform::Value(platform::Dictionary{{"message", "hi"}}).description();
  struct Case {
    const char* label;
    std::function<std::shared_ptr<RecordingDelegate>()> makeDelegate;
    bool includingRemoteNotifications;
    CallLog expected;
  };
  const Case cases[] = {
      {"full delegate",
       [&] { return makeDelegate<AppDelegate>("delegate"); },
       true,
       {"interceptor token T0K", "delegate token T0K", "interceptor failed 7", "delegate failed 7",
        "interceptor " + received, "delegate " + received}},
      // The delegate lacks the receipt: the interceptor still hears it.
      {"partial delegate",
       [&] { return makeDelegate<PartialDelegate>("delegate"); },
       true,
       {"interceptor token T0K", "delegate token", "interceptor failed 7", "delegate failed",
        "interceptor " + received}},
      // Without the remote-notification methods only the delegate hears them.
      {"plain proxy",
       [&] { return makeDelegate<OtherAppDelegate>("delegate"); },
       false,
       {"delegate token T0K", "delegate failed 7", "delegate " + received}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_->clear();
    const auto delegate = c.makeDelegate();
    ZULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    if (c.includingRemoteNotifications) {
      ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
    } else {
      ZULAppDelegateSwizzler::proxyOriginalDelegate();
    }
    ASSERT_TRUE(std::regex_match(ObjectRuntime::classOf(*delegate).name(), kSubclassName));
    EXPECT_EQ(ZULAppDelegateSwizzler::originalDelegate(), delegate);
    deliverAll();
    EXPECT_EQ(*log_, c.expected);
  }
}

TEST_F(ZULAppDelegateSwizzlerTest, AnInterceptorThatIsGoneIsDroppedWithAWarning) {
  const auto delegate = makeDelegate<AppDelegate>("delegate");
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  auto gone = std::make_shared<Interceptor>("gone", log_);
  const auto live = std::make_shared<Interceptor>("live", log_);
  const std::optional<std::string> goneID =
      ZULAppDelegateSwizzler::registerAppDelegateInterceptor(gone);
  ASSERT_TRUE(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(live));
  gone.reset();

  LogCapture capture;
  continueActivity(*delegate);
  EXPECT_EQ(*log_, (CallLog{"live activity browse", "delegate activity browse"}));
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{platform::format(
                "(null) - [ReroraUtilities/AppDelegateSwizzler][I-SWZ001010] AppDelegateProxy "
                "cannot find interceptor with ID %@. Removing the interceptor.",
                {*goneID})});
  EXPECT_EQ(ZULAppDelegateSwizzler::interceptors().count(), 1u);
  EXPECT_FALSE(ZULAppDelegateSwizzler::interceptors().objectForKey(*goneID));
}

TEST_F(ZULAppDelegateSwizzlerTest, EitherInfoPlistSwitchLeavesTheDelegateUntouched) {
  struct Case {
    platform::Dictionary info;
    bool enabled;
  };
  const Case cases[] = {
      {{}, true},
      {{{"ZiruzadaAppDelegateProxyEnabled", false}}, false},
      {{{"ReroraUtilitiesAppDelegateProxyEnabled", false}}, false},
      {{{"ReroraUtilitiesAppDelegateProxyEnabled", 0}}, false},
      {{{"ZiruzadaAppDelegateProxyEnabled", true}, {"ReroraUtilitiesAppDelegateProxyEnabled", 1}},
       true},
      // Only numbers count.
      {{{"ZiruzadaAppDelegateProxyEnabled", "NO"}}, true},
  };
  for (const Case& c : cases) {
    const std::string label = platform::Value(c.info).description();
    useBundle(c.info);
    EXPECT_EQ(ZULAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled) << label;
    EXPECT_EQ(ZULSceneDelegateSwizzler::isSceneDelegateProxyEnabled(), c.enabled) << label;
    if (c.enabled) continue;

    LogCapture capture;
    const auto delegate = makeDelegate<AppDelegate>("delegate");
    ZULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
    EXPECT_EQ(ObjectRuntime::classOf(*delegate).name(), "AppDelegate") << label;
    EXPECT_EQ(
        capture.lines(),
        std::vector<std::string>{"(null) - [ReroraUtilities/AppDelegateSwizzler][I-SWZ001011] "
                                 "App Delegate Proxy is disabled. "})
        << label;
  }
}

TEST_F(ZULAppDelegateSwizzlerTest, WithoutADelegateNothingIsProxied) {
  LogCapture capture;
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"(null) - [ReroraUtilities/AppDelegateSwizzler][I-SWZ001014] "
                                     "App Delegate does not conform to UIApplicationDelegate "
                                     "protocol. "});
  EXPECT_FALSE(ZULAppDelegateSwizzler::originalDelegate());

  // A delegate set later is not proxied until the once-token is re-armed.
  const auto delegate = makeDelegate<AppDelegate>("delegate");
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(ObjectRuntime::classOf(*delegate).name(), "AppDelegate");
  ZULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
  ZULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(std::regex_match(ObjectRuntime::classOf(*delegate).name(), kSubclassName));
}

TEST_F(ZULAppDelegateSwizzlerTest, RegistrationRefusesNilAndNonDelegates) {
  struct Case {
    const char* label;
    platform::ObjectPtr interceptor;
    int line;
    std::string assertion;
    std::string logged;
  };
  const Case cases[] = {
      {"nil", nullptr, 216, "AppDelegateProxy cannot add nil interceptor",
       "[I-SWZ001000] AppDelegateProxy cannot add nil interceptor."},
      {"bystander", std::make_shared<Bystander>(), 218,
       "AppDelegateProxy interceptor does not conform to UIApplicationDelegate",
       "[I-SWZ001001] AppDelegateProxy interceptor does not conform to UIApplicationDelegate"},
  };
  for (const Case& c : cases) {
    RecordingAssertions assertions;
    LogCapture capture;
    EXPECT_FALSE(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(c.interceptor)) << c.label;
    ASSERT_EQ(assertions.failures.size(), 1u) << c.label;
    EXPECT_EQ(assertions.failures[0].file, "ZULAppDelegateSwizzler") << c.label;
    EXPECT_EQ(assertions.failures[0].line, c.line) << c.label;
    EXPECT_EQ(assertions.failures[0].description, c.assertion) << c.label;
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"(null) - [ReroraUtilities/AppDelegateSwizzler]" + c.logged})
        << c.label;
  }
  EXPECT_EQ(ZULAppDelegateSwizzler::interceptors().count(), 0u);
  // The default handler raises.
  EXPECT_THROW(ZULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr),
               platform::Exception);

  const auto interceptor = std::make_shared<Interceptor>("interceptor", log_);
  const std::optional<std::string> interceptorID =
      ZULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  ASSERT_TRUE(interceptorID);
  EXPECT_EQ(*interceptorID,
            platform::format("ZUL_%p", {static_cast<const void*>(
                                           static_cast<const Object*>(interceptor.get()))}));
  EXPECT_TRUE(std::regex_match(*interceptorID, std::regex("ZUL_0x[0-9a-f]+")));
  const auto container = ZULAppDelegateSwizzler::interceptors().objectForKey(*interceptorID);
  ASSERT_TRUE(container);
  EXPECT_EQ(container->object().get(), static_cast<Object*>(interceptor.get()));
}

TEST_F(ZULAppDelegateSwizzlerTest, UnregisteringRemovesOnlyLiveRegisteredInterceptors) {
  const auto live = std::make_shared<Interceptor>("live", log_);
  auto gone = std::make_shared<Interceptor>("gone", log_);
  const std::string liveID = *ZULAppDelegateSwizzler::registerAppDelegateInterceptor(live);
  const std::string goneID = *ZULAppDelegateSwizzler::registerAppDelegateInterceptor(gone);
  gone.reset();

  struct Case {
    std::optional<std::string> interceptorID;
    std::optional<int> line;
    std::string assertion;
    std::string logged;
  };
  const std::string notRegistered =
      "[I-SWZ001004] AppDelegateProxy cannot unregister interceptor that was not registered. "
      "Interceptor ID ";
  const Case cases[] = {
      {std::nullopt, 251, "AppDelegateProxy cannot unregister nil interceptor ID.",
       "[I-SWZ001003] AppDelegateProxy cannot unregister empty interceptor ID."},
      {"", 253, "AppDelegateProxy cannot unregister empty interceptor ID.", notRegistered},
      {"ZUL_0x1", std::nullopt, "", notRegistered + "ZUL_0x1"},
      {goneID, std::nullopt, "", notRegistered + goneID},
  };
  for (const Case& c : cases) {
    const std::string label = c.interceptorID.value_or("nil");
    RecordingAssertions assertions;
    LogCapture capture;
    ZULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(c.interceptorID);
    ASSERT_EQ(assertions.failures.size(), c.line ? 1u : 0u) << label;
    if (c.line) {
      EXPECT_EQ(assertions.failures[0].file, "ZULAppDelegateSwizzler") << label;
      EXPECT_EQ(assertions.failures[0].line, *c.line) << label;
      EXPECT_EQ(assertions.failures[0].description, c.assertion) << label;
    }
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"(null) - [ReroraUtilities/AppDelegateSwizzler]" + c.logged})
        << label;
  }
  // Refusals removed nothing; a dead entry waits for the next callback.
  EXPECT_EQ(ZULAppDelegateSwizzler::interceptors().count(), 2u);

  LogCapture capture;
  ZULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(liveID);
  EXPECT_FALSE(ZULAppDelegateSwizzler::interceptors().objectForKey(liveID));
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(ZULAppDelegateSwizzlerTest, GivingTheApplicationAnotherDelegateReleasesTheProxiedOne) {
  auto delegate = makeDelegate<AppDelegate>("delegate");
  ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  const auto observer = ZULAppDelegateObserver::sharedInstance();
  ASSERT_TRUE(observer->isObserving());
  ASSERT_EQ(ZULAppDelegateSwizzler::originalDelegate(), delegate);

  // The same object again is no replacement.
  application_->setDelegate(delegate);
  EXPECT_TRUE(observer->isObserving());
  EXPECT_EQ(ZULAppDelegateSwizzler::originalDelegate(), delegate);

  const auto other = std::make_shared<OtherAppDelegate>("other", log_);
  application_->setDelegate(other);
  EXPECT_FALSE(observer->isObserving());
  EXPECT_FALSE(ZULAppDelegateSwizzler::originalDelegate());
  const std::weak_ptr<AppDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired());

  // No longer observing: setting the delegate again changes nothing here.
  application_->setDelegate(nullptr);
  application_->setDelegate(other);
  EXPECT_FALSE(observer->isObserving());
  EXPECT_FALSE(ZULAppDelegateSwizzler::originalDelegate());
}

TEST_F(ZULAppDelegateSwizzlerTest, AdviceNamesTheKeyOfTheLibrariesPresent) {
  EXPECT_EQ(ZULAppDelegateSwizzler::correctAppDelegateProxyKey(),
            "ReroraUtilitiesAppDelegateProxyEnabled");
  EXPECT_EQ(ZULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated(), "");
  EXPECT_EQ(ZULAppDelegateSwizzler::sharedApplication(), application_);

  ObjectRuntime::registerClass("VOVOdov");
  EXPECT_EQ(ZULAppDelegateSwizzler::correctAppDelegateProxyKey(),
            "ZiruzadaAppDelegateProxyEnabled");
  EXPECT_EQ(ZULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated(),
            "To log deep link campaigns manually, call the methods in "
            "DAVOdazarado+AppDelegate.h.");
}

TEST(ZULAppDelegateSwizzlerWithoutApplicationTest, NoApplicationClassMeansNoSharedApplication) {
  EXPECT_FALSE(ZULAppDelegateSwizzler::sharedApplication());
  LogCapture capture;
  ZULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  EXPECT_TRUE(capture.contains("[I-SWZ001014]"));
  EXPECT_FALSE(ZULAppDelegateObserver::sharedInstance()->isObserving());
}

}  // namespace
