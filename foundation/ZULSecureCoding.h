// ZULSecureCoding: the SDK's one way of turning objects into keyed-archive bytes and back,
// decoding only into the classes the caller allows.
#pragma once

#include <optional>
#include <string_view>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/keyed_archive.h"

class ZULSecureCoding {
 public:
  // The root object, or none with the unarchiver's error passed through unchanged (empty
  // data, data that is not an archive, an object of a class outside the set).
  static std::optional<platform::ArchivedObject>
  unarchivedObjectOfClasses(const platform::ClassSet& classes, const platform::Data& data,
                            platform::ErrorPtr* error = nullptr);
  // The same with a set holding only that class.
  static std::optional<platform::ArchivedObject>
  unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                          platform::ErrorPtr* error = nullptr);
  // The two above, reading an archived class name found in the map as the registered class
  // it maps to (before the allowed-class check).
  static std::optional<platform::ArchivedObject>
  unarchivedObjectOfClasses(const platform::ClassSet& classes, const platform::Data& data,
                            const platform::ClassNameMap& classNames,
                            platform::ErrorPtr* error = nullptr);
  static std::optional<platform::ArchivedObject>
  unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                          const platform::ClassNameMap& classNames,
                          platform::ErrorPtr* error = nullptr);
  // The archive data, or none with the archiver's error passed through unchanged.
  static std::optional<platform::Data>
  archivedDataWithRootObject(const platform::ArchivedObject& object,
                             platform::ErrorPtr* error = nullptr);
  // The same, writing a registered class found in the map under the name it maps to.
  static std::optional<platform::Data>
  archivedDataWithRootObject(const platform::ArchivedObject& object,
                             const platform::ClassNameMap& classNames,
                             platform::ErrorPtr* error = nullptr);
  // An error of domain "ZULSecureCodingError", code -1, whose user info holds only the
  // failure reason naming the exception's name, reason and user info.
  static platform::ErrorPtr archivingErrorWithException(const platform::Exception& exception);
};
