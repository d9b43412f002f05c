#include "foundation/ZULNetwork.h"

#include <utility>

#include "foundation/ZIRServiceHosts.h"
#include "foundation/ZULGzip.h"
#include "foundation/ZULLogger.h"
#include "platform/format.h"
#include "platform/run_loop.h"
#include "platform/system_log.h"

namespace {

constexpr const char* kZULNetworkService = "[ZULNetwork]";
constexpr const char* kZULNetworkRequestFailed = "Failed to create network request";

std::string levelName(int level) {
  switch (level) {
  case kZULNetworkLogLevelError:
    return "ERROR";
  case kZULNetworkLogLevelWarning:
    return "WARNING";
  case kZULNetworkLogLevelInfo:
    return "INFO";
  case kZULNetworkLogLevelDebug:
    return "DEBUG";
  default:
    return "(null)";
  }
}

std::string contextText(const platform::Value& context) {
  if (context.isNull()) return "(nil)";
  if (const auto* text = context.asString()) return *text;
  return context.description();
}

}  // namespace

std::shared_ptr<ZULNetwork> ZULNetwork::initWithReachabilityHost(const std::string& host) {
  auto network = std::make_shared<ZULNetwork>(ConstructionKey());
  network->reachability_ = ZULReachabilityChecker::initWithReachabilityDelegate(network, host);
  if (!network->reachability_ || !network->reachability_->start()) return nullptr;
  return network;
}

std::shared_ptr<ZULNetwork> ZULNetwork::init() {
  return initWithReachabilityHost(ZIRServiceHosts::analyticsServiceHost());
}

ZULNetwork::ZULNetwork(ConstructionKey) {}

ZULNetwork::~ZULNetwork() {
  if (!reachability_) return;
  // The checker belongs to the main thread; the last holder of the client may be a
  // completion running on the caller's queue.
  auto release = [checker = reachability_] {
    checker->setReachabilityDelegate(nullptr);
    checker->stop();
  };
  if (platform::RunLoop::isMainThread()) {
    release();
  } else {
    platform::Queue::main()->async(std::move(release));
  }
}

