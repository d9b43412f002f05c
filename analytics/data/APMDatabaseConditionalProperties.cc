#include "analytics/data/APMDatabaseConditionalProperties.h"

#include <utility>

#include "analytics/data/APMDatabaseUserAttributes.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/APMServices.h"
#include "platform/date.h"

namespace {

constexpr const char* kNameColumn = "name";
constexpr const char* kOriginColumn = "origin";

const APMDatabaseCore::UnreadableRowMessages kUnreadablePropertyMessages{
    12072, "Deleting conditional user property that cannot be read. Row ID, error", 12073,
    "Failed to delete unreadable conditional user properties"};

double nowSeconds() { return platform::Date::now().timeIntervalSince1970(); }

// The event of one of the event columns; false (with the error) when the column holds one
// that does not read back.
bool readEventColumn(const platform::Dictionary& record, const char* column,
                     std::shared_ptr<APMEvent>* event, platform::ErrorPtr* error) {
  const platform::Value& object = record[column];
  if (object.isNull()) return true;
  *event = APMEventFromProtoData(object, error);
  return *event != nullptr;
}

}  // namespace

std::optional<platform::Data> APMProtoDataFromEvent(const APMEvent& event) {
  auto proto = event.protoEvent();
  if (!proto) return std::nullopt;
  return proto->protoBuffer();
}

std::shared_ptr<APMEvent> APMEventFromProtoData(const platform::Value& object,
                                                platform::ErrorPtr* error) {
  const platform::Data* data = object.asData();
  if (data == nullptr) {
    APMSetError(error, 2, "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  auto proto = APMPBEvent::initWithBuffer(data);
  if (!proto) {
    APMSetError(error, 2, "Failed to parse event from data");
    return nullptr;
  }
  auto event = APMEvent::initWithEventProto(*proto);
  if (!event) {
    APMSetError(error, 2, "Failed to initialize event from proto data");
    return nullptr;
  }
  return event;
}

std::string APMEscapedLikePattern(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '%' || c == '_' || c == '!') escaped += '!';
    escaped += c;
  }
  return escaped;
}

APMConditionalUserPropertyPtr
APMDatabaseConditionalProperties::conditionalUserPropertyWithName(const std::string& name,
                                                                  platform::ErrorPtr* error) {
  // Through the condition query, so that a damaged row of this name is deleted and the name
  // can be set again.
  auto properties =
      conditionalUserPropertiesWithCondition(std::string(kNameColumn) + " = ?", {name}, error);
  if (!properties || properties->empty()) return nullptr;
  return properties->front();
}

bool APMDatabaseConditionalProperties::updateConditionalUserProperty(
    const APMConditionalUserProperty* conditionalUserProperty, platform::ErrorPtr* error) {
  auto record = dictionaryFromConditionalUserProperty(conditionalUserProperty, error);
  if (!record) return false;
  return upsertDataType(record, kAPMConditionalPropertiesTable, kNameColumn,
                        platform::Value(conditionalUserProperty->name),
                        kAPMConditionalPropertiesTableLimit, error);
}

bool APMDatabaseConditionalProperties::deleteConditionalUserPropertyWithName(
    const std::string& name, platform::ErrorPtr* error) {
  return sqliteStore()->deleteRecordFromTableWithName(kAPMConditionalPropertiesTable, kNameColumn,
                                                      platform::Value(name), error);
}

std::optional<std::vector<APMConditionalUserPropertyPtr>>
APMDatabaseConditionalProperties::timedOutConditionalUserPropertiesWithError(
    platform::ErrorPtr* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout", {nowSeconds()}, error);
}

std::optional<std::vector<APMConditionalUserPropertyPtr>>
APMDatabaseConditionalProperties::expiredConditionalUserPropertiesWithError(
    platform::ErrorPtr* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live", {nowSeconds()}, error);
}

