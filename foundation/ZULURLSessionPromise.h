// ZULURLSessionDataResponse and zul_dataTaskPromiseWithRequest: a URL session's data task
// delivered as a promise of the HTTP response and its body, whatever the status.
#pragma once

#include <memory>
#include <optional>

#include "platform/data.h"
#include "platform/url_session.h"
#include "promises/zbl_promise.h"

// The outcome of a data task that reached the server; immutable.
class ZULURLSessionDataResponse {
 public:
  ZULURLSessionDataResponse(platform::HTTPURLResponse response,
                            std::optional<platform::Data> HTTPBody);

  const platform::HTTPURLResponse& HTTPResponse() const { return HTTPResponse_; }
  // None or empty when the answer had no body, as the session delivered it.
  const std::optional<platform::Data>& HTTPBody() const { return HTTPBody_; }

 private:
  const platform::HTTPURLResponse HTTPResponse_;
  const std::optional<platform::Data> HTTPBody_;
};

// Starts a data task for the request from the default promise queue. The promise is
// fulfilled with a std::shared_ptr<ZULURLSessionDataResponse> for any HTTP status (the
// caller judges it) and rejected with the session's error when the transfer failed.
ZBLPromisePtr zul_dataTaskPromiseWithRequest(const std::shared_ptr<platform::URLSession>& session,
                                             platform::URLRequest request);
