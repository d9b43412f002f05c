// ZULAppEnvironmentUtil: small facts about the running process and machine that the SDK
// puts into its user agent, its logger's limits and its start-up checks.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/process_info.h"

// What a store-signed build shows and a build of this program never does: an encrypted
// main executable and a store receipt. Tests install them to run the store-build limits.
struct ZULStoreBuildFacts {
  bool mainExecutableIsEncrypted = false;
  // The receipt's location; none when the build has no receipt.
  std::optional<std::string> appStoreReceiptURL;
};

class ZULAppEnvironmentUtil {
 public:
  // A store build: not a simulator, no sandbox receipt and an encrypted main executable.
  // Never on this platform unless a test installs store-build facts.
  static bool isFromAppStore();
  // Whether the store receipt is a sandbox one ("sandboxReceipt"), unless the Info.plist
  // turns the check off with "ZiruzadaAppStoreReceiptURLCheckEnabled" = NO.
  static bool isAppStoreReceiptSandbox();
  static bool isSimulator() { return false; }
  static bool isAppExtension() { return false; }
  static bool isIOS7OrHigher() { return true; }

  // A kernel or hardware fact by its dotted name, read as text: "hw.model" is the
  // machine's model from the firmware tables under /sys, any other name the /proc/sys
  // entry it spells ("kernel.ostype" → /proc/sys/kernel/ostype). None for an unknown
  // name or an empty value.
  static std::optional<std::string> getSysctlEntry(std::string_view name);
  // "hw.model", else the machine name of uname ("x86_64"); read once per process.
  static const std::string& deviceModel();
  // "hw.model", read once per process.
  static const std::optional<std::string>& deviceSimulatorModel();
  // The operating-system version as "major.minor", with ".patch" when the patch is not 0.
  static std::string systemVersion();
  static std::string systemVersion(const platform::OperatingSystemVersion& version);
  // No Swift runtime is ever loaded into this program.
  static bool hasSwiftRuntime() { return false; }
  static std::string applePlatform() { return "macos"; }
  static std::string appleDevicePlatform() { return applePlatform(); }
  static std::string deploymentType() { return "swiftpm"; }

  // Makes the process look like a store build with these facts (none: the real ones).
  static void setStoreBuildFactsForTesting(std::optional<ZULStoreBuildFacts> facts);
};

// Whether the main executable is encrypted for a store. ELF executables carry no such
// encryption, so the answer here is always false.
bool ZULMainExecutableIsEncrypted();
