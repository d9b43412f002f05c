#include "analytics/data/APMIdentitySupport.h"

#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/tests/identity_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::FakeIdentitySupport;

TEST(APMDefaultIdentitySupportTest, WithoutAComponent) {
  analytics_test::ScopedMonitor monitor;
  const auto support = std::make_shared<APMDefaultIdentitySupport>(nullptr);
  EXPECT_FALSE(support->hasAppDataConsentStatus());
  EXPECT_EQ(support->appDataConsentStatus(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(support->hasLimitedAdTracking());
  EXPECT_TRUE(support->limitedAdTracking());
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(APMDefaultIdentitySupport::iOS14OrAbove());

  const auto lines = monitor->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 4);
  EXPECT_EQ(lines[0].messageCode, 44003);
  EXPECT_EQ(lines[0].message, "ZodiziDavEzadaruvediDazurezuVeruvoz dependency is not currently "
                              "linked. IDFA will not be accessible.");
}

TEST(APMDefaultIdentitySupportTest, LogsWhatTheComponentLinks) {
  for (const bool hasLimitedAdTracking : {true, false}) {
    SCOPED_TRACE(hasLimitedAdTracking);
    analytics_test::ScopedMonitor monitor;
    const auto component = std::make_shared<FakeIdentitySupport>();
    component->setStatus(hasLimitedAdTracking, true, 2);
    const auto support = std::make_shared<APMDefaultIdentitySupport>(component);
    EXPECT_EQ(support->hasLimitedAdTracking(), hasLimitedAdTracking);
    EXPECT_TRUE(support->hasAppDataConsentStatus());
    EXPECT_EQ(support->appDataConsentStatus(), 2u);

    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 7);
    EXPECT_EQ(lines[0].messageCode, 44000);
    EXPECT_EQ(lines[0].message, "ZodiziDavEzadaruvediDazurezuVeruvoz dependency is linked.");
    if (hasLimitedAdTracking) {
      EXPECT_EQ(lines[1].level, 7);
      EXPECT_EQ(lines[1].messageCode, 44001);
      EXPECT_EQ(lines[1].message, "The AdSupport Framework is linked.");
    } else {
      EXPECT_EQ(lines[1].level, 4);
      EXPECT_EQ(lines[1].messageCode, 44002);
      EXPECT_EQ(lines[1].message->rfind("The AdSupport Framework is not currently linked. Some "
                                        "features will not function properly.",
                                        0),
                0u);
    }
  }
}

// Asks until the identifier arrives: each ask waits at most 10 ms, which a loaded machine can
// pass before the component's answer is stored.
bool fetchUntil(APMDefaultIdentitySupport& support, const std::optional<std::string>& wanted) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (support.resettableDeviceID() == wanted) return true;
  }
  return false;
}

TEST(APMDefaultIdentitySupportTest, LimitedAdTrackingFollowsTheIdentifier) {
  struct Case {
    std::optional<std::string> identifier;
    bool limited;
  } cases[] = {{std::nullopt, true},
               {std::string(kAPMZeroResettableDeviceID), true},
               {"E621E1F8-C36C-495A-93FC-0C247A3E6E5F", false}};
  for (const Case& c : cases) {
    const auto component = std::make_shared<FakeIdentitySupport>();
    component->setResettableDeviceID(c.identifier);
    const auto support = std::make_shared<APMDefaultIdentitySupport>(component);
    EXPECT_TRUE(fetchUntil(*support, c.identifier));
    EXPECT_EQ(support->limitedAdTracking(), c.limited) << c.identifier.value_or("none");
  }
}

// A slow component never holds a caller: it gets the identifier of an earlier fetch, and the
// late answer is kept once it arrives.
TEST(APMDefaultIdentitySupportTest, ASlowComponentLeavesTheEarlierIdentifier) {
  const auto component = std::make_shared<FakeIdentitySupport>();
  const auto support = std::make_shared<APMDefaultIdentitySupport>(component);
  component->setResettableDeviceID("FIRST");
  platform::Semaphore gate = component->holdNextFetch();
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  gate.signal();
  ASSERT_TRUE(fetchUntil(*support, "FIRST"));

  component->setResettableDeviceID("SECOND");
  gate = component->holdNextFetch();
  EXPECT_EQ(support->resettableDeviceID(), "FIRST");
  gate.signal();
  EXPECT_TRUE(fetchUntil(*support, "SECOND"));
}

}  // namespace
