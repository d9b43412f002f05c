#include "foundation/HeartbeatStorage.h"

#include <map>
#include <mutex>

#include "platform/files.h"

namespace ZiruzadaCoreInternal {
namespace {

// The storages alive, by id. Held weakly: a storage lives as long as its controllers.
struct LiveStorages {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<HeartbeatStorage>> byID;
};

// Never destroyed: a storage released late in exit still finds it.
LiveStorages& liveStorages() {
  static LiveStorages* const storages = new LiveStorages;
  return *storages;
}

}  // namespace

std::filesystem::path FileStorage::fileURL(const std::string& id) {
  std::string name = "heartbeats-" + id;
  for (char& c : name) {
    if (c == ':') c = '_';
  }
  return platform::applicationSupportDirectory() / "rerora-heartbeat-storage" / name;
}

std::unique_ptr<Storage> FileStorage::makeStorage(const std::string& id) {
  return std::make_unique<FileStorage>(fileURL(id));
}

std::optional<platform::Data> FileStorage::readData() { return platform::readFile(url_); }

bool FileStorage::writeData(const std::optional<platform::Data>& data) {
  platform::ErrorPtr error;
  if (!platform::createDirectory(url_.parent_path(), /*withIntermediates=*/true, &error,
                                 platform::DirectoryAccess::OwnerOnly) &&
      error->code() != platform::kFileWriteFileExistsError) {
    return false;
  }
  return platform::writeFileAtomically(url_, data ? *data : platform::Data());
}

std::optional<platform::Data> UserDefaultsStorage::readData() {
  return defaults_->dataForKey(key_);
}

bool UserDefaultsStorage::writeData(const std::optional<platform::Data>& data) {
  if (data) {
    defaults_->setObject(key_, platform::Value(*data));
  } else {
    defaults_->removeObjectForKey(key_);
  }
  return true;
}

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::instance(const std::string& id) {
  LiveStorages& live = liveStorages();
  std::lock_guard lock(live.mutex);
  std::weak_ptr<HeartbeatStorage>& entry = live.byID[id];
  if (auto alive = entry.lock()) return alive;
  auto storage = std::make_shared<HeartbeatStorage>(id, FileStorage::makeStorage(id));
  entry = storage;
  return storage;
}

HeartbeatStorage::HeartbeatStorage(std::string id, std::unique_ptr<Storage> storage)
    : id_(std::move(id)), storage_(std::move(storage)),
      queue_(platform::Queue::serial("com.heartbeat.storage." + id_)) {}

HeartbeatStorage::~HeartbeatStorage() {
  LiveStorages& live = liveStorages();
  std::lock_guard lock(live.mutex);
  // A storage made for the id after this one died keeps its entry.
  auto entry = live.byID.find(id_);
  if (entry != live.byID.end() && entry->second.expired()) live.byID.erase(entry);
}

void HeartbeatStorage::updateAsync(HeartbeatsBundleTransform transform) {
  // The queued update keeps the storage alive until it has run.
  queue_->async(
      [self = shared_from_this(), transform = std::move(transform)] { self->update(transform); });
}

void HeartbeatStorage::updateSync(const HeartbeatsBundleTransform& transform) {
  queue_->sync([&] { update(transform); });
}

HeartbeatsSwapResult HeartbeatStorage::swapSync(const HeartbeatsBundleTransform& transform) {
  HeartbeatsSwapResult result;
  queue_->sync([&] {
    auto previous = loadBundle();
    if (auto failure = saveBundle(transform(previous))) {
      result.failure = failure;
    } else {
      result.previous = std::move(previous);
    }
  });
  return result;
}

void HeartbeatStorage::update(const HeartbeatsBundleTransform& transform) {
  saveBundle(transform(loadBundle()));
}

std::optional<HeartbeatsBundle> HeartbeatStorage::loadBundle() {
  const auto data = storage_->readData();
  if (!data || data->empty()) return std::nullopt;
  return HeartbeatsBundle::decode(*data);
}

std::optional<HeartbeatsSwapResult::Failure>
HeartbeatStorage::saveBundle(const std::optional<HeartbeatsBundle>& bundle) {
  std::optional<platform::Data> data;
  if (bundle) {
    data = bundle->encoded();
    if (!data) return HeartbeatsSwapResult::Failure::encoding;
  }
  if (!storage_->writeData(data)) return HeartbeatsSwapResult::Failure::writeError;
  return std::nullopt;
}

}  // namespace ZiruzadaCoreInternal
