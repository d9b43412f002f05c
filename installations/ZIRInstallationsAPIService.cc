#include "installations/ZIRInstallationsAPIService.h"

#include <utility>

#include "foundation/ZIRLogger.h"
#include "foundation/ZIRVersion.h"
#include "installations/ZIRInstallationsErrors.h"
#include "installations/ZIRInstallationsItemAPI.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/text.h"

namespace {

constexpr const char* kAPIKeyHeader = "X-Rerora-Api-Key";
constexpr const char* kBundleIdentifierHeader = "X-Ios-Bundle-Identifier";
constexpr const char* kAuthorizationHeader = "Authorization";
constexpr const char* kHeartbeatHeader = "X-ziruzada-client";
constexpr const char* kMigrationAuthHeader = "x-rerora-zis-ios-iid-migration-auth";
constexpr const char* kAuthVersion = "ZIS_v2";
constexpr const char* kRedacted = "<redacted>";

// The only status worth a second attempt: the service failed, not the request.
constexpr long kRetriedStatus = 500;
constexpr std::int64_t kRetryCount = 1;
constexpr double kRetryDelaySeconds = 1.0;

std::string authorizationValue(const std::string& refreshToken) {
  return platform::format("%@ %@", {kAuthVersion, refreshToken});
}

// A path argument; an item without an identifier shows as "(null)", as a nil one did.
platform::FormatArg identifierArg(const ZIRInstallationsItem& installation) {
  if (const auto& fid = installation.ziruzadaInstallationID()) return *fid;
  return platform::Value();
}

// The answers carry the new refresh and auth tokens under these names.
bool isTokenKey(const std::string& key) { return key == "refreshToken" || key == "token"; }

// Nesting is bounded by the JSON reader.
void redactTokens(platform::Value& value) {
  if (platform::Dictionary* dictionary = value.asDictionary()) {
    for (auto& [key, entry] : *dictionary) {
      if (isTokenKey(key) && entry.isString()) {
        entry = platform::Value(kRedacted);
      } else {
        redactTokens(entry);
      }
    }
  } else if (platform::Array* array = value.asArray()) {
    for (platform::Value& entry : *array) redactTokens(entry);
  }
}

// A body for the log: the bytes as UTF-8 text with the tokens of a JSON answer redacted, or
// nothing when they are not text.
platform::Value bodyText(const platform::Data& data) {
  std::string text = data.toString();
  if (!platform::text::isValidUTF8(text)) return platform::Value();
  if (std::optional<platform::Value> json = platform::json::parse(text)) {
    redactTokens(*json);
    if (std::optional<std::string> written = platform::json::write(*json)) return *written;
  }
  return text;
}

std::string requestDescription(const platform::URLRequest& request) {
  return request.httpMethod + " " + request.url;
}

// Debug logs end up in bug reports: the API key and the tokens a request carries stay out.
platform::Dictionary redactedHeaders(const platform::HTTPHeaderFields& headers) {
  const platform::HeaderNameLess less;
  const auto same = [&](const std::string& a, const char* b) { return !less(a, b) && !less(b, a); };
  platform::Dictionary fields;
  for (const auto& [name, value] : headers) {
    if (same(name, kAPIKeyHeader) || same(name, kMigrationAuthHeader)) {
      fields.set(name, kRedacted);
    } else if (same(name, kAuthorizationHeader)) {
      fields.set(name, platform::format("%@ %@", {kAuthVersion, kRedacted}));
    } else {
      fields.set(name, value);
    }
  }
  return fields;
}

// Log arguments described only when the line is written, which debug lines mostly are not.
struct LoggedBody {
  const platform::Data& data;
  operator platform::Value() const { return bodyText(data); }
};
struct LoggedHeaders {
  const platform::HTTPHeaderFields& headers;
  operator platform::Value() const { return platform::Value(redactedHeaders(headers)); }
};

std::string responseDescription(const platform::HTTPURLResponse& response) {
  return platform::format("%@ (status %ld)", {response.url, response.statusCode});
}

}  // namespace

