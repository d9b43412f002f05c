// APMRawEventData: one stored raw event as read back from the database: the rebuilt event,
// the row id of its "raw_events" row (which orders the events) and the fingerprint of the
// bundle metadata it was stored with.
#pragma once

#include <cstdint>
#include <memory>

class APMEvent;

class APMRawEventData {
 public:
  // Null (logged) without an event or with a negative row id; any fingerprint is valid.
  static std::shared_ptr<APMRawEventData> initWithRawEvent(std::shared_ptr<APMEvent> rawEvent,
                                                           std::int64_t rowID,
                                                           std::int64_t metadataFingerprint);

  const std::shared_ptr<APMEvent>& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  APMRawEventData(std::shared_ptr<APMEvent> rawEvent, std::int64_t rowID,
                  std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  std::shared_ptr<APMEvent> rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};
