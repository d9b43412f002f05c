#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"

#include <charconv>
#include <functional>
#include <string_view>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "platform/base64.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/text.h"
#include "platform/uuid.h"
#include "platform/value.h"

namespace {

// Where creation reports its failed checks.
constexpr const char* kEventSourceFile = "ReroraDataTransport/RDTCORLibrary/RDTCOREvent";
constexpr long kMappingIDCheckLine = 38;
constexpr long kTargetCheckLine = 39;

std::string describe(const void* event) { return platform::format("<RDTCOREvent: %p>", {event}); }

std::size_t hashOf(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }
std::size_t hashOf(const std::optional<platform::Data>& data) {
  if (!data) return 0;
  return hashOf(std::string_view(reinterpret_cast<const char*>(data->bytes()), data->length()));
}

// The custom bytes as a JSON object: none without custom bytes; an error for bytes that are
// not a JSON object.
struct ParsedCustomBytes {
  std::optional<platform::Dictionary> object;
  platform::ErrorPtr error;
};

ParsedCustomBytes parseCustomBytes(const std::optional<platform::Data>& bytes) {
  ParsedCustomBytes parsed;
  if (!bytes) return parsed;
  platform::ErrorPtr error;
  const auto value = platform::json::parse(*bytes, {}, &error);
  if (!value || !value->asDictionary()) {
    parsed.error = error ? error
                         : platform::makeError("NSCocoaErrorDomain", platform::json::kJSONErrorCode,
                                               {{"NSDebugDescription", "not a JSON object"}});
    return parsed;
  }
  parsed.object = *value->asDictionary();
  return parsed;
}

// Strictly decimal, as a number formatter reads it.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t number = 0;
  const auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || next != text.data() + text.size()) return std::nullopt;
  return number;
}

// The value, or nil (which a null record stands for) when absent.
template <typename T> platform::ArchivedObject orNil(const std::optional<T>& value) {
  if (!value) return platform::SecureCodingPtr();
  return platform::Value(*value);
}

}  // namespace

std::shared_ptr<RDTCORProductData> RDTCORProductData::copy() const {
  return std::make_shared<RDTCORProductData>(productID_);
}

void RDTCORProductData::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInt64(kRDTCORProductDataProductIDKey, productID_);
}

platform::SecureCodingPtr RDTCORProductData::initWithCoder(platform::KeyedUnarchiver& coder) {
  return std::make_shared<RDTCORProductData>(
      static_cast<std::int32_t>(coder.decodeInt64(kRDTCORProductDataProductIDKey)));
}

void RDTCOREvent::load() {
  RDTCORClock::load();
  platform::registerSecureCodingClass(kRDTCORProductDataClassName,
                                      &RDTCORProductData::initWithCoder);
  platform::registerSecureCodingClass(kRDTCOREventClassName, &RDTCOREvent::initWithCoder);
}

std::string RDTCOREvent::nextEventID() {
  std::string id = platform::UUID::random().string();
  std::erase(id, '-');
  return id;
}

std::shared_ptr<RDTCOREvent> RDTCOREvent::initWithMappingID(
    std::string mappingID, std::shared_ptr<RDTCORProductData> productData, RDTCORTarget target) {
  if (mappingID.empty()) {
    RDTCORAssertionFailed(kEventSourceFile, kMappingIDCheckLine, "Please give a valid mapping ID");
  }
  if (target <= 0) {
    RDTCORAssertionFailed(kEventSourceFile, kTargetCheckLine, "A target cannot be negative or 0");
    return nullptr;
  }
  if (mappingID.empty()) return nullptr;
  auto event = std::make_shared<RDTCOREvent>();
  event->eventID_ = nextEventID();
  event->mappingID_ = std::move(mappingID);
  event->productData_ = std::move(productData);
  event->target_ = target;
  event->qosTier_ = RDTCOREventQoSDefault;
  event->expirationDate_ =
      platform::Clock::current().now().addingTimeInterval(kRDTCOREventLifetimeSeconds);
  RDTCORLogDebug("Event %@ created. ID:%@ mappingID: %@ target:%ld",
                 {describe(event.get()), event->eventID_, event->mappingID_, target});
  return event;
}

std::shared_ptr<RDTCOREvent> RDTCOREvent::initWithMappingID(std::string mappingID,
                                                            RDTCORTarget target) {
  return initWithMappingID(std::move(mappingID), nullptr, target);
}

