#include "analytics/data/APMDatabaseRawEvents.h"

#include <string>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMServices.h"
#include "platform/date.h"

namespace {

using namespace APMPBEventFields;

// Stored events nest parameter -> array element -> element field. A damaged blob may nest
// far deeper, and every level walked copies what lies below it, so the walk stops well past
// what is ever written.
constexpr int kMaxEventParamDepth = 8;

constexpr const char* kFingerprintColumn = "metadata_fingerprint";
constexpr const char* kOriginParameter = "_o";

APMSqliteStore* openStore(APMDatabaseCore* database, platform::ErrorPtr* error) {
  APMSqliteStore* store = database->sqliteStore();
  APMCheckCondition(store != nullptr, error, 2, "Database not open");
  return store;
}

// Whether the deletion ran; how many rows went does not matter to the callers.
bool deleteWhere(APMDatabaseCore* database, const char* tableName, const char* condition,
                 const platform::Array& parameterValues, platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(database, error);
  return store != nullptr &&
         store->deleteRecordsFromTableWithName(tableName, condition, parameterValues, error);
}

bool isPresent(const platform::Value* value) { return value != nullptr && !value->isNull(); }

// The nested parameters of a parameter, or none when it has none.
std::optional<NanoObjectArray> nestedParams(const APMPBEventParam* param) {
  auto nested = nano_get_array(param, kParamParamValue, &APMPBEventParam::messageClass());
  if (!nested || nested->empty()) return std::nullopt;
  return nested;
}

const APMPBEventParam* paramOf(const NanoObject& element) {
  const auto* message = std::get_if<NanoMessagePtr>(&element);
  if (message == nullptr) return nullptr;
  return dynamic_cast<const APMPBEventParam*>(message->get());
}

std::optional<platform::Dictionary> dictionaryFromEventParam(const APMPBEventParam* param,
                                                             bool isArrayElement, int depth,
                                                             platform::ErrorPtr* error) {
  if (param == nullptr) {
    APMSetError(error, 1, "Failed to parse empty event params data");
    return std::nullopt;
  }
  const std::optional<std::string> name = nano_get_string(param, kParamName);
  if (!isArrayElement && (!name || name->empty())) {
    APMSetError(error, 1, "Event parameter name is empty");
    return std::nullopt;
  }
  if (depth > kMaxEventParamDepth) {
    APMSetError(error, 2, "Failed to parse invalid event params data");
    return std::nullopt;
  }

  APMValuePtr value;
  if (nano_has_field(param, kParamStringValue)) {
    value = APMValue::initWithString(
        platform::Value(nano_get_string(param, kParamStringValue).value_or(std::string())));
  } else if (nano_has_field(param, kParamIntValue)) {
    value = APMValue::initWithInt64(nano_get_int64(param, kParamIntValue));
  } else if (nano_has_field(param, kParamDoubleValue)) {
    value = APMValue::initWithDouble(nano_get_double(param, kParamDoubleValue));
  }
  if (value != nullptr) {
    // An array element with a value but no name at all has no key to be kept under.
    if (!name) {
      APMSetError(error, 1, "Event parameter name is empty");
      return std::nullopt;
    }
    return platform::Dictionary{{*name, platform::Value(value)}};
  }

  // An empty array is written as its name alone (a repeated field without elements leaves no
  // trace), so a named top-level parameter without a value is one; refusing it would lose the
  // whole event.
  const std::optional<NanoObjectArray> nested = nestedParams(param);
  if (!nested && isArrayElement) {
    APMSetError(error, 2, "Failed to parse invalid event params data");
    return std::nullopt;
  }
  if (!isArrayElement) {
    platform::Array elements;
    for (const NanoObject& element : nested.value_or(NanoObjectArray())) {
      platform::ErrorPtr ignored;
      if (auto entries = dictionaryFromEventParam(paramOf(element), true, depth + 1, &ignored))
        elements.emplace_back(std::move(*entries));
    }
    APMValuePtr array = APMValue::initWithArray(platform::Value(std::move(elements)));
    if (array == nullptr) {
      APMSetError(error, 2, "Failed to parse invalid event params data");
      return std::nullopt;
    }
    return platform::Dictionary{{*name, platform::Value(array)}};
  }
  platform::Dictionary fields;
  for (const NanoObject& element : *nested) {
    const APMPBEventParam* field = paramOf(element);
    platform::ErrorPtr ignored;
    auto entries = dictionaryFromEventParam(field, true, depth + 1, &ignored);
    if (!entries || entries->size() != 1) continue;
    const std::optional<std::string> fieldName = nano_get_string(field, kParamName);
    if (!fieldName) continue;
    if (const platform::Value* fieldValue = entries->find(*fieldName))
      fields.set(*fieldName, *fieldValue);
  }
  return fields;
}

}  // namespace

