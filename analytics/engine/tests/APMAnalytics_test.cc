// The internal API in a process of its own per case: the start is once per process and the
// operation queue holds everything logged before it.
#include "analytics/engine/APMAnalytics.h"

#include <atomic>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/tests/recording_core.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/DAVOdazaradoConfiguration.h"
#include "platform/notification_center.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::RecordingCore;
using analytics_test::ScopedMonitor;

constexpr const char* kAppID = "1:123:ios:abc";

std::int64_t integerOf(const platform::Value& value) {
  if (const auto typed = APMValueOf(value)) return typed->int64Value();
  return value.integerValue();
}

class APMAnalyticsTest : public testing_support::TemporaryHomeTest {
 protected:
  static void start(const platform::Dictionary& options = {}) {
    APMAnalytics::startWithAppID(kAppID, "fa", options);
  }
  std::vector<std::int64_t> codes() const {
    RecordingCore::drain();
    std::vector<std::int64_t> codes;
    for (const auto& line : monitor_->lines()) {
      // Only the internal API's own lines; the data side's checks log theirs too.
      if (line.messageCode >= 25000 && line.messageCode <= 25055) codes.push_back(line.messageCode);
    }
    return codes;
  }

  std::shared_ptr<RecordingCore> core_ = RecordingCore::install();
  ScopedMonitor monitor_;
};

TEST_F(APMAnalyticsTest, EventsLoggedBeforeStartArriveAfterItInOrderWithTheirCallTimes) {
  testing_support::ManualClockScope clock;
  for (int i = 0; i < 10; ++i) {
    APMAnalytics::logEventWithOrigin("app", "event_" + std::to_string(i), {{"n", i}});
    clock.advance(1);
  }
  // Nothing moves before start: there is no core to take the events.
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_TRUE(core_->events().empty());

  start();
  const auto events = core_->events();
  ASSERT_EQ(events.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(events[i].name, "event_" + std::to_string(i));
    EXPECT_EQ(events[i].origin, "app");
    EXPECT_TRUE(events[i].isPublicEvent);
    EXPECT_EQ(events[i].timestamp, 1'700'000'000.0 + i);
    EXPECT_EQ(events[i].parameters["n"], platform::Value(i));
    EXPECT_TRUE(events[i].enabled);
  }
}

TEST_F(APMAnalyticsTest, ConcurrentProducersKeepTheirOwnOrderAndTimestampsNeverGoBack) {
  start();
  constexpr int kProducers = 8;
  constexpr int kEach = 50;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p] {
      for (int n = 0; n < kEach; ++n) {
        APMAnalytics::logEventWithOrigin("app", "producer_" + std::to_string(p), {{"n", n}});
      }
    });
  }
  for (auto& producer : producers) producer.join();

  const auto events = core_->events();
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kProducers * kEach));
  std::map<std::string, std::int64_t> next;
  double previous = 0;
  for (const auto& event : events) {
    EXPECT_EQ(event.parameters["n"].integerValue(), next[event.name]++) << event.name;
    EXPECT_GE(event.timestamp, previous);
    previous = event.timestamp;
  }
}

TEST_F(APMAnalyticsTest, ScreenViewsGoToTheReporterAndNeverToTheCore) {
  start();
  APMAnalytics::logEventWithOrigin("app", "screen_view", {{"screen_name", "rename"}});
  APMAnalytics::logEventWithOrigin("app", false, "screen_view", {});
  APMAnalytics::logEventWithOrigin("app", "after", {});
  EXPECT_EQ(core_->names(), std::vector<std::string>{"after"});
}

TEST_F(APMAnalyticsTest, ASecondStartCreatesNothingMore) {
  int willStart = 0;
  const auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      APMAnalytics::kWillStartNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++willStart; });
  start();
  RecordingCore::drain();
  const auto core = APMMeasurement::sharedInstance();
  ASSERT_TRUE(core);
  APMAnalytics::startWithAppID("1:999:ios:def", "fa", {});
  RecordingCore::drain();
  EXPECT_EQ(APMMeasurement::sharedInstance(), core);
  EXPECT_EQ(willStart, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(APMAnalyticsTest, OtherOriginsAreRefusedWhileThePublicFrontExists) {
  RecordingCore::drain();  // the recorder registered the front
  APMAnalytics::startWithAppID(kAppID, "am", {});
  RecordingCore::drain();
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(codes(), std::vector<std::int64_t>{25026});
}

TEST_F(APMAnalyticsTest, DeactivationWinsOverEveryEnablingRequest) {
  start({{APMAnalytics::kOptionCollectionEnabled, true},
         {APMAnalytics::kOptionCollectionDeactivated, true},
         {APMAnalytics::kOptionLogTag, "tag"}});
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  APMAnalytics::setAnalyticsEnabled(true, true);
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
  APMAnalytics::logEventWithOrigin("app", "while_off", {});
  const auto events = core_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].enabled);

  APMAnalytics::setAnalyticsEnabled(false, true);
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
}