ZIRInstallationsURLSessionResponse::ZIRInstallationsURLSessionResponse(
    platform::HTTPURLResponse HTTPResponse, std::optional<platform::Data> data)
    : HTTPResponse_(std::move(HTTPResponse)), data_(std::move(data).value_or(platform::Data())) {}

ZIRInstallationsAPIService::ZIRInstallationsAPIService(
    std::string APIKey, std::string projectID,
    std::shared_ptr<ZIRHeartbeatLoggerProtocol> heartbeatLogger)
    : ZIRInstallationsAPIService(platform::URLSession::create(platform::URLSessionConfiguration{}),
                                 std::move(APIKey), std::move(projectID),
                                 std::move(heartbeatLogger)) {}

ZIRInstallationsAPIService::ZIRInstallationsAPIService(
    std::shared_ptr<platform::URLSession> URLSession, std::string APIKey, std::string projectID,
    std::shared_ptr<ZIRHeartbeatLoggerProtocol> heartbeatLogger, std::string serviceURL)
    : URLSession_(std::move(URLSession)), APIKey_(std::move(APIKey)),
      projectID_(std::move(projectID)), heartbeatLogger_(std::move(heartbeatLogger)),
      serviceURL_(std::move(serviceURL)) {}

std::string ZIRInstallationsAPIService::SDKVersion() const {
  return platform::format("i:%@", {ZIRSDKVersionString()});
}

// --- The three operations -----------------------------------------------------

ZBLPromisePtr ZIRInstallationsAPIService::registerInstallation(
    std::shared_ptr<ZIRInstallationsItem> installation) {
  auto self = shared_from_this();
  return validateInstallation(installation)
      ->then([self, installation](const ZBLObject&) {
        return ZBLObject(self->registerRequestWithInstallation(*installation));
      })
      ->then([self](const ZBLObject& request) {
        return ZBLObject(self->sendURLRequest(*request.as<platform::URLRequest>()));
      })
      ->then([installation](const ZBLObject& response) {
        return ZBLObject(registeredInstallationWithInstallation(
            installation, response.as<ZIRInstallationsURLSessionResponse>()));
      });
}

ZBLPromisePtr ZIRInstallationsAPIService::refreshAuthTokenForInstallation(
    std::shared_ptr<ZIRInstallationsItem> installation) {
  auto self = shared_from_this();
  return authTokenRequestWithInstallation(*installation)
      ->then([self](const ZBLObject& request) {
        return ZBLObject(self->sendURLRequest(*request.as<platform::URLRequest>()));
      })
      ->then([](const ZBLObject& response) {
        return ZBLObject(
            authTokenWithServerResponse(response.as<ZIRInstallationsURLSessionResponse>()));
      })
      ->then([installation](const ZBLObject& token) {
        std::shared_ptr<ZIRInstallationsItem> updated = installation->copy();
        updated->setAuthToken(token.as<ZIRInstallationsStoredAuthToken>());
        return ZBLObject(std::move(updated));
      });
}

ZBLPromisePtr
ZIRInstallationsAPIService::deleteInstallation(std::shared_ptr<ZIRInstallationsItem> installation) {
  auto self = shared_from_this();
  return deleteInstallationRequestWithInstallation(*installation)
      ->then([self](const ZBLObject& request) {
        return ZBLObject(self->sendURLRequest(*request.as<platform::URLRequest>()));
      })
      ->then([installation](const ZBLObject&) { return ZBLObject(installation); });
}

ZBLPromisePtr ZIRInstallationsAPIService::validateInstallation(
    const std::shared_ptr<ZIRInstallationsItem>& installation) {
  platform::ErrorPtr error;
  if (!installation->isValid(&error)) return ZBLPromise::resolvedWith(ZBLObject(error));
  return ZBLPromise::resolvedWith(ZBLObject(installation));
}

// --- Requests -----------------------------------------------------------------

