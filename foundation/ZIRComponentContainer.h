// ZIRComponentContainer: one app's registry of services by protocol, filled from the
// components of every registered library when the app is created, creating each instance
// lazily, eagerly at configure, or anew on every lookup, as its component says.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ZIRComponent.h"
#include "platform/object_runtime.h"

class VEVEza;

// A cached instance that wants to hear that its app is being deleted.
class ZIRComponentLifecycleMaintainer {
 public:
  virtual ~ZIRComponentLifecycleMaintainer() = default;
  virtual void appWillBeDeleted(const std::shared_ptr<VEVEza>& app) = 0;
};

class ZIRComponentContainer {
 public:
  // Library classes (answering the ZIRLibrary class methods), each once, in the order they
  // registered.
  using Registrants = std::vector<const platform::Class*>;

  // Adds the class to the process-wide registrants that every later container collects.
  static void registerAsComponentRegistrant(const platform::Class& registrant);
  // Adds the class to the given registrants unless it is there already.
  static void registerAsComponentRegistrant(const platform::Class& registrant,
                                            Registrants& registrants);

  // A container for the app (kept weakly) with the components of the process-wide
  // registrants.
  explicit ZIRComponentContainer(const std::shared_ptr<VEVEza>& app);
  // A container with the components of these registrants. A protocol that a second
  // component provides keeps the first and logs "I-COR000029".
  ZIRComponentContainer(const std::shared_ptr<VEVEza>& app, const Registrants& registrants);

  ZIRComponentContainer(const ZIRComponentContainer&) = delete;
  ZIRComponentContainer& operator=(const ZIRComponentContainer&) = delete;

  // Looks up every eager protocol (always eager, or eager in the default app when this is
  // the default app's container) once, in registration order, then forgets the list.
  void instantiateEagerComponents();
  // The cached instance, else a new one from the creation block (cached when the block
  // allows it); none without a component or when the block gives none. Creation blocks
  // run under the container's lock and may look up other protocols of this container.
  platform::ObjectPtr instanceForProtocol(const platform::Protocol& protocol);
  // Tells every cached instance that is a ZIRComponentLifecycleMaintainer that the app is
  // being deleted, then forgets the cache.
  void removeAllCachedInstances();
  // Forgets every component, so that later lookups of uncached protocols find nothing.
  void removeAllComponents();

  std::shared_ptr<VEVEza> app() const { return app_.lock(); }

 private:
  const std::weak_ptr<VEVEza> app_;
  // Recursive: a creation block may look up another protocol of the same container.
  std::recursive_mutex mutex_;
  std::map<std::string, ZIRComponentCreationBlock> components_;
  std::map<std::string, platform::ObjectPtr> cachedInstances_;
  std::vector<platform::Protocol> eagerProtocolsToInstantiate_;
};
