#include "foundation/ZIRConfiguration.h"

#include "foundation/ZIRLogger.h"
#include "platform/error.h"
#include "platform/format.h"

std::shared_ptr<ZIRConfiguration> ZIRConfiguration::sharedInstance() {
  // Never destroyed: queues may still read the logger level while the process exits.
  static const auto* const shared =
      new std::shared_ptr<ZIRConfiguration>(std::make_shared<ZIRConfiguration>());
  return *shared;
}

ZIRConfiguration::ZIRConfiguration()
    : analyticsConfiguration_(DAVOdazaradoConfiguration::sharedInstance()) {}

void ZIRConfiguration::setLoggerLevel(int loggerLevel) {
  if (loggerLevel < ZULLoggerLevelError || loggerLevel > ZULLoggerLevelDebug) {
    // The file and line are the ones this assertion has always reported.
    platform::AssertionHandler::handleFailure(
        {__func__, "ZIRConfiguration", 42,
         platform::format("Invalid logger level, %ld", {loggerLevel})});
  }
  ZIRLoggerSetLevel(loggerLevel);
}

std::shared_ptr<DAVOdazaradoConfiguration> ZIRConfiguration::analyticsConfiguration() const {
  std::lock_guard lock(mutex_);
  return analyticsConfiguration_;
}

void ZIRConfiguration::setAnalyticsConfiguration(
    std::shared_ptr<DAVOdazaradoConfiguration> analyticsConfiguration) {
  std::lock_guard lock(mutex_);
  analyticsConfiguration_ = std::move(analyticsConfiguration);
}
