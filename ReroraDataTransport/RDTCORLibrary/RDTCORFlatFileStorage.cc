#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"

#include <sys/stat.h>
#include <time.h>

#include <ctime>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/set_aside.h"
#include "platform/format.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEventDataFolder = "rdt_event_data";
constexpr const char* kBatchDataFolder = "rdt_batch_data";
constexpr const char* kLibraryDataFolder = "rdt_library_data";
constexpr const char* kInternalInconsistencyDomain = "NSInternalInconsistencyException";
constexpr const char* kBackgroundTaskName = "RDTStorage";

bool isHidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

bool isFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

// Something that is not a folder (a file, a link) where one of the store's folders belongs
// would leave the store unable to keep anything, for good. It is moved beside, as
// "<path>.damaged-<UTC time>", for whoever wants to look at it, and the folder can be made.
void setAsideIfNotAFolder(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return;
  // Gone meanwhile (another process of the user set it aside) or not movable: making the
  // folder tells which.
  if (const auto aside = platform::setAsideAsDamaged(path, platform::setAsideTimestamp())) {
    RDTCORLogError(RDTCORMCEGeneralError,
                   "Something that is not a folder stood where the event store's folder %@ "
                   "belongs; it was set aside as %@",
                   {path, *aside});
  }
}

// Makes one of the store's folders with its parents, after setting aside what stands in its
// place.
bool makeStoreFolder(const std::string& path, platform::ErrorPtr* error = nullptr) {
  setAsideIfNotAFolder(path);
  return platform::createDirectory(path, true, error, platform::DirectoryAccess::OwnerOnly);
}

void createFolder(const std::string& path, const char* failureFormat) {
  // The storage folder holds all three data folders.
  setAsideIfNotAFolder(fs::path(path).parent_path().string());
  platform::ErrorPtr error;
  if (!makeStoreFolder(path, &error)) {
    RDTCORAssertionFailed(__FILE__, __LINE__, failureFormat, {RDTCORErrorText(error)});
  }
}

const char* creationFailureFormat(const char* folder) {
  if (std::string_view(folder) == kBatchDataFolder)
    return "Creating the batch data path failed: %@";
  if (std::string_view(folder) == kLibraryDataFolder) {
    return "Creating the library data path failed: %@";
  }
  return "%@";
}

std::string storagePathUnder(const std::string& root, const char* folder) {
  return platform::format("%@/%@/%@", {root, kRDTCORFlatFileStorageErrorDomain, folder});
}

// The shared layout's folders, each computed once.
std::string sharedFolder(const char* folder) {
  // Never destroyed: the store's queue may still read it while the process exits.
  static const auto* root = new std::string(RDTCORRootDirectory().string());
  return storagePathUnder(*root, folder);
}

}  // namespace

// ---- Layout

std::string RDTCORFlatFileStorage::eventDataStoragePath() {
  // Never destroyed: the store's queue may still read it while the process exits.
  static const auto* path = new std::string(sharedFolder(kEventDataFolder));
  createFolder(*path, creationFailureFormat(kEventDataFolder));
  return *path;
}

std::string RDTCORFlatFileStorage::batchDataStoragePath() {
  // Never destroyed: the store's queue may still read it while the process exits.
  static const auto* path = new std::string(sharedFolder(kBatchDataFolder));
  createFolder(*path, creationFailureFormat(kBatchDataFolder));
  return *path;
}

std::string RDTCORFlatFileStorage::libraryDataStoragePath() {
  // Never destroyed: the store's queue may still read it while the process exits.
  static const auto* path = new std::string(sharedFolder(kLibraryDataFolder));
  createFolder(*path, creationFailureFormat(kLibraryDataFolder));
  return *path;
}

std::string RDTCORFlatFileStorage::batchPathForTarget(RDTCORTarget target, std::int64_t batchID,
                                                      platform::Date expirationDate) {
  return batchDataStoragePath() + "/" + RDTCORBatchDirectoryName(target, batchID, expirationDate);
}

std::string RDTCORFlatFileStorage::pathForTarget(RDTCORTarget target, const std::string& eventID,
                                                 RDTCOREventQoS qosTier,
                                                 std::optional<platform::Date> expirationDate,
                                                 const std::string& mappingID) {
  return eventDataStoragePath() + "/" + std::to_string(target) + "/" +
         RDTCOREventFileName(eventID, qosTier, expirationDate, mappingID);
}

