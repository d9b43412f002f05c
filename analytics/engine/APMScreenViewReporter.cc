#include "analytics/engine/APMScreenViewReporter.h"

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  static const auto* const shared =
      new std::shared_ptr<APMScreenViewReporter>(std::make_shared<APMScreenViewReporter>());
  return *shared;
}

void APMScreenViewReporter::trackScreenWithParameters(const platform::Dictionary&, double) {}

platform::Dictionary APMScreenViewReporter::screenParameters() const { return {}; }

// Without application-state tracking the application counts as active.
bool APMScreenViewReporter::isAppActive() const { return true; }

bool APMIsAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }
