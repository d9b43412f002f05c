// ZULHeartbeatDateStorable: a store that remembers, per tag, the date of the last heartbeat
// sent for that tag.
#pragma once

#include <optional>
#include <string>

#include "platform/date.h"
#include "platform/value.h"

class ZULHeartbeatDateStorable {
 public:
  virtual ~ZULHeartbeatDateStorable() = default;

  // The object remembered for the tag, or none; what kind of object depends on the store.
  virtual std::optional<platform::Value> heartbeatDateForTag(const std::string& tag) = 0;
  // Remembers the date for the tag; whether it was saved. The name keeps the platform's
  // spelling, which callers look it up by.
  virtual bool setHearbeatDate(const platform::Date& date, const std::string& forTag) = 0;
};
