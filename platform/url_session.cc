#include "platform/url_session.h"

#include <curl/curl.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "platform/gzip.h"

namespace platform {
namespace {

// Network deadlines race real sockets, so they run on the real monotonic clock rather
// than the installable Clock that tests advance by hand.
using SteadyClock = std::chrono::steady_clock;

// The platform gives up after this many hops.
constexpr int kMaxRedirects = 16;
// Longest interval honoured, so that "forever" settings do not overflow the clock.
constexpr double kLongestInterval = 1e8;

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerASCII(x) == lowerASCII(y);
         });
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

const char* descriptionFor(std::int64_t code) {
  switch (code) {
  case URLErrorCancelled:
    return "cancelled";
  case URLErrorBadURL:
    return "bad URL";
  case URLErrorTimedOut:
    return "The request timed out.";
  case URLErrorUnsupportedURL:
    return "unsupported URL";
  case URLErrorCannotFindHost:
    return "A server with the specified hostname could not be found.";
  case URLErrorCannotConnectToHost:
    return "Could not connect to the server.";
  case URLErrorNetworkConnectionLost:
    return "The network connection was lost.";
  case URLErrorHTTPTooManyRedirects:
    return "too many HTTP redirects";
  case URLErrorBadServerResponse:
    return "bad server response";
  case URLErrorCannotDecodeRawData:
    return "cannot decode raw data";
  case URLErrorDataLengthExceedsMaximum:
    return "resource exceeds maximum size";
  case URLErrorSecureConnectionFailed:
    return "An SSL error has occurred and a secure connection to the server cannot be made.";
  default:
    return "unknown error";
  }
}

ErrorPtr urlError(std::int64_t code, const URL& url,
                  std::optional<std::string> failureReason = std::nullopt) {
  Dictionary userInfo{{kLocalizedDescriptionKey, descriptionFor(code)},
                      {kURLErrorFailingURLStringErrorKey, url}};
  if (failureReason) userInfo.set(kLocalizedFailureReasonErrorKey, std::move(*failureReason));
  return makeError(kURLErrorDomain, code, std::move(userInfo));
}

std::int64_t codeForCurlResult(CURLcode result) {
  switch (result) {
  case CURLE_UNSUPPORTED_PROTOCOL:
    return URLErrorUnsupportedURL;
  case CURLE_URL_MALFORMAT:
    return URLErrorBadURL;
  case CURLE_COULDNT_RESOLVE_HOST:
  case CURLE_COULDNT_RESOLVE_PROXY:
    return URLErrorCannotFindHost;
  case CURLE_COULDNT_CONNECT:
    return URLErrorCannotConnectToHost;
  case CURLE_OPERATION_TIMEDOUT:
    return URLErrorTimedOut;
  case CURLE_GOT_NOTHING:
  case CURLE_PARTIAL_FILE:
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
    return URLErrorNetworkConnectionLost;
  case CURLE_SSL_CONNECT_ERROR:
  case CURLE_PEER_FAILED_VERIFICATION:
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_SSL_CACERT_BADFILE:
  case CURLE_SSL_CRL_BADFILE:
  case CURLE_SSL_ISSUER_ERROR:
  case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
  case CURLE_SSL_INVALIDCERTSTATUS:
  case CURLE_SSL_SHUTDOWN_FAILED:
  case CURLE_SSL_ENGINE_NOTFOUND:
  case CURLE_SSL_ENGINE_SETFAILED:
  case CURLE_SSL_ENGINE_INITFAILED:
  case CURLE_USE_SSL_FAILED:
    return URLErrorSecureConnectionFailed;
  case CURLE_WEIRD_SERVER_REPLY:
  case CURLE_HTTP2:
  case CURLE_HTTP2_STREAM:
  case CURLE_HTTP3:
  case CURLE_BAD_CONTENT_ENCODING:
    return URLErrorBadServerResponse;
  default:
    return URLErrorUnknown;
  }
}

// The platform tells "this is no http(s) URL" (unsupported) from "this http(s) URL does
// not parse" (bad); curl alone would not.
std::optional<std::int64_t> checkURL(const URL& url) {
  const auto colon = url.find(':');
  const std::string_view scheme =
      colon == std::string::npos ? std::string_view() : std::string_view(url).substr(0, colon);
  if (!equalsIgnoringCase(scheme, "http") && !equalsIgnoringCase(scheme, "https")) {
    return URLErrorUnsupportedURL;
  }
  CURLU* parsed = curl_url();
  const CURLUcode result = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
  curl_url_cleanup(parsed);
  if (result != CURLUE_OK) return URLErrorBadURL;
  return std::nullopt;
}