TEST_F(APMAnalyticsTest, ConfigurationNotificationsSwitchCollection) {
  auto configuration = std::make_shared<DAVOdazaradoConfiguration>();
  start({{APMAnalytics::kOptionConfiguration,
          platform::Value(std::make_shared<APMAnalyticsConfigurationValue>(configuration))}});
  EXPECT_TRUE(APMAnalytics::analyticsEnabled());
  configuration->setAnalyticsCollectionEnabled(false, false);
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  // Another sender is not listened to; a value that is not a number is refused.
  DAVOdazaradoConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(true, false);
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  configuration->postNotificationName(DAVOdazaradoConfiguration::kSetEnabledNotification,
                                      platform::Value("yes"));
  EXPECT_FALSE(APMAnalytics::analyticsEnabled());
  // Options without a log tag, the first app ID this home has seen, the refused value.
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25030, 25020, 25000}));
}

TEST_F(APMAnalyticsTest, RefusedNamesBecomeErrorEventsAndAreNotLogged) {
  start();
  struct Case {
    std::optional<std::string> name;
    std::int64_t code;
    std::string reported;
  } const cases[] = {
      {"first_open", 13, "first_open"},
      {"ziruzada_thing", 13, "ziruzada_thing"},
      {"rerora_x", 13, "rerora_x"},
      {"da_x", 13, "da_x"},
      {"1starts_with_digit", 2, "1starts_with_digit"},
      {"has space", 2, "has space"},
      {std::nullopt, 2, "(nil)"},
  };
  for (const Case& c : cases) {
    core_->clear();
    APMAnalytics::logEventWithOrigin("app", c.name, {});
    const auto events = core_->events();
    ASSERT_EQ(events.size(), 1u) << c.reported;
    EXPECT_EQ(events[0].name, "_err");
    EXPECT_EQ(events[0].origin, "auto");
    EXPECT_FALSE(events[0].isPublicEvent);
    EXPECT_EQ(integerOf(events[0].parameters["_err"]), c.code) << c.reported;
    const auto reported = APMValueOf(events[0].parameters["_ev"]);
    ASSERT_TRUE(reported) << c.reported;
    EXPECT_EQ(reported->stringValue(), c.reported);
  }
}

TEST_F(APMAnalyticsTest, SessionIDBeforeStartAnswersLaterWithUninitialized) {
  std::promise<std::pair<std::int64_t, platform::ErrorPtr>> answered;
  std::atomic<bool> returned{false};
  std::atomic<bool> answeredBeforeReturn{false};
  APMAnalytics::sessionIDWithCompletion([&](std::int64_t sessionID, platform::ErrorPtr error) {
    if (!returned) answeredBeforeReturn = true;
    answered.set_value({sessionID, error});
  });
  returned = true;
  auto future = answered.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [sessionID, error] = future.get();
  EXPECT_FALSE(answeredBeforeReturn);
  EXPECT_EQ(sessionID, 0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kAPMErrorDomain);
  EXPECT_EQ(error->code(), 13);
  EXPECT_EQ(error->localizedDescription(), "Analytics uninitialized");

  APMAnalytics::sessionIDWithCompletion(nullptr);
  EXPECT_EQ(codes(), std::vector<std::int64_t>{25050});
}

TEST_F(APMAnalyticsTest, UserIDSetsRefusesAndRemovesWithItsSetTime) {
  start();
  APMAnalytics::setUserID(platform::Value("someone"));
  APMAnalytics::setUserID(platform::Value(12));
  APMAnalytics::setUserID(std::nullopt);
  const auto attributes = core_->userAttributes();
  ASSERT_EQ(attributes.size(), 3u);
  EXPECT_EQ(attributes[0].name, "_id");
  EXPECT_EQ(attributes[0].value, platform::Value("someone"));
  EXPECT_EQ(attributes[0].origin, "app");
  EXPECT_EQ(attributes[1].name, "_id");
  EXPECT_FALSE(attributes[1].value);
  EXPECT_EQ(attributes[2].name, "_lair");
  EXPECT_FALSE(attributes[2].value);
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25020, 25004}));
}

TEST_F(APMAnalyticsTest, ThePersonalizedAdsSwitchIsStoredAndBecomesTheNonPersonalizedProperty) {
  start();
  APMAnalytics::setUserPropertyString(platform::Value("NO"), "allow_personalized_ads");
  APMAnalytics::setUserPropertyString(platform::Value("YES"), "allow_personalized_ads");
  APMAnalytics::setUserPropertyString(std::nullopt, "allow_personalized_ads");
  const auto attributes = core_->userAttributes();
  ASSERT_EQ(attributes.size(), 3u);
  for (const auto& attribute : attributes) {
    EXPECT_EQ(attribute.name, "_npa");
    EXPECT_EQ(attribute.origin, "auto");
  }
  EXPECT_EQ(attributes[0].value, platform::Value(1));
  EXPECT_EQ(attributes[1].value, platform::Value(0));
  EXPECT_FALSE(attributes[2].value);
  EXPECT_FALSE(APMPersistedConfig::sharedInstance()->allowPersonalizedAds());
}

