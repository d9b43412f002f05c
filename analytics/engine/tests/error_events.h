// ErrorEvents: the error events ("_err") the client logs through its internal event front,
// by their codes, for tests that install it with APMSetInternalEventLogging.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMValue.h"
#include "platform/value.h"

namespace analytics_test {

class ErrorEvents : public APMInternalEventLogging {
 public:
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) override {
    if (origin != "auto" || name != "_err") return;
    std::lock_guard lock(mutex_);
    const platform::Value& code = parameters["_err"];
    const auto typed = APMValueOf(code);
    codes_.push_back(typed ? typed->int64Value() : code.integerValue());
  }
  std::vector<std::int64_t> codes() const {
    std::lock_guard lock(mutex_);
    return codes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int64_t> codes_;
};

}  // namespace analytics_test
