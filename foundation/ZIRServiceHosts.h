// ZIRServiceHosts: the host names, addresses and API key of the SDK's remote services, which are
// configuration (the bundle's Info.plist, overridable by an environment variable).
#pragma once

#include <string>

struct ZIRServiceHosts {
  static constexpr const char* kAnalyticsServiceHostKey = "ReroraAnalyticsServiceHost";
  static constexpr const char* kAnalyticsServiceHostEnvironment = "RERORA_ANALYTICS_SERVICE_HOST";
  // Used when neither gives one: a name that never resolves.
  static constexpr const char* kDefaultAnalyticsServiceHost = "analytics.rerora.invalid";
  // The analytics uploads go here instead while the app-data consent status asks for it.
  static constexpr const char* kAlternativeAnalyticsServiceHostKey =
      "ReroraAlternativeAnalyticsServiceHost";
  static constexpr const char* kAlternativeAnalyticsServiceHostEnvironment =
      "RERORA_ALTERNATIVE_ANALYTICS_SERVICE_HOST";
  static constexpr const char* kDefaultAlternativeAnalyticsServiceHost =
      "analytics-alternative.rerora.invalid";

  static constexpr const char* kInstallationsServiceURLKey = "ReroraInstallationsServiceURL";
  static constexpr const char* kInstallationsServiceURLEnvironment =
      "RERORA_INSTALLATIONS_SERVICE_URL";
  // Used when neither gives one: an address whose host never resolves.
  static constexpr const char* kDefaultInstallationsServiceURL =
      "https://installations.rerora.invalid";

  // The event collection service takes each upload target's batches at an address of its own.
  static constexpr const char* kKCTUploadURLKey = "ReroraTransportKCTUploadURL";
  static constexpr const char* kKCTUploadURLEnvironment = "RERORA_TRANSPORT_KCT_UPLOAD_URL";
  static constexpr const char* kDefaultKCTUploadURL = "https://collection.rerora.invalid/v1/kct";
  static constexpr const char* kFLLUploadURLKey = "ReroraTransportFLLUploadURL";
  static constexpr const char* kFLLUploadURLEnvironment = "RERORA_TRANSPORT_FLL_UPLOAD_URL";
  static constexpr const char* kDefaultFLLUploadURL = "https://collection.rerora.invalid/v1/fll";
  static constexpr const char* kCSHUploadURLKey = "ReroraTransportCSHUploadURL";
  static constexpr const char* kCSHUploadURLEnvironment = "RERORA_TRANSPORT_CSH_UPLOAD_URL";
  static constexpr const char* kDefaultCSHUploadURL = "https://collection.rerora.invalid/v1/csh";

  // The API key the collection service expects with the uploads of targets 1001 to 1003.
  static constexpr const char* kTransportAPIKeyKey = "ReroraTransportAPIKey";
  static constexpr const char* kTransportAPIKeyEnvironment = "RERORA_TRANSPORT_API_KEY";
  // Used when neither gives one: a placeholder of a real key's length (39 characters).
  static constexpr const char* kDefaultTransportAPIKey = "transport-api-key-placeholder-000000000";

  static std::string analyticsServiceHost();
  static std::string alternativeAnalyticsServiceHost();
  // Scheme and host (and port) without a trailing "/"; the request paths are appended.
  static std::string installationsServiceURL();
  // Full upload addresses of targets 1000 (KCT), 1001 (FLL) and 1002 (CSH).
  static std::string kctUploadURL();
  static std::string fllUploadURL();
  static std::string cshUploadURL();
  static std::string transportAPIKey();
};
