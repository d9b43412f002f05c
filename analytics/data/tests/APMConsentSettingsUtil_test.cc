#include "analytics/data/APMConsentSettingsUtil.h"

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/value.h"

namespace {

using platform::Dictionary;
using platform::Value;

// The state is process-wide; every test starts from the state at start.
class APMConsentSettingsUtilTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAll(); }
  void TearDown() override { resetAll(); }
  static void resetAll() {
    APMConsentSettingsUtil::clearAllSettings();
    APMConsentSettingsUtil::setVersion(1);
  }
};

TEST_F(APMConsentSettingsUtilTest, ConfigurationNumbersNameTypesAndStatuses) {
  const struct {
    std::int64_t number;
    std::optional<std::string> type;
    std::optional<std::string> status;
  } cases[] = {
      {-1, std::nullopt, std::nullopt},  {0, std::nullopt, std::nullopt},
      {1, "ad_storage", "granted"},      {2, "analytics_storage", "denied"},
      {3, "ad_user_data", std::nullopt}, {4, "ad_personalization", std::nullopt},
      {5, std::nullopt, std::nullopt},   {INT64_MIN, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMConsentTypeName(c.number), c.type) << c.number;
    EXPECT_EQ(APMConsentStatusName(c.number), c.status) << c.number;
  }
}

struct ConsentLayers {
  Dictionary consent = {};  // set by the internal call (source 30) when not empty
  std::optional<Dictionary> defaults = {};
  std::optional<Dictionary> delegated = {};
  std::optional<Dictionary> regional = {};
};

struct ConsentAnswers {
  bool adStorageDenied, analyticsStorageDenied, adUserDataDenied;
  std::optional<std::int64_t> adPersonalization;
  const char* signal;
  const char* diagnostics;
};

TEST_F(APMConsentSettingsUtilTest, StatusesSignalAndDiagnosticsFollowEveryLayer) {
  const Dictionary none;
  const struct {
    const char* name;
    ConsentLayers layers;
    ConsentAnswers answers;
  } cases[] = {
      {"nothing set", {}, {false, false, false, std::nullopt, "G1--", "19999"}},
      {"storage statuses",
       {{{"ad_storage", "denied"}, {"analytics_storage", "granted"}}},
       {true, false, false, std::nullopt, "G101", "15599"}},
      {"statuses in any case",
       {{{"ad_storage", "GRANTED"}, {"analytics_storage", "Denied"}}},
       {false, true, false, std::nullopt, "G110", "15599"}},
      {"explicit default without regional defaults",
       {{{"ad_storage", "DEFAULT"}, {"ad_user_data", "default"}}},
       {false, false, true, std::nullopt, "G11-", "18989"}},
      {"explicit default resolved by regional defaults",
       {{{"analytics_storage", "Default"},
         {"ad_user_data", "default"},
         {"ad_personalization", "default"}},
        {},
        {},
        Dictionary{{"analytics_storage", "denied"},
                   {"ad_user_data", "granted"},
                   {"ad_personalization", "granted"}}},
       {false, true, false, 1, "G1-0", "19888"}},
      {"ad user data delegated to a denied type",
       {{{"ad_storage", "denied"}}, {}, Dictionary{{"ad_user_data", "ad_storage"}}, {}},
       {true, false, true, std::nullopt, "G10-", "15929"}},
      {"delegate's default is taken raw, not resolved",
       {{{"ad_storage", "default"}},
        {},
        Dictionary{{"ad_user_data", "ad_storage"}},
        Dictionary{{"ad_storage", "denied"}}},
       {true, false, false, std::nullopt, "G10-", "18929"}},
      {"delegate without a value falls back to the default settings",
       {none,
        Dictionary{{"ad_user_data", "denied"}},
        Dictionary{{"ad_user_data", "analytics_storage"}},
        {}},
       {false, false, true, std::nullopt, "G1--", "19929"}},
      {"explicit ad user data wins over its delegate",
       {{{"ad_storage", "denied"}, {"ad_user_data", "granted"}},
        {},
        Dictionary{{"ad_user_data", "ad_storage"}},
        {}},
       {true, false, false, std::nullopt, "G10-", "15959"}},
      {"default settings never decide storage",
       {none, Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}, {}, {}},
       {false, false, false, std::nullopt, "G1--", "19999"}},
      {"default settings decide ad user data and personalization",
       {none, Dictionary{{"ad_user_data", "denied"}, {"ad_personalization", "granted"}}, {}, {}},
       {false, false, true, 1, "G1--", "19911"}},
      {"explicit personalization wins over the default settings",
       {{{"ad_personalization", "DENIED"}}, Dictionary{{"ad_personalization", "granted"}}, {}, {}},
       {false, false, false, 0, "G1--", "19995"}},
      {"values that are no status",
       {{{"ad_storage", 2}, {"analytics_storage", "maybe"}, {"ad_personalization", "yes"}}},
       {false, false, false, std::nullopt, "G1--", "15595"}},
  };
  for (const auto& [name, layers, answers] : cases) {
    SCOPED_TRACE(name);
    resetAll();
    if (!layers.consent.empty()) APMConsentSettingsUtil::updateSettings(layers.consent, 30);
    APMConsentSettingsUtil::setDefaultSettings(layers.defaults);
    APMConsentSettingsUtil::setDelegatedSettings(layers.delegated);
    APMConsentSettingsUtil::setRegionalDefaults(layers.regional);
    EXPECT_EQ(APMConsentSettingsUtil::isAdStorageDenied(), answers.adStorageDenied);
    EXPECT_EQ(APMConsentSettingsUtil::isAnalyticsStorageDenied(), answers.analyticsStorageDenied);
    EXPECT_EQ(APMConsentSettingsUtil::isAdUserDataDenied(), answers.adUserDataDenied);
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), answers.adPersonalization);
    EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), answers.signal);
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), answers.diagnostics);
  }
}

