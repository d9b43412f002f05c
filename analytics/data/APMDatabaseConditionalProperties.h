// APMDatabaseConditionalProperties: the conditional user properties in "conditional_properties",
// one row per name, and the queries with which their controller finds the properties whose
// trigger timed out, whose life expired, or that a just-logged event triggers. The three
// events a property carries are stored in their wire form.
//
// Rows read back are hostile (a damaged file): a row whose value or events do not rebuild is
// logged and deleted by the query that meets it, which returns the other rows, so that one
// damaged row cannot stop the sweeps, the triggers or its own name for good.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMValue.h"
#include "platform/data.h"
#include "platform/error.h"
#include "platform/value.h"

// How many conditional properties are stored at most.
inline constexpr std::int64_t kAPMConditionalPropertiesTableLimit = 1000;

// A user property that becomes active when its trigger event comes within the timeout and
// stays so for its time to live, with the events to log on each change of state. Times are
// seconds (timestamps since 1970).
struct APMConditionalUserProperty {
  std::string name;
  std::string origin;
  APMValuePtr value;
  // Empty: active at once.
  std::string triggerEventName;
  double triggerTimeout = 0;
  double timeToLive = 0;
  std::shared_ptr<APMEvent> triggeredEvent;
  std::shared_ptr<APMEvent> timedOutEvent;
  std::shared_ptr<APMEvent> expiredEvent;
  double creationTimestamp = 0;
  bool active = false;
  double triggeredTimestamp = 0;

  bool isActive() const { return active; }
};

using APMConditionalUserPropertyPtr = std::shared_ptr<const APMConditionalUserProperty>;

// An event as it is stored in a blob column: its wire form, encoded; none when it does not
// encode.
std::optional<platform::Data> APMProtoDataFromEvent(const APMEvent& event);
// A stored event back; null with code 2 when the column holds no data, the bytes do not
// decode, or the message does not make an event.
std::shared_ptr<APMEvent> APMEventFromProtoData(const platform::Value& object,
                                                platform::ErrorPtr* error);

// The text matched literally by a LIKE pattern with ESCAPE '!': "%", "_" and "!" escaped.
std::string APMEscapedLikePattern(const std::string& text);

class APMDatabaseConditionalProperties : public virtual APMDatabaseCore {
 public:
  // Null, without an error, when no readable row has that name.
  APMConditionalUserPropertyPtr conditionalUserPropertyWithName(const std::string& name,
                                                                platform::ErrorPtr* error);
  // Writes the whole row, replacing the stored one; a new name is refused once the table
  // holds kAPMConditionalPropertiesTableLimit rows.
  bool updateConditionalUserProperty(const APMConditionalUserProperty* conditionalUserProperty,
                                     platform::ErrorPtr* error);
  bool deleteConditionalUserPropertyWithName(const std::string& name, platform::ErrorPtr* error);

  // Inactive properties whose trigger did not come within the timeout of their creation.
  std::optional<std::vector<APMConditionalUserPropertyPtr>>
  timedOutConditionalUserPropertiesWithError(platform::ErrorPtr* error);
  // Active properties past their time to live since they were triggered.
  std::optional<std::vector<APMConditionalUserPropertyPtr>>
  expiredConditionalUserPropertiesWithError(platform::ErrorPtr* error);
  // Inactive properties waiting for the event that are still within their timeout.
  std::optional<std::vector<APMConditionalUserPropertyPtr>>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                  platform::ErrorPtr* error);
  // Properties whose name begins with the prefix and whose origin is the origin (letter case
  // of ASCII letters aside); an empty prefix or origin does not restrict.
  std::optional<std::vector<APMConditionalUserPropertyPtr>>
  conditionalUserPropertiesWithPrefix(const std::string& prefix, const std::string& origin,
                                      platform::ErrorPtr* error);
  // Every readable row matching the condition; rows that do not rebuild are deleted.
  std::optional<std::vector<APMConditionalUserPropertyPtr>>
  conditionalUserPropertiesWithCondition(const std::string& condition,
                                         const platform::Array& parameterValues,
                                         platform::ErrorPtr* error);

  // Row records and back; none (with an error) for a property or record that cannot convert.
  static std::optional<platform::Dictionary>
  dictionaryFromConditionalUserProperty(const APMConditionalUserProperty* conditionalUserProperty,
                                        platform::ErrorPtr* error);
  static APMConditionalUserPropertyPtr
  conditionalUserPropertyFromDictionary(const platform::Dictionary* record,
                                        platform::ErrorPtr* error);
};