std::string RDTCORFlatFileStorage::folderPath(Folder folder) const {
  if (ownRoot_.empty()) {
    switch (folder) {
    case Folder::EventData:
      return eventDataStoragePath();
    case Folder::BatchData:
      return batchDataStoragePath();
    case Folder::LibraryData:
      return libraryDataStoragePath();
    }
  }
  const char* name = folder == Folder::EventData   ? kEventDataFolder
                     : folder == Folder::BatchData ? kBatchDataFolder
                                                   : kLibraryDataFolder;
  const std::string path = storagePathUnder(ownRoot_.string(), name);
  createFolder(path, creationFailureFormat(name));
  return path;
}

std::string RDTCORFlatFileStorage::eventPathFor(const RDTCOREvent& event) const {
  return eventDataPath() + "/" + std::to_string(event.target()) + "/" +
         RDTCOREventFileName(event.eventID(), event.qosTier(), event.expirationDate(),
                             event.mappingID());
}

std::string RDTCORFlatFileStorage::batchPathFor(RDTCORTarget target, std::int64_t batchID,
                                                platform::Date expirationDate) const {
  return batchDataPath() + "/" + RDTCORBatchDirectoryName(target, batchID, expirationDate);
}

// ---- Life

void RDTCORFlatFileStorage::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    const auto storage = sharedInstance();
    const auto registrar = RDTCORRegistrar::sharedInstance();
    for (RDTCORTarget target = RDTCORTargetTest; target <= RDTCORTargetINT; ++target) {
      registrar->registerStorage(storage, target);
    }
  });
}

std::shared_ptr<RDTCORFlatFileStorage> RDTCORFlatFileStorage::sharedInstance() {
  // Kept until exit: work queued on its queue may still run while statics are destroyed.
  static const auto* shared =
      new std::shared_ptr<RDTCORFlatFileStorage>(std::make_shared<RDTCORFlatFileStorage>());
  return *shared;
}

RDTCORFlatFileStorage::RDTCORFlatFileStorage()
    : RDTCORFlatFileStorage({}, RDTCORUploadCoordinator::sharedInstance()) {}

RDTCORFlatFileStorage::RDTCORFlatFileStorage(
    fs::path rootDirectory, std::shared_ptr<RDTCORUploadCoordinator> uploadCoordinator)
    : ownRoot_(std::move(rootDirectory)),
      storageQueue_(platform::Queue::serial("com.rerora.RDTCORFlatFileStorage")),
      uploadCoordinator_(std::move(uploadCoordinator)) {
  // Every event file is decoded here; that must not wait for some other start-up step to
  // have made the event's classes known.
  RDTCOREvent::load();
  // The shared layout is fixed now, on the creating thread, rather than at the first use on the
  // store's queue: reading the environment there could race with a thread that changes it.
  if (ownRoot_.empty()) {
    eventDataStoragePath();
    batchDataStoragePath();
    libraryDataStoragePath();
  }
}

std::shared_ptr<RDTCORDirectorySizeTracker> RDTCORFlatFileStorage::sizeTracker() {
  std::lock_guard lock(mutex_);
  if (!sizeTracker_) {
    sizeTracker_ = std::make_shared<RDTCORDirectorySizeTracker>(
        ownRoot_.empty() ? RDTCORRootDirectory().string() : ownRoot_.string());
  }
  return sizeTracker_;
}

std::shared_ptr<RDTCORStorageDelegate> RDTCORFlatFileStorage::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void RDTCORFlatFileStorage::setDelegate(const std::shared_ptr<RDTCORStorageDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

void RDTCORFlatFileStorage::appWillBackground(const RDTCORApplicationPtr& application) {
  onQueue([application] {
    if (!application) return;
    RDTCORBackgroundTask(application, kBackgroundTaskName).end();
  });
}

void RDTCORFlatFileStorage::onQueue(std::function<void()> work) {
  auto self = shared_from_this();
  storageQueue_->async([self, work = std::move(work)] {
    self->runWorkAheadOfQueuedWork();
    work();
  });
}

void RDTCORFlatFileStorage::onQueueAheadOfQueuedWork(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    workAheadOfQueuedWork_.push_back(std::move(work));
  }
  // Whichever of the store's blocks runs next runs the work first; this one makes sure that
  // some block does.
  auto self = shared_from_this();
  storageQueue_->async([self] { self->runWorkAheadOfQueuedWork(); });
}