TEST_F(APMConsentSettingsUtilTest, SourcePriorityMatrix) {
  const std::int64_t candidates[] = {5, 10, 20, 30, 40};
  // Per current source, Y or N for each candidate above.
  const struct {
    std::int64_t current;
    const char* higher;
    const char* equal;
  } rows[] = {
      {5, "YYNNN", "YYNNN"},  {10, "YYNNN", "YYNNN"}, {20, "YYYNN", "NNYNN"},
      {30, "YYYYN", "NNNYN"}, {40, "YYYYY", "NNNNY"}, {100, "YYYYY", "NNNNN"},
  };
  for (const auto& row : rows) {
    APMConsentSettingsUtil::setConsentSource(row.current);
    for (std::size_t i = 0; i < std::size(candidates); ++i) {
      SCOPED_TRACE(testing::Message()
                   << "current " << row.current << ", candidate " << candidates[i]);
      EXPECT_EQ(APMConsentSettingsUtil::isConsentSourceHigherPriority(candidates[i]),
                row.higher[i] == 'Y');
      EXPECT_EQ(APMConsentSettingsUtil::isConsentSourceEqualPriority(candidates[i]),
                row.equal[i] == 'Y');
    }
  }
}

TEST_F(APMConsentSettingsUtilTest, EachSourceLeavesItsDiagnosticCode) {
  const struct {
    std::int64_t source;
    char code;
  } cases[] = {{5, '7'}, {10, '5'}, {20, '3'}, {30, '5'}, {40, '4'}, {100, '0'}, {17, '0'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    resetAll();
    // Recorded by the merge for the types it was given...
    APMConsentSettingsUtil::updateSettings({{"ad_storage", "granted"}}, c.source);
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), std::string("1") + c.code + "999");
    // ...and by setting the source, for every type held.
    resetAll();
    APMConsentSettingsUtil::setConsentSettings(
        Dictionary{{"analytics_storage", "denied"}, {"ad_user_data", "DEFAULT"}});
    APMConsentSettingsUtil::setConsentSource(c.source);
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), std::string("19") + c.code + "89");
  }
}

TEST_F(APMConsentSettingsUtilTest, MergesKeepOldEntriesAndOnlyTheSourcedOneMovesTheSource) {
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}, {"ad_user_data", "denied"}},
                                         10);
  APMConsentSettingsUtil::updateSettings(
      {{"ad_storage", "granted"}, {"analytics_storage", "denied"}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(),
            (Dictionary{{"ad_storage", "granted"},
                        {"ad_user_data", "denied"},
                        {"analytics_storage", "denied"}}));
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 10);
  // The unsourced merge records no code: analytics storage keeps the 0 of a fresh table.
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15059");

  APMConsentSettingsUtil::updateSettings({{"analytics_storage", "granted"}}, 5);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15759");
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings()->size(), 3u);
}

TEST_F(APMConsentSettingsUtilTest, ClearingTheSettingsForgetsTheSourceAndClearAllKeepsTheVersion) {
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 10);
  APMConsentSettingsUtil::setConsentSettings(std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "19999");

  // A dictionary is stored as given and leaves the source alone.
  APMConsentSettingsUtil::setConsentSource(20);
  APMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 20);

  APMConsentSettingsUtil::setVersion(2);
  APMConsentSettingsUtil::setVersion(3);
  APMConsentSettingsUtil::setVersion(0);
  EXPECT_EQ(APMConsentSettingsUtil::version(), 2);
  APMConsentSettingsUtil::setDefaultSettings(Dictionary{{"ad_user_data", "denied"}});
  APMConsentSettingsUtil::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
  APMConsentSettingsUtil::setRegionalDefaults(Dictionary{{"ad_storage", "denied"}});
  APMConsentSettingsUtil::clearAllSettings();
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::defaultSettings(), std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::delegatedSettings(), std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::regionalDefaults(), std::nullopt);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  EXPECT_EQ(APMConsentSettingsUtil::version(), 2);
  EXPECT_FALSE(APMConsentSettingsUtil::isAdUserDataDenied());
}

TEST_F(APMConsentSettingsUtilTest, DirectCodesAndUnsettingPersonalization) {
  // A code written directly lasts while the type has an explicit value; the refresh behind
  // the diagnostics recomputes the others.
  APMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_personalization", "granted"}});
  APMConsentSettingsUtil::setDiagnosticSource(3, "ad_personalization");
  APMConsentSettingsUtil::setDiagnosticSource(1, "ad_storage");
  APMConsentSettingsUtil::setDiagnosticSource(6, "no_such_type");
  APMConsentSettingsUtil::setDiagnosticSource(10, "ad_personalization");
  APMConsentSettingsUtil::setDiagnosticSource(-1, "ad_personalization");
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "19993");

  APMConsentSettingsUtil::unsetAdPersonalization();
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), Dictionary{});
  EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), std::nullopt);
  // With the default settings holding the type, its code now says so.
  APMConsentSettingsUtil::setDefaultSettings(Dictionary{{"ad_personalization", "denied"}});
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "19991");
  EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 0);

  // Without an explicit value there is nothing to unset, and a written code stays put.
  APMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_storage", "granted"}});
  APMConsentSettingsUtil::setDiagnosticSource(5, "ad_storage");
  APMConsentSettingsUtil::unsetAdPersonalization();
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), (Dictionary{{"ad_storage", "granted"}}));
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15991");
}

TEST_F(APMConsentSettingsUtilTest, DescriptionShowsStoredResolvedAndAssumedValues) {
  const struct {
    Dictionary consent;
    std::optional<Dictionary> regional;
    const char* description;
  } cases[] = {
      {{}, {}, "ad_storage is granted. analytics_storage is granted."},
      {{{"ad_storage", "DEFAULT"}},
       {},
       "ad_storage is granted (default). analytics_storage is granted."},
      {{{"analytics_storage", "default"}, {"ad_user_data", "denied"}},
       Dictionary{{"analytics_storage", "denied"}},
       "ad_storage is granted. analytics_storage is denied (default). ad_user_data is denied."},
      {{{"ad_personalization", "default"}, {"ad_storage", "denied"}, {"ad_user_data", "default"}},
       {},
       "ad_storage is denied. analytics_storage is granted. ad_user_data is denied (default). "
       "ad_personalization is denied (default)."},
  };
  for (const auto& c : cases) {
    resetAll();
    if (!c.consent.empty()) APMConsentSettingsUtil::setConsentSettings(c.consent);
    APMConsentSettingsUtil::setRegionalDefaults(c.regional);
    EXPECT_EQ(APMConsentSettingsUtil::description(), c.description);
  }
}

