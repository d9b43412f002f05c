// Dropped-event metrics: the per-log-source count table, the record kept on disk for the
// current collection window, and the snapshot sent to the collection service as an event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsControllerProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/keyed_archive.h"

inline constexpr const char* kRDTCORLogSourceMetricsClassName = "RDTCORLogSourceMetrics";
inline constexpr const char* kRDTCORMetricsMetadataClassName = "RDTCORMetricsMetadata";

inline constexpr const char* kRDTCORDroppedEventCounterByLogSourceKey =
    "droppedEventCounterByLogSource";
inline constexpr const char* kRDTCORCollectionStartDateKey = "collectionStartDate";
inline constexpr const char* kRDTCORLogSourceMetricsKey = "logSourceMetrics";

// Count of dropped events per reason.
using RDTCORDroppedEventCounts = std::map<RDTCOREventDropReason, std::int64_t>;
// Counts per log source (mapping ID).
using RDTCORDroppedEventCounterByLogSource = std::map<std::string, RDTCORDroppedEventCounts>;

// Registers RDTCORLogSourceMetrics and RDTCORMetricsMetadata for secure coding. Call before
// reading an archive of either; repeated calls are harmless.
void RDTCORMetricsLoad();

// How many events were dropped, per log source and reason. Immutable.
class RDTCORLogSourceMetrics : public platform::SecureCodingObject {
 public:
  explicit RDTCORLogSourceMetrics(RDTCORDroppedEventCounterByLogSource counter = {})
      : droppedEventCounterByLogSource_(std::move(counter)) {}

  // No counts.
  static std::shared_ptr<RDTCORLogSourceMetrics> metrics();
  // One count per event of a non-empty mapping ID, under the given reason.
  static std::shared_ptr<RDTCORLogSourceMetrics> metricsWithEvents(const RDTCOREventSet& events,
                                                                   RDTCOREventDropReason reason);
  static std::shared_ptr<RDTCORLogSourceMetrics>
  initWithDroppedEventCounterByLogSource(RDTCORDroppedEventCounterByLogSource counter);

  // Counts of the same log source and reason add up (saturating); all other entries of both
  // sides are kept.
  std::shared_ptr<RDTCORLogSourceMetrics>
  logSourceMetricsByMergingWithLogSourceMetrics(const RDTCORLogSourceMetrics& other) const;

  // A copy of the first map in which each key of the second is inserted, or, when the copy
  // has it already, replaced with block(first's value, second's value).
  template <typename Map, typename Block>
  static Map dictionaryByMergingDictionary(const Map& dictionary, const Map& otherDictionary,
                                           Block uniquingKeysWithBlock) {
    Map merged = dictionary;
    for (const auto& [key, value] : otherDictionary) {
      auto found = merged.find(key);
      if (found == merged.end()) {
        merged.emplace(key, value);
      } else {
        found->second = uniquingKeysWithBlock(found->second, value);
      }
    }
    return merged;
  }

  const RDTCORDroppedEventCounterByLogSource& droppedEventCounterByLogSource() const {
    return droppedEventCounterByLogSource_;
  }

  bool isEqualToLogSourceMetrics(const RDTCORLogSourceMetrics& other) const {
    return droppedEventCounterByLogSource_ == other.droppedEventCounterByLogSource_;
  }
  friend bool operator==(const RDTCORLogSourceMetrics& a, const RDTCORLogSourceMetrics& b) {
    return a.isEqualToLogSourceMetrics(b);
  }
  std::size_t hash() const;
  // "<RDTCORLogSourceMetrics: 0x…> " and the map.
  std::string description() const;

  std::string archiveClassName() const override { return kRDTCORLogSourceMetricsClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // nullptr unless the archived map is a dictionary of dictionaries of integer counts keyed
  // by integer reasons.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  RDTCORDroppedEventCounterByLogSource droppedEventCounterByLogSource_;
};

// The record kept on disk: when the current collection window began and its counts.
class RDTCORMetricsMetadata : public platform::SecureCodingObject {
 public:
  // A null logSourceMetrics is taken as no counts.
  RDTCORMetricsMetadata(platform::Date collectionStartDate,
                        std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics);

  static std::shared_ptr<RDTCORMetricsMetadata>
  metadataWithCollectionStartDate(platform::Date collectionStartDate,
                                  std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics);

  platform::Date collectionStartDate() const { return collectionStartDate_; }
  // Never null.
  const std::shared_ptr<RDTCORLogSourceMetrics>& logSourceMetrics() const {
    return logSourceMetrics_;
  }

  bool isEqualToMetricsMetadata(const RDTCORMetricsMetadata& other) const;
  friend bool operator==(const RDTCORMetricsMetadata& a, const RDTCORMetricsMetadata& b) {
    return a.isEqualToMetricsMetadata(b);
  }
  std::size_t hash() const;

  std::string archiveClassName() const override { return kRDTCORMetricsMetadataClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // nullptr unless both the date and the log-source metrics are present and well formed.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  platform::Date collectionStartDate_;
  std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics_;
};

// A closed collection window's counts and the store's fill level, sent as the payload of the
// metrics event (an encoded MetricsReport).
class RDTCORMetrics : public RDTCOREventDataObject {
 public:
  // A null logSourceMetrics is taken as no counts.
  RDTCORMetrics(platform::Date collectionStartDate, platform::Date collectionEndDate,
                std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics,
                std::uint64_t currentCacheSize, std::uint64_t maxCacheSize, std::string bundleID);

  // The window of the record ending now, the store's sizes, and the main bundle's identifier
  // (or "").
  static std::shared_ptr<RDTCORMetrics>
  metricsWithMetricsMetadata(const RDTCORMetricsMetadata& metricsMetadata,
                             const RDTCORStorageMetadata& storageMetadata);

  platform::Date collectionStartDate() const { return collectionStartDate_; }
  platform::Date collectionEndDate() const { return collectionEndDate_; }
  // Never null.
  const std::shared_ptr<RDTCORLogSourceMetrics>& logSourceMetrics() const {
    return logSourceMetrics_;
  }
  std::uint64_t currentCacheSize() const { return currentCacheSize_; }
  std::uint64_t maxCacheSize() const { return maxCacheSize_; }
  const std::string& bundleID() const { return bundleID_; }

  bool isEqualToMetrics(const RDTCORMetrics& other) const;
  friend bool operator==(const RDTCORMetrics& a, const RDTCORMetrics& b) {
    return a.isEqualToMetrics(b);
  }
  std::size_t hash() const;
  std::string description() const;

  // The encoded MetricsReport.
  platform::Data transportBytes() const override;

 private:
  platform::Date collectionStartDate_;
  platform::Date collectionEndDate_;
  std::shared_ptr<RDTCORLogSourceMetrics> logSourceMetrics_;
  std::uint64_t currentCacheSize_;
  std::uint64_t maxCacheSize_;
  std::string bundleID_;
};
