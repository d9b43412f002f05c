// RDTCORFlatFileStorage: the event store: one file per event under Caches, numbered batch
// folders for uploads, small library-data blobs, a 20,000,000-byte cap and the expiry sweep
// (which also clears the target folders of what is no event file). Whatever stands where one
// of its folders belongs is set aside as "<folder>.damaged-<UTC time>".
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORDirectorySizeTracker.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorageFormat.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORStorageProtocol.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORUploadCoordinator.h"
#include "platform/dispatch.h"

class RDTCORFlatFileStorage : public RDTCORStorageProtocol,
                              public RDTCORStoragePromiseProtocol,
                              public std::enable_shared_from_this<RDTCORFlatFileStorage> {
 public:
  // Registers the shared store for targets 999 to 1003 with the shared registrar, once.
  static void load();
  static std::shared_ptr<RDTCORFlatFileStorage> sharedInstance();

  // The three folders under the root directory, fixed at first use and created (with their
  // parents) at every call; a creation failure is a non-fatal assertion.
  static std::string eventDataStoragePath();
  static std::string batchDataStoragePath();
  static std::string libraryDataStoragePath();
  // "<batch data>/<target>-<batchID>-<expiry>".
  static std::string batchPathForTarget(RDTCORTarget target, std::int64_t batchID,
                                        platform::Date expirationDate);
  // "<event data>/<target>/<eventID>-<qosTier>-<expiry>-<encoded mappingID>".
  static std::string pathForTarget(RDTCORTarget target, const std::string& eventID,
                                   RDTCOREventQoS qosTier,
                                   std::optional<platform::Date> expirationDate,
                                   const std::string& mappingID);

  // The errors the promise operations reject with: domain "RDTCORFlatFileStorage", code -1.
  static platform::ErrorPtr genericRejectedPromiseErrorWithReason(const std::string& reason);

  // RDTCORStorageProtocol.
  void storeEvent(const std::shared_ptr<RDTCOREvent>& event, StoreCompletion onComplete) override;
  void hasEventsForTarget(RDTCORTarget target, BoolCompletion onComplete) override;
  void batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>& selector,
                              platform::Date batchExpiration, BatchCompletion onComplete) override;
  void removeBatchWithID(std::int64_t batchID, bool deleteEvents, Completion onComplete) override;
  void batchIDsForTarget(RDTCORTarget target, BatchIDsCompletion onComplete) override;
  void checkForExpirations() override;
  void storeLibraryData(const platform::Data& data, const std::string& key,
                        ErrorCompletion onComplete) override;
  void libraryDataForKey(const std::string& key, FetchCompletion onFetchComplete,
                         ValueProducer setNewValue) override;
  void removeLibraryDataForKey(const std::string& key, ErrorCompletion onComplete) override;
  void storageSizeWithCallback(SizeCallback onComplete) override;
  std::shared_ptr<RDTCORStorageDelegate> delegate() const override;
  void setDelegate(const std::shared_ptr<RDTCORStorageDelegate>& delegate) override;

  // RDTCORStoragePromiseProtocol (RDTCORFlatFileStorage+Promises.cc).
  ZBLPromisePtr batchIDsForTarget(RDTCORTarget target) override;
  ZBLPromisePtr removeBatchWithID(std::int64_t batchID, bool deleteEvents) override;
  ZBLPromisePtr removeBatchesWithIDs(const std::set<std::int64_t>& batchIDs,
                                     bool deleteEvents) override;
  ZBLPromisePtr removeAllBatchesForTarget(RDTCORTarget target, bool deleteEvents) override;
  ZBLPromisePtr hasEventsForTarget(RDTCORTarget target) override;
  ZBLPromisePtr batchWithEventSelector(const std::shared_ptr<RDTCORStorageEventSelector>& selector,
                                       platform::Date batchExpiration) override;
  ZBLPromisePtr fetchAndUpdateMetricsWithHandler(MetricsHandler handler) override;
  ZBLPromisePtr fetchStorageMetadata() override;

  // Lets queued work finish while the application may still run.
  void appWillBackground(const RDTCORApplicationPtr& application) override;

  // Internal steps, each to be called on storageQueue.
  std::optional<RDTCOREventComponents> eventComponentsFromFilename(const std::string& name) const;
  std::optional<RDTCORBatchComponents> batchComponentsFromFilename(const std::string& name) const;
  // The event files of the target that the sets select, judged by their names alone.
  std::set<std::string> pathsForTarget(RDTCORTarget target,
                                       const std::optional<std::set<std::string>>& eventIDs,
                                       const std::optional<std::set<RDTCOREventQoS>>& qosTiers,
                                       const std::optional<std::set<std::string>>& mappingIDs);
  // Queues the counter's read-modify-write; the completion runs on storageQueue.
  void nextBatchID(std::function<void(std::optional<std::int64_t> batchID)> onComplete);
  std::optional<std::set<std::string>> batchDirPathsForBatchID(std::int64_t batchID,
                                                               platform::ErrorPtr* error);
  // Entries that could not come back stay where they were; the error lists them.
  bool moveContentsOfDirectoryAtPath(const std::string& path, const std::string& to,
                                     platform::ErrorPtr* error);
  void syncThreadUnsafeRemoveBatchWithID(std::int64_t batchID, bool deleteEvents);

  const platform::QueuePtr& storageQueue() const { return storageQueue_; }
  const std::shared_ptr<RDTCORUploadCoordinator>& uploadCoordinator() const {
    return uploadCoordinator_;
  }
  // Over the root directory; made at first use.
  std::shared_ptr<RDTCORDirectorySizeTracker> sizeTracker();

  // Each store makes the event's classes known (RDTCOREvent::load) before it writes or reads one.
  // The shared store's layout: the paths above, the shared coordinator. Use sharedInstance.
  RDTCORFlatFileStorage();
  // A store of its own over rootDirectory (whose "RDTCORFlatFileStorage" folder holds the
  // three data folders and whose whole content counts toward the cap), forcing uploads
  // through the given coordinator (none: stored tier-4 events force nothing).
  RDTCORFlatFileStorage(std::filesystem::path rootDirectory,
                        std::shared_ptr<RDTCORUploadCoordinator> uploadCoordinator);

 private:
  enum class Folder { EventData, BatchData, LibraryData };
  std::string folderPath(Folder folder) const;
  std::string eventDataPath() const { return folderPath(Folder::EventData); }
  std::string batchDataPath() const { return folderPath(Folder::BatchData); }
  std::string libraryDataPath() const { return folderPath(Folder::LibraryData); }
  std::string eventPathFor(const RDTCOREvent& event) const;
  std::string batchPathFor(RDTCORTarget target, std::int64_t batchID,
                           platform::Date expirationDate) const;

  // Every block of the store goes through one of these two. Work queued ahead runs on
  // storageQueue before any block of the store that was queued before it and has not started,
  // so it waits for the block running now only; the queue still owns all the store's state.
  void onQueue(std::function<void()> work);
  void onQueueAheadOfQueuedWork(std::function<void()> work);
  void runWorkAheadOfQueuedWork();

  // Run on storageQueue.
  void storeEventOnQueue(const std::shared_ptr<RDTCOREvent>& event,
                         const StoreCompletion& completion);
  void takeBatchOnQueue(const RDTCORStorageEventSelector& selector, platform::Date expiration,
                        std::optional<std::int64_t> batchID, const BatchCompletion& completion);
  void checkForExpirationsOnQueue();
  // Tells the tracker that the file now holds `size` bytes, whether or not it knew it.
  void fileWasWritten(const std::string& path, std::uint64_t size);
  // Makes sure the tracker counts what is on disk before a file goes away.
  void warmSizeTracker();

  // Empty for the shared layout (the static paths); else the root of a store of its own.
  const std::filesystem::path ownRoot_;
  platform::QueuePtr storageQueue_;
  std::shared_ptr<RDTCORUploadCoordinator> uploadCoordinator_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::weak_ptr<RDTCORStorageDelegate> delegate_;
  std::shared_ptr<RDTCORDirectorySizeTracker> sizeTracker_;
  std::deque<std::function<void()>> workAheadOfQueuedWork_;
};