void removeCredentialFields(HTTPHeaderFields& fields) {
  std::erase_if(fields, [](const auto& field) { return isCredentialHeaderField(field.first); });
}

// A 303 turns everything but HEAD into a GET; a 301 or 302 does so for POST only; 307
// and 308 resend the request as it was. Whatever the status, the server that answered may
// send a client anywhere: its credentials stay behind when the origin changes.
URLRequest redirectedRequest(const URLRequest& from, long status, URL location) {
  URLRequest next = from;
  next.url = std::move(location);
  if (!isSameOrigin(from.url, next.url)) removeCredentialFields(next.headers);
  const bool becomesGet = status == 303
                              ? from.httpMethod != "HEAD"
                              : (status == 301 || status == 302) && from.httpMethod == "POST";
  if (becomesGet) {
    next.httpMethod = "GET";
    next.body = Data();
  }
  return next;
}

bool isRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

SteadyClock::duration toDuration(double seconds) {
  const double clamped = std::clamp(seconds, 0.0, kLongestInterval);
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(clamped));
}

// Loopback traffic never goes through a proxy, whatever the environment says about others.
std::string noProxyList() {
  std::string list = "127.0.0.1,localhost,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    if (const auto value = environmentValue(name); value && !value->empty()) {
      list += ",";
      list += *value;
      break;
    }
  }
  return list;
}

}  // namespace

std::optional<std::string> urlOrigin(const URL& url) {
  if (checkURL(url)) return std::nullopt;
  CURLU* parsed = curl_url();
  if (!parsed) return std::nullopt;
  std::optional<std::string> origin;
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    std::string text = std::string(scheme) + "://" + host + ":" + port;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    origin = std::move(text);
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
  return origin;
}

bool isSameOrigin(const URL& a, const URL& b) {
  const auto origin = urlOrigin(a);
  return origin && origin == urlOrigin(b);
}

bool isCredentialHeaderField(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), lowerASCII);
  for (const std::string_view part : {"auth", "cookie", "key", "token", "secret", "password"}) {
    if (lower.find(part) != std::string::npos) return true;
  }
  return false;
}

bool HeaderNameLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return lowerASCII(x) < lowerASCII(y); });
}

bool isValidHTTPHeaderField(std::string_view name, std::string_view value) {
  static constexpr std::string_view kTokenPunctuation = "!#$%&'*+-.^_`|~";
  if (name.empty()) return false;
  for (const char c : name) {
    const bool alphanumeric =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alphanumeric && kTokenPunctuation.find(c) == std::string_view::npos) return false;
  }
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool URLRequest::setValue(std::optional<std::string> value, const std::string& field) {
  if (!isValidHTTPHeaderField(field, value.value_or(""))) return false;
  if (!value) {
    headers.erase(field);
    return true;
  }
  headers.insert_or_assign(field, std::move(*value));
  return true;
}