void RDTCORFlatFileStorage::runWorkAheadOfQueuedWork() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (workAheadOfQueuedWork_.empty()) return;
      work = std::move(workAheadOfQueuedWork_.front());
      workAheadOfQueuedWork_.pop_front();
    }
    work();
  }
}

void RDTCORFlatFileStorage::fileWasWritten(const std::string& path, std::uint64_t size) {
  // The tracker replaces the size of a file it counted already, and a cold tracker's walk
  // finds the new file itself, so one report keeps the total right either way.
  sizeTracker()->fileWasAddedAtPath(path, size);
}

void RDTCORFlatFileStorage::warmSizeTracker() { sizeTracker()->directoryContentSize(); }

// ---- Storing

void RDTCORFlatFileStorage::storeEvent(const std::shared_ptr<RDTCOREvent>& event,
                                       StoreCompletion onComplete) {
  RDTCORLogDebug("Saving event: %@", {event ? event->eventID() : std::string("(null)")});
  if (!event || !event->serializedDataObjectBytes()) {
    RDTCORLogDebug("The event was nil, so it was not saved.");
    if (onComplete) onComplete(false, platform::makeError(kInternalInconsistencyDomain, -1));
    return;
  }
  // A name that parses into other values would be selected wrongly or expire at once.
  if (const auto problem = RDTCOREventNameProblem(event->eventID(), event->qosTier())) {
    RDTCORLogDebug("%@ The event was not saved.", {*problem});
    if (onComplete) {
      onComplete(false,
                 platform::makeError(kInternalInconsistencyDomain, -1,
                                     {{platform::kLocalizedFailureReasonErrorKey, *problem}}));
    }
    return;
  }
  if (!onComplete) {
    onComplete = [event](bool wasWritten, const platform::ErrorPtr& error) {
      RDTCORLogDebug("event %@ stored. success:%@ error:%@",
                     {event->eventID(), wasWritten ? "YES" : "NO", RDTCORErrorText(error)});
    };
  }
  const RDTCORBackgroundTask task(RDTCORApplication::sharedApplication(), kBackgroundTaskName);
  auto self = shared_from_this();
  onQueue([self, event, onComplete = std::move(onComplete), task] {
    self->storeEventOnQueue(event, onComplete);
    task.end();
  });
}

void RDTCORFlatFileStorage::storeEventOnQueue(const std::shared_ptr<RDTCOREvent>& event,
                                              const StoreCompletion& completion) {
  const std::string path = eventPathFor(*event);
  platform::ErrorPtr error;
  const auto data = RDTCORArchiveToPath(event, {}, &error);
  if (!data) {
    completion(false, error ? error : platform::makeError(kRDTCORFlatFileStorageErrorDomain, -1));
    return;
  }
  if (sizeTracker()->directoryContentSize() + data->length() > kRDTCORFlatFileStorageSizeLimit) {
    const auto limitError = platform::makeError(
        kRDTCORFlatFileStorageErrorDomain, 0,
        {{platform::kLocalizedFailureReasonErrorKey, "Storage size limit has been reached."}});
    if (const auto storageDelegate = delegate()) {
      RDTCORLogDebug("Delegate notified that event with mapping ID %@ was dropped.",
                     {event->mappingID()});
      storageDelegate->storageDidDropEvent(*this, event);
    }
    completion(false, limitError);
    return;
  }
  makeStoreFolder(fs::path(path).parent_path().string());
  if (!RDTCORWriteFileAtomically(*data, path, &error)) {
    completion(false, error ? error : platform::makeError(kRDTCORFlatFileStorageErrorDomain, -1));
    return;
  }
  fileWasWritten(path, data->length());
  completion(true, nullptr);
  if (event->qosTier() == RDTCOREventQoSFast && uploadCoordinator_) {
    uploadCoordinator_->forceUploadForTarget(event->target());
  }
}