std::optional<std::string> ZULNetwork::postURL(const platform::URL& url,
                                               const platform::Data& payload,
                                               platform::QueuePtr queue,
                                               bool usingBackgroundSession,
                                               CompletionHandler handler) {
  return postURL(url, {}, payload, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<platform::URLRequest>
ZULNetwork::requestFor(const platform::URL& url, const platform::HTTPHeaderFields& headers,
                       const platform::QueuePtr& queue, const CompletionHandler& handler) {
  if (url.empty()) {
    handleErrorWithCode(ZULErrorCodeNetworkInvalidURL, queue, handler);
    return std::nullopt;
  }
  const double timeout = timeoutInterval_ == 0 ? 60 : timeoutInterval_.load();
  platform::URLRequest request(url);
  request.timeoutInterval = timeout;
  for (const auto& [field, value] : headers) {
    // What goes out as one header line stays one line with the caller's name on it.
    if (!request.setValue(value, field)) {
      handleErrorWithCode(ZULErrorCodeNetworkInvalidResponse, queue, handler);
      return std::nullopt;
    }
  }
  return request;
}

std::optional<std::string>
ZULNetwork::postURL(const platform::URL& url, const platform::HTTPHeaderFields& headers,
                    const platform::Data& payload, platform::QueuePtr queue,
                    bool usingBackgroundSession, CompletionHandler handler) {
  auto request = requestFor(url, headers, queue, handler);
  if (!request) return std::nullopt;

  PayloadCompressor compressor;
  {
    std::lock_guard guard(compressorMutex_);
    compressor = compressor_;
  }
  platform::ErrorPtr compressionError;
  auto compressed = compressor ? compressor(payload, &compressionError)
                               : zul_dataByGzippingData(payload, &compressionError);
  if (compressionError || (!compressed && payload.length() > 0)) {
    handleErrorWithCode(ZULErrorCodeNetworkPayloadCompression, queue, handler);
    return std::nullopt;
  }
  platform::Data body = compressed ? std::move(*compressed) : platform::Data();
  request->setValue(std::to_string(body.length()), "Content-Length");
  request->body = std::move(body);
  request->httpMethod = "POST";
  request->setValue("application/x-www-form-urlencoded", "Content-Type");
  request->setValue("gzip", "Content-Encoding");

  auto session = ZULNetworkURLSession::initWithNetworkLoggerDelegate(shared_from_this());
  session->setBackgroundNetworkEnabled(usingBackgroundSession);
  // Entered before the task starts, so a completion on another queue cannot come first.
  requests_.setObject(session, session->sessionID());
  auto sessionID =
      session->sessionIDFromAsyncPOSTRequest(*request, completionFor(queue, std::move(handler)));
  if (!sessionID) {
    // The session has already reported error 2 through the handler, which must not hear of
    // the same failure a second time.
    requests_.removeObjectForKey(session->sessionID());
    return std::nullopt;
  }
  ZULNetwork_logWithLevel(kZULNetworkLogLevelDebug, kZULNetworkMessageCodeNetwork000,
                          "Uploading data. Host", platform::Value(url));
  return sessionID;
}

std::optional<std::string> ZULNetwork::getURL(const platform::URL& url,
                                              const platform::HTTPHeaderFields& headers,
                                              platform::QueuePtr queue, bool usingBackgroundSession,
                                              CompletionHandler handler) {
  auto request = requestFor(url, headers, queue, handler);
  if (!request) return std::nullopt;
  request->httpMethod = "GET";

  auto session = ZULNetworkURLSession::initWithNetworkLoggerDelegate(shared_from_this());
  session->setBackgroundNetworkEnabled(usingBackgroundSession);
  // Entered before the task starts, so a completion on another queue cannot come first.
  requests_.setObject(session, session->sessionID());
  auto sessionID =
      session->sessionIDFromAsyncGETRequest(*request, completionFor(queue, std::move(handler)));
  if (!sessionID) {
    // The session has already reported error 2 through the handler, which must not hear of
    // the same failure a second time.
    requests_.removeObjectForKey(session->sessionID());
    return std::nullopt;
  }
  ZULNetwork_logWithLevel(kZULNetworkLogLevelDebug, kZULNetworkMessageCodeNetwork001,
                          "Downloading data. Host", platform::Value(url));
  return sessionID;
}

ZULNetworkURLSession::CompletionHandler ZULNetwork::completionFor(platform::QueuePtr queue,
                                                                  CompletionHandler handler) {
  std::weak_ptr<ZULNetwork> weakSelf = weak_from_this();
  return [weakSelf, queue = std::move(queue), handler = std::move(handler)](
             std::optional<platform::HTTPURLResponse> response, std::optional<platform::Data> data,
             const std::string& sessionID, platform::ErrorPtr error) {
    auto self = weakSelf.lock();
    if (!self) return;
    const auto target = queue ? queue : platform::Queue::main();
    target->async([self, handler, response = std::move(response), data = std::move(data), sessionID,
                   error = std::move(error)] {
      if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
      if (handler) handler(response, data, error);
    });
  };
}

void ZULNetwork::handleErrorWithCode(std::int64_t code, const platform::QueuePtr& queue,
                                     const CompletionHandler& handler) {
  auto error = ZULNetworkURLSession::errorWithCode(code, kZULNetworkRequestFailed);
  ZULNetwork_logWithLevel(
      kZULNetworkLogLevelWarning, kZULNetworkMessageCodeNetwork002,
      "Failed to create network request. Code, error",
      std::vector<platform::Value>{platform::Value(code), platform::Value(error->description())});
  if (!handler) return;
  const auto target = queue ? queue : platform::Queue::main();
  target->async([handler, error] { handler(std::nullopt, std::nullopt, error); });
}

bool ZULNetwork::hasUploadInProgress() const { return requests_.count() > 0; }

void ZULNetwork::setPayloadCompressorForTesting(PayloadCompressor compressor) {
  std::lock_guard guard(compressorMutex_);
  compressor_ = std::move(compressor);
}

void ZULNetwork::reachability(const std::shared_ptr<ZULReachabilityChecker>&,
                              ZULReachabilityStatus statusChanged) {
  // 3 is the mobile-link status of the platform this follows; it counts as connected too.
  networkConnected_ = statusChanged == ZULReachabilityStatusConnected || statusChanged == 3;
  if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

void ZULNetwork::setLoggerDelegate(
    const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate) {
  if (!loggerDelegate) {
    ZULLogAtError(kZULNetworkService, false,
                  platform::format("I-NET%06ld", {std::int64_t{kZULNetworkMessageCodeNetwork002}}),
                  "Cannot set the network logger delegate: delegate does not conform to the "
                  "network logger protocol.");
    return;
  }
  std::lock_guard guard(delegatesMutex_);
  loggerDelegate_ = loggerDelegate;
}

void ZULNetwork::ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                         std::optional<std::string> message,
                                         std::vector<platform::Value> contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->ZULNetwork_logWithLevel(logLevel, messageCode, std::move(message),
                                      std::move(contexts));
    return;
  }
  if (!isDebugModeEnabled_ && logLevel != kZULNetworkLogLevelError &&
      logLevel != kZULNetworkLogLevelWarning && logLevel != kZULNetworkLogLevelInfo) {
    return;
  }
  std::string text = !message           ? "(Message was nil)"
                     : message->empty() ? "(Message was empty)"
                                        : *message;
  text = "<Rerora/Utilities/Network/" + levelName(logLevel) + "> " + text;
  if (!contexts.empty()) {
    text += ": ";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      if (i > 0) text += ", ";
      text += contextText(contexts[i]);
    }
  }
  platform::SystemLog::write(logLevel, text);
  ZULLogMessage(logLevel, kZULNetworkService, false, platform::format("I-NET%06ld", {messageCode}),
                text, std::nullopt);
}

void ZULNetwork::ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                         std::optional<std::string> message,
                                         platform::Value context) {
  ZULNetwork_logWithLevel(logLevel, messageCode, std::move(message),
                          std::vector<platform::Value>{std::move(context)});
}

void ZULNetwork::ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                         std::optional<std::string> message) {
  ZULNetwork_logWithLevel(logLevel, messageCode, std::move(message),
                          std::vector<platform::Value>{});
}
