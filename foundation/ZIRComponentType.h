// ZIRComponentType: the one lookup through which libraries reach each other's services,
// typed as the interface class the caller knows the protocol by.
#pragma once

#include <memory>

#include "foundation/ZIRComponentContainer.h"

template <typename T> class ZIRComponentType {
 public:
  // The container's instance for the protocol (cached, or made by the registered creation
  // block); none without a container or a component for the protocol, or when the
  // instance does not implement T.
  static std::shared_ptr<T>
  instanceForProtocol(const platform::Protocol& protocol,
                      const std::shared_ptr<ZIRComponentContainer>& container) {
    if (!container) return nullptr;
    return std::dynamic_pointer_cast<T>(container->instanceForProtocol(protocol));
  }
};
