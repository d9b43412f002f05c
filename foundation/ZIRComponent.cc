#include "foundation/ZIRComponent.h"

std::shared_ptr<ZIRDependency> ZIRDependency::dependencyWithProtocol(platform::Protocol protocol) {
  return dependencyWithProtocol(std::move(protocol), true);
}

std::shared_ptr<ZIRDependency> ZIRDependency::dependencyWithProtocol(platform::Protocol protocol,
                                                                     bool isRequired) {
  return std::make_shared<ZIRDependency>(std::move(protocol), isRequired);
}

std::shared_ptr<ZIRComponent>
ZIRComponent::componentWithProtocol(platform::Protocol protocol,
                                    ZIRComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), ZIRInstantiationTimingLazy, {},
                               std::move(creationBlock));
}

std::shared_ptr<ZIRComponent>
ZIRComponent::componentWithProtocol(platform::Protocol protocol,
                                    ZIRInstantiationTiming instantiationTiming,
                                    std::vector<std::shared_ptr<ZIRDependency>> dependencies,
                                    ZIRComponentCreationBlock creationBlock) {
  return std::make_shared<ZIRComponent>(std::move(protocol), instantiationTiming,
                                        std::move(dependencies), std::move(creationBlock));
}
