// ZIRHeartbeatLogger: an app's daily heartbeat, recorded with the SDK's user agent, and the
// stored heartbeats handed to network clients as the "X-ziruzada-client" header value.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/HeartbeatsPayload.h"

class ZIRHeartbeatController;

// Today's heartbeat code: none stored for today, or one stored and now taken.
enum ZIRDailyHeartbeatCode : std::int64_t {
  ZIRDailyHeartbeatCodeNone = 0,
  ZIRDailyHeartbeatCodeSome = 2,
};

class ZIRHeartbeatLoggerProtocol {
 public:
  virtual ~ZIRHeartbeatLoggerProtocol() = default;
  virtual void log() = 0;
  virtual std::shared_ptr<ZIRHeartbeatsPayload> flushHeartbeatsIntoPayload() = 0;
  virtual std::int64_t heartbeatCodeForToday() = 0;
};

class ZIRHeartbeatLogger final : public ZIRHeartbeatLoggerProtocol {
 public:
  using UserAgentProvider = std::function<std::string()>;

  // The SDK's user agent at the moment of each call.
  static UserAgentProvider currentUserAgentProvider();

  // Heartbeats of this app ID, logged with the agent the provider gives at each log.
  explicit ZIRHeartbeatLogger(const std::string& appID,
                              UserAgentProvider userAgentProvider = currentUserAgentProvider());

  // Records today's heartbeat (once per GMT day); returns at once.
  void log() override;
  // Every stored heartbeat, taken out of storage.
  std::shared_ptr<ZIRHeartbeatsPayload> flushHeartbeatsIntoPayload() override;
  // 2 when a heartbeat for today was stored (it is taken out), else 0.
  std::int64_t heartbeatCodeForToday() override;

 private:
  const std::shared_ptr<ZIRHeartbeatController> heartbeatController_;
  const UserAgentProvider userAgentProvider_;
};

// The payload's header value, or none for an empty payload (callers then send no header).
std::optional<std::string> ZIRHeartbeatHeaderValueFromPayload(const ZIRHeartbeatsPayload& payload);
