#include "analytics/data/APMRawEventData.h"

#include "analytics/data/APMEvent.h"
#include "analytics/messages/APMServices.h"

std::shared_ptr<APMRawEventData>
APMRawEventData::initWithRawEvent(std::shared_ptr<APMEvent> rawEvent, std::int64_t rowID,
                                  std::int64_t metadataFingerprint) {
  if (rawEvent == nullptr) {
    APMServicesMonitor()->logWithLevel(
        4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMServicesMonitor()->logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
        {platform::Value(rowID)});
    return nullptr;
  }
  return std::shared_ptr<APMRawEventData>(
      new APMRawEventData(std::move(rawEvent), rowID, metadataFingerprint));
}
