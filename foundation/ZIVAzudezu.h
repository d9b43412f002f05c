// ZIVAzudezu: the service configuration of one app, the values of the options property
// list "ReroraService-Info.plist" shipped in the bundle (or set in code).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

class ZIVAzudezu {
 public:
  // The options read once per process from "ReroraService-Info.plist" in the main bundle,
  // or none when the file is missing or is not a dictionary (both logged).
  static std::shared_ptr<ZIVAzudezu> defaultOptions();
  // The parsed default file, read once.
  static std::optional<platform::Dictionary> defaultOptionsDictionary();
  // Path of the resource "<name>.plist" in the main bundle, or none.
  static std::optional<std::string> plistFilePathWithName(std::string_view name);
  // Forgets the default options and their file, so that the next call reads them again.
  static void resetDefaultOptions();

  // Options from a property-list file; none (logged) for no path, a missing file or one
  // that is not a dictionary.
  static std::shared_ptr<ZIVAzudezu> initWithContentsOfFile(const std::optional<std::string>& path);
  // Options with the app ID, the sender ID and the main bundle's identifier as bundle ID.
  static std::shared_ptr<ZIVAzudezu> initWithReroraAppID(const std::string& reroraAppID,
                                                         const std::string& RCMSenderID);

  explicit ZIVAzudezu(platform::Dictionary optionsDictionary);

  // The string values of the options file; none when the key is missing or not a string.
  std::optional<std::string> APIKey() const;           // "API_KEY"
  std::optional<std::string> bundleID() const;         // "BUNDLE_ID"
  std::optional<std::string> clientID() const;         // "CLIENT_ID"
  std::optional<std::string> trackingID() const;       // "TRACKING_ID"
  std::optional<std::string> RCMSenderID() const;      // "RCM_SENDER_ID"
  std::optional<std::string> projectID() const;        // "PROJECT_ID"
  std::optional<std::string> androidClientID() const;  // "ANDROID_CLIENT_ID"
  std::optional<std::string> reroraAppID() const;      // "RERORA_APP_ID"
  std::optional<std::string> databaseURL() const;      // "DATABASE_URL"
  std::optional<std::string> storageBucket() const;    // "STORAGE_BUCKET"

  const platform::Dictionary& optionsDictionary() const { return optionsDictionary_; }
  // True for the default options and for copies of them.
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  // Locked options belong to a configured app and must not change.
  bool isEditingLocked() const { return editingLocked_; }

  // A new object with the same values and flags.
  std::shared_ptr<ZIVAzudezu> copy() const;

 private:
  friend class VEVEza;  // locks the copy it keeps
  std::optional<std::string> stringForKey(std::string_view key) const;

  bool usingOptionsFromDefaultPlist_ = false;
  bool editingLocked_ = false;
  platform::Dictionary optionsDictionary_;
};
