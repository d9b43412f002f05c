#include "foundation/ZULNetworkURLSession.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

#include <cmath>
#include <map>
#include <utility>

#include "foundation/ZULLogger.h"
#include "foundation/ZULMutableDictionary.h"
#include "platform/date.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/uuid.h"

namespace {

// Strong keys, weak values: an entry never keeps its session object alive.
struct FetcherMap {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<ZULNetworkURLSession>> sessions;
};

FetcherMap& fetcherMap() {
  static FetcherMap* map = new FetcherMap;  // used until exit, never torn down
  return *map;
}

constexpr double kTemporaryFileExpiry = 3600;

ZULMutableDictionary<std::string, std::function<void()>>& systemCompletionHandlers() {
  static auto* handlers = new ZULMutableDictionary<std::string, std::function<void()>>;
  return *handlers;
}

}  // namespace

std::shared_ptr<ZULNetworkURLSession> ZULNetworkURLSession::initWithNetworkLoggerDelegate(
    const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate) {
  return std::make_shared<ZULNetworkURLSession>(ConstructionKey(), loggerDelegate);
}

ZULNetworkURLSession::ZULNetworkURLSession(
    ConstructionKey, const std::shared_ptr<ZULNetworkLoggerDelegate>& loggerDelegate)
    : sessionID_(std::string(kZULNetworkBackgroundSessionIDPrefix) + "-" +
                 platform::UUID::random().string()),
      networkDirectoryURL_(platform::applicationSupportDirectory() / "ZUL/Network" /
                           "ZULNetworkTemporaryDirectory"),
      loggerDelegate_(loggerDelegate) {}

platform::ErrorPtr ZULNetworkURLSession::errorWithCode(std::int64_t code,
                                                       const std::string& context) {
  platform::Dictionary userInfo;
  userInfo.set(kZULNetworkErrorContext, platform::Value(context));
  return platform::makeError(kZULNetworkErrorDomain, code, std::move(userInfo));
}

void ZULNetworkURLSession::log(int level, std::int64_t code, const std::string& message,
                               std::vector<platform::Value> contexts) {
  if (auto delegate = loggerDelegate_.lock()) {
    delegate->ZULNetwork_logWithLevel(level, code, message, std::move(contexts));
  }
}

std::optional<std::string>
ZULNetworkURLSession::sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                    CompletionHandler handler) {
  uploadingFileURL_ = networkDirectoryURL_ / ("ZULUpload_temp_" + sessionID_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kTemporaryFileExpiry);

  platform::Data body = request.body;
  if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
    platform::ErrorPtr error;
    if (platform::writeFileAtomically(uploadingFileURL_, request.body, &error)) {
      // A background transfer here is an ordinary one that sends the spooled bytes.
      if (auto spooled = platform::readFile(uploadingFileURL_)) body = std::move(*spooled);
    } else {
      log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession000,
          "Failed to write request data to file",
          {platform::Value(error ? error->description() : std::string())});
    }
  }
  platform::URLRequest withoutBody = request;
  withoutBody.body = platform::Data();
  return startTask(withoutBody, std::move(body), std::move(handler));
}

std::optional<std::string>
ZULNetworkURLSession::sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                   CompletionHandler handler) {
  return startTask(request, std::nullopt, std::move(handler));
}

std::optional<std::string> ZULNetworkURLSession::startTask(const platform::URLRequest& request,
                                                           std::optional<platform::Data> uploadBody,
                                                           CompletionHandler handler) {
  std::shared_ptr<platform::URLSession> session;
  std::shared_ptr<platform::URLSessionTask> task;
  // Only HTTP is carried; any other scheme gets no task. Schemes ignore case.
  const auto hasScheme = [&](std::string_view scheme) {
    return request.url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), request.url.begin(), [](char a, char b) {
             return a == std::tolower(static_cast<unsigned char>(b));
           });
  };
  const bool supported = hasScheme("http://") || hasScheme("https://");
  if (supported) {
    platform::URLSessionConfiguration configuration;
    configuration.httpAdditionalHeaders = request.headers;
    configuration.timeoutIntervalForRequest = request.timeoutInterval;
    configuration.timeoutIntervalForResource = request.timeoutInterval;
    session =
        platform::URLSession::create(configuration, shared_from_this(), platform::Queue::main());
    std::weak_ptr<ZULNetworkURLSession> weakSelf = weak_from_this();
    auto completion = [weakSelf](std::optional<platform::Data> data,
                                 std::optional<platform::HTTPURLResponse> response,
                                 platform::ErrorPtr error) {
      if (auto self = weakSelf.lock()) {
        self->didCompleteWithError(std::move(response), std::move(data), std::move(error));
      }
    };
    if (session) {
      if (uploadBody) {
        task = session->uploadTask(request, std::move(*uploadBody), std::move(completion));
      } else {
        task = session->dataTask(request, std::move(completion));
      }
    }
  }
  if (!session || !task) {
    if (session) session->invalidateAndCancel();
    auto error =
        errorWithCode(ZULErrorCodeNetworkSessionTaskCreation, "Cannot create network session");
    if (handler) handler(std::nullopt, std::nullopt, sessionID_, error);
    return std::nullopt;
  }
  {
    std::lock_guard guard(mutex_);
    URLSession_ = session;
    completionHandler_ = std::move(handler);
    taskRunning_ = true;
  }
  setSessionInFetcherMap(shared_from_this(), sessionID_);
  task->resume();
  return sessionID_;
}

