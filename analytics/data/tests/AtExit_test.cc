// Worker queues may still be running when the process exits: what they read of the analytics
// data's shared state must not be torn down under them.
#include <cstring>

#include <gtest/gtest.h>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMEnvironmentInfo.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/messages/APMPBMessages.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace {

// Runs in the parent's temporary home.
TEST(AnalyticsDataExitChild, DISABLED_WorkersReadSharedStateWhileTheProcessExits) {
  APMConsentSettingsUtil::setConsentSettings(platform::Dictionary{{"ad_storage", "granted"}});
  APMIdentifiers::sharedInstance().setOrigin("app");
  testing_support::keepRunningWhileTheProcessExits({
      [] { (void)APMEventNameMap().find("ad_click"); },
      [] { (void)APMEventNameReverseMap().find("_ac"); },
      [] { (void)APMReservedEventNamesAllowedForPublicLogging().find("ad_impression"); },
      [] { (void)APMParameterNameMap().find("ad_unit_id"); },
      [] { (void)internalUserPropertyNamesByPublicName().find("first_open_time"); },
      [] { (void)APMErrorCodeNames().find(0); },
      [] { (void)APMConsentSettingsUtil::consentSettings(); },
      [] { (void)APMIdentifiers::sharedInstance().origin(); },
      [] { (void)APMEnvironmentInfo::sharedInstance(); },
      [] { (void)APMUserDefaults::sharedUserDefaults(); },
      [] { (void)APMDefaultIdentitySupport::sharedInstance(); },
      [] { (void)std::strlen(APMPBSequenceFilterResultTimestamp::messageClass().name); },
  });
}

class AnalyticsDataExitTest : public testing_support::TemporaryHomeTest {};

TEST_F(AnalyticsDataExitTest, SharedStateOutlivesWorkersStillRunningAtExit) {
  auto result = testing_support::runTestInChildProcess(
      "AnalyticsDataExitChild.DISABLED_WorkersReadSharedStateWhileTheProcessExits");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
