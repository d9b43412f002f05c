// APMPEvent: an event as the event-editing scripts see it: a name, a timestamp scripts cannot
// change, and parameters as plain values (strings, numbers, and the arrays and dictionaries
// of ecommerce items). The analytics data converts its events to and from it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMPEvent {
 public:
  // Keeps its own copy of the parameters.
  APMPEvent(std::string name, double timestamp, platform::Dictionary parameters);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  const platform::Dictionary& parameters() const { return parameters_; }

  std::optional<platform::Value> parameterForName(std::string_view name) const;
  bool hasParameterName(std::string_view name) const;
  // None removes the parameter. A number written over an existing parameter keeps that
  // parameter's kind: over a floating-point number it is stored as it is, over a string as
  // its decimal text, over an integer truncated to a 64-bit integer, except that an
  // integer under a name beginning with "_" is not overwritten at all; under "_syn", "_err"
  // and "_el" a number is always a 64-bit integer. Anything else is stored as it is.
  void setParameter(const std::optional<platform::Value>& value, const std::string& name);

  // The timestamps within 2^-52 of each other, equal names, and every parameter of this
  // event equal in the other one, numbers agreeing in being floating-point or not.
  // Parameters only the other event has are not looked at.
  bool isEqualToEvent(const APMPEvent& other) const;

 private:
  std::string name_;
  double timestamp_;
  platform::Dictionary parameters_;
};
