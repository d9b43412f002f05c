// ZIRInstallationsAPIService: the installations service's REST client. It registers an
// installation, generates a new auth token for one and deletes one, each request carrying the
// project's API key, the bundle identifier, the refresh token and the heartbeat header; a 500
// answer is retried once. ZIRInstallationsURLSessionResponse: one answer with its body.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "foundation/ZIRHeartbeatLogger.h"
#include "foundation/ZIRServiceHosts.h"
#include "installations/ZIRInstallationsItem.h"
#include "platform/data.h"
#include "platform/url_session.h"
#include "promises/zbl_promise.h"

// An answer of the service as the session delivered it; immutable.
class ZIRInstallationsURLSessionResponse {
 public:
  // No data reads as an empty body.
  ZIRInstallationsURLSessionResponse(platform::HTTPURLResponse HTTPResponse,
                                     std::optional<platform::Data> data);

  const platform::HTTPURLResponse& HTTPResponse() const { return HTTPResponse_; }
  const platform::Data& data() const { return data_; }

 private:
  const platform::HTTPURLResponse HTTPResponse_;
  const platform::Data data_;
};

// Holds no state but its session, so calls may overlap. Hold it in a std::shared_ptr: each
// chain keeps the service alive until it settles. Promises settle on the promise default
// queue (the main queue unless replaced).
class ZIRInstallationsAPIService : public std::enable_shared_from_this<ZIRInstallationsAPIService> {
 public:
  // With a session of its own (ephemeral configuration).
  ZIRInstallationsAPIService(std::string APIKey, std::string projectID,
                             std::shared_ptr<ZIRHeartbeatLoggerProtocol> heartbeatLogger);
  // The service's base address (scheme, host and port; the request paths are appended) is
  // configuration, read once here.
  ZIRInstallationsAPIService(std::shared_ptr<platform::URLSession> URLSession, std::string APIKey,
                             std::string projectID,
                             std::shared_ptr<ZIRHeartbeatLoggerProtocol> heartbeatLogger,
                             std::string serviceURL = ZIRServiceHosts::installationsServiceURL());

  const std::shared_ptr<platform::URLSession>& URLSession() const { return URLSession_; }
  const std::string& APIKey() const { return APIKey_; }
  const std::string& projectID() const { return projectID_; }
  const std::string& serviceURL() const { return serviceURL_; }

  // Promise of the registered std::shared_ptr<ZIRInstallationsItem>: the item must be valid
  // (else its validation error); the answer gives identifier, refresh token and token.
  ZBLPromisePtr registerInstallation(std::shared_ptr<ZIRInstallationsItem> installation);
  // Promise of a copy of the item (std::shared_ptr<ZIRInstallationsItem>) with the new token.
  // The item is not validated first.
  ZBLPromisePtr refreshAuthTokenForInstallation(std::shared_ptr<ZIRInstallationsItem> installation);
  // Promise of the same item once the service deleted it.
  ZBLPromisePtr deleteInstallation(std::shared_ptr<ZIRInstallationsItem> installation);

  // Promise of std::shared_ptr<ZIRInstallationsURLSessionResponse> with a status of 200-299.
  // A connection failure rejects with the session's own error; any other status with an
  // ZIRInstallationsHTTPError. Only a 500 answer is sent again, once, after a second.
  ZBLPromisePtr sendURLRequest(platform::URLRequest request);

  // "i:<SDK version>".
  std::string SDKVersion() const;

 private:
  using Headers = std::map<std::string, std::string>;

  ZBLPromisePtr validateInstallation(const std::shared_ptr<ZIRInstallationsItem>& installation);
  // Each a promise of the std::shared_ptr<platform::URLRequest> to send.
  ZBLPromisePtr registerRequestWithInstallation(const ZIRInstallationsItem& installation);
  ZBLPromisePtr authTokenRequestWithInstallation(const ZIRInstallationsItem& installation);
  ZBLPromisePtr deleteInstallationRequestWithInstallation(const ZIRInstallationsItem& installation);
  ZBLPromisePtr requestWithURL(const platform::URL& url, const std::string& HTTPMethod,
                               platform::Dictionary bodyDict,
                               std::optional<std::string> refreshToken,
                               Headers additionalHeaders = {});

  // One attempt: the data task, then the status check.
  ZBLPromisePtr URLRequestPromise(const platform::URLRequest& request);
  static ZBLObject validateHTTPResponseStatusCode(
      const std::shared_ptr<ZIRInstallationsURLSessionResponse>& response);

  static ZBLPromisePtr registeredInstallationWithInstallation(
      std::shared_ptr<ZIRInstallationsItem> installation,
      std::shared_ptr<ZIRInstallationsURLSessionResponse> serverResponse);
  static ZBLPromisePtr
  authTokenWithServerResponse(std::shared_ptr<ZIRInstallationsURLSessionResponse> serverResponse);

  const std::shared_ptr<platform::URLSession> URLSession_;
  const std::string APIKey_;
  const std::string projectID_;
  const std::shared_ptr<ZIRHeartbeatLoggerProtocol> heartbeatLogger_;
  const std::string serviceURL_;
};
