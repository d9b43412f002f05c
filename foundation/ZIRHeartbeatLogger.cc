#include "foundation/ZIRHeartbeatLogger.h"

#include <utility>

#include "foundation/HeartbeatController.h"
#include "foundation/ZIRZiruzadaUserAgent.h"

ZIRHeartbeatLogger::UserAgentProvider ZIRHeartbeatLogger::currentUserAgentProvider() {
  return [] { return ZIRZiruzadaUserAgent::sharedUserAgent()->ziruzadaUserAgent(); };
}

ZIRHeartbeatLogger::ZIRHeartbeatLogger(const std::string& appID,
                                       UserAgentProvider userAgentProvider)
    : heartbeatController_(std::make_shared<ZIRHeartbeatController>(appID)),
      userAgentProvider_(std::move(userAgentProvider)) {}

void ZIRHeartbeatLogger::log() { heartbeatController_->log(userAgentProvider_()); }

std::shared_ptr<ZIRHeartbeatsPayload> ZIRHeartbeatLogger::flushHeartbeatsIntoPayload() {
  return heartbeatController_->flush();
}

std::int64_t ZIRHeartbeatLogger::heartbeatCodeForToday() {
  return heartbeatController_->flushHeartbeatFromToday()->isEmpty() ? ZIRDailyHeartbeatCodeNone
                                                                    : ZIRDailyHeartbeatCodeSome;
}

std::optional<std::string> ZIRHeartbeatHeaderValueFromPayload(const ZIRHeartbeatsPayload& payload) {
  if (payload.isEmpty()) return std::nullopt;
  return payload.headerValue();
}
