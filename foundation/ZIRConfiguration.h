// ZIRConfiguration: the process-wide settings that are not per app: the level of the SDK
// log that applications choose, and the analytics configuration handed to analytics.
#pragma once

#include <memory>
#include <mutex>

#include "foundation/DAVOdazaradoConfiguration.h"

class ZIRConfiguration {
 public:
  static std::shared_ptr<ZIRConfiguration> sharedInstance();

  ZIRConfiguration();
  ZIRConfiguration(const ZIRConfiguration&) = delete;
  ZIRConfiguration& operator=(const ZIRConfiguration&) = delete;

  // Sets the highest level the SDK log writes (3 error .. 7 debug). Any other level fails
  // an assertion ("Invalid logger level, %ld"), which the default handler raises; a
  // handler that returns leaves the level as it was.
  void setLoggerLevel(int loggerLevel);

  // The shared DAVOdazaradoConfiguration unless replaced.
  std::shared_ptr<DAVOdazaradoConfiguration> analyticsConfiguration() const;
  void setAnalyticsConfiguration(std::shared_ptr<DAVOdazaradoConfiguration> analyticsConfiguration);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<DAVOdazaradoConfiguration> analyticsConfiguration_;
};
