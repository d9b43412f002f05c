#include "platform/object_runtime.h"

#include <algorithm>
#include <typeindex>
#include <unordered_map>

#include "platform/error.h"
#include "platform/format.h"

namespace platform {

// What an object carries only once something is attached to it or observes it.
struct ObjectSideTable {
  struct Observation {
    std::weak_ptr<KeyValueObserver> observer;
    const KeyValueObserver* identity = nullptr;
    std::string keyPath;
    unsigned options = 0;
    void* context = nullptr;
  };

  std::mutex mutex;
  std::map<const void*, std::any> associations;
  std::vector<Observation> observations;
};

namespace {

constexpr const char* kRootClassName = "NSObject";

struct Runtime {
  Runtime() {
    auto root = std::make_unique<Class>(kRootClassName, nullptr, sizeof(Object));
    rootClass = root.get();
    classes.emplace(kRootClassName, std::move(root));
    rootClass->addMethod(
        kDescriptionSelector, std::function<std::string(Object&)>([](Object& self) -> std::string {
          return format("<%@: %p>",
                        {ObjectRuntime::classOf(self).name(), static_cast<const void*>(&self)});
        }));
  }

  std::mutex classesMutex;
  std::map<std::string, std::unique_ptr<Class>, std::less<>> classes;
  std::vector<std::unique_ptr<Class>> allocated;
  // Classes registered for C++ types, with the test telling whether an object is of one.
  struct TypedClass {
    Class* cls;
    ObjectRuntime::TypeProbe probe;
  };
  std::unordered_map<std::type_index, TypedClass> classesByType;
  // The class found for types registered by none, through the types they derive from;
  // forgotten whenever a type is registered.
  std::unordered_map<std::type_index, Class*> resolvedTypes;
  Class* rootClass = nullptr;

  // Held while hooks run, so that a concurrent start-up waits for them; recursive, as a
  // hook may run a list of its own.
  std::recursive_mutex hooksMutex;
  std::set<ObjectRuntime::LoadHook> hooksRun;
};

// Never destroyed: classes are looked up until the very end of the process.
Runtime& runtime() {
  static Runtime* const shared = new Runtime;
  return *shared;
}

class ForwardingImplementation final : public Implementation {
 public:
  const std::type_info& signature() const override { return typeid(ForwardingImplementation); }
};

void checkSignature(const IMP& replaced, const IMP& replacement, const std::string& className,
                    std::string_view selector) {
  if (replaced && replacement && replaced->signature() != replacement->signature() &&
      replaced != ObjectRuntime::forwardingImplementation() &&
      replacement != ObjectRuntime::forwardingImplementation()) {
    throw Exception("NSInvalidArgumentException",
                    format("Implementation for %@ of %@ has another signature than the method",
                           {std::string(selector), className}));
  }
}

}  // namespace

// ---- Object

Object::~Object() { delete side_.load(std::memory_order_acquire); }

ObjectSideTable& Object::sideTable() const {
  ObjectSideTable* table = side_.load(std::memory_order_acquire);
  if (table) return *table;
  auto fresh = std::make_unique<ObjectSideTable>();
  if (side_.compare_exchange_strong(table, fresh.get(), std::memory_order_acq_rel)) {
    return *fresh.release();
  }
  return *table;
}

void Object::addObserver(const std::shared_ptr<KeyValueObserver>& observer, std::string keyPath,
                         unsigned options, void* context) {
  if (!observer) return;
  ObjectSideTable& table = sideTable();
  std::lock_guard lock(table.mutex);
  table.observations.push_back({observer, observer.get(), std::move(keyPath), options, context});
}

void Object::removeObserver(const KeyValueObserver* observer, std::string_view keyPath,
                            void* context) {
  ObjectSideTable& table = sideTable();
  {
    std::lock_guard lock(table.mutex);
    auto& list = table.observations;
    // The most recent matching registration goes first, as registrations nest.
    const auto found = std::find_if(list.rbegin(), list.rend(), [&](const auto& o) {
      return o.identity == observer && o.keyPath == keyPath && o.context == context;
    });
    if (found != list.rend()) {
      list.erase(std::next(found).base());
      return;
    }
  }
  throw Exception("NSRangeException",
                  format("Cannot remove an observer <%p> for the key path \"%@\" from <%@ %p> "
                         "because it is not registered as an observer.",
                         {static_cast<const void*>(observer), std::string(keyPath),
                          ObjectRuntime::classOf(*this).name(), static_cast<const void*>(this)}));
}

void Object::didChangeValueForKey(std::string_view keyPath, const ObjectPtr& oldValue,
                                  const ObjectPtr& newValue) {
  if (!side_.load(std::memory_order_acquire)) return;
  ObjectSideTable& table = sideTable();
  std::vector<ObjectSideTable::Observation> matching;
  {
    std::lock_guard lock(table.mutex);
    // Registrations of observers that are gone stay until removed: their owner may still
    // remove them (from a destructor, say), and that must not fail.
    for (const auto& o : table.observations) {
      if (o.keyPath == keyPath) matching.push_back(o);
    }
  }
  // Observers run unlocked: they commonly add or remove observations themselves.
  for (const auto& o : matching) {
    const auto observer = o.observer.lock();
    if (!observer) continue;
    KeyValueChange change;
    if (o.options & kKeyValueObservingOptionOld) change.oldValue = oldValue;
    if (o.options & kKeyValueObservingOptionNew) change.newValue = newValue;
    observer->observeValueForKeyPath(keyPath, *this, change, o.context);
  }
}

// ---- Class

bool Class::isSubclassOfClass(const Class& other) const {
  for (const Class* c = this; c; c = c->superclass_) {
    if (c == &other) return true;
  }
  return false;
}

void Class::addProtocol(std::string_view protocolName) {
  std::lock_guard lock(mutex_);
  protocols_.emplace(protocolName);
}

bool Class::conformsToProtocol(std::string_view protocolName) const {
  for (const Class* c = this; c; c = c->superclass_) {
    std::lock_guard lock(c->mutex_);
    if (c->protocols_.find(protocolName) != c->protocols_.end()) return true;
  }
  return false;
}

IMP Class::lookUp(MethodTable Class::*table, std::string_view selector) const {
  for (const Class* c = this; c; c = c->superclass_) {
    std::lock_guard lock(c->mutex_);
    const auto found = (c->*table).find(selector);
    if (found != (c->*table).end()) return found->second;
  }
  return nullptr;
}

IMP Class::replaceIn(MethodTable Class::*table, std::string_view selector, IMP implementation) {
  checkSignature(lookUp(table, selector), implementation, name_, selector);
  std::lock_guard lock(mutex_);
  auto found = (this->*table).find(selector);
  if (found == (this->*table).end()) {
    (this->*table).emplace(std::string(selector), std::move(implementation));
    return nullptr;
  }
  return std::exchange(found->second, std::move(implementation));
}

bool Class::addMethod(std::string_view selector, IMP implementation) {
  std::lock_guard lock(mutex_);
  return instanceMethods_.emplace(std::string(selector), std::move(implementation)).second;
}

IMP Class::replaceMethod(std::string_view selector, IMP implementation) {
  return replaceIn(&Class::instanceMethods_, selector, std::move(implementation));
}

IMP Class::setMethodImplementation(std::string_view selector, IMP implementation) {
  for (Class* c = this; c; c = c->superclass_) {
    std::lock_guard lock(c->mutex_);
    auto found = c->instanceMethods_.find(selector);
    if (found == c->instanceMethods_.end()) continue;
    checkSignature(found->second, implementation, c->name_, selector);
    return std::exchange(found->second, std::move(implementation));
  }
  return nullptr;
}

IMP Class::methodImplementation(std::string_view selector) const {
  return lookUp(&Class::instanceMethods_, selector);
}

bool Class::instancesRespondToSelector(std::string_view selector) const {
  // A method set to the forwarding implementation has no code of its own: answering it
  // would only invite a message that then fails.
  const IMP implementation = methodImplementation(selector);
  return implementation && implementation != ObjectRuntime::forwardingImplementation();
}

std::vector<std::string> Class::methodNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [name, implementation] : instanceMethods_) names.push_back(name);
  return names;
}

