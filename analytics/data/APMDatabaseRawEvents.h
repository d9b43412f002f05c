// APMDatabaseRawEvents: the raw events of the analytics database. Every accepted event is
// written at once as one "raw_events" row (its wire form without the name, which has a column
// of its own), under the fingerprint of the bundle metadata current when it was logged; the
// metadata itself is stored once per fingerprint in "raw_events_metadata". The bundler later
// reads the events of one fingerprint, queues them and deletes the rows.
//
// Rows read back are hostile (a damaged file): a row that does not rebuild into an event is
// refused with an error, and the bulk read leaves it out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analytics/data/APMDatabaseCore.h"
#include "analytics/messages/APMPBMessages.h"
#include "platform/error.h"
#include "platform/value.h"

class APMEvent;
class APMRawEventData;

// Events read from "raw_events" for one fingerprint, at most this many per read.
inline constexpr std::int64_t kAPMRawEventsReadLimit = 1000;
// Distinct metadata bundles stored at most.
inline constexpr std::int64_t kAPMRawEventsMetadataTableLimit = 100000;

class APMDatabaseRawEvents : public virtual APMDatabaseCore {
 public:
  // Results called "number" below are the store's numberForQuery result: nothing when the
  // query fails (with the error) or its result is NULL (without one).

  // Stores the bundle under its fingerprint unless a row has that fingerprint already.
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle* bundle,
                                         platform::ErrorPtr* error);
  // Null when no row has the fingerprint, the row cannot be read, or its bytes do not decode.
  std::shared_ptr<APMPBMeasurementBundle>
  queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                     platform::ErrorPtr* error);
  // Deletes every metadata row that no raw event refers to.
  bool deleteUnusedRawEventsMetadata(platform::ErrorPtr* error);
  // Number: 1 when "raw_events" has no row.
  std::optional<platform::Value> isRawEventsTableEmpty(platform::ErrorPtr* error);
  bool insertRawEvent(const std::shared_ptr<APMEvent>& event, std::int64_t metadataFingerprint,
                      bool isRealtime, platform::ErrorPtr* error);
  // Number: the latest event time in seconds.
  std::optional<platform::Value> queryLatestRawEventTime(platform::ErrorPtr* error);
  // The oldest events of the fingerprint, at most kAPMRawEventsReadLimit, in row-id order;
  // the reading stops at the first row the filter refuses. Rows that do not rebuild are left
  // out; nothing when rows were read but none rebuilt, or the query failed.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
  rawEventsWithMetadataFingerprint(std::int64_t fingerprint, platform::ErrorPtr* error,
                                   const APMSqliteStore::RowFilter& eventFilter);
  // Number: 1 when some raw event has the fingerprint.
  std::optional<platform::Value> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                                         platform::ErrorPtr* error);
  bool deleteRawEventsWithMaxRowID(std::int64_t rowID, platform::ErrorPtr* error);
  // Keeps the newest (most events stored - 1) rows, so that the event written next brings the
  // table to the limit; the number of rows deleted, or nothing on failure.
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(platform::ErrorPtr* error);
  // Deletes the events further from now than the age, in either direction, then the metadata
  // no event refers to any more.
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::ErrorPtr* error);
  // The fingerprint of the oldest raw event; nothing (without an error) for an empty table.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(platform::ErrorPtr* error);
  // One "raw_events" record ("rowid" and the columns) rebuilt into its event.
  std::shared_ptr<APMRawEventData> rawEventDataFromDictionary(const platform::Dictionary* record,
                                                              platform::ErrorPtr* error);
  // Number: 1 when some raw event is real-time.
  std::optional<platform::Value> containsRealtimeRawEventsWithError(platform::ErrorPtr* error);
};

// The bundle of one "raw_events_metadata" record; null, with the error, for an empty record
// or metadata, and null for bytes that do not decode (the row read then reports it).
std::shared_ptr<APMPBMeasurementBundle>
APMRawEventsMetadataFromRecord(const platform::Dictionary& record, platform::ErrorPtr* error);

// One stored event parameter as {name: APMValue}. A top-level parameter needs a name; one
// with nested parameters becomes an array value of the elements' dictionaries. An array
// element (isArrayElement) becomes the flat dictionary of its fields. Nesting deeper than
// stored events can have is refused.
std::optional<platform::Dictionary> APMDictionaryFromEventParam(const APMPBEventParam* param,
                                                                bool isArrayElement,
                                                                platform::ErrorPtr* error);
