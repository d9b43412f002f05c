#include "foundation/ZIRServiceHosts.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "foundation/ZULNetwork.h"
#include "tests/support/temp_home.h"

namespace {

class ZIRServiceHostsTest : public testing_support::TemporaryHomeTest {
 protected:
  void TearDown() override {
    unsetenv(ZIRServiceHosts::kAnalyticsServiceHostEnvironment);
    unsetenv(ZIRServiceHosts::kAlternativeAnalyticsServiceHostEnvironment);
    unsetenv(ZIRServiceHosts::kInstallationsServiceURLEnvironment);
  }
};

TEST_F(ZIRServiceHostsTest, TheEnvironmentWinsOverTheInfoPlistWhichWinsOverThePlaceholder) {
  struct Host {
    const char* key;
    const char* environment;
    const char* placeholder;
    std::string (*read)();
  } hosts[] = {
      {ZIRServiceHosts::kAnalyticsServiceHostKey, ZIRServiceHosts::kAnalyticsServiceHostEnvironment,
       ZIRServiceHosts::kDefaultAnalyticsServiceHost, &ZIRServiceHosts::analyticsServiceHost},
      {ZIRServiceHosts::kAlternativeAnalyticsServiceHostKey,
       ZIRServiceHosts::kAlternativeAnalyticsServiceHostEnvironment,
       ZIRServiceHosts::kDefaultAlternativeAnalyticsServiceHost,
       &ZIRServiceHosts::alternativeAnalyticsServiceHost},
  };
  struct Case {
    std::optional<std::string> info;
    std::optional<std::string> environment;
    std::optional<std::string> expected;  // none: the placeholder
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"", "", std::nullopt},
      {"analytics.example.test", std::nullopt, "analytics.example.test"},
      {"analytics.example.test", "", "analytics.example.test"},
      {"analytics.example.test", "127.0.0.1", "127.0.0.1"},
      {std::nullopt, "127.0.0.1", "127.0.0.1"},
  };
  // The two hosts are configured apart: the other one never answers for either.
  EXPECT_STRNE(ZIRServiceHosts::kDefaultAnalyticsServiceHost,
               ZIRServiceHosts::kDefaultAlternativeAnalyticsServiceHost);
  for (const Host& host : hosts) {
    for (const Case& c : cases) {
      platform::Dictionary info;
      if (c.info) info.set(host.key, *c.info);
      home_.useBundle(info);
      if (c.environment) {
        setenv(host.environment, c.environment->c_str(), 1);
      } else {
        unsetenv(host.environment);
      }
      EXPECT_EQ(host.read(), c.expected.value_or(host.placeholder))
          << host.key << ": " << c.info.value_or("(none)") << " / "
          << c.environment.value_or("(none)");
      for (const Host& other : hosts) {
        if (&other != &host) {
          EXPECT_EQ(other.read(), other.placeholder) << other.key;
        }
      }
    }
    unsetenv(host.environment);
  }
}

TEST_F(ZIRServiceHostsTest, TheInstallationsAddressIsConfigurationWithoutATrailingSlash) {
  struct Case {
    std::optional<std::string> info;
    std::optional<std::string> environment;
    std::string expected;
  } cases[] = {
      {std::nullopt, std::nullopt, ZIRServiceHosts::kDefaultInstallationsServiceURL},
      {"", "", ZIRServiceHosts::kDefaultInstallationsServiceURL},
      {"/", std::nullopt, ZIRServiceHosts::kDefaultInstallationsServiceURL},
      {"https://installations.example.test", std::nullopt, "https://installations.example.test"},
      {"https://installations.example.test", "http://127.0.0.1:8080//", "http://127.0.0.1:8080"},
      {std::nullopt, "http://127.0.0.1:8080", "http://127.0.0.1:8080"},
  };
  for (const Case& c : cases) {
    platform::Dictionary info;
    if (c.info) info.set(ZIRServiceHosts::kInstallationsServiceURLKey, *c.info);
    home_.useBundle(info);
    if (c.environment) {
      setenv(ZIRServiceHosts::kInstallationsServiceURLEnvironment, c.environment->c_str(), 1);
    } else {
      unsetenv(ZIRServiceHosts::kInstallationsServiceURLEnvironment);
    }
    EXPECT_EQ(ZIRServiceHosts::installationsServiceURL(), c.expected)
        << c.info.value_or("(none)") << " / " << c.environment.value_or("(none)");
  }
}

TEST_F(ZIRServiceHostsTest, TheNetworkClientWatchesTheConfiguredHost) {
  home_.useBundle({{ZIRServiceHosts::kAnalyticsServiceHostKey, "127.0.0.1"}});
  // Watching never probes the host, so a client comes up even without a network.
  EXPECT_NE(ZULNetwork::init(), nullptr);
}

}  // namespace
