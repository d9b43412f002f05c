#include "analytics/data/APMTCFData.h"

#include <utility>

#include "analytics/data/APMConfigStore.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "platform/bundle.h"

namespace {

constexpr const char* kTCFDataEnabledKey = "RERORA_ANALYTICS_TCF_DATA_ENABLED";

// Purposes of the framework as bits of the purpose consents (purpose n is bit n - 1).
constexpr std::int64_t kStoreOrAccessInformationBit = 0;
constexpr std::int64_t kCreatePersonalisedAdsProfileBit = 2;
constexpr std::int64_t kSelectPersonalisedAdsBit = 3;
constexpr std::int64_t kMeasureAdPerformanceBit = 6;

// The first policy version whose purposes cover ad user data.
constexpr std::int64_t kFirstAdUserDataPolicyVersion = 4;

}  // namespace

APMTCFData::APMTCFData()
    : APMTCFData(APMUserDefaults::sharedUserDefaults(), platform::Bundle::main().infoDictionary()) {
}

APMTCFData::APMTCFData(std::shared_ptr<APMConfigStore> userDefaults,
                       const platform::Dictionary& infoDictionary)
    : userDefaults_(std::move(userDefaults)) {
  readTCFDataEnabledStateFromPlist(infoDictionary);
}

void APMTCFData::readTCFDataEnabledStateFromPlist(const platform::Dictionary& infoDictionary) {
  const platform::Value* value = infoDictionary.find(kTCFDataEnabledKey);
  // Only a number can switch it explicitly; a string such as "YES" is not one.
  const bool enabled = value == nullptr || (value->isNumber() && value->boolValue());
  std::lock_guard lock(mutex_);
  isTCFDataEnabled_ = enabled;
}

void APMTCFData::readFromUserDefaults() {
  auto advertiserConsentMode = userDefaults_->numberForKey("IABTCF_EnableAdvertiserConsentMode");
  auto vendorConsents = userDefaults_->stringForKey("IABTCF_VendorConsents");
  auto cmpSDKID = userDefaults_->numberForKey("IABTCF_CmpSdkID");
  auto gdprApplies = userDefaults_->numberForKey("IABTCF_gdprApplies");
  auto policyVersion = userDefaults_->numberForKey("IABTCF_PolicyVersion");
  auto purposeConsents = userDefaults_->stringForKey("IABTCF_PurposeConsents");
  std::lock_guard lock(mutex_);
  isAdvertiserConsentModeEnabled_ = std::move(advertiserConsentMode);
  vendorConsents_ = std::move(vendorConsents);
  cmpSDKID_ = std::move(cmpSDKID);
  gdprApplies_ = std::move(gdprApplies);
  policyVersion_ = std::move(policyVersion);
  purposeConsents_ = std::move(purposeConsents);
}

bool APMTCFData::isTCFDataEnabled() const {
  std::lock_guard lock(mutex_);
  return isTCFDataEnabled_;
}

std::optional<platform::Value> APMTCFData::isAdvertiserConsentModeEnabled() const {
  std::lock_guard lock(mutex_);
  return isAdvertiserConsentModeEnabled_;
}

std::optional<std::string> APMTCFData::vendorConsents() const {
  std::lock_guard lock(mutex_);
  return vendorConsents_;
}

std::optional<platform::Value> APMTCFData::cmpSDKID() const {
  std::lock_guard lock(mutex_);
  return cmpSDKID_;
}

std::optional<platform::Value> APMTCFData::gdprApplies() const {
  std::lock_guard lock(mutex_);
  return gdprApplies_;
}

std::optional<platform::Value> APMTCFData::policyVersion() const {
  std::lock_guard lock(mutex_);
  return policyVersion_;
}

std::optional<std::string> APMTCFData::purposeConsents() const {
  std::lock_guard lock(mutex_);
  return purposeConsents_;
}

bool APMTCFData::hasReroraInVendorConsents() const {
  std::lock_guard lock(mutex_);
  return vendorConsents_ && isBitEnabledAtIndex(*vendorConsents_, kReroraVendorBit);
}

bool APMTCFData::isPurposeBitEnabled(std::int64_t index) const {
  std::lock_guard lock(mutex_);
  return purposeConsents_ && isBitEnabledAtIndex(*purposeConsents_, index);
}

bool APMTCFData::isAdStoragePurposeGranted() const {
  return isPurposeBitEnabled(kStoreOrAccessInformationBit);
}

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeBitEnabled(kCreatePersonalisedAdsProfileBit) &&
         isPurposeBitEnabled(kSelectPersonalisedAdsBit);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  std::lock_guard lock(mutex_);
  return policyVersion_ && policyVersion_->integerValue() >= kFirstAdUserDataPolicyVersion;
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeBitEnabled(kStoreOrAccessInformationBit) &&
         isPurposeBitEnabled(kMeasureAdPerformanceBit);
}
