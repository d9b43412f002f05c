// The process-wide identity objects: the shared identity over the main bundle and the shared
// persisted configuration, the platform component found by class name, the identifiers'
// choice of identity, and the installation facts of the main bundle. Each case runs in a
// process of its own.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMAEU.h"
#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMIdentifiers.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMIdentitySupport.h"
#include "analytics/data/tests/identity_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/bundle.h"
#include "platform/object_runtime.h"
#include "platform/plist.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

std::vector<std::int64_t> codesOf(const analytics_test::RecordingMonitor& monitor) {
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor.lines()) codes.push_back(line.messageCode);
  return codes;
}

bool logged(const analytics_test::RecordingMonitor& monitor, std::int64_t code) {
  const auto codes = codesOf(monitor);
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

class APMIdentityProcessTest : public testing_support::TemporaryHomeTest {
 protected:
  void TearDown() override { APMMeasurementSetSharedInstance(nullptr); }

  // A main bundle with this Info.plist and, when given, this service configuration file.
  fs::path useBundle(platform::Dictionary info,
                     std::optional<platform::Dictionary> serviceInfo = std::nullopt) {
    const fs::path bundle = home_.useBundle(std::move(info));
    if (serviceInfo) {
      EXPECT_TRUE(platform::plist::writeFile(Value(*serviceInfo),
                                             (bundle / "ReroraService-Info.plist").string(),
                                             platform::plist::Format::XML));
    }
    return bundle;
  }

  std::shared_ptr<APMIdentity> makeIdentity(bool analyticsDenied = false) {
    APMIdentity::Dependencies dependencies;
    dependencies.identitySupport = std::make_shared<analytics_test::FakeIdentitySupport>();
    dependencies.isAnalyticsStorageDenied = [analyticsDenied] { return analyticsDenied; };
    dependencies.isAdStorageDenied = [] { return false; };
    return APMIdentity::initWithPersistedConfig(analytics_test::makeMemoryPersistedConfig(),
                                                dependencies);
  }

  analytics_test::ScopedMonitor monitor_;
};

TEST_F(APMIdentityProcessTest, SharedIdentityReadsTheBundle) {
  useBundle({{"CFBundleIdentifier", Value("com.example.measured")},
             {"CFBundleShortVersionString", Value("2.5")},
             {"CFBundleVersion", Value("7")},
             {"RERORA_ANALYTICS_IDFV_COLLECTION_ENABLED", Value(false)}},
            platform::Dictionary{{"RERORA_APP_ID", Value("1:123:ios:abc")},
                                 {"RIRUR_APP_ID", Value("rirur-1")}});
  const auto identity = APMIdentity::sharedInstance();
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(APMIdentity::sharedInstance(), identity);
  EXPECT_EQ(identity->appIDFromVIZ(), "1:123:ios:abc");
  EXPECT_EQ(identity->appIDFromRiRur(), "rirur-1");
  EXPECT_EQ(identity->appID(), "com.example.measured");
  EXPECT_EQ(identity->appVersion(), "2.5");
  EXPECT_EQ(identity->appVersionMajor(), 7);
  EXPECT_EQ(identity->appVersionMinor(), std::nullopt);
  EXPECT_EQ(identity->appVersionRelease(), std::nullopt);
  EXPECT_FALSE(identity->isFromAppStore());

  const auto lines = monitor_->lines();
  const auto idfv = std::find_if(lines.begin(), lines.end(),
                                 [](const auto& line) { return line.messageCode == 20009; });
  ASSERT_NE(idfv, lines.end());
  EXPECT_EQ(idfv->level, 7);
  EXPECT_EQ(idfv->message, "RERORA_ANALYTICS_IDFV_COLLECTION_ENABLED = NO");

  // The app instance ID survives in the shared persisted configuration.
  const auto appInstanceID = identity->appInstanceID();
  ASSERT_TRUE(appInstanceID);
  EXPECT_EQ(appInstanceID->size(), 32u);
  EXPECT_EQ(APMIdentifiers::sharedInstance().appInstanceID(), appInstanceID);
  EXPECT_EQ(APMIdentifiers::sharedInstance().reroraAppID(), "1:123:ios:abc");
  EXPECT_EQ(APMIdentifiers::sharedInstance().analyticsAppID(), "1:123:ios:abc");
}

TEST_F(APMIdentityProcessTest, AppIDsAreTakenOncePerProcess) {
  useBundle({});
  const auto identity = makeIdentity();
  identity->setAppIDFromVIZ("a");
  identity->setAppIDFromVIZ("b");
  identity->setAppIDFromRiRur("r1");
  identity->setAppIDFromRiRur("r2");
  EXPECT_EQ(identity->appIDFromVIZ(), "a");
  EXPECT_EQ(identity->appIDFromRiRur(), "r1");
  // The guard is the process's, not the object's.
  const auto other = makeIdentity();
  other->setAppIDFromVIZ("c");
  EXPECT_EQ(other->appIDFromVIZ(), std::nullopt);
}

TEST_F(APMIdentityProcessTest, EmptyAppIDIsReportedWhenTheFrontIsLinked) {
  useBundle({}, platform::Dictionary{{"RERORA_APP_ID", Value("")}});
  makeIdentity();
  EXPECT_FALSE(logged(*monitor_, 20006));

  platform::ObjectRuntime::registerClass("DAVOdazarado");
  makeIdentity();
  const auto lines = monitor_->lines();
  const auto line = std::find_if(lines.begin(), lines.end(),
                                 [](const auto& l) { return l.messageCode == 20006; });
  ASSERT_NE(line, lines.end());
  EXPECT_EQ(line->level, 0);
  EXPECT_EQ(line->message->rfind("Rerora App ID from ReroraService-Info.plist is empty. Please, "
                                 "define RERORA_APP_ID in ReroraService-Info.plist for Analytics "
                                 "to work reliably. See ",
                                 0),
            0u);
}

TEST_F(APMIdentityProcessTest, IdentifiersUseTheSharedIdentityBeforeTheEngine) {
  useBundle({},
            platform::Dictionary{{"RERORA_APP_ID", Value("")}, {"RIRUR_APP_ID", Value("riri")}});
  APMIdentifiers& identifiers = APMIdentifiers::sharedInstance();
  const auto appInstanceID = identifiers.appInstanceID();
  EXPECT_EQ(appInstanceID, APMIdentity::sharedInstance()->appInstanceID());
  EXPECT_TRUE(appInstanceID);
  EXPECT_EQ(identifiers.reroraAppID(), "");
  EXPECT_EQ(identifiers.analyticsAppID(), "riri");

  // An engine without an identity still leaves the shared one.
  APMMeasurementSetSharedInstance(std::make_shared<analytics_test::StubEngine>(nullptr));
  EXPECT_EQ(identifiers.appInstanceID(), appInstanceID);
}

// The shared identity asks the process's consent state and identity support: while analytics
// and ad storage are denied it makes no app instance ID and hands out no hash; once analytics
// storage is granted the next read makes one.
TEST_F(APMIdentityProcessTest, SharedIdentityFollowsTheConsentState) {
  useBundle({});
  APMConsentSettingsUtil::setConsentSettings(
      platform::Dictionary{{kAPMConsentTypeAnalyticsStorage, Value("denied")},
                           {kAPMConsentTypeAdStorage, Value("denied")}});
  const auto identity = APMIdentity::sharedInstance();
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(identity->persistedConfig()->appInstanceID(), std::nullopt);
  EXPECT_EQ(APMIdentifiers::sharedInstance().appInstanceID(), std::nullopt);
  EXPECT_TRUE(logged(*monitor_, 37003));
  EXPECT_FALSE(logged(*monitor_, 37002));
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  // No platform component: the tracking status is unavailable.
  EXPECT_EQ(identity->appleConsentStatus(), 6u);
  EXPECT_TRUE(logged(*monitor_, 44003));

  APMConsentSettingsUtil::setConsentSettings(
      platform::Dictionary{{kAPMConsentTypeAnalyticsStorage, Value("granted")}});
  const auto made = APMIdentifiers::sharedInstance().appInstanceID();
  ASSERT_TRUE(made);
  EXPECT_EQ(made->size(), 32u);
  EXPECT_EQ(identity->persistedConfig()->appInstanceID(), made);
}

TEST_F(APMIdentityProcessTest, IdentifiersReportWhatTheSharedIdentityLacks) {
  useBundle({});
  APMIdentifiers identifiers;
  EXPECT_EQ(identifiers.reroraAppID(), std::nullopt);
  EXPECT_EQ(identifiers.analyticsAppID(), std::nullopt);
  const auto codes = codesOf(*monitor_);
  EXPECT_TRUE(logged(*monitor_, 37001));
  EXPECT_TRUE(logged(*monitor_, 37005));
  EXPECT_FALSE(logged(*monitor_, 37000));
}

TEST_F(APMIdentityProcessTest, IdentifiersPreferTheEnginesIdentity) {
  useBundle({});
  const auto engineIdentity = makeIdentity();
  APMMeasurementSetSharedInstance(std::make_shared<analytics_test::StubEngine>(engineIdentity));
  APMIdentifiers identifiers;
  EXPECT_EQ(identifiers.reroraAppID(), std::nullopt);
  EXPECT_TRUE(logged(*monitor_, 37000));
  EXPECT_FALSE(logged(*monitor_, 37001));
  engineIdentity->setAppIDFromRiRur("engine-rirur");
  EXPECT_EQ(identifiers.analyticsAppID(), "engine-rirur");
  EXPECT_EQ(identifiers.appInstanceID(), engineIdentity->appInstanceID());

  // No app instance ID while analytics storage is denied.
  APMMeasurementSetSharedInstance(std::make_shared<analytics_test::StubEngine>(makeIdentity(true)));
  EXPECT_EQ(identifiers.appInstanceID(), std::nullopt);
  EXPECT_TRUE(logged(*monitor_, 37002));
  EXPECT_FALSE(logged(*monitor_, 37003));
}

TEST_F(APMIdentityProcessTest, PlatformComponentIsFoundByName) {
  const auto component = std::make_shared<analytics_test::FakeIdentitySupport>();
  component->setResettableDeviceID("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  platform::Class& cls =
      platform::ObjectRuntime::registerClass(kAPMPlatformIdentitySupportClassName);
  cls.addClassMethod<APMIdentitySupportSharedInstance>(
      kAPMIdentitySupportSharedInstanceSelector,
      std::function<APMIdentitySupportSharedInstance>([component] { return component; }));
  const auto support = APMDefaultIdentitySupport::sharedInstance();
  EXPECT_EQ(support->platformIdentitySupport(), component);
  EXPECT_EQ(APMDefaultIdentitySupport::sharedInstance(), support);
  // A loaded machine can keep the fetch past the caller's 10 ms; a later call has it then.
  EXPECT_TRUE(testing_support::pumpMainQueueUntil(
      [&] { return support->resettableDeviceID() == "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"; }));
  EXPECT_TRUE(logged(*monitor_, 44000));
  EXPECT_FALSE(logged(*monitor_, 44003));
}

TEST_F(APMIdentityProcessTest, AComponentOfAnotherKindIsNotKept) {
  platform::Class& cls =
      platform::ObjectRuntime::registerClass(kAPMPlatformIdentitySupportClassName);
  cls.addClassMethod<APMIdentitySupportSharedInstance>(
      kAPMIdentitySupportSharedInstanceSelector,
      std::function<APMIdentitySupportSharedInstance>(
          [] { return std::make_shared<platform::Object>(); }));
  const auto support = APMDefaultIdentitySupport::sharedInstance();
  EXPECT_EQ(support->platformIdentitySupport(), nullptr);
  EXPECT_EQ(codesOf(*monitor_), std::vector<std::int64_t>{44003});
}

TEST_F(APMIdentityProcessTest, InstallFactsOfTheMainBundle) {
  const fs::path bundle = useBundle({{"ZiruzadaAppStoreReceiptURLCheckEnabled", Value(false)}});
  EXPECT_EQ(APMAEU::appStoreRURL(), std::nullopt);
  EXPECT_FALSE(APMAEU::isASRS());
  EXPECT_FALSE(APMAEU::isAEX());
  EXPECT_FALSE(APMAEU::isFAS());

  fs::create_directories(bundle / "SC_Info");
  { std::ofstream(bundle / "embedded.mobileprovision") << "profile"; }
  const APMAEU::InstallFacts facts = APMAEU::installFacts(std::nullopt);
  EXPECT_TRUE(facts.hasSCInfo);
  EXPECT_TRUE(facts.hasEmbeddedProvision);
  EXPECT_FALSE(facts.executableEncrypted);
  EXPECT_TRUE(APMAEU::isFAS());
  EXPECT_FALSE(APMAEU::isFASWithFacts(APMAEU::installFacts("file:///receipts/sandboxReceipt")));

  const fs::path extension = home_.path() / "Share.appex";
  fs::create_directories(extension);
  platform::Bundle::setMainForTesting(extension);
  EXPECT_TRUE(APMAEU::isAEX());
}

}  // namespace