// ---- Selecting and batching

std::optional<RDTCOREventComponents>
RDTCORFlatFileStorage::eventComponentsFromFilename(const std::string& name) const {
  return RDTCOREventComponentsFromFilename(name);
}

std::optional<RDTCORBatchComponents>
RDTCORFlatFileStorage::batchComponentsFromFilename(const std::string& name) const {
  return RDTCORBatchComponentsFromFilename(name);
}

std::set<std::string>
RDTCORFlatFileStorage::pathsForTarget(RDTCORTarget target,
                                      const std::optional<std::set<std::string>>& eventIDs,
                                      const std::optional<std::set<RDTCOREventQoS>>& qosTiers,
                                      const std::optional<std::set<std::string>>& mappingIDs) {
  const std::string targetPath = eventDataPath() + "/" + std::to_string(target);
  makeStoreFolder(targetPath);
  std::error_code ec;
  fs::directory_iterator it(targetPath, ec);
  if (ec) {
    RDTCORLogDebug("There was an error reading the contents of the target path: %@",
                   {ec.message()});
    return {};
  }
  const bool anyEventIDs = eventIDs && !eventIDs->empty();
  const bool anyTiers = qosTiers && !qosTiers->empty();
  const bool anyMappingIDs = mappingIDs && !mappingIDs->empty();
  const bool selectAll = !anyEventIDs && !anyTiers && !anyMappingIDs;
  std::set<std::string> paths;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& entry = it->path();
    const std::string name = entry.filename().string();
    if (isHidden(name) || isFolder(entry)) continue;
    if (!selectAll) {
      const auto components = eventComponentsFromFilename(name);
      if (!components) {
        RDTCORLogDebug("There was an error reading the filename components: %@", {name});
        continue;
      }
      if (anyEventIDs && !eventIDs->contains(components->eventID)) continue;
      if (anyTiers && !qosTiers->contains(components->qosTier)) continue;
      if (anyMappingIDs) {
        const auto mappingID = RDTCORPercentDecodeMappingID(components->mappingID);
        if (!mappingID || !mappingIDs->contains(*mappingID)) continue;
      }
    }
    paths.insert(entry.string());
  }
  if (ec) {
    RDTCORLogDebug("There was an error reading the contents of the target path: %@",
                   {ec.message()});
  }
  return paths;
}

void RDTCORFlatFileStorage::nextBatchID(
    std::function<void(std::optional<std::int64_t> batchID)> onComplete) {
  auto handedOut = std::make_shared<std::optional<std::int32_t>>();
  auto self = shared_from_this();
  libraryDataForKey(
      kRDTCORFlatFileStorageBatchIDCounterKey,
      [self, handedOut, onComplete](const std::optional<platform::Data>& data,
                                    const platform::ErrorPtr&) {
        std::int32_t candidate = 0;
        if (data) {
          if (const auto stored = RDTCORBatchIDCounterFromData(*data)) {
            candidate = *stored;
          } else {
            RDTCORLogDebug("The batch ID counter holds %ld bytes; counting again from 0.",
                           {static_cast<std::int64_t>(data->length())});
          }
        }
        // A lost or damaged counter must never hand out the ID of a batch still on disk:
        // removing one of two batches with the same ID would take the other's events along.
        std::set<std::int64_t> inUse;
        std::error_code ec;
        for (fs::directory_iterator it(self->batchDataPath(), ec);
             !ec && it != fs::directory_iterator(); it.increment(ec)) {
          if (const auto batch =
                  RDTCORBatchComponentsFromFilename(it->path().filename().string())) {
            inUse.insert(batch->batchID);
          }
        }
        while (inUse.contains(candidate)) {
          candidate = candidate == std::numeric_limits<std::int32_t>::max() ? 0 : candidate + 1;
        }
        *handedOut = candidate;
        if (onComplete) onComplete(candidate);
      },
      [handedOut]() -> std::optional<platform::Data> {
        if (!*handedOut) return std::nullopt;
        const std::int32_t id = **handedOut;
        return RDTCORBatchIDCounterData(id == std::numeric_limits<std::int32_t>::max() ? 0
                                                                                       : id + 1);
      });
}

