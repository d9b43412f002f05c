#include "analytics/data/APMTCFClient.h"

#include <utility>
#include <vector>

#include "analytics/data/APMConfigStore.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMTCFData.h"
#include "analytics/data/APMUserDefaults.h"
#include "platform/format.h"
#include "platform/value.h"

namespace {

constexpr const char* kStringRepresentationKey = "tcf_StringRepresentation";
// What a switched-on client sees before any consent dialog has run.
constexpr const char* kRepresentationWithoutValues = "isTCFDataEnabled=1";
constexpr const char* kSummaryAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool isTrue(const std::optional<platform::Value>& number) { return number && number->boolValue(); }

char summaryCharacter(std::int64_t digit) { return kSummaryAlphabet[digit & 0x3f]; }

}  // namespace

APMTCFClient::APMTCFClient()
    : APMTCFClient(std::make_shared<APMTCFData>(),
                   std::make_shared<APMUserDefaults>(std::string(kSuiteName))) {}

APMTCFClient::APMTCFClient(std::shared_ptr<APMTCFData> tcfData,
                           std::shared_ptr<APMConfigStore> store)
    : tcfData_(std::move(tcfData)), store_(std::move(store)) {}

bool APMTCFClient::isDMARegion() const {
  std::lock_guard lock(mutex_);
  return isDMARegion_;
}

void APMTCFClient::setIsDMARegion(bool isDMARegion) {
  std::lock_guard lock(mutex_);
  isDMARegion_ = isDMARegion;
}

void APMTCFClient::readTCFData() { tcfData_->readFromUserDefaults(); }

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_->isTCFDataEnabled() && isTrue(tcfData_->isAdvertiserConsentModeEnabled()) &&
         tcfData_->hasReroraInVendorConsents() && isTrue(tcfData_->gdprApplies());
}

void APMTCFClient::setConsentFromTCFData() {
  // One update at a time, so that two callers never both see the same change as new.
  std::lock_guard update(updateMutex_);
  readTCFData();
  if (persistedValuesEqualCurrentData()) return;
  logTCFChangedEvent();
  storeCurrentData();
  if (!shouldApplyTCFData()) return;
  platform::Dictionary consent;
  consent.set("ad_storage", consentStatusFromEnabled(tcfData_->isAdStoragePurposeGranted()));
  consent.set("ad_personalization",
              consentStatusFromEnabled(tcfData_->isAdPersonalizationPurposeGranted()));
  consent.set("ad_user_data", consentStatusFromEnabled(tcfData_->isAdUserDataPurposeGranted()));
  APMAnalyticsSetConsent(consent, "consent_settings_tcf");
}

void APMTCFClient::logTCFChangedEvent() {
  APMLogInternalEvent("auto", "_tcf", platform::Dictionary{{"_tcfd", tcfBundleParameterValue()}});
}

void APMTCFClient::storeCurrentData() {
  const auto stringValue =
      [](const std::optional<std::string>& s) -> std::optional<platform::Value> {
    if (!s) return std::nullopt;
    return platform::Value(*s);
  };
  store_->setBool(tcfData_->isTCFDataEnabled(), "RERORA_ANALYTICS_TCF_DATA_ENABLED");
  store_->setObject(tcfData_->isAdvertiserConsentModeEnabled(),
                    "IABTCF_EnableAdvertiserConsentMode");
  store_->setObject(tcfData_->cmpSDKID(), "IABTCF_CmpSdkID");
  store_->setObject(stringValue(tcfData_->vendorConsents()), "IABTCF_VendorConsents");
  store_->setObject(tcfData_->gdprApplies(), "IABTCF_gdprApplies");
  store_->setObject(tcfData_->policyVersion(), "IABTCF_PolicyVersion");
  store_->setObject(stringValue(tcfData_->purposeConsents()), "IABTCF_PurposeConsents");
  store_->setObject(platform::Value(stringRepresentationFromTCFData()), kStringRepresentationKey);
}

bool APMTCFClient::persistedValuesEqualCurrentData() {
  const std::optional<std::string> stored = store_->stringForKey(kStringRepresentationKey);
  const std::string current = stringRepresentationFromTCFData();
  if (!stored) return current == kRepresentationWithoutValues;
  return *stored == current;
}

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  std::vector<std::string> entries;
  entries.push_back(
      platform::format("isTCFDataEnabled=%d", {tcfData_->isTCFDataEnabled() ? 1 : 0}));
  if (auto mode = tcfData_->isAdvertiserConsentModeEnabled()) {
    entries.push_back(
        platform::format("isAdvertiserConsentModeEnabled=%d", {mode->boolValue() ? 1 : 0}));
  }
  if (auto cmpSDKID = tcfData_->cmpSDKID()) {
    entries.push_back(platform::format("cmpSDKID=%d", {cmpSDKID->intValue()}));
  }
  if (tcfData_->vendorConsents()) {
    entries.push_back(platform::format("hasReroraInVendorConsents=%d",
                                       {tcfData_->hasReroraInVendorConsents() ? 1 : 0}));
  }
  if (auto gdprApplies = tcfData_->gdprApplies()) {
    entries.push_back(platform::format("gdprApplies=%d", {gdprApplies->boolValue() ? 1 : 0}));
  }
  if (auto policyVersion = tcfData_->policyVersion()) {
    entries.push_back(platform::format("policyVersion=%d", {policyVersion->intValue()}));
  }
  if (auto purposeConsents = tcfData_->purposeConsents()) {
    entries.push_back(platform::format("purposeConsents=%@", {*purposeConsents}));
  }
  std::string joined;
  for (const std::string& entry : entries) {
    if (!joined.empty()) joined += ',';
    joined += entry;
  }
  return joined;
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  const auto cmpSDKID = tcfData_->cmpSDKID();
  const std::int64_t cmp = cmpSDKID ? cmpSDKID->integerValue() : 0;
  const auto policyVersion = tcfData_->policyVersion();
  const std::int64_t policy = policyVersion ? policyVersion->integerValue() : 0;
  std::int64_t flags = 0;
  if (isDMARegion()) flags |= 1;
  if (isTrue(tcfData_->gdprApplies())) flags |= 2;
  if (tcfData_->isTCFDataEnabled()) flags |= 4;
  if (isTrue(tcfData_->isAdvertiserConsentModeEnabled())) flags |= 8;

  std::string summary = "1";
  const bool cmpFits = cmp >= 0 && cmp <= 4095;
  summary += cmpFits ? summaryCharacter(cmp >> 6) : '0';
  summary += cmpFits ? summaryCharacter(cmp) : '0';
  summary += policy >= 0 && policy <= 63 ? summaryCharacter(policy) : '0';
  summary += summaryCharacter(flags);
  return summary;
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? "granted" : "denied";
}

void APMTCFClient::clearPersistedValues() { store_->clearAllData(); }
