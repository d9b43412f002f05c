#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/format.h"

namespace {

// The range of the platform's archive decoding errors, in its Cocoa domain.
constexpr std::int64_t kCoderErrorMinimum = 4864;
constexpr std::int64_t kCoderErrorMaximum = 4991;

void setError(platform::ErrorPtr* out, platform::ErrorPtr error) {
  if (out) *out = std::move(error);
}

// The route tables say whether 0.0.0.0 (any address) can be reached; none when unreadable.
std::optional<platform::NetworkReachabilityFlags> readAnyAddressFlags() {
  platform::ErrorPtr error;
  const auto ipv4 = platform::readFile("/proc/net/route", &error);
  if (!ipv4) return std::nullopt;
  const auto ipv6 = platform::readFile("/proc/net/ipv6_route", &error);
  return platform::NetworkReachabilityFlagsForHost("0.0.0.0", ipv4->toString(),
                                                   ipv6 ? ipv6->toString() : std::string());
}

void reachabilityChanged(platform::NetworkReachabilityRef, platform::NetworkReachabilityFlags flags,
                         void*) {
  RDTCORLogDebug("Reachability changed, new flags: %d", {flags});
  RDTCORReachability::sharedInstance()->setCallbackFlags(flags);
}

// A file read failure as the platform's files report it, with the system's reason beneath.
platform::ErrorPtr fileReadError(const std::filesystem::path& path, int errnoValue) {
  return platform::makeError(platform::kCocoaErrorDomain,
                             errnoValue == ENOENT ? platform::kFileReadNoSuchFileError
                                                  : platform::kFileReadUnknownError,
                             {{platform::kFilePathErrorKey, path.string()}},
                             platform::makeError(platform::kPOSIXErrorDomain, errnoValue));
}

platform::ErrorPtr notAnArchiveError(const std::filesystem::path& path, const char* reason) {
  return platform::makeError(platform::kCocoaErrorDomain, platform::kCoderReadCorruptError,
                             {{platform::kFilePathErrorKey, path.string()},
                              {platform::kLocalizedFailureReasonErrorKey, reason}});
}

bool cannotHoldAnArchive(const struct stat& info) {
  return !S_ISREG(info.st_mode) ||
         static_cast<std::uintmax_t>(info.st_size) > kRDTCORMaxArchiveFileSize;
}

const char* whyNoArchive(const struct stat& info) {
  return S_ISREG(info.st_mode) ? "The file is larger than any archive the transport writes."
                               : "The path names no regular file.";
}

// The bytes of a file that can hold an archive. Checked before opening, since opening a pipe
// or a device may block for ever, and again on the open file, which may have been replaced
// in between; opened non-blocking for that case.
std::optional<platform::Data> readArchiveFile(const std::filesystem::path& path,
                                              platform::ErrorPtr* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    setError(error, fileReadError(path, errno));
    return std::nullopt;
  }
  if (cannotHoldAnArchive(info)) {
    setError(error, notAnArchiveError(path, whyNoArchive(info)));
    return std::nullopt;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    setError(error, fileReadError(path, errno));
    return std::nullopt;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &info) != 0) {
    setError(error, fileReadError(path, errno));
    return std::nullopt;
  }
  if (cannotHoldAnArchive(info)) {
    setError(error, notAnArchiveError(path, whyNoArchive(info)));
    return std::nullopt;
  }
  platform::Data data;
  data.vector().reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      setError(error, fileReadError(path, errno));
      return std::nullopt;
    }
    data.append(buffer, static_cast<std::size_t>(count));
    // A file still growing is no archive we wrote: it is not read on without bound.
    if (data.length() > kRDTCORMaxArchiveFileSize) {
      setError(error, notAnArchiveError(path, whyNoArchive(info)));
      return std::nullopt;
    }
  }
  return data;
}

}  // namespace

// ---- Background tasks

struct RDTCORBackgroundTask::State {
  std::weak_ptr<RDTCORApplicationProtocol> application;
  // Whoever takes the identifier out ends the task; everyone after finds none.
  std::atomic<RDTCORBackgroundIdentifier> identifier{RDTCORBackgroundIdentifierInvalid};

  bool endWith(RDTCORBackgroundIdentifier taken) const {
    if (taken == RDTCORBackgroundIdentifierInvalid) return false;
    if (const auto app = application.lock()) app->endBackgroundTask(taken);
    return true;
  }
};

RDTCORBackgroundTask::RDTCORBackgroundTask(
    const std::shared_ptr<RDTCORApplicationProtocol>& application, const std::string& name,
    std::function<void(bool wasRunning)> onExpiry)
    : state_(std::make_shared<State>()) {
  if (!application) return;
  state_->application = application;
  const RDTCORBackgroundIdentifier identifier = application->beginBackgroundTaskWithName(
      name, [state = state_, onExpiry = std::move(onExpiry)] {
        const RDTCORBackgroundIdentifier taken =
            state->identifier.exchange(RDTCORBackgroundIdentifierInvalid);
        if (onExpiry) onExpiry(taken != RDTCORBackgroundIdentifierInvalid);
        state->endWith(taken);
      });
  // An expiry during the begin found no identifier yet; the work still ends this one.
  state_->identifier.store(identifier);
}

