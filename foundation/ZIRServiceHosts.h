// ZIRServiceHosts: the host names of the SDK's remote services, which are configuration
// (the bundle's Info.plist, overridable by an environment variable).
#pragma once

#include <string>

struct ZIRServiceHosts {
  static constexpr const char* kAnalyticsServiceHostKey = "ReroraAnalyticsServiceHost";
  static constexpr const char* kAnalyticsServiceHostEnvironment = "RERORA_ANALYTICS_SERVICE_HOST";
  // Used when neither gives one: a name that never resolves.
  static constexpr const char* kDefaultAnalyticsServiceHost = "analytics.rerora.invalid";

  static std::string analyticsServiceHost();
};
