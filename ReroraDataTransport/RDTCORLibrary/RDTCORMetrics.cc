#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"

#include <charconv>
#include <functional>
#include <limits>
#include <string_view>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"
#include "platform/bundle.h"
#include "platform/format.h"
#include "platform/text.h"
#include "platform/value.h"

namespace {

// Counts stop at the largest number instead of wrapping: a record read from disk may already
// hold it.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

// Archives and descriptions hold the map as nested dictionaries; their keys are strings, so a
// reason is written in decimal.
platform::Value counterAsValue(const RDTCORDroppedEventCounterByLogSource& counter) {
  platform::Dictionary outer;
  for (const auto& [logSource, counts] : counter) {
    platform::Dictionary inner;
    for (const auto& [reason, count] : counts) inner.set(std::to_string(reason), count);
    outer.set(logSource, std::move(inner));
  }
  return outer;
}

// A reason key in the canonical decimal form that counterAsValue writes; any other spelling
// is refused, so that two keys can never read as the same reason.
std::optional<RDTCOREventDropReason> parseReason(std::string_view text) {
  RDTCOREventDropReason reason = 0;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), reason);
  if (status != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (std::to_string(reason) != text) return std::nullopt;
  return reason;
}

std::optional<RDTCORDroppedEventCounterByLogSource> counterFromValue(const platform::Value& value) {
  const platform::Dictionary* outer = value.asDictionary();
  if (!outer) return std::nullopt;
  RDTCORDroppedEventCounterByLogSource counter;
  for (const auto& [logSource, innerValue] : *outer) {
    // A mapping ID that is not text could be read but never written back, which would leave
    // the record stuck at every later update.
    if (!platform::text::isValidUTF8(logSource)) return std::nullopt;
    const platform::Dictionary* inner = innerValue.asDictionary();
    if (!inner) return std::nullopt;
    RDTCORDroppedEventCounts counts;
    for (const auto& [reasonText, count] : *inner) {
      const std::optional<RDTCOREventDropReason> reason = parseReason(reasonText);
      if (!reason || !count.isNumber()) return std::nullopt;
      counts[*reason] = count.integerValue();
    }
    counter.emplace(logSource, std::move(counts));
  }
  return counter;
}

std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

std::size_t hashOf(platform::Date date) {
  return std::hash<double>{}(date.timeIntervalSince1970());
}

std::string baseDescription(const char* className, const void* object) {
  return platform::format("<%s: %p>", {className, object});
}

}  // namespace

void RDTCORMetricsLoad() {
  platform::registerSecureCodingClass(kRDTCORLogSourceMetricsClassName,
                                      &RDTCORLogSourceMetrics::initWithCoder);
  platform::registerSecureCodingClass(kRDTCORMetricsMetadataClassName,
                                      &RDTCORMetricsMetadata::initWithCoder);
}

// ---- RDTCORLogSourceMetrics ----

std::shared_ptr<RDTCORLogSourceMetrics> RDTCORLogSourceMetrics::metrics() {
  return std::make_shared<RDTCORLogSourceMetrics>();
}

std::shared_ptr<RDTCORLogSourceMetrics>
RDTCORLogSourceMetrics::metricsWithEvents(const RDTCOREventSet& events,
                                          RDTCOREventDropReason reason) {
  RDTCORDroppedEventCounterByLogSource counter;
  for (const auto& event : events) {
    if (!event || event->mappingID().empty()) continue;
    std::int64_t& count = counter[event->mappingID()][reason];
    count = saturatingAdd(count, 1);
  }
  return std::make_shared<RDTCORLogSourceMetrics>(std::move(counter));
}

std::shared_ptr<RDTCORLogSourceMetrics>
RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
    RDTCORDroppedEventCounterByLogSource counter) {
  return std::make_shared<RDTCORLogSourceMetrics>(std::move(counter));
}

std::shared_ptr<RDTCORLogSourceMetrics>
RDTCORLogSourceMetrics::logSourceMetricsByMergingWithLogSourceMetrics(
    const RDTCORLogSourceMetrics& other) const {
  auto merged = dictionaryByMergingDictionary(
      droppedEventCounterByLogSource_, other.droppedEventCounterByLogSource_,
      [](const RDTCORDroppedEventCounts& counts, const RDTCORDroppedEventCounts& otherCounts) {
        return dictionaryByMergingDictionary(counts, otherCounts, &saturatingAdd);
      });
  return std::make_shared<RDTCORLogSourceMetrics>(std::move(merged));
}

std::size_t RDTCORLogSourceMetrics::hash() const {
  std::size_t seed = droppedEventCounterByLogSource_.size();
  for (const auto& [logSource, counts] : droppedEventCounterByLogSource_) {
    seed = combine(seed, std::hash<std::string>{}(logSource));
    for (const auto& [reason, count] : counts) {
      seed = combine(combine(seed, std::hash<std::int64_t>{}(reason)),
                     std::hash<std::int64_t>{}(count));
    }
  }
  return seed;
}

std::string RDTCORLogSourceMetrics::description() const {
  return platform::format("%@ %@", {baseDescription(kRDTCORLogSourceMetricsClassName, this),
                                    counterAsValue(droppedEventCounterByLogSource_)});
}

void RDTCORLogSourceMetrics::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(kRDTCORDroppedEventCounterByLogSourceKey,
                     counterAsValue(droppedEventCounterByLogSource_));
}

