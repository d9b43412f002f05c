#include "analytics/data/APMUserAttribute.h"

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMEvent.h"
#include "analytics/messages/APMPBFieldIndexes.h"

namespace {

using namespace APMPBUserAttributeFields;

}  // namespace

std::shared_ptr<const APMUserAttribute>
APMUserAttribute::initWithOrigin(std::optional<std::string> origin, const std::string& name,
                                 const std::optional<platform::Value>& value,
                                 double lastSetTimestamp) {
  const platform::Value nameObject(name);
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(nameObject) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(value, nameObject))
    return nullptr;
  return std::shared_ptr<const APMUserAttribute>(
      new APMUserAttribute(std::move(origin), name, APMValueOf(*value), lastSetTimestamp));
}

bool APMUserAttribute::isPublic() const { return !name_.empty() && name_.front() != '_'; }

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto proto = APMPBUserAttribute::initWithMessageInfo(nullptr);
  if (proto == nullptr) return nullptr;
  nano_set_string_field(proto.get(), kName, name_);
  if (value_->isDouble()) {
    nano_set_double_field(proto.get(), kDoubleValue, value_->doubleValue());
  } else if (value_->isInt64()) {
    nano_set_int64(proto.get(), kIntValue, value_->int64Value());
  } else if (const auto text = value_->stringValue()) {
    nano_set_string_field(proto.get(), kStringValue, *text);
  }
  nano_set_int64(proto.get(), kSetTimestampMillis, APMMillisecondsFromSeconds(lastSetTimestamp_));
  return proto;
}