TEST_F(APMAnalyticsTest, InvalidConsentValuesAreDroppedOneByOneAndAnEmptyResultIsDiscarded) {
  APMAnalytics::setConsent({{"analytics_storage", "unknown"}});
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25042, 25041}));
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), APMConsentSettingsUtil::kSourceNone);
  EXPECT_FALSE(APMAnalytics::consentSettings1P());
}

TEST_F(APMAnalyticsTest, FrameworkConsentPersistsAsItsOwnLayerAndLoadsBackCapped) {
  APMAnalytics::sharedInstance()->setConsent({{"ad_storage", "denied"}}, "consent_settings_tcf");
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 5);
  const auto stored = APMAnalytics::consentSettingsTCF();
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["ad_storage"], platform::Value("denied"));

  // A lower-priority layer does not overwrite it.
  APMAnalytics::setConsent({{"ad_storage", "granted"}});
  EXPECT_EQ(codes(), std::vector<std::int64_t>{25043});

  APMConsentSettingsUtil::clearAllSettings();
  APMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
}

TEST_F(APMAnalyticsTest, LoadingStoredConsentTakesTheFirstLayerAndCapsItsSource) {
  const platform::Dictionary denied{{"ad_storage", "denied"}};
  struct Case {
    platform::Value source;
    const char* layer;
    platform::Value settings;
    std::int64_t loadedSource;
    bool denied;
  } const cases[] = {
      {30, "consent_settings_3p", denied, 20, true},
      {50, "consent_settings", denied, 40, true},
      {3, "consent_settings_tcf", denied, 3, true},
      {50, "consent_settings_3p", denied, 20, true},
      // Damaged values: a source that is no number means none; a layer that is no
      // dictionary is skipped.
      {"thirty", "consent_settings_3p", denied, 100, false},
      {30, "consent_settings_tcf", "denied", 30, false},
      {30, "consent_settings", platform::Array{1, 2}, 30, false},
  };
  const auto defaults = APMAnalytics::userDefaults();
  for (const Case& c : cases) {
    APMAnalytics::clearConsent();
    defaults->setObject(c.source, "consent_source");
    defaults->setObject(c.settings, c.layer);
    APMAnalytics::loadPersistedConsentSettings();
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.loadedSource) << c.layer;
    EXPECT_EQ(APMConsentSettingsUtil::isAdStorageDenied(), c.denied) << c.layer;
  }
}

TEST_F(APMAnalyticsTest, ListenersHearEventsUntilRemovedAndBadRemovalsAreLogged) {
  APMAnalytics::removeLogEventListener(std::nullopt);
  APMAnalytics::removeLogEventListener(42);  // none was ever added
  EXPECT_FALSE(APMAnalytics::addLogEventListener(nullptr));
  start();
  std::atomic<int> heard{0};
  // Only what this test notifies is counted: the started core's own first open and session
  // start reach the listeners as well.
  const auto token = APMAnalytics::addLogEventListener([&](const auto& event) {
    if (!event) ++heard;
  });
  ASSERT_TRUE(token);
  APMAnalytics::notifyEventListeners(nullptr);
  RecordingCore::drain();
  EXPECT_EQ(heard, 1);
  APMAnalytics::removeLogEventListener(token);
  APMAnalytics::removeLogEventListener(token);
  APMAnalytics::notifyEventListeners(nullptr);
  RecordingCore::drain();
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{25013, 25012, 25020, 25014, 25015}));
}

TEST_F(APMAnalyticsTest, ResetChoosesANewInstanceIDThatTheCoreTakes) {
  start();
  const double before = APMAnalytics::loadTimestamp();
  APMAnalytics::resetAnalyticsData();
  EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
  RecordingCore::drain();
  // The core took the identifier: the retry count and the pending identifier are gone.
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(APMAnalytics::appInstanceIDAfterReset());
  EXPECT_GE(APMAnalytics::loadTimestamp(), before);
}

TEST_F(APMAnalyticsTest, ResetBeforeStartKeepsItsPendingState) {
  APMAnalytics::resetAnalyticsData();
  APMAnalytics::resetAnalyticsData();
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 2);
  const auto pending = APMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(pending);
  EXPECT_EQ(APMAnalytics::appInstanceID(), pending);
  // Damaged stored values read as absent.
  APMAnalytics::userDefaults()->setObject(platform::Value("two"), "reset_retry_count");
  APMAnalytics::userDefaults()->setObject(platform::Value(7), "app_instance_id_after_reset");
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(APMAnalytics::appInstanceIDAfterReset());
}

}  // namespace