platform::SecureCodingPtr RDTCORLogSourceMetrics::initWithCoder(platform::KeyedUnarchiver& coder) {
  const auto object = coder.decodeObject(
      kRDTCORDroppedEventCounterByLogSourceKey,
      {platform::kDictionaryClassName, platform::kStringClassName, platform::kNumberClassName});
  const platform::Value* value = platform::valueOf(object);
  if (!value) return nullptr;
  std::optional<RDTCORDroppedEventCounterByLogSource> counter = counterFromValue(*value);
  if (!counter) return nullptr;
  return std::make_shared<RDTCORLogSourceMetrics>(std::move(*counter));
}

// ---- RDTCORMetricsMetadata ----

RDTCORMetricsMetadata::RDTCORMetricsMetadata(
    platform::Date collectionStartDate, std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics)
    : collectionStartDate_(collectionStartDate),
      logSourceMetrics_(logSourceMetrics ? std::move(logSourceMetrics)
                                         : RDTCORLogSourceMetrics::metrics()) {}

std::shared_ptr<RDTCORMetricsMetadata> RDTCORMetricsMetadata::metadataWithCollectionStartDate(
    platform::Date collectionStartDate, std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics) {
  return std::make_shared<RDTCORMetricsMetadata>(collectionStartDate, std::move(logSourceMetrics));
}

bool RDTCORMetricsMetadata::isEqualToMetricsMetadata(const RDTCORMetricsMetadata& other) const {
  return collectionStartDate_ == other.collectionStartDate_ &&
         *logSourceMetrics_ == *other.logSourceMetrics_;
}

std::size_t RDTCORMetricsMetadata::hash() const {
  return hashOf(collectionStartDate_) ^ logSourceMetrics_->hash();
}

void RDTCORMetricsMetadata::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(kRDTCORCollectionStartDateKey, platform::Value(collectionStartDate_));
  coder.encodeObject(kRDTCORLogSourceMetricsKey, platform::SecureCodingPtr(logSourceMetrics_));
}

platform::SecureCodingPtr RDTCORMetricsMetadata::initWithCoder(platform::KeyedUnarchiver& coder) {
  const std::optional<platform::Date> startDate = coder.decodeDate(kRDTCORCollectionStartDateKey);
  auto logSourceMetrics = platform::recordAs<RDTCORLogSourceMetrics>(
      coder.decodeObject(kRDTCORLogSourceMetricsKey, {kRDTCORLogSourceMetricsClassName}));
  if (!startDate || !logSourceMetrics) return nullptr;
  return std::make_shared<RDTCORMetricsMetadata>(*startDate, std::move(logSourceMetrics));
}

// ---- RDTCORMetrics ----

RDTCORMetrics::RDTCORMetrics(platform::Date collectionStartDate, platform::Date collectionEndDate,
                             std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics,
                             std::uint64_t currentCacheSize, std::uint64_t maxCacheSize,
                             std::string bundleID)
    : collectionStartDate_(collectionStartDate), collectionEndDate_(collectionEndDate),
      logSourceMetrics_(logSourceMetrics ? std::move(logSourceMetrics)
                                         : RDTCORLogSourceMetrics::metrics()),
      currentCacheSize_(currentCacheSize), maxCacheSize_(maxCacheSize),
      bundleID_(std::move(bundleID)) {}

std::shared_ptr<RDTCORMetrics>
RDTCORMetrics::metricsWithMetricsMetadata(const RDTCORMetricsMetadata& metricsMetadata,
                                          const RDTCORStorageMetadata& storageMetadata) {
  return std::make_shared<RDTCORMetrics>(
      metricsMetadata.collectionStartDate(), platform::Date::now(),
      metricsMetadata.logSourceMetrics(), storageMetadata.currentCacheSize(),
      storageMetadata.maxCacheSize(), platform::Bundle::main().bundleIdentifier());
}

bool RDTCORMetrics::isEqualToMetrics(const RDTCORMetrics& other) const {
  return collectionStartDate_ == other.collectionStartDate_ &&
         collectionEndDate_ == other.collectionEndDate_ &&
         *logSourceMetrics_ == *other.logSourceMetrics_ &&
         currentCacheSize_ == other.currentCacheSize_ && maxCacheSize_ == other.maxCacheSize_ &&
         bundleID_ == other.bundleID_;
}

std::size_t RDTCORMetrics::hash() const {
  return hashOf(collectionStartDate_) ^ hashOf(collectionEndDate_) ^ logSourceMetrics_->hash() ^
         std::hash<std::uint64_t>{}(currentCacheSize_) ^ std::hash<std::uint64_t>{}(maxCacheSize_) ^
         std::hash<std::string>{}(bundleID_);
}

std::string RDTCORMetrics::description() const {
  return platform::format(
      "%@ {\n collectionStartDate: %@,\n collectionEndDate: %@,\n currentCacheSize: %llu,\n "
      "maxCacheSize: %llu,\n bundleID: %@,\n logSourceMetrics: %@}\n",
      {baseDescription("RDTCORMetrics", this), collectionStartDate_, collectionEndDate_,
       currentCacheSize_, maxCacheSize_, bundleID_, logSourceMetrics_->description()});
}

platform::Data RDTCORMetrics::transportBytes() const { return KCTEncodeMetricsReport(*this); }
