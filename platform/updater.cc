#include "platform/updater.h"

#include <iostream>
#include <utility>

#include "platform/workspace.h"

namespace platform {
namespace {

struct UserDriverSlot {
  std::mutex mutex;
  Updater::UserDriver driver;
};

UserDriverSlot& userDriverSlot() {
  static auto* const slot = new UserDriverSlot;
  return *slot;
}

void tellUser(const std::string& message) {
  Updater::UserDriver driver;
  {
    UserDriverSlot& slot = userDriverSlot();
    std::lock_guard lock(slot.mutex);
    driver = slot.driver;
  }
  if (driver) {
    driver(message);
  } else {
    std::cout << message << std::endl;
  }
}

}  // namespace

Updater::UserDriver Updater::setUserDriver(UserDriver driver) {
  UserDriverSlot& slot = userDriverSlot();
  std::lock_guard lock(slot.mutex);
  std::swap(slot.driver, driver);
  return driver;
}

std::optional<std::string> Updater::releasePageURL() const {
  std::lock_guard lock(mutex_);
  return releasePageURL_;
}

void Updater::setReleasePageURL(std::optional<std::string> url) {
  if (url && url->empty()) url.reset();
  std::lock_guard lock(mutex_);
  releasePageURL_ = std::move(url);
}

bool Updater::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

void Updater::startUpdater() {
  std::lock_guard lock(mutex_);
  started_ = true;
}

void Updater::checkForUpdates() {
  std::optional<std::string> page;
  {
    std::lock_guard lock(mutex_);
    if (!started_) return;
    page = releasePageURL_;
  }
  if (!page) {
    tellUser(kNoUpdateFeedMessage);
  } else if (!Workspace::sharedWorkspace().openURL(*page)) {
    tellUser(kReleasePageFailedMessage + *page);
  }
}

UpdaterController::UpdaterController(bool startingUpdater) : updater_(std::make_shared<Updater>()) {
  if (startingUpdater) updater_->startUpdater();
}

}  // namespace platform