void RDTCORFlatFileStorage::batchWithEventSelector(
    const std::shared_ptr<RDTCORStorageEventSelector>& selector, platform::Date batchExpiration,
    BatchCompletion onComplete) {
  auto self = shared_from_this();
  if (!selector) {
    onQueue([onComplete] {
      if (onComplete) onComplete(std::nullopt, std::nullopt);
    });
    return;
  }
  // Selection and moves run in the counter's block, so that no other work on the queue can
  // take the same files between them.
  nextBatchID([self, selector, batchExpiration, onComplete](std::optional<std::int64_t> batchID) {
    self->takeBatchOnQueue(*selector, batchExpiration, batchID, onComplete);
  });
}

void RDTCORFlatFileStorage::takeBatchOnQueue(const RDTCORStorageEventSelector& selector,
                                             platform::Date expiration,
                                             std::optional<std::int64_t> batchID,
                                             const BatchCompletion& completion) {
  const auto complete = [&](std::optional<std::int64_t> id, std::optional<RDTCOREventSet> events) {
    if (completion) completion(id, std::move(events));
  };
  if (!batchID) {
    complete(std::nullopt, std::nullopt);
    return;
  }
  const std::set<std::string> paths =
      pathsForTarget(selector.selectedTarget(), selector.selectedEventIDs(),
                     selector.selectedQosTiers(), selector.selectedMappingIDs());
  const std::string batchPath = batchPathFor(selector.selectedTarget(), *batchID, expiration);
  bool batchFolderMade = false;
  RDTCOREventSet events;
  std::uint64_t batchBytes = 0;
  for (const std::string& path : paths) {
    // The store never holds more than its cap; files beyond it (put there by something else)
    // wait in the pool for a later batch rather than all being read into memory at once.
    const std::uint64_t fileBytes = RDTCORDirectorySizeTracker::fileSizeAtURL(path);
    if (!events.empty() && batchBytes + fileBytes > kRDTCORFlatFileStorageSizeLimit) continue;
    platform::ErrorPtr error;
    std::shared_ptr<RDTCOREvent> event =
        RDTCORUnarchiveFromPath<RDTCOREvent>(kRDTCOREventClassName, path, &error);
    if (!event && !RDTCORIsCorruptArchiveError(error)) {
      // Unread is not undecodable: the event may be whole, so it waits in the pool.
      RDTCORLogDebug("An event file could not be read and stays for a later batch: %@",
                     {RDTCORErrorText(error)});
      continue;
    }
    if (!event) {
      RDTCORLogDebug("Error deserializing event: %@", {RDTCORErrorText(error)});
      warmSizeTracker();
      if (platform::removeItem(path)) sizeTracker()->fileWasRemovedAtPath(path, fileBytes);
      continue;
    }
    if (!batchFolderMade) {
      batchFolderMade =
          platform::createDirectory(batchPath, true, &error, platform::DirectoryAccess::OwnerOnly);
    }
    // An event that did not move stays in the pool; counting it in the batch as well would
    // upload it twice (once now, once from the pool), or delete it with a batch it is not in.
    if (!batchFolderMade ||
        !platform::moveItem(path, fs::path(batchPath) / fs::path(path).filename(), &error)) {
      RDTCORLogDebug("An event file wasn't moveable into the batch directory: %@",
                     {RDTCORErrorText(error)});
      continue;
    }
    events.push_back(std::move(event));
    batchBytes += fileBytes;
  }
  if (events.empty()) {
    if (batchFolderMade) platform::removeItem(batchPath);
    complete(std::nullopt, std::nullopt);
    return;
  }
  complete(batchID, std::move(events));
}

// ---- Removing batches

std::optional<std::set<std::string>>
RDTCORFlatFileStorage::batchDirPathsForBatchID(std::int64_t batchID, platform::ErrorPtr* error) {
  const std::string batchData = batchDataPath();
  std::error_code ec;
  fs::directory_iterator it(batchData, ec);
  std::set<std::string> paths;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const auto components = batchComponentsFromFilename(it->path().filename().string());
    if (components && components->batchID == batchID) paths.insert(it->path().string());
  }
  if (ec) {
    if (error) {
      *error = platform::makeError(platform::kCocoaErrorDomain, platform::kFileReadUnknownError,
                                   {{platform::kFilePathErrorKey, batchData},
                                    {platform::kLocalizedDescriptionKey, ec.message()}});
    }
    return std::nullopt;
  }
  return paths;
}

