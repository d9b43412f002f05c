#include "ReroraDataTransport/RDTCORLibrary/RDTCOREndpoints.h"

#include <map>

#include "foundation/ZIRServiceHosts.h"

namespace {

const platform::URL& kctServerURL() {
  static const auto* url = new platform::URL(ZIRServiceHosts::kctUploadURL());
  return *url;
}

const platform::URL& fllServerURL() {
  static const auto* url = new platform::URL(ZIRServiceHosts::fllUploadURL());
  return *url;
}

const platform::URL& cshServerURL() {
  static const auto* url = new platform::URL(ZIRServiceHosts::cshUploadURL());
  return *url;
}

const std::map<RDTCORTarget, platform::URL>& uploadURLs() {
  // These outlive every upload: the uploader's queue may still run while the process exits.
  static const auto* urls = new std::map<RDTCORTarget, platform::URL>{
      {RDTCORTargetKCT, kctServerURL()},
      {RDTCORTargetFLL, fllServerURL()},
      {RDTCORTargetCSH, cshServerURL()},
      {RDTCORTargetINT, kRDTCORINTUploadURL},
  };
  return *urls;
}

}  // namespace

std::optional<platform::URL> RDTCOREndpoints::uploadURLForTarget(RDTCORTarget target) {
  const auto& urls = uploadURLs();
  const auto it = urls.find(target);
  if (it == urls.end()) return std::nullopt;
  return it->second;
}

const std::string& FLLAndCSHAndINTAPIKey() {
  static const auto* key = new std::string(ZIRServiceHosts::transportAPIKey());
  return *key;
}