std::optional<std::vector<APMConditionalUserPropertyPtr>>
APMDatabaseConditionalProperties::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, platform::ErrorPtr* error) {
  if (eventName.empty()) {
    APMSetError(error, 1,
                "Received nil/empty event name for querying triggered conditional user "
                "properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {eventName, nowSeconds()}, error);
}

std::optional<std::vector<APMConditionalUserPropertyPtr>>
APMDatabaseConditionalProperties::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                                      const std::string& origin,
                                                                      platform::ErrorPtr* error) {
  // LIKE keeps its case-insensitive comparison of ASCII letters, but "%" and "_" in the
  // caller's text are matched as themselves, not as wildcards.
  std::string condition;
  platform::Array parameterValues;
  if (!origin.empty()) {
    condition = std::string(kOriginColumn) + " LIKE ? ESCAPE '!'";
    parameterValues.emplace_back(APMEscapedLikePattern(origin));
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += std::string(kNameColumn) + " LIKE ? || '%' ESCAPE '!'";
    parameterValues.emplace_back(APMEscapedLikePattern(prefix));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, parameterValues, error);
}

std::optional<std::vector<APMConditionalUserPropertyPtr>>
APMDatabaseConditionalProperties::conditionalUserPropertiesWithCondition(
    const std::string& condition, const platform::Array& parameterValues,
    platform::ErrorPtr* error) {
  if (condition.empty()) {
    APMSetError(error, 1, "Received empty condition for querying a conditional user property");
    return std::nullopt;
  }
  const std::string query =
      std::string("SELECT rowid, * FROM ") + kAPMConditionalPropertiesTable + " WHERE " + condition;
  auto records = sqliteStore()->recordsForQuery(query, parameterValues, error);
  if (!records) return std::nullopt;
  return readableDataTypesFromRecords<const APMConditionalUserProperty>(
      kAPMConditionalPropertiesTable, *records, kUnreadablePropertyMessages,
      [](const platform::Dictionary& record, platform::ErrorPtr* rowError) {
        return conditionalUserPropertyFromDictionary(&record, rowError);
      });
}

std::optional<platform::Dictionary>
APMDatabaseConditionalProperties::dictionaryFromConditionalUserProperty(
    const APMConditionalUserProperty* property, platform::ErrorPtr* error) {
  if (property == nullptr) {
    APMSetError(error, 3,
                "Received empty conditional user property for getting dictionary "
                "representation");
    return std::nullopt;
  }
  if (property->name.empty()) {
    APMSetError(error, 3,
                "Received conditional user property with empty name for getting dictionary "
                "representation");
    return std::nullopt;
  }
  if (property->origin.empty()) {
    APMSetError(error, 3,
                "Received conditional user property with empty origin for getting dictionary "
                "representation");
    return std::nullopt;
  }
  if (!property->value) {
    APMSetError(error, 3,
                "Received conditional user property with nil value for getting dictionary "
                "representation");
    return std::nullopt;
  }
  platform::Dictionary record{{"name", property->name},
                              {"origin", property->origin},
                              {"value", APMStorableValueObject(*property->value)},
                              {"creation_timestamp", property->creationTimestamp},
                              {"active", property->active ? 1 : 0},
                              {"trigger_timeout", property->triggerTimeout},
                              {"triggered_timestamp", property->triggeredTimestamp},
                              {"time_to_live", property->timeToLive}};
  if (!property->triggerEventName.empty())
    record.set("trigger_event_name", property->triggerEventName);
  const std::pair<const char*, const std::shared_ptr<APMEvent>*> events[] = {
      {"triggered_event", &property->triggeredEvent},
      {"timed_out_event", &property->timedOutEvent},
      {"expired_event", &property->expiredEvent}};
  for (const auto& [column, event] : events) {
    if (!*event) continue;
    auto data = APMProtoDataFromEvent(**event);
    // Writing the row without the event would lose it silently.
    if (!data) {
      APMSetError(error, 3, "Failed to convert event to data");
      return std::nullopt;
    }
    record.set(column, std::move(*data));
  }
  return record;
}

APMConditionalUserPropertyPtr
APMDatabaseConditionalProperties::conditionalUserPropertyFromDictionary(
    const platform::Dictionary* record, platform::ErrorPtr* error) {
  if (record == nullptr) return nullptr;
  const std::string* name = (*record)["name"].asString();
  const std::string* origin = (*record)["origin"].asString();
  // Every user of a property relies on its name, origin and value; a damaged row lacking one
  // is refused rather than handed on half-made.
  if (name == nullptr || origin == nullptr) {
    APMSetError(error, 3,
                "Received conditional user property row without name or origin for getting "
                "conditional user property");
    return nullptr;
  }
  APMValuePtr value = APMValue::valueFromObject((*record)["value"]);
  if (!value) {
    APMSetError(error, 3,
                "Received conditional user property row with invalid value for getting "
                "conditional user property");
    return nullptr;
  }
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->name = *name;
  property->origin = *origin;
  property->value = std::move(value);
  property->triggerTimeout = (*record)["trigger_timeout"].doubleValue();
  property->timeToLive = (*record)["time_to_live"].doubleValue();
  if (const std::string* triggerEventName = (*record)["trigger_event_name"].asString())
    property->triggerEventName = *triggerEventName;
  if (!readEventColumn(*record, "triggered_event", &property->triggeredEvent, error) ||
      !readEventColumn(*record, "timed_out_event", &property->timedOutEvent, error) ||
      !readEventColumn(*record, "expired_event", &property->expiredEvent, error))
    return nullptr;
  property->active = (*record)["active"].boolValue();
  property->creationTimestamp = (*record)["creation_timestamp"].doubleValue();
  property->triggeredTimestamp = (*record)["triggered_timestamp"].doubleValue();
  return property;
}
