// APMPersistentDictionary: string keys to property-list values, kept in a property-list file
// in the analytics directory and written back one second after a change, so that a burst of
// changes costs one file write. Also the path helpers for the analytics files and the
// preference suites' files.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/data/APMConfigStore.h"
#include "platform/data.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

// Marks the file as one that backups leave out. A file system that keeps no such mark counts
// as done; a missing file is an error.
bool APMExcludePathFromBackup(const std::string& path, platform::ErrorPtr* error = nullptr);
// "<preferences>/<suite>.plist", the file of a preference suite; empty for an empty name.
std::string APMPreferencesPlistPath(const std::string& suiteName);
// The file of that name in the analytics directory; empty for an empty name.
std::string APMApplicationSupportPath(const std::string& fileName);
// As APMApplicationSupportPath, with ".plist" added unless the name ends in exactly that.
std::string APMApplicationSupportPlistPath(const std::string& fileName);
bool APMDeleteFileAtPath(const std::string& path, platform::ErrorPtr* error = nullptr);
// Moves a preference suite's file into the analytics directory; true when there was nothing
// to move or the move is done (now or before).
bool APMMigrateDefaultsPlist(const std::string& suiteName);

class APMPersistentDictionary : public APMConfigStore,
                                public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // Over "<analytics directory>/<fileName>.plist", read whole now; a missing or unreadable
  // file starts empty. Null for an empty name or when the directory cannot be made.
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(const std::string& fileName);
  // A pending write is made at once.
  ~APMPersistentDictionary() override;
  APMPersistentDictionary(const APMPersistentDictionary&) = delete;
  APMPersistentDictionary& operator=(const APMPersistentDictionary&) = delete;

  // The top-level entries of a file's bytes that the dictionary keeps: those of a property
  // list dictionary with a non-empty key that can be written again. None for bytes that are
  // not one (or are too large).
  static std::optional<platform::Dictionary> contentFromFileData(const platform::Data& data);
  // Larger files are not read.
  static constexpr std::uint64_t kMaxFileSize = std::uint64_t{16} << 20;

  std::optional<platform::Value> objectForKey(const std::string& key) override;
  void setObject(const std::optional<platform::Value>& value, const std::string& key) override;
  void clearAllData() override;
  // Nothing to do: writes follow their own schedule.
  void synchronize() override;

  void schedulePersistToDisk();
  void persistToDisk();

  const std::string& filePath() const { return filePath_; }
  bool hasPendingPersistence() const;
  void writePendingChanges() override;
  // Where the delayed writes run.
  const platform::QueuePtr& serialQueue() const { return serialQueue_; }

 private:
  struct Key {};

 public:
  APMPersistentDictionary(Key, std::string filePath, platform::Dictionary content);

 private:
  void writeCopy(const platform::Dictionary& content, const std::string& path);

  const std::string filePath_;
  mutable std::recursive_mutex mutex_;
  platform::Dictionary content_;
  bool hasPendingPersistence_ = false;
  platform::QueuePtr serialQueue_;
};