std::optional<std::string> URLRequest::valueForHeader(std::string_view field) const {
  const auto it = headers.find(field);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> HTTPURLResponse::valueForHeaderField(std::string_view field) const {
  const auto it = headers.find(field);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

void URLSessionDelegate::willPerformHTTPRedirection(
    const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
    const HTTPURLResponse&, const URLRequest& newRequest,
    std::function<void(std::optional<URLRequest>)> completionHandler) {
  completionHandler(newRequest);
}

void URLSessionDelegate::didCompleteWithError(const std::shared_ptr<URLSession>&,
                                              const std::shared_ptr<URLSessionTask>&,
                                              const ErrorPtr&) {}

// Drives every transfer of one session on its own thread through a curl multi handle.
// Other threads only post commands and wake it; the transfers and the easy handles are
// touched on the worker thread alone.
class URLSessionWorker : public std::enable_shared_from_this<URLSessionWorker> {
 public:
  URLSessionWorker();
  ~URLSessionWorker();

  void start(std::shared_ptr<URLSessionTask> task);
  void cancel(std::uint64_t identifier);
  // The delegate's answer for the redirect numbered hop of a task.
  void decideRedirect(std::uint64_t identifier, int hop, std::optional<URLRequest> request);
  // Stops and joins the thread (or lets it finish on its own when called from it).
  void shutdown();

 private:
  struct Transfer {
    std::shared_ptr<URLSessionTask> task;
    URLRequest request;
    SteadyClock::duration idleTimeout{};
    SteadyClock::time_point resourceDeadline;
    SteadyClock::time_point lastActivity;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    Data body;
    // The session's cap on a body, as received and once inflated.
    std::size_t bodyLimit = 0;
    bool bodyStarted = false;  // of the latest response
    // The body went past bodyLimit; curl stops the transfer when told so.
    bool bodyTooLong = false;
    std::vector<std::string> headerLines;  // of the latest response only
    curl_off_t downloaded = 0;
    curl_off_t uploaded = 0;
    int redirects = 0;
    // A request of this task went to another origin than the first one: the session's
    // credentials are no longer sent.
    bool leftFirstOrigin = false;
    // Parked while the delegate decides on this redirect response.
    bool awaitingRedirectDecision = false;
    std::optional<HTTPURLResponse> redirectResponse;
    Data redirectBody;
  };
  using Transfers = std::map<std::uint64_t, std::unique_ptr<Transfer>>;

  struct Command {
    enum class Kind { Start, Cancel, Redirect } kind;
    std::shared_ptr<URLSessionTask> task;
    std::uint64_t identifier = 0;
    int hop = 0;
    std::optional<URLRequest> request;
  };

  static size_t onBody(char* bytes, size_t size, size_t count, void* transfer);
  static size_t onHeader(char* bytes, size_t size, size_t count, void* transfer);
  static int onProgress(void* transfer, curl_off_t downloadTotal, curl_off_t downloaded,
                        curl_off_t uploadTotal, curl_off_t uploaded);

  void post(Command command);
  void run();
  void handle(Command& command);
  std::optional<std::int64_t> launch(Transfer& transfer);
  void detachEasy(Transfer& transfer);
  void onDone(Transfers::iterator it, CURLcode result);
  void askDelegate(Transfer& transfer, const HTTPURLResponse& response, const URLRequest& next);
  void deliver(Transfers::iterator it, HTTPURLResponse response, Data body);
  Transfers::iterator fail(Transfers::iterator it, std::int64_t code);
  std::optional<SteadyClock::time_point> expireTimedOut();

  CURLM* const multi_;
  const std::string noProxy_;

  std::mutex mutex_;
  std::deque<Command> inbox_;
  bool stopping_ = false;
  std::thread thread_;

  Transfers transfers_;  // worker thread only
};

namespace {

CURLM* makeMultiHandle() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return curl_multi_init();
}

}  // namespace

URLSessionWorker::URLSessionWorker() : multi_(makeMultiHandle()), noProxy_(noProxyList()) {}

URLSessionWorker::~URLSessionWorker() {
  for (auto& [identifier, transfer] : transfers_) detachEasy(*transfer);
  curl_multi_cleanup(multi_);
}

void URLSessionWorker::start(std::shared_ptr<URLSessionTask> task) {
  const auto identifier = task->taskIdentifier();
  post({Command::Kind::Start, std::move(task), identifier, 0, std::nullopt});
}

void URLSessionWorker::cancel(std::uint64_t identifier) {
  post({Command::Kind::Cancel, nullptr, identifier, 0, std::nullopt});
}

void URLSessionWorker::decideRedirect(std::uint64_t identifier, int hop,
                                      std::optional<URLRequest> request) {
  post({Command::Kind::Redirect, nullptr, identifier, hop, std::move(request)});
}

void URLSessionWorker::post(Command command) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      inbox_.push_back(std::move(command));
      if (!thread_.joinable()) {
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
      }
      curl_multi_wakeup(multi_);
      return;
    }
  }
  if (command.task) {
    command.task->finish(std::nullopt, std::nullopt,
                         urlError(URLErrorCancelled, command.task->request_.url));
  }
}

