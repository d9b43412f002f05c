// RDTCORClock: one moment recorded as wall-clock milliseconds, time-zone offset, kernel boot
// time and time since boot, so that moments can be ordered across clock changes and reboots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/keyed_archive.h"

inline constexpr const char* kRDTCORClockClassName = "RDTCORClock";
inline constexpr const char* kRDTCORClockTimeMillisKey = "RDTCORClockTimeMillis";
inline constexpr const char* kRDTCORClockTimezoneOffsetSecondsKey =
    "RDTCORClockTimezoneOffsetSeconds";
inline constexpr const char* kRDTCORClockKernelBootTimeKey = "RDTCORClockKernelBootTime";
inline constexpr const char* kRDTCORClockUptimeKey = "RDTCORClockUptime";

// The kernel's boot time in nanoseconds since 1970 from /proc/stat's "btime" line; 0 when
// it cannot be read.
std::int64_t RDTCORKernelBootTimeNanoseconds();
// The "btime" value (seconds) of /proc/stat text; none when the line is missing or not a
// plain non-negative number.
std::optional<std::int64_t> RDTCORParseBootTimeSeconds(std::string_view procStat);

class RDTCORClock : public platform::SecureCodingObject {
 public:
  // Registers the class for secure coding.
  static void load();

  // Now: wall time and uptime from platform::Clock (the manual clock in tests).
  static std::shared_ptr<RDTCORClock> snapshot();
  // Now, with timeMillis moved on by the given milliseconds.
  static std::shared_ptr<RDTCORClock> clockSnapshotInTheFuture(std::uint64_t millisInTheFuture);

  RDTCORClock();
  RDTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
              std::int64_t kernelBootTimeNanoseconds, std::int64_t uptimeNanoseconds);

  std::int64_t timeMillis() const { return timeMillis_; }
  std::int64_t timezoneOffsetSeconds() const { return timezoneOffsetSeconds_; }
  std::int64_t kernelBootTimeNanoseconds() const { return kernelBootTimeNanoseconds_; }
  std::int64_t uptimeNanoseconds() const { return uptimeNanoseconds_; }
  std::int64_t kernelBootTime() const { return kernelBootTimeNanoseconds_; }
  std::int64_t uptime() const { return uptimeNanoseconds_; }
  std::int64_t uptimeMilliseconds() const { return uptimeNanoseconds_ / 1'000'000; }

  // Same boot: the later local wall time (timeMillis + timezoneOffsetSeconds); else the later
  // boot.
  bool isAfter(const RDTCORClock& other) const;

  std::size_t hash() const;
  // All four fields equal (equal hashes alone are not enough).
  bool isEqual(const RDTCORClock& other) const;
  friend bool operator==(const RDTCORClock& a, const RDTCORClock& b) { return a.isEqual(b); }

  std::string archiveClassName() const override { return kRDTCORClockClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  std::int64_t timeMillis_ = 0;
  std::int64_t timezoneOffsetSeconds_ = 0;
  std::int64_t kernelBootTimeNanoseconds_ = 0;
  std::int64_t uptimeNanoseconds_ = 0;
};