ZBLPromisePtr ZIRInstallationsAPIService::registerRequestWithInstallation(
    const ZIRInstallationsItem& installation) {
  const platform::URL url =
      platform::format("%@/v1/projects/%@/installations/", {serviceURL_, projectID_});
  platform::Dictionary body;
  body.set("fid", installation.ziruzadaInstallationID().value_or(""));
  body.set("authVersion", kAuthVersion);
  body.set("appId", installation.appID());
  body.set("sdkVersion", SDKVersion());
  Headers headers;
  if (const auto& token = installation.IIDDefaultToken()) headers[kMigrationAuthHeader] = *token;
  return requestWithURL(url, "POST", std::move(body), std::nullopt, std::move(headers));
}

ZBLPromisePtr ZIRInstallationsAPIService::authTokenRequestWithInstallation(
    const ZIRInstallationsItem& installation) {
  const platform::URL url =
      platform::format("%@/v1/projects/%@/installations/%@/authTokens:generate",
                       {serviceURL_, projectID_, identifierArg(installation)});
  platform::Dictionary installationBody;
  installationBody.set("sdkVersion", SDKVersion());
  platform::Dictionary body;
  body.set("installation", std::move(installationBody));
  return requestWithURL(url, "POST", std::move(body), installation.refreshToken());
}

ZBLPromisePtr ZIRInstallationsAPIService::deleteInstallationRequestWithInstallation(
    const ZIRInstallationsItem& installation) {
  const platform::URL url =
      platform::format("%@/v1/projects/%@/installations/%@/",
                       {serviceURL_, projectID_, identifierArg(installation)});
  return requestWithURL(url, "DELETE", platform::Dictionary(), installation.refreshToken());
}

ZBLPromisePtr ZIRInstallationsAPIService::requestWithURL(const platform::URL& url,
                                                         const std::string& HTTPMethod,
                                                         platform::Dictionary bodyDict,
                                                         std::optional<std::string> refreshToken,
                                                         Headers additionalHeaders) {
  auto self = shared_from_this();
  return ZBLPromise::do_(
      platform::Queue::global(platform::Queue::QoS::Utility),
      [self, url, HTTPMethod, bodyDict = std::move(bodyDict),
       refreshToken = std::move(refreshToken), additionalHeaders = std::move(additionalHeaders)]() {
        auto request = std::make_shared<platform::URLRequest>(url);
        request->httpMethod = HTTPMethod;
        request->setValue(self->APIKey_, kAPIKeyHeader);
        request->setValue(platform::Bundle::main().bundleIdentifier(), kBundleIdentifierHeader);
        request->setValue("application/json", "Content-Type");
        // A body that cannot be written goes out empty; the service then refuses the request.
        request->body =
            platform::json::writeData(platform::Value(bodyDict)).value_or(platform::Data());
        if (refreshToken)
          request->setValue(authorizationValue(*refreshToken), kAuthorizationHeader);
        if (self->heartbeatLogger_) {
          if (const auto payload = self->heartbeatLogger_->flushHeartbeatsIntoPayload()) {
            request->setValue(ZIRHeartbeatHeaderValueFromPayload(*payload), kHeartbeatHeader);
          }
        }
        for (const auto& [field, value] : additionalHeaders) request->setValue(value, field);
        return ZBLObject(std::shared_ptr<const platform::URLRequest>(std::move(request)));
      });
}

// --- Sending ------------------------------------------------------------------

ZBLPromisePtr ZIRInstallationsAPIService::sendURLRequest(platform::URLRequest request) {
  auto self = shared_from_this();
  return ZBLPromise::retry(
      kRetryCount, kRetryDelaySeconds,
      [](std::int64_t, const platform::ErrorPtr& error) {
        return ZIRInstallationsErrorUtil::isAPIError(error, kRetriedStatus);
      },
      [self, request = std::move(request)]() {
        return ZBLObject(self->URLRequestPromise(request));
      });
}

