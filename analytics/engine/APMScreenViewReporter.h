// APMScreenViewReporter: follows the screen the application shows, for the screen-view events
// and the screen parameters of other events. For now it keeps no screen: screen views are
// dropped and no screen parameters are added.
#pragma once

#include <memory>

#include "platform/value.h"

class APMScreenViewReporter {
 public:
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();

  // A "screen_view" logged by name, with the time of the call.
  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp);
  // "_sn", "_sc", "_si" of the current screen; empty when there is none.
  platform::Dictionary screenParameters() const;
  bool isAppActive() const;
};

// Whether the application is active, as the shared screen-view reporter sees it.
bool APMIsAppActive();
