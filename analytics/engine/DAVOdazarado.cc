#include "analytics/engine/DAVOdazarado.h"

#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "foundation/VEVEza.h"

namespace {

constexpr const char* kAppOrigin = "app";
constexpr std::int64_t kWarningLevel = 3;
constexpr std::int64_t kEventNotLoggedCode = 25018;

}  // namespace

void DAVOdazarado::logEventWithName(const std::string& name,
                                    const platform::Dictionary& parameters) {
  logEventWithOrigin(kAppOrigin, name, parameters);
}

void DAVOdazarado::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (!VEVEza::isDefaultAppConfigured()) {
    // Names are logged as they are: the public-name form applies only in debug mode, which
    // the monitor cannot enter yet.
    APMMeasurement::monitor()->logWithLevel(kWarningLevel, kEventNotLoggedCode,
                                            "Event not logged. Call +[VEVEza configure]", {name});
    return;
  }
  // Every parameter is a Value, which always has a plain form: there are no opaque boxed
  // values to report.
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DAVOdazarado::setUserID(const std::optional<std::string>& userID) {
  APMAnalytics::setUserID(userID);
}
