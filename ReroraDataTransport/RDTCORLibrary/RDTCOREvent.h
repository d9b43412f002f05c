// RDTCOREvent: one event handed to the transport: routing (mapping ID, target), priority
// (QoS tier), timing (clock snapshot, expiry), the payload bytes, optional product data and
// the JSON side-channel of custom bytes. Archived with secure coding into the store's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/keyed_archive.h"

// An upload destination. The store serves 999-1003, the uploader 1000-1003.
using RDTCORTarget = std::int64_t;
inline constexpr RDTCORTarget RDTCORTargetTest = 999;
inline constexpr RDTCORTarget RDTCORTargetKCT = 1000;
inline constexpr RDTCORTarget RDTCORTargetFLL = 1001;
inline constexpr RDTCORTarget RDTCORTargetCSH = 1002;
inline constexpr RDTCORTarget RDTCORTargetINT = 1003;

// Priority tiers. Storing a tier-4 event forces an upload of its target.
using RDTCOREventQoS = std::int64_t;
inline constexpr RDTCOREventQoS RDTCOREventQoSUnknown = 0;
inline constexpr RDTCOREventQoS RDTCOREventQoSTelemetry = 1;
inline constexpr RDTCOREventQoS RDTCOREventQoSDefault = 3;
inline constexpr RDTCOREventQoS RDTCOREventQoSFast = 4;
inline constexpr RDTCOREventQoS RDTCOREventQoSWifiOnly = 5;

// How long a new event is kept: 7 days.
inline constexpr double kRDTCOREventLifetimeSeconds = 604800;
// The mapping ID of dropped-event metrics events.
inline constexpr const char* kRDTCORMetricsMappingID = "1710";

inline constexpr const char* kRDTCOREventClassName = "RDTCOREvent";
inline constexpr const char* kRDTCORProductDataClassName = "RDTCORProductData";

inline constexpr const char* kRDTCOREventEventIDKey = "RDTCOREventEventIDKey";
inline constexpr const char* kRDTCOREventMappingIDKey = "RDTCOREventMappingIDKey";
inline constexpr const char* kRDTCOREventProductDataKey = "RDTCOREventProductDataKey";
inline constexpr const char* kRDTCOREventTargetKey = "RDTCOREventTargetKey";
inline constexpr const char* kRDTCOREventQoSTierKey = "RDTCOREventQoSTierKey";
inline constexpr const char* kRDTCOREventClockSnapshotKey = "RDTCOREventClockSnapshotKey";
inline constexpr const char* kRDTCOREventCustomDataKey = "RDTCOREventCustomDataKey";
inline constexpr const char* kRDTCOREventExpirationDateKey = "RDTCOREventExpirationDateKey";
inline constexpr const char* kRDTCOREventSerializedDataObjectBytesKey =
    "RDTCOREventSerializedDataObjectBytesKey";
inline constexpr const char* kRDTCORProductDataProductIDKey = "RDTCORProductDataProductIDKey";

// Keys of the custom-bytes JSON object.
inline constexpr const char* kRDTCORNeedsNetworkConnectionInfoKey = "needs_network_connection_info";
inline constexpr const char* kRDTCORNetworkConnectionInfoKey = "network_connection_info";
inline constexpr const char* kRDTCOREventCodeInfoKey = "event_code_info";

// What an event's payload is made from.
class RDTCOREventDataObject {
 public:
  virtual ~RDTCOREventDataObject() = default;
  // The payload as it will be sent.
  virtual platform::Data transportBytes() const = 0;
};

// The product an event belongs to.
class RDTCORProductData : public platform::SecureCodingObject {
 public:
  explicit RDTCORProductData(std::int32_t productID = 0) : productID_(productID) {}

  std::int32_t productID() const { return productID_; }
  void setProductID(std::int32_t productID) { productID_ = productID; }

  std::shared_ptr<RDTCORProductData> copy() const;
  std::size_t hash() const { return static_cast<std::size_t>(productID_); }
  bool isEqual(const RDTCORProductData& other) const { return productID_ == other.productID_; }

  std::string archiveClassName() const override { return kRDTCORProductDataClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);

 private:
  std::int32_t productID_;
};

