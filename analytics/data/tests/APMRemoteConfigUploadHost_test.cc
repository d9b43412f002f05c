// The upload address follows the app-data consent status of the platform identity component,
// which is found by class name once per process.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/tests/identity_test_support.h"
#include "analytics/data/tests/remote_config_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "foundation/ZIRServiceHosts.h"
#include "platform/object_runtime.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Value;

class APMRemoteConfigUploadHostTest : public testing_support::TemporaryHomeTest {};

TEST_F(APMRemoteConfigUploadHostTest, ConsentStatusThreeSendsUploadsToTheAlternativeHost) {
  analytics_test::ScopedMonitor monitor;
  home_.useBundle(
      {{ZIRServiceHosts::kAnalyticsServiceHostKey, Value("analytics.example.test")},
       {ZIRServiceHosts::kAlternativeAnalyticsServiceHostKey, Value("alternative.example.test")}});
  const auto component = std::make_shared<analytics_test::FakeIdentitySupport>();
  platform::ObjectRuntime::registerClass(kAPMPlatformIdentitySupportClassName)
      .addClassMethod<APMIdentitySupportSharedInstance>(
          kAPMIdentitySupportSharedInstanceSelector,
          std::function<APMIdentitySupportSharedInstance>([component] { return component; }));

  const auto persisted = APMPersistedConfig::initWithSuiteName("upload-host-test");
  ASSERT_TRUE(persisted);
  platform::ErrorPtr error;
  const auto database =
      APMDatabase::initWithDatabaseName("rerora-app-measurement.sql", persisted, &error);
  ASSERT_TRUE(database);
  const std::string appID = "1:123:macos:abc";
  const auto config = APMRemoteConfig::initWithAppID(appID, database, nullptr);
  ASSERT_TRUE(config);

  const struct {
    std::uint64_t status;
    const char* subdomain;
    const char* expected;
  } cases[] = {
      {3, "", "https://alternative.example.test/a"},
      {3, "eu", "https://eu.alternative.example.test/a"},
      {2, "eu", "https://eu.analytics.example.test/a"},
      {0, "", "https://analytics.example.test/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.subdomain);
    component->setStatus(true, true, c.status);
    auto delivered = analytics_test::makeMeasurementConfig(appID);
    analytics_test::setSettings(delivered.get(), {});
    nano_set_string_field(delivered.get(), APMPBMeasurementConfigFields::kUploadSubdomain,
                          c.subdomain);
    ASSERT_TRUE(config->updateMeasurementConfig(delivered));
    EXPECT_EQ(config->uploadURL(), c.expected);
  }
  // The configuration address never moves to the alternative host.
  EXPECT_EQ(config->remoteConfigURLWithPlatform("macos", 1, 2),
            "https://analytics.example.test/config/app/1:123:macos:abc"
            "?platform=macos&runtime_version=2&viz_version=1");
}

}  // namespace
