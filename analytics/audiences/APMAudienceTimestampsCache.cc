#include "analytics/audiences/APMAudienceTimestampsCache.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "analytics/messages/APMPBTypedFields.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMServices.h"

namespace {

namespace R = APMPBResultDataFields;

// Stored times are whole seconds. A time that did not come from a clock (NaN, or beyond the
// int64 range after a damaged row) must not reach an undefined conversion, so it saturates.
std::int64_t truncatedSeconds(double time) {
  if (std::isnan(time)) return 0;
  constexpr double kLimit = 9223372036854775807.0;  // 2^63, the first double past int64
  if (time >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (time <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(time);
}

}  // namespace

std::shared_ptr<APMSequenceTimestampsCache>
APMSequenceTimestampsCache::initWithAudienceID(std::optional<std::int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::shared_ptr<APMSequenceTimestampsCache>(new APMSequenceTimestampsCache(*audienceID));
}

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::optional<std::int32_t> filterID) const {
  if (!filterID) return std::nullopt;
  auto found = allSequenceTimestampsByFilterID_.find(*filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && timestamp < times.back()) {
    APMServicesMonitor()->logWithLevel(
        5, 42000, "Adding a sequence timestamp less than the last added timestamp");
  }
  if (!times.empty() && truncatedSeconds(times.back()) == truncatedSeconds(timestamp)) return;
  times.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && timestamp < times.back()) {
    APMServicesMonitor()->logWithLevel(
        5, 42001, "Setting a sequence timestamp less than the last set timestamp");
  }
  times.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> results;
  results.reserve(allSequenceTimestampsByFilterID_.size());
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    auto message = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    if (!message) continue;
    nano_set_int32(message.get(), R::kSequenceFilterID, filterID);
    if (!times.empty()) {
      std::vector<std::int64_t> seconds;
      seconds.reserve(times.size());
      for (double time : times) seconds.push_back(truncatedSeconds(time));
      std::sort(seconds.begin(), seconds.end());
      NanoObjectArray entries;
      entries.reserve(seconds.size());
      for (std::int64_t second : seconds) entries.emplace_back(platform::Value(second));
      nano_set_array(message.get(), R::kSequenceEvalTimestamps, &entries);
    }
    results.push_back(std::move(message));
  }
  return results;
}

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* filterResult,
                                                          std::int32_t audienceID) {
  const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
  const bool needsSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
  if (!needsDynamic && !needsSequence) return;

  // A row that is missing or does not decode leaves the audience with empty entries, which
  // still count as loaded.
  std::shared_ptr<APMPBResultData> results;
  if (filterResult != nullptr)
    results = APMPBResultData::initWithBuffer(&filterResult->currentResults);

  if (needsDynamic) {
    std::map<std::int32_t, double> times;
    if (results) {
      for (const auto& entry : APMMessagesAt<APMPBDynamicFilterResultTimestamp>(
               results.get(), R::kDynamicFilterTimestamps)) {
        times[nano_get_int32(entry.get(), R::kDynamicFilterID)] =
            static_cast<double>(nano_get_int64(entry.get(), R::kDynamicTimestamp));
      }
    }
    cachedDynamicFilterEvaluationTimestamps_.emplace(audienceID, std::move(times));
  }

  if (needsSequence) {
    auto sequenceCache = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
    if (results) {
      for (const auto& entry : APMMessagesAt<APMPBSequenceFilterResultTimestamp>(
               results.get(), R::kSequenceFilterTimestamps)) {
        auto stamps = nano_get_array(entry.get(), R::kSequenceEvalTimestamps, nullptr);
        if (!stamps || stamps->empty()) continue;
        const auto* last = std::get_if<platform::Value>(&stamps->back());
        if (last == nullptr || !last->isNumber()) continue;
        sequenceCache->addEventFilterTimestamp(static_cast<double>(last->longLongValue()),
                                               nano_get_int32(entry.get(), R::kSequenceFilterID));
      }
    }
    cachedSequenceEvaluationTimestamps_.emplace(audienceID, std::move(sequenceCache));
  }
}

template <typename Filter>
void APMAudienceTimestampsCache::addDynamicTimestamp(double timestamp, const Filter& filter) {
  if (!filter.isSessionScoped() && !filter.isDynamic()) return;
  // An audience never populated in this cache has no times to advance.
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(filter.audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  std::map<std::int32_t, double>& times = audience->second;
  auto entry = times.find(filter.filterID);
  const double cachedTime = entry == times.end() ? 0.0 : entry->second;
  if (timestamp > cachedTime) {
    times[filter.filterID] = timestamp;
    return;
  }
  APMServicesMonitor()->logWithLevel(
      5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
}

APMSequenceTimestampsCache& APMAudienceTimestampsCache::sequenceCacheFor(std::int32_t audienceID) {
  auto& sequenceCache = cachedSequenceEvaluationTimestamps_[audienceID];
  if (!sequenceCache) sequenceCache = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
  return *sequenceCache;
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const APMEventFilter& filter) {
  if (!filter.isSequence()) {
    addDynamicTimestamp(timestamp, filter);
    return;
  }
  sequenceCacheFor(filter.audienceID).addEventFilterTimestamp(timestamp, filter.filterID);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                        const APMPropertyFilter& filter) {
  if (!filter.isSequence()) {
    addDynamicTimestamp(timestamp, filter);
    return;
  }
  sequenceCacheFor(filter.audienceID).setUserPropertyTimestamp(timestamp, filter.filterID);
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> results;
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return results;
  results.reserve(audience->second.size());
  for (const auto& [filterID, time] : audience->second) {
    auto message = APMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    if (!message) continue;
    nano_set_int32(message.get(), R::kDynamicFilterID, filterID);
    nano_set_int64(message.get(), R::kDynamicTimestamp, truncatedSeconds(time));
    results.push_back(std::move(message));
  }
  return results;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
  auto audience = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (audience == cachedSequenceEvaluationTimestamps_.end() || !audience->second)
    return std::nullopt;
  return audience->second->sequenceFilterResultTimestamps();
}
