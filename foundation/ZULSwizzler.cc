#include "foundation/ZULSwizzler.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

// Made once and kept for the process, so every replacement anywhere is ordered on it.
const platform::QueuePtr& swizzlerQueue() {
  static const auto* const queue =
      new platform::QueuePtr(platform::Queue::serial("com.rerora.ZULSwizzler"));
  return *queue;
}

void fail(const char* function, int line, std::string description) {
  platform::AssertionHandler::handleFailure({function, __FILE__, line, std::move(description)});
}

// Whether the class or one above it declares the instance method, even one whose
// implementation is null (which hides an inherited one).
bool hasInstanceMethod(const platform::Class& cls, std::string_view selector) {
  for (const platform::Class* c = &cls; c; c = c->superclass()) {
    const std::vector<std::string> names = c->methodNames();
    if (std::find(names.begin(), names.end(), selector) != names.end()) return true;
  }
  return false;
}

bool hasMethod(const platform::Class& cls, std::string_view selector, bool isClassSelector) {
  return isClassSelector ? cls.respondsToSelector(selector) : hasInstanceMethod(cls, selector);
}

}  // namespace

void ZULSwizzler::swizzleClass(platform::Class* cls, const char* selector, bool isClassSelector,
                               platform::IMP block) {
  swizzlerQueue()->sync([&] {
    if (!selector) {
      fail(__func__, __LINE__, "The selector cannot be NULL");
      return;
    }
    if (!cls) {
      fail(__func__, __LINE__, "The class cannot be Nil");
      return;
    }
    if (!hasMethod(*cls, selector, isClassSelector)) {
      // Nothing to take the signature from: adding a method here would invent one.
      fail(__func__, __LINE__,
           platform::format("You're attempting to swizzle a method that doesn't exist. (%@, %@)",
                            {cls->name(), selector}));
      return;
    }
    if (isClassSelector) {
      cls->replaceClassMethod(selector, std::move(block));
    } else {
      cls->replaceMethod(selector, std::move(block));
    }
  });
}

platform::IMP ZULSwizzler::currentImplementationForClass(platform::Class* cls, const char* selector,
                                                         bool isClassSelector) {
  if (!selector) {
    fail(__func__, __LINE__, "The selector cannot be NULL");
    return nullptr;
  }
  if (!cls) {
    fail(__func__, __LINE__, "The class cannot be Nil");
    return nullptr;
  }
  platform::IMP implementation;
  swizzlerQueue()->sync([&] {
    if (!hasMethod(*cls, selector, isClassSelector)) {
      fail(__func__, __LINE__,
           platform::format("The Method for this class/selector combo doesn't exist (%@, %@).",
                            {cls->name(), selector}));
      return;
    }
    implementation = isClassSelector ? cls->classMethodImplementation(selector)
                                     : cls->methodImplementation(selector);
    if (!implementation) {
      fail(__func__, __LINE__,
           platform::format("The IMP for this class/selector combo doesn't exist (%@, %@).",
                            {cls->name(), selector}));
    }
  });
  return implementation;
}

bool ZULSwizzler::selectorExistsInClass(const char* selector, const platform::Class* cls,
                                        bool isClassSelector) {
  return selector && cls && hasMethod(*cls, selector, isClassSelector);
}

std::vector<platform::ObjectPtr> ZULSwizzler::ivarObjectsForObject(const platform::Object& object) {
  std::vector<platform::ObjectPtr> objects;
  for (const platform::Ivar& ivar : platform::ObjectRuntime::classOf(object).ivars()) {
    if (!ivar.typeEncoding.starts_with("@") || !ivar.objectValue) continue;
    if (platform::ObjectPtr value = ivar.objectValue(object)) objects.push_back(std::move(value));
  }
  return objects;
}