void URLSessionWorker::shutdown() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  curl_multi_wakeup(multi_);
  if (!thread.joinable()) return;
  // The last reference to a session can go away on the worker itself, when a finished
  // task was the only holder; the thread keeps its own reference to this worker.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void URLSessionWorker::run() {
  // A peer that hangs up must not kill the process: with SIGPIPE blocked, writes on this
  // thread (and curl's resolver threads, which inherit the mask) fail with EPIPE instead.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

  for (;;) {
    std::deque<Command> commands;
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      commands.swap(inbox_);
      stopping = stopping_;
    }
    for (auto& command : commands) handle(command);
    if (stopping) break;

    int running = 0;
    curl_multi_perform(multi_, &running);
    while (CURLMsg* message = curl_multi_info_read(multi_, &running)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      const CURLcode result = message->data.result;
      const auto it = transfers_.find(transfer->task->taskIdentifier());
      onDone(it, result);
    }
    const auto deadline = expireTimedOut();

    long waitMs = 1000;
    long curlMs = -1;
    curl_multi_timeout(multi_, &curlMs);
    if (curlMs >= 0) waitMs = std::min(waitMs, curlMs);
    if (deadline) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
      waitMs = std::clamp<long>(static_cast<long>(left.count()), 0, waitMs);
    }
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(waitMs), nullptr);
  }
  for (auto it = transfers_.begin(); it != transfers_.end();) it = fail(it, URLErrorCancelled);
}

void URLSessionWorker::handle(Command& command) {
  switch (command.kind) {
  case Command::Kind::Start: {
    auto& task = command.task;
    // A cancel can overtake the start it follows; the task's state tells.
    if (task->state() == URLSessionTask::State::Canceling) {
      task->finish(std::nullopt, std::nullopt, urlError(URLErrorCancelled, task->request_.url));
      return;
    }
    const URLSessionConfiguration& configuration = task->session_->configuration();
    auto transfer = std::make_unique<Transfer>();
    transfer->request = task->request_;
    transfer->idleTimeout =
        toDuration(transfer->request.timeoutInterval == URLRequest::kDefaultTimeoutInterval
                       ? configuration.timeoutIntervalForRequest
                       : transfer->request.timeoutInterval);
    transfer->resourceDeadline =
        SteadyClock::now() + toDuration(configuration.timeoutIntervalForResource);
    transfer->bodyLimit = configuration.maximumResponseBodyLength;
    transfer->task = std::move(task);
    const auto identifier = command.identifier;
    const auto [it, inserted] = transfers_.emplace(identifier, std::move(transfer));
    if (!inserted) return;
    if (const auto code = launch(*it->second)) fail(it, *code);
    return;
  }
  case Command::Kind::Cancel: {
    const auto it = transfers_.find(command.identifier);
    if (it != transfers_.end()) fail(it, URLErrorCancelled);
    return;
  }
  case Command::Kind::Redirect: {
    const auto it = transfers_.find(command.identifier);
    if (it == transfers_.end()) return;
    Transfer& transfer = *it->second;
    if (!transfer.awaitingRedirectDecision || transfer.redirects != command.hop) return;
    transfer.awaitingRedirectDecision = false;
    if (!command.request) {
      deliver(it, std::move(*transfer.redirectResponse), std::move(transfer.redirectBody));
      return;
    }
    transfer.redirectResponse.reset();
    transfer.redirectBody = Data();
    transfer.request = std::move(*command.request);
    if (const auto code = launch(transfer)) fail(it, *code);
    return;
  }
  }
}

