// What the analytics data uses of the event-editing script engine above it: the program runner
// and the modules a loaded program calls into (settings lookup, app facts, message logging),
// as interfaces the script engine implements, made through the factory it installs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/data/APMPEvent.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

// A module object a program reaches by name.
class APMPModule {
 public:
  virtual ~APMPModule() = default;
};

// Called each time the runner needs a module.
using APMPModuleCreator = std::function<std::shared_ptr<APMPModule>()>;

// The program runner.
class APMPEventEditing {
 public:
  virtual ~APMPEventEditing() = default;
  // setModuleCreator:forName:
  virtual void setModuleCreator(APMPModuleCreator creator, const std::string& forName) = 0;
  // Runs the program's instructions and registers its activities as rules, stopping at the
  // first error: false with the error set then.
  virtual bool loadProgram(const std::shared_ptr<APMPBProgram>& program,
                           platform::ErrorPtr* error) = 0;

  // Runs the loaded rules over one event. False with the error set when a rule failed; the
  // answers below then describe the run that failed. Without rules nothing is edited.
  virtual bool handleEvent(const APMPEvent& event, platform::ErrorPtr* error) {
    (void)event;
    (void)error;
    return false;
  }
  // Whether the last run changed the event.
  virtual bool hasEdits() const { return false; }
  // Whether the last run created events.
  virtual bool hasCreatedEvents() const { return false; }
  // The event as the last run left it; none before the first run.
  virtual std::optional<APMPEvent> outputEvent() const { return std::nullopt; }
  // The events the last run created, in order.
  virtual std::vector<APMPEvent> eventsToLog() const { return {}; }
};

// A module answering a program's lookups of a key with a string or nothing.
class APMPKeyValueStore : public APMPModule {};
// A module handing a program the dictionary its block makes at each call.
class APMPObjectProvider : public APMPModule {};
// Where a program's log messages go.
class APMPixieLogger {
 public:
  virtual ~APMPixieLogger() = default;
};
// A module through which a program logs to a logger.
class APMPMessageLogger : public APMPModule {};

// Makes the runner and the modules; the script engine installs one.
class APMPScriptEngineFactory {
 public:
  virtual ~APMPScriptEngineFactory() = default;
  virtual std::shared_ptr<APMPEventEditing> makeEventEditing() = 0;
  // initWithFunctionName:getValueBlock:
  virtual std::shared_ptr<APMPKeyValueStore> makeKeyValueStore(
      const std::string& functionName,
      std::function<std::optional<std::string>(const std::string& key)> getValueBlock) = 0;
  // initWithName:block:
  virtual std::shared_ptr<APMPObjectProvider>
  makeObjectProvider(const std::string& name, std::function<platform::Dictionary()> block) = 0;
  virtual std::shared_ptr<APMPixieLogger> makePixieLogger() = 0;
  // initWithLogger:
  virtual std::shared_ptr<APMPMessageLogger>
  makeMessageLogger(const std::shared_ptr<APMPixieLogger>& logger) = 0;
};

// The installed factory, or null while no script engine is present (then no program can be
// loaded).
std::shared_ptr<APMPScriptEngineFactory> APMPInstalledScriptEngine();
// For the whole process; nullptr removes it.
void APMPSetScriptEngine(std::shared_ptr<APMPScriptEngineFactory> factory);
