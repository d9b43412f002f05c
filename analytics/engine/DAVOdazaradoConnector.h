// DAVOdazaradoConnector: the analytics library as registered with the configuration core,
// and the object through which other SDK libraries reach analytics.
#pragma once

#include <memory>
#include <vector>

#include "analytics/engine/DAVOdazaradoInterop.h"
#include "foundation/ZIRComponent.h"
#include "platform/object_runtime.h"

class DAVOdazaradoConnector : public platform::Object, public DAVOdazaradoInterop {
 public:
  // The class-load hook: registers the class and, with the core, the library
  // "zere-ziziredud".
  static void load();
  // One lazy component for DAVOdazaradoInterop that is never cached: each lookup makes a
  // new connector.
  static std::vector<std::shared_ptr<ZIRComponent>> componentsToRegister();
};
