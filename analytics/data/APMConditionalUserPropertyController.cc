#include "analytics/data/APMConditionalUserPropertyController.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/messages/APMServices.h"
#include "platform/date.h"
#include "platform/dispatch.h"
#include "platform/keyed_archive.h"

namespace {

using platform::ErrorPtr;
using platform::Value;
using Events = APMConditionalUserPropertyController::Events;
using Properties = APMConditionalUserPropertyController::Properties;

constexpr double kMinimumInterval = 0.001;
constexpr double kMaximumInterval = 15552000;  // 180 days

void log(std::int64_t level, std::int64_t code, const std::string& message,
         const platform::Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

Value nameContext(const std::string& name) { return Value(APMUserPropertyNameForLog(Value(name))); }

Value errorContext(const ErrorPtr& error) { return error ? Value(error->description()) : Value(); }

Value eventContext(const std::shared_ptr<APMEvent>& event) {
  if (!event) return Value();
  return Value(APMEventNameForLog(Value(event->name())) +
               ", params: " + APMDescriptionForLog(Value(event->parameters())));
}

double now() { return platform::Date::now().timeIntervalSince1970(); }

// The event a property logs: the handed-over event's name and parameters under the property's
// origin, not public. Null when they no longer make an event (its checks log why).
std::shared_ptr<APMEvent> eventFrom(const std::shared_ptr<APMEvent>& handedOver,
                                    const std::string& origin, double timestamp) {
  if (!handedOver) return nullptr;
  return APMEvent::initWithOrigin(origin, false, handedOver->name(), timestamp, 0,
                                  handedOver->parameters());
}

void append(Events* events, std::shared_ptr<APMEvent> event) {
  if (event) events->push_back(std::move(event));
}

std::shared_ptr<APMDatabase> engineDatabase() {
  auto engine = APMMeasurementSharedInstance();
  return engine ? engine->database() : nullptr;
}

bool isValidInterval(double seconds) {
  // Written so that NaN fails too.
  return seconds >= kMinimumInterval && seconds <= kMaximumInterval;
}

std::optional<Value> nameObject(const std::optional<std::string>& name) {
  return name ? std::optional<Value>(Value(*name)) : std::nullopt;
}

bool isValidRequest(const APMConditionalUserProperty& property,
                    const std::optional<std::string>& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(Value(property.origin)) ||
      !APMDataTypeValidator::isValidConditionalUserPropertyName(nameObject(name))) {
    return false;
  }
  if (property.value &&
      !APMDataTypeValidator::isValidConditionalUserPropertyValue(Value(property.value))) {
    return false;
  }
  if (!isValidInterval(property.triggerTimeout)) {
    log(2, 11000, "Invalid conditional user property trigger timeout",
        {Value(property.triggerTimeout)});
    return false;
  }
  if (!isValidInterval(property.timeToLive)) {
    log(2, 11001, "Invalid conditional user property time to live", {Value(property.timeToLive)});
    return false;
  }
  return true;
}

void schedule(const std::string& blockID, std::function<void()> block) {
  if (auto engine = APMMeasurementSharedInstance()) {
    engine->scheduleOnWorkerQueueBlockID(blockID, std::move(block));
  }
}

// What a query's worker-queue block hands back. Shared with the block, so an answer that
// comes after the caller gave up lands here rather than in the caller's finished frame.
struct QueryAnswer {
  std::mutex mutex;
  std::optional<Properties> result;
  ErrorPtr error;
  platform::Semaphore done;
};

}  // namespace

APMConditionalUserPropertyController::APMConditionalUserPropertyController(
    double queryTimeoutSeconds)
    : queryTimeoutSeconds_(queryTimeoutSeconds) {}