ZBLPromisePtr ZIRInstallationsAPIService::URLRequestPromise(const platform::URLRequest& request) {
  auto self = shared_from_this();
  return ZBLPromise::async([self, request](ZBLPromise::Fulfill fulfill, ZBLPromise::Reject reject) {
           ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001001",
                         "Sending request: %@, body:%@, headers: %@.",
                         {requestDescription(request), LoggedBody{request.body},
                          LoggedHeaders{request.headers}});
           const std::string description = requestDescription(request);
           self->URLSession_
               ->dataTask(
                   request,
                   [fulfill, reject, description](std::optional<platform::Data> data,
                                                  std::optional<platform::HTTPURLResponse> response,
                                                  platform::ErrorPtr error) {
                     if (error) {
                       ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001002",
                                     "Request failed: %@, error: %@.",
                                     {description, error->description()});
                       reject(error);
                       return;
                     }
                     auto answer = std::make_shared<ZIRInstallationsURLSessionResponse>(
                         response.value_or(platform::HTTPURLResponse{}), std::move(data));
                     ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001003",
                                   "Request response received: %@, error: %@, body: %@.",
                                   {description, platform::Value(), LoggedBody{answer->data()}});
                     fulfill(ZBLObject(std::move(answer)));
                   })
               ->resume();
         })
      ->then([](const ZBLObject& response) {
        return validateHTTPResponseStatusCode(response.as<ZIRInstallationsURLSessionResponse>());
      });
}

ZBLObject ZIRInstallationsAPIService::validateHTTPResponseStatusCode(
    const std::shared_ptr<ZIRInstallationsURLSessionResponse>& response) {
  const long status = response->HTTPResponse().statusCode;
  if (status >= 200 && status <= 299) return ZBLObject(response);
  ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001004", "Unexpected API response: %@, body: %@.",
                {responseDescription(response->HTTPResponse()), LoggedBody{response->data()}});
  return ZBLObject(ZIRInstallationsErrorUtil::APIErrorWithHTTPResponse(response->HTTPResponse(),
                                                                       response->data()));
}

// --- Parsing ------------------------------------------------------------------

ZBLPromisePtr ZIRInstallationsAPIService::registeredInstallationWithInstallation(
    std::shared_ptr<ZIRInstallationsItem> installation,
    std::shared_ptr<ZIRInstallationsURLSessionResponse> serverResponse) {
  return ZBLPromise::do_(
      [installation = std::move(installation), serverResponse = std::move(serverResponse)]() {
        ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001005", "Parsing server response for %@.",
                      {serverResponse->HTTPResponse().url});
        platform::ErrorPtr error;
        std::shared_ptr<ZIRInstallationsItem> registered =
            ZIRInstallationsItemAPI::registeredInstallationWithJSONData(
                *installation, serverResponse->data(), platform::Date::now(), &error);
        if (!registered) {
          ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001006",
                        "Failed to parse ZIRInstallationsItem: %@.", {error->description()});
          return ZBLObject(error);
        }
        ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001007",
                      "ZIRInstallationsItem parsed successfully.");
        return ZBLObject(std::move(registered));
      });
}

ZBLPromisePtr ZIRInstallationsAPIService::authTokenWithServerResponse(
    std::shared_ptr<ZIRInstallationsURLSessionResponse> serverResponse) {
  return ZBLPromise::do_([serverResponse = std::move(serverResponse)]() {
    ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001005", "Parsing server response for %@.",
                  {serverResponse->HTTPResponse().url});
    platform::ErrorPtr error;
    std::shared_ptr<ZIRInstallationsStoredAuthToken> token =
        ZIRInstallationsItemAPI::authTokenWithGenerateTokenAPIJSONData(
            serverResponse->data(), platform::Date::now(), &error);
    if (!token) {
      ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001008",
                    "Failed to parse ZIRInstallationsStoredAuthToken: %@.", {error->description()});
      return ZBLObject(error);
    }
    ZIRLogAtDebug(kZIRLoggerInstallations, "I-ZIS001009",
                  "ZIRInstallationsStoredAuthToken parsed successfully.");
    return ZBLObject(std::move(token));
  });
}
