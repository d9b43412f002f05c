// FakeService: a loopback HTTP server that records each request and answers from a test's script.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/url_session.h"

namespace testing_support {

// The bytes as one gzip member, as a client or server sending "Content-Encoding: gzip" would.
std::string gzip(std::string_view bytes);

class FakeService {
 public:
  // One scripted answer. The body goes out exactly as given: the service never compresses
  // on its own, so a gzip body needs the Content-Encoding field and gzip(body) from the test.
  struct Response {
    int status = 200;
    // Sent in order; a name may repeat. Without a Content-Type a body is "text/plain".
    std::vector<std::pair<std::string, std::string>> headers{};
    std::string body{};
    // Waits this long (real seconds) before answering; the service's destruction cuts it short.
    double delaySeconds = 0;
    // Closes the connection without answering.
    bool dropConnection = false;
    // Sends the body in chunks without a Content-Length, so a client learns its length only
    // by reading to the end. Unlike a body with a length, httplib compresses a chunked one
    // for a request that accepts gzip.
    bool chunked = false;

    static Response redirect(std::string location, int status = 302);
  };

  struct Request {
    std::string method;
    std::string path;   // as sent, without the query
    std::string query;  // as sent, without the "?"
    // Decoded query items; the first one wins for a repeated name.
    std::map<std::string, std::string> queryItems;
    // Repeated fields are joined with ", ".
    platform::HTTPHeaderFields headers;
    std::string body;  // the bytes as received
    // The body gunzipped when Content-Encoding is gzip (empty if that fails), else the body.
    std::string inflatedBody;

    std::optional<std::string> header(std::string_view name) const;
  };

  // Listening once constructed; stopped (and its threads joined) on destruction.
  FakeService();
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  int port() const;
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;

  // Queues an answer for the method and path. Each request takes the next queued answer;
  // the last one stays for every later request. Paths without a script get a bare 404.
  void on(std::string method, std::string path, Response response);

  // Answers every request for the method and path with what the responder makes of it, in
  // place of any queued answers. Called on a service thread after the request is recorded,
  // possibly for several requests at once.
  using Responder = std::function<Response(const Request& request)>;
  void respond(std::string method, std::string path, Responder responder);

  // Everything received so far, in arrival order (recorded before any delay).
  std::vector<Request> requests() const;
  // Waits (real time) until at least count requests arrived; false on timeout.
  bool waitForRequests(std::size_t count, double timeoutSeconds = 5) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace testing_support