std::optional<platform::Dictionary> APMDictionaryFromEventParam(const APMPBEventParam* param,
                                                                bool isArrayElement,
                                                                platform::ErrorPtr* error) {
  return dictionaryFromEventParam(param, isArrayElement, isArrayElement ? 1 : 0, error);
}

std::shared_ptr<APMPBMeasurementBundle>
APMRawEventsMetadataFromRecord(const platform::Dictionary& record, platform::ErrorPtr* error) {
  if (!APMCheckCondition(!record.empty(), error, 3,
                         "Received empty dictionary for getting measurement bundle")) {
    return nullptr;
  }
  const platform::Data* metadata = record["metadata"].asData();
  if (!APMCheckCondition(metadata != nullptr && !metadata->empty(), error, 3,
                         "Event metadata should not be empty for getting measurement bundle")) {
    return nullptr;
  }
  return APMPBMeasurementBundle::initWithBuffer(metadata);
}

bool APMDatabaseRawEvents::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle* bundle,
                                                             platform::ErrorPtr* error) {
  std::optional<platform::Data> bytes;
  if (bundle != nullptr) bytes = bundle->protoBuffer();
  if (!APMCheckCondition(bytes && !bytes->empty(), error, 3,
                         "Received empty measurement bundle metadata for getting dictionary "
                         "representation")) {
    return false;
  }
  const std::int64_t fingerprint = apm_64LSBMD5(*bytes);
  // Only a row that reads back counts as stored: a damaged one under this fingerprint is
  // replaced by these bytes, or the events logged under it could never be bundled.
  if (queryRawEventsMetadataWithFingerprint(fingerprint, nullptr) != nullptr) return true;
  const platform::Dictionary record{{kFingerprintColumn, platform::Value(fingerprint)},
                                    {"metadata", platform::Value(std::move(*bytes))}};
  return upsertDataType(record, kAPMRawEventsMetadataTable, kFingerprintColumn,
                        platform::Value(fingerprint), kAPMRawEventsMetadataTableLimit, error);
}

std::shared_ptr<APMPBMeasurementBundle>
APMDatabaseRawEvents::queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                            platform::ErrorPtr* error) {
  const auto bundles = dataTypesFromTableWithName<APMPBMeasurementBundle>(
      kAPMRawEventsMetadataTable, kFingerprintColumn, platform::Value(fingerprint), error,
      APMRawEventsMetadataFromRecord);
  if (!bundles || bundles->empty()) return nullptr;
  return bundles->front();
}

bool APMDatabaseRawEvents::deleteRawEventMetadataWithMetadataFingerprint(
    std::int64_t fingerprint, platform::ErrorPtr* error) {
  return deleteWhere(this, kAPMRawEventsMetadataTable, "metadata_fingerprint == ?",
                     {platform::Value(fingerprint)}, error);
}

bool APMDatabaseRawEvents::deleteUnusedRawEventsMetadata(platform::ErrorPtr* error) {
  return deleteWhere(
      this, kAPMRawEventsMetadataTable,
      "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {},
      error);
}

