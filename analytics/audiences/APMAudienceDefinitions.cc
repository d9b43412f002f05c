// Definitions: checking, normalising and storing the audiences of a new configuration.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "analytics/audiences/APMAudience.h"
#include "analytics/audiences/APMAudienceComparisons.h"
#include "analytics/messages/APMPBTypedFields.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMServices.h"

namespace {

namespace A = APMPBAudienceFields;
namespace E = APMPBEventFilterFields;
namespace P = APMPBPropertyFilterFields;
namespace F = APMPBFilterFields;
namespace N = APMPBNumberFilterFields;

constexpr std::int64_t kAudienceError = 9;
constexpr std::int64_t kEventFilterError = 10;
constexpr std::int64_t kPropertyFilterError = 11;

// A database call failed only when it said so and also handed back an error.
bool failed(bool succeeded, const platform::ErrorPtr& error) { return !succeeded && error; }

bool hasNonEmptyString(const NANOMessageBase* message, std::int32_t index) {
  if (!nano_has_field(message, index)) return false;
  auto text = nano_get_string(message, index);
  return text && !text->empty();
}

// The checks that event and property filters share, each with its kind's code and texts.
struct FilterTexts {
  std::int64_t code;
  const char* missingID;
  const char* idOutOfRange;
  const char* duplicateID;
  const char* notExactlyOne;
  const char* invalidNumber;
  const char* invalidString;
};

constexpr FilterTexts kEventFilterTexts{
    kEventFilterError,
    "Missing event filter ID",
    "Event filter ID is out of range",
    "Duplicate event filter ID",
    "Event filter must have exactly one of number or string filter",
    "Event filter has invalid number filter",
    "Event filter has invalid string filter"};
constexpr FilterTexts kPropertyFilterTexts{
    kPropertyFilterError,
    "Missing property filter ID",
    "Property filter ID is out of range",
    "Duplicate property filter ID",
    "Property filter must have exactly one of number or string filter",
    "Property filter has invalid number filter",
    "Property filter has invalid string filter"};

bool refuse(platform::ErrorPtr* error, std::int64_t code, const char* description) {
  APMSetError(error, code, description);
  return false;
}

// Exactly one of the two comparisons, and that one valid.
bool filterIsValid(const APMPBFilter* filter, const FilterTexts& texts, platform::ErrorPtr* error) {
  const bool hasString = nano_has_field(filter, F::kStringFilter);
  const bool hasNumber = nano_has_field(filter, F::kNumberFilter);
  if (hasString == hasNumber) return refuse(error, texts.code, texts.notExactlyOne);
  if (hasNumber) {
    auto number = APMMessageAt<APMPBNumberFilter>(filter, F::kNumberFilter);
    if (!APMNumberFilterIsValid(number.get()))
      return refuse(error, texts.code, texts.invalidNumber);
    return true;
  }
  auto string = APMMessageAt<APMPBStringFilter>(filter, F::kStringFilter);
  if (!APMStringFilterIsValid(string.get())) return refuse(error, texts.code, texts.invalidString);
  return true;
}

bool filterIDIsValid(const NANOMessageBase* filter, std::int32_t index, const FilterTexts& texts,
                     std::int32_t maxFilters, std::set<std::int32_t>& usedFilterIDs,
                     platform::ErrorPtr* error) {
  if (!nano_has_field(filter, index)) return refuse(error, texts.code, texts.missingID);
  const std::int32_t filterID = nano_get_int32(filter, index);
  if (filterID < 0 || filterID >= maxFilters) return refuse(error, texts.code, texts.idOutOfRange);
  // Event and property filters share the audience's bit words, so they share the IDs.
  if (!usedFilterIDs.insert(filterID).second) return refuse(error, texts.code, texts.duplicateID);
  return true;
}

bool eventFilterIsValid(const APMPBEventFilter* filter, std::int32_t maxFilters,
                        std::int32_t maxParameters, std::set<std::int32_t>& usedFilterIDs,
                        platform::ErrorPtr* error) {
  if (!hasNonEmptyString(filter, E::kEventName))
    return refuse(error, kEventFilterError, "Event filter missing event name");
  if (!filterIDIsValid(filter, E::kFilterID, kEventFilterTexts, maxFilters, usedFilterIDs, error))
    return false;
  if (auto count = APMMessageAt<APMPBNumberFilter>(filter, E::kEventCountFilter)) {
    if (nano_get_bool(count.get(), N::kMatchAsFloat))
      return refuse(error, kEventFilterError, "Event filter has float event count filter");
    if (!APMNumberFilterIsValid(count.get()))
      return refuse(error, kEventFilterError, "Event filter has invalid event count filter");
  }
  const auto parameters = APMMessagesAt<APMPBFilter>(filter, E::kFilters);
  if (parameters.size() > static_cast<std::size_t>(std::max(maxParameters, 0)))
    return refuse(error, kEventFilterError, "Event filter parameters filters count out of range");
  for (const auto& parameter : parameters) {
    if (!hasNonEmptyString(parameter.get(), F::kParamName))
      return refuse(error, kEventFilterError, "Event filter missing parameter name");
    if (!filterIsValid(parameter.get(), kEventFilterTexts, error)) return false;
  }
  return true;
}

bool propertyFilterIsValid(const APMPBPropertyFilter* filter, std::int32_t maxFilters,
                           std::set<std::int32_t>& usedFilterIDs, platform::ErrorPtr* error) {
  if (!hasNonEmptyString(filter, P::kPropertyName))
    return refuse(error, kPropertyFilterError, "Property filter missing property name");
  if (!filterIDIsValid(filter, P::kFilterID, kPropertyFilterTexts, maxFilters, usedFilterIDs,
                       error))
    return false;
  auto condition = APMMessageAt<APMPBFilter>(filter, P::kFilter);
  if (!condition) return refuse(error, kPropertyFilterError, "Property filter has no filter");
  return filterIsValid(condition.get(), kPropertyFilterTexts, error);
}

// The internal name the map gives, if any.
std::optional<std::string> mappedName(const platform::Dictionary& map, const std::string& name) {
  const platform::Value* mapped = map.find(name);
  if (mapped == nullptr || mapped->asString() == nullptr) return std::nullopt;
  return *mapped->asString();
}

APMEventFilterPtr eventFilterRow(std::int32_t audienceID, APMPBEventFilter* filter) {
  std::string eventName = nano_get_string(filter, E::kEventName).value_or("");
  if (auto internal = mappedName(APMEventNameMap(), eventName)) {
    eventName = *internal;
    nano_set_string_field(filter, E::kEventName, eventName);
  }
  auto parameters = APMMessagesAt<APMPBFilter>(filter, E::kFilters);
  bool renamed = false;
  for (const auto& parameter : parameters) {
    const auto name = nano_get_string(parameter.get(), F::kParamName).value_or("");
    if (auto internal = mappedName(APMParameterNameMap(), name); internal && *internal != name) {
      nano_set_string_field(parameter.get(), F::kParamName, *internal);
      renamed = true;
    }
  }
  if (renamed) {
    NanoObjectArray entries(parameters.begin(), parameters.end());
    nano_set_array(filter, E::kFilters, &entries);
  }
  auto row = std::make_shared<APMEventFilter>();
  row->audienceID = audienceID;
  row->filterID = nano_get_int32(filter, E::kFilterID);
  row->eventName = std::move(eventName);
  row->data = filter->protoBuffer().value_or(platform::Data());
  row->sessionScoped = nano_get_bool(filter, E::kSessionScoped);
  row->dynamic = nano_get_bool(filter, E::kDynamic);
  row->sequence = nano_get_bool(filter, E::kSequence);
  return row;
}

APMPropertyFilterPtr propertyFilterRow(std::int32_t audienceID, APMPBPropertyFilter* filter) {
  std::string propertyName = nano_get_string(filter, P::kPropertyName).value_or("");
  if (auto internal = mappedName(internalUserPropertyNamesByPublicName(), propertyName)) {
    propertyName = *internal;
    nano_set_string_field(filter, P::kPropertyName, propertyName);
  }
  auto row = std::make_shared<APMPropertyFilter>();
  row->audienceID = audienceID;
  row->filterID = nano_get_int32(filter, P::kFilterID);
  row->propertyName = std::move(propertyName);
  row->data = filter->protoBuffer().value_or(platform::Data());
  row->sessionScoped = nano_get_bool(filter, P::kSessionScoped);
  row->dynamic = nano_get_bool(filter, P::kDynamic);
  row->sequence = nano_get_bool(filter, P::kSequence);
  return row;
}

}  // namespace

