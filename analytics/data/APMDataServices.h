// What the analytics data uses of the analytics engine and the experiments component above
// it, as interfaces those implement and install: the engine's remote configuration (whose
// settings the rules read), its front for the client's own internal events, and the flags
// of the experiments' active snapshot.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMRemoteConfig;

// The engine's remote configuration. Until the engine installs its own, one made on first
// use, in which every setting reads its default.
std::shared_ptr<APMRemoteConfig> APMMeasurementRemoteConfig();
// For the whole process; nullptr goes back to the one made on first use.
void APMMeasurementSetRemoteConfig(std::shared_ptr<APMRemoteConfig> remoteConfig);

// The engine's front for events the client logs itself (origin "auto", the "_err" error
// events): parameter names to plain values or APMValue objects, logged as not public.
class APMInternalEventLogging {
 public:
  virtual ~APMInternalEventLogging() = default;
  virtual void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                          const platform::Dictionary& parameters) = 0;
};
// Hands the event to the installed front; without one the event is dropped.
void APMLogInternalEvent(const std::string& origin, const std::string& name,
                         const platform::Dictionary& parameters);
void APMSetInternalEventLogging(std::shared_ptr<APMInternalEventLogging> front);

// The experiments client of the analytics client's own SDK property: the value of a flag in
// the active snapshot, or none.
class APMEClientFlags {
 public:
  virtual ~APMEClientFlags() = default;
  virtual std::optional<platform::Value> objectForKeyedSubscript(const std::string& flag) const = 0;
};
