#include "platform/object_runtime.h"

namespace platform {

namespace {

struct Runtime {
  std::mutex classesMutex;
  std::map<std::string, std::unique_ptr<Class>, std::less<>> classes;

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

}  // namespace

void Class::addProtocol(std::string_view protocolName) {
  std::lock_guard lock(mutex_);
  protocols_.emplace(protocolName);
}

bool Class::conformsToProtocol(std::string_view protocolName) const {
  std::lock_guard lock(mutex_);
  return protocols_.find(protocolName) != protocols_.end();
}

bool Class::respondsToSelector(std::string_view selector) const {
  std::lock_guard lock(mutex_);
  return methods_.find(selector) != methods_.end();
}

void ObjectRuntime::runLoadHooks(std::span<const LoadHook> hooks) {
  Runtime& r = runtime();
  std::lock_guard lock(r.hooksMutex);
  for (const LoadHook hook : hooks) {
    if (hook && r.hooksRun.insert(hook).second) hook();
  }
}

Class& ObjectRuntime::registerClass(std::string_view name) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  auto found = r.classes.find(name);
  if (found == r.classes.end()) {
    found = r.classes.emplace(std::string(name), std::make_unique<Class>(std::string(name))).first;
  }
  return *found->second;
}

const Class* ObjectRuntime::classNamed(std::string_view name) {
  Runtime& r = runtime();
  std::lock_guard lock(r.classesMutex);
  const auto found = r.classes.find(name);
  return found == r.classes.end() ? nullptr : found->second.get();
}

}  // namespace platform
