#include "analytics/data/APMIdentity.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/tests/identity_test_support.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/clock.h"
#include "tests/support/main_queue.h"

namespace {

using analytics_test::FakeIdentitySupport;
using platform::Value;

constexpr const char* kZeroID = "00000000-0000-0000-0000-000000000000";

bool isRandomIdentifier(const std::optional<std::string>& id) {
  if (!id || id->size() != 32) return false;
  for (char c : *id) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) ||
        std::islower(static_cast<unsigned char>(c)))
      return false;
  }
  return true;
}

std::vector<std::int64_t> codesOf(const analytics_test::RecordingMonitor& monitor) {
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor.lines()) codes.push_back(line.messageCode);
  return codes;
}

class APMIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Clock::install(clock_);
    remoteConfig_ = std::make_shared<APMRemoteConfig>();
    APMMeasurementSetRemoteConfig(remoteConfig_);
  }
  void TearDown() override {
    APMMeasurementSetRemoteConfig(nullptr);
    platform::Clock::install(nullptr);
  }

  void setSetting(const std::string& key, const std::string& text) {
    remoteConfig_->cachedValueByRemoteConfigKeys().setObject(Value(text), key);
  }

  std::shared_ptr<APMIdentity> makeIdentity() {
    APMIdentity::Dependencies dependencies;
    dependencies.identitySupport = support_;
    dependencies.isAnalyticsStorageDenied = [this] { return analyticsDenied_.load(); };
    dependencies.isAdStorageDenied = [this] { return adDenied_.load(); };
    return APMIdentity::initWithPersistedConfig(config_, dependencies);
  }

  // Past the identifier cache time, so the next read refreshes.
  void expireCache() { clock_->advance(2); }

  analytics_test::ScopedMonitor monitor_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<FakeIdentitySupport> support_ = std::make_shared<FakeIdentitySupport>();
  std::shared_ptr<APMPersistedConfig> config_ = analytics_test::makeMemoryPersistedConfig();
  std::atomic<bool> analyticsDenied_{false};
  std::atomic<bool> adDenied_{false};
};

TEST_F(APMIdentityTest, ConstructionNeedsAPersistedConfig) {
  EXPECT_EQ(APMIdentity::initWithPersistedConfig(nullptr), nullptr);
  ASSERT_EQ(monitor_->lines().size(), 1u);
  EXPECT_EQ(monitor_->lines()[0].messageCode, 20004);
  EXPECT_EQ(monitor_->lines()[0].level, 2);
}

TEST_F(APMIdentityTest, ConstructionCreatesAnAppInstanceIDOnlyWhenAnalyticsStorageIsAllowed) {
  analyticsDenied_ = true;
  auto identity = makeIdentity();
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);

  analyticsDenied_ = false;
  identity = makeIdentity();
  const std::optional<std::string> created = config_->appInstanceID();
  EXPECT_TRUE(isRandomIdentifier(created)) << created.value_or("none");
  EXPECT_EQ(identity->appInstanceID(), created);

  // A stored one is kept by the next identity.
  identity = makeIdentity();
  EXPECT_EQ(identity->appInstanceID(), created);
}

TEST_F(APMIdentityTest, AdStorageDeniedHidesTheAdvertisingIdentifierAndItsHash) {
  support_->setResettableDeviceID("AAAA-1");
  auto identity = makeIdentity();
  ASSERT_EQ(identity->resettableDeviceID(), "AAAA-1");
  ASSERT_EQ(identity->hashedResettableDeviceID(), apm_MD5String("AAAA-1"));

  adDenied_ = true;
  expireCache();
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  // The stored hash stays for when consent comes back.
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("AAAA-1"));
}

