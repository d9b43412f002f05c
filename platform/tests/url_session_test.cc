#include "platform/url_session.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "tests/support/fake_service.h"

namespace platform {
namespace {

using testing_support::FakeService;
using testing_support::gzip;

// Real seconds to wait for a completion that should come much sooner.
constexpr double kGenerousWait = 10;
constexpr const char* kQueueLabel = "test.url-session.delegate";

// What a completion handler received, filled in on the delegate queue.
struct Outcome {
  Semaphore done;
  std::optional<Data> data;
  std::optional<HTTPURLResponse> response;
  ErrorPtr error;
  bool onDelegateQueue = false;
  std::string queueLabel;
};

URLSession::CompletionHandler recordInto(const std::shared_ptr<Outcome>& outcome,
                                         const QueuePtr& queue) {
  return [outcome, queue](std::optional<Data> data, std::optional<HTTPURLResponse> response,
                          ErrorPtr error) {
    outcome->data = std::move(data);
    outcome->response = std::move(response);
    outcome->error = std::move(error);
    outcome->onDelegateQueue = queue->isCurrent();
    outcome->queueLabel = Queue::currentLabel();
    outcome->done.signal();
  };
}

std::string text(const std::optional<Data>& data) { return data ? data->toString() : "<none>"; }

// Answers redirects as told and records what it was asked, on which queue.
class RecordingDelegate : public URLSessionDelegate {
 public:
  struct Redirect {
    long status;
    URLRequest newRequest;
    bool onDelegateQueue;
  };

  RecordingDelegate(QueuePtr queue, bool refuseRedirects)
      : queue_(std::move(queue)), refuseRedirects_(refuseRedirects) {}

  void
  willPerformHTTPRedirection(const std::shared_ptr<URLSession>&,
                             const std::shared_ptr<URLSessionTask>&,
                             const HTTPURLResponse& response, const URLRequest& newRequest,
                             std::function<void(std::optional<URLRequest>)> completion) override {
    {
      std::lock_guard lock(mutex_);
      redirects_.push_back({response.statusCode, newRequest, queue_->isCurrent()});
    }
    completion(refuseRedirects_ ? std::nullopt : std::optional<URLRequest>(newRequest));
  }

  void didCompleteWithError(const std::shared_ptr<URLSession>&,
                            const std::shared_ptr<URLSessionTask>& task,
                            const ErrorPtr& error) override {
    std::lock_guard lock(mutex_);
    completions_.push_back({task->taskIdentifier(), error, queue_->isCurrent()});
    completed_.signal();
  }

  struct Completion {
    std::uint64_t taskIdentifier;
    ErrorPtr error;
    bool onDelegateQueue;
  };
  std::vector<Redirect> redirects() {
    std::lock_guard lock(mutex_);
    return redirects_;
  }
  std::vector<Completion> completions() {
    std::lock_guard lock(mutex_);
    return completions_;
  }
  Semaphore& completed() { return completed_; }

 private:
  const QueuePtr queue_;
  const bool refuseRedirects_;
  std::mutex mutex_;
  std::vector<Redirect> redirects_;
  std::vector<Completion> completions_;
  Semaphore completed_;
};

class URLSessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<URLSession> makeSession(URLSessionConfiguration configuration = {},
                                          std::shared_ptr<URLSessionDelegate> delegate = nullptr) {
    return URLSession::create(std::move(configuration), std::move(delegate), queue_);
  }

  URLRequest request(const std::string& path, std::string method = "GET") {
    URLRequest request(service_.baseURL() + path);
    request.httpMethod = std::move(method);
    return request;
  }

  // Starts a data task and waits for its completion.
  std::shared_ptr<Outcome> run(const std::shared_ptr<URLSession>& session, URLRequest request,
                               double waitSeconds = kGenerousWait) {
    auto outcome = std::make_shared<Outcome>();
    session->dataTask(std::move(request), recordInto(outcome, session->delegateQueue()))->resume();
    EXPECT_TRUE(outcome->done.wait(waitSeconds));
    return outcome;
  }

