// ZULNetwork: the SDK's small HTTP client: gzip-compressed POSTs and plain GETs, each on a
// session of its own, reported once on the caller's queue, with its own coded log lines.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/ZULMutableDictionary.h"
#include "foundation/ZULNetworkURLSession.h"
#include "foundation/ZULReachabilityChecker.h"
#include "platform/dispatch.h"

// Told when the network's reachability changes.
class ZULNetworkReachabilityDelegate {
 public:
  virtual ~ZULNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

class ZULNetwork : public ZULReachabilityDelegate,
                   public ZULNetworkLoggerDelegate,
                   public std::enable_shared_from_this<ZULNetwork> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  using CompletionHandler =
      std::function<void(std::optional<platform::HTTPURLResponse> response,
                         std::optional<platform::Data> data, platform::ErrorPtr error)>;
  // Turns a POST's payload into its gzip body, as zul_dataByGzippingData does.
  using PayloadCompressor = std::function<std::optional<platform::Data>(
      const platform::Data& payload, platform::ErrorPtr* error)>;

  // Null when the reachability checker for the host cannot start. On the main thread.
  static std::shared_ptr<ZULNetwork> initWithReachabilityHost(const std::string& reachabilityHost);
  // Watches the analytics service host (ZIRServiceHosts).
  static std::shared_ptr<ZULNetwork> init();
  explicit ZULNetwork(ConstructionKey);
  ~ZULNetwork() override;

  // The session ID, or none when the request failed (the handler then gets the error, once).
  // A header whose name is not an HTTP token, or whose value holds CR, LF or NUL, makes no
  // request (error 4): sent on, it would split into fields the caller never set.
  std::optional<std::string> postURL(const platform::URL& url, const platform::Data& payload,
                                     platform::QueuePtr queue, bool usingBackgroundSession,
                                     CompletionHandler handler);
  std::optional<std::string> postURL(const platform::URL& url,
                                     const platform::HTTPHeaderFields& headers,
                                     const platform::Data& payload, platform::QueuePtr queue,
                                     bool usingBackgroundSession, CompletionHandler handler);
  std::optional<std::string> getURL(const platform::URL& url,
                                    const platform::HTTPHeaderFields& headers,
                                    platform::QueuePtr queue, bool usingBackgroundSession,
                                    CompletionHandler handler);

  bool hasUploadInProgress() const;

  // Gzip itself cannot be made to fail from outside; tests put a failing compressor in its
  // place. None restores gzip.
  void setPayloadCompressorForTesting(PayloadCompressor compressor);

  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    std::function<void()> completionHandler) {
    ZULNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID,
                                                                std::move(completionHandler));
  }

  void reachability(const std::shared_ptr<ZULReachabilityChecker>& reachability,
                    ZULReachabilityStatus statusChanged) override;

  // A null delegate is refused (I-NET900002) and the previous one kept.
  void setLoggerDelegate(const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate);
  std::shared_ptr<ZULNetworkLoggerDelegate> loggerDelegate() const {
    std::lock_guard guard(delegatesMutex_);
    return loggerDelegate_.lock();
  }

  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message,
                               std::vector<platform::Value> contexts) override;
  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message,
                               platform::Value context) override;
  void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                               std::optional<std::string> message) override;

  bool isNetworkConnected() const { return networkConnected_; }
  bool isDebugModeEnabled() const { return isDebugModeEnabled_; }
  void setIsDebugModeEnabled(bool enabled) { isDebugModeEnabled_ = enabled; }
  // Seconds; 0 means the default of 60.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  std::shared_ptr<ZULNetworkReachabilityDelegate> reachabilityDelegate() const {
    std::lock_guard guard(delegatesMutex_);
    return reachabilityDelegate_.lock();
  }
  // Held weakly. Set from any thread (the uploader sets it from its own queue) while the
  // main queue reads it.
  void setReachabilityDelegate(const std::shared_ptr<ZULNetworkReachabilityDelegate>& delegate) {
    std::lock_guard guard(delegatesMutex_);
    reachabilityDelegate_ = delegate;
  }

 private:
  std::optional<platform::URLRequest> requestFor(const platform::URL& url,
                                                 const platform::HTTPHeaderFields& headers,
                                                 const platform::QueuePtr& queue,
                                                 const CompletionHandler& handler);
  ZULNetworkURLSession::CompletionHandler completionFor(platform::QueuePtr queue,
                                                        CompletionHandler handler);
  void handleErrorWithCode(std::int64_t code, const platform::QueuePtr& queue,
                           const CompletionHandler& handler);

  std::shared_ptr<ZULReachabilityChecker> reachability_;
  ZULMutableDictionary<std::string, std::shared_ptr<ZULNetworkURLSession>> requests_;
  std::atomic<bool> networkConnected_{false};
  std::atomic<bool> isDebugModeEnabled_{false};
  mutable std::mutex delegatesMutex_;
  std::weak_ptr<ZULNetworkReachabilityDelegate> reachabilityDelegate_;  // guarded
  std::weak_ptr<ZULNetworkLoggerDelegate> loggerDelegate_;              // guarded
  std::atomic<double> timeoutInterval_{60};
  std::mutex compressorMutex_;
  PayloadCompressor compressor_;  // guarded; none means gzip
};
