// Drives the process-wide consent state with dictionaries of any shape, as stored settings,
// the remote configuration and the Info.plist may hand them over, through every setter, the
// Info.plist conversion and every read. The input is a run of operations, each a byte choosing
// the operation and then its arguments. The answers must keep their forms: a four-character
// signal, five-digit diagnostics, a personalization of 0, 1 or none, converted dictionaries
// holding only the four types.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "analytics/data/APMConsentSettingsUtil.h"
#include "fuzz/fuzz_input.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr int kMaxOperations = 32;
constexpr int kMaxDepth = 3;
constexpr int kMaxEntries = 8;

constexpr const char* kKeys[] = {"ad_storage",
                                 "analytics_storage",
                                 "ad_user_data",
                                 "ad_personalization",
                                 "RERORA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE",
                                 "RERORA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE",
                                 "RERORA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA",
                                 "RERORA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS"};
constexpr const char* kWords[] = {"granted", "denied",     "default",           "DEFAULT", "Denied",
                                  "GRANTED", "ad_storage", "analytics_storage", "yes",     "0"};

bool isConsentType(const std::string& key) {
  for (int i = 0; i < 4; ++i) {
    if (key == kKeys[i]) return true;
  }
  return false;
}

std::string readKey(fuzz::FuzzInput& input) {
  const std::uint8_t choice = input.byte();
  if (choice < 200) return kKeys[choice % std::size(kKeys)];
  return input.shortText();
}

platform::Value readValue(fuzz::FuzzInput& input, int depth);

platform::Dictionary readDictionary(fuzz::FuzzInput& input, int depth) {
  platform::Dictionary dictionary;
  const int count = input.byte() % (kMaxEntries + 1);
  for (int i = 0; i < count; ++i) {
    std::string key = readKey(input);
    dictionary.set(std::move(key), readValue(input, depth + 1));
  }
  return dictionary;
}

platform::Value readValue(fuzz::FuzzInput& input, int depth) {
  switch (input.byte() % 10) {
  case 0:
  case 1:
  case 2:
    return platform::Value(kWords[input.byte() % std::size(kWords)]);
  case 3:
    return platform::Value(input.shortText());
  case 4:
    return platform::Value(input.byte() % 2 == 1);
  case 5:
    return platform::Value(static_cast<std::int64_t>(input.integer(8)));
  case 6:
    return platform::Value(input.real());
  case 7:
    return platform::Value(platform::Data::fromString(input.shortText()));
  case 8: {
    if (depth >= kMaxDepth) return platform::Value();
    platform::Array array;
    const int count = input.byte() % (kMaxEntries + 1);
    for (int i = 0; i < count; ++i) array.push_back(readValue(input, depth + 1));
    return platform::Value(std::move(array));
  }
  default:
    if (depth >= kMaxDepth) return platform::Value();
    return platform::Value(readDictionary(input, depth));
  }
}

std::optional<platform::Dictionary> readOptionalDictionary(fuzz::FuzzInput& input) {
  if (input.byte() % 4 == 0) return std::nullopt;
  return readDictionary(input, 1);
}

// A source or code near the listed ones most of the time, any number otherwise.
std::int64_t readNumber(fuzz::FuzzInput& input) {
  const std::uint8_t choice = input.byte();
  if (choice < 224) return static_cast<std::int64_t>(choice % 112) - 6;
  return static_cast<std::int64_t>(input.integer(8));
}