  FakeService service_;
  QueuePtr queue_ = Queue::serial(kQueueLabel);
};

TEST(URLRequestTest, HeaderFieldsIgnoreCaseAndKeepTheCallersSpelling) {
  URLRequest request("http://127.0.0.1/");
  request.setValue("first", "X-Trace-Id");
  request.setValue("second", "x-trace-id");
  EXPECT_EQ(request.valueForHeader("X-TRACE-ID"), "second");
  ASSERT_EQ(request.headers.size(), 1u);
  EXPECT_EQ(request.headers.begin()->first, "X-Trace-Id");
  request.setValue(std::nullopt, "X-TRACE-ID");
  EXPECT_EQ(request.valueForHeader("X-Trace-Id"), std::nullopt);
}

TEST_F(URLSessionTest, RequestsArriveExactlyAsGiven) {
  struct Case {
    std::string method;
    std::string target;
    std::string body;
    std::optional<std::string> contentType;
    bool asUpload;
  };
  const std::string binary("{\"a\":1}\0\x01\xff\r\n", 12);
  // Large enough that curl would ask for a 100-continue on its own.
  std::string large(2 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  const Case cases[] = {
      {"GET", "/items?name=a%20b&n=1", "", std::nullopt, false},
      {"POST", "/events", binary, "application/json", false},
      {"POST", "/form", "k=v", std::nullopt, false},
      {"PUT", "/items/7", "replacement", "text/plain", false},
      {"DELETE", "/items/7", "", std::nullopt, false},
      {"POST", "/upload", large, "application/octet-stream", true},
  };
  URLSessionConfiguration configuration;
  configuration.httpAdditionalHeaders = {{"X-Session", "s"}, {"X-Trace-Id", "from-session"}};
  auto session = makeSession(configuration);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target);
    const std::string path = c.target.substr(0, c.target.find('?'));
    service_.on(c.method, path, {.status = 200, .body = "ok"});
    URLRequest r = request(c.target, c.method);
    r.setValue("abc", "x-trace-id");
    if (c.contentType) r.setValue(*c.contentType, "Content-Type");
    auto outcome = std::make_shared<Outcome>();
    std::shared_ptr<URLSessionTask> task;
    if (c.asUpload) {
      task = session->uploadTask(r, Data::fromString(c.body), recordInto(outcome, queue_));
    } else {
      r.body = Data::fromString(c.body);
      task = session->dataTask(r, recordInto(outcome, queue_));
    }
    const std::size_t before = service_.requests().size();
    task->resume();
    ASSERT_TRUE(outcome->done.wait(kGenerousWait));
    EXPECT_EQ(outcome->error, nullptr);
    EXPECT_EQ(text(outcome->data), "ok");

    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), before + 1);
    const FakeService::Request& got = requests.back();
    EXPECT_EQ(got.method, c.method);
    EXPECT_EQ(got.path, path);
    EXPECT_EQ(got.query, c.target.find('?') == std::string::npos
                             ? ""
                             : c.target.substr(c.target.find('?') + 1));
    EXPECT_EQ(got.body, c.body);
    EXPECT_EQ(got.header("X-Trace-Id"), "abc");
    EXPECT_EQ(got.header("X-Session"), "s");
    EXPECT_EQ(got.header("Content-Type"), c.contentType);
    EXPECT_EQ(got.header("Expect"), std::nullopt);
    EXPECT_EQ(got.header("Accept-Encoding"), std::nullopt);
    if (!c.body.empty()) {
      EXPECT_EQ(got.header("Content-Length"), std::to_string(c.body.size()));
    }
  }
  EXPECT_EQ(service_.requests().front().queryItems.at("name"), "a b");
}

TEST_F(URLSessionTest, HeaderFieldsThatWouldSplitTheRequestNeverGoOut) {
  struct Case {
    std::string name;
    std::string value;
  } refused[] = {
      {"X-Note", "a\r\nX-Injected: yes"},
      {"X-Note", "a\nX-Injected: yes"},
      {"X-Note", std::string("a\0b", 3)},
      {"X-Injected: yes\r\nX-Note", "a"},
      {"X Note", "a"},
      {"", "a"},
  };
  URLRequest r = request("/checked", "GET");
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(isValidHTTPHeaderField(c.name, c.value));
    EXPECT_FALSE(r.setValue(c.value, c.name));
  }
  EXPECT_TRUE(r.headers.empty());
  EXPECT_TRUE(r.setValue("tab\tand spaces are fine", "X-Note"));
  // Put in directly, past the check: left out when the request is sent.
  r.headers.emplace("X-Bad", "a\r\nX-Injected: yes");
  service_.on("GET", "/checked", {.status = 200});
  auto outcome = run(makeSession({}), r);
  EXPECT_EQ(outcome->error, nullptr);
  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& got = requests.front();
  EXPECT_EQ(got.header("X-Note"), "tab\tand spaces are fine");
  EXPECT_EQ(got.header("X-Bad"), std::nullopt);
  EXPECT_EQ(got.header("X-Injected"), std::nullopt);
}

