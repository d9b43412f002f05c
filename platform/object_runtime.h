// ObjectRuntime: the program's classes by name, registered by each library's load hook when
// the process entry runs the one start-up list, with their class methods found by selector;
// and, for the objects that opt in, instance methods sent by selector whose implementations
// can be replaced, compared and restored, classes made at run time, changing an object's
// class, associated objects and key-value observation.
#pragma once

#include <any>
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace platform {

class Class;
class KeyValueObserver;
struct ObjectSideTable;

// The root of objects handed around by code that does not know their class: holding one
// as an Object is enough to ask whether it implements a given protocol, to send it a
// message by selector, to attach objects to it and to observe its keys.
class Object {
 public:
  Object() = default;
  // A copy is a new object: it keeps neither a changed class, nor attached objects, nor
  // observers of the original.
  Object(const Object&) noexcept {}
  Object& operator=(const Object&) noexcept { return *this; }
  virtual ~Object();

  // Key-value observation. Observers are held weakly; an observer registered twice is told
  // twice. Removing a registration that does not exist throws an Exception named
  // "NSRangeException", as removing one too many does.
  void addObserver(const std::shared_ptr<KeyValueObserver>& observer, std::string keyPath,
                   unsigned options, void* context);
  void removeObserver(const KeyValueObserver* observer, std::string_view keyPath, void* context);

 protected:
  // Tells the observers of the key, on the calling thread, that its value changed.
  void didChangeValueForKey(std::string_view keyPath, const std::shared_ptr<Object>& oldValue,
                            const std::shared_ptr<Object>& newValue);

 private:
  friend class ObjectRuntime;
  ObjectSideTable& sideTable() const;

  // Set only once the object's class was changed; until then the class is the one
  // registered for the object's C++ type.
  std::atomic<Class*> isa_{nullptr};
  mutable std::atomic<ObjectSideTable*> side_{nullptr};
};
using ObjectPtr = std::shared_ptr<Object>;

// Which values a key-value change carries.
inline constexpr unsigned kKeyValueObservingOptionNew = 0x01;
inline constexpr unsigned kKeyValueObservingOptionOld = 0x02;

// A change of an object-valued key. A value is present when its option was asked for; the
// pointer inside is null where the key held nothing.
struct KeyValueChange {
  std::optional<ObjectPtr> oldValue;
  std::optional<ObjectPtr> newValue;
};

class KeyValueObserver {
 public:
  virtual ~KeyValueObserver() = default;
  virtual void observeValueForKeyPath(std::string_view keyPath, Object& object,
                                      const KeyValueChange& change, void* context) = 0;
};

// A protocol by name, with the test that tells whether an object implements it: for
// Protocol::of<P>, whether the object's class derives from the interface class P.
class Protocol {
 public:
  template <typename P> static Protocol of(std::string name) {
    static_assert(std::is_polymorphic_v<P>, "a protocol is an interface class");
    return Protocol(std::move(name), [](const Object& object) {
      return dynamic_cast<const P*>(&object) != nullptr;
    });
  }

  const std::string& name() const { return name_; }
  bool isConformedBy(const Object& object) const { return conforms_(object); }

  // Protocols are told apart by name, as the runtime does.
  friend bool operator==(const Protocol& a, const Protocol& b) { return a.name_ == b.name_; }

 private:
  using ConformanceTest = bool (*)(const Object&);
  Protocol(std::string name, ConformanceTest conforms)
      : name_(std::move(name)), conforms_(conforms) {}

  std::string name_;
  ConformanceTest conforms_;
};

// A method's implementation. Implementations are compared by identity: two made from the
// same callable are still two. Each carries the C++ signature it is called with, which
// plays the part of the method's type encoding: an implementation only ever stands in for
// a method of the same signature.
class Implementation {
 public:
  virtual ~Implementation() = default;
  virtual const std::type_info& signature() const = 0;
};
using IMP = std::shared_ptr<const Implementation>;

template <typename Signature> class BlockImplementation;

template <typename R, typename... Args>
class BlockImplementation<R(Args...)> final : public Implementation {
 public:
  explicit BlockImplementation(std::function<R(Args...)> block) : block_(std::move(block)) {}
  const std::type_info& signature() const override { return typeid(R(Args...)); }
  const std::function<R(Args...)>& block() const { return block_; }

 private:
  std::function<R(Args...)> block_;
};

// An implementation made from a callable. Instance methods take the receiver first
// (R(Object&, Args...)); class methods take only their arguments.
template <typename Signature> IMP makeImplementation(std::function<Signature> block) {
  return std::make_shared<const BlockImplementation<Signature>>(std::move(block));
}

// The implementation as one of that signature; nullptr for none or another signature.
template <typename Signature>
const BlockImplementation<Signature>* implementationAs(const IMP& implementation) {
  if (!implementation || implementation->signature() != typeid(Signature)) return nullptr;
  return static_cast<const BlockImplementation<Signature>*>(implementation.get());
}

// A selector together with the signature its methods have, as the caller sees it (the
// receiver is not part of it): the one place a message's argument types are written down.
template <typename Signature> struct Selector;

template <typename R, typename... Args> struct Selector<R(Args...)> {
  using Method = R(Object& self, Args...);
  std::string_view name;
};

// The description method every class inherits from the root class "NSObject":
// "<ClassName: 0x...>".
inline constexpr Selector<std::string()> kDescriptionSelector{"description"};

// An instance field, listed so that code walking an object can see its object references.
struct Ivar {
  std::string name;
  // "@" for an object reference; anything else for other values.
  std::string typeEncoding;
  // The field's current value, for object references.
  std::function<ObjectPtr(const Object&)> objectValue;
};

// One class: its name, superclass, instance size, the protocols it adopts, its instance
// and class methods, each kept under its selector, and its declared fields. Safe to use
// from any thread; lives for the process.
class Class {
 public:
  explicit Class(std::string name, Class* superclass = nullptr, std::size_t instanceSize = 0)
      : name_(std::move(name)), superclass_(superclass), instanceSize_(instanceSize) {}
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  const std::string& name() const { return name_; }
  Class* superclass() const { return superclass_; }
  std::size_t instanceSize() const { return instanceSize_; }
  // Itself or a class above it.
  bool isSubclassOfClass(const Class& other) const;

  void addProtocol(std::string_view protocolName);
  // Adopted by the class or a class above it.
  bool conformsToProtocol(std::string_view protocolName) const;

  // ---- Instance methods

  // Adds the method to this class; false, changing nothing, when this class itself already
  // has one under the selector (an inherited one is overridden).
  bool addMethod(std::string_view selector, IMP implementation);
  template <typename R, typename... Args>
  bool addMethod(const Selector<R(Args...)>& selector, std::function<R(Object&, Args...)> block) {
    return addMethod(selector.name, makeImplementation(std::move(block)));
  }
  // Adds a method that runs the C++ member function on the receiver, which must be a Base.
  template <typename Base, typename R, typename... Args>
  bool addMethod(const Selector<R(Args...)>& selector, R (Base::*member)(Args...)) {
    return addMethod(selector, std::function<R(Object&, Args...)>([member](Object& self,
                                                                           Args... arguments) -> R {
                       return (dynamic_cast<Base&>(self).*member)(std::forward<Args>(arguments)...);
                     }));
  }
  // Sets this class's own method, adding it when the class only inherits it or lacks it, so
  // a superclass is never changed. Returns the implementation it replaced in this class,
  // null when it added one. An implementation of another signature than the method it
  // replaces throws an Exception named "NSInvalidArgumentException".
  IMP replaceMethod(std::string_view selector, IMP implementation);
  // Sets the implementation where the method is found: this class or the nearest one above
  // it that has it. Returns the implementation replaced; null, changing nothing, when no
  // class has the method. Signature checked as by replaceMethod.
  IMP setMethodImplementation(std::string_view selector, IMP implementation);
  // The implementation a message to an instance runs, inherited ones included; null when
  // there is none.
  IMP methodImplementation(std::string_view selector) const;
  bool instancesRespondToSelector(std::string_view selector) const;
  // The selectors of this class's own instance methods, sorted.
  std::vector<std::string> methodNames() const;

  // ---- Class methods

  // Adds the method under the selector, replacing one already there.
  template <typename Signature>
  void addClassMethod(std::string_view selector, std::function<Signature> method) {
    replaceClassMethod(selector, makeImplementation(std::move(method)));
  }
  IMP replaceClassMethod(std::string_view selector, IMP implementation);
  // Inherited class methods included.
  IMP classMethodImplementation(std::string_view selector) const;
  bool respondsToSelector(std::string_view selector) const;
  // The method under the selector; empty when there is none or it has another signature.
  template <typename Signature>
  std::function<Signature> classMethod(std::string_view selector) const {
    const auto* typed = implementationAs<Signature>(classMethodImplementation(selector));
    return typed ? typed->block() : std::function<Signature>();
  }

  // ---- Fields

  void addIvar(Ivar ivar);
  // This class's own fields, in declaration order (not those of classes above it).
  std::vector<Ivar> ivars() const;

 private:
  using MethodTable = std::map<std::string, IMP, std::less<>>;
  IMP lookUp(MethodTable Class::*table, std::string_view selector) const;
  IMP replaceIn(MethodTable Class::*table, std::string_view selector, IMP implementation);

  const std::string name_;
  Class* const superclass_;
  const std::size_t instanceSize_;
  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> protocols_;
  MethodTable instanceMethods_;
  MethodTable classMethods_;
  std::vector<Ivar> ivars_;
};

class ObjectRuntime {
 public:
  // A library's class-load hook: registers its classes (and itself with whatever it joins).
  using LoadHook = void (*)();

  // Runs, in order, each hook of the list that has not run yet in this process. A second
  // caller waits until the hooks running in another thread are done, so on return every
  // hook of the list has run exactly once.
  static void runLoadHooks(std::span<const LoadHook> hooks);

  // What the runtime can ask of a registered C++ type T without knowing it.
  struct TypeProbe {
    // Whether the object is a T.
    bool (*isKind)(const Object& object);
    // Throws a T*, and tells whether a thrown pointer converts to a T*: how one registered
    // type is found to derive from another.
    void (*throwPointer)();
    bool (*catchesPointer)(void (*throwPointer)());
  };
  template <typename T> static TypeProbe probeFor() {
    return {[](const Object& o) { return dynamic_cast<const T*>(&o) != nullptr; },
            [] { throw static_cast<const T*>(nullptr); },
            [](void (*throwPointer)()) {
              try {
                throwPointer();
              } catch (const T*) {
                return true;
              } catch (...) {
              }
              return false;
            }};
  }

  // The root class "NSObject", above every class registered without a superclass.
  static Class& rootClass();
  // The class of that name, created on first registration (under the superclass, the root
  // class when none is given); the same object afterwards.
  static Class& registerClass(std::string_view name, Class* superclass = nullptr);
  // The same, and objects of the C++ type T, or of a type derived from it that has no
  // class of its own, have this class until their class is changed.
  template <typename T>
  static Class& registerClass(std::string_view name, Class* superclass = nullptr) {
    static_assert(std::is_base_of_v<Object, T>, "only objects have a class");
    return registerClassForType(name, superclass, typeid(T), sizeof(T), probeFor<T>());
  }
  // The registered class of that name, or nullptr.
  static Class* classNamed(std::string_view name);

  // ---- Classes made at run time

  // A new class under the superclass, not yet found by name; nullptr when a class of that
  // name is already registered. Methods may be added before registerClassPair.
  static Class* allocateClassPair(Class* superclass, std::string_view name);
  // Makes the class findable by name; false when the name was taken meanwhile.
  static bool registerClassPair(Class* cls);
  // Frees a class that was allocated but never registered.
  static void disposeClassPair(Class* cls);

  // ---- Objects

  // The object's class: the one it was changed to, else the class registered for its C++
  // type or, failing that, for the nearest C++ type it derives from, else the root class.
  static Class& classOf(const Object& object);
  // Changes the object's class; returns the class it had.
  static Class& setClass(Object& object, Class& cls);
  static bool respondsToSelector(const Object& object, std::string_view selector);

  // Sends the message: runs the implementation the receiver's class has for the selector.
  // A receiver without one throws an Exception named "NSInvalidArgumentException"
  // ("unrecognized selector sent to instance"), as does one whose method has another
  // signature.
  template <typename R, typename... Args, typename... Passed>
  static R send(Object& receiver, const Selector<R(Args...)>& selector, Passed&&... arguments) {
    return call(classOf(receiver).methodImplementation(selector.name), receiver, selector,
                std::forward<Passed>(arguments)...);
  }
  // Runs a given implementation of the selector on the receiver, as a method would.
  template <typename R, typename... Args, typename... Passed>
  static R call(const IMP& implementation, Object& receiver, const Selector<R(Args...)>& selector,
                Passed&&... arguments) {
    const auto* typed = implementationAs<R(Object&, Args...)>(implementation);
    if (!typed) unrecognizedSelector(receiver, selector.name, implementation != nullptr);
    return typed->block()(receiver, std::forward<Passed>(arguments)...);
  }
  // The implementation standing for "no method of its own" (what a class runs for a selector
  // it has no method for): running it throws as for an unrecognized selector, and a method
  // set to it is not answered (respondsToSelector is false), though it is still there to be
  // given another implementation.
  static IMP forwardingImplementation();

  // The object's description: its "description" method.
  static std::string describe(Object& object);

  // ---- Associated objects

  // Attaches the value to the object under the key (any unique address), replacing what
  // was there; an empty value removes the entry. Values are released with the object.
  static void setAssociatedObject(const Object& object, const void* key, std::any value);
  // The value under the key; empty when none.
  static std::any associatedObject(const Object& object, const void* key);

 private:
  static Class& registerClassForType(std::string_view name, Class* superclass,
                                     const std::type_info& type, std::size_t size, TypeProbe probe);
  [[noreturn]] static void unrecognizedSelector(const Object& receiver, std::string_view selector,
                                                bool wrongSignature);
};

}  // namespace platform
