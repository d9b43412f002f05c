#include "analytics/data/APMScriptServices.h"

#include <utility>

#include "platform/installed.h"

namespace {

// Never destroyed: a configuration may still be parsed while the process exits.
platform::Installed<APMPScriptEngineFactory>& installedFactory() {
  static auto* const slot = new platform::Installed<APMPScriptEngineFactory>;
  return *slot;
}

}  // namespace

std::shared_ptr<APMPScriptEngineFactory> APMPInstalledScriptEngine() {
  return installedFactory().get();
}

void APMPSetScriptEngine(std::shared_ptr<APMPScriptEngineFactory> factory) {
  installedFactory().set(std::move(factory));
}
