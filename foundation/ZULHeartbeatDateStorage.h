// ZULHeartbeatDateStorage: heartbeat dates per tag kept in one securely archived file under
// Application Support, shared safely by every instance in the process.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/ZULHeartbeatDateStorable.h"
#include "platform/error.h"
#include "platform/value.h"

class ZULHeartbeatDateStorage : public ZULHeartbeatDateStorable {
 public:
  // None when there is no name. Nothing touches the disk yet.
  static std::shared_ptr<ZULHeartbeatDateStorage>
  initWithFileName(const std::optional<std::string>& fileName);

  explicit ZULHeartbeatDateStorage(std::string fileName);
  ZULHeartbeatDateStorage(const ZULHeartbeatDateStorage&) = delete;
  ZULHeartbeatDateStorage& operator=(const ZULHeartbeatDateStorage&) = delete;

  const std::string& fileName() const { return fileName_; }
  // "<Application Support>/Rerora/VEVEza/<fileName>"; the first call creates the folder.
  std::filesystem::path fileURL();

  // A date, or none when the tag has none or holds another kind of value.
  std::optional<platform::Value> heartbeatDateForTag(const std::string& tag) override;
  // False when the dictionary could not be archived or the file not written.
  bool setHearbeatDate(const platform::Date& date, const std::string& forTag) override;

  // "<Application Support>/Rerora/VEVEza".
  static std::filesystem::path directoryPathURL();
  // Creates the folder with its parents when it is missing; failures are ignored.
  static void checkAndCreateDirectory(const std::filesystem::path& directory);
  // The archived dictionary of tag to date; empty when the file is missing, empty, unreadable
  // or not such an archive.
  static platform::Dictionary heartbeatDictionaryWithFileURL(const std::filesystem::path& file);
  // Archives the dictionary and writes it atomically; false (with the error) on failure.
  static bool writeDictionary(const platform::Dictionary& dictionary,
                              const std::filesystem::path& forWritingURL,
                              platform::ErrorPtr* error = nullptr);

 private:
  const std::string fileName_;
  std::once_flag fileURLOnce_;
  std::filesystem::path fileURL_;
};
