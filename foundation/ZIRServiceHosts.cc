#include "foundation/ZIRServiceHosts.h"

#include "platform/bundle.h"

std::string ZIRServiceHosts::analyticsServiceHost() {
  return platform::Bundle::main()
      .configurationValue(kAnalyticsServiceHostKey, kAnalyticsServiceHostEnvironment)
      .value_or(kDefaultAnalyticsServiceHost);
}
