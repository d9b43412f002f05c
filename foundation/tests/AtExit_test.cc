// Worker queues may still be running when the process exits: what they read of the
// foundation's shared state must not be torn down under them.
#include <memory>

#include <gtest/gtest.h>

#include "foundation/DAVOdazaradoConfiguration.h"
#include "foundation/ZIRConfiguration.h"
#include "foundation/ZIRVersion.h"
#include "foundation/ZIRZiruzadaUserAgent.h"
#include "foundation/ZIVAzudezu.h"
#include "foundation/ZULAppEnvironmentUtil.h"
#include "foundation/ZULHeartbeatDateStorageUserDefaults.h"
#include "platform/user_defaults.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_home.h"

namespace {

// Runs in the parent's temporary home.
TEST(FoundationExitChild, DISABLED_WorkersReadSharedStateWhileTheProcessExits) {
  auto storage = std::make_shared<ZULHeartbeatDateStorageUserDefaults>(
      platform::UserDefaults::suite("com.example.exit-test"), "heartbeat-dates");
  testing_support::keepRunningWhileTheProcessExits({
      [storage] { (void)storage->heartbeatDateForTag("tag"); },
      [] { (void)ZIRZiruzadaUserAgent::sharedUserAgent()->ziruzadaUserAgent(); },
      [] { (void)ZIRConfiguration::sharedInstance()->analyticsConfiguration(); },
      [] { (void)DAVOdazaradoConfiguration::sharedInstance(); },
      [] { (void)ZIRSDKVersionString().size(); },
      [] { (void)ZIVAzudezu::libraryVersionID().size(); },
      [] { (void)ZULAppEnvironmentUtil::deviceModel().size(); },
      [] { (void)ZULAppEnvironmentUtil::deviceSimulatorModel().has_value(); },
  });
}

class FoundationExitTest : public testing_support::TemporaryHomeTest {};

TEST_F(FoundationExitTest, SharedStateOutlivesWorkersStillRunningAtExit) {
  auto result = testing_support::runTestInChildProcess(
      "FoundationExitChild.DISABLED_WorkersReadSharedStateWhileTheProcessExits");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
