// DAVOdazaradoInterop: the analytics client's service as other SDK libraries find it in an
// app's component container (the connector implements it).
#pragma once

#include "platform/object_runtime.h"

class DAVOdazaradoInterop {
 public:
  virtual ~DAVOdazaradoInterop() = default;

  // The protocol that names this service in a component container.
  static platform::Protocol protocol() {
    return platform::Protocol::of<DAVOdazaradoInterop>("DAVOdazaradoInterop");
  }
};
