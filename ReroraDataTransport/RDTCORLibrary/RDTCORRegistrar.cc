#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"

#include <string>
#include <utility>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "promises/zbl_object.h"

namespace {

// A registration of nothing empties the entry, so that a lookup never meets a null object.
template <typename Map, typename Object>
void setEntry(Map& map, RDTCORTarget target, Object object) {
  if (object) {
    map[target] = std::move(object);
  } else {
    map.erase(target);
  }
}

}  // namespace

// Here rather than beside its declaration: the platform layer's sources are also compiled
// into the fuzz targets, which leave the promise library out.
std::string RDTCORDescribeObjectOfType(const std::type_info& type, const void* object) {
  return ZBLDescribeObjectOfType(type, object);
}

std::shared_ptr<RDTCORRegistrar> RDTCORRegistrar::sharedInstance() {
  // Kept until exit: components registered at class load are looked up until the end.
  static const auto* shared =
      new std::shared_ptr<RDTCORRegistrar>(std::make_shared<RDTCORRegistrar>());
  return *shared;
}

RDTCORRegistrar::RDTCORRegistrar()
    : registrarQueue_(platform::Queue::serial("com.rerora.RDTCORRegistrar")) {}

void RDTCORRegistrar::registerUploader(std::shared_ptr<RDTCORUploader> uploader,
                                       RDTCORTarget target) {
  registrarQueue_->async([weak = weak_from_this(), uploader = std::move(uploader),
                          target]() mutable {
    const auto self = weak.lock();
    if (!self) return;
    RDTCORLogDebug("Registered an uploader: %@ for target:%ld", {RDTCORDescribe(uploader), target});
    setEntry(self->targetToUploader_, target, std::move(uploader));
  });
}

void RDTCORRegistrar::registerStorage(std::shared_ptr<RDTCORStorageProtocol> storage,
                                      RDTCORTarget target) {
  registrarQueue_->async([weak = weak_from_this(), storage = std::move(storage), target]() mutable {
    const auto self = weak.lock();
    if (!self) return;
    RDTCORLogDebug("Registered storage: %@ for target:%ld", {RDTCORDescribe(storage), target});
    setEntry(self->targetToStorage_, target, std::move(storage));
    self->setMetricsControllerAsStorageDelegateForTarget(target);
  });
}

void RDTCORRegistrar::registerMetricsController(
    std::shared_ptr<RDTCORMetricsControllerProtocol> controller, RDTCORTarget target) {
  registrarQueue_->async(
      [weak = weak_from_this(), controller = std::move(controller), target]() mutable {
        const auto self = weak.lock();
        if (!self) return;
        RDTCORLogDebug("Registered metrics controller: %@ for target:%ld",
                       {RDTCORDescribe(controller), target});
        setEntry(self->targetToMetricsController_, target, std::move(controller));
        self->setMetricsControllerAsStorageDelegateForTarget(target);
      });
}

std::map<RDTCORTarget, std::shared_ptr<RDTCORUploader>> RDTCORRegistrar::targetToUploader() const {
  std::map<RDTCORTarget, std::shared_ptr<RDTCORUploader>> snapshot;
  registrarQueue_->sync([&] { snapshot = targetToUploader_; });
  return snapshot;
}

std::map<RDTCORTarget, std::shared_ptr<RDTCORStorageProtocol>>
RDTCORRegistrar::targetToStorage() const {
  std::map<RDTCORTarget, std::shared_ptr<RDTCORStorageProtocol>> snapshot;
  registrarQueue_->sync([&] { snapshot = targetToStorage_; });
  return snapshot;
}

std::map<RDTCORTarget, std::shared_ptr<RDTCORMetricsControllerProtocol>>
RDTCORRegistrar::targetToMetricsController() const {
  std::map<RDTCORTarget, std::shared_ptr<RDTCORMetricsControllerProtocol>> snapshot;
  registrarQueue_->sync([&] { snapshot = targetToMetricsController_; });
  return snapshot;
}

void RDTCORRegistrar::setMetricsControllerAsStorageDelegateForTarget(RDTCORTarget target) {
  // Inline when a registration calls it, which is already on the queue.
  registrarQueue_->sync([&] {
    const auto storage = targetToStorage_.find(target);
    if (storage == targetToStorage_.end()) return;
    const auto controller = targetToMetricsController_.find(target);
    // A target without a controller clears the delegate: the last run for a store decides.
    storage->second->setDelegate(
        controller == targetToMetricsController_.end() ? nullptr : controller->second);
  });
}

void RDTCORRegistrar::appWillBackground(const RDTCORApplicationPtr& application) {
  for (const auto& [target, uploader] : targetToUploader())
    uploader->appWillBackground(application);
  for (const auto& [target, storage] : targetToStorage()) storage->appWillBackground(application);
}

void RDTCORRegistrar::appWillForeground(const RDTCORApplicationPtr& application) {
  for (const auto& [target, uploader] : targetToUploader())
    uploader->appWillForeground(application);
  for (const auto& [target, storage] : targetToStorage()) storage->appWillForeground(application);
}

void RDTCORRegistrar::appWillTerminate(const RDTCORApplicationPtr& application) {
  for (const auto& [target, uploader] : targetToUploader()) uploader->appWillTerminate(application);
  for (const auto& [target, storage] : targetToStorage()) storage->appWillTerminate(application);
}

std::shared_ptr<RDTCORStoragePromiseProtocol> RDTCORRegisteredStorage(RDTCORTarget target) {
  const auto storages = RDTCORRegistrar::sharedInstance()->targetToStorage();
  const auto found = storages.find(target);
  if (found == storages.end()) return nullptr;
  return std::dynamic_pointer_cast<RDTCORStoragePromiseProtocol>(found->second);
}

std::shared_ptr<RDTCORMetricsControllerProtocol>
RDTCORRegisteredMetricsController(RDTCORTarget target) {
  const auto controllers = RDTCORRegistrar::sharedInstance()->targetToMetricsController();
  const auto found = controllers.find(target);
  return found == controllers.end() ? nullptr : found->second;
}
