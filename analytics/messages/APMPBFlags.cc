#include "analytics/messages/APMPBFlags.h"

#include "analytics/messages/APMServices.h"
#include "platform/keyed_archive.h"

namespace {

// The class of an object as a monitor context shows it; nil has no class.
platform::Value classOf(const std::optional<platform::Value>& object) {
  if (!object) return platform::Value();
  return platform::classNameOf(*object);
}

constexpr std::int64_t kErrorLevel = 1;

}  // namespace

std::optional<platform::Value> flagValueObject(const NANOMessageBase* flag) {
  if (flag == nullptr) return std::nullopt;
  if (nano_has_field(flag, kAPMPBFlagInt64Value))
    return platform::Value(nano_get_int64(flag, kAPMPBFlagInt64Value));
  if (nano_has_field(flag, kAPMPBFlagDoubleValue))
    return platform::Value(nano_get_double(flag, kAPMPBFlagDoubleValue));
  if (nano_has_field(flag, kAPMPBFlagStringValue)) {
    std::optional<std::string> text = nano_get_string(flag, kAPMPBFlagStringValue);
    if (!text) return std::nullopt;
    return platform::Value(std::move(*text));
  }
  if (nano_has_field(flag, kAPMPBFlagBoolValue))
    return platform::Value(nano_get_bool(flag, kAPMPBFlagBoolValue));
  return std::nullopt;
}

std::shared_ptr<APMPBFlag> flagWithNameAndValue(const std::optional<platform::Value>& name,
                                                const std::optional<platform::Value>& value) {
  if (!name) {
    APMServicesMonitor()->logWithLevel(kErrorLevel, 850000, "Flag name must not be nil");
    return nullptr;
  }
  const std::string* nameText = name->asString();
  if (nameText == nullptr) {
    APMServicesMonitor()->logWithLevel(kErrorLevel, 850001, "Flag name must be a string",
                                       {classOf(name)});
    return nullptr;
  }
  if (!value || !(value->isNumber() || value->isString())) {
    APMServicesMonitor()->logWithLevel(kErrorLevel, 850002, "Flag value is invalid",
                                       {classOf(value)});
    return nullptr;
  }
  std::shared_ptr<APMPBFlag> flag = APMPBFlag::initWithBuffer(nullptr);
  if (flag == nullptr) return nullptr;
  nano_set_string_field(flag.get(), kAPMPBFlagName, *nameText);
  if (const std::string* text = value->asString())
    nano_set_string_field(flag.get(), kAPMPBFlagStringValue, *text);
  else if (value->type() == platform::Value::Type::Double)
    nano_set_double_field(flag.get(), kAPMPBFlagDoubleValue, value->doubleValue());
  else
    nano_set_int64(flag.get(), kAPMPBFlagInt64Value, value->longLongValue());
  return flag;
}
