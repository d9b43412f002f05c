// ZIRMessagingInterop: the messaging client's service as SDK libraries and the client's own
// facade find it in the default app's component container.
#pragma once

#include "platform/object_runtime.h"

class ZIRMessagingInterop {
 public:
  virtual ~ZIRMessagingInterop() = default;

  // The protocol that names this service in a component container.
  static platform::Protocol protocol() {
    return platform::Protocol::of<ZIRMessagingInterop>("ZIRMessagingInterop");
  }
};
