// HeartbeatsBundle: the whole stored state of one heartbeat id, a ring of the most recent
// heartbeats and, per time period, the date a heartbeat was last added for it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "foundation/Heartbeat.h"
#include "foundation/RingBuffer.h"
#include "platform/data.h"
#include "platform/date.h"
#include "platform/value.h"

namespace ZiruzadaCoreInternal {

class HeartbeatsBundle {
 public:
  // A stored capacity above this is taken for a damaged file: remaking a ring that large
  // after a failed push would exhaust memory.
  static constexpr std::int64_t kMaximumStoredCapacity = 1 << 16;

  // Empty slots, and every period last added in the distant past.
  explicit HeartbeatsBundle(std::int64_t capacity);
  // Empty slots, with these last-added dates.
  HeartbeatsBundle(std::int64_t capacity,
                   std::map<TimePeriod, platform::Date> lastAddedHeartbeatDates);

  std::int64_t capacity() const { return capacity_; }
  const std::map<TimePeriod, platform::Date>& lastAddedHeartbeatDates() const {
    return lastAddedHeartbeatDates_;
  }
  const RingBuffer<Heartbeat>& buffer() const { return buffer_; }

  // Pushes the heartbeat and records its date for its periods, forgetting the dates of the
  // heartbeat it overwrote. A ring whose stored tail is out of range is remade with a
  // heartbeat telling why. A capacity of zero or less ignores every append.
  void append(const Heartbeat& heartbeat);
  // Takes out the heartbeat of exactly this date, searching back from the most recent one
  // to the first empty slot; the ones searched move back into the gap.
  std::optional<Heartbeat> removeHeartbeat(platform::Date date);

  // The heartbeats grouped by agent.
  HeartbeatsPayload makePayload() const;

  // {"capacity", "lastAddedHeartbeatDates": [period, date, ...],
  //  "buffer": {"circularQueue": [heartbeat or null, ...], "tailIndex"}}
  platform::Value jsonValue() const;
  static std::optional<HeartbeatsBundle> fromJSONValue(const platform::Value& value);
  // The JSON document; none only for dates JSON cannot hold.
  std::optional<platform::Data> encoded() const;
  static std::optional<HeartbeatsBundle> decode(const platform::Data& data);

  friend bool operator==(const HeartbeatsBundle&, const HeartbeatsBundle&) = default;

 private:
  HeartbeatsBundle(std::int64_t capacity, std::map<TimePeriod, platform::Date> lastAdded,
                   RingBuffer<Heartbeat> buffer);
  void recordDates(const Heartbeat& heartbeat);

  std::int64_t capacity_;
  std::map<TimePeriod, platform::Date> lastAddedHeartbeatDates_;
  RingBuffer<Heartbeat> buffer_;
};

}  // namespace ZiruzadaCoreInternal