void ZULNetworkURLSession::didCompleteWithError(std::optional<platform::HTTPURLResponse> response,
                                                std::optional<platform::Data> data,
                                                platform::ErrorPtr error) {
  CompletionHandler handler;
  std::shared_ptr<platform::URLSession> session;
  {
    std::lock_guard guard(mutex_);
    if (!completionHandler_) return;
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    session = URLSession_.lock();
    taskRunning_ = false;
  }
  if (response) {
    error = nullptr;
  } else if (!error) {
    error =
        errorWithCode(ZULErrorCodeNetworkEmptyResponse, "Network Error: Empty network response");
  }
  if (error) {
    log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession017,
        "Encounter network error. Code, error",
        {platform::Value(error->code()), platform::Value(error->description())});
  }
  platform::Queue::main()->async([handler = std::move(handler), response = std::move(response),
                                  data = std::move(data), sessionID = sessionID_,
                                  error] { handler(response, data, sessionID, error); });
  removeTempItemAtURL(uploadingFileURL_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kTemporaryFileExpiry);
  if (session) session->finishTasksAndInvalidate();
  setSessionInFetcherMap(nullptr, sessionID_);
  callSystemCompletionHandler(sessionID_);
}

void ZULNetworkURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, std::function<void()> systemCompletionHandler) {
  if (!sessionID.starts_with(kZULNetworkBackgroundSessionIDPrefix)) return;
  auto fetcher = fetcherWithSessionIdentifier(sessionID);
  if (!fetcher) {
    ZULLogAtError("[ZULNetwork]", false,
                  platform::format("I-NET%06ld", {std::int64_t{kZULNetworkMessageCodeNetwork003}}),
                  "Failed to retrieve background session with ID %@ after app is relaunched.",
                  {sessionID});
    return;
  }
  fetcher->addSystemCompletionHandler(std::move(systemCompletionHandler), sessionID);
  bool running = false;
  {
    std::lock_guard guard(fetcher->mutex_);
    running = fetcher->taskRunning_;
  }
  if (!running) fetcher->callSystemCompletionHandler(sessionID);
}

std::shared_ptr<ZULNetworkURLSession>
ZULNetworkURLSession::fetcherWithSessionIdentifier(const std::string& sessionID) {
  if (auto existing = sessionFromFetcherMapForSessionID(sessionID)) return existing;
  if (!sessionID.starts_with(kZULNetworkBackgroundSessionIDPrefix)) return nullptr;
  auto fetcher = initWithNetworkLoggerDelegate(nullptr);
  fetcher->sessionID_ = sessionID;
  setSessionInFetcherMap(fetcher, sessionID);
  return fetcher;
}

void ZULNetworkURLSession::addSystemCompletionHandler(std::function<void()> handler,
                                                      const std::string& identifier) {
  if (!handler) {
    log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession009,
        "Cannot store nil system completion handler in network");
    return;
  }
  if (identifier.empty()) {
    log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  auto& handlers = systemCompletionHandlers();
  if (handlers.objectForKey(identifier)) {
    log(kZULNetworkLogLevelWarning, kZULNetworkMessageCodeURLSession011,
        "Got multiple system handlers for a single session ID", {platform::Value(identifier)});
  }
  handlers.setObject(std::move(handler), identifier);
}

void ZULNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
  // Taking the handler is one step, so that two callers never both run it.
  static std::mutex* const takeLock = new std::mutex;
  std::function<void()> handler;
  {
    std::lock_guard guard(*takeLock);
    auto& handlers = systemCompletionHandlers();
    handler = handlers.objectForKey(identifier);
    if (!handler) return;
    handlers.removeObjectForKey(identifier);
  }
  platform::Queue::main()->async(std::move(handler));
}

void ZULNetworkURLSession::willPerformHTTPRedirection(
    const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
    const platform::HTTPURLResponse& response, const platform::URLRequest& newRequest,
    std::function<void(std::optional<platform::URLRequest>)> completionHandler) {
  const long status = response.statusCode;
  if (status == 302 || status == 301 || status == 307 || status == 300) {
    completionHandler(std::nullopt);
  } else {
    completionHandler(newRequest);
  }
}

bool ZULNetworkURLSession::ensureTemporaryDirectoryExists() {
  bool isDirectory = false;
  if (platform::fileExists(networkDirectoryURL_, &isDirectory) && isDirectory) return true;
  platform::ErrorPtr error;
  if (!platform::createDirectory(networkDirectoryURL_, true, &error,
                                 platform::DirectoryAccess::OwnerOnly)) {
    log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession015,
        "Cannot create temporary directory. Error",
        {platform::Value(error ? error->description() : std::string())});
    return false;
  }
  return true;
}

void ZULNetworkURLSession::maybeRemoveTempFilesAtURL(const std::filesystem::path& folder,
                                                     double expiringTime) {
  platform::ErrorPtr error;
  auto entries = platform::contentsOfDirectory(folder, false, &error);
  if (!entries) {
    if (error && error->code() != platform::kFileReadNoSuchFileError &&
        error->code() != platform::kFileNoSuchFileError) {
      log(kZULNetworkLogLevelDebug, kZULNetworkMessageCodeURLSession012,
          "Cannot get files from the temporary network folder. Error",
          {platform::Value(error->description())});
    }
    return;
  }
  const platform::Date now = platform::Date::now();
  for (const auto& entry : *entries) {
    // Linux keeps no reliable creation date; the last write stands for it.
    const auto created = platform::fileModificationDate(entry);
    if (created && std::fabs(now.timeIntervalSince(*created)) > expiringTime) {
      removeTempItemAtURL(entry);
    }
  }
}

void ZULNetworkURLSession::removeTempItemAtURL(const std::filesystem::path& file) {
  if (file.empty()) return;
  platform::ErrorPtr error;
  if (!platform::removeItem(file, &error) && error &&
      error->code() != platform::kFileNoSuchFileError) {
    log(kZULNetworkLogLevelError, kZULNetworkMessageCodeURLSession013,
        "Failed to remove temporary uploading data file. Error",
        {platform::Value(error->localizedDescription())});
  }
}

std::shared_ptr<ZULNetworkURLSession>
ZULNetworkURLSession::sessionFromFetcherMapForSessionID(const std::string& sessionID) {
  auto& map = fetcherMap();
  std::lock_guard guard(map.lock);
  const auto found = map.sessions.find(sessionID);
  return found == map.sessions.end() ? nullptr : found->second.lock();
}

void ZULNetworkURLSession::setSessionInFetcherMap(
    const std::shared_ptr<ZULNetworkURLSession>& session, const std::string& sessionID) {
  std::shared_ptr<ZULNetworkURLSession> replaced;
  {
    auto& map = fetcherMap();
    std::lock_guard guard(map.lock);
    const auto found = map.sessions.find(sessionID);
    if (found != map.sessions.end()) replaced = found->second.lock();
    if (session) {
      map.sessions[sessionID] = session;
    } else if (found != map.sessions.end()) {
      map.sessions.erase(found);
    }
    // Entries whose session is gone (one per relaunch that found no task) would pile up.
    std::erase_if(map.sessions, [](const auto& entry) { return entry.second.expired(); });
  }
  // Outside the lock: the replaced session's URL session may call back into the map.
  if (replaced && replaced != session) {
    if (session) {
      session->log(kZULNetworkLogLevelInfo, kZULNetworkMessageCodeURLSession019,
                   "Discarding session: " + replaced->sessionID());
    }
    std::shared_ptr<platform::URLSession> old;
    {
      std::lock_guard guard(replaced->mutex_);
      old = replaced->URLSession_.lock();
    }
    if (old) old->finishTasksAndInvalidate();
  }
}
