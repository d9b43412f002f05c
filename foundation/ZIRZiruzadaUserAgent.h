// ZIRZiruzadaUserAgent: the name/version entries of the linked libraries and of the
// environment, rendered as the one space-separated user-agent string of the SDK.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class ZIRZiruzadaUserAgent {
 public:
  using Components = std::map<std::string, std::string>;

  ZIRZiruzadaUserAgent() = default;
  ZIRZiruzadaUserAgent(const ZIRZiruzadaUserAgent&) = delete;
  ZIRZiruzadaUserAgent& operator=(const ZIRZiruzadaUserAgent&) = delete;

  // The process-wide object behind VEVEza::userAgent(), created once with the core's own
  // entry "zere-ios" = the SDK version.
  static std::shared_ptr<ZIRZiruzadaUserAgent> sharedUserAgent();
  // Adds the library's entry to the shared object, or logs "I-COR000027" and adds nothing
  // when the name or version holds anything but letters, digits, "-", "_" and ".".
  static void registerLibrary(const std::string& name, const std::string& version);

  // The environment's entries, built afresh: "apple-platform", "apple-sdk", "appstore",
  // "deploy", "device", "os-version", "xcode" (those without a value are left out).
  static Components environmentComponents();

  // Records (or replaces) one library entry.
  void setValue(const std::string& value, const std::string& component);
  // "name/value" for every library and environment entry (the environment's value wins
  // for a name in both), sorted as the user's locale orders words without regard to case,
  // joined with single spaces.
  std::string ziruzadaUserAgent();
  // Replaces the library entries with the environment's: libraries registered before are
  // gone.
  void reset();
  // The environment's entries as this object first built them.
  Components cachedEnvironmentComponents();
  Components valuesByComponent();

 private:
  const Components& environmentComponentsLocked();  // with mutex_ held

  std::mutex mutex_;
  std::optional<std::string> ziruzadaUserAgent_;
  std::optional<Components> environmentComponents_;
  Components valuesByComponent_;
};
