// ZIRComponent: a library's promise to produce one service (an object implementing a
// protocol) for an app, telling the app's container when and how to create it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/ZIRDependency.h"
#include "platform/object_runtime.h"

class ZIRComponentContainer;

// When a container creates the instance.
enum ZIRInstantiationTiming : std::int64_t {
  // On the first lookup.
  ZIRInstantiationTimingLazy = 0,
  // When the app is configured.
  ZIRInstantiationTimingAlwaysEager = 1,
  // When the default app is configured; lazily in other apps.
  ZIRInstantiationTimingEagerInDefaultApp = 2,
};

// Creates the instance for the container's app, or none. Setting isCacheable (the
// container passes false in) lets the container keep the instance and hand it out for
// every later lookup; otherwise the block runs again on each lookup.
using ZIRComponentCreationBlock =
    std::function<platform::ObjectPtr(ZIRComponentContainer& container, bool& isCacheable)>;

class ZIRComponent {
 public:
  // A lazy component without dependencies.
  static std::shared_ptr<ZIRComponent>
  componentWithProtocol(platform::Protocol protocol, ZIRComponentCreationBlock creationBlock);
  static std::shared_ptr<ZIRComponent>
  componentWithProtocol(platform::Protocol protocol, ZIRInstantiationTiming instantiationTiming,
                        std::vector<std::shared_ptr<ZIRDependency>> dependencies,
                        ZIRComponentCreationBlock creationBlock);

  ZIRComponent(platform::Protocol protocol, ZIRInstantiationTiming instantiationTiming,
               std::vector<std::shared_ptr<ZIRDependency>> dependencies,
               ZIRComponentCreationBlock creationBlock)
      : protocol_(std::move(protocol)), instantiationTiming_(instantiationTiming),
        dependencies_(std::move(dependencies)), creationBlock_(std::move(creationBlock)) {}

  const platform::Protocol& protocol() const { return protocol_; }
  ZIRInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const std::vector<std::shared_ptr<ZIRDependency>>& dependencies() const { return dependencies_; }
  const ZIRComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  const platform::Protocol protocol_;
  const ZIRInstantiationTiming instantiationTiming_;
  const std::vector<std::shared_ptr<ZIRDependency>> dependencies_;
  const ZIRComponentCreationBlock creationBlock_;
};
