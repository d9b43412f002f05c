// UserDefaults: a persistent store of settings, one per suite, kept in memory and in a
// property-list file under Preferences; safe to use from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace platform {

class UserDefaults {
 public:
  // The suite named after the main bundle's identifier.
  static std::shared_ptr<UserDefaults> standard();
  // One shared store per suite name for the life of the process, kept in
  // "<preferencesDirectory()>/<name>.plist" (the path is fixed when the store is first
  // asked for).
  static std::shared_ptr<UserDefaults> suite(const std::string& name);

  const std::string& suiteName() const { return suiteName_; }
  const std::filesystem::path& filePath() const { return filePath_; }

  // The stored value, else the registered default, else none.
  std::optional<Value> objectForKey(std::string_view key) const;
  // The stored value only: registered defaults are not consulted.
  std::optional<Value> storedObjectForKey(std::string_view key) const;
  // A string as it is, a number in its string form; none for anything else.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // Numbers convert and strings are read as numbers ("42" → 42, "YES" → true); anything
  // else, and an absent key, reads as 0 / false.
  std::int64_t integerForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  // None unless the value is of that kind.
  std::optional<Data> dataForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;

  // Each change is written to the file before the call returns. The write holds the suite's
  // lock (a file beside the settings file), reads the file again and applies only this
  // store's own changes since its last write, so processes sharing a suite keep each other's
  // settings. None, or a null Value, removes the key. A key or value the property-list file
  // cannot hold (a null inside an array or dictionary, a date out of the format's range, text
  // with NUL or that is not UTF-8) throws platform::Exception "NSInvalidArgumentException"
  // and changes nothing.
  //
  // A settings file that is not a property list, or whose top level is not a dictionary, and
  // anything but a regular file in its place (a folder, a pipe), is set aside beside itself
  // as "<name>.plist.damaged-<UTC time>" (logged), never replacing an earlier one, and the
  // suite starts afresh.
  void setObject(std::string_view key, std::optional<Value> value);
  void setInteger(std::string_view key, std::int64_t value);
  void setBool(std::string_view key, bool value);
  void setDouble(std::string_view key, double value);
  void setString(std::string_view key, std::string value);
  void removeObjectForKey(std::string_view key);

  // Registered defaults overlaid with the stored values.
  Dictionary dictionaryRepresentation() const;
  // Writes whatever an earlier failed write left unsaved and reads what other processes
  // wrote since; true when nothing is left unsaved.
  bool synchronize();
  // Values answered for absent keys, for this process only (never written).
  void registerDefaults(const Dictionary& defaults);

  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

 private:
  struct Key {};  // only suite() makes stores

 public:
  UserDefaults(Key, std::string suiteName, std::filesystem::path filePath);

 private:
  // What identifies one version of the file: atomic writes give each a new inode, and the
  // size and times catch writers that rewrite in place.
  struct FileStamp {
    bool exists = false;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modified = 0, changed = 0;  // nanoseconds since 1970
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };
  struct StoredFile;
  // A change not yet written; generation tells it from a later change of the same key.
  struct PendingChange {
    std::string key;
    std::optional<Value> value;  // none removes
    std::uint64_t generation = 0;
  };

  static FileStamp stampOf(const std::filesystem::path& path);
  static StoredFile readStoredFile(const std::filesystem::path& path);

  const Value* lookUp(std::string_view key) const;  // with mutex_ held
  void loadIfNeeded() const;                        // with mutex_ held
  void reloadIfChanged() const;                     // with mutex_ held
  StoredFile setAsideIfStillDamaged() const;        // takes the suite's lock
  void applyPending(Dictionary& values) const;      // with mutex_ held
  void change(std::string_view key, std::optional<Value> value);
  bool persist();
  // With the suite's lock: the file as read again with the changes applied, as written.
  bool writeChanges(const std::vector<PendingChange>& changes, Dictionary* written,
                    FileStamp* stamp, std::string* note, std::string* problem);
  bool setAside(std::string* note, std::string* problem) const;  // with the suite's lock held
  std::filesystem::path lockPath() const;

  const std::string suiteName_;
  const std::filesystem::path filePath_;

  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  // The file as last read or written, with pending_ applied.
  mutable Dictionary values_;
  mutable FileStamp stamp_;  // of the file values_ came from
  Dictionary registered_;
  std::vector<PendingChange> pending_;
  std::uint64_t generation_ = 0;  // counts changes

  // Held while writing the file, so that readers never wait for the disk and writers that
  // queue up behind one write find their change already saved. Whoever holds the suite's
  // lock never waits for mutex_, so a reader may take the lock with mutex_ held.
  std::mutex writeMutex_;
};

}  // namespace platform
