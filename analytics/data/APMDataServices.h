// What the analytics data uses of the analytics engine above it, as interfaces the engine
// implements and installs: its remote configuration (whose settings the rules read), its
// front for the client's own internal events and for consent, the engine itself as the
// conditional properties and the identifiers need it, and its scheduler's thread check.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMDatabase;
class APMEvent;
class APMIdentity;
class APMRemoteConfig;
namespace platform {
class Queue;
}

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

// The analytics front's consent call: keeps the four consent types whose value is "granted"
// or "denied", ranks the storage key as a source and, when that source may overwrite the
// current one, merges and persists the settings.
class APMConsentFront {
 public:
  virtual ~APMConsentFront() = default;
  virtual void setConsent(const platform::Dictionary& consent, const std::string& key) = 0;
};
// Hands the consent to the installed front; without one it is dropped.
void APMAnalyticsSetConsent(const platform::Dictionary& consent, const std::string& key);
void APMSetConsentFront(std::shared_ptr<APMConsentFront> front);

// The measurement engine as the data side sees it once it runs.
class APMMeasurementEngine {
 public:
  virtual ~APMMeasurementEngine() = default;
  // Whether measurement is enabled.
  virtual bool isEnabled() const = 0;
  // Its identity and database; null while it has none.
  virtual std::shared_ptr<APMIdentity> identity() const = 0;
  virtual std::shared_ptr<APMDatabase> database() const = 0;
  // Runs the block asynchronously on the engine's serial worker queue; the label names the
  // call site in diagnostics.
  virtual void scheduleOnWorkerQueueBlockID(const std::string& blockID,
                                            std::function<void()> block) = 0;
  // The serial worker queue those blocks run on, so that a caller already on it can run its
  // work inline instead of waiting for a block queued behind itself.
  virtual std::shared_ptr<platform::Queue> workerQueue() const = 0;
  // On the worker queue: the whole pipeline (conditional properties first), or the part
  // after them (daily limits, storage as a raw event).
  virtual void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) = 0;
  virtual void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) = 0;
};
// The engine's shared instance; null until the engine installs one (hasSharedInstance).
std::shared_ptr<APMMeasurementEngine> APMMeasurementSharedInstance();
void APMMeasurementSetSharedInstance(std::shared_ptr<APMMeasurementEngine> engine);

// The scheduler's check that work meant for the background does not run on the main thread:
// false there, after logging level 1, code 30001 "Method %@ should execute on background
// thread" with the label ("<empty method name>" for an empty one); true elsewhere. Callers go
// on either way.
bool APMSchedulerCheckOnBackgroundThread(const std::string& methodName);