bool RDTCORFlatFileStorage::moveContentsOfDirectoryAtPath(const std::string& path,
                                                          const std::string& to,
                                                          platform::ErrorPtr* error) {
  platform::ErrorPtr listingError;
  const auto entries = platform::contentsOfDirectory(path, false, &listingError);
  if (!entries) {
    if (error) *error = listingError;
    return false;
  }
  // The events' own folder may be gone; without it every move back would fail.
  makeStoreFolder(to);
  platform::Array failures;
  platform::ErrorPtr firstFailure;
  for (const fs::path& entry : *entries) {
    const fs::path destination = fs::path(to) / entry.filename();
    platform::ErrorPtr moveError;
    if (platform::moveItem(entry, destination, &moveError)) continue;
    // The same name means the same event (IDs are unique), already back in the pool.
    if (moveError && moveError->domain() == platform::kCocoaErrorDomain &&
        moveError->code() == platform::kFileWriteFileExistsError && platform::removeItem(entry)) {
      continue;
    }
    if (!firstFailure) firstFailure = moveError;
    failures.push_back(RDTCORErrorText(moveError));
  }
  if (failures.empty()) return true;
  if (error) {
    *error =
        platform::makeError(kRDTCORFlatFileStorageErrorDomain, -1,
                            {{platform::kUnderlyingErrorKey, std::move(failures)}}, firstFailure);
  }
  return false;
}

void RDTCORFlatFileStorage::syncThreadUnsafeRemoveBatchWithID(std::int64_t batchID,
                                                              bool deleteEvents) {
  platform::ErrorPtr error;
  const auto batchPaths = batchDirPathsForBatchID(batchID, &error);
  if (!batchPaths) {
    RDTCORLogDebug("Failed to find event file paths for batchID: %@, error: %@",
                   {batchID, RDTCORErrorText(error)});
    return;
  }
  for (const std::string& batchPath : *batchPaths) {
    bool removeFolder = true;
    if (!deleteEvents && isFolder(batchPath)) {
      const auto components = batchComponentsFromFilename(fs::path(batchPath).filename().string());
      const std::string destination =
          eventDataPath() + "/" + std::to_string(components ? components->target : 0);
      platform::ErrorPtr moveError;
      if (moveContentsOfDirectoryAtPath(batchPath, destination, &moveError)) {
        RDTCORLogDebug("Batched events at path: %@ moved back to the storage: %@",
                       {batchPath, destination});
      } else {
        RDTCORLogDebug("Error encountered whilst moving events back: %@",
                       {RDTCORErrorText(moveError)});
        // Events that did not come back stay in their batch, which the next removal or
        // the expiry sweep tries again, instead of being deleted with it.
        std::error_code ec;
        removeFolder = fs::is_empty(batchPath, ec) && !ec;
      }
    }
    if (!removeFolder) {
      RDTCORLogDebug("Batch kept at path: %@ for the events that did not move back", {batchPath});
    } else if (platform::removeItem(batchPath)) {
      RDTCORLogDebug("Batch removed at path: %@", {batchPath});
    } else {
      RDTCORLogDebug("Failed to remove batch at path: %@", {batchPath});
    }
  }
  sizeTracker()->resetCachedSize();
}

void RDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                              Completion onComplete) {
  auto self = shared_from_this();
  // Once the service has answered, a kill before the removal uploads the batch again at the
  // next start: the removal does not wait for the event writes queued meanwhile.
  onQueueAheadOfQueuedWork([self, batchID, deleteEvents, onComplete = std::move(onComplete)] {
    self->syncThreadUnsafeRemoveBatchWithID(batchID, deleteEvents);
    if (onComplete) onComplete();
  });
}

