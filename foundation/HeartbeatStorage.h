// HeartbeatStorage: the one writer of a heartbeat id's stored bundle, running every
// read-modify-write of it in order on its own serial queue; and the byte stores under it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/HeartbeatsBundle.h"
#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace ZiruzadaCoreInternal {

// The only failures of the byte stores: each operation fails in one way.
enum class StorageError { readError = 0, writeError = 1 };

// Where the bytes of a bundle are kept.
class Storage {
 public:
  virtual ~Storage() = default;
  // None is a read error.
  virtual std::optional<platform::Data> readData() = 0;
  // None clears what is stored. False is a write error.
  virtual bool writeData(const std::optional<platform::Data>& data) = 0;
};

// The heartbeat file of an id: Application Support "rerora-heartbeat-storage"/"heartbeats-"
// plus the id with every ":" replaced by "_".
class FileStorage final : public Storage {
 public:
  explicit FileStorage(std::filesystem::path url) : url_(std::move(url)) {}
  static std::unique_ptr<Storage> makeStorage(const std::string& id);
  // The file's path for an id.
  static std::filesystem::path fileURL(const std::string& id);

  const std::filesystem::path& url() const { return url_; }
  // A missing or unreadable file is a read error.
  std::optional<platform::Data> readData() override;
  // Creates the folder, then replaces the file atomically; clearing leaves an empty file.
  bool writeData(const std::optional<platform::Data>& data) override;

 private:
  const std::filesystem::path url_;
};

// A data value under one key of a user-defaults store.
class UserDefaultsStorage final : public Storage {
 public:
  UserDefaultsStorage(std::shared_ptr<platform::UserDefaults> defaults, std::string key)
      : defaults_(std::move(defaults)), key_(std::move(key)) {}
  // No value, or one that is not data, is a read error.
  std::optional<platform::Data> readData() override;
  // Clearing removes the key. Never fails.
  bool writeData(const std::optional<platform::Data>& data) override;

 private:
  const std::shared_ptr<platform::UserDefaults> defaults_;
  const std::string key_;
};

// Takes the stored bundle (none when there is none) and returns the bundle to store (none
// clears).
using HeartbeatsBundleTransform =
    std::function<std::optional<HeartbeatsBundle>(std::optional<HeartbeatsBundle>)>;

// The bundle stored before a swap, or why the bundle swapped in could not be saved.
struct HeartbeatsSwapResult {
  enum class Failure { encoding, writeError };
  std::optional<HeartbeatsBundle> previous;
  std::optional<Failure> failure;
};

class HeartbeatStorageProtocol {
 public:
  virtual ~HeartbeatStorageProtocol() = default;
  // Queues the transform and returns at once; failures to read or save are dropped.
  virtual void updateAsync(HeartbeatsBundleTransform transform) = 0;
  // Runs the transform after everything queued before it, and waits.
  virtual void updateSync(const HeartbeatsBundleTransform& transform) = 0;
  // As updateSync, but reports a failed save instead of the bundle stored before.
  virtual HeartbeatsSwapResult swapSync(const HeartbeatsBundleTransform& transform) = 0;
};

class HeartbeatStorage final : public HeartbeatStorageProtocol,
                               public std::enable_shared_from_this<HeartbeatStorage> {
 public:
  // The storage of the id while some owner keeps it alive, else a new one over the id's file.
  static std::shared_ptr<HeartbeatStorage> instance(const std::string& id);

  // Transforms run on the queue "com.heartbeat.storage." plus the id.
  HeartbeatStorage(std::string id, std::unique_ptr<Storage> storage);
  ~HeartbeatStorage() override;
  HeartbeatStorage(const HeartbeatStorage&) = delete;
  HeartbeatStorage& operator=(const HeartbeatStorage&) = delete;

  const std::string& id() const { return id_; }
  const platform::QueuePtr& queue() const { return queue_; }

  void updateAsync(HeartbeatsBundleTransform transform) override;
  void updateSync(const HeartbeatsBundleTransform& transform) override;
  HeartbeatsSwapResult swapSync(const HeartbeatsBundleTransform& transform) override;

 private:
  // On the queue. An empty blob is no bundle; a read or decode failure is none.
  std::optional<HeartbeatsBundle> loadBundle();
  std::optional<HeartbeatsSwapResult::Failure>
  saveBundle(const std::optional<HeartbeatsBundle>& bundle);
  void update(const HeartbeatsBundleTransform& transform);

  const std::string id_;
  const std::unique_ptr<Storage> storage_;
  const platform::QueuePtr queue_;
};

}  // namespace ZiruzadaCoreInternal
