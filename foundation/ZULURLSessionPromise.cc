#include "foundation/ZULURLSessionPromise.h"

#include <utility>

ZULURLSessionDataResponse::ZULURLSessionDataResponse(platform::HTTPURLResponse response,
                                                     std::optional<platform::Data> HTTPBody)
    : HTTPResponse_(std::move(response)), HTTPBody_(std::move(HTTPBody)) {}

ZBLPromisePtr zul_dataTaskPromiseWithRequest(const std::shared_ptr<platform::URLSession>& session,
                                             platform::URLRequest request) {
  return ZBLPromise::async([session, request = std::move(request)](ZBLPromise::Fulfill fulfill,
                                                                   ZBLPromise::Reject reject) {
    const auto task = session->dataTask(
        request, [fulfill, reject](std::optional<platform::Data> data,
                                   std::optional<platform::HTTPURLResponse> response,
                                   platform::ErrorPtr error) {
          if (error) {
            reject(error);
            return;
          }
          fulfill(std::make_shared<ZULURLSessionDataResponse>(
              response.value_or(platform::HTTPURLResponse{}), std::move(data)));
        });
    task->resume();
  });
}