void checkReads() {
  const std::string signal = APMConsentSettingsUtil::consentSignals();
  fuzzCheck(signal.size() == 4 && signal.starts_with("G1"), "the signal is G1 and two marks");
  for (std::size_t i = 2; i < signal.size(); ++i) {
    fuzzCheck(signal[i] == '0' || signal[i] == '1' || signal[i] == '-',
              "a signal mark is 0, 1 or -");
  }
  const std::string diagnostics = APMConsentSettingsUtil::consentDiagnostics();
  fuzzCheck(diagnostics.size() == 5 && diagnostics[0] == '1', "diagnostics are 1 and four codes");
  for (char c : diagnostics) fuzzCheck(c >= '0' && c <= '9', "a diagnostic code is one digit");

  const auto personalization = APMConsentSettingsUtil::adPersonalization();
  fuzzCheck(!personalization || *personalization == 0 || *personalization == 1,
            "ad personalization is 0, 1 or none");
  const bool adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  fuzzCheck(!APMConsentSettingsUtil::didAdUserDataConsentChange(adUserDataDenied),
            "nothing changed between two reads");
  (void)APMConsentSettingsUtil::isAdStorageDenied();
  (void)APMConsentSettingsUtil::isAnalyticsStorageDenied();
  fuzzCheck(APMConsentSettingsUtil::description().starts_with("ad_storage is "),
            "the description starts with ad storage");
  const std::int64_t version = APMConsentSettingsUtil::version();
  fuzzCheck(version == 1 || version == 2, "the version is 1 or 2");
  const std::int64_t source = APMConsentSettingsUtil::consentSource();
  fuzzCheck(APMConsentSettingsUtil::isConsentSourceEqualPriority(source) &&
                APMConsentSettingsUtil::isConsentSourceHigherPriority(source),
            "the current source may overwrite itself");
  (void)APMConsentSettingsUtil::consentSettings();
  (void)APMConsentSettingsUtil::defaultSettings();
  (void)APMConsentSettingsUtil::delegatedSettings();
  (void)APMConsentSettingsUtil::regionalDefaults();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  APMConsentSettingsUtil::clearAllSettings();
  APMConsentSettingsUtil::setVersion(1);
  for (int i = 0; i < kMaxOperations; ++i) {
    switch (input.byte() % 14) {
    case 0:
      APMConsentSettingsUtil::setConsentSettings(readOptionalDictionary(input));
      break;
    case 1:
      APMConsentSettingsUtil::setDefaultSettings(readOptionalDictionary(input));
      break;
    case 2:
      APMConsentSettingsUtil::setDelegatedSettings(readOptionalDictionary(input));
      break;
    case 3:
      APMConsentSettingsUtil::setRegionalDefaults(readOptionalDictionary(input));
      break;
    case 4:
      APMConsentSettingsUtil::setConsentSource(readNumber(input));
      break;
    case 5:
      APMConsentSettingsUtil::setVersion(readNumber(input));
      break;
    case 6:
      APMConsentSettingsUtil::updateSettings(readDictionary(input, 1));
      break;
    case 7: {
      platform::Dictionary settings = readDictionary(input, 1);
      APMConsentSettingsUtil::updateSettings(settings, readNumber(input));
      break;
    }
    case 8: {
      const std::int64_t code = readNumber(input);
      APMConsentSettingsUtil::setDiagnosticSource(code, readKey(input));
      break;
    }
    case 9:
      APMConsentSettingsUtil::unsetAdPersonalization();
      break;
    case 10:
      APMConsentSettingsUtil::clearAllSettings();
      break;
    case 11: {
      const platform::Dictionary converted =
          APMConsentSettingsUtil::consentSettingsFromDictionary(readDictionary(input, 1));
      for (const auto& [key, value] : converted) {
        fuzzCheck(isConsentType(key), "a converted dictionary holds only consent types");
      }
      APMConsentSettingsUtil::updateSettings(converted, readNumber(input));
      break;
    }
    case 12: {
      const platform::Dictionary defaults =
          APMConsentSettingsUtil::consentSettingsFromInfoDictionary(readDictionary(input, 1));
      for (const auto& [key, value] : defaults) {
        fuzzCheck(isConsentType(key), "Info.plist defaults hold only consent types");
        fuzzCheck(value == platform::Value("granted") || value == platform::Value("denied") ||
                      value == platform::Value("default"),
                  "an Info.plist default is granted, denied or default");
      }
      APMConsentSettingsUtil::setConsentSettings(defaults);
      APMConsentSettingsUtil::setConsentSource(APMConsentSettingsUtil::kSourceInfoPlist);
      break;
    }
    default:
      checkReads();
      break;
    }
  }
  checkReads();
  APMConsentSettingsUtil::clearAllSettings();
  return 0;
}
