#include "foundation/ZIRConfiguration.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/ZULLogger.h"
#include "foundation/tests/log_capture.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "tests/support/temp_home.h"

namespace {

class ZIRConfigurationTest : public testing_support::TemporaryHomeTest {};

// Records the notifications the analytics switch posts.
class SwitchObserver {
 public:
  SwitchObserver() {
    token_ = platform::NotificationCenter::defaultCenter().addObserver(
        DAVOdazaradoConfiguration::kSetEnabledNotification, nullptr, nullptr,
        [this](const platform::Notification& n) { notifications_.push_back(n); });
  }
  ~SwitchObserver() { platform::NotificationCenter::defaultCenter().removeObserver(token_); }
  const std::vector<platform::Notification>& notifications() const { return notifications_; }

 private:
  platform::ObserverToken token_;
  std::vector<platform::Notification> notifications_;
};

TEST_F(ZIRConfigurationTest, LoggerLevelMovesTheLimit) {
  const auto configuration = ZIRConfiguration::sharedInstance();
  configuration->setLoggerLevel(ZULLoggerLevelDebug);
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));
  configuration->setLoggerLevel(ZULLoggerLevelError);
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelError));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelWarning));
}

TEST_F(ZIRConfigurationTest, InvalidLoggerLevelFailsTheAssertionAndChangesNothing) {
  const auto configuration = ZIRConfiguration::sharedInstance();
  configuration->setLoggerLevel(ZULLoggerLevelWarning);

  // The default handler raises.
  try {
    configuration->setLoggerLevel(8);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
    EXPECT_EQ(e.reason(), "Invalid logger level, 8");
  }
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelWarning));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelNotice));

  // A handler that returns lets the call go on to the logger, which refuses the level.
  std::vector<platform::AssertionHandler::Failure> failures;
  platform::AssertionHandler::setHandler(
      [&](const platform::AssertionHandler::Failure& f) { failures.push_back(f); });
  LogCapture capture;
  configuration->setLoggerLevel(2);
  platform::AssertionHandler::setHandler(nullptr);

  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].file, "ZIRConfiguration");
  EXPECT_EQ(failures[0].line, 42);
  EXPECT_EQ(failures[0].description, "Invalid logger level, 2");
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"10.27.0 - [ZULLogger][I-COR000023] Invalid logger level, 2"});
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelWarning));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelNotice));
}

TEST_F(ZIRConfigurationTest, AnalyticsConfigurationIsTheSharedSwitchUntilReplaced) {
  const auto configuration = ZIRConfiguration::sharedInstance();
  EXPECT_EQ(configuration, ZIRConfiguration::sharedInstance());
  EXPECT_EQ(configuration->analyticsConfiguration(), DAVOdazaradoConfiguration::sharedInstance());
  const auto replacement = std::make_shared<DAVOdazaradoConfiguration>();
  configuration->setAnalyticsConfiguration(replacement);
  EXPECT_EQ(configuration->analyticsConfiguration(), replacement);
}

TEST_F(ZIRConfigurationTest, CollectionSwitchPersistsOnlyWhenAskedAndAlwaysAnnounces) {
  const auto analytics = DAVOdazaradoConfiguration::sharedInstance();
  const auto defaults = platform::UserDefaults::standard();
  const char* key = "/rerora/measurement/measurement_enabled_state";
  SwitchObserver observer;

  struct Step {
    bool enabled;
    std::optional<bool> persist;  // none: the one-argument form, which persists
    std::optional<platform::Value> stored;
  } const steps[] = {
      {false, false, std::nullopt},  // the path of the per-app data-collection switch
      {true, std::nullopt, 1},
      {false, true, 2},
      {true, false, 2},
  };
  for (const Step& step : steps) {
    if (step.persist) {
      analytics->setAnalyticsCollectionEnabled(step.enabled, *step.persist);
    } else {
      analytics->setAnalyticsCollectionEnabled(step.enabled);
    }
    EXPECT_EQ(defaults->objectForKey(key), step.stored);
  }

  ASSERT_EQ(observer.notifications().size(), std::size(steps));
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const platform::Notification& n = observer.notifications()[i];
    EXPECT_EQ(n.object, analytics.get());
    EXPECT_EQ(n.userInfo, (platform::Dictionary{{"DAVOdazaradoConfigurationSetEnabledNotification",
                                                 steps[i].enabled}}));
    EXPECT_TRUE(n.userInfo["DAVOdazaradoConfigurationSetEnabledNotification"].isBool());
  }
}

TEST_F(ZIRConfigurationTest, NotificationsNeedANameAndAValue) {
  const auto analytics = DAVOdazaradoConfiguration::sharedInstance();
  std::vector<platform::Notification> seen;
  const auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "", analytics.get(), nullptr, [&](const platform::Notification& n) { seen.push_back(n); });
  analytics->postNotificationName("", platform::Value(true));
  analytics->postNotificationName("SomeName", std::nullopt);
  analytics->postNotificationName("SomeName", platform::Value("x"));
  platform::NotificationCenter::defaultCenter().removeObserver(token);

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "SomeName");
  EXPECT_EQ(seen[0].userInfo, (platform::Dictionary{{"SomeName", "x"}}));
}

}  // namespace