std::optional<std::int64_t> URLSessionWorker::launch(Transfer& transfer) {
  const URLRequest& request = transfer.request;
  if (const auto code = checkURL(request.url)) return code;
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return URLErrorUnknown;
  transfer.easy = easy;
  transfer.body = Data();
  transfer.bodyStarted = false;
  transfer.bodyTooLong = false;
  transfer.headerLines.clear();
  transfer.downloaded = 0;
  transfer.uploaded = 0;
  transfer.lastActivity = SteadyClock::now();

  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy_.c_str());
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLSessionWorker::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLSessionWorker::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &URLSessionWorker::onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

  const std::string& method = request.httpMethod;
  const bool sendsBody =
      !request.body.empty() || method == "POST" || method == "PUT" || method == "PATCH";

  // The request's own fields win over the session's additional ones, which were meant for
  // the server the task was first sent to.
  HTTPHeaderFields fields = transfer.task->session_->configuration().httpAdditionalHeaders;
  if (!isSameOrigin(transfer.task->request_.url, request.url)) transfer.leftFirstOrigin = true;
  if (transfer.leftFirstOrigin) removeCredentialFields(fields);
  for (const auto& [name, value] : request.headers) {
    fields.erase(name);
    fields.emplace(name, value);
  }
  // curl states the length of the body it actually sends; a stale one (a POST turned into a
  // GET by a redirect) would misframe the request, as would a body's type and encoding
  // without a body.
  fields.erase("Content-Length");
  if (!sendsBody) {
    fields.erase("Content-Type");
    fields.erase("Content-Encoding");
  }
  for (const auto& [name, value] : fields) {
    if (!isValidHTTPHeaderField(name, value)) continue;
    // curl reads "Name:" as "remove the field"; "Name;" sends it empty.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    transfer.headerList = curl_slist_append(transfer.headerList, line.c_str());
  }
  // Without these removals curl would wait for a 100-continue and label a body as a form;
  // the request goes out with the caller's fields only.
  if (!fields.contains("Expect")) {
    transfer.headerList = curl_slist_append(transfer.headerList, "Expect:");
  }
  if (sendsBody && !fields.contains("Content-Type")) {
    transfer.headerList = curl_slist_append(transfer.headerList, "Content-Type:");
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);

  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (sendsBody) {
    static const char kEmpty[] = "";
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                     request.body.empty() ? kEmpty
                                          : reinterpret_cast<const char*>(request.body.bytes()));
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    detachEasy(transfer);
    return URLErrorUnknown;
  }
  return std::nullopt;
}

void URLSessionWorker::detachEasy(Transfer& transfer) {
  if (transfer.easy != nullptr) {
    curl_multi_remove_handle(multi_, transfer.easy);
    curl_easy_cleanup(transfer.easy);
    transfer.easy = nullptr;
  }
  curl_slist_free_all(transfer.headerList);
  transfer.headerList = nullptr;
}

size_t URLSessionWorker::onBody(char* bytes, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::size_t length = size * count;
  transfer.lastActivity = SteadyClock::now();
  // A body announced as too long is refused before any of it is kept; one without a length
  // is counted as it comes.
  curl_off_t announced = -1;
  if (!transfer.bodyStarted) {
    transfer.bodyStarted = true;
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  }
  const std::size_t limit = transfer.bodyLimit;
  if ((announced >= 0 && static_cast<std::uint64_t>(announced) > limit) ||
      length > limit - transfer.body.size()) {
    transfer.bodyTooLong = true;
    transfer.body = Data();
    return CURL_WRITEFUNC_ERROR;
  }
  // Grows like a vector, but the capacity stops at the limit rather than doubling past it.
  auto& bytesSoFar = transfer.body.vector();
  const std::size_t needed = bytesSoFar.size() + length;
  if (needed > bytesSoFar.capacity()) {
    bytesSoFar.reserve(std::max(needed, std::min(bytesSoFar.capacity() * 2, limit)));
  }
  transfer.body.append(bytes, length);
  return length;
}

size_t URLSessionWorker::onHeader(char* bytes, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  const std::string_view line = trim(std::string_view(bytes, size * count));
  // Interim (1xx) and proxy responses come first; only the last response's fields count.
  if (line.starts_with("HTTP/")) {
    transfer.headerLines.clear();
  } else if (!line.empty()) {
    transfer.headerLines.emplace_back(line);
  }
  transfer.lastActivity = SteadyClock::now();
  return size * count;
}

int URLSessionWorker::onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                                 curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(context);
  if (downloaded != transfer.downloaded || uploaded != transfer.uploaded) {
    transfer.downloaded = downloaded;
    transfer.uploaded = uploaded;
    transfer.lastActivity = SteadyClock::now();
  }
  return 0;
}

