#include "foundation/ZULSecureCoding.h"

#include "platform/format.h"

namespace {
constexpr const char* kSecureCodingErrorDomain = "ZULSecureCodingError";
}  // namespace

std::optional<platform::ArchivedObject>
ZULSecureCoding::unarchivedObjectOfClasses(const platform::ClassSet& classes,
                                           const platform::Data& data, platform::ErrorPtr* error) {
  return unarchivedObjectOfClasses(classes, data, platform::ClassNameMap(), error);
}

std::optional<platform::ArchivedObject>
ZULSecureCoding::unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                                         platform::ErrorPtr* error) {
  return unarchivedObjectOfClass(className, data, platform::ClassNameMap(), error);
}

std::optional<platform::ArchivedObject> ZULSecureCoding::unarchivedObjectOfClasses(
    const platform::ClassSet& classes, const platform::Data& data,
    const platform::ClassNameMap& classNames, platform::ErrorPtr* error) {
  return platform::KeyedUnarchiver::unarchivedObject(classes, data, classNames, error);
}

std::optional<platform::ArchivedObject>
ZULSecureCoding::unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                                         const platform::ClassNameMap& classNames,
                                         platform::ErrorPtr* error) {
  return unarchivedObjectOfClasses(platform::ClassSet{std::string(className)}, data, classNames,
                                   error);
}

std::optional<platform::Data>
ZULSecureCoding::archivedDataWithRootObject(const platform::ArchivedObject& object,
                                            platform::ErrorPtr* error) {
  return archivedDataWithRootObject(object, platform::ClassNameMap(), error);
}

std::optional<platform::Data>
ZULSecureCoding::archivedDataWithRootObject(const platform::ArchivedObject& object,
                                            const platform::ClassNameMap& classNames,
                                            platform::ErrorPtr* error) {
  return platform::KeyedArchiver::archivedData(object, classNames, error);
}

platform::ErrorPtr
ZULSecureCoding::archivingErrorWithException(const platform::Exception& exception) {
  // An exception without user info shows it as nil does.
  const platform::Value userInfo = exception.userInfo().empty()
                                       ? platform::Value("(null)")
                                       : platform::Value(exception.userInfo());
  const std::string reason =
      platform::format("NSKeyedArchiver exception with name: %@, reason: %@, userInfo: %@",
                       {exception.name(), exception.reason(), userInfo});
  return platform::makeError(
      kSecureCodingErrorDomain, -1,
      platform::Dictionary{{platform::kLocalizedFailureReasonErrorKey, reason}});
}
