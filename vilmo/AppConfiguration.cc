#include "vilmo/AppConfiguration.h"

#include "platform/bundle.h"

namespace {

std::optional<std::string> configurationValue(const char* environmentName, const char* infoKey) {
  return platform::Bundle::main().configurationValue(infoKey, environmentName);
}

}  // namespace

std::optional<std::string> AppConfiguration::namingServiceBaseURL() {
  auto url = configurationValue(kNamingServiceURLEnvironment, kNamingServiceURLKey);
  if (!url) return url;
  while (!url->empty() && url->back() == '/') url->pop_back();
  if (url->empty()) return std::nullopt;
  return url;
}

std::optional<std::string> AppConfiguration::feedbackFormURL() {
  return configurationValue(kFeedbackFormURLEnvironment, kFeedbackFormURLKey);
}

std::optional<std::string> AppConfiguration::releasePageURL() {
  return configurationValue(kReleasePageURLEnvironment, kReleasePageURLKey);
}
