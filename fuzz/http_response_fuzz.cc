// Hands the input to a URL session task as the raw bytes of an HTTP response (status line,
// header fields, body), served from a loopback socket. libcurl frames the response and the
// session reads the header fields, the content type and a gzip body from what curl passes
// on; the session keeps no parser of its own that could be called without a connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "platform/dispatch.h"
#include "platform/url_session.h"

namespace {

using namespace platform;

constexpr int kPollMs = 3000;
constexpr double kRequestTimeout = 4;
// Longer than the request's own time-out, so that a task that never completes is told from
// one that timed out, and shorter than the fuzzer's limit for a hang.
constexpr auto kCompletionWait = std::chrono::seconds(8);

// Never follows a redirect: the input names where to go, and the target must talk to its
// own loopback socket only.
class RefuseRedirects : public URLSessionDelegate {
 public:
  void willPerformHTTPRedirection(
      const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
      const HTTPURLResponse&, const URLRequest&,
      std::function<void(std::optional<URLRequest>)> completionHandler) override {
    completionHandler(std::nullopt);
  }
};

class Listener {
 public:
  Listener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    fuzz::fuzzCheck(fd_ >= 0, "a loopback socket opens");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    fuzz::fuzzCheck(bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                        listen(fd_, 4) == 0 &&
                        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
                    "the loopback socket listens");
    port_ = ntohs(address.sin_port);
  }

  int port() const { return port_; }

  // Answers the request for the path with the bytes as they are and closes. Connections
  // asking for anything else are what curl left of earlier tasks (a retry on a fresh
  // connection after a kept one turned out closed) and are closed unanswered, so that a stray
  // connection never takes the place of the current task's.
  void serveOnce(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    const std::string requestLine = "GET " + path + " ";
    for (;;) {
      pollfd waiting{fd_, POLLIN, 0};
      if (poll(&waiting, 1, kPollMs) != 1) return;
      const int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      std::string head;
      char buffer[4096];
      while (head.find("\r\n\r\n") == std::string::npos && readable(connection)) {
        const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<std::size_t>(got));
      }
      const bool current = head.starts_with(requestLine);
      for (std::size_t sent = 0; current && sent < size;) {
        const ssize_t wrote = send(connection, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (wrote <= 0) break;
        sent += static_cast<std::size_t>(wrote);
      }
      // The whole request head was read, so closing sends an orderly end rather than a reset
      // that could cut the answer short; curl may keep its end open, so waiting for it would
      // only cost time.
      shutdown(connection, SHUT_WR);
      close(connection);
      if (current) return;
    }
  }

 private:
  static bool readable(int connection) {
    pollfd waiting{connection, POLLIN, 0};
    return poll(&waiting, 1, kPollMs) == 1;
  }

  int fd_;
  int port_ = 0;
};

struct Outcome {
  std::optional<Data> data;
  std::optional<HTTPURLResponse> response;
  ErrorPtr error;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Made once: a session per input would start a worker thread per input.
  static Listener* const listener = new Listener;
  static const std::shared_ptr<URLSession>* const session = new std::shared_ptr<URLSession>(
      URLSession::create(URLSessionConfiguration{}, std::make_shared<RefuseRedirects>()));

  static std::uint64_t inputs = 0;
  const std::string path = "/fuzz/" + std::to_string(++inputs);
  URLRequest request("http://127.0.0.1:" + std::to_string(listener->port()) + path);
  // One connection per task, so that the next input never meets this one's connection.
  request.setValue("close", "Connection");
  request.timeoutInterval = kRequestTimeout;
  auto done = std::make_shared<std::promise<Outcome>>();
  auto task = (*session)->dataTask(
      request,
      [done](std::optional<Data> body, std::optional<HTTPURLResponse> response, ErrorPtr error) {
        done->set_value(Outcome{std::move(body), std::move(response), std::move(error)});
      });
  auto completion = done->get_future();
  task->resume();
  listener->serveOnce(path, data, size);
  fuzz::fuzzCheck(completion.wait_for(kCompletionWait) == std::future_status::ready,
                  "the task completes");
  const Outcome outcome = completion.get();

  fuzz::fuzzCheck(outcome.response.has_value() == (outcome.error == nullptr),
                  "a task ends with a response or an error, never both");
  if (!outcome.response) return 0;
  fuzz::fuzzCheck(outcome.data.has_value(), "a response comes with its body");
  if (const auto mime = outcome.response->mimeType) {
    for (const char c : *mime) {
      fuzz::fuzzCheck(!(c >= 'A' && c <= 'Z') && c != ';', "the MIME type is lower-case and bare");
    }
  }
  return 0;
}
