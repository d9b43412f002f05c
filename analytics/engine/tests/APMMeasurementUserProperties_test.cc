// The measurement core's writes of user properties and default event parameters, on a core
// with its own database and persisted configuration in a temporary home.
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "analytics/engine/tests/error_events.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::RecordingMonitor;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;

constexpr double kNow = 1'700'000'000;

using analytics_test::ErrorEvents;

std::shared_ptr<const APMUserAttribute> attribute(const std::string& origin,
                                                  const std::string& name, Value value) {
  auto typed = value.isString() ? APMValue::initWithString(value)
                                : APMValue::initWithInt64(value.integerValue());
  return APMUserAttribute::initWithOrigin(origin, name, Value(typed), kNow);
}

class APMMeasurementUserPropertiesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    // The core's monitor installs itself once per process; the recording one goes over it.
    APMMeasurement::monitor();
    monitor_.emplace();
    APMSetInternalEventLogging(errors_);
    persisted_ = APMPersistedConfig::initWithSuiteName("com.rerora.viz.measurement.tests");
    ASSERT_TRUE(persisted_);
  }

  void TearDown() override {
    if (core_) run([] {});
    core_.reset();
    APMSetInternalEventLogging(nullptr);
    monitor_.reset();
  }

  // A started core; collection as given.
  void startCore(bool collectionEnabled = true) {
    auto scheduler = std::make_shared<APMScheduler>(APMMeasurement::kWorkerQueueLabel);
    auto alarm =
        APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), APMMeasurement::kAlarmName);
    core_ = APMMeasurement::initWithDatabaseName(
        APMMeasurement::kDatabaseName, persisted_, nullptr, std::move(scheduler), std::move(alarm),
        "1:123:ios:abc", collectionEnabled, false, std::nullopt, nullptr);
    ASSERT_TRUE(core_);
    bool started = false;
    run([&] { started = core_->startMeasurementOnWorkerQueue(); });
    ASSERT_TRUE(started);
    ASSERT_TRUE(core_->database());
    ASSERT_TRUE(core_->identity());
  }

  // Runs on the worker queue, after everything scheduled before.
  void run(const platform::Task& task) {
    core_->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", task);
  }

  bool write(const std::shared_ptr<const APMUserAttribute>& property) {
    bool stored = false;
    run([&] { stored = core_->setUserPropertyInDatabaseOnWorkerQueue(property); });
    return stored;
  }

  bool isStored(const std::string& name) {
    std::optional<bool> contains;
    run([&] { contains = core_->database()->containsUserAttributeWithName(name, nullptr); });
    return contains.value_or(false);
  }

  std::string storedText(const std::string& name) {
    std::string text = "(none)";
    run([&] {
      if (auto stored = core_->database()->userAttributeWithName(name, nullptr)) {
        text = stored->value()->value().description();
      }
    });
    return text;
  }

  // The token the identity hands out for an unchanged session: a new one only after a reset.
  std::string stitchingToken() {
    std::string token;
    run([&] {
      token =
          core_->identity()->sessionStitchingTokenWithSessionNumber(1, false, true).value_or("");
    });
    return token;
  }

  std::vector<std::int64_t> codesLogged() const {
    std::vector<std::int64_t> codes;
    for (const RecordingMonitor::Line& line : (*monitor_)->lines()) {
      if (line.messageCode >= 23000 && line.messageCode <= 23267) {
        codes.push_back(line.messageCode);
      }
    }
    return codes;
  }

  std::shared_ptr<ErrorEvents> errors_ = std::make_shared<ErrorEvents>();
  std::optional<analytics_test::ScopedMonitor> monitor_;
  std::shared_ptr<APMPersistedConfig> persisted_;
  std::shared_ptr<APMMeasurement> core_;
};

TEST_F(APMMeasurementUserPropertiesTest, DefaultsLieUnderTheEventsOwnParameters) {
  startCore();
  const Dictionary given{{"b", "event"}, {"c", 3}};
  EXPECT_EQ(core_->parametersWithAddedDefaultEventParameters(given), given);

  persisted_->setDefaultEventParameters(Dictionary{{"a", 1}, {"b", "default"}});
  EXPECT_EQ(core_->parametersWithAddedDefaultEventParameters(given),
            (Dictionary{{"a", 1}, {"b", "event"}, {"c", 3}}));

  // A changed file: what could not have been stored stays out of every event.
  persisted_->setDefaultEventParameters(Dictionary{{"a", 1},
                                                   {"_o", "forged"},
                                                   {"nested", Dictionary{{"k", 1}}},
                                                   {"blob", platform::Data::fromString("x")}});
  EXPECT_EQ(core_->parametersWithAddedDefaultEventParameters(given),
            (Dictionary{{"a", 1}, {"b", "event"}, {"c", 3}}));
  Dictionary tooMany;
  for (int i = 0; i < 101; ++i) tooMany.set("p" + std::to_string(i), i);
  persisted_->setDefaultEventParameters(tooMany);
  EXPECT_EQ(core_->parametersWithAddedDefaultEventParameters(given), given);
}

