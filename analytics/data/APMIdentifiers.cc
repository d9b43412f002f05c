#include "analytics/data/APMIdentifiers.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMIdentity.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/messages/APMServices.h"
#include "platform/dispatch.h"

namespace {

void logMonitor(std::int64_t code, const char* message) {
  APMServicesMonitor()->logWithLevel(2, code, message);
}

// The engine's identity while the engine has one, else the identity's shared instance; the
// flag tells which, as the diagnostics name it.
std::shared_ptr<APMIdentity> chosenIdentity(bool& fromEngine) {
  if (const auto engine = APMMeasurementSharedInstance()) {
    if (auto identity = engine->identity()) {
      fromEngine = true;
      return identity;
    }
  }
  fromEngine = false;
  return APMIdentity::sharedInstance();
}

bool nonEmpty(const std::optional<std::string>& string) { return string && !string->empty(); }

// Unsigned, so that running past the top wraps instead of overflowing; read back as signed.
std::atomic<std::uint64_t> adEventCounter{0};
platform::Once adEventCounterSeed;

}  // namespace

APMIdentifiers& APMIdentifiers::sharedInstance() {
  // Never destroyed: worker queues may still ask for it while the process exits.
  static APMIdentifiers& instance = *new APMIdentifiers;
  return instance;
}

std::optional<std::string> APMIdentifiers::reroraAppID() const {
  bool fromEngine = false;
  const auto identity = chosenIdentity(fromEngine);
  std::optional<std::string> appID = identity ? identity->appIDFromVIZ() : std::nullopt;
  if (!appID) {
    if (fromEngine) {
      logMonitor(37000, "Unable to fetch Rerora App ID from identity");
    } else {
      logMonitor(37001, "Unable to fetch Rerora App ID from default options");
    }
  }
  return appID;
}

std::optional<std::string> APMIdentifiers::analyticsAppID() const {
  bool fromEngine = false;
  if (const auto identity = chosenIdentity(fromEngine)) {
    if (auto appID = identity->appIDFromVIZ(); nonEmpty(appID)) return appID;
    if (auto appID = identity->appIDFromRiRur(); nonEmpty(appID)) return appID;
  }
  logMonitor(37005, "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> APMIdentifiers::appInstanceID() const {
  bool fromEngine = false;
  const auto identity = chosenIdentity(fromEngine);
  std::optional<std::string> appInstanceID = identity ? identity->appInstanceID() : std::nullopt;
  if (!appInstanceID) {
    if (fromEngine) {
      logMonitor(37002, "Unable to fetch App Instance ID from identity");
    } else {
      logMonitor(37003, "Unable to fetch App Instance ID from identity shared instance");
    }
  }
  return appInstanceID;
}

std::string APMIdentifiers::adEventID() const {
  adEventCounterSeed.call(
      [] { adEventCounter.exchange(static_cast<std::uint64_t>(APMNumericUtil::randomInt64())); });
  return std::to_string(static_cast<std::int64_t>(adEventCounter.fetch_add(1)));
}

std::string APMIdentifiers::libraryVersion() const {
  return std::to_string(APMIdentity::dedArorarivuvaLibraryVersion());
}

std::optional<std::string> APMIdentifiers::origin() const {
  std::lock_guard lock(lock_);
  return origin_;
}

void APMIdentifiers::setOrigin(const std::optional<std::string>& origin) {
  if (!nonEmpty(origin)) {
    logMonitor(37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard lock(lock_);
  origin_ = origin;
}
