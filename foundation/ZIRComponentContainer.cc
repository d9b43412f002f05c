#include "foundation/ZIRComponentContainer.h"

#include <algorithm>

#include "foundation/VEVEza.h"
#include "foundation/ZIRLibrary.h"
#include "foundation/ZIRLogger.h"

namespace {

constexpr const char* kService = "[ZiruzadaCore]";

// The process-wide registrants. Libraries register from their load hooks and from the
// first configure, while containers are being made on whatever thread configures: guarded.
struct ProcessRegistrants {
  std::mutex mutex;
  ZIRComponentContainer::Registrants registrants;
};

ProcessRegistrants& processRegistrants() {
  static ProcessRegistrants* const shared = new ProcessRegistrants;
  return *shared;
}

ZIRComponentContainer::Registrants currentRegistrants() {
  ProcessRegistrants& p = processRegistrants();
  std::lock_guard lock(p.mutex);
  return p.registrants;
}

// The one app and sender for which a diagnostic component is left out.
ZIRComponentContainer::Registrants registrantsFor(const std::shared_ptr<VEVEza>& app) {
  ZIRComponentContainer::Registrants registrants = currentRegistrants();
  if (app && app->name() == "XRCoreVEVEza" && app->options()->RCMSenderID() == "480963775968") {
    if (const platform::Class* check =
            platform::ObjectRuntime::classNamed("VEVEzaCheckComponent")) {
      std::erase(registrants, check);
    }
  }
  return registrants;
}

}  // namespace

void ZIRComponentContainer::registerAsComponentRegistrant(const platform::Class& registrant) {
  ProcessRegistrants& p = processRegistrants();
  std::lock_guard lock(p.mutex);
  registerAsComponentRegistrant(registrant, p.registrants);
}

void ZIRComponentContainer::registerAsComponentRegistrant(const platform::Class& registrant,
                                                          Registrants& registrants) {
  if (std::find(registrants.begin(), registrants.end(), &registrant) == registrants.end()) {
    registrants.push_back(&registrant);
  }
}

ZIRComponentContainer::ZIRComponentContainer(const std::shared_ptr<VEVEza>& app)
    : ZIRComponentContainer(app, registrantsFor(app)) {}

ZIRComponentContainer::ZIRComponentContainer(const std::shared_ptr<VEVEza>& app,
                                             const Registrants& registrants)
    : app_(app) {
  const bool isDefaultApp = app && app->isDefaultApp();
  for (const platform::Class* registrant : registrants) {
    const auto componentsToRegister = registrant->classMethod<ZIRLibraryComponentsToRegister>(
        kZIRLibraryComponentsToRegisterSelector);
    if (!componentsToRegister) continue;
    for (const std::shared_ptr<ZIRComponent>& component : componentsToRegister()) {
      if (!component) continue;
      const std::string& key = component->protocol().name();
      if (components_.contains(key)) {
        ZIRLogAtError(kService, "I-COR000029",
                      "Attempted to register protocol %@, but it already has an implementation.",
                      {key});
        continue;
      }
      components_.emplace(key, component->creationBlock());
      const ZIRInstantiationTiming timing = component->instantiationTiming();
      if (timing == ZIRInstantiationTimingAlwaysEager ||
          (timing == ZIRInstantiationTimingEagerInDefaultApp && isDefaultApp)) {
        eagerProtocolsToInstantiate_.push_back(component->protocol());
      }
    }
  }
}

void ZIRComponentContainer::instantiateEagerComponents() {
  std::lock_guard lock(mutex_);
  for (const platform::Protocol& protocol : eagerProtocolsToInstantiate_) {
    instanceForProtocol(protocol);
  }
  eagerProtocolsToInstantiate_.clear();
}

platform::ObjectPtr ZIRComponentContainer::instanceForProtocol(const platform::Protocol& protocol) {
  std::lock_guard lock(mutex_);
  const std::string& key = protocol.name();
  if (const auto cached = cachedInstances_.find(key); cached != cachedInstances_.end()) {
    return cached->second;
  }
  const auto component = components_.find(key);
  if (component == components_.end() || !component->second) return nullptr;
  // A copy: the block may look up other protocols, and nothing it does may pull the block
  // it is running out from under it.
  const ZIRComponentCreationBlock creationBlock = component->second;
  bool isCacheable = false;
  platform::ObjectPtr instance = creationBlock(*this, isCacheable);
  if (!instance) return nullptr;
  if (!protocol.isConformedBy(*instance)) {
    ZIRLogAtError(kService, "I-COR000030",
                  "An instance conforming to %@ was requested, but the instance provided does "
                  "not conform to the protocol",
                  {key});
  }
  if (isCacheable) cachedInstances_.emplace(key, instance);
  return instance;
}

void ZIRComponentContainer::removeAllCachedInstances() {
  std::lock_guard lock(mutex_);
  const std::shared_ptr<VEVEza> owner = app();
  // A copy: an instance told of the deletion may still look up protocols of this container.
  const auto cachedInstances = cachedInstances_;
  for (const auto& [key, instance] : cachedInstances) {
    if (auto maintainer = std::dynamic_pointer_cast<ZIRComponentLifecycleMaintainer>(instance)) {
      maintainer->appWillBeDeleted(owner);
    }
  }
  cachedInstances_.clear();
}

void ZIRComponentContainer::removeAllComponents() {
  std::lock_guard lock(mutex_);
  components_.clear();
}
