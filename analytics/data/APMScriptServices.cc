#include "analytics/data/APMScriptServices.h"

#include <mutex>
#include <utility>

namespace {

struct Slot {
  std::mutex mutex;
  std::shared_ptr<APMPScriptEngineFactory> factory;
};

// Never destroyed: a configuration may still be parsed while the process exits.
Slot& slot() {
  static auto* const shared = new Slot;
  return *shared;
}

}  // namespace

std::shared_ptr<APMPScriptEngineFactory> APMPInstalledScriptEngine() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  return s.factory;
}

void APMPSetScriptEngine(std::shared_ptr<APMPScriptEngineFactory> factory) {
  Slot& s = slot();
  std::shared_ptr<APMPScriptEngineFactory> previous;
  std::lock_guard lock(s.mutex);
  previous = std::exchange(s.factory, std::move(factory));
}
