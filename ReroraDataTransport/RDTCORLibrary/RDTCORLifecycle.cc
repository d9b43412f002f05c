#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"

#include <type_traits>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORTransport.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"

namespace {

using Operation = void (RDTCORLifecycleProtocol::*)(const RDTCORApplicationPtr&);

// A class answers an operation when it declares one of its own: the member the class finds by
// that name is then its own rather than the protocol's empty default.
template <typename T>
constexpr bool answersTerminate = !std::is_same_v<decltype(&T::appWillTerminate), Operation>;
template <typename T>
constexpr bool answersBackground = !std::is_same_v<decltype(&T::appWillBackground), Operation>;
template <typename T>
constexpr bool answersForeground = !std::is_same_v<decltype(&T::appWillForeground), Operation>;

static_assert(!answersBackground<RDTCORTransformer> && !answersForeground<RDTCORTransformer> &&
              !answersTerminate<RDTCORTransformer>);
static_assert(answersBackground<RDTCORUploadCoordinator> &&
              answersForeground<RDTCORUploadCoordinator> &&
              answersTerminate<RDTCORUploadCoordinator>);

// The shared instance's operation, with its debug line, when the class answers it.
template <typename T, bool answers>
void signalShared(const char* line, void (T::*operation)(const RDTCORApplicationPtr&),
                  const RDTCORApplicationPtr& application) {
  if constexpr (answers) {
    RDTCORLogDebug(line);
    (T::sharedInstance().get()->*operation)(application);
  }
}

}  // namespace

void RDTCORLifecycle::load() { sharedInstance(); }

std::shared_ptr<RDTCORLifecycle> RDTCORLifecycle::sharedInstance() {
  // Kept until exit, observing for the whole process.
  static const auto* shared =
      new std::shared_ptr<RDTCORLifecycle>(std::make_shared<RDTCORLifecycle>());
  return *shared;
}

RDTCORLifecycle::RDTCORLifecycle() {
  auto& center = platform::NotificationCenter::defaultCenter();
  backgroundObserver_ =
      center.addObserver(kRDTCORApplicationDidEnterBackgroundNotification, nullptr, nullptr,
                         [this](const platform::Notification& notification) {
                           applicationDidEnterBackgroundNotification(notification);
                         });
  foregroundObserver_ =
      center.addObserver(kRDTCORApplicationWillEnterForegroundNotification, nullptr, nullptr,
                         [this](const platform::Notification& notification) {
                           applicationWillEnterForegroundNotification(notification);
                         });
  terminateObserver_ =
      center.addObserver(kRDTCORApplicationWillTerminateNotification, nullptr, nullptr,
                         [this](const platform::Notification& notification) {
                           applicationWillTerminateNotification(notification);
                         });
}

RDTCORLifecycle::~RDTCORLifecycle() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(backgroundObserver_);
  center.removeObserver(foregroundObserver_);
  center.removeObserver(terminateObserver_);
}

void RDTCORLifecycle::applicationDidEnterBackgroundNotification(const platform::Notification&) {
  const RDTCORApplicationPtr application = RDTCORApplication::sharedApplication();
  signalShared<RDTCORTransformer, answersBackground<RDTCORTransformer>>(
      "Signaling RDTCORTransformer that the app is backgrounding.",
      &RDTCORTransformer::appWillBackground, application);
  signalShared<RDTCORUploadCoordinator, answersBackground<RDTCORUploadCoordinator>>(
      "Signaling RDTCORUploadCoordinator that the app is backgrounding.",
      &RDTCORUploadCoordinator::appWillBackground, application);
  signalShared<RDTCORRegistrar, answersBackground<RDTCORRegistrar>>(
      "Signaling RDTCORRegistrar that the app is backgrounding.",
      &RDTCORRegistrar::appWillBackground, application);
}

void RDTCORLifecycle::applicationWillEnterForegroundNotification(const platform::Notification&) {
  const RDTCORApplicationPtr application = RDTCORApplication::sharedApplication();
  signalShared<RDTCORTransformer, answersForeground<RDTCORTransformer>>(
      "Signaling RDTCORTransformer that the app is foregrounding.",
      &RDTCORTransformer::appWillForeground, application);
  signalShared<RDTCORUploadCoordinator, answersForeground<RDTCORUploadCoordinator>>(
      "Signaling RDTCORUploadCoordinator that the app is foregrounding.",
      &RDTCORUploadCoordinator::appWillForeground, application);
  signalShared<RDTCORRegistrar, answersForeground<RDTCORRegistrar>>(
      "Signaling RDTCORRegistrar that the app is foregrounding.",
      &RDTCORRegistrar::appWillForeground, application);
}

void RDTCORLifecycle::applicationWillTerminateNotification(const platform::Notification&) {
  const RDTCORApplicationPtr application = RDTCORApplication::sharedApplication();
  signalShared<RDTCORTransformer, answersTerminate<RDTCORTransformer>>(
      "Signaling RDTCORTransformer that the app is terminating.",
      &RDTCORTransformer::appWillTerminate, application);
  signalShared<RDTCORUploadCoordinator, answersTerminate<RDTCORUploadCoordinator>>(
      "Signaling RDTCORUploadCoordinator that the app is terminating.",
      &RDTCORUploadCoordinator::appWillTerminate, application);
  signalShared<RDTCORRegistrar, answersTerminate<RDTCORRegistrar>>(
      "Signaling RDTCORRegistrar that the app is terminating.", &RDTCORRegistrar::appWillTerminate,
      application);
}
