// Library classes that tests register in the object runtime, and a service they provide,
// for tests of the component registry and the configure sequence.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "foundation/ZIRComponent.h"
#include "foundation/ZIRLibrary.h"
#include "platform/object_runtime.h"

// The interface of test services; protocols of any name can be made over it.
class TestService {
 public:
  virtual ~TestService() = default;
};

class TestServiceObject : public platform::Object, public TestService {};

// An object that implements no test interface.
class UnrelatedObject : public platform::Object {};

inline platform::Protocol testProtocol(const std::string& name) {
  return platform::Protocol::of<TestService>(name);
}

// Registers (in the runtime only) a library class with these class methods.
inline platform::Class&
registerTestLibraryClass(const std::string& className,
                         std::function<ZIRLibraryComponentsToRegister> componentsToRegister,
                         std::function<ZIRLibraryConfigureWithApp> configureWithApp = {}) {
  platform::Class& cls = platform::ObjectRuntime::registerClass(className);
  cls.addProtocol(kZIRLibraryProtocolName);
  cls.addClassMethod(kZIRLibraryComponentsToRegisterSelector, std::move(componentsToRegister));
  if (configureWithApp) {
    cls.addClassMethod(kZIRLibraryConfigureWithAppSelector, std::move(configureWithApp));
  }
  return cls;
}

// A component whose creation block makes a TestServiceObject, counts its runs and allows
// caching when asked to.
inline std::shared_ptr<ZIRComponent> countingComponent(const std::string& protocolName,
                                                       ZIRInstantiationTiming timing,
                                                       std::shared_ptr<std::atomic<int>> creations,
                                                       bool cacheable = true) {
  return ZIRComponent::componentWithProtocol(
      testProtocol(protocolName), timing, {},
      [creations, cacheable](ZIRComponentContainer&, bool& isCacheable) -> platform::ObjectPtr {
        ++*creations;
        isCacheable = cacheable;
        return std::make_shared<TestServiceObject>();
      });
}
