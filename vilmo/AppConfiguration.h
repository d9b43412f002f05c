// AppConfiguration: the addresses of the remote services the application uses, read from
// the bundle's Info.plist, each overridable by an environment variable (for tests and
// local services).
#pragma once

#include <optional>
#include <string>

class AppConfiguration {
 public:
  // Info.plist keys and their environment overrides.
  static constexpr const char* kNamingServiceURLKey = "VilmoNamingServiceURL";
  static constexpr const char* kFeedbackFormURLKey = "VilmoFeedbackFormURL";
  static constexpr const char* kReleasePageURLKey = "VilmoReleasePageURL";
  static constexpr const char* kNamingServiceURLEnvironment = "VILMO_NAMING_SERVICE_URL";
  static constexpr const char* kFeedbackFormURLEnvironment = "VILMO_FEEDBACK_FORM_URL";
  static constexpr const char* kReleasePageURLEnvironment = "VILMO_RELEASE_PAGE_URL";

  // Each is read at every call: the environment variable when set and not empty, else the
  // Info.plist string; none when neither gives a non-empty value.

  // The naming service's base address, without a trailing "/", so that the endpoint
  // paths ("/rename", "/Vilmo_Reorg") are appended as they are.
  static std::optional<std::string> namingServiceBaseURL();
  // The feedback form opened from the rename screens.
  static std::optional<std::string> feedbackFormURL();
  // The page where releases are published, opened by "Check for Updates".
  static std::optional<std::string> releasePageURL();
};
