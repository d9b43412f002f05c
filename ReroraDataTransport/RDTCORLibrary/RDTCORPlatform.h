// RDTCORPlatform: the event transport's contact with the operating system: the application
// wrapper (background tasks, the terminate notification), reachability of the all-zero IPv4
// address, the root directory of the transport's files, the archive and write helpers, and the
// texts its log lines give for errors and objects.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "platform/application.h"
#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/keyed_archive.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"

// Posted on the default center (no object); the lifecycle fans them out.
inline constexpr const char* kRDTCORApplicationDidEnterBackgroundNotification =
    "RDTCORApplicationDidEnterBackgroundNotification";
inline constexpr const char* kRDTCORApplicationWillEnterForegroundNotification =
    "RDTCORApplicationWillEnterForegroundNotification";
inline constexpr const char* kRDTCORApplicationWillTerminateNotification =
    "RDTCORApplicationWillTerminateNotification";

// A background task's identifier; 0 means no task.
using RDTCORBackgroundIdentifier = std::uint64_t;
inline constexpr RDTCORBackgroundIdentifier RDTCORBackgroundIdentifierInvalid = 0;

class RDTCORApplicationProtocol {
 public:
  virtual ~RDTCORApplicationProtocol() = default;
  virtual RDTCORBackgroundIdentifier
  beginBackgroundTaskWithName(const std::string& name, std::function<void()> expirationHandler) = 0;
  virtual void endBackgroundTask(RDTCORBackgroundIdentifier identifier) = 0;
  virtual bool isRunningInBackground() const = 0;
};

// One background task, ended at most once by whichever comes first: the application expiring it
// or the work it covers calling end(). Copies share the task, so the expiration handler and the
// work may run on different threads. The application is held weakly.
class RDTCORBackgroundTask {
 public:
  // Begins the task on the application; with none there is no task. On expiry, onExpiry (when
  // given) learns whether the task was still running, before the task is ended.
  RDTCORBackgroundTask(const std::shared_ptr<RDTCORApplicationProtocol>& application,
                       const std::string& name,
                       std::function<void(bool wasRunning)> onExpiry = nullptr);
  // Ends the task; false, ending nothing, when there is none to end (never begun, begun as
  // RDTCORBackgroundIdentifierInvalid, or ended already).
  bool end() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The application as the transport sees it. This platform runs no background tasks: every
// begin answers 0, and ending 0 does nothing.
class RDTCORApplication : public platform::ApplicationDelegate, public RDTCORApplicationProtocol {
 public:
  // Registers the class and makes the shared instance.
  static void load();
  static std::shared_ptr<RDTCORApplication> sharedApplication();

  RDTCORBackgroundIdentifier
  beginBackgroundTaskWithName(const std::string& name,
                              std::function<void()> expirationHandler) override;
  void endBackgroundTask(RDTCORBackgroundIdentifier identifier) override;
  bool isRunningInBackground() const override;
  void setIsRunningInBackground(bool isRunningInBackground);
  // Whether the main bundle is an app extension (its path ends in ".appex").
  bool isAppExtension() const;

  // Posts kRDTCORApplicationWillTerminateNotification.
  void macOSApplicationWillTerminate(const platform::Notification& notification);

  // Use sharedApplication; public only for make_shared.
  RDTCORApplication();
  ~RDTCORApplication() override;

 private:
  mutable std::mutex mutex_;
  bool isRunningInBackground_ = false;
  platform::ObserverToken terminateObserver_;
};

// Reachability of 0.0.0.0, read once at start and then kept by the change callback.
class RDTCORReachability : public platform::Object {
 public:
  static std::shared_ptr<RDTCORReachability> sharedInstance();
  // The last flags the change callback delivered, or the start flags while that is 0.
  static platform::NetworkReachabilityFlags currentFlags();