void RDTCORFlatFileStorage::batchIDsForTarget(RDTCORTarget target, BatchIDsCompletion onComplete) {
  auto self = shared_from_this();
  onQueue([self, target, onComplete = std::move(onComplete)] {
    if (!onComplete) return;
    std::error_code ec;
    fs::directory_iterator it(self->batchDataPath(), ec);
    if (ec || it == fs::directory_iterator()) {
      onComplete(std::nullopt);
      return;
    }
    std::set<std::int64_t> batchIDs;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const auto components = self->batchComponentsFromFilename(it->path().filename().string());
      if (components && static_cast<std::int32_t>(components->target) == target) {
        batchIDs.insert(components->batchID);
      }
    }
    onComplete(std::move(batchIDs));
  });
}

void RDTCORFlatFileStorage::hasEventsForTarget(RDTCORTarget target, BoolCompletion onComplete) {
  auto self = shared_from_this();
  onQueue([self, target, onComplete = std::move(onComplete)] {
    const std::string targetPath = self->eventDataPath() + "/" + std::to_string(target);
    makeStoreFolder(targetPath);
    std::error_code ec;
    const fs::directory_iterator it(targetPath, ec);
    const bool hasEvents = !ec && it != fs::directory_iterator();
    if (onComplete) onComplete(hasEvents);
  });
}

// ---- Expiry

void RDTCORFlatFileStorage::checkForExpirations() {
  auto self = shared_from_this();
  onQueue([self] { self->checkForExpirationsOnQueue(); });
}