TEST_F(URLSessionTest, StatusAndHeadersComeBackWithCaseInsensitiveLookUp) {
  service_.on("GET", "/thing",
              {.status = 201,
               .headers = {{"X-Reply", "yes"},
                           {"Set-Cookie", "a=1"},
                           {"Set-Cookie", "b=2"},
                           {"Content-Type", "Application/JSON; charset=utf-8"}},
               .body = "{}"});
  auto outcome = run(makeSession(), request("/thing"));
  ASSERT_EQ(outcome->error, nullptr);
  ASSERT_TRUE(outcome->response);
  const HTTPURLResponse& response = *outcome->response;
  EXPECT_EQ(response.statusCode, 201);
  EXPECT_EQ(response.url, service_.baseURL() + "/thing");
  EXPECT_EQ(response.valueForHeaderField("x-reply"), "yes");
  EXPECT_EQ(response.valueForHeaderField("SET-COOKIE"), "a=1, b=2");
  EXPECT_EQ(response.valueForHeaderField("X-Missing"), std::nullopt);
  EXPECT_EQ(response.mimeType, "application/json");
  EXPECT_EQ(text(outcome->data), "{}");
}

TEST_F(URLSessionTest, HTTPErrorStatusesAreResponsesNotErrors) {
  service_.on("GET", "/broken", {.status = 500, .body = "server trouble"});
  auto session = makeSession();
  for (const auto& [path, status, body] :
       {std::tuple{"/broken", 500L, "server trouble"}, std::tuple{"/unscripted", 404L, ""}}) {
    SCOPED_TRACE(path);
    auto outcome = run(session, request(path));
    EXPECT_EQ(outcome->error, nullptr);
    ASSERT_TRUE(outcome->response);
    EXPECT_EQ(outcome->response->statusCode, status);
    EXPECT_EQ(text(outcome->data), body);
  }
}

