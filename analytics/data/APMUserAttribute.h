// APMUserAttribute: one user property as the analytics client keeps it: who set it, its
// internal name, its typed value and when it was last set. Immutable; a new value for the
// same property is a new attribute.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMValue.h"
#include "analytics/messages/APMPBMessages.h"

class APMUserAttribute {
 public:
  // Null when the name is not a valid internal user property name or the value (an
  // APMValue inside the Value) not a valid value for it; the checks log their own reasons.
  // The origin is not checked.
  static std::shared_ptr<const APMUserAttribute>
  initWithOrigin(std::optional<std::string> origin, const std::string& name,
                 const std::optional<platform::Value>& value, double lastSetTimestamp);

  const std::optional<std::string>& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValuePtr& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }

  // Set by the application rather than by the client itself: a name not beginning with "_".
  bool isPublic() const;
  // The wire form; the origin is not part of it.
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

 private:
  APMUserAttribute(std::optional<std::string> origin, std::string name, APMValuePtr value,
                   double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

  std::optional<std::string> origin_;
  std::string name_;
  APMValuePtr value_;
  double lastSetTimestamp_;
};
