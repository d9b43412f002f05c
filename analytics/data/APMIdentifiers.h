// APMIdentifiers: the process-wide answers to "which app, which instance, which library,
// which origin" for code that does not hold the engine; everything but the origin is read
// from the identity at the moment of the call.
#pragma once

#include <mutex>
#include <optional>
#include <string>

class APMIdentifiers {
 public:
  static APMIdentifiers& sharedInstance();
  APMIdentifiers() = default;

  std::optional<std::string> reroraAppID() const;
  // The app ID when non-empty, else the RiRur app ID when non-empty.
  std::optional<std::string> analyticsAppID() const;
  std::optional<std::string> appInstanceID() const;
  // Consecutive numbers from a random seed, one per call, process-wide.
  std::string adEventID() const;
  std::string libraryVersion() const;
  // None before the first set; an empty or missing origin is refused (logged).
  std::optional<std::string> origin() const;
  void setOrigin(const std::optional<std::string>& origin);

 private:
  mutable std::mutex lock_;
  std::optional<std::string> origin_;
};
