// ZIRInstallationsBackoffController: decides whether the installation controller may send its
// next request to the installations service, from the kind of the last outcome, how often in
// a row it occurred and when. Reached through ZIRInstallationsBackoffControllerProtocol so that
// another implementation can take its place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/date.h"

// Kinds of request outcome.
using ZIRInstallationsBackoffEvent = std::int64_t;
inline constexpr ZIRInstallationsBackoffEvent ZIRInstallationsBackoffEventSuccess = 0;
inline constexpr ZIRInstallationsBackoffEvent ZIRInstallationsBackoffEventRecoverableFailure = 1;
inline constexpr ZIRInstallationsBackoffEvent ZIRInstallationsBackoffEventUnrecoverableFailure = 2;

class ZIRInstallationsBackoffControllerProtocol {
 public:
  virtual ~ZIRInstallationsBackoffControllerProtocol() = default;
  virtual bool isNextRequestAllowed() = 0;
  virtual void registerEvent(ZIRInstallationsBackoffEvent event) = 0;
};

// The latest run of outcomes of one kind. Immutable.
class ZIRInstallationsBackoffEventData {
 public:
  // Computes the waiting time once, from backoffTimeIntervalWithEvent.
  ZIRInstallationsBackoffEventData(ZIRInstallationsBackoffEvent event, platform::Date lastEventDate,
                                   std::int64_t eventCount);

  ZIRInstallationsBackoffEvent eventType() const { return eventType_; }
  platform::Date lastEventDate() const { return lastEventDate_; }
  // Consecutive events of this kind, at least 1.
  std::int64_t eventCount() const { return eventCount_; }
  // Seconds that must pass after lastEventDate before the next request.
  double backoffTimeInterval() const { return backoffTimeInterval_; }

  // 86400 s for an unrecoverable failure, the recoverable wait for a recoverable one, 0 else.
  static double backoffTimeIntervalWithEvent(ZIRInstallationsBackoffEvent event,
                                             std::int64_t eventCount);
  // min(1800, 2^attempt + randomMilliseconds()).
  static double recoverableErrorBackoffTimeForAttemptNumber(std::int64_t attemptNumber);
  // 0.000 to 0.999 s in whole milliseconds, uniformly, from the secure random source.
  static double randomMilliseconds();

 private:
  ZIRInstallationsBackoffEvent eventType_;
  platform::Date lastEventDate_;
  std::int64_t eventCount_;
  double backoffTimeInterval_;
};

// Nothing persists: a new process starts without back-off. Both operations may be called from
// any thread.
class ZIRInstallationsBackoffController : public ZIRInstallationsBackoffControllerProtocol {
 public:
  using CurrentDateProvider = std::function<platform::Date()>;

  // "Now" from platform::Clock.
  ZIRInstallationsBackoffController();
  explicit ZIRInstallationsBackoffController(CurrentDateProvider currentDateProvider);

  // Allowed before any event, and once at least backoffTimeInterval seconds have passed since
  // the last event.
  bool isNextRequestAllowed() override;
  // The same kind again counts one more, dated now; another kind starts a new run of 1.
  void registerEvent(ZIRInstallationsBackoffEvent event) override;

  // None before the first event.
  std::shared_ptr<const ZIRInstallationsBackoffEventData> lastEventData() const;

 private:
  const CurrentDateProvider currentDateProvider_;
  mutable std::mutex mutex_;
  std::shared_ptr<const ZIRInstallationsBackoffEventData> lastEventData_;
};
