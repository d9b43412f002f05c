#include "analytics/data/APMDatabaseUserAttributes.h"

#include <utility>

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMDatabaseConditionalProperties.h"
#include "analytics/data/APMNameMaps.h"

namespace {

constexpr const char* kColumnName = "name";
constexpr const char* kColumnOrigin = "origin";
constexpr const char* kColumnValue = "value";
constexpr const char* kColumnSetTimestamp = "set_timestamp";

constexpr std::int64_t kUserAttributesTableLimit = 1000;
// The lifetime-value properties, one per currency.
constexpr const char* kLifetimeValuePrefix = "_ltv_";

using UserAttributePtr = APMDatabaseUserAttributes::UserAttributePtr;

const APMDatabaseCore::UnreadableRowMessages kUnreadableLifetimeValueMessages{
    12074, "Deleting lifetime value user property that cannot be read. Row ID, error", 12075,
    "Failed to delete unreadable lifetime value user properties"};

const std::string* stringColumn(const platform::Dictionary& record, const char* column) {
  const platform::Value* value = record.find(column);
  return value != nullptr ? value->asString() : nullptr;
}

std::optional<std::int64_t> countForNumber(const std::optional<platform::Value>& number) {
  if (!number) return std::nullopt;
  return number->asInt();
}

}  // namespace

UserAttributePtr APMUserAttributeFromRecord(const platform::Dictionary& record,
                                            platform::ErrorPtr* error) {
  if (record.empty()) {
    APMSetError(error, 3, "Received empty dictionary for getting user property");
    return nullptr;
  }
  const platform::Value* stored = record.find(kColumnValue);
  APMValuePtr value = APMValue::valueFromObject(
      stored != nullptr ? std::optional<platform::Value>(*stored) : std::nullopt);
  if (!value) return nullptr;
  const std::string* origin = stringColumn(record, kColumnOrigin);
  const std::string* name = stringColumn(record, kColumnName);
  const platform::Value* setTimestamp = record.find(kColumnSetTimestamp);
  return APMUserAttribute::initWithOrigin(
      origin != nullptr ? std::optional<std::string>(*origin) : std::nullopt,
      name != nullptr ? *name : std::string(), platform::Value(std::move(value)),
      setTimestamp != nullptr ? setTimestamp->asDouble().value_or(0) : 0);
}

platform::Value APMStorableValueObject(const APMValue& value) {
  if (value.isString()) return platform::Value(value.stringValue().value_or(std::string()));
  if (value.isDouble()) return platform::Value(value.doubleValue());
  return platform::Value(value.int64Value());
}

std::optional<std::int64_t>
APMDatabaseUserAttributes::publicUserAttributeCount(platform::ErrorPtr* error) {
  return countForNumber(sqliteStore()->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error));
}

std::optional<std::int64_t>
APMDatabaseUserAttributes::userAttributeCountForOrigin(const std::string& origin,
                                                       platform::ErrorPtr* error) {
  if (origin.empty()) {
    APMSetError(error, 1, "Received empty user property origin for count query");
    return std::nullopt;
  }
  return countForNumber(sqliteStore()->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE origin = ?", {origin}, error));
}

std::optional<bool>
APMDatabaseUserAttributes::containsUserAttributeWithName(const std::string& name,
                                                         platform::ErrorPtr* error) {
  if (name.empty()) {
    APMSetError(error, 1, "Received empty user property name for exists query");
    return std::nullopt;
  }
  const auto exists = countForNumber(sqliteStore()->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {name}, error));
  if (!exists) return std::nullopt;
  return *exists != 0;
}

UserAttributePtr APMDatabaseUserAttributes::userAttributeWithName(const std::string& name,
                                                                  platform::ErrorPtr* error) {
  auto attributes = dataTypesFromTableWithName<const APMUserAttribute>(
      kAPMUserAttributesTable, kColumnName, platform::Value(name), error,
      APMUserAttributeFromRecord);
  if (!attributes || attributes->empty()) return nullptr;
  return attributes->front();
}

std::optional<std::vector<UserAttributePtr>>
APMDatabaseUserAttributes::allLifetimeValueUserAttributes(platform::ErrorPtr* error) {
  // The prefix itself holds "_", which LIKE would take as any character.
  const auto records = sqliteStore()->recordsForQuery(
      "SELECT rowid, * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '!' "
      "ORDER BY set_timestamp DESC",
      {APMEscapedLikePattern(kLifetimeValuePrefix)}, error);
  if (!records) return std::nullopt;
  return readableDataTypesFromRecords<const APMUserAttribute>(kAPMUserAttributesTable, *records,
                                                              kUnreadableLifetimeValueMessages,
                                                              APMUserAttributeFromRecord);
}

std::optional<std::vector<UserAttributePtr>>
APMDatabaseUserAttributes::userAttributesIncludingInternal(bool includeInternal,
                                                           platform::ErrorPtr* error) {
  auto attributes = allDataTypesFromTableWithName<const APMUserAttribute>(
      kAPMUserAttributesTable, kUserAttributesTableLimit, error, APMUserAttributeFromRecord);
  if (!attributes || includeInternal) return attributes;
  const platform::Dictionary& internalNamesByPublicName = internalUserPropertyNamesByPublicName();
  std::vector<UserAttributePtr> publicAttributes;
  for (UserAttributePtr& attribute : *attributes) {
    const std::string& name = attribute->name();
    if (name.starts_with('_') || APMDataTypeValidator::hasReservedPrefixes(name) ||
        internalNamesByPublicName.contains(name)) {
      continue;
    }
    publicAttributes.push_back(std::move(attribute));
  }
  return publicAttributes;
}

bool APMDatabaseUserAttributes::updateUserAttribute(const UserAttributePtr& userAttribute,
                                                    platform::ErrorPtr* error) {
  if (!userAttribute) {
    APMSetError(error, 3, "Received empty user property for getting dictionary representation");
    return false;
  }
  if (!userAttribute->origin() || userAttribute->origin()->empty()) {
    APMSetError(error, 3,
                "Received user property with empty origin for getting dictionary representation");
    return false;
  }
  if (userAttribute->name().empty()) {
    APMSetError(error, 1,
                "Received user property with empty name for getting dictionary representation");
    return false;
  }
  const APMValuePtr& value = userAttribute->value();
  if (!value || (value->isString() && value->stringValue().value_or(std::string()).empty())) {
    APMSetError(error, 1, "Received empty string value for user property");
    return false;
  }
  const platform::Dictionary record{{kColumnOrigin, *userAttribute->origin()},
                                    {kColumnName, userAttribute->name()},
                                    {kColumnValue, APMStorableValueObject(*value)},
                                    {kColumnSetTimestamp, userAttribute->lastSetTimestamp()}};
  return upsertDataType(record, kAPMUserAttributesTable, kColumnName,
                        platform::Value(userAttribute->name()), kUserAttributesTableLimit, error);
}

bool APMDatabaseUserAttributes::deleteUserAttributeWithName(const std::string& name,
                                                            platform::ErrorPtr* error) {
  return sqliteStore()->deleteRecordFromTableWithName(kAPMUserAttributesTable, kColumnName,
                                                      platform::Value(name), error);
}
