#include "analytics/data/APMEvent.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMLogUtilities.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMParameterSanitizer.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMServices.h"

namespace {

using namespace APMPBEventFields;

void logLine(std::int64_t level, std::int64_t code, const std::string& message,
             const platform::Array& contexts = {}) {
  APMServicesMonitor()->logWithLevel(level, code, message, contexts);
}

platform::Value int64Value(std::int64_t value) {
  return platform::Value(APMValue::initWithInt64(value));
}

// The string of a plain string or of a string APMValue.
std::optional<std::string> stringOf(const platform::Value& object) {
  if (const std::string* text = object.asString()) return *text;
  if (const APMValuePtr value = APMValueOf(object)) return value->stringValue();
  return std::nullopt;
}

// A screen class or name: a string that the screen-value rule accepts. Logs a refused one.
bool isValidScreenText(const platform::Value* object, std::int64_t code, const char* message) {
  if (object == nullptr) return true;
  const auto text = stringOf(*object);
  if (!text) return false;
  if (!APMDataTypeValidator::isValidScreenParameterValue(platform::Value(*text))) {
    logLine(3, code, message, {*object});
    return false;
  }
  return true;
}

// Typed values to the plain values scripts read; with `keepArrays` an array value becomes
// an array of its element dictionaries converted without their arrays.
platform::Dictionary plainParameters(const platform::Dictionary& parameters, bool keepArrays) {
  platform::Dictionary plain;
  for (const auto& [name, object] : parameters) {
    const APMValuePtr value = APMValueOf(object);
    if (value == nullptr) continue;
    switch (value->valueType()) {
    case APMValue::kDouble:
      plain.set(name, value->doubleValue());
      break;
    case APMValue::kInt64:
      plain.set(name, value->int64Value());
      break;
    case APMValue::kString:
      if (auto text = value->stringValue()) plain.set(name, std::move(*text));
      break;
    case APMValue::kArray:
      if (keepArrays && value->arrayValue() != nullptr) {
        platform::Array items;
        for (const platform::Value& element : *value->arrayValue())
          if (const platform::Dictionary* item = element.asDictionary())
            items.emplace_back(plainParameters(*item, false));
        plain.set(name, std::move(items));
      }
      break;
    }
  }
  return plain;
}

// Hands the messages to an empty repeated field; none when its element array cannot be made.
void adoptProtoParameters(NanoArray* record, const std::vector<MessageInfo*>& params) {
  if (params.empty()) return;
  record->elements = static_cast<void**>(std::calloc(params.size(), sizeof(void*)));
  if (record->elements == nullptr) {
    for (MessageInfo* param : params) nano_message_free(nano_EventParam_table, param);
    return;
  }
  record->count = static_cast<std::uint32_t>(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) record->elements[i] = params[i];
}

// An empty EventParam message, or null.
MessageInfo* newProtoParameter() {
  auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (info != nullptr && nano_message_init(nano_EventParam_table, info)) return info;
  if (info != nullptr) nano_message_free(nano_EventParam_table, info);
  return nullptr;
}

void setProtoString(MessageInfo* info, std::int32_t index, const std::string& text) {
  nano_set_string(&info->values[index], reinterpret_cast<const std::uint8_t*>(text.data()),
                  static_cast<std::uint32_t>(text.size()));
}

// The typed value of a parameter that can go to the wire, or null after logging why it
// cannot: `nested` for the entries of an array element, where a further array is left out.
APMValuePtr wireValueOf(const std::string& name, const platform::Value& object,
                        const std::string& eventName, bool nested) {
  APMValuePtr value = APMValueOf(object);
  if (value == nullptr) {
    logLine(2, 16005, "Invalid event param value. Event name, param name",
            {APMEventNameForLog(platform::Value(eventName)),
             APMParameterNameForLog(platform::Value(name))});
    return nullptr;
  }
  if (nested && value->isArray()) {
    logLine(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
            {APMEventNameForLog(platform::Value(eventName)),
             APMParameterNameForLog(platform::Value(name))});
    return nullptr;
  }
  return value;
}

// The wire parameters of a parameter dictionary, built straight into the repeated field
// `record` of the message that holds them, as the accessors would store them but without a
// wrapper and a copy per parameter.
void fillProtoParameters(NanoArray* record, const platform::Dictionary& parameters,
                         const std::string& eventName, bool nested) {
  std::vector<MessageInfo*> params;
  params.reserve(parameters.size());
  for (const auto& [name, object] : parameters) {
    const APMValuePtr value = wireValueOf(name, object, eventName, nested);
    if (value == nullptr) continue;
    MessageInfo* param = newProtoParameter();
    if (param == nullptr) continue;
    setProtoString(param, kParamName, name);
    switch (value->valueType()) {
    case APMValue::kDouble:
      nano_set_double(&param->values[kParamDoubleValue], value->doubleValue());
      break;
    case APMValue::kInt64:
      nano_set_uint64(&param->values[kParamIntValue],
                      static_cast<std::uint64_t>(value->int64Value()));
      break;
    case APMValue::kString:
      if (const std::optional<std::string> text = value->stringValue())
        setProtoString(param, kParamStringValue, *text);
      break;
    case APMValue::kArray:
      if (const platform::Array* elements = value->arrayValue()) {
        std::vector<const platform::Dictionary*> entries;
        for (const platform::Value& element : *elements)
          if (const platform::Dictionary* fields = element.asDictionary())
            entries.push_back(fields);
        auto* items = static_cast<NanoArray*>(param->values[kParamParamValue]);
        std::vector<MessageInfo*> built;
        for (const platform::Dictionary* fields : entries) {
          MessageInfo* item = newProtoParameter();
          if (item == nullptr) continue;
          fillProtoParameters(static_cast<NanoArray*>(item->values[kParamParamValue]), *fields,
                              eventName, true);
          built.push_back(item);
        }
        adoptProtoParameters(items, built);
      }
      break;
    }
    params.push_back(param);
  }
  adoptProtoParameters(record, params);
}

// The event's bytes written as the message runtime writes the Event built by protoEvent():
// fields in the order of their numbers, every sub-message behind its length. A stored raw
// event is written for every logged event, and building the message first cost more than
// the SQLite insert.
class EventWriter {
 public:
  // Tags: field number and wire type, each one byte.
  static constexpr std::uint8_t kEventParamsTag = 1 << 3 | 2;
  static constexpr std::uint8_t kEventNameTag = 2 << 3 | 2;
  static constexpr std::uint8_t kEventTimestampTag = 3 << 3 | 0;
  static constexpr std::uint8_t kEventPreviousTimestampTag = 4 << 3 | 0;
  static constexpr std::uint8_t kParamNameTag = 1 << 3 | 2;
  static constexpr std::uint8_t kParamStringTag = 2 << 3 | 2;
  static constexpr std::uint8_t kParamIntTag = 3 << 3 | 0;
  static constexpr std::uint8_t kParamDoubleTag = 5 << 3 | 1;
  static constexpr std::uint8_t kParamItemsTag = 6 << 3 | 2;

