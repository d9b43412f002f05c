#include "foundation/HeartbeatsBundle.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/json.h"

namespace ZiruzadaCoreInternal {
namespace {

std::map<TimePeriod, platform::Date> allPeriodsInTheDistantPast() {
  std::map<TimePeriod, platform::Date> dates;
  for (TimePeriod period : kAllTimePeriods) dates[period] = kDistantPast;
  return dates;
}

std::string replacingSpacesWithHyphens(std::string text) {
  for (char& c : text) {
    if (c == ' ') c = '-';
  }
  return text;
}

}  // namespace

HeartbeatsBundle::HeartbeatsBundle(std::int64_t capacity)
    : capacity_(capacity), lastAddedHeartbeatDates_(allPeriodsInTheDistantPast()),
      buffer_(capacity) {}

HeartbeatsBundle::HeartbeatsBundle(std::int64_t capacity,
                                   std::map<TimePeriod, platform::Date> lastAddedHeartbeatDates)
    : capacity_(capacity), lastAddedHeartbeatDates_(std::move(lastAddedHeartbeatDates)),
      buffer_(capacity) {}

HeartbeatsBundle::HeartbeatsBundle(std::int64_t capacity,
                                   std::map<TimePeriod, platform::Date> lastAdded,
                                   RingBuffer<Heartbeat> buffer)
    : capacity_(capacity), lastAddedHeartbeatDates_(std::move(lastAdded)),
      buffer_(std::move(buffer)) {}

void HeartbeatsBundle::recordDates(const Heartbeat& heartbeat) {
  for (TimePeriod period : heartbeat.timePeriods) lastAddedHeartbeatDates_[period] = heartbeat.date;
}

void HeartbeatsBundle::append(const Heartbeat& heartbeat) {
  if (capacity_ <= 0) return;
  auto pushed = buffer_.push(heartbeat);
  if (!pushed.error) {
    if (pushed.displaced) {
      for (auto& [period, date] : lastAddedHeartbeatDates_) {
        if (date == pushed.displaced->date) date = kDistantPast;
      }
    }
    recordDates(heartbeat);
    return;
  }
  *this = HeartbeatsBundle(capacity_);
  const Heartbeat diagnostic{heartbeat.agent + " error/" +
                                 replacingSpacesWithHyphens(pushed.error->description()),
                             heartbeat.date, 0, heartbeat.timePeriods};
  if (!buffer_.push(diagnostic).error) recordDates(diagnostic);
}

std::optional<Heartbeat> HeartbeatsBundle::removeHeartbeat(platform::Date date) {
  std::vector<Heartbeat> searched;
  std::optional<Heartbeat> removed;
  while (auto popped = buffer_.pop()) {
    if (popped->date == date) {
      removed = std::move(popped);
      break;
    }
    searched.push_back(std::move(*popped));
  }
  for (auto it = searched.rbegin(); it != searched.rend(); ++it) buffer_.push(std::move(*it));
  return removed;
}

platform::Value HeartbeatsBundle::jsonValue() const {
  platform::Array lastAdded;
  for (const auto& [period, date] : lastAddedHeartbeatDates_) {
    lastAdded.emplace_back(static_cast<std::int64_t>(period));
    lastAdded.emplace_back(date.timeIntervalSinceReferenceDate());
  }
  platform::Array slots;
  for (const auto& slot : buffer_.circularQueue()) {
    slots.push_back(slot ? slot->jsonValue() : platform::Value());
  }
  return platform::Dictionary{
      {"capacity", capacity_},
      {"lastAddedHeartbeatDates", std::move(lastAdded)},
      {"buffer", platform::Dictionary{{"circularQueue", std::move(slots)},
                                      {"tailIndex", buffer_.tailIndex()}}},
  };
}

std::optional<HeartbeatsBundle> HeartbeatsBundle::fromJSONValue(const platform::Value& value) {
  if (!value.isDictionary()) return std::nullopt;
  const auto capacity = integerFromJSONNumber(value["capacity"]);
  const platform::Array* lastAdded = value["lastAddedHeartbeatDates"].asArray();
  const platform::Value& buffer = value["buffer"];
  const platform::Array* slots = buffer["circularQueue"].asArray();
  const auto tailIndex = integerFromJSONNumber(buffer["tailIndex"]);
  if (!capacity || *capacity > kMaximumStoredCapacity || !lastAdded || lastAdded->size() % 2 != 0 ||
      !slots || !tailIndex) {
    return std::nullopt;
  }

  std::map<TimePeriod, platform::Date> dates;
  for (std::size_t i = 0; i < lastAdded->size(); i += 2) {
    const auto raw = integerFromJSONNumber((*lastAdded)[i]);
    const auto period = raw ? timePeriodFromRawValue(*raw) : std::nullopt;
    const auto seconds = doubleFromJSONNumber((*lastAdded)[i + 1]);
    if (!period || !seconds) return std::nullopt;
    dates[*period] = platform::Date::fromTimeIntervalSinceReferenceDate(*seconds);
  }

  std::vector<std::optional<Heartbeat>> queue;
  queue.reserve(slots->size());
  for (const platform::Value& slot : *slots) {
    if (slot.isNull()) {
      queue.emplace_back();
      continue;
    }
    auto heartbeat = Heartbeat::fromJSONValue(slot);
    if (!heartbeat) return std::nullopt;
    queue.push_back(std::move(heartbeat));
  }
  return HeartbeatsBundle(*capacity, std::move(dates),
                          RingBuffer<Heartbeat>(std::move(queue), *tailIndex));
}

std::optional<platform::Data> HeartbeatsBundle::encoded() const {
  return platform::json::writeData(jsonValue());
}

std::optional<HeartbeatsBundle> HeartbeatsBundle::decode(const platform::Data& data) {
  auto value = platform::json::parse(data);
  if (!value) return std::nullopt;
  return fromJSONValue(*value);
}

}  // namespace ZiruzadaCoreInternal
