#include "analytics/data/APMDatabaseAppMetadata.h"

#include "analytics/data/APMPersistedConfig.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMServices.h"
#include "platform/date.h"

using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

namespace {

// Field index of `app_id` (tag 2) in the measurement configuration.
constexpr std::int32_t kMeasurementConfigAppIDIndex = 1;

}  // namespace

std::shared_ptr<APMAppMetadata> APMDatabaseAppMetadata::queryAppMetadata(ErrorPtr* error) {
  auto rows = dataTypesFromTableWithName<APMAppMetadata>(
      kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn, Value(kAPMAppMetadataRowID), error,
      APMAppMetadataFromRecord);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool APMDatabaseAppMetadata::updateAppMetadata(const APMAppMetadata* appMetadata, ErrorPtr* error) {
  auto record = APMAppMetadataRecord(appMetadata, error);
  if (!record) return false;
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn,
                        Value(kAPMAppMetadataRowID), error);
}

std::shared_ptr<APMDailyCounts> APMDatabaseAppMetadata::dailyCounts(ErrorPtr* error) {
  const double midnightOffset = persistedConfig() ? persistedConfig()->midnightOffset() : 0;
  const std::int32_t currentDay =
      APMDayNumber(platform::Date::now().timeIntervalSince1970(), midnightOffset);
  auto rows = dataTypesFromTableWithName<APMDailyCounts>(
      kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn, Value(kAPMAppMetadataRowID), error,
      [currentDay](const Dictionary& record, ErrorPtr* recordError) {
        return APMDailyCountsFromRecord(record, currentDay, recordError);
      });
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool APMDatabaseAppMetadata::updateDailyCounts(const APMDailyCounts* dailyCounts, ErrorPtr* error) {
  auto record = APMDailyCountsRecord(dailyCounts, error);
  if (!record) return false;
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn,
                        Value(kAPMAppMetadataRowID), error);
}

bool APMDatabaseAppMetadata::updateRemoteConfig(const APMPBMeasurementConfig* measurementConfig,
                                                ErrorPtr* error) {
  std::optional<platform::Data> data;
  if (measurementConfig != nullptr) data = measurementConfig->protoBuffer();
  if (!APMCheckCondition(data && data->length() > 0, error, 1, "Invalid measurement config data")) {
    return false;
  }
  const auto appID = nano_get_string(measurementConfig, kMeasurementConfigAppIDIndex);
  if (!APMCheckCondition(appID && !appID->empty(), error, 1,
                         "Missing Rerora app ID in measurement configuration")) {
    return false;
  }
  const Dictionary record{
      {"remote_config_data", std::move(*data)},
      {"remote_config_timestamp", platform::Date::now().timeIntervalSince1970()},
  };
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn,
                        Value(kAPMAppMetadataRowID), error);
}

bool APMDatabaseAppMetadata::updateRemoteConfigSuccessfulTimestamp(double timestamp,
                                                                   ErrorPtr* error) {
  const Dictionary record{{"remote_config_timestamp", timestamp}};
  return updateDataType(record, kAPMAppMetadataTable, kAPMAppMetadataRowIDColumn,
                        Value(kAPMAppMetadataRowID), error);
}

std::shared_ptr<APMPBMeasurementConfig>
APMDatabaseAppMetadata::queryMeasurementConfigWithError(ErrorPtr* error) {
  if (!APMCheckCondition(sqliteStore() != nullptr, error, 2, "Database not open")) return nullptr;
  auto rows = sqliteStore()->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1",
                                             {}, error);
  if (!rows || rows->empty()) return nullptr;
  const platform::Data* data = rows->front()["remote_config_data"].asData();
  if (data == nullptr || data->length() == 0) return nullptr;
  auto measurementConfig = APMPBMeasurementConfig::initWithBuffer(data);
  if (!measurementConfig) {
    APMSetError(error, 2, "Remote config data is corrupted");
    return nullptr;
  }
  return measurementConfig;
}

std::optional<Value> APMDatabaseAppMetadata::lastRemoteConfigUpdateTimestamp(ErrorPtr* error) {
  if (!APMCheckCondition(sqliteStore() != nullptr, error, 2, "Database not open")) {
    return std::nullopt;
  }
  return sqliteStore()->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1",
                                       {}, error);
}
