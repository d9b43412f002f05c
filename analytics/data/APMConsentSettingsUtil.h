// APMConsentSettingsUtil: the process-wide consent state of the analytics client (explicit
// settings and their source, remote defaults and delegations, regional defaults) and every
// consent decision and consent string derived from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/value.h"

// The consent type of a consent-configuration number (1 to 4), or none for any other number.
std::optional<std::string> APMConsentTypeName(std::int64_t type);
// "granted" for 1, "denied" for 2, none for any other number.
std::optional<std::string> APMConsentStatusName(std::int64_t status);

// The four consent types, in the order in which all of them are walked.
inline constexpr const char* kAPMConsentTypeAdStorage = "ad_storage";
inline constexpr const char* kAPMConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* kAPMConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* kAPMConsentTypeAdPersonalization = "ad_personalization";

// Class operations only: the state is static and every access is serialised on one queue.
// Reads run synchronously on it, writes asynchronously; a read made after a write from the
// same thread sees that write.
class APMConsentSettingsUtil {
 public:
  APMConsentSettingsUtil() = delete;

  // The sources that set the explicit settings; the lower, the higher the priority.
  static constexpr std::int64_t kSourceTCF = 5;
  static constexpr std::int64_t kSourcePublicCall = 10;
  static constexpr std::int64_t kSourceInfoPlist = 20;
  static constexpr std::int64_t kSourceInternalCall = 30;
  static constexpr std::int64_t kSourceRestoredOnStart = 40;
  static constexpr std::int64_t kSourceNone = 100;

  static std::shared_ptr<platform::Queue> serialQueue();

  // Copies of the stored dictionaries, or none.
  static std::optional<platform::Dictionary> consentSettings();
  static std::optional<platform::Dictionary> defaultSettings();
  static std::optional<platform::Dictionary> delegatedSettings();
  static std::optional<platform::Dictionary> regionalDefaults();
  // None also clears the source back to none.
  static void setConsentSettings(std::optional<platform::Dictionary> settings);
  static void setDefaultSettings(std::optional<platform::Dictionary> settings);
  static void setDelegatedSettings(std::optional<platform::Dictionary> settings);
  static void setRegionalDefaults(std::optional<platform::Dictionary> settings);

  static std::int64_t consentSource();
  static void setConsentSource(std::int64_t source);
  // 1 or 2; any other value is ignored.
  static std::int64_t version();
  static void setVersion(std::int64_t version);

  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  static bool isAdUserDataDenied();
  // 0 denied, 1 granted, none when neither is known.
  static std::optional<std::int64_t> adPersonalization();

  // Only the entries keyed by the four type names, values as given.
  static platform::Dictionary consentSettingsFromDictionary(const platform::Dictionary& dictionary);
  // The consent defaults the app's Info.plist declares.
  static platform::Dictionary consentSettingsFromPlist();
  // The same over a given Info.plist dictionary.
  static platform::Dictionary consentSettingsFromInfoDictionary(const platform::Dictionary& info);

  // Whether isAdUserDataDenied() now differs from the earlier answer given.
  static bool didAdUserDataConsentChange(bool wasAdUserDataDenied);
  static bool isConsentSourceEqualPriority(std::int64_t source);
  // Whether this source may overwrite the current explicit settings.
  static bool isConsentSourceHigherPriority(std::int64_t source);

  // Merges into the explicit settings, given entries winning; source and diagnostics stay.
  static void updateSettings(const platform::Dictionary& settings);
  // Merges, makes the source current and records its code for every given type.
  static void updateSettings(const platform::Dictionary& settings, std::int64_t consentSource);

  // "G1" and one character each for ad storage and analytics storage: "0", "1" or "-".
  static std::string consentSignals();
  // A code outside 0 to 9 is ignored: the diagnostics hold one digit per type.
  static void setDiagnosticSource(std::int64_t code, const std::string& consentType);
  // "1" and one digit per type saying where its status came from.
  static std::string consentDiagnostics();

  static void unsetAdPersonalization();
  static std::string description();
  // Back to the state at start, except the version.
  static void clearAllSettings();
};
