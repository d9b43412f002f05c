// APMConditionalUserPropertyController: the process-wide keeper of conditional user
// properties: checks set, clear and query requests, stores the properties in the analytics
// database, turns them into user properties when they become active, and sweeps for time-outs,
// expiries and triggers whenever the engine writes an event.
//
// Requests may come from any thread; the database work of one request, or of one processed
// event, runs as one transaction on the engine's worker queue. The controller keeps no state of
// its own, so instances made for tests behave as the shared one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMDatabaseConditionalProperties.h"
#include "analytics/data/APMEvent.h"
#include "platform/value.h"

class APMConditionalUserPropertyController
    : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
 public:
  using Events = std::vector<std::shared_ptr<APMEvent>>;
  using Properties = std::vector<APMConditionalUserPropertyPtr>;

  // How long a query waits for the worker queue before giving up.
  static constexpr double kQueryTimeoutSeconds = 30;

  // Scheduled work holds the controller weakly: hold instances in a shared_ptr.
  explicit APMConditionalUserPropertyController(double queryTimeoutSeconds = kQueryTimeoutSeconds);

  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

  // Validated here; the database work is scheduled. A property without a value removes the
  // stored one (logging its expired event, when it carries one).
  void setConditionalUserProperty(const APMConditionalUserProperty* property,
                                  const std::optional<std::string>& name);
  void clearConditionalUserPropertyWithClearEvent(std::shared_ptr<APMEvent> clearEvent,
                                                  const std::optional<std::string>& name);
  // Blocks the caller until the worker queue answers or the query time-out passes; on the
  // worker queue itself it runs at once. None when a prefix or origin is given that is not a
  // string.
  std::optional<Properties>
  conditionalUserPropertiesWithNamePrefix(const std::optional<platform::Value>& prefix,
                                          const std::optional<platform::Value>& origin);

  // ---- On the engine's worker queue.

  void setConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
  void removeConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
  // The sweeps and the trigger step for an event the engine is writing, in one transaction;
  // the timed-out and expired events go to the engine's filtered write at once, the triggered
  // ones are returned for the engine to write after the event. None when nothing committed.
  std::optional<Events> processEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);

  // ---- On the worker queue, inside a transaction of the engine's database.

  bool removeTimedOutCUPWithTimedOutEvents(Events* timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(Events* expiredEvents);
  // Activates the properties waiting for the event; none when the transaction must roll back.
  std::optional<Events>
  updateConditionalUserPropertiesWithEventNameOnWorkerQueue(const std::string& eventName);

 private:
  double queryTimeoutSeconds_;
};