TEST_F(APMConsentSettingsUtilTest, AdUserDataChangeComparesWithTheEarlierAnswer) {
  const bool before = APMConsentSettingsUtil::isAdUserDataDenied();
  EXPECT_FALSE(APMConsentSettingsUtil::didAdUserDataConsentChange(before));
  APMConsentSettingsUtil::updateSettings({{"ad_user_data", "denied"}}, 10);
  EXPECT_TRUE(APMConsentSettingsUtil::didAdUserDataConsentChange(before));
  EXPECT_FALSE(APMConsentSettingsUtil::didAdUserDataConsentChange(true));
}

TEST_F(APMConsentSettingsUtilTest, DictionariesKeepOnlyTheFourTypes) {
  const Dictionary given{{"ad_storage", "maybe"},    {"other", "denied"},
                         {"ad_user_data", 7},        {"Ad_Storage", "denied"},
                         {"ad_personalization", ""}, {"analytics_storage", Dictionary{}}};
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromDictionary(given),
            (Dictionary{{"ad_storage", "maybe"},
                        {"ad_user_data", 7},
                        {"ad_personalization", ""},
                        {"analytics_storage", Dictionary{}}}));
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromDictionary({}), Dictionary{});
}

TEST_F(APMConsentSettingsUtilTest, InfoPlistValuesBecomeConsentDefaults) {
  constexpr const char* kAdStorage = "RERORA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
  constexpr const char* kPersonalization =
      "RERORA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
  const struct {
    const char* key;
    Value value;
    const char* type;
    std::optional<std::string> expected;
  } cases[] = {
      {kAdStorage, true, "ad_storage", "granted"},
      {kAdStorage, false, "ad_storage", "denied"},
      {kAdStorage, 0, "ad_storage", "denied"},
      {kAdStorage, 0.5, "ad_storage", "granted"},
      {kAdStorage, "true", "ad_storage", "granted"},
      {kAdStorage, "  +007", "ad_storage", "granted"},
      {kAdStorage, "granted", "ad_storage", "denied"},
      {kAdStorage, "Default", "ad_storage", "default"},
      {kAdStorage, platform::Data::fromString("1"), "ad_storage", std::nullopt},
      {kAdStorage, platform::Array{Value(true)}, "ad_storage", std::nullopt},
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "NO", "analytics_storage", "denied"},
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", 1, "ad_user_data", "granted"},
      {kPersonalization, true, "ad_personalization", std::nullopt},
      {kPersonalization, "yes", "ad_personalization", "granted"},
      {kPersonalization, "DEFAULT", "ad_personalization", "default"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.key << " = " << c.value.description());
    const Dictionary settings =
        APMConsentSettingsUtil::consentSettingsFromInfoDictionary(Dictionary{{c.key, c.value}});
    if (c.expected) {
      EXPECT_EQ(settings, (Dictionary{{c.type, *c.expected}}));
    } else {
      EXPECT_TRUE(settings.empty());
    }
  }
  const Dictionary all = APMConsentSettingsUtil::consentSettingsFromInfoDictionary(
      {{kAdStorage, false},
       {"RERORA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", true},
       {"RERORA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "default"},
       {kPersonalization, "n"},
       {"UNRELATED", true}});
  EXPECT_EQ(all, (Dictionary{{"ad_storage", "denied"},
                             {"analytics_storage", "granted"},
                             {"ad_user_data", "default"},
                             {"ad_personalization", "denied"}}));
}

TEST_F(APMConsentSettingsUtilTest, WritesFromManyThreadsAllLand) {
  const char* types[] = {"ad_storage", "analytics_storage", "ad_user_data", "ad_personalization"};
  std::vector<std::thread> writers;
  for (const char* type : types) {
    writers.emplace_back([type] {
      for (int i = 0; i < 50; ++i) {
        APMConsentSettingsUtil::updateSettings({{type, i % 2 == 0 ? "granted" : "denied"}}, 30);
        (void)APMConsentSettingsUtil::consentSignals();
      }
    });
  }
  for (auto& writer : writers) writer.join();
  // Every writer's last write was "denied".
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "G100");
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15555");
  EXPECT_TRUE(APMConsentSettingsUtil::isAdUserDataDenied());
}

}  // namespace