// A TCP socket bound on loopback but not listening refuses every connection to its port.
class RefusingPort {
 public:
  RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

TEST_F(URLSessionTest, FailuresBecomeURLErrors) {
  RefusingPort refusing;
  service_.on("GET", "/slow", {.status = 200, .body = "late", .delaySeconds = 30});
  service_.on("GET", "/drop", {.dropConnection = true});
  const std::string base = service_.baseURL();
  struct Case {
    const char* name;
    std::string url;
    double requestTimeout;
    double sessionTimeout;
    std::int64_t code;
    const char* description;
  };
  const Case cases[] = {
      {"request timeout", base + "/slow", 0.3, 60, URLErrorTimedOut, "The request timed out."},
      {"session timeout", base + "/slow", URLRequest::kDefaultTimeoutInterval, 0.3,
       URLErrorTimedOut, "The request timed out."},
      {"connection refused", "http://127.0.0.1:" + std::to_string(refusing.port()) + "/", 60, 60,
       URLErrorCannotConnectToHost, "Could not connect to the server."},
      {"dropped connection", base + "/drop", 60, 60, URLErrorNetworkConnectionLost,
       "The network connection was lost."},
      {"TLS to a plain server", "https://127.0.0.1:" + std::to_string(service_.port()) + "/", 60,
       60, URLErrorSecureConnectionFailed, nullptr},
      {"unsupported scheme", "ftp://127.0.0.1/file", 60, 60, URLErrorUnsupportedURL, nullptr},
      {"no scheme", "127.0.0.1/file", 60, 60, URLErrorUnsupportedURL, nullptr},
      {"no host", "http://", 60, 60, URLErrorBadURL, nullptr},
      {"space in host", "http://exa mple.com/", 60, 60, URLErrorBadURL, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = c.sessionTimeout;
    URLRequest r(c.url);
    r.timeoutInterval = c.requestTimeout;
    auto outcome = run(makeSession(configuration), r);
    ASSERT_NE(outcome->error, nullptr);
    EXPECT_EQ(outcome->error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(outcome->error->code(), c.code);
    EXPECT_EQ(outcome->error->userInfo()[kURLErrorFailingURLStringErrorKey], Value(c.url));
    if (c.description) {
      EXPECT_EQ(outcome->error->localizedDescription(), c.description);
    }
    EXPECT_FALSE(outcome->data);
    EXPECT_FALSE(outcome->response);
  }
}

TEST_F(URLSessionTest, TaskLifecycleAndCancellation) {
  service_.on("GET", "/slow", {.status = 200, .body = "late", .delaySeconds = 30});
  auto session = makeSession();

  auto running = std::make_shared<Outcome>();
  auto task = session->dataTask(request("/slow"), recordInto(running, queue_));
  auto never = std::make_shared<Outcome>();
  auto suspended = session->dataTask(request("/slow"), recordInto(never, queue_));
  EXPECT_EQ(task->taskIdentifier(), 1u);
  EXPECT_EQ(suspended->taskIdentifier(), 2u);
  EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);

  task->resume();
  EXPECT_EQ(task->state(), URLSessionTask::State::Running);
  ASSERT_TRUE(service_.waitForRequests(1));
  task->cancel();
  ASSERT_TRUE(running->done.wait(kGenerousWait));
  ASSERT_NE(running->error, nullptr);
  EXPECT_EQ(running->error->code(), URLErrorCancelled);
  EXPECT_EQ(running->error->localizedDescription(), "cancelled");
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);

  // A task cancelled before it ever ran completes too, without reaching the network.
  suspended->cancel();
  ASSERT_TRUE(never->done.wait(kGenerousWait));
  EXPECT_EQ(never->error->code(), URLErrorCancelled);
  suspended->resume();
  task->cancel();
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
  EXPECT_EQ(service_.requests().size(), 1u);
}

TEST_F(URLSessionTest, RedirectRefusedByTheDelegateHandsTheRedirectToTheCaller) {
  service_.on("POST", "/from", [] {
    auto response = FakeService::Response::redirect("/to", 302);
    response.body = "moved";
    return response;
  }());
  auto delegate = std::make_shared<RecordingDelegate>(queue_, /*refuseRedirects=*/true);
  auto outcome = run(makeSession({}, delegate), request("/from", "POST"));

  EXPECT_EQ(outcome->error, nullptr);
  ASSERT_TRUE(outcome->response);
  EXPECT_EQ(outcome->response->statusCode, 302);
  EXPECT_EQ(outcome->response->valueForHeaderField("location"), "/to");
  EXPECT_EQ(text(outcome->data), "moved");
  EXPECT_EQ(service_.requests().size(), 1u);

  const auto redirects = delegate->redirects();
  ASSERT_EQ(redirects.size(), 1u);
  EXPECT_EQ(redirects[0].status, 302);
  EXPECT_EQ(redirects[0].newRequest.url, service_.baseURL() + "/to");
  EXPECT_EQ(redirects[0].newRequest.httpMethod, "GET");
  EXPECT_TRUE(redirects[0].onDelegateQueue);
}

TEST_F(URLSessionTest, FollowedRedirectsReachTheTargetWithThePlatformsMethodRules) {
  struct Case {
    int status;
    std::string method;
    std::string expectedMethod;
    bool keepsBody;
  };
  const Case cases[] = {
      {301, "POST", "GET", false}, {302, "POST", "GET", false}, {302, "GET", "GET", false},
      {303, "POST", "GET", false}, {303, "PUT", "GET", false},  {307, "POST", "POST", true},
      {308, "PUT", "PUT", true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.method);
    const std::string from = "/from" + std::to_string(index);
    const std::string to = "/to" + std::to_string(index);
    service_.on(c.method, from, FakeService::Response::redirect(to, c.status));
    service_.on(c.expectedMethod, to, {.status = 200, .body = "arrived"});
    // Without a delegate, and with one that keeps the default answer, redirects are followed.
    auto delegate = index % 2 ? std::make_shared<URLSessionDelegate>() : nullptr;
    URLRequest r = request(from, c.method);
    r.body = Data::fromString("payload");
    r.setValue("text/plain", "Content-Type");
    const std::size_t before = service_.requests().size();
    auto outcome = run(makeSession({}, delegate), r);
    ++index;

    EXPECT_EQ(outcome->error, nullptr);
    ASSERT_TRUE(outcome->response);
    EXPECT_EQ(outcome->response->statusCode, 200);
    EXPECT_EQ(outcome->response->url, service_.baseURL() + to);
    EXPECT_EQ(text(outcome->data), "arrived");
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), before + 2);
    EXPECT_EQ(requests.back().method, c.expectedMethod);
    EXPECT_EQ(requests.back().path, to);
    EXPECT_EQ(requests.back().body, c.keepsBody ? "payload" : "");
  }
}