IMP Class::replaceClassMethod(std::string_view selector, IMP implementation) {
  return replaceIn(&Class::classMethods_, selector, std::move(implementation));
}

IMP Class::classMethodImplementation(std::string_view selector) const {
  return lookUp(&Class::classMethods_, selector);
}

bool Class::respondsToSelector(std::string_view selector) const {
  return classMethodImplementation(selector) != nullptr;
}

void Class::addIvar(Ivar ivar) {
  std::lock_guard lock(mutex_);
  ivars_.push_back(std::move(ivar));
}

std::vector<Ivar> Class::ivars() const {
  std::lock_guard lock(mutex_);
  return ivars_;
}

// ---- ObjectRuntime

void ObjectRuntime::runLoadHooks(std::span<const LoadHook> hooks) {
  Runtime& r = runtime();
  std::lock_guard lock(r.hooksMutex);
  for (const LoadHook hook : hooks) {
    if (hook && r.hooksRun.insert(hook).second) hook();
  }
}

Class& ObjectRuntime::rootClass() { return *runtime().rootClass; }

Class& ObjectRuntime::registerClass(std::string_view name, Class* superclass) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  auto found = r.classes.find(name);
  if (found == r.classes.end()) {
    Class* above = superclass ? superclass : r.rootClass;
    found = r.classes
                .emplace(std::string(name),
                         std::make_unique<Class>(std::string(name), above, above->instanceSize()))
                .first;
  }
  return *found->second;
}

Class& ObjectRuntime::registerClassForType(std::string_view name, Class* superclass,
                                           const std::type_info& type, std::size_t size,
                                           TypeProbe probe) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  auto found = r.classes.find(name);
  if (found == r.classes.end()) {
    found = r.classes
                .emplace(std::string(name),
                         std::make_unique<Class>(std::string(name),
                                                 superclass ? superclass : r.rootClass, size))
                .first;
  }
  r.classesByType[std::type_index(type)] = {found->second.get(), probe};
  r.resolvedTypes.clear();
  return *found->second;
}