std::optional<platform::Value>
APMDatabaseRawEvents::isRawEventsTableEmpty(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  return store->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

bool APMDatabaseRawEvents::insertRawEvent(const std::shared_ptr<APMEvent>& event,
                                          std::int64_t metadataFingerprint, bool isRealtime,
                                          platform::ErrorPtr* error) {
  if (!APMCheckCondition(event != nullptr, error, 1,
                         "Received empty event for inserting in the database")) {
    return false;
  }
  // Wrapping the event as raw event data with row id 0 cannot fail once it is there, so no
  // wrapper is made for the row.
  // The name has a column of its own.
  std::optional<platform::Data> data = event->protoBytes(/*withName=*/false);
  if (!APMCheckCondition(data.has_value(), error, 3,
                         "Received empty raw event data for getting dictionary representation")) {
    return false;
  }
  // Built in place and moved into: an initializer list would copy every value, the event's
  // bytes among them, once more.
  std::optional<platform::Dictionary> record(std::in_place);
  record->set("name", platform::Value(event->name()));
  record->set("timestamp", platform::Value(event->timestamp()));
  record->set(kFingerprintColumn, platform::Value(metadataFingerprint));
  record->set("data", platform::Value(std::move(*data)));
  record->set("is_realtime", platform::Value(static_cast<std::int64_t>(isRealtime ? 1 : 0)));
  return insertDataType(record, kAPMRawEventsTable, error);
}

std::optional<platform::Value>
APMDatabaseRawEvents::queryLatestRawEventTime(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  return store->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
APMDatabaseRawEvents::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, platform::ErrorPtr* error,
    const APMSqliteStore::RowFilter& eventFilter) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  const APMSqliteStore::RowFilter readAll = [](std::int64_t, const platform::Dictionary&) {
    return true;
  };
  const auto records = store->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {platform::Value(fingerprint), platform::Value(kAPMRawEventsReadLimit)}, error,
      eventFilter ? eventFilter : readAll);
  if (!records) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  events.reserve(records->size());
  // A row that does not rebuild is left out; its error is reported only when nothing did.
  platform::ErrorPtr rowError;
  for (const platform::Dictionary& record : *records) {
    if (auto event = rawEventDataFromDictionary(&record, &rowError))
      events.push_back(std::move(event));
  }
  if (!records->empty() && events.empty()) {
    if (error != nullptr) *error = rowError;
    return std::nullopt;
  }
  return events;
}

std::optional<platform::Value>
APMDatabaseRawEvents::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                              platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  return store->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {platform::Value(fingerprint)}, error);
}

bool APMDatabaseRawEvents::deleteRawEventsWithMaxRowID(std::int64_t rowID,
                                                       platform::ErrorPtr* error) {
  return deleteWhere(this, kAPMRawEventsTable, "rowid <= ?", {platform::Value(rowID)}, error);
}

std::optional<std::int64_t>
APMDatabaseRawEvents::deleteRawEventsOverAbsoluteLimit(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  const std::int64_t keep =
      static_cast<std::int64_t>(APMMeasurementRemoteConfig()->maxEventsStored()) - 1;
  return store->deleteRecordsFromTableWithName(
      kAPMRawEventsTable,
      "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {platform::Value(keep)}, error);
}

bool APMDatabaseRawEvents::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                                   platform::ErrorPtr* error) {
  if (!APMCheckCondition(!(maxAge < 0), error, 1,
                         "Cannot delete stale raw events given negative time period")) {
    return false;
  }
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return false;
  const double now = platform::Date::now().timeIntervalSince1970();
  const auto deleted = store->deleteRecordsFromTableWithName(
      kAPMRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {platform::Value(now), platform::Value(maxAge)}, error);
  if (!deleted) return false;
  if (*deleted > 0) return deleteUnusedRawEventsMetadata(error);
  return true;
}

std::optional<std::int64_t>
APMDatabaseRawEvents::nextMetadataFingerprintToProcess(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  const auto records =
      store->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!records) return std::nullopt;
  if (!APMCheckCondition(records->size() == 1, error, 2,
                         "Only one event metadata should be processed")) {
    return std::nullopt;
  }
  const platform::Value& fingerprint = records->front()[kFingerprintColumn];
  if (fingerprint.isNull()) return std::nullopt;
  // A damaged row whose fingerprint is no integer cannot be bundled; saying "no more events"
  // would hide it, so it is an error.
  const std::optional<std::int64_t> value = fingerprint.asInt();
  APMCheckCondition(value.has_value(), error, 3,
                    "Unable to find event metadata in the database dictionary");
  return value;
}

