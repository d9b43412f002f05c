// ZIVAzudezu: the service configuration of one app, the values of the options property
// list "ReroraService-Info.plist" shipped in the bundle (or set in code).
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

class ZIVAzudezu {
 public:
  // The options file's resource name and type.
  static constexpr const char* kPlistName = "ReroraService-Info";
  static constexpr const char* kPlistType = "plist";

  // The options read once per process from "ReroraService-Info.plist" in the main bundle,
  // or none when the file is missing or is not a dictionary (both logged).
  static std::shared_ptr<ZIVAzudezu> defaultOptions();
  // The parsed default file, read once.
  static std::optional<platform::Dictionary> defaultOptionsDictionary();
  // Path of the resource "<name>.plist" in the relevant bundles, or none.
  static std::optional<std::string> plistFilePathWithName(std::string_view name);
  // Forgets the default options and their file, so that the next call reads them again.
  static void resetDefaultOptions();

  // Options from a property-list file; none (logged) for no path, a missing file or one
  // that is not a dictionary.
  static std::shared_ptr<ZIVAzudezu> initWithContentsOfFile(const std::optional<std::string>& path);
  // Options with the app ID, the sender ID and the main bundle's identifier as bundle ID.
  static std::shared_ptr<ZIVAzudezu> initWithReroraAppID(const std::string& reroraAppID,
                                                         const std::string& RCMSenderID);

  // The SDK version as a number of two digits per part and "000": "102700000".
  static const std::string& libraryVersionID();

  explicit ZIVAzudezu(platform::Dictionary optionsDictionary);
  ZIVAzudezu(const ZIVAzudezu&) = delete;
  ZIVAzudezu& operator=(const ZIVAzudezu&) = delete;

  // The string values of the options file; none when the key is missing or not a string.
  // Each setter stores its value (none removes the key) and raises "com.ziruzada.core"
  // once editing is locked.
  std::optional<std::string> APIKey() const;  // "API_KEY"
  void setAPIKey(std::optional<std::string> APIKey);
  std::optional<std::string> bundleID() const;  // "BUNDLE_ID"
  void setBundleID(std::optional<std::string> bundleID);
  std::optional<std::string> clientID() const;  // "CLIENT_ID"
  void setClientID(std::optional<std::string> clientID);
  std::optional<std::string> trackingID() const;  // "TRACKING_ID"
  void setTrackingID(std::optional<std::string> trackingID);
  std::optional<std::string> RCMSenderID() const;  // "RCM_SENDER_ID"
  void setRCMSenderID(std::optional<std::string> RCMSenderID);
  std::optional<std::string> projectID() const;  // "PROJECT_ID"
  void setProjectID(std::optional<std::string> projectID);
  std::optional<std::string> androidClientID() const;  // "ANDROID_CLIENT_ID"
  void setAndroidClientID(std::optional<std::string> androidClientID);
  std::optional<std::string> reroraAppID() const;  // "RERORA_APP_ID"
  void setReroraAppID(std::optional<std::string> reroraAppID);
  std::optional<std::string> databaseURL() const;  // "DATABASE_URL"
  void setDatabaseURL(std::optional<std::string> databaseURL);
  std::optional<std::string> storageBucket() const;  // "STORAGE_BUCKET"
  void setStorageBucket(std::optional<std::string> storageBucket);
  // Set in code only.
  std::optional<std::string> deepLinkURLScheme() const;
  void setDeepLinkURLScheme(std::optional<std::string> deepLinkURLScheme);
  std::optional<std::string> appGroupID() const;
  void setAppGroupID(std::optional<std::string> appGroupID);

  platform::Dictionary optionsDictionary() const;
  // True for the default options and for copies of them.
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  // Locked options belong to a configured app and must not change.
  bool isEditingLocked() const { return editingLocked_; }
  void setEditingLocked(bool editingLocked) { editingLocked_ = editingLocked; }

  // "IS_MEASUREMENT_ENABLED", "ZIRUZADA_ANALYTICS_COLLECTION_ENABLED" and
  // "ZIRUZADA_ANALYTICS_COLLECTION_DEACTIVATED", each from the main bundle's Info.plist if
  // there, else from the options; built on first use.
  platform::Dictionary analyticsOptionsDictionary() const;
  // False when deactivated; else the measurement key when present; else the default
  // app's data-collection switch; false without a default app.
  bool isMeasurementEnabled() const;
  // False when deactivated; else the collection key when present; else
  // isMeasurementEnabled().
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  // Deactivated, or the collection or measurement key holds a number.
  bool isAnalyticsCollectionExplicitlySet() const;

  // A new object with the same values and flags; the analytics keys are read afresh.
  std::shared_ptr<ZIVAzudezu> copy() const;
  // Equal option values, deep-link schemes, app group IDs and analytics keys.
  bool isEqualToOptions(const ZIVAzudezu& other) const;
  friend bool operator==(const ZIVAzudezu& a, const ZIVAzudezu& b) { return a.isEqualToOptions(b); }
  // Equal options have equal hashes.
  std::size_t hash() const;

 private:
  friend class VEVEza;  // locks the copy it keeps

  struct Snapshot {
    platform::Dictionary options;
    std::optional<std::string> deepLinkURLScheme;
    std::optional<std::string> appGroupID;
  };
  Snapshot snapshot() const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  void setStringForKey(std::string_view key, std::optional<std::string> value);
  void checkEditingUnlocked() const;

  std::atomic<bool> usingOptionsFromDefaultPlist_ = false;
  std::atomic<bool> editingLocked_ = false;

  // Guards the values below, which readers on other threads may ask for while the owner
  // still sets them or the analytics keys are first read.
  mutable std::mutex mutex_;
  mutable std::optional<platform::Dictionary> analyticsOptionsDictionary_;
  std::optional<std::string> deepLinkURLScheme_;
  std::optional<std::string> appGroupID_;
  platform::Dictionary optionsDictionary_;
};