Class* ObjectRuntime::classNamed(std::string_view name) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  const auto found = r.classes.find(name);
  return found == r.classes.end() ? nullptr : found->second.get();
}

Class* ObjectRuntime::allocateClassPair(Class* superclass, std::string_view name) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  if (r.classes.find(name) != r.classes.end()) return nullptr;
  Class* above = superclass ? superclass : r.rootClass;
  r.allocated.push_back(std::make_unique<Class>(std::string(name), above, above->instanceSize()));
  return r.allocated.back().get();
}

bool ObjectRuntime::registerClassPair(Class* cls) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  const auto pending = std::find_if(r.allocated.begin(), r.allocated.end(),
                                    [cls](const auto& c) { return c.get() == cls; });
  if (pending == r.allocated.end() || r.classes.find(cls->name()) != r.classes.end()) {
    return false;
  }
  r.classes.emplace(cls->name(), std::move(*pending));
  r.allocated.erase(pending);
  return true;
}

void ObjectRuntime::disposeClassPair(Class* cls) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  std::erase_if(r.allocated, [cls](const auto& c) { return c.get() == cls; });
}

Class& ObjectRuntime::classOf(const Object& object) {
  if (Class* changed = object.isa_.load(std::memory_order_acquire)) return *changed;
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  const std::type_index type(typeid(object));
  if (const auto found = r.classesByType.find(type); found != r.classesByType.end()) {
    return *found->second.cls;
  }
  if (const auto found = r.resolvedTypes.find(type); found != r.resolvedTypes.end()) {
    return *found->second;
  }
  // Among the registered types the object is of, the one deriving from all the others;
  // when its types come from unrelated branches, the deepest class, then the first by name,
  // so that the answer never depends on the order of the table.
  std::vector<const Runtime::TypedClass*> kinds;
  for (const auto& [registeredType, typed] : r.classesByType) {
    if (typed.probe.isKind(object)) kinds.push_back(&typed);
  }
  const auto derivesFrom = [](const Runtime::TypedClass* a, const Runtime::TypedClass* b) {
    return b->probe.catchesPointer(a->probe.throwPointer);
  };
  const auto depth = [](const Class* c) {
    int n = 0;
    for (; c; c = c->superclass()) ++n;
    return n;
  };
  const Runtime::TypedClass* best = nullptr;
  for (const auto* candidate : kinds) {
    const bool mostDerived = std::all_of(kinds.begin(), kinds.end(), [&](const auto* other) {
      return other == candidate || derivesFrom(candidate, other);
    });
    if (mostDerived) {
      best = candidate;
      break;
    }
  }
  if (!best) {
    for (const auto* candidate : kinds) {
      if (!best || depth(candidate->cls) > depth(best->cls) ||
          (depth(candidate->cls) == depth(best->cls) &&
           candidate->cls->name() < best->cls->name())) {
        best = candidate;
      }
    }
  }
  Class* resolved = best ? best->cls : r.rootClass;
  r.resolvedTypes.emplace(type, resolved);
  return *resolved;
}

Class& ObjectRuntime::setClass(Object& object, Class& cls) {
  Class& previous = classOf(object);
  object.isa_.store(&cls, std::memory_order_release);
  return previous;
}

bool ObjectRuntime::respondsToSelector(const Object& object, std::string_view selector) {
  return classOf(object).instancesRespondToSelector(selector);
}

IMP ObjectRuntime::forwardingImplementation() {
  static const IMP* const shared = new IMP(std::make_shared<const ForwardingImplementation>());
  return *shared;
}

std::string ObjectRuntime::describe(Object& object) { return send(object, kDescriptionSelector); }

void ObjectRuntime::unrecognizedSelector(const Object& receiver, std::string_view selector,
                                         bool wrongSignature) {
  const std::string className = classOf(receiver).name();
  if (wrongSignature &&
      classOf(receiver).methodImplementation(selector) != forwardingImplementation()) {
    throw Exception("NSInvalidArgumentException",
                    format("-[%@ %@]: sent with another signature than the method's",
                           {className, std::string(selector)}));
  }
  throw Exception("NSInvalidArgumentException",
                  format("-[%@ %@]: unrecognized selector sent to instance %p",
                         {className, std::string(selector), static_cast<const void*>(&receiver)}));
}

void ObjectRuntime::setAssociatedObject(const Object& object, const void* key, std::any value) {
  ObjectSideTable& table = object.sideTable();
  std::any released;
  std::lock_guard lock(table.mutex);
  if (!value.has_value()) {
    const auto found = table.associations.find(key);
    if (found == table.associations.end()) return;
    released = std::move(found->second);
    table.associations.erase(found);
    return;
  }
  auto& slot = table.associations[key];
  released = std::exchange(slot, std::move(value));
}

std::any ObjectRuntime::associatedObject(const Object& object, const void* key) {
  if (!object.side_.load(std::memory_order_acquire)) return {};
  ObjectSideTable& table = object.sideTable();
  std::lock_guard lock(table.mutex);
  const auto found = table.associations.find(key);
  return found == table.associations.end() ? std::any() : found->second;
}

}  // namespace platform
