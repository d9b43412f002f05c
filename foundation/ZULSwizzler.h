// ZULSwizzler: replaces the implementation of a class's method at run time, looks up a
// method's current implementation, tells whether a method exists and lists an object's
// object-typed fields. Replacements and look-ups never interleave.
#pragma once

#include <vector>

#include "platform/object_runtime.h"

class ZULSwizzler {
 public:
  // Gives the class (its class method when isClassSelector) the implementation for the
  // selector. The class gets a method of its own when it only inherits one, so a
  // superclass never changes. A null selector or class, or a method that does not exist,
  // is reported to the assertion handler and changes nothing. An implementation of another
  // signature than the method's throws, as the runtime does.
  static void swizzleClass(platform::Class* cls, const char* selector, bool isClassSelector,
                           platform::IMP block);
  // The implementation a message would run now, inherited ones included; null (after a
  // report to the assertion handler) for a null argument or a missing method.
  static platform::IMP currentImplementationForClass(platform::Class* cls, const char* selector,
                                                     bool isClassSelector);
  // Whether the class has the method, inherited ones included. Takes no lock.
  static bool selectorExistsInClass(const char* selector, const platform::Class* cls,
                                    bool isClassSelector);
  // The values of the object's object-typed fields that its own class declares, in
  // declaration order; null fields are skipped.
  static std::vector<platform::ObjectPtr> ivarObjectsForObject(const platform::Object& object);

  ZULSwizzler() = delete;
};
