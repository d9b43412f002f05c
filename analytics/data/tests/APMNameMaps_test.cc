// The tables between public and internal names, the name lists and the name predicates.

#include "analytics/data/APMNameMaps.h"

#include <gtest/gtest.h>

#include "analytics/messages/tests/recording_monitor.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Dictionary;
using platform::Value;

std::string lookUp(const Dictionary& map, std::string_view key) {
  const Value* value = map.find(key);
  return value != nullptr && value->asString() != nullptr ? *value->asString() : "<absent>";
}

TEST(APMNameMaps, TablesHaveTheirFullSize) {
  EXPECT_EQ(APMEventNameMap().size(), 32u);
  EXPECT_EQ(APMEventNameReverseMap().size(), 31u);
  EXPECT_EQ(APMReservedEventNamesAllowedForPublicLogging().size(), 1u);
  EXPECT_EQ(APMParameterNameMap().size(), 54u);
  EXPECT_EQ(internalUserPropertyNamesByPublicName().size(), 10u);
  for (const Dictionary* map :
       {&APMEventNameMap(), &APMParameterNameMap(), &internalUserPropertyNamesByPublicName()}) {
    for (const auto& [publicName, internalName] : *map) {
      ASSERT_NE(internalName.asString(), nullptr) << publicName;
      EXPECT_TRUE(internalName.asString()->starts_with("_")) << publicName;
      EXPECT_FALSE(publicName.starts_with("_")) << publicName;
    }
  }
}

TEST(APMNameMaps, EventNamesMapBothWays) {
  EXPECT_EQ(lookUp(APMEventNameMap(), "screen_view"), "_vs");
  EXPECT_EQ(lookUp(APMEventNameReverseMap(), "_vs"), "screen_view");
  EXPECT_EQ(lookUp(APMEventNameMap(), "da_campaign"), "_cmp");
  EXPECT_EQ(lookUp(APMEventNameMap(), "ziruzada_campaign"), "_cmp");
  EXPECT_EQ(lookUp(APMEventNameReverseMap(), "_cmp"), "da_campaign");
  EXPECT_EQ(lookUp(APMEventNameMap(), "app_store_subscription_cancel"), "_asse");
  EXPECT_EQ(lookUp(APMReservedEventNamesAllowedForPublicLogging(), "ad_impression"), "_ai");
  // Every reverse entry leads back to its internal name.
  for (const auto& [internalName, publicName] : APMEventNameReverseMap()) {
    EXPECT_EQ(lookUp(APMEventNameMap(), *publicName.asString()), internalName);
  }
  // Names absent from a map give nothing; callers then use them unchanged.
  EXPECT_EQ(APMEventNameMap().find("my_event"), nullptr);
  EXPECT_EQ(APMEventNameReverseMap().find("_xyz"), nullptr);
  EXPECT_EQ(APMParameterNameMap().find("items"), nullptr);
}

TEST(APMNameMaps, ParameterAndUserPropertyNamesShareInternalNames) {
  EXPECT_EQ(lookUp(APMParameterNameMap(), "engagement_time_msec"), "_et");
  EXPECT_EQ(lookUp(APMParameterNameMap(), "da_screen"), "_sn");
  EXPECT_EQ(lookUp(APMParameterNameMap(), "ziruzada_screen"), "_sn");
  EXPECT_EQ(lookUp(APMParameterNameMap(), "message_device_time"), "_ndt");
  EXPECT_EQ(lookUp(APMParameterNameMap(), "update_with_analytics"), "_uwa");
  EXPECT_EQ(lookUp(internalUserPropertyNamesByPublicName(), "user_id"), "_id");
  EXPECT_EQ(lookUp(internalUserPropertyNamesByPublicName(), "da_session_number"), "_sno");
}

TEST(APMNameMaps, NameListsByExactMembership) {
  struct Case {
    const char* name;
    bool ecommerce;
    bool item;
    bool purchase;
  };
  const Case cases[] = {
      {"purchase", true, false, true},
      {"refund", true, false, true},
      {"view_search_results", true, false, false},
      {"ecommerce_purchase", true, false, true},
      {"_f", false, false, true},
      {"_iap", false, false, true},
      {"value", false, true, false},
      {"currency", false, true, false},
      {"item_location_id", false, true, false},
      {"items", false, false, false},
      {"Purchase", false, false, false},
      {"", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMIsEcommerceEventName(c.name), c.ecommerce) << c.name;
    EXPECT_EQ(APMIsItemParameterName(c.name), c.item) << c.name;
    EXPECT_EQ(APMIsPurchaseEventName(c.name), c.purchase) << c.name;
  }
}

TEST(APMNameMaps, PublicNamesDoNotStartWithAnUnderscore) {
  struct Case {
    std::optional<Value> name;
    bool isPublic;
    std::int64_t loggedCode;  // 0: nothing logged
  };
  const Case cases[] = {
      {Value("_vs"), false, 0},
      {Value("vs"), true, 0},
      {Value("écran_vu"), true, 0},
      {Value(""), false, 18003},
      {Value(12), false, 18002},
      {std::nullopt, false, 18002},
  };
  for (const Case& c : cases) {
    ScopedMonitor monitor;
    const std::string label = c.name ? c.name->description() : "nil";
    EXPECT_EQ(APMIsPublicName(c.name), c.isPublic) << label;
    const auto lines = monitor->lines();
    if (c.loggedCode == 0) {
      EXPECT_TRUE(lines.empty()) << label;
    } else {
      ASSERT_EQ(lines.size(), 1u) << label;
      EXPECT_EQ(lines[0].level, 2);
      EXPECT_EQ(lines[0].messageCode, c.loggedCode);
    }
  }
  EXPECT_FALSE(APMIsNotErrorEventName("_err"));
  EXPECT_TRUE(APMIsNotErrorEventName("error"));
}

TEST(APMNameMaps, ScreenParametersAreCopiedOut) {
  const Dictionary parameters{{"_sn", Value("Home")}, {"_si", Value(7)}, {"_o", Value("auto")}};
  EXPECT_TRUE(APMHasScreenParameters(parameters));
  EXPECT_TRUE(APMHasScreenParameters(Dictionary{{"_sc", Value("HomeView")}}));
  EXPECT_FALSE(APMHasScreenParameters(Dictionary{{"_o", Value("auto")}}));
  EXPECT_FALSE(APMHasScreenParameters(Dictionary()));

  const Dictionary screen = APMScreenParameters(parameters);
  EXPECT_EQ(screen, (Dictionary{{"_sn", Value("Home")}, {"_si", Value(7)}}));
  EXPECT_TRUE(APMScreenParameters(Dictionary()).empty());
}

}  // namespace
