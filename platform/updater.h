// Updater: checks for a newer release of the application when the user asks. There is no
// update feed on this system: a check opens the configured release page in the browser, or
// tells the user that none is configured.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class Updater {
 public:
  // Shows a message to the user (the GUI layer installs a message box).
  using UserDriver = std::function<void(const std::string& message)>;

  static constexpr const char* kNoUpdateFeedMessage =
      "No update feed is configured, so this copy cannot look for updates.";
  static constexpr const char* kReleasePageFailedMessage = "The release page could not be opened: ";

  // Installs the process-wide user driver; an empty one restores the default, which
  // writes the message to standard output. Returns the driver it replaced.
  static UserDriver setUserDriver(UserDriver driver);

  // The page where releases are published; none when not configured.
  std::optional<std::string> releasePageURL() const;
  void setReleasePageURL(std::optional<std::string> url);

  bool isStarted() const;
  void startUpdater();

  // Only a started updater checks. Opens the release page through Workspace; without one,
  // or when it cannot be opened, tells the user through the user driver.
  void checkForUpdates();

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> releasePageURL_;
  bool started_ = false;
};

// Owns the application's updater, created when the application launches.
class UpdaterController {
 public:
  explicit UpdaterController(bool startingUpdater);

  const std::shared_ptr<Updater>& updater() const { return updater_; }

 private:
  std::shared_ptr<Updater> updater_;
};

}  // namespace platform
