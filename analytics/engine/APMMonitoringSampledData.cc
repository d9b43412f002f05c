#include "analytics/engine/APMMonitoringSampledData.h"

#include <cmath>
#include <limits>
#include <utility>

#include "platform/clock.h"
#include "platform/format.h"

namespace {

// The count is written with "%d": it stops growing where that can still show it.
constexpr std::int64_t kMaxPopulation = std::numeric_limits<std::int32_t>::max();

}  // namespace

APMMonitoringSampledData::APMMonitoringSampledData(const std::optional<platform::Array>& array,
                                                   RandomBelow randomBelow)
    : randomBelow_(std::move(randomBelow)), generator_(std::random_device{}()) {
  if (!array || !isValidUserDefaultsArrayEntry(*array)) return;
  const platform::Array& a = *array;
  entry_ = Entry{*a[0].asString(), *a[1].asInt(), *a[2].asString(), *a[3].asDate()};
}

std::uint64_t APMMonitoringSampledData::randomBelow(std::uint64_t bound) {
  if (randomBelow_) return randomBelow_(bound);
  return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(generator_);
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(
    const std::optional<std::string>& key, const std::optional<std::string>& encodedContext,
    std::optional<platform::Date> callTime) {
  if (!key || !encodedContext) return;
  if (!entry_) {
    entry_ = Entry{*encodedContext, 1, *key, callTime.value_or(platform::Clock::current().now())};
    return;
  }
  if (entry_->population < kMaxPopulation) ++entry_->population;
  // Reservoir sampling of one: every call of the period ends up kept with equal chance.
  if (randomBelow(static_cast<std::uint64_t>(entry_->population)) == 0) {
    entry_->key = *key;
    entry_->context = *encodedContext;
  }
}

std::optional<std::string>
APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                    double lastSampledTimestamp) {
  const double now = platform::Clock::current().now().timeIntervalSince1970();
  if (entry_) {
    if (entry_->timestamp.timeIntervalSince1970() < now - samplePeriod) {
      std::string param =
          monitoringURLParamWithKey(entry_->key, entry_->population, entry_->context);
      entry_.reset();
      return param;
    }
    return std::nullopt;
  }
  if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) {
    return std::string("0:");
  }
  return std::nullopt;
}

std::optional<platform::Array> APMMonitoringSampledData::sampledData() const {
  if (!entry_) return std::nullopt;
  return sampledDataEntryWithKey(entry_->key, entry_->timestamp, entry_->context,
                                 entry_->population);
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Array& entry) {
  if (entry.size() != 4) return false;
  if (!entry[0].isString() || !entry[2].isString()) return false;
  // A Boolean is a number to the platform, but never a count.
  const platform::Value& population = entry[1];
  if (population.type() != platform::Value::Type::Int &&
      population.type() != platform::Value::Type::UInt) {
    return false;
  }
  const std::optional<std::int64_t> count = population.asInt();
  if (!count || *count < 1 || *count > kMaxPopulation) return false;
  const std::optional<platform::Date> timestamp = entry[3].asDate();
  return timestamp && std::isfinite(timestamp->timeIntervalSince1970());
}

std::optional<platform::Array> APMMonitoringSampledData::sampledDataEntryWithKey(
    const std::optional<std::string>& key, const std::optional<platform::Date>& timestamp,
    const std::optional<std::string>& context, const std::optional<std::int64_t>& population) {
  if (!key || !timestamp || !context || !population) return std::nullopt;
  return platform::Array{platform::Value(*context), platform::Value(*population),
                         platform::Value(*key), platform::Value(*timestamp)};
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key,
                                                                std::int64_t population,
                                                                const std::string& context) {
  if (context.empty()) return platform::format("%d:%@", {population, key});
  return platform::format("%d:%@:%@", {population, key, context});
}
