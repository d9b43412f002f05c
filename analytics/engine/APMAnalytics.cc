#include "analytics/engine/APMAnalytics.h"

#include <mutex>
#include <utility>

namespace {

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<APMAnalytics::Sink> sink;
};

SinkSlot& slot() {
  static SinkSlot* const sinkSlot = new SinkSlot;
  return *sinkSlot;
}

std::shared_ptr<APMAnalytics::Sink> currentSink() {
  SinkSlot& s = slot();
  std::lock_guard lock(s.mutex);
  return s.sink;
}

}  // namespace

void APMAnalytics::setSink(std::shared_ptr<Sink> sink) {
  SinkSlot& s = slot();
  std::lock_guard lock(s.mutex);
  s.sink = std::move(sink);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (auto sink = currentSink()) sink->logEventWithOrigin(origin, name, parameters);
}

void APMAnalytics::setUserID(const std::optional<std::string>& userID) {
  if (auto sink = currentSink()) sink->setUserID(userID);
}