bool RDTCORBackgroundTask::end() const {
  return state_->endWith(state_->identifier.exchange(RDTCORBackgroundIdentifierInvalid));
}

// ---- Application

void RDTCORApplication::load() {
  platform::Class& cls =
      platform::ObjectRuntime::registerClass<RDTCORApplication>("RDTCORApplication");
  cls.addProtocol("RDTCORApplicationProtocol");
  cls.addProtocol("RDTCORApplicationDelegate");
  cls.addProtocol(platform::kApplicationDelegateProtocolName);
  RDTCORLogDebug("RDT is initializing. Please note that if you quit the app via the debugger and "
                 "not through a lifecycle event, event data will remain on disk but storage won't "
                 "have a reference to them since the singleton wasn't saved to disk.");
  sharedApplication();
}

std::shared_ptr<RDTCORApplication> RDTCORApplication::sharedApplication() {
  // Kept until exit: the notification center may be gone before a static would be destroyed.
  static const auto* shared =
      new std::shared_ptr<RDTCORApplication>(std::make_shared<RDTCORApplication>());
  return *shared;
}

RDTCORApplication::RDTCORApplication() {
  terminateObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      platform::kApplicationWillTerminateNotification, nullptr, nullptr,
      [this](const platform::Notification& notification) {
        macOSApplicationWillTerminate(notification);
      });
}

RDTCORApplication::~RDTCORApplication() {
  platform::NotificationCenter::defaultCenter().removeObserver(terminateObserver_);
}

RDTCORBackgroundIdentifier RDTCORApplication::beginBackgroundTaskWithName(const std::string&,
                                                                          std::function<void()>) {
  // No platform object runs background tasks here.
  return RDTCORBackgroundIdentifierInvalid;
}

void RDTCORApplication::endBackgroundTask(RDTCORBackgroundIdentifier identifier) {
  if (identifier == RDTCORBackgroundIdentifierInvalid) return;
  RDTCORLogDebug("Ending background task with ID:%ld was successful", {identifier});
}

bool RDTCORApplication::isRunningInBackground() const {
  std::lock_guard lock(mutex_);
  return isRunningInBackground_;
}

void RDTCORApplication::setIsRunningInBackground(bool isRunningInBackground) {
  std::lock_guard lock(mutex_);
  isRunningInBackground_ = isRunningInBackground;
}

bool RDTCORApplication::isAppExtension() const {
  return platform::Bundle::main().bundlePath().string().ends_with(".appex");
}

void RDTCORApplication::macOSApplicationWillTerminate(const platform::Notification&) {
  RDTCORLogDebug("RDTCORPlatform is sending a notif that the app is terminating.");
  platform::NotificationCenter::defaultCenter().post(kRDTCORApplicationWillTerminateNotification,
                                                     nullptr);
}

// ---- Reachability

std::shared_ptr<RDTCORReachability> RDTCORReachability::sharedInstance() {
  // Kept until exit, so that no callback ever meets a destroyed instance.
  static const auto* shared =
      new std::shared_ptr<RDTCORReachability>(std::make_shared<RDTCORReachability>());
  return *shared;
}

RDTCORReachability::RDTCORReachability()
    : reachabilityQueue_(platform::Queue::serial("com.rerora.RDTCORReachability")) {
  reachabilityRef_ = platform::NetworkReachabilityCreateWithName("0.0.0.0");
  if (!platform::NetworkReachabilityScheduleWithRunLoop(reachabilityRef_, reachabilityQueue_)) {
    RDTCORLogWarning(RDTCORMCWReachabilityFailed, "The reachability queue wasn't set.");
  }
  if (!platform::NetworkReachabilitySetCallback(reachabilityRef_, &reachabilityChanged, nullptr)) {
    RDTCORLogWarning(RDTCORMCWReachabilityFailed, "The reachability callback wasn't set.");
  }
  reachabilityQueue_->async([this] {
    const auto flags = readAnyAddressFlags();
    if (!flags) RDTCORLogDebug("Determining reachability failed.");
    flags_ = flags.value_or(0);
  });
}

RDTCORReachability::~RDTCORReachability() {
  platform::NetworkReachabilityRelease(reachabilityRef_);
}

platform::NetworkReachabilityFlags RDTCORReachability::currentFlags() {
  const auto reachability = sharedInstance();
  platform::NetworkReachabilityFlags current = 0;
  reachability->reachabilityQueue_->sync([&] {
    current =
        reachability->callbackFlags_ != 0 ? reachability->callbackFlags_ : reachability->flags_;
  });
  RDTCORLogDebug("Initial reachability flags determined: %d", {current});
  return current;
}

platform::NetworkReachabilityFlags RDTCORReachability::flags() const {
  platform::NetworkReachabilityFlags value = 0;
  reachabilityQueue_->sync([&] { value = flags_; });
  return value;
}

void RDTCORReachability::setFlags(platform::NetworkReachabilityFlags flags) {
  reachabilityQueue_->sync([&] { flags_ = flags; });
}

