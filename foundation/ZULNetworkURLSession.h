// ZULNetworkURLSession: carries one request of the SDK's network client on a URL session of
// its own, spooling background uploads to a file, and reports its outcome exactly once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/url_session.h"
#include "platform/value.h"

inline constexpr const char* kZULNetworkErrorDomain = "com.zul.network.ErrorDomain";
inline constexpr const char* kZULNetworkErrorContext = "Context";
inline constexpr const char* kZULNetworkBackgroundSessionIDPrefix =
    "com.zul.network.background-upload";

enum ZULNetworkErrorCode : std::int64_t {
  ZULErrorCodeNetworkInvalidURL = 1,
  ZULErrorCodeNetworkSessionTaskCreation = 2,
  ZULErrorCodeNetworkPayloadCompression = 3,
  ZULErrorCodeNetworkInvalidResponse = 4,
  ZULErrorCodeNetworkEmptyResponse = 5,
};

enum ZULNetworkLogLevel : int {
  kZULNetworkLogLevelError = 3,
  kZULNetworkLogLevelWarning = 4,
  kZULNetworkLogLevelNotice = 5,
  kZULNetworkLogLevelInfo = 6,
  kZULNetworkLogLevelDebug = 7,
};

enum ZULNetworkMessageCode : std::int64_t {
  kZULNetworkMessageCodeNetwork000 = 900000,
  kZULNetworkMessageCodeNetwork001 = 900001,
  kZULNetworkMessageCodeNetwork002 = 900002,
  kZULNetworkMessageCodeNetwork003 = 900003,
  kZULNetworkMessageCodeURLSession000 = 901000,
  kZULNetworkMessageCodeURLSession001 = 901001,
  kZULNetworkMessageCodeURLSession002 = 901002,
  kZULNetworkMessageCodeURLSession009 = 901009,
  kZULNetworkMessageCodeURLSession010 = 901010,
  kZULNetworkMessageCodeURLSession011 = 901011,
  kZULNetworkMessageCodeURLSession012 = 901012,
  kZULNetworkMessageCodeURLSession013 = 901013,
  kZULNetworkMessageCodeURLSession014 = 901014,
  kZULNetworkMessageCodeURLSession015 = 901015,
  kZULNetworkMessageCodeURLSession017 = 901017,
  kZULNetworkMessageCodeURLSession019 = 901019,
};

// Receives the network client's log lines in place of its own printing.
class ZULNetworkLoggerDelegate {
 public:
  virtual ~ZULNetworkLoggerDelegate() = default;
  virtual void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                       std::optional<std::string> message,
                                       std::vector<platform::Value> contexts) = 0;
  virtual void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                       std::optional<std::string> message,
                                       platform::Value context) = 0;
  virtual void ZULNetwork_logWithLevel(int logLevel, std::int64_t messageCode,
                                       std::optional<std::string> message) = 0;
};

class ZULNetworkURLSession : public platform::URLSessionDelegate,
                             public std::enable_shared_from_this<ZULNetworkURLSession> {
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  using CompletionHandler = std::function<void(
      std::optional<platform::HTTPURLResponse> response, std::optional<platform::Data> data,
      const std::string& sessionID, platform::ErrorPtr error)>;

  static std::shared_ptr<ZULNetworkURLSession>
  initWithNetworkLoggerDelegate(const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate);
  ZULNetworkURLSession(ConstructionKey,
                       const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate);

  // The session ID, or none after the handler was called with error 2.
  std::optional<std::string> sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                           CompletionHandler handler);
  std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                          CompletionHandler handler);

  // The registered session object for the ID, if it is still alive.
  static std::shared_ptr<ZULNetworkURLSession>
  sessionFromFetcherMapForSessionID(const std::string& sessionID);
  // A null session removes the entry; a replaced session's URL session is finished.
  static void setSessionInFetcherMap(const std::shared_ptr<ZULNetworkURLSession>& session,
                                     const std::string& sessionID);

  // After a relaunch: for an ID of this client, stores the system's handler on the session
  // object of that ID (made when there is none); other IDs are ignored. Transfers here
  // never outlive their process, so a session made for a relaunch has nothing pending and
  // its handler runs at once; a live session runs it when its task completes.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    std::function<void()> systemCompletionHandler);
  // The registered session object, or for an ID of this client a new one registered under it.
  static std::shared_ptr<ZULNetworkURLSession>
  fetcherWithSessionIdentifier(const std::string& sessionID);
  // A handler already stored for the ID is replaced.
  void addSystemCompletionHandler(std::function<void()> handler, const std::string& identifier);
  // Removes the stored handler and runs it asynchronously on the main queue.
  void callSystemCompletionHandler(const std::string& identifier);

  // Reports the finished task: called once by the URL session; later calls do nothing.
  void didCompleteWithError(std::optional<platform::HTTPURLResponse> response,
                            std::optional<platform::Data> data, platform::ErrorPtr error);

  // Refuses 300, 301, 302 and 307; follows the rest.
  void willPerformHTTPRedirection(
      const std::shared_ptr<platform::URLSession>& session,
      const std::shared_ptr<platform::URLSessionTask>& task,
      const platform::HTTPURLResponse& response, const platform::URLRequest& newRequest,
      std::function<void(std::optional<platform::URLRequest>)> completionHandler) override;

  const std::string& sessionID() const { return sessionID_; }
  bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  const std::filesystem::path& networkDirectoryURL() const { return networkDirectoryURL_; }
  // The spool file of a background upload (set once a POST starts).
  const std::filesystem::path& uploadingFileURL() const { return uploadingFileURL_; }

  static platform::ErrorPtr errorWithCode(std::int64_t code, const std::string& context);

 private:
  std::optional<std::string> startTask(const platform::URLRequest& request,
                                       std::optional<platform::Data> uploadBody,
                                       CompletionHandler handler);
  bool ensureTemporaryDirectoryExists();
  void maybeRemoveTempFilesAtURL(const std::filesystem::path& folder, double expiringTime);
  void removeTempItemAtURL(const std::filesystem::path& file);
  void log(int level, std::int64_t code, const std::string& message,
           std::vector<platform::Value> contexts = {});

  std::string sessionID_;  // replaced only before the object is shared
  const std::filesystem::path networkDirectoryURL_;
  std::filesystem::path uploadingFileURL_;
  bool backgroundNetworkEnabled_ = false;
  std::weak_ptr<ZULNetworkLoggerDelegate> loggerDelegate_;

  std::mutex mutex_;
  CompletionHandler completionHandler_;  // guarded; taken once
  std::weak_ptr<platform::URLSession> URLSession_;
  bool taskRunning_ = false;  // guarded
};