class RDTCOREvent : public platform::SecureCodingObject {
 public:
  // Registers RDTCOREvent, RDTCORProductData and RDTCORClock for secure coding.
  static void load();

  // A new UUID without its "-": 32 upper-case hexadecimal characters.
  static std::string nextEventID();

  // A new event, or nullptr (after an assertion report) for an empty mapping ID or a
  // target <= 0.
  static std::shared_ptr<RDTCOREvent>
  initWithMappingID(std::string mappingID, std::shared_ptr<RDTCORProductData> productData,
                    RDTCORTarget target);
  static std::shared_ptr<RDTCOREvent> initWithMappingID(std::string mappingID, RDTCORTarget target);
  // A metrics event (mapping ID "1710") carrying the metrics object as its data object.
  static std::shared_ptr<RDTCOREvent>
  eventWithMetrics(std::shared_ptr<RDTCOREventDataObject> metrics, RDTCORTarget target);

  // Same event ID, data object, tier, clock and custom bytes; a fresh expiry.
  std::shared_ptr<RDTCOREvent> copy() const;

  const std::string& eventID() const { return eventID_; }
  void setEventID(std::string eventID) { eventID_ = std::move(eventID); }
  const std::string& mappingID() const { return mappingID_; }
  RDTCORTarget target() const { return target_; }
  const std::shared_ptr<RDTCORProductData>& productData() const { return productData_; }

  const std::shared_ptr<RDTCOREventDataObject>& dataObject() const { return dataObject_; }
  // Also captures the object's transport bytes, every time.
  void setDataObject(std::shared_ptr<RDTCOREventDataObject> dataObject);
  // None for an event that never had a data object.
  const std::optional<platform::Data>& serializedDataObjectBytes() const {
    return serializedDataObjectBytes_;
  }

  RDTCOREventQoS qosTier() const { return qosTier_; }
  void setQosTier(RDTCOREventQoS qosTier) { qosTier_ = qosTier; }
  const std::shared_ptr<RDTCORClock>& clockSnapshot() const { return clockSnapshot_; }
  void setClockSnapshot(std::shared_ptr<RDTCORClock> clock) { clockSnapshot_ = std::move(clock); }
  // None only for a decoded event whose archive had no expiry.
  const std::optional<platform::Date>& expirationDate() const { return expirationDate_; }
  void setExpirationDate(std::optional<platform::Date> date) { expirationDate_ = date; }
  const std::optional<platform::Data>& customBytes() const { return customBytes_; }
  void setCustomBytes(std::optional<platform::Data> bytes) { customBytes_ = std::move(bytes); }

  // The custom-bytes JSON fields. JSON problems are logged and never thrown.
  std::optional<std::int64_t> eventCode() const;
  void setEventCode(std::optional<std::int64_t> eventCode);
  std::optional<platform::Data> networkConnectionInfoData() const;
  void setNetworkConnectionInfoData(const std::optional<platform::Data>& data);
  bool needsNetworkConnectionInfoPopulated() const;
  void setNeedsNetworkConnectionInfoPopulated(bool needsNetworkInfo);

  std::size_t hash() const;
  // Every field that goes into the hash is equal (equal hashes alone are not enough).
  bool isEqual(const RDTCOREvent& other) const;
  friend bool operator==(const RDTCOREvent& a, const RDTCOREvent& b) { return a.isEqual(b); }

  std::string archiveClassName() const override { return kRDTCOREventClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // nullptr when the archive holds no payload bytes; a missing event ID gets a new one.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);

  // Use initWithMappingID; public only for make_shared.
  RDTCOREvent() = default;

 private:
  std::string eventID_;
  std::string mappingID_;
  RDTCORTarget target_ = 0;
  std::shared_ptr<RDTCOREventDataObject> dataObject_;
  std::optional<platform::Data> serializedDataObjectBytes_;
  RDTCOREventQoS qosTier_ = RDTCOREventQoSDefault;
  std::shared_ptr<RDTCORClock> clockSnapshot_;
  std::optional<platform::Date> expirationDate_;
  std::optional<platform::Data> customBytes_;
  std::shared_ptr<RDTCORProductData> productData_;
};
