// APMTCFClient: notices when the app's consent-framework values change, reports the change as
// an internal event, remembers the values in its own preference suite and, where they apply,
// hands the consent they carry to the analytics front.
#pragma once

#include <memory>
#include <mutex>
#include <string>

class APMConfigStore;
class APMTCFData;

class APMTCFClient {
 public:
  // The suite holding the copy of the values seen last.
  static constexpr const char* kSuiteName = "com.rerora.viz.measurement.tcf.userdefaults";

  // Over fresh data and the suite above.
  APMTCFClient();
  // Over this data and this store for the copy seen last.
  APMTCFClient(std::shared_ptr<APMTCFData> tcfData, std::shared_ptr<APMConfigStore> store);

  std::shared_ptr<APMTCFData> tcfData() const { return tcfData_; }
  bool isDMARegion() const;
  void setIsDMARegion(bool isDMARegion);

  void readTCFData();
  bool shouldApplyTCFData() const;
  // Re-reads the values and, when they changed, logs, stores and (where they apply) applies.
  void setConsentFromTCFData();

  void logTCFChangedEvent();
  void storeCurrentData();
  bool persistedValuesEqualCurrentData();
  std::string stringRepresentationFromTCFData() const;
  // Five characters summing up the values: the "_tcfd" parameter.
  std::string tcfBundleParameterValue() const;
  static std::string consentStatusFromEnabled(bool enabled);
  void clearPersistedValues();

 private:
  const std::shared_ptr<APMTCFData> tcfData_;
  const std::shared_ptr<APMConfigStore> store_;
  // Guards isDMARegion_.
  mutable std::mutex mutex_;
  // Held for a whole update.
  std::mutex updateMutex_;
  bool isDMARegion_ = true;
};