void URLSessionWorker::onDone(Transfers::iterator it, CURLcode result) {
  Transfer& transfer = *it->second;
  if (transfer.bodyTooLong) {
    fail(it, URLErrorDataLengthExceedsMaximum);
    return;
  }
  if (result != CURLE_OK) {
    fail(it, codeForCurlResult(result));
    return;
  }
  HTTPURLResponse response;
  response.url = transfer.request.url;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &response.statusCode);
  for (const auto& line : transfer.headerLines) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name(trim(std::string_view(line).substr(0, colon)));
    std::string value(trim(std::string_view(line).substr(colon + 1)));
    const auto [field, inserted] = response.headers.emplace(std::move(name), value);
    if (!inserted) field->second += ", " + value;
  }
  if (const auto type = response.valueForHeaderField("Content-Type")) {
    std::string mime(trim(std::string_view(*type).substr(0, type->find(';'))));
    std::transform(mime.begin(), mime.end(), mime.begin(), lowerASCII);
    if (!mime.empty()) response.mimeType = std::move(mime);
  }
  const char* location = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_URL, &location);
  std::optional<URLRequest> next;
  if (isRedirectStatus(response.statusCode) && location != nullptr) {
    next = redirectedRequest(transfer.request, response.statusCode, location);
  }
  detachEasy(transfer);
  if (!next) {
    deliver(it, std::move(response), std::move(transfer.body));
    return;
  }
  if (transfer.redirects >= kMaxRedirects) {
    fail(it, URLErrorHTTPTooManyRedirects);
    return;
  }
  ++transfer.redirects;
  if (transfer.task->session_->delegate()) {
    askDelegate(transfer, response, *next);
    transfer.redirectResponse = std::move(response);
    transfer.redirectBody = std::move(transfer.body);
    transfer.awaitingRedirectDecision = true;
    return;
  }
  transfer.request = std::move(*next);
  if (const auto code = launch(transfer)) fail(it, *code);
}

void URLSessionWorker::askDelegate(Transfer& transfer, const HTTPURLResponse& response,
                                   const URLRequest& next) {
  std::shared_ptr<URLSessionTask> task = transfer.task;
  std::shared_ptr<URLSession> session = task->session_;
  std::weak_ptr<URLSessionWorker> worker = weak_from_this();
  const int hop = transfer.redirects;
  session->delegateQueue()->async([session, task, response, next, worker, hop] {
    const auto identifier = task->taskIdentifier();
    session->delegate()->willPerformHTTPRedirection(
        session, task, response, next,
        [worker, identifier, hop](std::optional<URLRequest> request) {
          if (auto strong = worker.lock())
            strong->decideRedirect(identifier, hop, std::move(request));
        });
  });
}

void URLSessionWorker::deliver(Transfers::iterator it, HTTPURLResponse response, Data body) {
  Transfer& transfer = *it->second;
  const auto encoding = response.valueForHeaderField("Content-Encoding");
  if (encoding && equalsIgnoringCase(trim(*encoding), "gzip") && !body.empty()) {
    gzip::StreamError error;
    auto inflated = gzip::inflate(body.vector(), gzip::Header::Gzip, gzip::Members::All,
                                  gzip::OutputSteps(), &error, transfer.bodyLimit);
    if (!inflated) {
      fail(it, error.outputLimitExceeded ? URLErrorDataLengthExceedsMaximum
                                         : URLErrorCannotDecodeRawData);
      return;
    }
    body = std::move(*inflated);
  }
  transfer.task->finish(std::move(body), std::move(response), nullptr);
  transfers_.erase(it);
}

URLSessionWorker::Transfers::iterator URLSessionWorker::fail(Transfers::iterator it,
                                                             std::int64_t code) {
  Transfer& transfer = *it->second;
  detachEasy(transfer);
  transfer.task->finish(std::nullopt, std::nullopt, urlError(code, transfer.request.url));
  return transfers_.erase(it);
}

// Fails the transfers that waited too long and returns the next moment one could.
std::optional<SteadyClock::time_point> URLSessionWorker::expireTimedOut() {
  const auto now = SteadyClock::now();
  std::optional<SteadyClock::time_point> next;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    const Transfer& transfer = *it->second;
    if (transfer.awaitingRedirectDecision) {
      ++it;
      continue;
    }
    const auto deadline =
        std::min(transfer.lastActivity + transfer.idleTimeout, transfer.resourceDeadline);
    if (deadline <= now) {
      it = fail(it, URLErrorTimedOut);
      continue;
    }
    next = next ? std::min(*next, deadline) : deadline;
    ++it;
  }
  return next;
}

URLSessionTask::URLSessionTask(Token, std::shared_ptr<URLSession> session, std::uint64_t identifier,
                               URLRequest request, CompletionHandler completion, bool refused)
    : session_(std::move(session)), identifier_(identifier), request_(std::move(request)),
      completion_(std::move(completion)), refused_(refused) {}

