#include "foundation/ZIRServiceHosts.h"

#include "platform/bundle.h"

std::string ZIRServiceHosts::analyticsServiceHost() {
  return platform::Bundle::main()
      .configurationValue(kAnalyticsServiceHostKey, kAnalyticsServiceHostEnvironment)
      .value_or(kDefaultAnalyticsServiceHost);
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