std::shared_ptr<RDTCOREvent>
RDTCOREvent::eventWithMetrics(std::shared_ptr<RDTCOREventDataObject> metrics, RDTCORTarget target) {
  auto event = initWithMappingID(kRDTCORMetricsMappingID, target);
  if (event) event->setDataObject(std::move(metrics));
  return event;
}

std::shared_ptr<RDTCOREvent> RDTCOREvent::copy() const {
  auto copy = initWithMappingID(mappingID_, productData_, target_);
  if (!copy) return nullptr;
  copy->eventID_ = eventID_;
  copy->setDataObject(dataObject_);
  copy->qosTier_ = qosTier_;
  copy->clockSnapshot_ = clockSnapshot_;
  copy->customBytes_ = customBytes_;
  RDTCORLogDebug("Copying event %@ to event %@", {describe(this), describe(copy.get())});
  return copy;
}

void RDTCOREvent::setDataObject(std::shared_ptr<RDTCOREventDataObject> dataObject) {
  dataObject_ = std::move(dataObject);
  serializedDataObjectBytes_ =
      dataObject_ ? std::optional<platform::Data>(dataObject_->transportBytes()) : std::nullopt;
}

std::optional<std::int64_t> RDTCOREvent::eventCode() const {
  const ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when getting an event's event_code: %@", {RDTCORErrorText(parsed.error)});
    return std::nullopt;
  }
  if (!parsed.object) return std::nullopt;
  const std::string* text = (*parsed.object)[kRDTCOREventCodeInfoKey].asString();
  return text ? parseDecimal(*text) : std::nullopt;
}

void RDTCOREvent::setEventCode(std::optional<std::int64_t> eventCode) {
  ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when setting an event's event_code: %@", {RDTCORErrorText(parsed.error)});
    return;
  }
  if (!eventCode) {
    if (!parsed.object) return;
    parsed.object->erase(kRDTCOREventCodeInfoKey);
  } else {
    if (!parsed.object) parsed.object.emplace();
    parsed.object->set(kRDTCOREventCodeInfoKey, std::to_string(*eventCode));
  }
  platform::ErrorPtr error;
  customBytes_ = platform::json::writeData(platform::Value(std::move(*parsed.object)), {}, &error);
  if (!customBytes_) {
    RDTCORLogDebug("Error when setting an event's event_code: %@", {RDTCORErrorText(error)});
  }
}

std::optional<platform::Data> RDTCOREvent::networkConnectionInfoData() const {
  const ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when getting an event's network_connection_info: %@",
                   {RDTCORErrorText(parsed.error)});
    return std::nullopt;
  }
  if (!parsed.object) return std::nullopt;
  const std::string* text = (*parsed.object)[kRDTCORNetworkConnectionInfoKey].asString();
  return text ? platform::base64::decode(*text) : std::nullopt;
}

void RDTCOREvent::setNetworkConnectionInfoData(const std::optional<platform::Data>& data) {
  if (!data) return;
  ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when setting an event's network_connection_info: %@",
                   {RDTCORErrorText(parsed.error)});
    return;
  }
  if (!parsed.object) parsed.object.emplace();
  parsed.object->set(kRDTCORNetworkConnectionInfoKey, platform::base64::encode(*data));
  platform::ErrorPtr error;
  customBytes_ = platform::json::writeData(platform::Value(std::move(*parsed.object)), {}, &error);
  if (!customBytes_) {
    RDTCORLogDebug("Error when setting an event's network_connection_info: %@",
                   {RDTCORErrorText(error)});
  }
}

bool RDTCOREvent::needsNetworkConnectionInfoPopulated() const {
  const ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when checking the event for needs_network_connection_info: %@",
                   {RDTCORErrorText(parsed.error)});
    return false;
  }
  if (!parsed.object) return false;
  return (*parsed.object)[kRDTCORNeedsNetworkConnectionInfoKey].boolValue();
}

void RDTCOREvent::setNeedsNetworkConnectionInfoPopulated(bool needsNetworkInfo) {
  ParsedCustomBytes parsed = parseCustomBytes(customBytes_);
  if (parsed.error) {
    RDTCORLogDebug("Error when setting the event for needs_network_connection_info: %@",
                   {RDTCORErrorText(parsed.error)});
    return;
  }
  platform::Dictionary object;
  if (needsNetworkInfo) {
    if (parsed.object) object = std::move(*parsed.object);
    object.set(kRDTCORNeedsNetworkConnectionInfoKey, true);
  } else {
    if (!parsed.object) return;
    const platform::Value* code = parsed.object->find(kRDTCOREventCodeInfoKey);
    if (!code) return;
    object.set(kRDTCOREventCodeInfoKey, *code);
  }
  platform::ErrorPtr error;
  customBytes_ = platform::json::writeData(platform::Value(std::move(object)), {}, &error);
  if (!customBytes_) {
    RDTCORLogDebug("Error when setting the event for needs_network_connection_info: %@",
                   {RDTCORErrorText(error)});
  }
}

