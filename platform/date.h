// Date: a point in wall-clock time, held as seconds since 1970, with the view from the
// 2001 reference date that stored values and wire formats use.
#pragma once

#include <compare>

namespace platform {

class Date {
 public:
  // Seconds between 1970-01-01 and 2001-01-01, both UTC.
  static constexpr double kReferenceDateOffset = 978307200.0;

  constexpr Date() = default;
  static constexpr Date fromTimeIntervalSince1970(double seconds) { return Date(seconds); }
  static constexpr Date fromTimeIntervalSinceReferenceDate(double seconds) {
    return Date(seconds + kReferenceDateOffset);
  }
  // The current wall time of the installed Clock.
  static Date now();
  // 0001-01-01 and 4001-01-01, both UTC.
  static constexpr Date distantPast() { return fromTimeIntervalSinceReferenceDate(-63114076800.0); }
  static constexpr Date distantFuture() {
    return fromTimeIntervalSinceReferenceDate(63113904000.0);
  }

  constexpr double timeIntervalSince1970() const { return seconds_; }
  constexpr double timeIntervalSinceReferenceDate() const {
    return seconds_ - kReferenceDateOffset;
  }
  constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
  // Seconds from now to this date (negative for a date in the past).
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  friend constexpr bool operator==(Date, Date) = default;
  friend constexpr auto operator<=>(Date, Date) = default;

 private:
  constexpr explicit Date(double seconds) : seconds_(seconds) {}
  double seconds_ = 0;
};

}  // namespace platform