TEST_F(APMIdentityTest, ANewAdvertisingIdentifierRotatesTheAppInstanceID) {
  auto identity = makeIdentity();
  const std::optional<std::string> first = identity->appInstanceID();
  ASSERT_TRUE(isRandomIdentifier(first));

  // The first real identifier is only remembered.
  support_->setResettableDeviceID("ID-ONE");
  expireCache();
  EXPECT_EQ(identity->appInstanceID(), first);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("ID-ONE"));
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  // The same one again changes nothing.
  expireCache();
  EXPECT_EQ(identity->appInstanceID(), first);

  // Another one: a new app instance ID and the reset flag.
  support_->setResettableDeviceID("ID-TWO");
  expireCache();
  const std::optional<std::string> second = identity->appInstanceID();
  EXPECT_TRUE(isRandomIdentifier(second));
  EXPECT_NE(second, first);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("ID-TWO"));
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(identity->resettableDeviceID(), "ID-TWO");
}

TEST_F(APMIdentityTest, MissingOrZeroIdentifiersLeaveTheHash) {
  support_->setResettableDeviceID("ID-ONE");
  auto identity = makeIdentity();
  ASSERT_EQ(identity->resettableDeviceID(), "ID-ONE");

  // None or empty: the cached identifier stays.
  for (const std::optional<std::string>& answer :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    support_->setResettableDeviceID(answer);
    expireCache();
    EXPECT_EQ(identity->resettableDeviceID(), "ID-ONE");
  }

  // The all-zero identifier clears it.
  support_->setResettableDeviceID(kZeroID);
  expireCache();
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("ID-ONE"));
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(APMIdentityTest, TrackingStatusAndTheGate) {
  struct Case {
    bool hasLimitedAdTracking;
    bool hasStatus;
    std::uint64_t status;
    bool gate;
    std::uint64_t reported;
    bool fetched;
  } cases[] = {
      {false, true, 3, true, 6, false},
      {true, false, 3, true, 5, false},
      {true, true, 0, true, 4, false},
      {true, true, 1, true, 1, false},
      {true, true, 2, true, 2, false},
      {true, true, 3, true, 3, true},
      {true, true, 4, true, 5, false},
      {true, true, std::numeric_limits<std::uint64_t>::max(), true, 5, false},
      // With the gate off the identifier is read whatever the status.
      {false, true, 3, false, 6, true},
      {true, true, 2, false, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << c.status << " gate " << c.gate);
    setSetting("measurement.attmas_gate", c.gate ? "1" : "0");
    support_->setStatus(c.hasLimitedAdTracking, c.hasStatus, c.status);
    support_->setResettableDeviceID("ID-" + std::to_string(c.status));
    auto identity = makeIdentity();
    EXPECT_EQ(identity->appleConsentStatus(), c.reported);
    EXPECT_EQ(identity->resettableDeviceID().has_value(), c.fetched);
    EXPECT_EQ(identity->hasLimitedAdTracking(), c.hasLimitedAdTracking);
  }
}

