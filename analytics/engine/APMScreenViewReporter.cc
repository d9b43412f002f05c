#include "analytics/engine/APMScreenViewReporter.h"

#include "analytics/data/APMValue.h"

platform::Dictionary APMScreen::parameters() const {
  return {{"_sn", platform::Value(APMValue::initWithString(platform::Value(name_)))},
          {"_sc", platform::Value(APMValue::initWithString(platform::Value(className_)))},
          {"_si", platform::Value(APMValue::initWithInt64(instanceID_))}};
}

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  static const auto* const shared =
      new std::shared_ptr<APMScreenViewReporter>(std::make_shared<APMScreenViewReporter>());
  return *shared;
}

void APMScreenViewReporter::trackScreenWithParameters(const platform::Dictionary&, double) {}

platform::Dictionary APMScreenViewReporter::screenParameters() const { return {}; }

// Without application-state tracking the application counts as active.
bool APMScreenViewReporter::isAppActive() const { return appActive_; }

bool APMIsAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }
