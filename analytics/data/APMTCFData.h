// APMTCFData: the consent-framework values an app's consent dialog leaves in its standard user
// defaults, with the Info.plist switch, and the purpose and vendor answers drawn from them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

class APMConfigStore;

class APMTCFData {
 public:
  // Over the app's shared user defaults and its Info.plist.
  APMTCFData();
  // Over this store and this Info.plist dictionary.
  APMTCFData(std::shared_ptr<APMConfigStore> userDefaults,
             const platform::Dictionary& infoDictionary);

  // Bit of the vendor consents that stands for this client's vendor (vendor 755).
  static constexpr std::int64_t kReroraVendorBit = 754;

  bool isTCFDataEnabled() const;
  // Each none until read, and whenever the user default is absent or of another kind.
  std::optional<platform::Value> isAdvertiserConsentModeEnabled() const;
  std::optional<std::string> vendorConsents() const;
  std::optional<platform::Value> cmpSDKID() const;
  std::optional<platform::Value> gdprApplies() const;
  std::optional<platform::Value> policyVersion() const;
  std::optional<std::string> purposeConsents() const;

  // Reads the six values again.
  void readFromUserDefaults();

  bool hasReroraInVendorConsents() const;
  bool isAdStoragePurposeGranted() const;
  bool isAdPersonalizationPurposeGranted() const;
  bool canAccessAdUserDataPurpose() const;
  bool isAdUserDataPurposeGranted() const;

 private:
  void readTCFDataEnabledStateFromPlist(const platform::Dictionary& infoDictionary);
  bool isPurposeBitEnabled(std::int64_t index) const;

  const std::shared_ptr<APMConfigStore> userDefaults_;
  mutable std::mutex mutex_;
  bool isTCFDataEnabled_ = true;
  std::optional<platform::Value> isAdvertiserConsentModeEnabled_;
  std::optional<std::string> vendorConsents_;
  std::optional<platform::Value> cmpSDKID_;
  std::optional<platform::Value> gdprApplies_;
  std::optional<platform::Value> policyVersion_;
  std::optional<std::string> purposeConsents_;
};
