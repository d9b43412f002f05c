// Clock: where every "now" comes from (wall time, uptime, boot time). Tests install a
// ManualClock and advance it; delayed blocks and timers then fire at the manual time,
// without sleeping.
#pragma once

#include <memory>

#include "platform/date.h"

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time.
  virtual Date now() const = 0;
  // Seconds since boot, monotonic; delays and timers are measured on it.
  virtual double uptime() const = 0;
  // Wall time of the boot (now - uptime for the system clock).
  virtual Date bootTime() const = 0;

  // The installed clock (the system clock unless a test installed another).
  static Clock& current();
  // Installs a clock for the whole process; nullptr restores the system clock.
  static void install(std::shared_ptr<Clock> clock);
};

// A clock that stands still until a test advances it. Advancing hands every delayed
// block and timer firing that falls due to its queue, in deadline order, before
// returning.
class ManualClock : public Clock {
 public:
  explicit ManualClock(Date start = Date::fromTimeIntervalSince1970(1'700'000'000),
                       double uptime = 1000);
  Date now() const override;
  double uptime() const override;
  Date bootTime() const override;

  void advance(double seconds);
  // Moves wall time only (as a user changing the system clock would).
  void setNow(Date now);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
