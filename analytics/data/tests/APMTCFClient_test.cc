#include "analytics/data/APMTCFClient.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMTCFData.h"
#include "analytics/data/tests/memory_config_store.h"
#include "platform/value.h"

namespace {

using platform::Dictionary;
using platform::Value;

struct LoggedEvent {
  std::string origin, name;
  Dictionary parameters;
};

class RecordingEvents : public APMInternalEventLogging {
 public:
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const Dictionary& parameters) override {
    std::lock_guard lock(mutex);
    events.push_back({origin, name, parameters});
  }
  std::mutex mutex;
  std::vector<LoggedEvent> events;
};

class RecordingConsentFront : public APMConsentFront {
 public:
  void setConsent(const Dictionary& consent, const std::string& key) override {
    std::lock_guard lock(mutex);
    calls.emplace_back(consent, key);
  }
  std::mutex mutex;
  std::vector<std::pair<Dictionary, std::string>> calls;
};

std::string bits(std::size_t length, std::initializer_list<std::size_t> set) {
  std::string text(length, '0');
  for (std::size_t bit : set) text[bit] = '1';
  return text;
}

// What a consent dialog leaves when the user agrees to everything, this vendor included.
Dictionary everythingGranted() {
  return {{"IABTCF_EnableAdvertiserConsentMode", 1},
          {"IABTCF_VendorConsents", bits(755, {754})},
          {"IABTCF_CmpSdkID", 300},
          {"IABTCF_gdprApplies", 1},
          {"IABTCF_PolicyVersion", 4},
          {"IABTCF_PurposeConsents", "1111111111"}};
}

class APMTCFClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMSetInternalEventLogging(events_);
    APMSetConsentFront(front_);
  }
  void TearDown() override {
    APMSetInternalEventLogging(nullptr);
    APMSetConsentFront(nullptr);
  }

  // A client over these user defaults and Info.plist, its copy kept in suite_.
  std::unique_ptr<APMTCFClient> makeClient(const Dictionary& userDefaults,
                                           const Dictionary& info = {}) {
    appDefaults_ = std::make_shared<MemoryConfigStore>();
    for (const auto& [key, value] : userDefaults) appDefaults_->setObject(value, key);
    suite_ = std::make_shared<MemoryConfigStore>();
    return std::make_unique<APMTCFClient>(std::make_shared<APMTCFData>(appDefaults_, info), suite_);
  }

  std::shared_ptr<RecordingEvents> events_ = std::make_shared<RecordingEvents>();
  std::shared_ptr<RecordingConsentFront> front_ = std::make_shared<RecordingConsentFront>();
  std::shared_ptr<MemoryConfigStore> appDefaults_;
  std::shared_ptr<MemoryConfigStore> suite_;
};

TEST_F(APMTCFClientTest, WithoutAnyConsentDialogNothingHappensWhileTheSwitchIsOn) {
  auto client = makeClient({{"unrelated", "value"}});
  client->setConsentFromTCFData();
  EXPECT_TRUE(events_->events.empty());
  EXPECT_TRUE(suite_->contents().empty());
  EXPECT_TRUE(front_->calls.empty());

  // Switched off, the same emptiness is a change from the assumed state: logged and stored.
  auto switchedOff = makeClient({}, {{"RERORA_ANALYTICS_TCF_DATA_ENABLED", false}});
  switchedOff->setConsentFromTCFData();
  ASSERT_EQ(events_->events.size(), 1u);
  EXPECT_EQ(events_->events[0].parameters, (Dictionary{{"_tcfd", "10001"}}));
  EXPECT_EQ(suite_->contents(), (Dictionary{{"RERORA_ANALYTICS_TCF_DATA_ENABLED", false},
                                            {"tcf_StringRepresentation", "isTCFDataEnabled=0"}}));
  EXPECT_TRUE(front_->calls.empty());
}

TEST_F(APMTCFClientTest, AChangeIsLoggedStoredAndAppliedOnce) {
  auto client = makeClient(everythingGranted());
  client->setConsentFromTCFData();

  ASSERT_EQ(events_->events.size(), 1u);
  EXPECT_EQ(events_->events[0].origin, "auto");
  EXPECT_EQ(events_->events[0].name, "_tcf");
  EXPECT_EQ(events_->events[0].parameters, (Dictionary{{"_tcfd", "14I4f"}}));

  const std::string representation =
      "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
      "hasReroraInVendorConsents=1,gdprApplies=1,policyVersion=4,purposeConsents=1111111111";
  Dictionary stored = everythingGranted();
  stored.set("RERORA_ANALYTICS_TCF_DATA_ENABLED", true);
  stored.set("tcf_StringRepresentation", representation);
  EXPECT_EQ(suite_->contents(), stored);

  ASSERT_EQ(front_->calls.size(), 1u);
  EXPECT_EQ(front_->calls[0].first, (Dictionary{{"ad_storage", "granted"},
                                                {"ad_personalization", "granted"},
                                                {"ad_user_data", "granted"}}));
  EXPECT_EQ(front_->calls[0].second, "consent_settings_tcf");

  // The same values again: nothing.
  client->setConsentFromTCFData();
  EXPECT_EQ(events_->events.size(), 1u);
  EXPECT_EQ(front_->calls.size(), 1u);

  // A value gone is a change, and removes the stored copy of it.
  appDefaults_->setObject(std::nullopt, "IABTCF_CmpSdkID");
  client->setConsentFromTCFData();
  EXPECT_EQ(events_->events.size(), 2u);
  EXPECT_EQ(events_->events[1].parameters, (Dictionary{{"_tcfd", "1004f"}}));
  EXPECT_FALSE(suite_->contents().contains("IABTCF_CmpSdkID"));
  EXPECT_EQ(front_->calls.size(), 2u);

  // Forgetting the copy makes the next call see a change again.
  client->clearPersistedValues();
  EXPECT_TRUE(suite_->contents().empty());
  client->setConsentFromTCFData();
  EXPECT_EQ(events_->events.size(), 3u);
}