  explicit EventWriter(const std::string& eventName) : eventName_(eventName) {
    bytes_.reserve(256);
  }

  void params(std::uint8_t tag, const platform::Dictionary& parameters, bool nested) {
    for (const auto& [name, object] : parameters) {
      const APMValuePtr value = wireValueOf(name, object, eventName_, nested);
      if (value == nullptr) continue;
      const std::size_t param = open(tag);
      text(kParamNameTag, name);
      switch (value->valueType()) {
      case APMValue::kDouble:
        fixed64(kParamDoubleTag, value->doubleValue());
        break;
      case APMValue::kInt64:
        varint(kParamIntTag, static_cast<std::uint64_t>(value->int64Value()));
        break;
      case APMValue::kString:
        if (const std::string* string = value->value().asString()) text(kParamStringTag, *string);
        break;
      case APMValue::kArray:
        if (const platform::Array* elements = value->arrayValue()) {
          for (const platform::Value& element : *elements) {
            const platform::Dictionary* fields = element.asDictionary();
            if (fields == nullptr) continue;
            const std::size_t item = open(kParamItemsTag);
            params(kParamItemsTag, *fields, true);
            close(item);
          }
        }
        break;
      }
      close(param);
    }
  }

  void text(std::uint8_t tag, const std::string& string) {
    // The runtime keeps a string's length in 32 bits.
    const auto length = static_cast<std::uint32_t>(string.size());
    bytes_.push_back(tag);
    number(length);
    bytes_.insert(bytes_.end(), string.data(), string.data() + length);
  }

