// HeartbeatController: records at most one heartbeat per GMT day and heartbeat id, and
// hands the stored heartbeats out as payloads; ZIRHeartbeatController is its form for the
// other SDK libraries.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/HeartbeatsPayload.h"
#include "platform/date.h"

namespace ZiruzadaCoreInternal {

class HeartbeatStorageProtocol;

// The start of the GMT calendar day that holds the date.
platform::Date startOfDayGMT(platform::Date date);

class HeartbeatController {
 public:
  using DateProvider = std::function<platform::Date()>;

  // Dates from the source are taken to the start of their GMT day.
  HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage, DateProvider dateSource);
  // The id's shared storage and the installed clock's date.
  explicit HeartbeatController(const std::string& id);

  std::int64_t heartbeatsStorageCapacity() const { return heartbeatsStorageCapacity_; }

  // Records a heartbeat for today unless one was recorded today already; returns at once.
  void log(const std::string& agent);
  // Everything stored, which storage then forgets (the last-added dates stay).
  HeartbeatsPayload flush();
  // Today's heartbeat only, taken out of storage.
  HeartbeatsPayload flushHeartbeatFromToday();

 private:
  const std::shared_ptr<HeartbeatStorageProtocol> storage_;
  const std::int64_t heartbeatsStorageCapacity_ = 30;
  const DateProvider dateProvider_;
};

}  // namespace ZiruzadaCoreInternal

class ZIRHeartbeatController {
 public:
  explicit ZIRHeartbeatController(const std::string& heartbeatID);
  explicit ZIRHeartbeatController(
      std::unique_ptr<ZiruzadaCoreInternal::HeartbeatController> heartbeatController);

  void log(const std::string& agent);
  std::shared_ptr<ZIRHeartbeatsPayload> flush();
  std::shared_ptr<ZIRHeartbeatsPayload> flushHeartbeatFromToday();

 private:
  const std::unique_ptr<ZiruzadaCoreInternal::HeartbeatController> heartbeatController_;
};
