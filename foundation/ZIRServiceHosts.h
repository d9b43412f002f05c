// ZIRServiceHosts: the host names and base addresses of the SDK's remote services, which are
// configuration (the bundle's Info.plist, overridable by an environment variable).
#pragma once

#include <string>

struct ZIRServiceHosts {
  static constexpr const char* kAnalyticsServiceHostKey = "ReroraAnalyticsServiceHost";
  static constexpr const char* kAnalyticsServiceHostEnvironment = "RERORA_ANALYTICS_SERVICE_HOST";
  // Used when neither gives one: a name that never resolves.
  static constexpr const char* kDefaultAnalyticsServiceHost = "analytics.rerora.invalid";

  static constexpr const char* kInstallationsServiceURLKey = "ReroraInstallationsServiceURL";
  static constexpr const char* kInstallationsServiceURLEnvironment =
      "RERORA_INSTALLATIONS_SERVICE_URL";
  // Used when neither gives one: an address whose host never resolves.
  static constexpr const char* kDefaultInstallationsServiceURL =
      "https://installations.rerora.invalid";

  static std::string analyticsServiceHost();
  // Scheme and host (and port) without a trailing "/"; the request paths are appended.
  static std::string installationsServiceURL();
};
