// The client over the app's real preferences and its own suite, as the engine makes it.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMTCFClient.h"
#include "analytics/data/APMTCFData.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Dictionary;
using platform::Value;

class CountingEvents : public APMInternalEventLogging {
 public:
  void logInternalEventWithOrigin(const std::string&, const std::string& name,
                                  const Dictionary&) override {
    if (name == "_tcf") ++count;
  }
  int count = 0;
};

class APMTCFClientSuiteTest : public testing_support::TemporaryHomeTest {};

TEST_F(APMTCFClientSuiteTest, TheStoredCopySurvivesARestart) {
  home_.useBundle({{"RERORA_ANALYTICS_TCF_DATA_ENABLED", true}});
  auto events = std::make_shared<CountingEvents>();
  APMSetInternalEventLogging(events);
  auto appDefaults = platform::UserDefaults::standard();
  appDefaults->setObject("IABTCF_CmpSdkID", Value(300));
  appDefaults->setObject("IABTCF_PurposeConsents", Value("1"));

  APMTCFClient().setConsentFromTCFData();
  EXPECT_EQ(events->count, 1);
  auto suite = platform::UserDefaults::suite(APMTCFClient::kSuiteName);
  EXPECT_EQ(suite->objectForKey("tcf_StringRepresentation"),
            Value("isTCFDataEnabled=1,cmpSDKID=300,purposeConsents=1"));
  EXPECT_EQ(suite->objectForKey("IABTCF_CmpSdkID"), Value(300));

  // A client made later, as at the next launch, finds nothing new.
  APMTCFClient().setConsentFromTCFData();
  EXPECT_EQ(events->count, 1);
  appDefaults->setObject("IABTCF_PurposeConsents", Value("11"));
  APMTCFClient().setConsentFromTCFData();
  EXPECT_EQ(events->count, 2);
  APMSetInternalEventLogging(nullptr);
}

}  // namespace