// Answers every redirect with what the function makes of the proposed request.
class AnsweringDelegate : public URLSessionDelegate {
 public:
  explicit AnsweringDelegate(std::function<URLRequest(URLRequest)> answer)
      : answer_(std::move(answer)) {}
  void
  willPerformHTTPRedirection(const std::shared_ptr<URLSession>&,
                             const std::shared_ptr<URLSessionTask>&, const HTTPURLResponse&,
                             const URLRequest& newRequest,
                             std::function<void(std::optional<URLRequest>)> completion) override {
    completion(answer_(newRequest));
  }

 private:
  std::function<URLRequest(URLRequest)> answer_;
};

TEST_F(URLSessionTest, CredentialsNeverFollowARedirectToAnotherOrigin) {
  // The same loopback server under another host name is another origin.
  const std::string port = std::to_string(service_.port());
  const std::string elsewhere = "http://localhost:" + port;
  const std::set<std::string> credentials = {"Authorization", "X-Rerora-Api-Key", "Cookie",
                                             "X-Auth-Token", "Proxy-Authorization"};
  struct Case {
    const char* name;
    int status;
    std::string method;
    bool otherOrigin;
    std::string expectedMethod;
    // The delegate puts "Authorization" back into the request it answers.
    bool putBack = false;
  };
  const Case cases[] = {
      {"302 turns the POST into a GET", 302, "POST", true, "GET"},
      {"301", 301, "POST", true, "GET"},
      {"303", 303, "POST", true, "GET"},
      {"307 resends the POST", 307, "POST", true, "POST"},
      {"308", 308, "PUT", true, "PUT"},
      {"same origin keeps them", 307, "POST", false, "POST"},
      {"same origin 302", 302, "POST", false, "GET"},
      {"the delegate puts one back", 307, "POST", true, "POST", true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string from = "/from" + std::to_string(index);
    const std::string to = "/to" + std::to_string(index);
    ++index;
    const std::string location = (c.otherOrigin ? elsewhere : service_.baseURL()) + to;
    service_.on(c.method, from, FakeService::Response::redirect(location, c.status));
    service_.on(c.expectedMethod, to, {.status = 200});

    URLSessionConfiguration configuration;
    configuration.httpAdditionalHeaders = {{"Cookie", "session=1"}, {"X-Session", "s"}};
    auto delegate = std::make_shared<AnsweringDelegate>([&c](URLRequest proposed) {
      if (c.putBack) proposed.setValue("ZIS_v2 refresh-token", "Authorization");
      return proposed;
    });
    // The installations client's request shape, and kin of its key.
    URLRequest r = request(from, c.method);
    r.setValue("ZIS_v2 refresh-token", "Authorization");
    r.setValue("api-key", "X-Rerora-Api-Key");
    r.setValue("token", "X-Auth-Token");
    r.setValue("proxy", "Proxy-Authorization");
    r.setValue("com.example.app", "X-Ios-Bundle-Identifier");
    r.setValue("application/json", "Content-Type");
    r.body = Data::fromString("{}");
    const std::size_t before = service_.requests().size();
    auto outcome = run(makeSession(configuration, delegate), r);

    EXPECT_EQ(outcome->error, nullptr);
    ASSERT_TRUE(outcome->response);
    EXPECT_EQ(outcome->response->statusCode, 200);
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), before + 2);
    const auto& first = requests[before];
    const auto& second = requests[before + 1];
    for (const std::string& name : credentials) {
      EXPECT_TRUE(first.header(name)) << name;
      const bool expected = !c.otherOrigin || (c.putBack && name == "Authorization");
      EXPECT_EQ(second.header(name).has_value(), expected) << name;
    }
    EXPECT_EQ(second.method, c.expectedMethod);
    EXPECT_EQ(second.path, to);
    EXPECT_EQ(second.header("Host"), (c.otherOrigin ? "localhost:" : "127.0.0.1:") + port);
    EXPECT_EQ(second.header("X-Ios-Bundle-Identifier"), "com.example.app");
    EXPECT_EQ(second.header("X-Session"), "s");
    if (c.putBack) {
      EXPECT_EQ(second.header("Authorization"), "ZIS_v2 refresh-token");
    }
    EXPECT_EQ(second.body, c.expectedMethod == c.method ? "{}" : "");
  }
}

