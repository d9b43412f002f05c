// APMScreenViewReporter: follows the screen the application shows, for the screen-view events
// and the screen parameters of other events. For now it keeps no screen: screen views are
// dropped and no screen parameters are added.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/value.h"

// APMScreen: one screen the application showed, as its name, class name and instance ID.
class APMScreen {
 public:
  APMScreen(std::string name, std::string className, std::int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}
  const std::string& name() const { return name_; }
  const std::string& className() const { return className_; }
  std::int64_t instanceID() const { return instanceID_; }
  // "_sn", "_sc", "_si" as analytics values.
  platform::Dictionary parameters() const;

 private:
  std::string name_;
  std::string className_;
  std::int64_t instanceID_;
};

class APMScreenViewReporter {
 public:
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();

  // A "screen_view" logged by name, with the time of the call.
  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp);
  // "_sn", "_sc", "_si" of the current screen; empty when there is none.
  platform::Dictionary screenParameters() const;
  bool isAppActive() const;
  // Until application-state tracking is in, tests say whether the application is active.
  void setAppActiveForTesting(bool active) { appActive_ = active; }

 private:
  std::atomic<bool> appActive_{true};
};

// Whether the application is active, as the shared screen-view reporter sees it.
bool APMIsAppActive();