void RDTCORFlatFileStorage::checkForExpirationsOnQueue() {
  RDTCORLogDebug("Checking for expired events and batches");
  const double now = platform::Clock::current().now().timeIntervalSince1970();

  // Collected first: removing entries while a folder is being listed may skip others.
  std::set<std::int64_t> expiredBatches;
  std::error_code ec;
  for (fs::directory_iterator it(batchDataPath(), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    const auto batch = batchComponentsFromFilename(it->path().filename().string());
    if (batch && now > batch->expiration.timeIntervalSince1970()) {
      expiredBatches.insert(batch->batchID);
    }
  }
  for (const std::int64_t batchID : expiredBatches) {
    syncThreadUnsafeRemoveBatchWithID(batchID, false);
  }

  std::vector<fs::path> expiredFiles;
  std::vector<fs::path> strayEntries;
  for (fs::directory_iterator targets(eventDataPath(), ec);
       !ec && targets != fs::directory_iterator(); targets.increment(ec)) {
    // What is not a target folder is set aside when a target's folder is next needed.
    if (!isFolder(targets->path())) continue;
    std::error_code targetEc;
    for (fs::directory_iterator it(targets->path(), targetEc);
         !targetEc && it != fs::directory_iterator(); it.increment(targetEc)) {
      const fs::path& path = it->path();
      const std::string name = path.filename().string();
      // Hidden names are writers' temporary files, perhaps of another process at work.
      if (isHidden(name)) continue;
      std::error_code statusEc;
      if (!RDTCORIsEventFileName(name) || !fs::is_regular_file(it->symlink_status(statusEc))) {
        // Never selected by a filtered batch and never expiring, it would stay for good.
        if (!statusEc) strayEntries.push_back(path);
        continue;
      }
      const auto event = eventComponentsFromFilename(name);
      if (event && now > event->expiration.timeIntervalSince1970()) expiredFiles.push_back(path);
    }
  }
  ec.clear();
  std::int64_t strayRemoved = 0;
  for (const fs::path& path : strayEntries) {
    if (platform::removeItem(path)) ++strayRemoved;
  }
  if (strayRemoved > 0) {
    RDTCORLogError(RDTCORMCEGeneralError,
                   "The event store removed %ld entries that are not event files, among them %@",
                   {strayRemoved, strayEntries.front().string()});
  }

  RDTCOREventSet removed;
  std::uint64_t removedBytes = 0;
  const auto reportRemoved = [&] {
    if (const auto storageDelegate = delegate(); storageDelegate && !removed.empty()) {
      RDTCORLogDebug("Delegate notified that %@ events were dropped.",
                     {static_cast<std::int64_t>(removed.size())});
      storageDelegate->storageDidRemoveExpiredEvents(*this, removed);
    }
    removed.clear();
    removedBytes = 0;
  };
  for (const fs::path& path : expiredFiles) {
    // Reported in parts no larger than the store's cap, so that a folder filled by something
    // else is never held in memory whole.
    const std::uint64_t fileBytes = RDTCORDirectorySizeTracker::fileSizeAtURL(path);
    if (!removed.empty() && removedBytes + fileBytes > kRDTCORFlatFileStorageSizeLimit) {
      reportRemoved();
    }
    platform::ErrorPtr error;
    std::shared_ptr<RDTCOREvent> event =
        RDTCORUnarchiveFromPath<RDTCOREvent>(kRDTCOREventClassName, path, &error);
    if (!event && !RDTCORIsCorruptArchiveError(error)) {
      // Kept for the next sweep, which can still report the event as dropped.
      RDTCORLogDebug("An expired event file could not be read and stays for a later sweep: %@",
                     {RDTCORErrorText(error)});
      continue;
    }
    if (!event) {
      RDTCORLogDebug("Error deserializing event while checking for expired events: %@",
                     {RDTCORErrorText(error)});
    }
    platform::ErrorPtr removeError;
    if (!platform::removeItem(path, &removeError)) {
      RDTCORLogDebug("There was an error deleting an expired item: %@",
                     {RDTCORErrorText(removeError)});
      continue;
    }
    RDTCORLogDebug("Item deleted because it expired: %@", {path.string()});
    if (event) {
      removed.push_back(std::move(event));
      removedBytes += fileBytes;
    }
  }
  reportRemoved();
  sizeTracker()->resetCachedSize();
}

// ---- Library data

void RDTCORFlatFileStorage::libraryDataForKey(const std::string& key,
                                              FetchCompletion onFetchComplete,
                                              ValueProducer setNewValue) {
  auto self = shared_from_this();
  onQueue([self, key, onFetchComplete = std::move(onFetchComplete),
           setNewValue = std::move(setNewValue)] {
    const std::string path = self->libraryDataPath() + "/" + key;
    platform::ErrorPtr error;
    const auto data = RDTCORReadLibraryDataFile(path, &error);
    if (onFetchComplete) onFetchComplete(data, error);
    if (!setNewValue) return;
    const auto newValue = setNewValue();
    if (!newValue || newValue->empty()) return;
    platform::ErrorPtr writeError;
    if (RDTCORWriteFileAtomically(*newValue, path, &writeError)) {
      self->fileWasWritten(path, newValue->length());
    } else {
      RDTCORLogDebug("Error writing new value in libraryDataForKey: %@",
                     {RDTCORErrorText(writeError)});
    }
  });
}

void RDTCORFlatFileStorage::storeLibraryData(const platform::Data& data, const std::string& key,
                                             ErrorCompletion onComplete) {
  if (data.empty()) {
    if (onComplete) onComplete(platform::makeError(kInternalInconsistencyDomain, -1));
    return;
  }
  auto self = shared_from_this();
  onQueue([self, data, key, onComplete = std::move(onComplete)] {
    const std::string path = self->libraryDataPath() + "/" + key;
    platform::ErrorPtr error;
    if (RDTCORWriteFileAtomically(data, path, &error)) {
      self->fileWasWritten(path, data.length());
      error = nullptr;
    } else if (!error) {
      error = platform::makeError(kRDTCORFlatFileStorageErrorDomain, -1);
    }
    if (onComplete) onComplete(error);
  });
}

void RDTCORFlatFileStorage::removeLibraryDataForKey(const std::string& key,
                                                    ErrorCompletion onComplete) {
  auto self = shared_from_this();
  onQueue([self, key, onComplete = std::move(onComplete)] {
    const std::string path = self->libraryDataPath() + "/" + key;
    platform::ErrorPtr error;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) {
      const std::uint64_t size = RDTCORDirectorySizeTracker::fileSizeAtURL(path);
      // A cold tracker would walk after the removal and then take the size off again.
      self->warmSizeTracker();
      if (platform::removeItem(path, &error)) {
        self->sizeTracker()->fileWasRemovedAtPath(path, size);
      }
    }
    if (onComplete) onComplete(error);
  });
}

void RDTCORFlatFileStorage::storageSizeWithCallback(SizeCallback onComplete) {
  if (!onComplete) return;
  auto self = shared_from_this();
  onQueue([self, onComplete = std::move(onComplete)] {
    onComplete(self->sizeTracker()->directoryContentSize());
  });
}
