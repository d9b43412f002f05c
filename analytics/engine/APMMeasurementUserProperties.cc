// The measurement core's writes of user properties and default event parameters.
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMParameterSanitizer.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/messages/APMServices.h"

namespace {

constexpr const char* kUserIDProperty = "_id";
constexpr const char* kLastAdvertisingIDResetProperty = "_lair";
constexpr const char* kNonPersonalizedAdsProperty = "_npa";

// Properties the application does not name itself, per origin.
constexpr std::int64_t kMaxInternalUserPropertiesPerOrigin = 25;

constexpr std::int64_t kErrorUserPropertyLimitReached = 9;
constexpr std::int64_t kErrorTooManyDefaultEventParameters = 26;
constexpr std::int64_t kErrorArrayDefaultEventParameter = 27;

// The core's own configuration once it is set up; the process-wide one before.
std::shared_ptr<APMRemoteConfig> configurationOf(const APMMeasurement& core) {
  if (auto config = core.remoteConfigInstance()) return config;
  return APMMeasurementRemoteConfig();
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return error ? platform::Value(error->description()) : platform::Value();
}

platform::Value valueContext(const APMUserAttribute& attribute) {
  return attribute.value() ? platform::Value(APMDescriptionForLog(attribute.value()->value()))
                           : platform::Value();
}

std::string nameForLog(const std::string& name) {
  return APMUserPropertyNameForLog(platform::Value(name));
}

// Only a string or a number is a default; a name must be one an event may carry.
bool isValidDefault(const std::string& name, const platform::Value& value) {
  return (value.isNumber() || value.isString()) &&
         APMDataTypeValidator::isValidPublicEventParameterName(platform::Value(name));
}

// The largest parameter limit the configuration accepts: no more defaults are ever stored.
constexpr std::size_t kMaxStoredDefaults = 100;

// The stored defaults, read back as they were written: the file may have been changed behind
// our back, so entries that could not have been stored are left out, and a dictionary larger
// than any that is stored counts as none.
std::optional<platform::Dictionary> storedDefaults(APMPersistedConfig& persisted) {
  std::optional<platform::Dictionary> stored = persisted.defaultEventParameters();
  if (!stored) return std::nullopt;
  if (stored->size() > kMaxStoredDefaults) return platform::Dictionary{};
  platform::Dictionary kept;
  for (auto& [name, value] : *stored) {
    if (isValidDefault(name, value)) kept.set(name, std::move(value));
  }
  return kept;
}

// The text a stored value and a new one are compared by.
std::optional<std::string> textOf(const APMUserAttribute* attribute) {
  if (!attribute || !attribute->value()) return std::nullopt;
  return attribute->value()->value().description();
}

}  // namespace

void APMMeasurement::setDefaultEventParameters(
    const std::optional<platform::Dictionary>& parameters) {
  scheduleOnWorkerQueueBlockID("APMMeasurement:2518", [weak = weak_from_this(), parameters] {
    if (auto self = weak.lock()) self->handleSetDefaultEventParametersOnWorkerQueue(parameters);
  });
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<platform::Dictionary>& parameters) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "handleSetDefaultEventParametersOnWorkerQueue:");
  if (!isEnabled()) {
    log(7, 23211, "Analytics is disabled. Default event parameters not updated");
    return;
  }
  if (!persistedConfig_) return;
  platform::Dictionary result;
  if (parameters) {
    if (auto stored = storedDefaults(*persistedConfig_)) result = std::move(*stored);
    for (const auto& [name, value] : *parameters) {
      if (!value.isNull() && !value.isNumber() && !value.isString()) {
        log(4, 23213, "Invalid key in default event parameters. Parameter ignored.");
        if (value.isArray()) APMLogErrorEvent(kErrorArrayDefaultEventParameter);
        continue;
      }
      if (!APMDataTypeValidator::isValidPublicEventParameterName(platform::Value(name))) {
        log(4, 23214, "Invalid default event parameter name. Name", {name});
        continue;
      }
      if (value.isNull()) {
        result.erase(name);
        continue;
      }
      const APMValuePtr typed = APMValue::valueFromObject(value);
      if (typed && APMDataTypeValidator::isValidPublicEventParameterValue(platform::Value(typed))) {
        result.set(name, value);
      }
    }
  }
  const std::int32_t limit = configurationOf(*this)->maxPublicEventParams();
  if (result.size() > static_cast<std::size_t>(limit)) {
    APMTrimPublicParameters(result, limit);
    APMLogErrorEvent(kErrorTooManyDefaultEventParameters);
    log(4, 23215, "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  log(7, 23216, "Updating default event parameters. Parameters",
      {APMDescriptionForLog(platform::Value(result))});
  persistedConfig_->setDefaultEventParameters(result);
}

