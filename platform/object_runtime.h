// ObjectRuntime: the program's classes by name, registered by each library's load hook when
// the process entry runs the one start-up list, with their class methods found by selector.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

// The root of objects handed around by code that does not know their class: holding one
// as an Object is enough to ask whether it implements a given protocol.
class Object {
 public:
  virtual ~Object() = default;
};
using ObjectPtr = std::shared_ptr<Object>;

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

// One registered class: its name, the protocols it adopts and its class methods, each kept
// under its selector ("componentsToRegister", "startWithConfiguration:options:") with the
// C++ signature it was added with. Safe to use from any thread; lives for the process.
class Class {
 public:
  explicit Class(std::string name) : name_(std::move(name)) {}
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  const std::string& name() const { return name_; }

  void addProtocol(std::string_view protocolName);
  bool conformsToProtocol(std::string_view protocolName) const;

  // Adds the method under the selector, replacing one already there.
  template <typename Signature>
  void addClassMethod(std::string_view selector, std::function<Signature> method) {
    std::lock_guard lock(mutex_);
    methods_.insert_or_assign(std::string(selector), std::any(std::move(method)));
  }
  bool respondsToSelector(std::string_view selector) const;
  // The method under the selector; empty when there is none or it has another signature.
  template <typename Signature>
  std::function<Signature> classMethod(std::string_view selector) const {
    std::lock_guard lock(mutex_);
    const auto found = methods_.find(selector);
    if (found == methods_.end()) return {};
    const auto* method = std::any_cast<std::function<Signature>>(&found->second);
    return method ? *method : std::function<Signature>();
  }

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> protocols_;
  std::map<std::string, std::any, std::less<>> methods_;
};

class ObjectRuntime {
 public:
  // A library's class-load hook: registers its classes (and itself with whatever it joins).
  using LoadHook = void (*)();

  // Runs, in order, each hook of the list that has not run yet in this process. A second
  // caller waits until the hooks running in another thread are done, so on return every
  // hook of the list has run exactly once.
  static void runLoadHooks(std::span<const LoadHook> hooks);

  // The class of that name, created on first registration; the same object afterwards.
  static Class& registerClass(std::string_view name);
  // The registered class of that name, or nullptr.
  static const Class* classNamed(std::string_view name);
};

}  // namespace platform
