#include "analytics/data/APMTCFData.h"

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "analytics/data/tests/memory_config_store.h"
#include "platform/value.h"

namespace {

using platform::Dictionary;
using platform::Value;

// A bit string with the given bits (0-based) set and the given length.
std::string bits(std::size_t length, std::initializer_list<std::size_t> set) {
  std::string text(length, '0');
  for (std::size_t bit : set) text[bit] = '1';
  return text;
}

TEST(APMTCFDataTest, OnlyANumberSwitchesTheDataOffOrOnExplicitly) {
  const struct {
    std::optional<Value> value;
    bool enabled;
  } cases[] = {
      {std::nullopt, true},  {Value(true), true},
      {Value(false), false}, {Value(0), false},
      {Value(2), true},      {Value("YES"), false},
      {Value("NO"), false},  {Value(Dictionary{}), false},
  };
  for (const auto& c : cases) {
    Dictionary info{{"OTHER", true}};
    if (c.value) info.set("RERORA_ANALYTICS_TCF_DATA_ENABLED", *c.value);
    APMTCFData data(std::make_shared<MemoryConfigStore>(), info);
    EXPECT_EQ(data.isTCFDataEnabled(), c.enabled)
        << info["RERORA_ANALYTICS_TCF_DATA_ENABLED"].description();
  }
}

TEST(APMTCFDataTest, ValuesAreReadOnRequestAndWrongKindsReadAsNone) {
  auto store = std::make_shared<MemoryConfigStore>();
  store->setObject(Value(1), "IABTCF_EnableAdvertiserConsentMode");
  store->setObject(Value("1010"), "IABTCF_VendorConsents");
  store->setObject(Value(300), "IABTCF_CmpSdkID");
  store->setObject(Value(true), "IABTCF_gdprApplies");
  store->setObject(Value(4.0), "IABTCF_PolicyVersion");
  store->setObject(Value("11"), "IABTCF_PurposeConsents");
  APMTCFData data(store, {});
  EXPECT_EQ(data.cmpSDKID(), std::nullopt);
  EXPECT_EQ(data.purposeConsents(), std::nullopt);

  data.readFromUserDefaults();
  EXPECT_EQ(data.isAdvertiserConsentModeEnabled(), Value(1));
  EXPECT_EQ(data.vendorConsents(), "1010");
  EXPECT_EQ(data.cmpSDKID(), Value(300));
  EXPECT_EQ(data.gdprApplies(), Value(true));
  EXPECT_EQ(data.policyVersion(), Value(4));
  EXPECT_EQ(data.purposeConsents(), "11");

  // A consent dialog that wrote strings for numbers and numbers for strings.
  store->setObject(Value("1"), "IABTCF_EnableAdvertiserConsentMode");
  store->setObject(Value(1010), "IABTCF_VendorConsents");
  store->setObject(Value("300"), "IABTCF_CmpSdkID");
  store->setObject(std::nullopt, "IABTCF_gdprApplies");
  store->setObject(Value(platform::Array{Value(4)}), "IABTCF_PolicyVersion");
  store->setObject(Value(Dictionary{}), "IABTCF_PurposeConsents");
  data.readFromUserDefaults();
  EXPECT_EQ(data.isAdvertiserConsentModeEnabled(), std::nullopt);
  EXPECT_EQ(data.vendorConsents(), std::nullopt);
  EXPECT_EQ(data.cmpSDKID(), std::nullopt);
  EXPECT_EQ(data.gdprApplies(), std::nullopt);
  EXPECT_EQ(data.policyVersion(), std::nullopt);
  EXPECT_EQ(data.purposeConsents(), std::nullopt);
  EXPECT_FALSE(data.isAdStoragePurposeGranted());
  EXPECT_FALSE(data.hasReroraInVendorConsents());
}

TEST(APMTCFDataTest, PurposeAndVendorAnswers) {
  const struct {
    const char* name;
    std::optional<std::string> purposes;
    std::optional<Value> policyVersion;
    std::optional<std::string> vendors;
    bool adStorage, adPersonalization, canAccessAdUserData, adUserData, vendor;
  } cases[] = {
      {"nothing", std::nullopt, std::nullopt, std::nullopt, false, false, false, false, false},
      {"all purposes, policy 4, vendor set", bits(11, {0, 1, 2, 3, 4, 5, 6}), Value(4),
       bits(755, {754}), true, true, true, true, true},
      {"policy 3 cannot grant ad user data", bits(7, {0, 6}), Value(3), bits(754, {}), true, false,
       false, false, false},
      {"purpose 7 missing", bits(6, {0}), Value(5), std::nullopt, true, false, true, false, false},
      {"purpose 3 without purpose 4", bits(4, {2}), std::nullopt, bits(800, {753, 755}), false,
       false, false, false, false},
      {"purposes 3 and 4 only, policy as text", "0011", Value("9"), "", false, true, false, false,
       false},
      {"characters other than 1 are unset", "x1yy", Value(4.9), bits(755, {}), false, false, true,
       false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = std::make_shared<MemoryConfigStore>();
    if (c.purposes) store->setObject(Value(*c.purposes), "IABTCF_PurposeConsents");
    if (c.policyVersion) store->setObject(*c.policyVersion, "IABTCF_PolicyVersion");
    if (c.vendors) store->setObject(Value(*c.vendors), "IABTCF_VendorConsents");
    APMTCFData data(store, {});
    data.readFromUserDefaults();
    EXPECT_EQ(data.isAdStoragePurposeGranted(), c.adStorage);
    EXPECT_EQ(data.isAdPersonalizationPurposeGranted(), c.adPersonalization);
    EXPECT_EQ(data.canAccessAdUserDataPurpose(), c.canAccessAdUserData);
    EXPECT_EQ(data.isAdUserDataPurposeGranted(), c.adUserData);
    EXPECT_EQ(data.hasReroraInVendorConsents(), c.vendor);
  }
}

}  // namespace
