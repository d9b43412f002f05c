#include "analytics/data/APMConsentSettingsUtil.h"

#include <array>
#include <string_view>

#include "platform/bundle.h"
#include "platform/format.h"

namespace {

constexpr std::array<const char*, 4> kConsentTypes = {
    kAPMConsentTypeAdStorage, kAPMConsentTypeAnalyticsStorage, kAPMConsentTypeAdUserData,
    kAPMConsentTypeAdPersonalization};

constexpr const char* kGranted = "granted";
constexpr const char* kDenied = "denied";
constexpr const char* kDefault = "default";

// Where a type's effective status came from, as the consent diagnostics carry it.
constexpr std::int64_t kCodeNone = 0;
constexpr std::int64_t kCodeFromDefaultSettings = 1;
constexpr std::int64_t kCodeDelegated = 2;
constexpr std::int64_t kCodeExplicitDefault = 8;
constexpr std::int64_t kCodeNoValue = 9;

// Everything below is touched only by blocks running on the serial queue.
struct ConsentState {
  std::optional<platform::Dictionary> consentSettings;
  std::optional<platform::Dictionary> defaultSettings;
  std::optional<platform::Dictionary> delegatedSettings;
  std::optional<platform::Dictionary> regionalDefaults;
  std::int64_t consentSource = APMConsentSettingsUtil::kSourceNone;
  std::int64_t version = 1;
  // A code per type, in the fixed order of the types; absent until first needed.
  std::optional<std::array<std::int64_t, 4>> diagnostics;
};

// Never destroyed: consent is still read on worker queues while the process exits.
ConsentState& state() {
  static ConsentState& shared = *new ConsentState;
  return shared;
}

// The statuses are ASCII words, so folding ASCII letters is the whole of the comparison.
bool equalsIgnoringCase(const platform::Value* value, std::string_view word) {
  if (value == nullptr) return false;
  const std::string* text = value->asString();
  if (text == nullptr || text->size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = (*text)[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

const platform::Value* lookUp(const std::optional<platform::Dictionary>& dictionary,
                              std::string_view key) {
  return dictionary ? dictionary->find(key) : nullptr;
}

std::optional<std::size_t> typeIndex(std::string_view type) {
  for (std::size_t i = 0; i < kConsentTypes.size(); ++i) {
    if (type == kConsentTypes[i]) return i;
  }
  return std::nullopt;
}

// What an explicit "default" stands for in the user's region.
platform::Value resolvedDefault(const ConsentState& s, std::string_view type) {
  if (const platform::Value* regional = lookUp(s.regionalDefaults, type)) return *regional;
  const bool deniedUnlessGranted =
      type == kAPMConsentTypeAdUserData || type == kAPMConsentTypeAdPersonalization;
  return platform::Value(deniedUnlessGranted ? kDenied : kGranted);
}

std::optional<platform::Value> effectiveExplicitValue(const ConsentState& s,
                                                      std::string_view type) {
  const platform::Value* value = lookUp(s.consentSettings, type);
  if (value == nullptr) return std::nullopt;
  if (equalsIgnoringCase(value, kDefault)) return resolvedDefault(s, type);
  return *value;
}

bool isDenied(const std::optional<platform::Value>& value) {
  return value && equalsIgnoringCase(&*value, kDenied);
}

std::int64_t codeForSource(std::int64_t source) {
  switch (source) {
  case APMConsentSettingsUtil::kSourceTCF:
    return 7;
  case APMConsentSettingsUtil::kSourcePublicCall:
  case APMConsentSettingsUtil::kSourceInternalCall:
    return 5;
  case APMConsentSettingsUtil::kSourceInfoPlist:
    return 3;
  case APMConsentSettingsUtil::kSourceRestoredOnStart:
    return 4;
  default:
    return kCodeNone;
  }
}

void resetDiagnosticSources(ConsentState& s) { s.diagnostics.emplace().fill(kCodeNone); }

void ensureDiagnostics(ConsentState& s) {
  if (!s.diagnostics) resetDiagnosticSources(s);
}

void refreshDiagnosticSources(ConsentState& s, bool useSourceCode) {
  ensureDiagnostics(s);
  for (std::size_t i = 0; i < kConsentTypes.size(); ++i) {
    const std::string_view type = kConsentTypes[i];
    std::int64_t& code = (*s.diagnostics)[i];
    if (const platform::Value* value = lookUp(s.consentSettings, type)) {
      if (useSourceCode) code = codeForSource(s.consentSource);
      if (equalsIgnoringCase(value, kDefault)) code = kCodeExplicitDefault;
    } else if (type == kAPMConsentTypeAdUserData &&
               lookUp(s.delegatedSettings, kAPMConsentTypeAdUserData) != nullptr) {
      code = kCodeDelegated;
    } else if (lookUp(s.defaultSettings, type) != nullptr && !type.ends_with("_storage")) {
      code = kCodeFromDefaultSettings;
    } else {
      code = kCodeNoValue;
    }
  }
}

bool adUserDataDenied(const ConsentState& s) {
  if (auto value = effectiveExplicitValue(s, kAPMConsentTypeAdUserData)) return isDenied(value);
  if (const platform::Value* delegate = lookUp(s.delegatedSettings, kAPMConsentTypeAdUserData)) {
    if (const std::string* delegateType = delegate->asString()) {
      // The delegate's raw value: an explicit "default" there is deliberately not resolved.
      if (const platform::Value* raw = lookUp(s.consentSettings, *delegateType)) {
        return equalsIgnoringCase(raw, kDenied);
      }
    }
  }
  return equalsIgnoringCase(lookUp(s.defaultSettings, kAPMConsentTypeAdUserData), kDenied);
}

bool equalPriority(std::int64_t current, std::int64_t source) {
  const auto isStringOrPublic = [](std::int64_t n) {
    return n == APMConsentSettingsUtil::kSourceTCF ||
           n == APMConsentSettingsUtil::kSourcePublicCall;
  };
  return source == current || (isStringOrPublic(source) && isStringOrPublic(current));
}

void merge(ConsentState& s, const platform::Dictionary& settings) {
  platform::Dictionary merged = s.consentSettings.value_or(platform::Dictionary{});
  for (const auto& [key, value] : settings) merged.set(key, value);
  s.consentSettings = std::move(merged);
}

char signalCharacter(const std::optional<platform::Value>& value) {
  if (!value) return '-';
  if (equalsIgnoringCase(&*value, kDenied)) return '0';
  if (equalsIgnoringCase(&*value, kGranted)) return '1';
  return '-';
}

std::string shownValue(const ConsentState& s, std::string_view type) {
  const platform::Value* value = lookUp(s.consentSettings, type);
  if (value == nullptr) return kGranted;
  if (equalsIgnoringCase(value, kDefault)) {
    return platform::format("%@ (default)", {resolvedDefault(s, type)});
  }
  return value->description();
}

template <typename Result, typename Read> Result read(Read&& readState) {
  Result result{};
  APMConsentSettingsUtil::serialQueue()->sync([&] { result = readState(state()); });
  return result;
}

template <typename Write> void write(Write&& writeState) {
  APMConsentSettingsUtil::serialQueue()->async(
      [writeState = std::forward<Write>(writeState)]() mutable { writeState(state()); });
}

// A consent default from one Info.plist value: "default" kept, anything with a Boolean
// reading made a status, anything else left out.
std::optional<std::string> plistConsentValue(const platform::Value& value, bool stringsOnly) {
  if (value.isString()) {
    if (equalsIgnoringCase(&value, kDefault)) return std::string(kDefault);
    return std::string(value.boolValue() ? kGranted : kDenied);
  }
  if (stringsOnly || !value.isNumber()) return std::nullopt;
  return std::string(value.boolValue() ? kGranted : kDenied);
}

}  // namespace

std::optional<std::string> APMConsentTypeName(std::int64_t type) {
  if (type < 1 || type > static_cast<std::int64_t>(kConsentTypes.size())) return std::nullopt;
  return std::string(kConsentTypes[static_cast<std::size_t>(type - 1)]);
}

std::optional<std::string> APMConsentStatusName(std::int64_t status) {
  if (status == 1) return std::string(kGranted);
  if (status == 2) return std::string(kDenied);
  return std::nullopt;
}

std::shared_ptr<platform::Queue> APMConsentSettingsUtil::serialQueue() {
  // Never destroyed, like the state it guards.
  static const std::shared_ptr<platform::Queue>& queue =
      *new std::shared_ptr<platform::Queue>(platform::Queue::serial("APMConsentSettingsUtilQueue"));
  return queue;
}

std::optional<platform::Dictionary> APMConsentSettingsUtil::consentSettings() {
  return read<std::optional<platform::Dictionary>>(
      [](const ConsentState& s) { return s.consentSettings; });
}

std::optional<platform::Dictionary> APMConsentSettingsUtil::defaultSettings() {
  return read<std::optional<platform::Dictionary>>(
      [](const ConsentState& s) { return s.defaultSettings; });
}

std::optional<platform::Dictionary> APMConsentSettingsUtil::delegatedSettings() {
  return read<std::optional<platform::Dictionary>>(
      [](const ConsentState& s) { return s.delegatedSettings; });
}

std::optional<platform::Dictionary> APMConsentSettingsUtil::regionalDefaults() {
  return read<std::optional<platform::Dictionary>>(
      [](const ConsentState& s) { return s.regionalDefaults; });
}

void APMConsentSettingsUtil::setConsentSettings(std::optional<platform::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) {
    s.consentSettings = settings;
    if (!settings) {
      s.consentSource = kSourceNone;
      refreshDiagnosticSources(s, true);
    }
  });
}

void APMConsentSettingsUtil::setDefaultSettings(std::optional<platform::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.defaultSettings = settings; });
}

