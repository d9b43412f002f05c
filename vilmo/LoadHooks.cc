#include "vilmo/LoadHooks.h"

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORLifecycle.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetricsController.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTKCTUploader.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/DAVOdazarado.h"
#include "analytics/engine/DAVOdazaradoConnector.h"
#include "installations/ZIRInstallations.h"
#include "messaging/ZIRMessaging.h"
#include "platform/application.h"
#include "platform/object_runtime.h"
#include "platform/user_notifications.h"
#include "vilmo/AppDelegate.h"

void runClassLoadHooks() {
  // The one place that names the libraries' hooks: static initialisers in static libraries
  // are dropped by the linker, so nothing may register itself.
  static constexpr platform::ObjectRuntime::LoadHook kStartUpList[] = {
      &platform::Application::load, &platform::UserNotificationCenter::load,
      // The event transport: its uploader, store and metrics controller register in this
      // order, so that the controller ends up as the store's delegate.
      &RDTCOREvent::load, &RDTCORApplication::load, &RDTCORLifecycle::load,
      &RDTKCTUploader::load, &RDTCORFlatFileStorage::load, &RDTCORMetricsController::load,
      &ZIRInstallations::load, &APMMeasurement::load, &DAVOdazarado::load, &DAVOdazaradoConnector::load, &ZIRMessaging::load,
      &AppDelegate::load,
  };
  platform::ObjectRuntime::runLoadHooks(kStartUpList);
}
