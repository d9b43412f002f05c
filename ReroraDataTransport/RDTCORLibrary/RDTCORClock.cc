#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <limits>
#include <ios>

#include "platform/clock.h"

namespace {

// /proc/stat is a few kilobytes; reading more than this means something else is there.
constexpr std::streamsize kMaxProcStatBytes = 1 << 20;

std::int64_t timezoneOffsetAt(double secondsSince1970) {
  const std::time_t time = static_cast<std::time_t>(secondsSince1970);
  std::tm local{};
  if (!localtime_r(&time, &local)) return 0;
  return static_cast<std::int64_t>(local.tm_gmtoff);
}

std::uint64_t mix(std::int64_t value) { return std::hash<std::int64_t>{}(value); }

}  // namespace

std::optional<std::int64_t> RDTCORParseBootTimeSeconds(std::string_view procStat) {
  constexpr std::string_view kKey = "btime ";
  std::size_t start = 0;
  while (start < procStat.size()) {
    std::size_t end = procStat.find('\n', start);
    if (end == std::string_view::npos) end = procStat.size();
    const std::string_view line = procStat.substr(start, end - start);
    if (line.starts_with(kKey)) {
      std::string_view number = line.substr(kKey.size());
      while (!number.empty() && number.back() == '\r') number.remove_suffix(1);
      std::int64_t seconds = 0;
      const auto [next, ec] =
          std::from_chars(number.data(), number.data() + number.size(), seconds);
      // Nanoseconds must still fit in 64 bits.
      if (ec != std::errc() || next != number.data() + number.size() || seconds < 0 ||
          seconds > std::numeric_limits<std::int64_t>::max() / 1'000'000'000) {
        return std::nullopt;
      }
      return seconds;
    }
    start = end + 1;
  }
  return std::nullopt;
}

namespace {

// The "btime" value of /proc/stat, scanned in small pieces: the file is generated anew on every
// read and can be large on a machine with many processors, and only one short line matters.
std::optional<std::int64_t> readBootTimeSeconds() {
  std::FILE* file = std::fopen("/proc/stat", "re");
  if (!file) return std::nullopt;
  constexpr std::size_t kLongestBootTimeLine = 64;
  char buffer[4096];
  std::string line;
  bool atLineStart = true;
  bool capturing = false;
  std::streamsize total = 0;
  std::optional<std::int64_t> seconds;
  while (!seconds && total < kMaxProcStatBytes) {
    const std::size_t count = std::fread(buffer, 1, sizeof buffer, file);
    if (count == 0) break;
    total += static_cast<std::streamsize>(count);
    for (std::size_t i = 0; i < count && !seconds; ++i) {
      const char c = buffer[i];
      if (atLineStart) {
        capturing = c == 'b';
        line.clear();
      }
      if (capturing) {
        if (c == '\n') {
          seconds = RDTCORParseBootTimeSeconds(line);
          capturing = false;
        } else if (line.size() < kLongestBootTimeLine) {
          line.push_back(c);
        } else {
          capturing = false;
        }
      }
      atLineStart = c == '\n';
    }
  }
  if (!seconds && capturing) seconds = RDTCORParseBootTimeSeconds(line);
  std::fclose(file);
  return seconds;
}

// Wall time minus time since boot, which moves only when the wall clock is set.
double bootOffsetSeconds() {
  timespec realtime{};
  timespec boottime{};
  clock_gettime(CLOCK_REALTIME, &realtime);
  clock_gettime(CLOCK_BOOTTIME, &boottime);
  return static_cast<double>(realtime.tv_sec - boottime.tv_sec) +
         static_cast<double>(realtime.tv_nsec - boottime.tv_nsec) / 1e9;
}

}  // namespace

std::int64_t RDTCORKernelBootTimeNanoseconds() {
  // Every snapshot asks, several times; the file is read again only when the wall clock was
  // set since the last read. Never destroyed: snapshots are taken on queues until exit.
  struct Cache {
    std::mutex mutex;
    bool valid = false;
    double offset = 0;
    std::int64_t bootTime = 0;
  };
  static auto* cache = new Cache;
  const double offset = bootOffsetSeconds();
  std::lock_guard lock(cache->mutex);
  if (cache->valid && std::fabs(offset - cache->offset) < 0.5) return cache->bootTime;
  const auto seconds = readBootTimeSeconds();
  if (!seconds) return 0;
  cache->valid = true;
  cache->offset = offset;
  cache->bootTime = *seconds * 1'000'000'000;
  return cache->bootTime;
}

