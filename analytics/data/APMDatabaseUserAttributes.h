// APMDatabaseUserAttributes: the user properties in the table "user_attributes", one row per
// name: the counts behind the limits on public properties and per origin, reads by name and
// by the lifetime-value prefix, the public list, writes (capped at 1000 names) and deletion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "platform/error.h"
#include "platform/value.h"

// The form in which a value goes into a value column: a string as itself, a double as a
// double, anything else as a 64-bit integer.
platform::Value APMStorableValueObject(const APMValue& value);
// One "user_attributes" row back to its attribute; null with code 3 for an empty record, null
// without an error for a row whose value, name or timestamp does not make an attribute.
std::shared_ptr<const APMUserAttribute>
APMUserAttributeFromRecord(const platform::Dictionary& record, platform::ErrorPtr* error);

class APMDatabaseUserAttributes : public virtual APMDatabaseCore {
 public:
  using UserAttributePtr = std::shared_ptr<const APMUserAttribute>;

  // Names that do not begin with "_".
  std::optional<std::int64_t> publicUserAttributeCount(platform::ErrorPtr* error);
  std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                          platform::ErrorPtr* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                    platform::ErrorPtr* error);
  // Null, without an error, when no row has that name.
  UserAttributePtr userAttributeWithName(const std::string& name, platform::ErrorPtr* error);
  // The lifetime-value properties, most recently set first. A row that does not convert is
  // logged and deleted rather than hiding every lifetime value.
  std::optional<std::vector<UserAttributePtr>>
  allLifetimeValueUserAttributes(platform::ErrorPtr* error);
  std::optional<std::vector<UserAttributePtr>>
  userAttributesIncludingInternal(bool includeInternal, platform::ErrorPtr* error);
  bool updateUserAttribute(const UserAttributePtr& userAttribute, platform::ErrorPtr* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::ErrorPtr* error);
};