TEST(HTTPHeaderFieldTest, CredentialsAreTheFieldsNamedForAKeyTokenOrLogIn) {
  for (const char* name :
       {"Authorization", "proxy-authorization", "Cookie", "X-Rerora-Api-Key", "X-API-KEY", "apikey",
        "X-Auth-Token", "X-Client-Secret", "X-Password", "WWW-Authenticate"}) {
    EXPECT_TRUE(isCredentialHeaderField(name)) << name;
  }
  for (const char* name : {"Content-Type", "User-Agent", "X-Ios-Bundle-Identifier", "Keep-Alive",
                           "Accept-Encoding", "X-Rerora-Client"}) {
    EXPECT_FALSE(isCredentialHeaderField(name)) << name;
  }
}

TEST_F(URLSessionTest, EndlessRedirectsStopAtTheLimit) {
  service_.on("GET", "/loop", FakeService::Response::redirect("/loop"));
  auto outcome = run(makeSession(), request("/loop"));
  ASSERT_NE(outcome->error, nullptr);
  EXPECT_EQ(outcome->error->code(), URLErrorHTTPTooManyRedirects);
  EXPECT_EQ(service_.requests().size(), 17u);
}

TEST_F(URLSessionTest, BodiesAreInflatedOnlyWhenTheResponseSaysGzip) {
  const std::string plain = "hello hello hello";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::optional<std::string> expected;  // none: a decoding error
  };
  const Case cases[] = {
      {"gzip", {{"Content-Encoding", "gzip"}}, gzip(plain), plain},
      {"gzip spelled in capitals", {{"Content-Encoding", "GZIP"}}, gzip(plain), plain},
      {"gzip bytes without the field", {}, gzip(plain), gzip(plain)},
      {"another encoding", {{"Content-Encoding", "br"}}, "not touched", "not touched"},
      {"broken gzip", {{"Content-Encoding", "gzip"}}, "not gzip at all", std::nullopt},
  };
  auto session = makeSession();
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "/body" + std::to_string(index++);
    service_.on("GET", path, {.status = 200, .headers = c.headers, .body = c.body});
    auto outcome = run(session, request(path));
    if (c.expected) {
      EXPECT_EQ(outcome->error, nullptr);
      EXPECT_EQ(text(outcome->data), *c.expected);
    } else {
      ASSERT_NE(outcome->error, nullptr);
      EXPECT_EQ(outcome->error->code(), URLErrorCannotDecodeRawData);
    }
  }
  for (const auto& got : service_.requests()) {
    EXPECT_EQ(got.header("Accept-Encoding"), std::nullopt);
  }
}

