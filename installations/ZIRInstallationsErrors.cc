#include "installations/ZIRInstallationsErrors.h"

#include <mutex>
#include <utility>

#include "platform/format.h"
#include "platform/text.h"

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::HTTPURLResponse;
using platform::Value;

namespace {

constexpr const char* kHTTPResponseClassName = "NSHTTPURLResponse";
constexpr const char* kHTTPResponseKey = "HTTPResponse";
constexpr const char* kDataKey = "data";

// The archived form of an HTTP response: URL, status and header fields.
class ArchivedHTTPResponse : public platform::SecureCodingObject {
 public:
  explicit ArchivedHTTPResponse(HTTPURLResponse response) : response(std::move(response)) {}

  std::string archiveClassName() const override { return kHTTPResponseClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject("URL", Value(response.url));
    coder.encodeInt64("statusCode", response.statusCode);
    Dictionary headers;
    for (const auto& [field, value] : response.headers) headers.set(field, Value(value));
    coder.encodeObject("headers", Value(std::move(headers)));
  }

  static platform::SecureCodingPtr initWithCoder(platform::KeyedUnarchiver& coder) {
    HTTPURLResponse response;
    response.url = coder.decodeString("URL").value_or("");
    response.statusCode = static_cast<long>(coder.decodeInt64("statusCode"));
    const auto headers =
        coder.decodeObject("headers", {platform::kDictionaryClassName, platform::kStringClassName});
    if (const Value* fields = platform::valueOf(headers)) {
      if (const Dictionary* dictionary = fields->asDictionary()) {
        for (const auto& [field, value] : *dictionary) {
          if (const std::string* text = value.asString()) response.headers[field] = *text;
        }
      }
    }
    if (auto type = response.valueForHeaderField("Content-Type")) {
      response.mimeType = type->substr(0, type->find(';'));
    }
    return std::make_shared<ArchivedHTTPResponse>(std::move(response));
  }

  HTTPURLResponse response;
};

Value textOrNull(const Data& data) {
  std::string text = data.toString();
  return platform::text::isValidUTF8(text) ? Value(std::move(text)) : Value();
}

ErrorPtr installationsError(std::int64_t code, std::string failureReason,
                            ErrorPtr underlying = nullptr) {
  return ZIRInstallationsErrorUtil::installationsErrorWithCode(code, std::move(failureReason),
                                                               std::move(underlying));
}

}  // namespace

ZIRInstallationsHTTPError::ZIRInstallationsHTTPError(HTTPURLResponse HTTPResponse, Data data)
    : platform::Error(ZIRInstallationsErrorDomain, errorCodeWithHTTPCode(HTTPResponse.statusCode),
                      userInfoWithHTTPResponse(HTTPResponse, data)),
      HTTPResponse_(std::move(HTTPResponse)), data_(std::move(data)) {}

Dictionary ZIRInstallationsHTTPError::userInfoWithHTTPResponse(const HTTPURLResponse& response,
                                                               const Data& data) {
  Dictionary userInfo;
  userInfo.set(platform::kLocalizedFailureReasonErrorKey,
               platform::format("The server responded with an error: \n - URL: %@ \n - HTTP "
                                "status code: %ld \n - Response body: %@",
                                {response.url, static_cast<std::int64_t>(response.statusCode),
                                 textOrNull(data)}));
  return userInfo;
}

std::int64_t ZIRInstallationsHTTPError::errorCodeWithHTTPCode(long) {
  return ZIRInstallationsErrorCodeUnknown;
}

std::shared_ptr<ZIRInstallationsHTTPError> ZIRInstallationsHTTPError::copy() const {
  return std::make_shared<ZIRInstallationsHTTPError>(HTTPResponse_, data_);
}

void ZIRInstallationsHTTPError::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(kHTTPResponseKey, std::make_shared<ArchivedHTTPResponse>(HTTPResponse_));
  coder.encodeObject(kDataKey, Value(data_));
}