void RDTCORClock::load() {
  platform::registerSecureCodingClass(kRDTCORClockClassName, &RDTCORClock::initWithCoder);
}

std::shared_ptr<RDTCORClock> RDTCORClock::snapshot() { return std::make_shared<RDTCORClock>(); }

std::shared_ptr<RDTCORClock>
RDTCORClock::clockSnapshotInTheFuture(std::uint64_t millisInTheFuture) {
  auto clock = snapshot();
  // A wait from outside may be any size; the moment saturates instead of wrapping into the past.
  const std::uint64_t room =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - clock->timeMillis_);
  clock->timeMillis_ += static_cast<std::int64_t>(std::min(millisInTheFuture, room));
  return clock;
}

RDTCORClock::RDTCORClock() {
  kernelBootTimeNanoseconds_ = RDTCORKernelBootTimeNanoseconds();
  // The boot time must not move between the two reads around the uptime.
  std::int64_t bootTime = 0;
  double uptime = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    bootTime = RDTCORKernelBootTimeNanoseconds();
    uptime = platform::Clock::current().uptime();
    if (RDTCORKernelBootTimeNanoseconds() == bootTime) break;
  }
  kernelBootTimeNanoseconds_ = bootTime;
  uptimeNanoseconds_ = static_cast<std::int64_t>(std::llround(uptime * 1e9));
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  timeMillis_ = static_cast<std::int64_t>(now * 1000);
  timezoneOffsetSeconds_ = timezoneOffsetAt(now);
}

RDTCORClock::RDTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
                         std::int64_t kernelBootTimeNanoseconds, std::int64_t uptimeNanoseconds)
    : timeMillis_(timeMillis), timezoneOffsetSeconds_(timezoneOffsetSeconds),
      kernelBootTimeNanoseconds_(kernelBootTimeNanoseconds), uptimeNanoseconds_(uptimeNanoseconds) {
}

bool RDTCORClock::isAfter(const RDTCORClock& other) const {
  if (kernelBootTimeNanoseconds_ == other.kernelBootTimeNanoseconds_) {
    // Wrapping adds, as the stored numbers are added as they are.
    const auto local = [](const RDTCORClock& c) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(c.timeMillis_) +
                                       static_cast<std::uint64_t>(c.timezoneOffsetSeconds_));
    };
    return local(*this) > local(other);
  }
  return kernelBootTimeNanoseconds_ > other.kernelBootTimeNanoseconds_;
}

std::size_t RDTCORClock::hash() const {
  return mix(timeMillis_) ^ mix(timezoneOffsetSeconds_) ^ mix(kernelBootTimeNanoseconds_) ^
         mix(uptimeNanoseconds_);
}

bool RDTCORClock::isEqual(const RDTCORClock& other) const {
  return timeMillis_ == other.timeMillis_ &&
         timezoneOffsetSeconds_ == other.timezoneOffsetSeconds_ &&
         kernelBootTimeNanoseconds_ == other.kernelBootTimeNanoseconds_ &&
         uptimeNanoseconds_ == other.uptimeNanoseconds_;
}

void RDTCORClock::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt64(kRDTCORClockTimeMillisKey, timeMillis_);
  coder.encodeInt64(kRDTCORClockTimezoneOffsetSecondsKey, timezoneOffsetSeconds_);
  coder.encodeInt64(kRDTCORClockKernelBootTimeKey, kernelBootTimeNanoseconds_);
  coder.encodeInt64(kRDTCORClockUptimeKey, uptimeNanoseconds_);
}

platform::SecureCodingPtr RDTCORClock::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<RDTCORClock>(coder.decodeInt64(kRDTCORClockTimeMillisKey),
                                       coder.decodeInt64(kRDTCORClockTimezoneOffsetSecondsKey),
                                       coder.decodeInt64(kRDTCORClockKernelBootTimeKey),
                                       coder.decodeInt64(kRDTCORClockUptimeKey));
}
