// URLSession: HTTP(S) data and upload tasks, completed on the session's delegate queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"

namespace platform {

// Absolute URL text ("https://host/path?query").
using URL = std::string;

// "scheme://host:port" of an http(s) URL, lower-cased, with the scheme's default port filled in;
// none for anything else. Two URLs with the same origin reach the same server.
std::optional<std::string> urlOrigin(const URL& url);
// Whether both URLs have an origin and it is the same one.
bool isSameOrigin(const URL& a, const URL& b);

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

// Codes of kURLErrorDomain errors, as the platform numbers them.
enum URLErrorCode : std::int64_t {
  URLErrorUnknown = -1,
  URLErrorCancelled = -999,
  URLErrorBadURL = -1000,
  URLErrorTimedOut = -1001,
  URLErrorUnsupportedURL = -1002,
  URLErrorCannotFindHost = -1003,
  URLErrorCannotConnectToHost = -1004,
  URLErrorNetworkConnectionLost = -1005,
  URLErrorHTTPTooManyRedirects = -1007,
  URLErrorBadServerResponse = -1011,
  URLErrorCannotDecodeRawData = -1015,
  URLErrorDataLengthExceedsMaximum = -1103,
  URLErrorSecureConnectionFailed = -1200,
};

// Orders header field names without regard to ASCII case, so look-ups ignore case while
// the map keeps the spelling the field was first stored with.
struct HeaderNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

using HTTPHeaderFields = std::map<std::string, std::string, HeaderNameLess>;

// Whether the field can go out as the one header line it claims to be: the name a token,
// the value free of CR, LF and NUL (which would start a field or request of its own).
bool isValidHTTPHeaderField(std::string_view name, std::string_view value);

// Whether the field carries a credential, which never follows a redirect to another origin:
// its name, ignoring case, contains "auth", "cookie", "key", "token", "secret" or "password"
// ("Authorization", "Proxy-Authorization", "Cookie", "X-Rerora-Api-Key", "X-Auth-Token"...).
// A name that merely looks like one costs nothing but a field left off a foreign request.
bool isCredentialHeaderField(std::string_view name);

// What to fetch and how. A body is sent exactly as given (also with GET, if set).
struct URLRequest {
  static constexpr double kDefaultTimeoutInterval = 60;

  URLRequest() = default;
  explicit URLRequest(URL url) : url(std::move(url)) {}

  URL url;
  std::string httpMethod = "GET";
  HTTPHeaderFields headers;
  Data body;
  // Seconds without any network progress before the task fails with URLErrorTimedOut.
  // Left at the default, the session configuration's timeoutIntervalForRequest applies.
  double timeoutInterval = kDefaultTimeoutInterval;

  // No value removes the field. A field that is not valid (isValidHTTPHeaderField) is
  // refused: false, and the request is unchanged. Fields put into `headers` directly that
  // are not valid are left out when the request is sent.
  bool setValue(std::optional<std::string> value, const std::string& field);
  std::optional<std::string> valueForHeader(std::string_view field) const;
};

struct HTTPURLResponse {
  URL url;
  long statusCode = 0;
  // Repeated fields are joined with ", ".
  HTTPHeaderFields headers;
  // The Content-Type without parameters, lower-cased; none without a Content-Type.
  std::optional<std::string> mimeType;

  std::optional<std::string> valueForHeaderField(std::string_view field) const;
};

struct URLSessionConfiguration {
  double timeoutIntervalForRequest = 60;
  // Seconds a task may take in all (redirects included) before it fails with
  // URLErrorTimedOut.
  double timeoutIntervalForResource = 7 * 24 * 3600;
  // Sent with every request unless the request sets the same field.
  HTTPHeaderFields httpAdditionalHeaders;

  // Well above any response this program reads whole, low enough that a hostile server
  // cannot fill memory.
  static constexpr std::size_t kDefaultMaximumResponseBodyLength = std::size_t{64} << 20;
  // Most bytes a task takes for one response body, both as received and, for a gzip body,
  // once inflated. A longer body (by its Content-Length, or counted as it arrives) fails the
  // task with URLErrorDataLengthExceedsMaximum, stops the transfer and frees what it held.
  // While a gzip body inflates, a task holds up to twice this.
  std::size_t maximumResponseBodyLength = kDefaultMaximumResponseBodyLength;
};

class URLSession;
class URLSessionTask;
class URLSessionWorker;

// Receives a session's task events on its delegate queue. Every method has a default, so
// a delegate overrides only what it cares about.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // A response asked to go elsewhere. Calling the completion handler (from any thread)
  // with a request follows it; with none, the task completes with the redirect response
  // and its body. The default follows newRequest.
  //
  // When the redirect leaves the origin (scheme, host or port) of the request it answers,
  // newRequest comes without the credential fields (isCredentialHeaderField), and from then
  // on the task sends none of the session's httpAdditionalHeaders that are credentials. The
  // request handed back goes out as it is: a delegate that puts a credential back does so on
  // purpose.
  virtual void
  willPerformHTTPRedirection(const std::shared_ptr<URLSession>& session,
                             const std::shared_ptr<URLSessionTask>& task,
                             const HTTPURLResponse& response, const URLRequest& newRequest,
                             std::function<void(std::optional<URLRequest>)> completionHandler);