std::shared_ptr<APMAudience> APMAudience::initWithDatabase(std::shared_ptr<APMDatabase> database) {
  if (!database) return nullptr;
  return std::shared_ptr<APMAudience>(new APMAudience(std::move(database)));
}

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const std::int32_t maxAudienceCount = APMMeasurementRemoteConfig()->maxAudienceCount();
  if (audiences.size() > static_cast<std::size_t>(std::max(maxAudienceCount, 0))) {
    APMLog(2, 6008,
           "Configuration contains too many audiences. Audiences will not be saved. Audience count",
           {platform::Value(static_cast<std::int64_t>(audiences.size()))});
    return true;
  }

  std::set<std::int32_t> acceptedAudienceIDs;
  std::vector<APMEventFilterPtr> eventFilters;
  std::vector<APMPropertyFilterPtr> propertyFilters;
  for (const auto& audience : audiences) {
    platform::ErrorPtr error;
    if (!APMValidateAudience(audience.get(), acceptedAudienceIDs, &error)) {
      const bool hasID = audience && nano_has_field(audience.get(), A::kAudienceID);
      APMLog(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
             {hasID ? platform::Value(nano_get_int32(audience.get(), A::kAudienceID))
                    : platform::Value(),
              APMErrorContext::value(error)});
      continue;
    }
    const std::int32_t audienceID = nano_get_int32(audience.get(), A::kAudienceID);
    acceptedAudienceIDs.insert(audienceID);
    // The getters hand out copies, so renaming never touches the caller's messages.
    for (const auto& filter : APMMessagesAt<APMPBEventFilter>(audience.get(), A::kEventFilters))
      eventFilters.push_back(eventFilterRow(audienceID, filter.get()));
    for (const auto& filter :
         APMMessagesAt<APMPBPropertyFilter>(audience.get(), A::kPropertyFilters))
      propertyFilters.push_back(propertyFilterRow(audienceID, filter.get()));
  }

  if (!maybeDeleteStaleFilterResults(acceptedAudienceIDs)) return false;

  // No transaction of our own: the configuration fetch that calls this holds one, and a
  // nested BEGIN would fail.
  platform::ErrorPtr error;
  if (failed(database_->deleteAllEventFilters(&error), error)) {
    APMLog(1, 6010,
           "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  error = nullptr;
  if (failed(database_->deleteAllPropertyFilters(&error), error)) {
    APMLog(1, 6011,
           "Unable to delete existing Audience user property filters. Audiences will not be saved. "
           "Error",
           {APMErrorContext::value(error)});
    return false;
  }
  error = nullptr;
  if (!eventFilters.empty() && failed(database_->updateEventFilters(eventFilters, &error), error)) {
    APMLog(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  error = nullptr;
  if (!propertyFilters.empty() &&
      failed(database_->updatePropertyFilters(propertyFilters, &error), error)) {
    APMLog(1, 6013,
           "Unable to save Audience user property filters. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& validAudienceIDs) {
  platform::ErrorPtr error;
  auto results = database_->allFilterResults(&error);
  if (failed(results.has_value(), error)) {
    APMLog(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  const std::size_t resultCount = results ? results->size() : 0;
  const std::int32_t maxFilterResultCount = APMMeasurementRemoteConfig()->maxFilterResultCount();
  if (resultCount <= static_cast<std::size_t>(std::max(maxFilterResultCount, 0))) return true;

  APMLog(3, 6016,
         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
         "result count, max filter result count",
         {platform::Value(static_cast<std::int64_t>(resultCount)),
          platform::Value(static_cast<std::int64_t>(maxFilterResultCount))});
  error = nullptr;
  auto storedAudienceIDs = database_->allAudienceIDs(&error);
  if (failed(storedAudienceIDs.has_value(), error)) {
    APMLog(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  const std::set<std::int32_t> stored =
      storedAudienceIDs
          ? std::set<std::int32_t>(storedAudienceIDs->begin(), storedAudienceIDs->end())
          : std::set<std::int32_t>();
  std::vector<APMFilterResultPtr> stale;
  for (const auto& [audienceID, result] : *results) {
    if (result && !stored.contains(audienceID) && !validAudienceIDs.contains(audienceID))
      stale.push_back(result);
  }
  if (stale.empty()) return true;
  error = nullptr;
  if (failed(database_->deleteFilterResults(stale, &error), error)) {
    APMLog(1, 6018,
           "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
           {APMErrorContext::value(error)});
    return false;
  }
  return true;
}

bool APMValidateAudience(const APMPBAudience* audience,
                         const std::set<std::int32_t>& acceptedAudienceIDs,
                         platform::ErrorPtr* error) {
  if (audience == nullptr || !nano_has_field(audience, A::kAudienceID))
    return refuse(error, kAudienceError, "Missing audience ID");
  const std::int32_t audienceID = nano_get_int32(audience, A::kAudienceID);
  if (audienceID < 0) return refuse(error, kAudienceError, "Audience ID is negative");
  if (acceptedAudienceIDs.contains(audienceID))
    return refuse(error, kAudienceError, "Duplicate audience ID");
  if (!nano_has_field(audience, A::kEventFilters) && !nano_has_field(audience, A::kPropertyFilters))
    return refuse(error, kAudienceError, "Audience missing filters arrays");
  const auto eventFilters = APMMessagesAt<APMPBEventFilter>(audience, A::kEventFilters);
  const auto propertyFilters = APMMessagesAt<APMPBPropertyFilter>(audience, A::kPropertyFilters);
  const std::int32_t maxFilters = APMMeasurementRemoteConfig()->maxFiltersPerAudience();
  const std::size_t filterCount = eventFilters.size() + propertyFilters.size();
  if (filterCount < 1 || filterCount > static_cast<std::size_t>(std::max(maxFilters, 0)))
    return refuse(error, kAudienceError, "Audience filter count out of range");
  const std::int32_t maxParameters = APMMeasurementRemoteConfig()->maxParametersPerFilter();
  std::set<std::int32_t> usedFilterIDs;
  for (const auto& filter : eventFilters) {
    if (!eventFilterIsValid(filter.get(), maxFilters, maxParameters, usedFilterIDs, error))
      return false;
  }
  for (const auto& filter : propertyFilters) {
    if (!propertyFilterIsValid(filter.get(), maxFilters, usedFilterIDs, error)) return false;
  }
  return true;
}
