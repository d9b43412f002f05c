#include "analytics/audiences/APMAudienceTimestampsCache.h"

std::shared_ptr<APMSequenceTimestampsCache>
APMSequenceTimestampsCache::initWithAudienceID(std::optional<std::int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::shared_ptr<APMSequenceTimestampsCache>(new APMSequenceTimestampsCache(*audienceID));
}

std::optional<std::vector<double>>
APMSequenceTimestampsCache::sequenceTimestampsForFilterID(std::optional<std::int32_t>) const {
  return std::nullopt;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double, std::int32_t) {}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double, std::int32_t) {}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  return {};
}

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult*, std::int32_t) {}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double, const APMEventFilter&) {}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double, const APMPropertyFilter&) {}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>
APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t) const {
  return {};
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t) const {
  return std::nullopt;
}