platform::Dictionary APMMeasurement::parametersWithAddedDefaultEventParameters(
    const platform::Dictionary& parameters) const {
  if (!persistedConfig_) return parameters;
  std::optional<platform::Dictionary> defaults = storedDefaults(*persistedConfig_);
  if (!defaults) return parameters;
  for (const auto& [name, value] : parameters) defaults->set(name, value);
  return std::move(*defaults);
}

void APMMeasurement::setUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) {
    log(3, 23079, "Attempted to set nil user property");
    return;
  }
  scheduleOnWorkerQueueBlockID("APMMeasurement:2745", [weak = weak_from_this(), attribute] {
    if (auto recorder = APMMeasurement::recorder()) {
      recorder->didSetUserAttribute(attribute->name(), attribute->value()->value(),
                                    attribute->origin().value_or(""));
    }
    if (auto self = weak.lock()) self->setUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::removeUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute) {
  if (!attribute) {
    log(3, 23074, "Attempted to remove nil user property");
    return;
  }
  scheduleOnWorkerQueueBlockID("APMMeasurement:2700", [weak = weak_from_this(), attribute] {
    if (auto recorder = APMMeasurement::recorder()) {
      recorder->didSetUserAttribute(attribute->name(), std::nullopt,
                                    attribute->origin().value_or(""));
    }
    if (auto self = weak.lock()) self->removeUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(
    const std::shared_ptr<const APMUserAttribute>& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!isEnabled()) {
    log(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(
    const std::shared_ptr<const APMUserAttribute>& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  if (!isEnabled()) {
    log(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  if (!attribute) return;
  const std::string& name = attribute->name();
  if (name == kUserIDProperty) {
    if (auto identity = this->identity()) identity->resetSessionStitchingToken();
  }
  const auto database = this->database();
  if (!database) return;
  platform::ErrorPtr error;
  if (!database->deleteUserAttributeWithName(name, &error) && error) {
    log(1, 23077, "Unable to remove user property. Name, error",
        {nameForLog(name), errorContext(error)});
    return;
  }
  log(7, 23078, "User property removed. Name", {nameForLog(name)});
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(
    const std::shared_ptr<const APMUserAttribute>& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  const auto database = this->database();
  if (!attribute || !attribute->value() || !database) return false;
  const std::string& name = attribute->name();

  platform::ErrorPtr error;
  const std::optional<bool> contains = database->containsUserAttributeWithName(name, &error);
  if (!contains && error) {
    log(1, 23082, "Unable to query existence of user property. Name, error",
        {nameForLog(name), errorContext(error)});
    return false;
  }
  const bool exists = contains.value_or(false);

  if (name == kUserIDProperty && exists) {
    platform::ErrorPtr readError;
    const auto stored = database->userAttributeWithName(name, &readError);
    const std::optional<std::string> storedText = textOf(stored.get());
    if (!storedText || *storedText != *textOf(attribute.get())) {
      if (auto identity = this->identity()) identity->resetSessionStitchingToken();
      platform::ErrorPtr deleteError;
      database->deleteUserAttributeWithName(kLastAdvertisingIDResetProperty, &deleteError);
    }
  }

  const auto config = configurationOf(*this);
  if (name == kNonPersonalizedAdsProperty && config->DMAConsentEnabled()) {
    updateAdPersonalizationConsentFromNPAValue(
        platform::Value(attribute->value()->value().longLongValue()));
  }

  if (!exists) {
    std::optional<std::int64_t> count;
    std::int64_t limit = kMaxInternalUserPropertiesPerOrigin;
    const std::string origin = attribute->origin().value_or("");
    platform::ErrorPtr countError;
    if (attribute->isPublic()) {
      count = database->publicUserAttributeCount(&countError);
      limit = config->maxPublicUserProperties();
    } else {
      count = database->userAttributeCountForOrigin(origin, &countError);
    }
    if (!count || *count >= limit) {
      if (countError) {
        log(1, 23083, "Unable to query user property count. Origin, error",
            {origin, errorContext(countError)});
      } else {
        log(3, 23084,
            "Unable to set user property. Reached limit on set user properties for origin. "
            "Origin, name, value",
            {origin, nameForLog(name), valueContext(*attribute)});
        APMLogErrorEvent(kErrorUserPropertyLimitReached);
      }
      return false;
    }
  }

  platform::ErrorPtr writeError;
  if (!database->updateUserAttribute(attribute, &writeError) && writeError) {
    log(1, 23085, "Unable to set user property. Name, value, error",
        {nameForLog(name), valueContext(*attribute), errorContext(writeError)});
    return false;
  }
  log(7, 23087, "User property set. Name, value", {nameForLog(name), valueContext(*attribute)});
  return true;
}
