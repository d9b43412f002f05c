// APMDatabaseAppMetadata: the operations on the single "app_metadata" row (row id 1): the
// bundle sequence, the daily counters and the last measurement configuration received, with
// the time it was stored or confirmed.
#pragma once

#include <memory>
#include <optional>

#include "analytics/data/APMAppMetadata.h"
#include "analytics/data/APMDatabaseCore.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

class APMDatabaseAppMetadata : public virtual APMDatabaseCore {
 public:
  // Null without an error when there is no row; an error only when the read failed.
  std::shared_ptr<APMAppMetadata> queryAppMetadata(platform::ErrorPtr* error);
  bool updateAppMetadata(const APMAppMetadata* appMetadata, platform::ErrorPtr* error);
  // Counts of the stored day, or of today when none is stored.
  std::shared_ptr<APMDailyCounts> dailyCounts(platform::ErrorPtr* error);
  bool updateDailyCounts(const APMDailyCounts* dailyCounts, platform::ErrorPtr* error);
  // Stores the encoded configuration together with the current time.
  bool updateRemoteConfig(const APMPBMeasurementConfig* measurementConfig,
                          platform::ErrorPtr* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::ErrorPtr* error);
  // Null without an error while none is stored; a stored one that does not decode is an error
  // (and stays stored).
  std::shared_ptr<APMPBMeasurementConfig>
  queryMeasurementConfigWithError(platform::ErrorPtr* error);
  // Nothing (without an error) while no time has been stored.
  std::optional<platform::Value> lastRemoteConfigUpdateTimestamp(platform::ErrorPtr* error);

 protected:
  APMDatabaseAppMetadata() = default;
};
