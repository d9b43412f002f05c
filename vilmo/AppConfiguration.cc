#include "vilmo/AppConfiguration.h"

#include "platform/bundle.h"

std::optional<std::string> AppConfiguration::namingServiceBaseURL() {
  auto url = platform::Bundle::main().configurationValue(kNamingServiceURLKey,
                                                         kNamingServiceURLEnvironment);
  if (!url) return url;
  while (!url->empty() && url->back() == '/') url->pop_back();
  if (url->empty()) return std::nullopt;
  return url;
}

std::optional<std::string> AppConfiguration::feedbackFormURL() {
  return platform::Bundle::main().configurationValue(kFeedbackFormURLKey,
                                                     kFeedbackFormURLEnvironment);
}

std::optional<std::string> AppConfiguration::releasePageURL() {
  return platform::Bundle::main().configurationValue(kReleasePageURLKey,
                                                     kReleasePageURLEnvironment);
}
