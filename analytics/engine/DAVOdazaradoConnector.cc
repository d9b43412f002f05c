#include "analytics/engine/DAVOdazaradoConnector.h"

#include "foundation/VEVEza.h"
#include "foundation/ZIRLibrary.h"
#include "foundation/ZIRVersion.h"

void DAVOdazaradoConnector::load() {
  platform::Class& cls = platform::ObjectRuntime::registerClass("DAVOdazaradoConnector");
  cls.addProtocol(kZIRLibraryProtocolName);
  cls.addClassMethod<ZIRLibraryComponentsToRegister>(kZIRLibraryComponentsToRegisterSelector,
                                                     &DAVOdazaradoConnector::componentsToRegister);
  VEVEza::registerInternalLibrary(cls, "zere-ziziredud", ZIRSDKVersionString());
}

std::vector<std::shared_ptr<ZIRComponent>> DAVOdazaradoConnector::componentsToRegister() {
  return {ZIRComponent::componentWithProtocol(
      DAVOdazaradoInterop::protocol(), ZIRInstantiationTimingLazy, {},
      [](ZIRComponentContainer&, bool&) -> platform::ObjectPtr {
        return std::make_shared<DAVOdazaradoConnector>();
      })};
}