TEST_F(APMIdentityTest, RefreshesAtMostOncePerCacheTime) {
  setSetting("measurement.ad_id_cache_time", "60000");
  support_->setResettableDeviceID("ID-ONE");
  support_->setLimitedAdTracking(true);
  auto identity = makeIdentity();
  EXPECT_EQ(identity->resettableDeviceID(), "ID-ONE");
  EXPECT_TRUE(identity->limitedAdTracking());
  const int fetches = support_->fetches();

  support_->setResettableDeviceID("ID-TWO");
  support_->setLimitedAdTracking(false);
  clock_->advance(59);
  EXPECT_EQ(identity->resettableDeviceID(), "ID-ONE");
  EXPECT_TRUE(identity->limitedAdTracking());
  EXPECT_EQ(support_->fetches(), fetches);

  clock_->advance(1);
  EXPECT_EQ(identity->resettableDeviceID(), "ID-TWO");
  EXPECT_FALSE(identity->limitedAdTracking());

  // A last update in the future (the clock was set back) does not hold the refresh off.
  support_->setResettableDeviceID("ID-THREE");
  clock_->setNow(platform::Date::fromTimeIntervalSince1970(1'000'000'000));
  EXPECT_EQ(identity->resettableDeviceID(), "ID-THREE");
}

TEST_F(APMIdentityTest, AMissingAppInstanceIDIsCreatedAtTheNextRefresh) {
  setSetting("measurement.ad_id_cache_time", "60000");
  auto identity = makeIdentity();
  ASSERT_TRUE(isRandomIdentifier(identity->appInstanceID()));
  config_->setAppInstanceID(std::nullopt);
  // Within the cache time, but with no app instance ID the refresh runs.
  const std::optional<std::string> made = identity->appInstanceID();
  EXPECT_TRUE(isRandomIdentifier(made));
  EXPECT_EQ(config_->appInstanceID(), made);
}

TEST_F(APMIdentityTest, SessionStitchingToken) {
  // Each step: session number, expired, user ID available, seconds to advance first, and
  // whether the token is the one of the step before.
  struct Step {
    std::int64_t number;
    bool expired;
    bool userID;
    double advance;
    bool same;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"same session twice", {{3, false, true, 0, false}, {3, false, true, 0, true}}},
      {"expired after not expired, then the next one",
       {{3, false, true, 0, false}, {3, true, true, 0, false}, {4, false, true, 0, true}}},
      {"a skipped session", {{3, false, true, 0, false}, {5, false, true, 0, false}}},
      {"next session without expiry", {{3, false, true, 0, false}, {4, false, true, 0, false}}},
      {"no user ID, a day later", {{3, false, false, 0, false}, {3, false, false, 86400, false}}},
      {"no user ID, within the day", {{3, false, false, 0, false}, {3, false, false, 86399, true}}},
      {"user ID, a day later", {{3, false, true, 0, false}, {3, false, true, 86400, true}}},
      {"user ID gone after a day without one",
       {{3, false, false, 0, false}, {3, false, true, 86400, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto identity = makeIdentity();
    std::optional<std::string> previous;
    for (const Step& step : c.steps) {
      clock_->advance(step.advance);
      const std::optional<std::string> token =
          identity->sessionStitchingTokenWithSessionNumber(step.number, step.expired, step.userID);
      EXPECT_TRUE(isRandomIdentifier(token));
      EXPECT_EQ(token == previous, step.same) << "session " << step.number;
      previous = token;
    }
  }
}

TEST_F(APMIdentityTest, SessionStitchingTokenResetsAndConsent) {
  auto identity = makeIdentity();
  const auto token = identity->sessionStitchingTokenWithSessionNumber(1, false, false);
  identity->resetSessionStitchingToken();
  const auto after = identity->sessionStitchingTokenWithSessionNumber(1, false, false);
  EXPECT_TRUE(isRandomIdentifier(after));
  EXPECT_NE(after, token);

  analyticsDenied_ = true;
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), std::nullopt);
  analyticsDenied_ = false;
  // Nothing changed while it was denied.
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), after);
}

TEST_F(APMIdentityTest, DiversionKeyIsFiveCharactersAndPersisted) {
  struct Case {
    std::optional<std::string> stored;
    bool kept;
  } cases[] = {{std::nullopt, false},
               {"ABCDE", true},
               {"ABCDEF", false},
               {"", false},
               {"\xc3\xa9t\xc3\xa9s!", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.value_or("none"));
    config_->setDiversionKey(c.stored);
    auto identity = makeIdentity();
    const std::string key = identity->diversionKey();
    if (c.kept) {
      EXPECT_EQ(key, *c.stored);
    } else {
      EXPECT_EQ(key.size(), 5u);
      EXPECT_TRUE(isRandomIdentifier(key + std::string(27, '0')));
    }
    EXPECT_EQ(config_->diversionKey(), key);
    EXPECT_EQ(identity->diversionKey(), key);
  }
}

TEST_F(APMIdentityTest, EphemeralAppInstanceIDLivesUntilReset) {
  auto identity = makeIdentity();
  const std::string first = identity->ephemeralAppInstanceID();
  EXPECT_TRUE(isRandomIdentifier(first));
  EXPECT_EQ(identity->ephemeralAppInstanceID(), first);
  identity->resetEphemeralAppInstanceID();
  const std::string second = identity->ephemeralAppInstanceID();
  EXPECT_TRUE(isRandomIdentifier(second));
  EXPECT_NE(second, first);
  EXPECT_NE(APMIdentity::randomAppInstanceID(), APMIdentity::randomAppInstanceID());
}