std::size_t RDTCOREvent::hash() const {
  return hashOf(eventID_) ^ hashOf(mappingID_) ^ (productData_ ? productData_->hash() : 0) ^
         (clockSnapshot_ ? clockSnapshot_->hash() : 0) ^ hashOf(serializedDataObjectBytes_) ^
         std::hash<std::int64_t>{}(target_) ^ std::hash<std::int64_t>{}(qosTier_);
}

bool RDTCOREvent::isEqual(const RDTCOREvent& other) const {
  const auto sameProduct = productData_ && other.productData_
                               ? productData_->isEqual(*other.productData_)
                               : productData_ == other.productData_;
  const auto sameClock = clockSnapshot_ && other.clockSnapshot_
                             ? clockSnapshot_->isEqual(*other.clockSnapshot_)
                             : clockSnapshot_ == other.clockSnapshot_;
  return eventID_ == other.eventID_ && mappingID_ == other.mappingID_ && target_ == other.target_ &&
         qosTier_ == other.qosTier_ && sameProduct && sameClock &&
         serializedDataObjectBytes_ == other.serializedDataObjectBytes_;
}

void RDTCOREvent::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(kRDTCOREventEventIDKey, platform::Value(eventID_));
  coder.encodeObject(kRDTCOREventMappingIDKey, platform::Value(mappingID_));
  coder.encodeObject(kRDTCOREventProductDataKey, platform::SecureCodingPtr(productData_));
  coder.encodeInt64(kRDTCOREventTargetKey, target_);
  coder.encodeInt64(kRDTCOREventQoSTierKey, qosTier_);
  coder.encodeObject(kRDTCOREventClockSnapshotKey, platform::SecureCodingPtr(clockSnapshot_));
  coder.encodeObject(kRDTCOREventCustomDataKey, orNil(customBytes_));
  coder.encodeObject(kRDTCOREventExpirationDateKey, orNil(expirationDate_));
  coder.encodeObject(kRDTCOREventSerializedDataObjectBytesKey, orNil(serializedDataObjectBytes_));
}

platform::SecureCodingPtr RDTCOREvent::initWithCoder(platform::KeyedUnarchiver& coder) {
  const auto dataUnder = [&coder](const char* key) -> std::optional<platform::Data> {
    const auto object = coder.decodeObject(key, {platform::kDataClassName});
    const platform::Value* value = platform::valueOf(object);
    const platform::Data* data = value ? value->asData() : nullptr;
    return data ? std::optional<platform::Data>(*data) : std::nullopt;
  };
  auto event = std::make_shared<RDTCOREvent>();
  event->serializedDataObjectBytes_ = dataUnder(kRDTCOREventSerializedDataObjectBytesKey);
  if (!event->serializedDataObjectBytes_) return nullptr;
  auto eventID = coder.decodeString(kRDTCOREventEventIDKey);
  auto mappingID = coder.decodeString(kRDTCOREventMappingIDKey);
  // The platform's strings are always Unicode; bytes that are not could never be written again.
  // An ID that is there but empty names no event and no file: no event was stored with it.
  if ((eventID && (eventID->empty() || !platform::text::isValidUTF8(*eventID))) ||
      (mappingID && !platform::text::isValidUTF8(*mappingID))) {
    return nullptr;
  }
  event->eventID_ = eventID ? std::move(*eventID) : nextEventID();
  event->mappingID_ = mappingID ? std::move(*mappingID) : std::string();
  event->productData_ = platform::recordAs<RDTCORProductData>(
      coder.decodeObject(kRDTCOREventProductDataKey, {kRDTCORProductDataClassName}));
  event->target_ = coder.decodeInt64(kRDTCOREventTargetKey);
  event->qosTier_ = coder.decodeInt64(kRDTCOREventQoSTierKey);
  event->clockSnapshot_ = platform::recordAs<RDTCORClock>(
      coder.decodeObject(kRDTCOREventClockSnapshotKey, {kRDTCORClockClassName}));
  event->customBytes_ = dataUnder(kRDTCOREventCustomDataKey);
  event->expirationDate_ = coder.decodeDate(kRDTCOREventExpirationDateKey);
  return event;
}