platform::NetworkReachabilityFlags RDTCORReachability::callbackFlags() const {
  platform::NetworkReachabilityFlags value = 0;
  reachabilityQueue_->sync([&] { value = callbackFlags_; });
  return value;
}

void RDTCORReachability::setCallbackFlags(platform::NetworkReachabilityFlags flags) {
  reachabilityQueue_->sync([&] {
    if (callbackFlags_ != flags) callbackFlags_ = flags;
  });
}

bool RDTCORFlagsSayReachable(platform::NetworkReachabilityFlags flags) {
  return (flags & platform::kNetworkReachabilityFlagsReachable) != 0 &&
         (flags & platform::kNetworkReachabilityFlagsConnectionRequired) == 0;
}

bool RDTCORFlagsSayCellular(platform::NetworkReachabilityFlags) { return false; }

// ---- Log texts

std::string RDTCORErrorText(const platform::ErrorPtr& error) {
  return error ? error->description() : std::string("(null)");
}

// ---- Files

std::filesystem::path RDTCORRootDirectory() {
  // Never destroyed: the transport's queues may still use it while the process exits.
  static const auto* rootPath = [] {
    auto* path = new std::filesystem::path(
        platform::format("%@/rerora-sdks-events", {platform::cachesDirectory().string()}));
    RDTCORLogDebug("RDT's state will be saved to: %@", {path->string()});
    return path;
  }();
  const std::filesystem::path& root = *rootPath;
  if (!platform::createDirectory(root, true, nullptr, platform::DirectoryAccess::OwnerOnly)) {
    RDTCORAssertionFailed(__FILE__, __LINE__, "There was an error creating RDT's path");
  }
  return root;
}

std::optional<platform::Data> RDTCORArchiveToPath(const platform::SecureCodingPtr& object,
                                                  const std::filesystem::path& path,
                                                  platform::ErrorPtr* error) {
  platform::ErrorPtr localError;
  if (!path.empty() && !platform::createDirectory(path.parent_path(), true, &localError,
                                                  platform::DirectoryAccess::OwnerOnly)) {
    RDTCORLogDebug("Attempt to create directory failed: path:%@ error:%@",
                   {path.string(), RDTCORErrorText(localError)});
    setError(error, localError);
    return std::nullopt;
  }
  auto data = platform::KeyedArchiver::archivedData(object, &localError);
  if (!data) {
    RDTCORLogDebug("Encoding an object failed: %@", {RDTCORErrorText(localError)});
    setError(error, localError);
    return std::nullopt;
  }
  if (!path.empty()) {
    if (platform::writeFileAtomically(path, *data, &localError)) {
      RDTCORLogDebug("Writing archive succeeded: %@", {path.string()});
    } else if (localError) {
      RDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@",
                     {path.string(), RDTCORErrorText(localError)});
      setError(error, localError);
    } else {
      RDTCORLogDebug("Attempt to write archive failed: path:%@", {path.string()});
    }
  }
  return data;
}

platform::SecureCodingPtr RDTCORUnarchiveFromData(std::string_view className,
                                                  const platform::Data& data,
                                                  platform::ErrorPtr* error) {
  platform::ErrorPtr localError;
  const auto object = platform::KeyedUnarchiver::unarchivedObject(
      platform::ClassSet{std::string(className)}, data, &localError);
  const auto* record = object ? std::get_if<platform::SecureCodingPtr>(&*object) : nullptr;
  if (!record || !*record) {
    setError(error, localError ? localError
                               : platform::makeError("NSCocoaErrorDomain",
                                                     platform::kCoderReadCorruptError));
    return nullptr;
  }
  return *record;
}

platform::SecureCodingPtr RDTCORUnarchiveFromPath(std::string_view className,
                                                  const std::filesystem::path& path,
                                                  platform::ErrorPtr* error) {
  const auto data = readArchiveFile(path, error);
  if (!data) return nullptr;
  return RDTCORUnarchiveFromData(className, *data, error);
}

bool RDTCORIsCorruptArchiveError(const platform::ErrorPtr& error) {
  return error && error->domain() == platform::kCocoaErrorDomain &&
         error->code() >= kCoderErrorMinimum && error->code() <= kCoderErrorMaximum;
}

bool RDTCORWriteFileAtomically(const platform::Data& data, const std::filesystem::path& path,
                               platform::ErrorPtr* error) {
  if (path.empty()) return false;
  platform::ErrorPtr localError;
  if (!platform::createDirectory(path.parent_path(), true, &localError,
                                 platform::DirectoryAccess::OwnerOnly)) {
    RDTCORLogDebug("Attempt to create directory failed: path:%@ error:%@",
                   {path.string(), RDTCORErrorText(localError)});
    setError(error, localError);
    return false;
  }
  const bool written = platform::writeFileAtomically(path, data, &localError);
  if (written && !localError) {
    RDTCORLogDebug("Writing archive succeeded: %@", {path.string()});
  } else {
    RDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@",
                   {path.string(), RDTCORErrorText(localError)});
    setError(error, localError);
  }
  return written;
}
