#include "foundation/ZULAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/ZIRLogger.h"
#include "foundation/ZULLogger.h"
#include "platform/bundle.h"
#include "platform/plist.h"
#include "platform/process_info.h"
#include "platform/user_defaults.h"
#include "tests/support/temp_home.h"

namespace {

// Each test runs in its own home with a bundle whose Info.plist the test chooses.
class ZULAppEnvironmentUtilTest : public testing_support::TemporaryHomeTest {
 protected:
  void TearDown() override { ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(std::nullopt); }

  void useInfoPlist(const platform::Dictionary& info) { home_.useBundle(info); }

};

TEST_F(ZULAppEnvironmentUtilTest, ThisPlatformIsNeitherStoreBuildNorSimulatorNorExtension) {
  useInfoPlist({{"CFBundleIdentifier", "com.example.vilmo"}});
  EXPECT_FALSE(ZULAppEnvironmentUtil::isFromAppStore());
  EXPECT_FALSE(ZULAppEnvironmentUtil::isAppStoreReceiptSandbox());
  EXPECT_FALSE(ZULMainExecutableIsEncrypted());
  EXPECT_FALSE(ZULAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(ZULAppEnvironmentUtil::isAppExtension());
  EXPECT_TRUE(ZULAppEnvironmentUtil::isIOS7OrHigher());
  EXPECT_FALSE(ZULAppEnvironmentUtil::hasSwiftRuntime());
  EXPECT_EQ(ZULAppEnvironmentUtil::applePlatform(), "macos");
  EXPECT_EQ(ZULAppEnvironmentUtil::appleDevicePlatform(), "macos");
  EXPECT_EQ(ZULAppEnvironmentUtil::deploymentType(), "swiftpm");
}

TEST_F(ZULAppEnvironmentUtilTest, StoreBuildNeedsAnEncryptedExecutableAndNoSandboxReceipt) {
  const platform::Value absent;
  struct Case {
    const char* label;
    bool encrypted;
    std::optional<std::string> receipt;
    platform::Value receiptCheck;  // Info.plist "ZiruzadaAppStoreReceiptURLCheckEnabled"
    bool sandbox;
    bool fromAppStore;
  } const cases[] = {
      {"development build", false, "file:///app/receipts/receipt", absent, false, false},
      {"development build, sandbox receipt", false, "file:///app/receipts/sandboxReceipt", absent,
       true, false},
      {"store build", true, "file:///app/receipts/receipt", absent, false, true},
      {"store build without receipt", true, std::nullopt, absent, false, true},
      {"sandbox receipt", true, "file:///app/receipts/sandboxReceipt", absent, true, false},
      {"check turned off", true, "file:///app/receipts/sandboxReceipt", false, false, true},
      {"check turned on", true, "file:///app/receipts/sandboxReceipt", true, true, false},
      {"check as a string is ignored", true, "file:///app/receipts/sandboxReceipt", "NO", true,
       false},
      {"name must match exactly", true, "file:///app/receipts/SandboxReceipt", absent, false, true},
  };
  for (const Case& c : cases) {
    platform::Dictionary info{{"CFBundleIdentifier", "com.example.vilmo"}};
    if (!c.receiptCheck.isNull())
      info.set("ZiruzadaAppStoreReceiptURLCheckEnabled", c.receiptCheck);
    useInfoPlist(info);
    ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(ZULStoreBuildFacts{c.encrypted, c.receipt});
    EXPECT_EQ(ZULAppEnvironmentUtil::isAppStoreReceiptSandbox(), c.sandbox) << c.label;
    EXPECT_EQ(ZULAppEnvironmentUtil::isFromAppStore(), c.fromAppStore) << c.label;
  }
}

TEST_F(ZULAppEnvironmentUtilTest, StoreBuildCapsTheLoggerAtWarning) {
  useInfoPlist({{"CFBundleIdentifier", "com.example.vilmo"}});
  ZULAppEnvironmentUtil::setStoreBuildFactsForTesting(ZULStoreBuildFacts{true, std::nullopt});
  // The launch switch that turns debug output on elsewhere.
  platform::ProcessInfo::setArgumentsForTesting({"vilmo", "-ZIRDebugEnabled"});
  ZIRLoggerSetUpOnce();
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelNotice));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelInfo));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));

  ZULLoggerForceDebugLevel();
  ZULLoggerSetLevel(ZULLoggerLevelDebug);
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));

  ZULLoggerSetLevel(ZULLoggerLevelWarning);
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelWarning));
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelNotice));
  // Notice, once left, cannot be set again.
  ZULLoggerSetLevel(ZULLoggerLevelNotice);
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelNotice));
  ZULLoggerSetLevel(ZULLoggerLevelError);
  EXPECT_FALSE(ZULLoggerLevelPasses(ZULLoggerLevelWarning));
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelError));
}

TEST_F(ZULAppEnvironmentUtilTest, OutsideAStoreBuildDebugOutputCanBeSwitchedOn) {
  useInfoPlist({{"CFBundleIdentifier", "com.example.vilmo"}});
  ZULLoggerForceDebugLevel();
  EXPECT_TRUE(ZULLoggerLevelPasses(ZULLoggerLevelDebug));
}

TEST_F(ZULAppEnvironmentUtilTest, SysctlEntriesAreReadByTheirDottedNames) {
  utsname name{};
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(ZULAppEnvironmentUtil::getSysctlEntry("kernel.ostype"), "Linux");
  EXPECT_EQ(ZULAppEnvironmentUtil::getSysctlEntry("kernel.osrelease"), std::string(name.release));

  for (const char* unknown : {"no.such.entry", "kernel", "", "kernel/ostype", "..kernel.ostype/"}) {
    EXPECT_EQ(ZULAppEnvironmentUtil::getSysctlEntry(unknown), std::nullopt) << unknown;
  }
}

TEST_F(ZULAppEnvironmentUtilTest, DeviceModelFallsBackToTheMachineName) {
  const std::optional<std::string> model = ZULAppEnvironmentUtil::getSysctlEntry("hw.model");
  EXPECT_EQ(ZULAppEnvironmentUtil::deviceSimulatorModel(), model);
  const std::string& device = ZULAppEnvironmentUtil::deviceModel();
  EXPECT_EQ(device, model.value_or(platform::ProcessInfo::processInfo().machine()));
  EXPECT_FALSE(device.empty());
  EXPECT_EQ(&ZULAppEnvironmentUtil::deviceModel(), &device);  // computed once
}

TEST_F(ZULAppEnvironmentUtilTest, SystemVersionDropsAZeroPatch) {
  struct Case {
    platform::OperatingSystemVersion version;
    const char* text;
  } const cases[] = {
      {{14, 0, 0}, "14.0"}, {{13, 6, 7}, "13.6.7"}, {{13, 0, 1}, "13.0.1"},
      {{6, 18, 0}, "6.18"}, {{0, 0, 0}, "0.0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZULAppEnvironmentUtil::systemVersion(c.version), c.text);
  }
  EXPECT_EQ(ZULAppEnvironmentUtil::systemVersion(),
            ZULAppEnvironmentUtil::systemVersion(
                platform::ProcessInfo::processInfo().operatingSystemVersion()));
}

}  // namespace
