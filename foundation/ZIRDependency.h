// ZIRDependency: a component's declared need of another protocol, carried with the
// component for documentation and never evaluated by the container.
#pragma once

#include <memory>

#include "platform/object_runtime.h"

class ZIRDependency {
 public:
  // A required dependency.
  static std::shared_ptr<ZIRDependency> dependencyWithProtocol(platform::Protocol protocol);
  static std::shared_ptr<ZIRDependency> dependencyWithProtocol(platform::Protocol protocol,
                                                               bool isRequired);

  ZIRDependency(platform::Protocol protocol, bool isRequired)
      : protocol_(std::move(protocol)), isRequired_(isRequired) {}

  const platform::Protocol& protocol() const { return protocol_; }
  bool isRequired() const { return isRequired_; }

 private:
  const platform::Protocol protocol_;
  const bool isRequired_;
};
