// Stores values of any shape under the keys of the analytics internal API's settings suite, as a
// damaged or foreign preferences file would hand them back, then runs the readers over them:
// loading the persisted consent, the typed accessors of the reset and consent values, the
// safelist check of the start options and the collection-switch notification. Every read must
// refuse odd kinds by reading them as absent, and the answers must keep their forms.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/engine/APMAnalytics.h"
#include "foundation/DAVOdazaradoConfiguration.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr int kMaxOperations = 24;
constexpr int kMaxDepth = 3;
constexpr int kMaxEntries = 6;

constexpr const char* kKeys[] = {"consent_source",
                                 "consent_settings",
                                 "consent_settings_3p",
                                 "consent_settings_tcf",
                                 "consent_settings_on_start",
                                 "deferred_consent_reset",
                                 "reset_retry_count",
                                 "need_first_open_after_reset",
                                 "app_instance_id_after_reset",
                                 "deferred_analytics_collection"};
constexpr const char* kWords[] = {
    "granted", "denied",    "ad_storage", "analytics_storage", "ad_user_data", "ad_personalization",
    "_e",      "first_open"};

// Preferences in a folder of the target's own, removed at exit.
void isolatePreferences() {
  std::string folder = (platform::temporaryDirectory() / "vilmo-fuzz-analytics-XXXXXX").string();
  fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
}

platform::Value readValue(fuzz::FuzzInput& input, int depth) {
  switch (input.byte() % 10) {
  case 0:
  case 1:
    return platform::Value(kWords[input.byte() % std::size(kWords)]);
  case 2:
    return platform::Value(input.shortText());
  case 3:
    return platform::Value(input.byte() % 2 == 1);
  case 4:
    return platform::Value(static_cast<std::int64_t>(input.integer(input.byte() % 9)));
  case 5:
    return platform::Value(input.real());
  case 6:
    return platform::Value(platform::Data::fromString(input.shortText()));
  case 7: {
    if (depth >= kMaxDepth) return platform::Value();
    platform::Array array;
    const int count = input.byte() % (kMaxEntries + 1);
    for (int i = 0; i < count; ++i) array.push_back(readValue(input, depth + 1));
    return platform::Value(std::move(array));
  }
  default: {
    if (depth >= kMaxDepth) return platform::Value();
    platform::Dictionary dictionary;
    const int count = input.byte() % (kMaxEntries + 1);
    for (int i = 0; i < count; ++i) {
      std::string key = input.byte() < 200 ? std::string(kWords[input.byte() % std::size(kWords)])
                                           : input.shortText();
      dictionary.set(std::move(key), readValue(input, depth + 1));
    }
    return platform::Value(std::move(dictionary));
  }
  }
}

void checkReads() {
  (void)APMAnalytics::resetRetryCount();
  (void)APMAnalytics::needFirstOpenAfterReset();
  (void)APMAnalytics::appInstanceIDAfterReset();
  if (const auto deferred = APMAnalytics::deferredAnalyticsCollection()) {
    fuzzCheck(deferred->isNumber(), "the deferred collection state is a number");
  }
  (void)APMAnalytics::persistedConsentSource();
  const bool layerTCF = APMAnalytics::consentSettingsTCF().has_value();
  const bool layer3P = APMAnalytics::consentSettings3P().has_value();
  const bool layer1P = APMAnalytics::consentSettings1P().has_value();
  (void)APMAnalytics::consentSettings1PStart();
  (void)APMAnalytics::deferredResetOnDeniedConsent();

  APMConsentSettingsUtil::clearAllSettings();
  const std::int64_t stored = APMAnalytics::persistedConsentSource();
  APMAnalytics::loadPersistedConsentSettings();
  const std::int64_t loaded = APMConsentSettingsUtil::consentSource();
  std::int64_t expected = stored;
  if (stored != APMConsentSettingsUtil::kSourceNone) {
    if (layerTCF) {
      expected = std::min<std::int64_t>(stored, 5);
    } else if (layer3P) {
      expected = std::min<std::int64_t>(stored, 20);
    } else if (layer1P) {
      expected = std::min<std::int64_t>(stored, 40);
    }
  }
  fuzzCheck(loaded == expected, "the first stored layer caps the stored source");
  const auto personalization = APMConsentSettingsUtil::adPersonalization();
  fuzzCheck(!personalization || *personalization == 0 || *personalization == 1,
            "ad personalization is 0, 1 or none");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool isolated = (isolatePreferences(), true);
  (void)isolated;
  fuzz::FuzzInput input(data, size);
  const auto defaults = APMAnalytics::userDefaults();
  for (const char* key : kKeys) defaults->setObject(std::nullopt, key);
  for (int i = 0; i < kMaxOperations; ++i) {
    switch (input.byte() % 4) {
    case 0:
    case 1:
      defaults->setObject(readValue(input, 0), kKeys[input.byte() % std::size(kKeys)]);
      break;
    case 2:
      (void)APMAnalytics::APMValidateSafelistedEvents(readValue(input, 0));
      break;
    default: {
      platform::Dictionary userInfo;
      userInfo.set(DAVOdazaradoConfiguration::kSetEnabledNotification, readValue(input, 0));
      APMAnalytics::handleSetEnabled(userInfo);
      break;
    }
    }
    checkReads();
  }
  return 0;
}