Dictionary numbered(int count) {
  Dictionary parameters;
  for (int i = 0; i < count; ++i) {
    parameters.set((i < 10 ? "p0" : "p") + std::to_string(i), i);
  }
  return parameters;
}

struct DefaultsCase {
  const char* what;
  std::optional<Dictionary> stored;
  std::optional<Dictionary> given;
  Dictionary expected;
  std::vector<std::int64_t> errorEvents;
  std::vector<std::int64_t> warnings;  // monitor codes at level 4
};

TEST_F(APMMeasurementUserPropertiesTest, DefaultParametersAreCheckedMergedAndCapped) {
  const DefaultsCase cases[] = {
      {"no dictionary clears every default",
       Dictionary{{"a", 1}, {"b", "x"}},
       std::nullopt,
       Dictionary{},
       {},
       {}},
      {"a null value removes only its own name",
       Dictionary{{"x", 1}, {"y", 2}},
       Dictionary{{"x", nullptr}},
       Dictionary{{"y", 2}},
       {},
       {}},
      {"new names join the stored ones, a given one replaces",
       Dictionary{{"a", 1}},
       Dictionary{{"a", 2}, {"b", 2.5}},
       Dictionary{{"a", 2}, {"b", 2.5}},
       {},
       {}},
      {"an array is refused with error event 27",
       std::nullopt,
       Dictionary{{"a", 1}, {"b", Array{Value(1), Value(2)}}},
       Dictionary{{"a", 1}},
       {27},
       {23213}},
      {"a dictionary is refused without an error event",
       std::nullopt,
       Dictionary{{"a", 1}, {"d", Dictionary{{"k", 1}}}},
       Dictionary{{"a", 1}},
       {},
       {23213}},
      {"names that are not public are refused",
       std::nullopt,
       Dictionary{{"_x", 1}, {"1a", 1}, {"ziruzada_a", 1}, {"ok", 1}},
       Dictionary{{"ok", 1}},
       {},
       {23214, 23214, 23214}},
      {"a value too long is dropped quietly",
       std::nullopt,
       Dictionary{{"long", std::string(101, 'v')}, {"short", std::string(100, 'v')}},
       Dictionary{{"short", std::string(100, 'v')}},
       {},
       {}},
      {"stored entries that could not have been stored are dropped",
       Dictionary{{"ok", 1}, {"_o", "forged"}, {"list", Array{Value(1)}}},
       Dictionary{{"b", 2}},
       Dictionary{{"ok", 1}, {"b", 2}},
       {},
       {}},
      {"thirty are trimmed to twenty-five, the last names first",
       std::nullopt,
       numbered(30),
       numbered(25),
       {26},
       {23215}},
  };
  startCore();
  for (const DefaultsCase& c : cases) {
    SCOPED_TRACE(c.what);
    persisted_->setDefaultEventParameters(c.stored);
    const std::size_t errorsBefore = errors_->codes().size();
    const std::size_t linesBefore = (*monitor_)->lines().size();

    run([&] { core_->handleSetDefaultEventParametersOnWorkerQueue(c.given); });

    EXPECT_EQ(persisted_->defaultEventParameters(), c.expected);
    const auto errors = errors_->codes();
    EXPECT_EQ(std::vector<std::int64_t>(errors.begin() + errorsBefore, errors.end()),
              c.errorEvents);
    std::vector<std::int64_t> warnings;
    const auto lines = (*monitor_)->lines();
    for (auto line = lines.begin() + linesBefore; line != lines.end(); ++line) {
      if (line->level == 4 && line->messageCode >= 23000) warnings.push_back(line->messageCode);
    }
    EXPECT_EQ(warnings, c.warnings);
  }
}

TEST_F(APMMeasurementUserPropertiesTest, ADisabledCoreKeepsItsDefaults) {
  startCore(false);
  persisted_->setDefaultEventParameters(Dictionary{{"a", 1}});
  core_->setDefaultEventParameters(std::nullopt);
  run([] {});
  EXPECT_EQ(persisted_->defaultEventParameters(), (Dictionary{{"a", 1}}));
  EXPECT_THAT(codesLogged(), Contains(23211));
}

