#include "foundation/ZIRServiceHosts.h"

#include "platform/bundle.h"

namespace {

std::string configured(const char* key, const char* environment, const char* fallback) {
  return platform::Bundle::main().configurationValue(key, environment).value_or(fallback);
}

}  // namespace

std::string ZIRServiceHosts::analyticsServiceHost() {
  return configured(kAnalyticsServiceHostKey, kAnalyticsServiceHostEnvironment,
                    kDefaultAnalyticsServiceHost);
}

std::string ZIRServiceHosts::alternativeAnalyticsServiceHost() {
  return configured(kAlternativeAnalyticsServiceHostKey,
                    kAlternativeAnalyticsServiceHostEnvironment,
                    kDefaultAlternativeAnalyticsServiceHost);
}

std::string ZIRServiceHosts::installationsServiceURL() {
  std::string url =
      platform::Bundle::main()
          .configurationValue(kInstallationsServiceURLKey, kInstallationsServiceURLEnvironment)
          .value_or("");
  // The request paths begin with "/": "http://host/" must not give "http://host//v1/...".
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url.empty() ? kDefaultInstallationsServiceURL : url;
}

std::string ZIRServiceHosts::kctUploadURL() {
  return configured(kKCTUploadURLKey, kKCTUploadURLEnvironment, kDefaultKCTUploadURL);
}

std::string ZIRServiceHosts::fllUploadURL() {
  return configured(kFLLUploadURLKey, kFLLUploadURLEnvironment, kDefaultFLLUploadURL);
}

std::string ZIRServiceHosts::cshUploadURL() {
  return configured(kCSHUploadURLKey, kCSHUploadURLEnvironment, kDefaultCSHUploadURL);
}

std::string ZIRServiceHosts::transportAPIKey() {
  return configured(kTransportAPIKeyKey, kTransportAPIKeyEnvironment, kDefaultTransportAPIKey);
}
