#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"

#include <system_error>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "platform/bundle.h"
#include "platform/files.h"
#include "platform/format.h"

namespace {

std::string errorText(const platform::ErrorPtr& error) {
  return error ? error->description() : std::string("(null)");
}

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

}  // namespace

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

// ---- Files

std::filesystem::path RDTCORRootDirectory() {
  static const std::filesystem::path root = [] {
    std::filesystem::path path =
        platform::format("%@/rerora-sdks-events", {platform::cachesDirectory().string()});
    RDTCORLogDebug("RDT's state will be saved to: %@", {path.string()});
    return path;
  }();
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
                   {path.string(), errorText(localError)});
    setError(error, localError);
    return std::nullopt;
  }
  auto data = platform::KeyedArchiver::archivedData(object, &localError);
  if (!data) {
    RDTCORLogDebug("Encoding an object failed: %@", {errorText(localError)});
    setError(error, localError);
    return std::nullopt;
  }
  if (!path.empty()) {
    if (platform::writeFileAtomically(path, *data, &localError)) {
      RDTCORLogDebug("Writing archive succeeded: %@", {path.string()});
    } else if (localError) {
      RDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@",
                     {path.string(), errorText(localError)});
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
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > kRDTCORMaxArchiveFileSize) {
    setError(error, platform::makeError("NSCocoaErrorDomain", platform::kCoderReadCorruptError,
                                        {{platform::kFilePathErrorKey, path.string()}}));
    return nullptr;
  }
  const auto data = platform::readFile(path, error);
  if (!data) return nullptr;
  return RDTCORUnarchiveFromData(className, *data, error);
}

bool RDTCORWriteFileAtomically(const platform::Data& data, const std::filesystem::path& path,
                               platform::ErrorPtr* error) {
  if (path.empty()) return false;
  platform::ErrorPtr localError;
  if (!platform::createDirectory(path.parent_path(), true, &localError,
                                 platform::DirectoryAccess::OwnerOnly)) {
    RDTCORLogDebug("Attempt to create directory failed: path:%@ error:%@",
                   {path.string(), errorText(localError)});
    setError(error, localError);
    return false;
  }
  const bool written = platform::writeFileAtomically(path, data, &localError);
  if (written && !localError) {
    RDTCORLogDebug("Writing archive succeeded: %@", {path.string()});
  } else {
    RDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@",
                   {path.string(), errorText(localError)});
    setError(error, localError);
  }
  return written;
}