TEST_F(APMTCFClientTest, ConsentIsAppliedOnlyWhenAllFourConditionsHold) {
  const struct {
    const char* name;
    const char* key;  // changed in the everything-granted values
    std::optional<Value> value;
    Dictionary info;
  } cases[] = {
      {"switch off", "", {}, {{"RERORA_ANALYTICS_TCF_DATA_ENABLED", 0}}},
      {"advertiser consent mode off", "IABTCF_EnableAdvertiserConsentMode", Value(0), {}},
      {"advertiser consent mode missing", "IABTCF_EnableAdvertiserConsentMode", std::nullopt, {}},
      {"vendor string too short", "IABTCF_VendorConsents", Value(bits(754, {})), {}},
      {"vendor not consented", "IABTCF_VendorConsents", Value(bits(900, {753, 755})), {}},
      {"vendor string missing", "IABTCF_VendorConsents", std::nullopt, {}},
      {"GDPR does not apply", "IABTCF_gdprApplies", Value(0), {}},
      {"GDPR applies as text", "IABTCF_gdprApplies", Value("1"), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictionary values = everythingGranted();
    if (*c.key) {
      if (c.value) {
        values.set(c.key, *c.value);
      } else {
        values.erase(c.key);
      }
    }
    events_->events.clear();
    auto client = makeClient(values, c.info);
    client->setConsentFromTCFData();
    EXPECT_FALSE(client->shouldApplyTCFData());
    EXPECT_EQ(events_->events.size(), 1u);
    EXPECT_TRUE(suite_->contents().contains("tcf_StringRepresentation"));
  }
  EXPECT_TRUE(front_->calls.empty());
}

TEST_F(APMTCFClientTest, PurposesGiveTheConsentOfThreeTypes) {
  const struct {
    std::string purposes;
    int policyVersion;
    Dictionary consent;
  } cases[] = {
      {bits(7, {0, 6}),
       3,
       {{"ad_storage", "granted"}, {"ad_personalization", "denied"}, {"ad_user_data", "denied"}}},
      {bits(7, {0, 6}),
       4,
       {{"ad_storage", "granted"}, {"ad_personalization", "denied"}, {"ad_user_data", "granted"}}},
      {bits(4, {2}),
       4,
       {{"ad_storage", "denied"}, {"ad_personalization", "denied"}, {"ad_user_data", "denied"}}},
      {bits(4, {2, 3}),
       4,
       {{"ad_storage", "denied"}, {"ad_personalization", "granted"}, {"ad_user_data", "denied"}}},
  };
  for (const auto& c : cases) {
    front_->calls.clear();
    Dictionary values = everythingGranted();
    values.set("IABTCF_PurposeConsents", c.purposes);
    values.set("IABTCF_PolicyVersion", c.policyVersion);
    makeClient(values)->setConsentFromTCFData();
    ASSERT_EQ(front_->calls.size(), 1u) << c.purposes;
    EXPECT_EQ(front_->calls[0].first, c.consent) << c.purposes << " policy " << c.policyVersion;
  }
}

TEST_F(APMTCFClientTest, RepresentationAndSummaryOfTheValues) {
  const struct {
    Dictionary values;
    bool switchOn, dmaRegion;
    const char* representation;
    const char* summary;
  } cases[] = {
      {{}, true, true, "isTCFDataEnabled=1", "10005"},
      {{}, false, false, "isTCFDataEnabled=0", "10000"},
      {everythingGranted(), true, false,
       "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
       "hasReroraInVendorConsents=1,gdprApplies=1,policyVersion=4,purposeConsents=1111111111",
       "14I4e"},
      {{{"IABTCF_CmpSdkID", 5000}, {"IABTCF_PolicyVersion", 64}, {"IABTCF_gdprApplies", true}},
       true,
       true,
       "isTCFDataEnabled=1,cmpSDKID=5000,gdprApplies=1,policyVersion=64",
       "10007"},
      {{{"IABTCF_CmpSdkID", -1}, {"IABTCF_PolicyVersion", -1}, {"IABTCF_VendorConsents", ""}},
       true,
       true,
       "isTCFDataEnabled=1,cmpSDKID=-1,hasReroraInVendorConsents=0,policyVersion=-1",
       "10005"},
      {{{"IABTCF_CmpSdkID", 4095},
        {"IABTCF_PolicyVersion", 63},
        {"IABTCF_EnableAdvertiserConsentMode", 0},
        {"IABTCF_PurposeConsents", ""}},
       true,
       true,
       "isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=0,cmpSDKID=4095,policyVersion=63,"
       "purposeConsents=",
       "1___5"},
      {{{"IABTCF_CmpSdkID", 64.7},
        {"IABTCF_PolicyVersion", 65.0},
        {"IABTCF_EnableAdvertiserConsentMode", 2}},
       false,
       true,
       "isTCFDataEnabled=0,isAdvertiserConsentModeEnabled=1,cmpSDKID=64,policyVersion=65",
       "11009"},
  };
  for (const auto& c : cases) {
    auto client = makeClient(c.values, {{"RERORA_ANALYTICS_TCF_DATA_ENABLED", c.switchOn}});
    client->setIsDMARegion(c.dmaRegion);
    client->readTCFData();
    EXPECT_EQ(client->stringRepresentationFromTCFData(), c.representation);
    EXPECT_EQ(client->tcfBundleParameterValue(), c.summary) << c.representation;
  }
}

}  // namespace