// Past the session's cap, whether the announced length, the bytes counted as they arrive or
// the inflated bytes pass it, the task fails with -1103 and hands over nothing; a body at the
// cap, received or inflated, comes through whole.
TEST_F(URLSessionTest, ResponseBodiesStopAtTheSessionsCap) {
  constexpr std::size_t kCap = 64 * 1024;
  const std::string atCap(kCap, 'a');
  const std::string overCap = atCap + "b";
  const std::vector<std::pair<std::string, std::string>> gzipped = {{"Content-Encoding", "gzip"}};
  // Four megabytes of zeros, a few kilobytes on the wire.
  const std::string bomb = gzip(std::string(std::size_t{4} << 20, '\0'));
  struct Case {
    const char* name;
    FakeService::Response response;
    bool fits;
  };
  const Case cases[] = {
      {"at the cap", {.body = atCap}, true},
      {"at the cap, chunked", {.body = atCap, .chunked = true}, true},
      {"inflating to the cap", {.headers = gzipped, .body = gzip(atCap)}, true},
      {"a byte over, by its length", {.body = overCap}, false},
      {"a byte over, chunked", {.body = overCap, .chunked = true}, false},
      {"megabytes over, chunked",
       {.body = std::string(std::size_t{8} << 20, 'x'), .chunked = true},
       false},
      {"inflating a byte over", {.headers = gzipped, .body = gzip(overCap)}, false},
      {"a gzip bomb", {.headers = gzipped, .body = bomb}, false},
      {"a gzip bomb, chunked", {.headers = gzipped, .body = bomb, .chunked = true}, false},
  };
  URLSessionConfiguration configuration;
  configuration.maximumResponseBodyLength = kCap;
  auto session = makeSession(configuration);
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = "/capped" + std::to_string(index++);
    service_.on("GET", path, c.response);
    auto outcome = run(session, request(path));
    if (c.fits) {
      EXPECT_EQ(outcome->error, nullptr);
      EXPECT_EQ(text(outcome->data), atCap);
      continue;
    }
    ASSERT_NE(outcome->error, nullptr);
    EXPECT_EQ(outcome->error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(outcome->error->code(), URLErrorDataLengthExceedsMaximum);
    EXPECT_EQ(outcome->error->localizedDescription(), "resource exceeds maximum size");
    EXPECT_EQ(outcome->error->userInfo()[kURLErrorFailingURLStringErrorKey],
              Value(service_.baseURL() + path));
    EXPECT_FALSE(outcome->data);
    EXPECT_FALSE(outcome->response);
  }
  // A HEAD answer announces the length of a body it does not carry.
  service_.on("HEAD", "/head", {.body = overCap});
  auto head = run(session, request("/head", "HEAD"));
  EXPECT_EQ(head->error, nullptr);
  ASSERT_TRUE(head->response);
  EXPECT_EQ(head->response->valueForHeaderField("Content-Length"), std::to_string(kCap + 1));
  // An aborted transfer leaves the session working.
  service_.on("GET", "/after", {.body = "fine"});
  EXPECT_EQ(text(run(session, request("/after"))->data), "fine");
}

// Without a cap of its own a session still refuses a gzip body that inflates past the
// default, here gzip members of a mebibyte of zeros each, one more than fit.
TEST_F(URLSessionTest, TheDefaultCapStopsAGzipBomb) {
  constexpr std::size_t kDefault = URLSessionConfiguration::kDefaultMaximumResponseBodyLength;
  EXPECT_EQ(URLSessionConfiguration().maximumResponseBodyLength, kDefault);
  const std::string member = gzip(std::string(std::size_t{1} << 20, '\0'));
  std::string bomb;
  for (std::size_t i = 0; i <= kDefault >> 20; ++i) bomb += member;
  service_.on("GET", "/bomb", {.headers = {{"Content-Encoding", "gzip"}}, .body = bomb});
  // Inflating 64 MiB takes long under the slower sanitizers.
  auto outcome = run(makeSession(), request("/bomb"), 120);
  ASSERT_NE(outcome->error, nullptr);
  EXPECT_EQ(outcome->error->code(), URLErrorDataLengthExceedsMaximum);
  EXPECT_FALSE(outcome->data);
}

TEST_F(URLSessionTest, CompletionsAndDelegateCallsRunOnTheDelegateQueue) {
  service_.on("GET", "/ok", {.status = 200, .body = "ok"});
  auto delegate = std::make_shared<RecordingDelegate>(queue_, false);
  auto outcome = run(makeSession({}, delegate), request("/ok"));
  EXPECT_TRUE(outcome->onDelegateQueue);
  EXPECT_EQ(outcome->queueLabel, kQueueLabel);
  ASSERT_TRUE(delegate->completed().wait(kGenerousWait));
  const auto completions = delegate->completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].error, nullptr);
  EXPECT_TRUE(completions[0].onDelegateQueue);

  // Without a queue of its own choosing, the session makes one.
  auto own = URLSession::create({});
  auto second = run(own, request("/ok"));
  EXPECT_TRUE(second->onDelegateQueue);
  EXPECT_NE(own->delegateQueue(), queue_);
}