platform::SecureCodingPtr
ZIRInstallationsHTTPError::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto response = platform::recordAs<ArchivedHTTPResponse>(
      coder.decodeObject(kHTTPResponseKey, {kHTTPResponseClassName}));
  if (!response) return nullptr;
  Data data;
  const auto body = coder.decodeObject(kDataKey, {platform::kDataClassName});
  if (const Value* value = platform::valueOf(body)) {
    if (const Data* bytes = value->asData()) data = *bytes;
  }
  return std::make_shared<ZIRInstallationsHTTPError>(response->response, std::move(data));
}

void ZIRInstallationsHTTPError::registerSecureCodingClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::registerSecureCodingClass(kHTTPResponseClassName,
                                        &ArchivedHTTPResponse::initWithCoder);
    platform::registerSecureCodingClass(ZIRInstallationsHTTPErrorClassName,
                                        &ZIRInstallationsHTTPError::initWithCoder);
  });
}

ErrorPtr ZIRInstallationsErrorUtil::installationsErrorWithCode(
    std::int64_t code, std::optional<std::string> failureReason, ErrorPtr underlyingError) {
  if (!failureReason) {
    failureReason = platform::format(
        "Underlying error: %@",
        {underlyingError ? Value(underlyingError->localizedDescription()) : Value()});
  }
  Dictionary userInfo;
  userInfo.set(platform::kLocalizedFailureReasonErrorKey, std::move(*failureReason));
  return platform::makeError(ZIRInstallationsErrorDomain, code, std::move(userInfo),
                             std::move(underlyingError));
}

ErrorPtr ZIRInstallationsErrorUtil::keychainErrorWithFunction(const std::string& keychainFunction,
                                                              platform::OSStatus status) {
  return installationsError(ZIRInstallationsErrorCodeKeychain,
                            platform::format("%@ (%li)", {keychainFunction, status}));
}

ErrorPtr ZIRInstallationsErrorUtil::installationItemNotFoundForAppID(const std::string& appID,
                                                                     const std::string& appName) {
  return installationsError(
      ZIRInstallationsErrorCodeUnknown,
      platform::format("Installation for appID %@ appName %@ not found", {appID, appName}));
}

ErrorPtr ZIRInstallationsErrorUtil::corruptedIIDTokenData() {
  return installationsError(
      ZIRInstallationsErrorCodeUnknown,
      "IID token data stored in Keychain is corrupted or in an incompatible format.");
}

ErrorPtr ZIRInstallationsErrorUtil::JSONSerializationError(ErrorPtr error) {
  return installationsError(ZIRInstallationsErrorCodeUnknown, "Failed to serialize JSON data.",
                            std::move(error));
}

ErrorPtr ZIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
    const std::string& fieldName) {
  return installationsError(
      ZIRInstallationsErrorCodeUnknown,
      platform::format("A required response field with name %@ is missing", {fieldName}));
}

ErrorPtr ZIRInstallationsErrorUtil::backoffIntervalWaitError() {
  return installationsError(ZIRInstallationsErrorCodeServerUnreachable,
                            "Too many server requests.");
}

std::shared_ptr<const ZIRInstallationsHTTPError>
ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(HTTPURLResponse HTTPResponse, Data data) {
  return std::make_shared<const ZIRInstallationsHTTPError>(std::move(HTTPResponse),
                                                           std::move(data));
}

bool ZIRInstallationsErrorUtil::isAPIError(const ErrorPtr& error, long HTTPCode) {
  const auto HTTPError = std::dynamic_pointer_cast<const ZIRInstallationsHTTPError>(error);
  return HTTPError && HTTPError->HTTPResponse().statusCode == HTTPCode;
}

ErrorPtr ZIRInstallationsErrorUtil::publicDomainErrorWithError(const ErrorPtr& error) {
  if (error && error->domain() == ZIRInstallationsErrorDomain) return error;
  return installationsErrorWithCode(ZIRInstallationsErrorCodeUnknown, std::nullopt, error);
}