TEST_F(APMMeasurementUserPropertiesTest, ANewUserIDResetsTheStitchingTokenAndTheResetMarker) {
  startCore();
  ASSERT_TRUE(write(attribute("app", "_id", "first")));
  ASSERT_TRUE(write(attribute("auto", "_lair", 1)));
  const std::string before = stitchingToken();

  ASSERT_TRUE(write(attribute("app", "_id", "second")));
  EXPECT_FALSE(isStored("_lair"));
  const std::string after = stitchingToken();
  EXPECT_NE(after, before);
  EXPECT_EQ(storedText("_id"), "second");

  // The same identifier again touches neither.
  ASSERT_TRUE(write(attribute("auto", "_lair", 1)));
  ASSERT_TRUE(write(attribute("app", "_id", "second")));
  EXPECT_TRUE(isStored("_lair"));
  EXPECT_EQ(stitchingToken(), after);
}

TEST_F(APMMeasurementUserPropertiesTest, RemovingTheUserIDResetsTheTokenEvenWhenNoneIsStored) {
  startCore();
  const std::string before = stitchingToken();
  run([&] { core_->removeUserAttributeOnWorkerQueue(attribute("app", "_id", 0)); });
  EXPECT_NE(stitchingToken(), before);
  EXPECT_THAT(codesLogged(), Contains(23078));
}

struct LimitCase {
  const char* what;
  const char* origin;
  const char* prefix;  // "" for names the application gives
};

TEST_F(APMMeasurementUserPropertiesTest, TheTwentySixthNewPropertyIsRefusedAReplacementIsNot) {
  const LimitCase cases[] = {
      {"internal properties, counted per origin", "am", "_c"},
      {"the application's properties, counted together", "app", "c"},
  };
  startCore();
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.what);
    const auto name = [&](int i) { return std::string(c.prefix) + std::to_string(i); };
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(write(attribute(c.origin, name(i), i)));
    const std::size_t errorsBefore = errors_->codes().size();

    EXPECT_FALSE(write(attribute(c.origin, name(25), 25)));
    EXPECT_FALSE(isStored(name(25)));
    EXPECT_THAT(codesLogged(), Contains(23084));
    const auto errors = errors_->codes();
    EXPECT_THAT(std::vector<std::int64_t>(errors.begin() + errorsBefore, errors.end()),
                ElementsAre(9));

    EXPECT_TRUE(write(attribute(c.origin, name(3), 300)));
    EXPECT_EQ(storedText(name(3)), "300");
  }
  // Another origin's internal properties have their own count.
  EXPECT_TRUE(write(attribute("fa", "_other", 1)));
}

TEST_F(APMMeasurementUserPropertiesTest, WithCollectionOffOnlyTheCoresOwnWritesGoThrough) {
  startCore(false);
  ASSERT_TRUE(write(attribute("auto", "_kept", 1)));
  EXPECT_TRUE(isStored("_kept"));

  core_->setUserAttribute(attribute("app", "added", "v"));
  core_->removeUserAttribute(attribute("app", "_kept", 0));
  EXPECT_FALSE(isStored("added"));
  EXPECT_TRUE(isStored("_kept"));
  EXPECT_THAT(codesLogged(), Contains(23081));
  EXPECT_THAT(codesLogged(), Contains(23076));
  EXPECT_THAT(errors_->codes(), IsEmpty());
}

TEST_F(APMMeasurementUserPropertiesTest, TheFrontsWritesReachTheDatabaseInOrder) {
  startCore();
  core_->setUserAttribute(attribute("app", "colour", "red"));
  core_->setUserAttribute(attribute("app", "colour", "blue"));
  core_->setUserAttribute(attribute("app", "gone", "x"));
  core_->removeUserAttribute(attribute("app", "gone", 0));
  EXPECT_EQ(storedText("colour"), "blue");
  EXPECT_FALSE(isStored("gone"));
  EXPECT_THAT(codesLogged(), Not(Contains(23077)));
}

TEST_F(APMMeasurementUserPropertiesTest, TheNonPersonalizedAdsPropertySetsTheConsentItMeans) {
  startCore();
  for (const auto& [npa, consent] : {std::pair{1, 0}, std::pair{0, 1}, std::pair{1, 0}}) {
    SCOPED_TRACE(npa);
    ASSERT_TRUE(write(attribute("auto", "_npa", npa)));
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), consent);
  }
}

}  // namespace
