// FakeCollectionService: a loopback stand-in for the event collection service. It takes
// upload batches at one path per target, records each upload, and answers from a test's
// script (status, answer body, Retry-After, redirect, delay, dropped connection).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_service.h"

namespace testing_support {

class FakeCollectionService {
 public:
  // Headers, raw body and the body gunzipped when it says "Content-Encoding: gzip".
  using Upload = FakeService::Request;

  struct Answer {
    int status = 200;
    // Sent as it is: an encoded KCTResponse, or bytes that are not one. Empty: no body.
    std::string body{};
    // The "Retry-After" field, when set.
    std::optional<std::string> retryAfter{};
    // The "Location" field, for a redirect status.
    std::optional<std::string> location{};
    // Waits this long (real seconds) before answering.
    double delaySeconds = 0;
    // Closes the connection without answering.
    bool dropConnection = false;

    static Answer redirect(std::string location, int status = 302);
  };

  // Listening on 127.0.0.1 once constructed. Uploads for targets 1000 to 1003 are answered
  // 200 without a body until a test scripts otherwise.
  FakeCollectionService();
  ~FakeCollectionService();
  FakeCollectionService(const FakeCollectionService&) = delete;
  FakeCollectionService& operator=(const FakeCollectionService&) = delete;

  std::string baseURL() const { return service_.baseURL(); }
  // "/upload/<target>" and its full address.
  static std::string uploadPath(std::int64_t target);
  std::string uploadURL(std::int64_t target) const { return baseURL() + uploadPath(target); }

  // Queues answers for uploads to the path (any path, also one a redirect leads to): each
  // upload takes the next queued answer; the last one stays for every later upload.
  void script(const std::string& path, Answer answer, std::size_t times = 1);
  void script(std::int64_t target, Answer answer, std::size_t times = 1) {
    script(uploadPath(target), std::move(answer), times);
  }

  // Everything received, in arrival order (recorded before any delay).
  std::vector<Upload> uploads() const { return service_.requests(); }
  bool waitForUploads(std::size_t count, double timeoutSeconds = 5) const {
    return service_.waitForRequests(count, timeoutSeconds);
  }

  FakeService& service() { return service_; }

 private:
  struct State;
  // Routes POSTs of the path to the script.
  void serve(const std::string& path);

  // Declared before the service, so the service (and its threads) stop first.
  std::unique_ptr<State> state_;
  FakeService service_;
};

}  // namespace testing_support