TEST_F(URLSessionTest, InvalidatedSessionsRefuseNewTasks) {
  service_.on("GET", "/ok", {.status = 200, .body = "ok", .delaySeconds = 0.1});
  service_.on("GET", "/slow", {.status = 200, .body = "late", .delaySeconds = 30});

  // Finishing lets the running task complete normally.
  auto finishing = makeSession();
  auto inFlight = std::make_shared<Outcome>();
  finishing->dataTask(request("/ok"), recordInto(inFlight, queue_))->resume();
  finishing->finishTasksAndInvalidate();
  auto refused = run(finishing, request("/ok"));
  ASSERT_TRUE(inFlight->done.wait(kGenerousWait));
  EXPECT_EQ(inFlight->error, nullptr);
  EXPECT_EQ(text(inFlight->data), "ok");
  ASSERT_NE(refused->error, nullptr);
  EXPECT_EQ(refused->error->code(), URLErrorCancelled);
  EXPECT_EQ(refused->error->localizedFailureReason(), "The session was invalidated.");

  // Cancelling ends running and suspended tasks alike.
  auto cancelling = makeSession();
  auto running = std::make_shared<Outcome>();
  auto waiting = std::make_shared<Outcome>();
  cancelling->dataTask(request("/slow"), recordInto(running, queue_))->resume();
  auto suspended = cancelling->dataTask(request("/slow"), recordInto(waiting, queue_));
  ASSERT_TRUE(service_.waitForRequests(2));
  cancelling->invalidateAndCancel();
  ASSERT_TRUE(running->done.wait(kGenerousWait));
  ASSERT_TRUE(waiting->done.wait(kGenerousWait));
  EXPECT_EQ(running->error->code(), URLErrorCancelled);
  EXPECT_EQ(waiting->error->code(), URLErrorCancelled);
  EXPECT_EQ(run(cancelling, request("/ok"))->error->code(), URLErrorCancelled);
  EXPECT_EQ(service_.requests().size(), 2u);
}

TEST_F(URLSessionTest, ARunningTaskOutlivesTheCallersReferences) {
  service_.on("GET", "/ok", {.status = 200, .body = "ok", .delaySeconds = 0.1});
  auto outcome = std::make_shared<Outcome>();
  std::weak_ptr<URLSession> weak;
  {
    // Its own delegate queue, so the session's last release happens on that queue.
    auto session = URLSession::create({});
    weak = session;
    session->dataTask(request("/ok"), recordInto(outcome, session->delegateQueue()))->resume();
  }
  ASSERT_TRUE(outcome->done.wait(kGenerousWait));
  EXPECT_EQ(text(outcome->data), "ok");
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!weak.expired() && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(weak.expired());
}

TEST_F(URLSessionTest, TasksMayBeCreatedAndResumedFromManyThreads) {
  service_.on("GET", "/ok", {.status = 200, .body = "ok"});
  auto session = makeSession();
  constexpr int kThreads = 4;
  constexpr int kTasksEach = 5;
  Group group;
  std::mutex mutex;
  std::set<std::uint64_t> identifiers;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTasksEach; ++i) {
        group.enter();
        auto task = session->dataTask(request("/ok"), [&](auto data, auto, ErrorPtr error) {
          if (!error && text(data) == "ok") ++succeeded;
          group.leave();
        });
        {
          std::lock_guard lock(mutex);
          identifiers.insert(task->taskIdentifier());
        }
        task->resume();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(group.wait(kGenerousWait));
  EXPECT_EQ(succeeded, kThreads * kTasksEach);
  EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(kThreads * kTasksEach));
  EXPECT_EQ(service_.requests().size(), static_cast<std::size_t>(kThreads * kTasksEach));
}

TEST_F(URLSessionTest, TheSharedSessionIsOneAndIgnoresInvalidation) {
  service_.on("GET", "/ok", {.status = 200, .body = "ok"});
  auto shared = URLSession::sharedSession();
  EXPECT_EQ(shared, URLSession::sharedSession());
  shared->invalidateAndCancel();
  auto outcome = run(shared, request("/ok"));
  EXPECT_EQ(outcome->error, nullptr);
  EXPECT_EQ(text(outcome->data), "ok");
  EXPECT_TRUE(outcome->onDelegateQueue);
}

}  // namespace
}  // namespace platform

TEST(URLOriginTest, NamesTheServerAURLReaches) {
  const struct {
    const char* url;
    std::optional<std::string> origin;
  } cases[] = {
      {"https://Upload.Example.com/path?q=1", "https://upload.example.com:443"},
      {"http://127.0.0.1:8080/upload/1001", "http://127.0.0.1:8080"},
      {"HTTP://127.0.0.1/x", "http://127.0.0.1:80"},
      {"https://example.com:8443", "https://example.com:8443"},
      {"ftp://example.com/file", std::nullopt},
      {"not a url", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(platform::urlOrigin(c.url), c.origin);
  }
}
