// Error: what a failed operation hands to its completion (domain, code, user info and
// the error underneath); Exception: what the Parts of the SDK "raise"; AssertionHandler:
// where argument checks report.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/value.h"

namespace platform {

// Error domains shared by several pieces of the platform.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

// User-info keys, spelled as the stored and logged texts spell them.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kDebugDescriptionErrorKey = "NSDebugDescription";
inline constexpr const char* kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

class Error {
 public:
  Error(std::string domain, std::int64_t code, Dictionary userInfo = {},
        std::shared_ptr<const Error> underlying = nullptr);
  // Components derive errors that carry more (a response, a body) and find them again by type.
  virtual ~Error() = default;

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  // String and number entries of the user info; the underlying error is kept apart.
  const Dictionary& userInfo() const { return userInfo_; }
  const std::shared_ptr<const Error>& underlyingError() const { return underlying_; }

  // The description entry if any, otherwise
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;
  std::optional<std::string> localizedFailureReason() const;
  // "Error Domain=<domain> Code=<code> \"<description>\" UserInfo={...}"
  std::string description() const;

  // Same domain and code.
  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_;
  }

 private:
  std::string domain_;
  std::int64_t code_;
  Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

using ErrorPtr = std::shared_ptr<const Error>;

inline ErrorPtr makeError(std::string domain, std::int64_t code, Dictionary userInfo = {},
                          ErrorPtr underlying = nullptr) {
  return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo),
                                       std::move(underlying));
}

// Thrown where the SDK raises: a name (often the component's error domain) and a reason.
class Exception : public std::runtime_error {
 public:
  Exception(std::string name, std::string reason, Dictionary userInfo = {});
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }

 private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
};

// Receives failed argument checks ("Invalid parameter not satisfying: %@"). The default
// handler throws an Exception named "NSInternalInconsistencyException"; tests install
// one that records.
class AssertionHandler {
 public:
  struct Failure {
    std::string function;
    std::string file;
    int line = 0;
    std::string description;
  };
  using Handler = std::function<void(const Failure&)>;

  static void handleFailure(const Failure& failure);
  // Installs a handler for the whole process; an empty one restores the default.
  // Returns the handler it replaced.
  static Handler setHandler(Handler handler);
};

}  // namespace platform
