#include "vilmo/LoadHooks.h"

#include "analytics/engine/DAVOdazaradoConnector.h"
#include "messaging/ZIRMessaging.h"
#include "platform/object_runtime.h"

void runClassLoadHooks() {
  // The one place that names the libraries' hooks: static initialisers in static libraries
  // are dropped by the linker, so nothing may register itself.
  static constexpr platform::ObjectRuntime::LoadHook kStartUpList[] = {
      &DAVOdazaradoConnector::load,
      &ZIRMessaging::load,
  };
  platform::ObjectRuntime::runLoadHooks(kStartUpList);
}