void APMConsentSettingsUtil::setDelegatedSettings(std::optional<platform::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.delegatedSettings = settings; });
}

void APMConsentSettingsUtil::setRegionalDefaults(std::optional<platform::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.regionalDefaults = settings; });
}

std::int64_t APMConsentSettingsUtil::consentSource() {
  return read<std::int64_t>([](const ConsentState& s) { return s.consentSource; });
}

void APMConsentSettingsUtil::setConsentSource(std::int64_t source) {
  write([source](ConsentState& s) {
    s.consentSource = source;
    refreshDiagnosticSources(s, true);
  });
}

std::int64_t APMConsentSettingsUtil::version() {
  return read<std::int64_t>([](const ConsentState& s) { return s.version; });
}

void APMConsentSettingsUtil::setVersion(std::int64_t version) {
  if (version != 1 && version != 2) return;
  write([version](ConsentState& s) { s.version = version; });
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  return read<bool>([](const ConsentState& s) {
    return isDenied(effectiveExplicitValue(s, kAPMConsentTypeAdStorage));
  });
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  return read<bool>([](const ConsentState& s) {
    return isDenied(effectiveExplicitValue(s, kAPMConsentTypeAnalyticsStorage));
  });
}

bool APMConsentSettingsUtil::isAdUserDataDenied() {
  return read<bool>([](const ConsentState& s) { return adUserDataDenied(s); });
}

std::optional<std::int64_t> APMConsentSettingsUtil::adPersonalization() {
  return read<std::optional<std::int64_t>>(
      [](const ConsentState& s) -> std::optional<std::int64_t> {
        std::optional<platform::Value> value =
            effectiveExplicitValue(s, kAPMConsentTypeAdPersonalization);
        if (!value) {
          if (const platform::Value* fallback =
                  lookUp(s.defaultSettings, kAPMConsentTypeAdPersonalization)) {
            value = *fallback;
          }
        }
        if (!value) return std::nullopt;
        if (equalsIgnoringCase(&*value, kDenied)) return 0;
        if (equalsIgnoringCase(&*value, kGranted)) return 1;
        return std::nullopt;
      });
}

platform::Dictionary
APMConsentSettingsUtil::consentSettingsFromDictionary(const platform::Dictionary& dictionary) {
  platform::Dictionary settings;
  for (const auto& [key, value] : dictionary) {
    if (typeIndex(key)) settings.set(key, value);
  }
  return settings;
}

platform::Dictionary APMConsentSettingsUtil::consentSettingsFromPlist() {
  return consentSettingsFromInfoDictionary(platform::Bundle::main().infoDictionary());
}

platform::Dictionary
APMConsentSettingsUtil::consentSettingsFromInfoDictionary(const platform::Dictionary& info) {
  struct PlistKey {
    const char* key;
    const char* type;
    // Under the ad-personalization key a Boolean is the engine's own switch, not consent.
    bool stringsOnly;
  };
  static constexpr std::array<PlistKey, 4> kKeys = {{
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", kAPMConsentTypeAdStorage, false},
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", kAPMConsentTypeAnalyticsStorage, false},
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", kAPMConsentTypeAdUserData, false},
      {"RERORA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS",
       kAPMConsentTypeAdPersonalization, true},
  }};
  platform::Dictionary settings;
  for (const PlistKey& entry : kKeys) {
    const platform::Value* value = info.find(entry.key);
    if (value == nullptr) continue;
    if (auto status = plistConsentValue(*value, entry.stringsOnly)) {
      settings.set(entry.type, std::move(*status));
    }
  }
  return settings;
}

bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool wasAdUserDataDenied) {
  return isAdUserDataDenied() != wasAdUserDataDenied;
}

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(std::int64_t source) {
  return read<bool>(
      [source](const ConsentState& s) { return equalPriority(s.consentSource, source); });
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t source) {
  return read<bool>([source](const ConsentState& s) {
    return equalPriority(s.consentSource, source) || s.consentSource >= source;
  });
}

void APMConsentSettingsUtil::updateSettings(const platform::Dictionary& settings) {
  write([settings](ConsentState& s) { merge(s, settings); });
}

void APMConsentSettingsUtil::updateSettings(const platform::Dictionary& settings,
                                            std::int64_t consentSource) {
  write([settings, consentSource](ConsentState& s) {
    merge(s, settings);
    s.consentSource = consentSource;
    ensureDiagnostics(s);
    const std::int64_t code = codeForSource(consentSource);
    for (const auto& [key, value] : settings) {
      // Only the four types are ever reported, so only they are recorded.
      if (auto index = typeIndex(key)) (*s.diagnostics)[*index] = code;
    }
  });
}

std::string APMConsentSettingsUtil::consentSignals() {
  return read<std::string>([](const ConsentState& s) {
    std::string signal = "G1";
    signal += signalCharacter(effectiveExplicitValue(s, kAPMConsentTypeAdStorage));
    signal += signalCharacter(effectiveExplicitValue(s, kAPMConsentTypeAnalyticsStorage));
    return signal;
  });
}

void APMConsentSettingsUtil::setDiagnosticSource(std::int64_t code,
                                                 const std::string& consentType) {
  // Each type owns one digit of the diagnostics; a wider code would shift the others.
  if (code < 0 || code > 9) return;
  write([code, consentType](ConsentState& s) {
    ensureDiagnostics(s);
    if (auto index = typeIndex(consentType)) (*s.diagnostics)[*index] = code;
  });
}

std::string APMConsentSettingsUtil::consentDiagnostics() {
  // The refresh changes the table, so this read runs as a block that may write.
  std::string diagnostics;
  serialQueue()->sync([&] {
    ConsentState& s = state();
    refreshDiagnosticSources(s, false);
    diagnostics = "1";
    for (std::int64_t code : *s.diagnostics) diagnostics += std::to_string(code);
  });
  return diagnostics;
}

void APMConsentSettingsUtil::unsetAdPersonalization() {
  write([](ConsentState& s) {
    if (!s.consentSettings || !s.consentSettings->erase(kAPMConsentTypeAdPersonalization)) return;
    ensureDiagnostics(s);
    (*s.diagnostics)[*typeIndex(kAPMConsentTypeAdPersonalization)] = kCodeNone;
  });
}

std::string APMConsentSettingsUtil::description() {
  return read<std::string>([](const ConsentState& s) {
    std::string text = platform::format(
        "%@ is %@. %@ is %@.",
        {kAPMConsentTypeAdStorage, shownValue(s, kAPMConsentTypeAdStorage),
         kAPMConsentTypeAnalyticsStorage, shownValue(s, kAPMConsentTypeAnalyticsStorage)});
    for (const char* type : {kAPMConsentTypeAdUserData, kAPMConsentTypeAdPersonalization}) {
      if (lookUp(s.consentSettings, type) != nullptr) {
        text += platform::format(" %@ is %@.", {type, shownValue(s, type)});
      }
    }
    return text;
  });
}

void APMConsentSettingsUtil::clearAllSettings() {
  write([](ConsentState& s) {
    s.consentSource = kSourceNone;
    s.consentSettings.reset();
    s.defaultSettings.reset();
    s.delegatedSettings.reset();
    s.regionalDefaults.reset();
    resetDiagnosticSources(s);
  });
}
