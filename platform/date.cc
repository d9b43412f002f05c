#include "platform/date.h"

#include "platform/clock.h"

namespace platform {

Date Date::now() { return Clock::current().now(); }

double Date::timeIntervalSinceNow() const { return timeIntervalSince(now()); }

}  // namespace platform