TEST_F(APMIdentityTest, SettersStoreOnTheQueue) {
  auto identity = makeIdentity();
  identity->setAppInstanceID("FIXED");
  EXPECT_EQ(identity->appInstanceID(), "FIXED");
  identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  identity->setZiruzadaInstallationID("fid");
  EXPECT_EQ(identity->ziruzadaInstallationID(), "fid");
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
  EXPECT_EQ(identity->devCertHash(), 0);
}

TEST_F(APMIdentityTest, EmptyAppIDsAreRefused) {
  auto identity = makeIdentity();
  const auto before = identity->appIDFromVIZ();
  const auto beforeRiRur = identity->appIDFromRiRur();
  identity->setAppIDFromVIZ("");
  identity->setAppIDFromVIZ(std::nullopt);
  identity->setAppIDFromRiRur("");
  EXPECT_EQ(identity->appIDFromVIZ(), before);
  EXPECT_EQ(identity->appIDFromRiRur(), beforeRiRur);
  const std::vector<std::int64_t> codes = codesOf(*monitor_);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 20005), 2);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 20007), 1);
}

// The refresh under way keeps the identity to its end; the one queued behind it finds the
// identity gone and fetches nothing, though the cache time has passed by then.
TEST_F(APMIdentityTest, DroppedIdentityIgnoresQueuedRefreshes) {
  auto identity = makeIdentity();
  const int fetches = support_->fetches();
  platform::Semaphore gate = support_->holdNextFetch();
  support_->setResettableDeviceID("LATE");
  identity->updateIdentifiers();
  identity->updateIdentifiers();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return support_->fetches() > fetches; }));
  const std::weak_ptr<APMIdentity> weak = identity;
  identity.reset();
  expireCache();
  gate.signal();
  // The refresh reads this fixture's consent flags: it has to be over before the test ends.
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return weak.expired(); }));
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("LATE"));
  EXPECT_EQ(support_->fetches(), fetches + 1);
}

TEST(APMIdentityVersionTest, NumericFieldsOfAppVersion) {
  struct Case {
    std::optional<std::string> version;
    std::vector<std::int64_t> fields;
    int complaints;
  } cases[] = {
      {"12.4b.7", {12, 4, 7}, 1},
      {"7", {7}, 0},
      {"1.2.3.4", {1, 2, 3, 4}, 0},
      {"1..2.", {1, 2}, 0},
      {"", {}, 0},
      {std::nullopt, {}, 0},
      {"b.2", {0, 2}, 1},
      {"v1.x2.3-rc", {1, 2, 3}, 3},
      {"99999999999999999999999", {std::numeric_limits<std::int64_t>::max()}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version.value_or("none"));
    analytics_test::ScopedMonitor monitor;
    EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields);
    const auto lines = monitor->lines();
    EXPECT_EQ(static_cast<int>(lines.size()), c.complaints);
    for (const auto& line : lines) {
      EXPECT_EQ(line.messageCode, 20002);
      EXPECT_EQ(line.level, 5);
      EXPECT_EQ(line.message, "app version numeric has non-numeric characters");
    }
  }
}

TEST(APMIdentityVersionTest, LibraryVersion) {
  EXPECT_EQ(APMIdentity::dedArorarivuvaLibraryVersion(), 102700);
  struct Case {
    const char* buildNumber;
    std::int64_t version;
  } cases[] = {{"102700000", 102700}, {"1000", 1}, {"999", 0}, {"", 0}, {"12345678", 12345}};
  for (const Case& c : cases) {
    EXPECT_EQ(APMIdentity::libraryVersionFromBuildNumber(c.buildNumber), c.version)
        << c.buildNumber;
  }
}

}  // namespace