  const platform::QueuePtr& reachabilityQueue() const { return reachabilityQueue_; }
  // Both read and written on reachabilityQueue (synchronously from other threads).
  platform::NetworkReachabilityFlags flags() const;
  void setFlags(platform::NetworkReachabilityFlags flags);
  platform::NetworkReachabilityFlags callbackFlags() const;
  void setCallbackFlags(platform::NetworkReachabilityFlags flags);

  // Use sharedInstance; public only for make_shared.
  RDTCORReachability();
  ~RDTCORReachability() override;

 private:
  platform::QueuePtr reachabilityQueue_;
  platform::NetworkReachabilityRef reachabilityRef_ = nullptr;
  platform::NetworkReachabilityFlags flags_ = 0;
  platform::NetworkReachabilityFlags callbackFlags_ = 0;
};

// Reachable and no connection required.
bool RDTCORFlagsSayReachable(platform::NetworkReachabilityFlags flags);
// There is no cellular link on this platform.
bool RDTCORFlagsSayCellular(platform::NetworkReachabilityFlags flags);

// The Caches folder "rerora-sdks-events", fixed at first use and created (0700) at each call;
// a failure to create it is a non-fatal assertion.
std::filesystem::path RDTCORRootDirectory();

// The largest file RDTCORUnarchiveFromPath reads: no stored archive can be larger than the
// store's whole 20,000,000-byte cap.
inline constexpr std::uintmax_t kRDTCORMaxArchiveFileSize = 20'000'000;

// The texts log lines give: an error's description, or "(null)" for none.
std::string RDTCORErrorText(const platform::ErrorPtr& error);
// "<type: 0x…>" with the type's readable name.
std::string RDTCORDescribeObjectOfType(const std::type_info& type, const void* object);
// The object under its dynamic type, or "(null)".
template <typename T> std::string RDTCORDescribe(const std::shared_ptr<T>& object) {
  if (!object) return "(null)";
  return RDTCORDescribeObjectOfType(typeid(*object), object.get());
}

// The object's secure-coding archive, also written atomically to the path when one is given
// (its parent made first). None when the folder cannot be made or archiving fails; the data
// even when only the write failed.
std::optional<platform::Data> RDTCORArchiveToPath(const platform::SecureCodingPtr& object,
                                                  const std::filesystem::path& path,
                                                  platform::ErrorPtr* error = nullptr);
// One object of the class decoded from archive bytes; none, with an error, for anything else.
platform::SecureCodingPtr RDTCORUnarchiveFromData(std::string_view className,
                                                  const platform::Data& data,
                                                  platform::ErrorPtr* error = nullptr);
// The same from a file. A file that could not be read fails with the platform's file read errors
// (kFileReadNoSuchFileError, kFileReadUnknownError); one that cannot hold an archive (anything
// but a regular file, or more than kRDTCORMaxArchiveFileSize bytes) is refused unopened or
// unread, like bytes that do not decode, with kCoderReadCorruptError. The file is never opened
// in a way that could block.
platform::SecureCodingPtr RDTCORUnarchiveFromPath(std::string_view className,
                                                  const std::filesystem::path& path,
                                                  platform::ErrorPtr* error = nullptr);
template <typename T>
std::shared_ptr<T> RDTCORUnarchiveFromPath(std::string_view className,
                                           const std::filesystem::path& path,
                                           platform::ErrorPtr* error = nullptr) {
  return std::dynamic_pointer_cast<T>(RDTCORUnarchiveFromPath(className, path, error));
}
// Whether an unarchiving error says the file holds no archive of the class, rather than that
// it could not be read: only then is the file known to be worthless.
bool RDTCORIsCorruptArchiveError(const platform::ErrorPtr& error);
// Writes the data atomically, making the parent folder (0700) first. An empty path is false
// without an error.
bool RDTCORWriteFileAtomically(const platform::Data& data, const std::filesystem::path& path,
                               platform::ErrorPtr* error = nullptr);