std::shared_ptr<APMRawEventData>
APMDatabaseRawEvents::rawEventDataFromDictionary(const platform::Dictionary* record,
                                                 platform::ErrorPtr* error) {
  if (!APMCheckCondition(record != nullptr, error, 1,
                         "Received empty dictionary for getting raw event data")) {
    return nullptr;
  }
  const platform::Value* rowID = record->find("rowid");
  if (!APMCheckCondition(isPresent(rowID) && rowID->asInt(), error, 1,
                         "Unable to find row ID in the database dictionary")) {
    return nullptr;
  }
  const platform::Value* data = record->find("data");
  if (!APMCheckCondition(isPresent(data), error, 1,
                         "Unable to find event data in the database dictionary")) {
    return nullptr;
  }
  const platform::Value* fingerprint = record->find(kFingerprintColumn);
  if (!APMCheckCondition(isPresent(fingerprint) && fingerprint->asInt(), error, 1,
                         "Unable to find event metadata in the database dictionary")) {
    return nullptr;
  }

  std::shared_ptr<APMPBEvent> proto;
  if (const platform::Data* bytes = data->asData()) proto = APMPBEvent::initWithBuffer(bytes);
  if (!APMCheckCondition(proto != nullptr, error, 3, "Failed to parse event from data")) {
    return nullptr;
  }

  std::optional<std::string> origin;
  platform::Dictionary parameters;
  if (const auto params =
          nano_get_array(proto.get(), kEventParams, &APMPBEventParam::messageClass())) {
    for (const NanoObject& element : *params) {
      const APMPBEventParam* param = paramOf(element);
      const std::optional<std::string> name =
          param != nullptr ? nano_get_string(param, kParamName) : std::nullopt;
      if (name && *name == kOriginParameter) {
        if (!APMCheckCondition(nano_has_field(param, kParamStringValue), error, 2,
                               "Cannot create an event from database. Origin parameter is not "
                               "a string")) {
          return nullptr;
        }
        origin = nano_get_string(param, kParamStringValue);
        continue;
      }
      platform::ErrorPtr paramError;
      const auto entries = APMDictionaryFromEventParam(param, false, &paramError);
      const platform::Value* value = entries && name ? entries->find(*name) : nullptr;
      if (!APMCheckCondition(value != nullptr, error, 2,
                             "Failed to parse event params from data")) {
        return nullptr;
      }
      parameters.set(*name, *value);
    }
  }
  if (!APMCheckCondition(origin && !origin->empty(), error, 2,
                         "Cannot create an event from database. Missing origin parameter")) {
    return nullptr;
  }

  const std::string* name = (*record)["name"].asString();
  const std::optional<double> timestamp = (*record)["timestamp"].asDouble();
  // A row whose name or time a damaged file lost makes no event, as one whose event or row id
  // is refused makes no raw event data.
  std::shared_ptr<APMRawEventData> rawEventData;
  if (name != nullptr && timestamp) {
    const double previousTimestamp =
        static_cast<double>(nano_get_int64(proto.get(), kEventPreviousTimestampMillis)) / 1000.0;
    if (auto event = APMEvent::initWithOrigin(origin, false, *name, *timestamp, previousTimestamp,
                                              parameters)) {
      rawEventData = APMRawEventData::initWithRawEvent(std::move(event), *rowID->asInt(),
                                                       *fingerprint->asInt());
    }
  }
  APMCheckCondition(rawEventData != nullptr, error, 2,
                    "Failed to initialize raw event data from dictionary");
  return rawEventData;
}

std::optional<platform::Value>
APMDatabaseRawEvents::containsRealtimeRawEventsWithError(platform::ErrorPtr* error) {
  APMSqliteStore* store = openStore(this, error);
  if (store == nullptr) return std::nullopt;
  return store->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
}
