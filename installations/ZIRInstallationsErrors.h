// ZIRInstallationsErrorUtil: the one maker of the installations client's errors, so that its
// callers see a single domain; ZIRInstallationsHTTPError: a service answer outside 200-299,
// kept whole because the controller decides back-off and regeneration from its status.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/keychain.h"
#include "platform/keyed_archive.h"
#include "platform/url_session.h"
#include "promises/zbl_promise.h"

inline constexpr const char* ZIRInstallationsErrorDomain = "com.ziruzada.installations";

// The service tag of every log line of the installations client.
inline constexpr const char* kZIRLoggerInstallations = "[ZiruzadaInstallations]";

// Unknown or internal: validation, parsing, missing data, any HTTP error, any foreign error.
inline constexpr std::int64_t ZIRInstallationsErrorCodeUnknown = 0;
inline constexpr std::int64_t ZIRInstallationsErrorCodeKeychain = 1;
// Server unreachable or throttled: back-off in force.
inline constexpr std::int64_t ZIRInstallationsErrorCodeServerUnreachable = 2;

// The class name under which the error is archived.
inline constexpr const char* ZIRInstallationsHTTPErrorClassName = "ZIRInstallationsHTTPError";

// Domain "com.ziruzada.installations", code 0 whatever the status, and a failure reason that
// names the URL, the status and the body. Immutable.
class ZIRInstallationsHTTPError : public platform::Error, public platform::SecureCodingObject {
 public:
  ZIRInstallationsHTTPError(platform::HTTPURLResponse HTTPResponse, platform::Data data);

  const platform::HTTPURLResponse& HTTPResponse() const { return HTTPResponse_; }
  const platform::Data& data() const { return data_; }

  // The single entry "The server responded with an error: \n - URL: <url> \n - HTTP status
  // code: <status> \n - Response body: <body as UTF-8, or (null)>".
  static platform::Dictionary userInfoWithHTTPResponse(const platform::HTTPURLResponse& response,
                                                       const platform::Data& data);
  // 0 for every status.
  static std::int64_t errorCodeWithHTTPCode(long HTTPCode);

  // A new error of the same response and body.
  std::shared_ptr<ZIRInstallationsHTTPError> copy() const;

  // Keys "HTTPResponse" (a record of class "NSHTTPURLResponse") and "data".
  std::string archiveClassName() const override { return ZIRInstallationsHTTPErrorClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // None without a response.
  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder);
  static bool supportsSecureCoding() { return true; }
  // Registers the error and its response record for secure coding; safe to call again.
  static void registerSecureCodingClasses();

 private:
  const platform::HTTPURLResponse HTTPResponse_;
  const platform::Data data_;
};

class ZIRInstallationsErrorUtil {
 public:
  // Without a failure reason: "Underlying error: <the underlying error's description>".
  static platform::ErrorPtr installationsErrorWithCode(std::int64_t code,
                                                       std::optional<std::string> failureReason,
                                                       platform::ErrorPtr underlyingError);
  // Code 1, "<function> (<status>)".
  static platform::ErrorPtr keychainErrorWithFunction(const std::string& keychainFunction,
                                                      platform::OSStatus status);
  // Code 0, "Installation for appID <appID> appName <appName> not found".
  static platform::ErrorPtr installationItemNotFoundForAppID(const std::string& appID,
                                                             const std::string& appName);
  // Code 0, "IID token data stored in Keychain is corrupted or in an incompatible format."
  static platform::ErrorPtr corruptedIIDTokenData();
  // Code 0, "Failed to serialize JSON data.", with the parser's error (if any) underneath.
  static platform::ErrorPtr JSONSerializationError(platform::ErrorPtr error);
  // Code 0, "A required response field with name <fieldName> is missing".
  static platform::ErrorPtr
  FIDRegistrationErrorWithResponseMissingField(const std::string& fieldName);
  // Code 2, "Too many server requests."
  static platform::ErrorPtr backoffIntervalWaitError();

  static std::shared_ptr<const ZIRInstallationsHTTPError>
  APIErrorWithHTTPResponse(platform::HTTPURLResponse HTTPResponse, platform::Data data);
  // True only for an ZIRInstallationsHTTPError whose response has that status.
  static bool isAPIError(const platform::ErrorPtr& error, long HTTPCode);
  // The error itself when it is of the installations domain; otherwise a code-0 error of that
  // domain with the given one underneath.
  static platform::ErrorPtr publicDomainErrorWithError(const platform::ErrorPtr& error);

  // Defined here so that code reading stored bytes can use the errors above without linking
  // the promises library.
  static ZBLPromisePtr rejectedPromiseWithError(const platform::ErrorPtr& error) {
    ZBLPromisePtr promise = ZBLPromise::pendingPromise();
    promise->reject(error);
    return promise;
  }
};
