// APMMonitoringSampledData: the monitor's health sample, one monitorable call chosen uniformly
// out of all those of the current period, with their count and the time of the first one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "platform/date.h"
#include "platform/value.h"

class APMMonitoringSampledData {
 public:
  // A uniform random integer below the bound (which is at least 1).
  using RandomBelow = std::function<std::uint64_t(std::uint64_t bound)>;

  // The entry is taken only when the array is a valid one; otherwise the sample is empty.
  explicit APMMonitoringSampledData(const std::optional<platform::Array>& array = std::nullopt,
                                    RandomBelow randomBelow = {});

  // A first call opens an entry at the call's time (the installed clock's now when not
  // given); each further one counts and, with probability 1/count, takes the entry's place. A
  // missing key or context is dropped.
  void insertOrUpdateSampledDataWithKey(const std::optional<std::string>& key,
                                        const std::optional<std::string>& encodedContext,
                                        std::optional<platform::Date> callTime = std::nullopt);
  // The health string of an entry older than the period, which is then dropped; "0:" for no
  // entry when the last sampling lies more than a period away; otherwise none.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // A copy of the entry: context, population, key, time of the period's first call.
  std::optional<platform::Array> sampledData() const;

  // Exactly four elements: a string, an integer number from 1 to the largest 32-bit count, a
  // string and a date of finite time. Anything else read back from storage is refused.
  static bool isValidUserDefaultsArrayEntry(const platform::Array& entry);
  static std::optional<platform::Array> sampledDataEntryWithKey(
      const std::optional<std::string>& key, const std::optional<platform::Date>& timestamp,
      const std::optional<std::string>& context, const std::optional<std::int64_t>& population);
  // "population:key:context", or "population:key" for an empty context.
  static std::string monitoringURLParamWithKey(const std::string& key, std::int64_t population,
                                               const std::string& context);

 private:
  struct Entry {
    std::string context;
    std::int64_t population;
    std::string key;
    platform::Date timestamp;
  };

  std::uint64_t randomBelow(std::uint64_t bound);

  std::optional<Entry> entry_;
  RandomBelow randomBelow_;
  std::mt19937_64 generator_;
};