  void varint(std::uint8_t tag, std::uint64_t value) {
    bytes_.push_back(tag);
    number(value);
  }

  void fixed64(std::uint8_t tag, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bytes_.push_back(tag);
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }

  // None when the message is beyond the size the runtime can write.
  std::optional<platform::Data> take() {
    if (bytes_.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      return std::nullopt;
    return platform::Data(std::move(bytes_));
  }

 private:
  void number(std::uint64_t value) {
    std::uint8_t buffer[10];
    bytes_.insert(bytes_.end(), buffer, buffer + encode(value, buffer));
  }

  static std::size_t encode(std::uint64_t value, std::uint8_t* buffer) {
    std::size_t count = 0;
    while (value >= 0x80) {
      buffer[count++] = static_cast<std::uint8_t>(value | 0x80);
      value >>= 7;
    }
    buffer[count++] = static_cast<std::uint8_t>(value);
    return count;
  }

  // A sub-message is written in place and its length put in front of it once known: it is
  // small, so moving it by the length's few bytes costs less than sizing it first.
  std::size_t open(std::uint8_t tag) {
    bytes_.push_back(tag);
    return bytes_.size();
  }

  void close(std::size_t start) {
    std::uint8_t buffer[10];
    const std::size_t count = encode(bytes_.size() - start, buffer);
    bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(start), buffer, buffer + count);
  }