std::shared_ptr<APMConditionalUserPropertyController>
APMConditionalUserPropertyController::sharedInstance() {
  // Never destroyed: the worker queue may still run scheduled work at exit.
  static const auto* const shared = new std::shared_ptr<APMConditionalUserPropertyController>(
      std::make_shared<APMConditionalUserPropertyController>());
  return *shared;
}

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const APMConditionalUserProperty* property, const std::optional<std::string>& name) {
  if (!property) {
    log(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  APMConditionalUserProperty copy = *property;
  copy.name = name.value_or(std::string());
  if (!isValidRequest(copy, name)) return;
  copy.creationTimestamp = now();
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  schedule("APMConditionalUserPropertyController:88", [weakSelf, copy] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (copy.value) {
      self->setConditionalUserPropertyOnWorkerQueue(&copy);
    } else {
      self->removeConditionalUserPropertyOnWorkerQueue(&copy);
    }
  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    std::shared_ptr<APMEvent> clearEvent, const std::optional<std::string>& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(nameObject(name))) return;
  APMConditionalUserProperty request;
  request.name = *name;
  request.expiredEvent = std::move(clearEvent);
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  schedule("APMConditionalUserPropertyController:113", [weakSelf, request] {
    if (auto self = weakSelf.lock()) self->removeConditionalUserPropertyOnWorkerQueue(&request);
  });
}

std::optional<Properties>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const std::optional<Value>& prefix, const std::optional<Value>& origin) {
  if (prefix && !prefix->isString()) {
    log(2, 11003,
        "Cannot query for conditional user properties. Name prefix is not a string. Class",
        {Value(platform::classNameOf(*prefix))});
    return std::nullopt;
  }
  if (origin && !origin->isString()) {
    log(2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
        {Value(platform::classNameOf(*origin))});
    return std::nullopt;
  }
  // Without an engine nothing would ever answer.
  auto engine = APMMeasurementSharedInstance();
  if (!engine) return std::nullopt;

  const std::string prefixText = prefix ? *prefix->asString() : std::string();
  const std::string originText = origin ? *origin->asString() : std::string();
  auto answer = std::make_shared<QueryAnswer>();
  auto query = [answer, prefixText, originText] {
    auto engine = APMMeasurementSharedInstance();
    if (!engine || !engine->isEnabled()) {
      log(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
    } else if (auto database = engine->database()) {
      ErrorPtr error;
      auto result = database->conditionalUserPropertiesWithPrefix(prefixText, originText, &error);
      std::lock_guard lock(answer->mutex);
      answer->result = std::move(result);
      answer->error = std::move(error);
    }
    answer->done.signal();
  };
  // On the worker queue a scheduled block would wait behind this very call, so that the
  // caller could only time out.
  const auto workerQueue = engine->workerQueue();
  if (workerQueue && workerQueue->isCurrent()) {
    query();
  } else {
    engine->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:161",
                                         std::move(query));
    if (!answer->done.wait(queryTimeoutSeconds_)) return std::nullopt;
  }

  std::lock_guard lock(answer->mutex);
  if (answer->result) return answer->result;
  if (answer->error) {
    log(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
        {prefix ? *prefix : Value(), origin ? *origin : Value(), errorContext(answer->error)});
  }
  return std::nullopt;
}

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
  APMSchedulerCheckOnBackgroundThread("setConditionalUserPropertyOnWorkerQueue");
  auto engine = APMMeasurementSharedInstance();
  if (!engine || !engine->isEnabled()) {
    log(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    log(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  auto database = engine->database();
  if (!database) return;

  APMConditionalUserProperty n = *property;
  std::shared_ptr<APMEvent> resultEvent;
  const bool committed = database->performTransaction([&] {
    ErrorPtr error;
    auto stored = database->conditionalUserPropertyWithName(n.name, &error);
    if (!stored && error) {
      log(1, 11009, "Cannot query conditional user property. Name, origin, error",
          {nameContext(n.name), Value(n.origin), errorContext(error)});
      return false;
    }
    bool newlyActivated = false;
    if (stored) {
      if (stored->origin != n.origin) {
        log(5, 11010,
            "Updating a conditional user property with different origin. Name, origin, saved "
            "origin",
            {nameContext(n.name), Value(n.origin), Value(stored->origin)});
      }
    }
    if (stored && stored->isActive()) {
      // An active property keeps how and when it became active; only its value and life change.
      n.origin = stored->origin;
      n.creationTimestamp = stored->creationTimestamp;
      n.triggerEventName = stored->triggerEventName;
      n.triggeredEvent = stored->triggeredEvent;
      n.triggerTimeout = stored->triggerTimeout;
    } else if (n.triggerEventName.empty()) {
      n.active = true;
      n.triggeredTimestamp = n.creationTimestamp;
      newlyActivated = true;
    }

    if (n.isActive()) {
      ErrorPtr attributeError;
      auto attribute =
          APMUserAttribute::initWithOrigin(n.origin, n.name, Value(n.value), n.triggeredTimestamp);
      if (database->updateUserAttribute(attribute, &attributeError)) {
        log(7, 11012, "User property updated. Name, origin",
            {nameContext(n.name), Value(n.origin)});
      } else {
        log(1, 11011,
            "Cannot update user property from conditional user property. Name, origin, error",
            {nameContext(n.name), Value(n.origin), errorContext(attributeError)});
      }
      if (newlyActivated) resultEvent = eventFrom(n.triggeredEvent, n.origin, n.triggeredTimestamp);
    }

    if (stored && stored->isActive()) {
      n.active = stored->active;
      n.triggeredTimestamp = stored->triggeredTimestamp;
    }

    ErrorPtr updateError;
    if (database->updateConditionalUserProperty(&n, &updateError)) {
      log(7, 11013, "Conditional user property added. Name, origin",
          {nameContext(n.name), Value(n.origin)});
    } else {
      log(1, 11014,
          "Cannot insert user property from conditional user property. Name, origin, error",
          {nameContext(n.name), Value(n.origin), errorContext(updateError)});
    }
    return true;
  });
  if (committed && resultEvent) engine->writeEventOnWorkerQueue(resultEvent);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
  APMSchedulerCheckOnBackgroundThread("removeConditionalUserPropertyOnWorkerQueue:");
  auto engine = APMMeasurementSharedInstance();
  if (!engine || !engine->isEnabled()) {
    log(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    log(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  auto database = engine->database();
  if (!database) return;

  const APMConditionalUserProperty& request = *property;
  std::shared_ptr<APMEvent> resultEvent;
  const bool committed = database->performTransaction([&] {
    ErrorPtr error;
    auto stored = database->conditionalUserPropertyWithName(request.name, &error);
    if (!stored) {
      if (error) {
        log(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
            {nameContext(request.name), Value(request.origin), errorContext(error)});
        return false;
      }
      log(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin",
          {nameContext(request.name), Value(request.origin)});
      return true;
    }
    ErrorPtr deleteError;
    if (!database->deleteConditionalUserPropertyWithName(request.name, &deleteError) &&
        deleteError) {
      log(1, 11019, "Cannot delete conditional user property. Name, origin, error",
          {nameContext(request.name), Value(stored->origin), errorContext(deleteError)});
      return false;
    }
    if (stored->isActive()) {
      ErrorPtr attributeError;
      if (!database->deleteUserAttributeWithName(request.name, &attributeError) && attributeError) {
        log(1, 11020,
            "Cannot remove conditional user property. Failed to delete the user property. Name, "
            "origin, error",
            {nameContext(request.name), Value(stored->origin), errorContext(attributeError)});
        return false;
      }
    }
    resultEvent = eventFrom(request.expiredEvent, stored->origin, now());
    return true;
  });
  if (committed && resultEvent) engine->writeEventOnWorkerQueue(resultEvent);
}

std::optional<Events> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::shared_ptr<APMEvent>& event) {
  APMSchedulerCheckOnBackgroundThread("processEventOnWorkerQueue:");
  if (!event) {
    log(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  auto engine = APMMeasurementSharedInstance();
  auto database = engine ? engine->database() : nullptr;
  if (!database) return std::nullopt;

  Events timedOutEvents;
  Events expiredEvents;
  std::optional<Events> triggeredEvents;
  const bool committed = database->performTransaction([&] {
    const bool timedOutSwept = removeTimedOutCUPWithTimedOutEvents(&timedOutEvents);
    const bool expiredSwept = removeExpiredCUPWithExpiredEvents(&expiredEvents);
    triggeredEvents = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return timedOutSwept && expiredSwept && triggeredEvents.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& timedOut : timedOutEvents) engine->writeFilteredEventOnWorkerQueue(timedOut);
  for (const auto& expired : expiredEvents) engine->writeFilteredEventOnWorkerQueue(expired);
  return triggeredEvents;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    Events* timedOutEvents) {
  APMSchedulerCheckOnBackgroundThread("removeTimedOutCUPWithTimedOutEvents:");
  auto database = engineDatabase();
  if (!database) return false;
  ErrorPtr error;
  auto properties = database->timedOutConditionalUserPropertiesWithError(&error);
  if (!properties && error) {
    log(1, 10001, "Cannot fetch timed out conditional user properties. Error",
        {errorContext(error)});
    return false;
  }
  Events events;
  const double timestamp = now();
  for (const auto& property : properties.value_or(Properties{})) {
    log(7, 10002, "Conditional user property has timed out. Name", {nameContext(property->name)});
    ErrorPtr deleteError;
    if (!database->deleteConditionalUserPropertyWithName(property->name, &deleteError) &&
        deleteError) {
      log(1, 10003, "Cannot delete timed out condition user property. Name, error",
          {nameContext(property->name), errorContext(deleteError)});
      return false;
    }
    append(&events, eventFrom(property->timedOutEvent, property->origin, timestamp));
  }
  if (timedOutEvents) *timedOutEvents = std::move(events);
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    Events* expiredEvents) {
  APMSchedulerCheckOnBackgroundThread("removeExpiredCUPWithExpiredEvents:");
  auto database = engineDatabase();
  if (!database) return false;
  ErrorPtr error;
  auto properties = database->expiredConditionalUserPropertiesWithError(&error);
  if (!properties && error) {
    log(1, 10004, "Cannot fetch expired conditional user properties. Error", {errorContext(error)});
    return false;
  }
  Events events;
  const double timestamp = now();
  for (const auto& property : properties.value_or(Properties{})) {
    log(7, 10005, "Conditional user property has expired. Name, expired event",
        {nameContext(property->name), eventContext(property->expiredEvent)});
    ErrorPtr attributeError;
    if (!database->deleteUserAttributeWithName(property->name, &attributeError) && attributeError) {
      log(1, 10006,
          "Cannot remove conditional user property. Failed to delete the user property. Name, "
          "origin, error",
          {nameContext(property->name), Value(property->origin), errorContext(attributeError)});
      return false;
    }
    ErrorPtr deleteError;
    if (!database->deleteConditionalUserPropertyWithName(property->name, &deleteError) &&
        deleteError) {
      log(1, 10007, "Cannot delete expired condition user property. Name, error",
          {nameContext(property->name), errorContext(deleteError)});
      return false;
    }
    append(&events, eventFrom(property->expiredEvent, property->origin, timestamp));
  }
  if (expiredEvents) *expiredEvents = std::move(events);
  return true;
}

std::optional<Events>
APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  APMSchedulerCheckOnBackgroundThread(
      "updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  auto database = engineDatabase();
  if (!database) return std::nullopt;
  ErrorPtr error;
  auto properties = database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (!properties && error) {
    log(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
        {Value(APMEventNameForLog(Value(eventName))), errorContext(error)});
    return std::nullopt;
  }
  if (!properties || properties->empty()) {
    // Properties may wait for the internal name of an event an application logs publicly.
    const Value* mapped = APMReservedEventNamesAllowedForPublicLogging().find(eventName);
    if (mapped && mapped->isString()) {
      ErrorPtr ignored;
      properties =
          database->triggeredConditionalUserPropertiesWithEventName(*mapped->asString(), &ignored);
    }
  }

  Events events;
  for (const auto& stored : properties.value_or(Properties{})) {
    const double timestamp = now();
    ErrorPtr attributeError;
    auto attribute = APMUserAttribute::initWithOrigin(stored->origin, stored->name,
                                                      Value(stored->value), timestamp);
    if (database->updateUserAttribute(attribute, &attributeError)) {
      log(7, 10010, "User property updated. Name, origin, value",
          {nameContext(stored->name), Value(stored->origin), Value(stored->value)});
    } else {
      log(1, 10009,
          "Cannot update user property from conditional user property. Name, origin, error",
          {nameContext(stored->name), Value(stored->origin), errorContext(attributeError)});
    }
    append(&events, eventFrom(stored->triggeredEvent, stored->origin, timestamp));
    APMConditionalUserProperty activated = *stored;
    activated.active = true;
    activated.triggeredTimestamp = timestamp;
    ErrorPtr updateError;
    if (!database->updateConditionalUserProperty(&activated, &updateError) && updateError) {
      log(1, 10011, "Cannot update conditional user property. Name, origin, error",
          {nameContext(stored->name), Value(stored->origin), errorContext(updateError)});
      return std::nullopt;
    }
  }
  return events;
}
