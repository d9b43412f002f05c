// APMAnalytics: the analytics client's internal entry between the public front and the
// measurement engine. Until the engine installs itself as the sink, what arrives here is
// accepted and dropped.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class APMAnalytics {
 public:
  // Whatever takes the events and user identifiers further (the measurement engine).
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                    const platform::Dictionary& parameters) = 0;
    virtual void setUserID(const std::optional<std::string>& userID) = 0;
  };

  // Installs the sink for the whole process; nullptr drops everything from now on.
  static void setSink(std::shared_ptr<Sink> sink);

  // Handed to the sink on the caller's thread.
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters);
  // None removes the identifier.
  static void setUserID(const std::optional<std::string>& userID);
};