  const std::string& eventName_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

std::int64_t APMMillisecondsFromSeconds(double seconds) {
  const double milliseconds = seconds * 1000;
  if (std::isnan(milliseconds)) return 0;
  // 2^63 is the first double beyond the range; a cast of it or of anything larger is
  // undefined.
  if (milliseconds >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (milliseconds <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(milliseconds);
}

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(const std::optional<std::string>& origin,
                                                   bool isPublic, const std::string& name,
                                                   double timestamp, double previousTimestamp,
                                                   const platform::Dictionary& parameters) {
  return make<APMEvent>(origin, isPublic, name, timestamp, previousTimestamp, parameters);
}

bool APMEvent::setUp(const std::optional<std::string>& origin, bool isPublic,
                     const std::string& name, double timestamp, double previousTimestamp,
                     const platform::Dictionary& parameters) {
  const std::optional<platform::Value> originObject =
      origin ? std::optional<platform::Value>(*origin) : std::nullopt;
  std::int64_t failure = kAPMValidationFailureNone;
  if (!APMDataTypeValidator::isValidForwardedEventOrigin(originObject, &failure) &&
      (failure != kAPMValidationFailureNotForwarded ||
       !APMDataTypeValidator::isValidInternalEventOrigin(originObject)))
    return false;
  const platform::Value nameObject(name);
  if (isPublic && !APMDataTypeValidator::isValidPublicEventName(nameObject)) return false;
  if (!APMDataTypeValidator::isValidInternalEventName(nameObject)) return false;
  if (previousTimestamp > timestamp)
    logLine(5, 16002, "Event created with previous timestamp after current timestamp");

  origin_ = *origin;
  name_ = name;
  timestamp_ = timestamp;
  previousTimestamp_ = previousTimestamp;
  parameters_ = APMSanitizedEventParameters(parameters, name_, isPublic, /*isItem=*/false)
                    .value_or(platform::Dictionary());
  parameters_.set("_o", platform::Value(APMValue::initWithString(platform::Value(origin_))));
  if (shouldValidateParams() && !APMValidateValueAndCurrency(parameters_)) parameters_.erase("_c");
  return true;
}

std::shared_ptr<APMEvent> APMEvent::copy() const { return copyWithParameters(parameters_); }

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::shared_ptr<APMEvent>
APMEvent::copyWithParameters(const platform::Dictionary& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

bool APMEvent::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

bool APMEvent::hasInt64One(std::string_view name) const {
  const platform::Value* object = parameters_.find(name);
  if (object == nullptr) return false;
  const APMValuePtr value = APMValueOf(*object);
  return value != nullptr && value->isInt64() && value->int64Value() == 1;
}

bool APMEvent::isConversion() const { return hasInt64One("_c"); }

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMValidateValueAndCurrency(parameters_)) return;
    parameters_.set("_c", int64Value(1));
    // The conversion limit no longer applies to an event that is a conversion again.
    if (const platform::Value* error = parameters_.find("_err")) {
      const APMValuePtr code = APMValueOf(*error);
      if (code != nullptr && code->isInt64() &&
          code->int64Value() == kAPMErrorCodeConversionEventLimitReached)
        parameters_.erase("_err");
    }
    return;
  }
  if (parameters_.erase("_c"))
    APMSetErrorCodeIfAbsent(parameters_, kAPMErrorCodeConversionEventLimitReached);
}

bool APMEvent::isRealtime() const {
  const platform::Value* object = parameters_.find("_r");
  if (object == nullptr) return false;
  const APMValuePtr value = APMValueOf(*object);
  if (value != nullptr && value->isInt64()) return value->int64Value() == 1;
  logLine(2, 16006, "Realtime parameter must be an int64. Event name", {platform::Value(name_)});
  return false;
}

void APMEvent::setRealtime(bool realtime) {
  if (realtime)
    parameters_.set("_r", int64Value(1));
  else
    parameters_.erase("_r");
}

bool APMEvent::isDebug() const { return hasInt64One("_dbg"); }

void APMEvent::setDebug(bool debug) {
  if (debug)
    parameters_.set("_dbg", int64Value(1));
  else
    parameters_.erase("_dbg");
}

void APMEvent::applyParameters(const platform::Dictionary& parameters) {
  if (parameters.empty()) return;
  auto merged = APMSanitizedEventParameters(parameters, std::nullopt, /*isPublic=*/true,
                                            /*isItem=*/false);
  if (!merged || merged->empty()) return;
  for (const auto& [name, value] : parameters_) merged->set(name, value);
  parameters_ = std::move(*merged);
}

bool APMEvent::addScreenParameters(const platform::Dictionary& screenParameters) {
  if (screenParameters.empty() || APMHasScreenParameters(parameters_)) return false;
  const platform::Value* screenID = screenParameters.find("_si");
  if (screenID == nullptr) return false;
  const platform::Value* screenClass = screenParameters.find("_sc");
  if (!isValidScreenText(screenClass, 16003, "Received invalid screen class")) return false;
  const APMValuePtr typedID = APMValueOf(*screenID);
  if (!screenID->isNumber() && !(typedID != nullptr && typedID->isInt64())) return false;
  const platform::Value* screenName = screenParameters.find("_sn");
  if (!isValidScreenText(screenName, 16004, "Received invalid screen name")) return false;

  const APMValuePtr id = APMValue::valueFromObject(*screenID);
  if (id == nullptr) return false;
  parameters_.set("_si", platform::Value(id));
  if (screenClass != nullptr)
    if (const APMValuePtr value = APMValue::valueFromObject(*screenClass))
      parameters_.set("_sc", platform::Value(value));
  if (screenName != nullptr)
    if (const APMValuePtr value = APMValue::valueFromObject(*screenName))
      parameters_.set("_sn", platform::Value(value));
  return true;
}

APMPEvent APMEvent::editEvent() const {
  const platform::Value* publicName = APMEventNameReverseMap().find(name_);
  std::string name =
      publicName != nullptr && publicName->isString() ? *publicName->asString() : name_;
  return APMPEvent(std::move(name), timestamp_, plainParameters(parameters_, true));
}

std::shared_ptr<APMEvent> APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
  const platform::Value* internalName = APMEventNameMap().find(editEvent.name());
  const std::string name = internalName != nullptr && internalName->isString()
                               ? *internalName->asString()
                               : editEvent.name();
  const platform::Value* origin = editEvent.parameters().find("_o");
  return initWithOrigin(origin != nullptr && origin->isString() ? *origin->asString() : "app",
                        false, name, editEvent.timestamp(), 0, editEvent.parameters());
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  if (proto == nullptr) return nullptr;
  nano_set_string_field(proto.get(), kEventName, name_);
  if (previousTimestamp_ > std::numeric_limits<double>::epsilon())
    nano_set_int64(proto.get(), kEventPreviousTimestampMillis,
                   APMMillisecondsFromSeconds(previousTimestamp_));
  nano_set_int64(proto.get(), kEventTimestampMillis, APMMillisecondsFromSeconds(timestamp_));
  fillProtoParameters(static_cast<NanoArray*>(proto->messageInfo()->values[kEventParams]),
                      parameters_, name_, false);
  return proto;
}

std::optional<platform::Data> APMEvent::protoBytes(bool withName) const {
  EventWriter writer(name_);
  writer.params(EventWriter::kEventParamsTag, parameters_, false);
  if (withName) writer.text(EventWriter::kEventNameTag, name_);
  writer.varint(EventWriter::kEventTimestampTag,
                static_cast<std::uint64_t>(APMMillisecondsFromSeconds(timestamp_)));
  if (previousTimestamp_ > std::numeric_limits<double>::epsilon())
    writer.varint(EventWriter::kEventPreviousTimestampTag,
                  static_cast<std::uint64_t>(APMMillisecondsFromSeconds(previousTimestamp_)));
  return writer.take();
}

std::shared_ptr<APMEvent> APMEvent::initWithEventProto(const APMPBEvent& proto) {
  const std::string name = nano_get_string(&proto, kEventName).value_or(std::string());
  const std::int64_t timestamp = nano_get_int64(&proto, kEventTimestampMillis);
  const std::int64_t previousTimestamp = nano_get_int64(&proto, kEventPreviousTimestampMillis);
  std::optional<std::string> origin;
  platform::Dictionary parameters;
  const auto params = nano_get_array(&proto, kEventParams, &APMPBEventParam::messageClass());
  if (params) {
    for (const NanoObject& element : *params) {
      const auto* messagePtr = std::get_if<NanoMessagePtr>(&element);
      if (messagePtr == nullptr || *messagePtr == nullptr) continue;
      const NANOMessageBase* param = messagePtr->get();
      const auto paramName = nano_get_string(param, kParamName);
      if (!paramName) {
        logLine(2, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                {platform::Value(name)});
        continue;
      }
      if (*paramName == "_o") {
        origin = nano_get_string(param, kParamStringValue);
        if (!origin) {
          logLine(2, 15001,
                  "Cannot create an event from event proto. Origin parameter is not a string. "
                  "Event name",
                  {platform::Value(name)});
          return nullptr;
        }
        continue;
      }
      APMValuePtr value;
      if (nano_has_field(param, kParamStringValue))
        value = APMValue::initWithString(
            platform::Value(nano_get_string(param, kParamStringValue).value_or(std::string())));
      else if (nano_has_field(param, kParamIntValue))
        value = APMValue::initWithInt64(nano_get_int64(param, kParamIntValue));
      else if (nano_has_field(param, kParamDoubleValue))
        value = APMValue::initWithDouble(nano_get_double(param, kParamDoubleValue));
      if (value == nullptr) {
        logLine(5, 15002,
                "Unknown event parameter type from converting an event proto into APMEvent "
                "instance. Event param name",
                {APMParameterNameForLog(platform::Value(*paramName))});
        continue;
      }
      parameters.set(*paramName, platform::Value(value));
    }
  }
  return initWithOrigin(origin, false, name, static_cast<double>(timestamp) / 1000.0,
                        static_cast<double>(previousTimestamp) / 1000.0, parameters);
}

bool APMIsErrorEvent(const APMEvent* event) {
  if (event == nullptr || event->name().empty()) {
    logLine(2, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return event->name() == "_err";
}

bool APMIsSubscriptionEvent(const APMEvent* event) {
  if (event == nullptr) return false;
  const std::string& name = event->name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != "_iap") return false;
  const platform::Value* object = event->parameters().find("subscription");
  const APMValuePtr value = object != nullptr ? APMValueOf(*object) : nullptr;
  return value != nullptr && value->isInt64() && value->int64Value() == 1;
}

std::int32_t APMArrayParameterItemCount(const APMEvent* event) {
  if (event == nullptr) return 0;
  std::int64_t count = 0;
  for (const auto& entry : event->parameters())
    if (const APMValuePtr value = APMValueOf(entry.second))
      if (const platform::Array* items = value->arrayValue())
        count += static_cast<std::int64_t>(items->size());
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}
