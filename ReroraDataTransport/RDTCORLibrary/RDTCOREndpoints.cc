#include "ReroraDataTransport/RDTCORLibrary/RDTCOREndpoints.h"

#include <map>

#include "foundation/ZIRServiceHosts.h"

namespace {

const platform::URL& kctServerURL() {
  static const platform::URL url = ZIRServiceHosts::kctUploadURL();
  return url;
}

const platform::URL& fllServerURL() {
  static const platform::URL url = ZIRServiceHosts::fllUploadURL();
  return url;
}

const platform::URL& cshServerURL() {
  static const platform::URL url = ZIRServiceHosts::cshUploadURL();
  return url;
}

const std::map<RDTCORTarget, platform::URL>& uploadURLs() {
  static const std::map<RDTCORTarget, platform::URL> urls{
      {RDTCORTargetKCT, kctServerURL()},
      {RDTCORTargetFLL, fllServerURL()},
      {RDTCORTargetCSH, cshServerURL()},
      {RDTCORTargetINT, kRDTCORINTUploadURL},
  };
  return urls;
}

}  // namespace

std::optional<platform::URL> RDTCOREndpoints::uploadURLForTarget(RDTCORTarget target) {
  const auto& urls = uploadURLs();
  const auto it = urls.find(target);
  if (it == urls.end()) return std::nullopt;
  return it->second;
}

const std::string& FLLAndCSHAndINTAPIKey() {
  static const std::string key = ZIRServiceHosts::transportAPIKey();
  return key;
}