  // After the task's completion handler ran; a null error means success.
  virtual void didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                    const std::shared_ptr<URLSessionTask>& task,
                                    const ErrorPtr& error);
};

// A data or upload task: created suspended, started by resume(), completed exactly once.
// A running task keeps its session alive.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  using CompletionHandler =
      std::function<void(std::optional<Data>, std::optional<HTTPURLResponse>, ErrorPtr)>;
  enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

  virtual ~URLSessionTask() = default;
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  // Unique within the session, from 1.
  std::uint64_t taskIdentifier() const { return identifier_; }
  State state() const { return state_.load(); }

  // Starts a suspended task; otherwise does nothing.
  void resume();
  // Ends the task unless it already finished: the completion gets URLErrorCancelled.
  void cancel();

 protected:
  struct Token {};

 public:
  URLSessionTask(Token, std::shared_ptr<URLSession> session, std::uint64_t identifier,
                 URLRequest request, CompletionHandler completion, bool refused);

 private:
  friend class URLSession;
  friend class URLSessionWorker;

  // Hands the outcome to the delegate queue; later calls are ignored.
  void finish(std::optional<Data> data, std::optional<HTTPURLResponse> response, ErrorPtr error);

  const std::shared_ptr<URLSession> session_;
  const std::uint64_t identifier_;
  const URLRequest request_;
  CompletionHandler completion_;  // touched only by the delivery on the delegate queue
  const bool refused_;
  std::atomic<State> state_{State::Suspended};
  std::atomic<bool> finished_{false};
};

class URLSessionDataTask : public URLSessionTask {
 public:
  using URLSessionTask::URLSessionTask;
};

class URLSessionUploadTask : public URLSessionDataTask {
 public:
  using URLSessionDataTask::URLSessionDataTask;
};

// A set of tasks sharing a configuration, a delegate and a delegate queue, driven by one
// worker thread.
//
// Lifetime: tasks hold their session, so a session lives while any of its tasks does; the
// last release stops the worker. Tasks created after invalidation are refused: resuming
// one completes it with URLErrorCancelled whose failure reason says the session was
// invalidated. The session holds its delegate until it is destroyed.
class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  using CompletionHandler = URLSessionTask::CompletionHandler;

  // Without a delegate queue, the session makes its own serial queue.
  static std::shared_ptr<URLSession> create(URLSessionConfiguration configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                            QueuePtr delegateQueue = nullptr);
  // The process-wide session without a delegate. It is never destroyed and ignores
  // invalidation.
  static std::shared_ptr<URLSession> sharedSession();

  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<URLSessionDelegate>& delegate() const { return delegate_; }
  const QueuePtr& delegateQueue() const { return delegateQueue_; }

  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, CompletionHandler completion);
  // Sends body in place of the request's own.
  std::shared_ptr<URLSessionUploadTask> uploadTask(URLRequest request, Data body,
                                                   CompletionHandler completion);

  // Cancels every task not yet completed and refuses new ones.
  void invalidateAndCancel();
  // Lets the tasks already created finish and refuses new ones.
  void finishTasksAndInvalidate();

 private:
  struct Token {};

 public:
  URLSession(Token, URLSessionConfiguration configuration,
             std::shared_ptr<URLSessionDelegate> delegate, QueuePtr delegateQueue, bool shared);

 private:
  friend class URLSessionTask;
  friend class URLSessionWorker;

  template <typename T>
  std::shared_ptr<T> makeTask(URLRequest request, CompletionHandler completion);
  void forget(std::uint64_t identifier);
  void invalidate(bool cancelTasks);

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<URLSessionDelegate> delegate_;
  const QueuePtr delegateQueue_;
  const bool shared_;
  const std::shared_ptr<URLSessionWorker> worker_;

  std::mutex mutex_;
  std::uint64_t nextIdentifier_ = 1;
  bool invalidated_ = false;
  std::map<std::uint64_t, std::weak_ptr<URLSessionTask>> outstanding_;
};

}  // namespace platform