void URLSessionTask::resume() {
  State expected = State::Suspended;
  if (!state_.compare_exchange_strong(expected, State::Running)) return;
  if (refused_) {
    finish(std::nullopt, std::nullopt,
           urlError(URLErrorCancelled, request_.url, "The session was invalidated."));
    return;
  }
  session_->worker_->start(shared_from_this());
}

void URLSessionTask::cancel() {
  State previous = state_.load();
  do {
    if (previous == State::Canceling || previous == State::Completed) return;
  } while (!state_.compare_exchange_weak(previous, State::Canceling));
  if (previous == State::Suspended) {
    finish(std::nullopt, std::nullopt, urlError(URLErrorCancelled, request_.url));
  } else {
    session_->worker_->cancel(identifier_);
  }
}

void URLSessionTask::finish(std::optional<Data> data, std::optional<HTTPURLResponse> response,
                            ErrorPtr error) {
  if (finished_.exchange(true)) return;
  session_->forget(identifier_);
  session_->delegateQueue()->async([self = shared_from_this(), data = std::move(data),
                                    response = std::move(response),
                                    error = std::move(error)]() mutable {
    self->state_ = State::Completed;
    // Released once called, so whatever it captured does not live on with the task.
    CompletionHandler completion = std::move(self->completion_);
    self->completion_ = nullptr;
    if (completion) completion(std::move(data), std::move(response), error);
    completion = nullptr;
    if (const auto& delegate = self->session_->delegate()) {
      delegate->didCompleteWithError(self->session_, self, error);
    }
  });
}

URLSession::URLSession(Token, URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate, QueuePtr delegateQueue,
                       bool shared)
    : configuration_(std::move(configuration)), delegate_(std::move(delegate)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : Queue::serial("platform.URLSession.delegateQueue")),
      shared_(shared), worker_(std::make_shared<URLSessionWorker>()) {}

URLSession::~URLSession() { worker_->shutdown(); }

std::shared_ptr<URLSession> URLSession::create(URLSessionConfiguration configuration,
                                               std::shared_ptr<URLSessionDelegate> delegate,
                                               QueuePtr delegateQueue) {
  return std::make_shared<URLSession>(Token{}, std::move(configuration), std::move(delegate),
                                      std::move(delegateQueue), false);
}

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed, so that it outlives every caller. Its worker, though, is stopped at
  // exit before the TLS library (set up earlier, so torn down later) frees what cached
  // connections still use.
  static const std::shared_ptr<URLSession>* session = [] {
    auto* shared = new std::shared_ptr<URLSession>(
        std::make_shared<URLSession>(Token{}, URLSessionConfiguration{}, nullptr, nullptr, true));
    std::atexit([] { (*session)->worker_->shutdown(); });
    return shared;
  }();
  return *session;
}

template <typename T>
std::shared_ptr<T> URLSession::makeTask(URLRequest request, CompletionHandler completion) {
  std::lock_guard lock(mutex_);
  const auto identifier = nextIdentifier_++;
  auto task = std::make_shared<T>(URLSessionTask::Token{}, shared_from_this(), identifier,
                                  std::move(request), std::move(completion), invalidated_);
  if (!invalidated_) outstanding_.emplace(identifier, task);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request,
                                                         CompletionHandler completion) {
  return makeTask<URLSessionDataTask>(std::move(request), std::move(completion));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(URLRequest request, Data body,
                                                             CompletionHandler completion) {
  request.body = std::move(body);
  return makeTask<URLSessionUploadTask>(std::move(request), std::move(completion));
}

void URLSession::forget(std::uint64_t identifier) {
  std::lock_guard lock(mutex_);
  outstanding_.erase(identifier);
}

void URLSession::invalidate(bool cancelTasks) {
  if (shared_) return;
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    if (cancelTasks) {
      for (const auto& [identifier, weak] : outstanding_) {
        if (auto task = weak.lock()) tasks.push_back(std::move(task));
      }
    }
  }
  for (const auto& task : tasks) task->cancel();
}

void URLSession::invalidateAndCancel() { invalidate(true); }

void URLSession::finishTasksAndInvalidate() { invalidate(false); }

}  // namespace platform
