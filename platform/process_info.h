// ProcessInfo: facts about the running process and the machine it runs on (launch
// arguments, environment, operating-system version, memory, processors, uptime).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct OperatingSystemVersion {
  std::int64_t majorVersion = 0;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;

  friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

class ProcessInfo {
 public:
  static ProcessInfo& processInfo();

  // Hands main's arguments over before anything asks for them; without it they are read
  // from /proc/self/cmdline at first use.
  static void captureArguments(int argc, const char* const* argv);
  static void setArgumentsForTesting(std::vector<std::string> arguments);

  std::vector<std::string> arguments() const;
  // Read afresh from the process environment at each call.
  std::map<std::string, std::string> environment() const;
  std::optional<std::string> environmentValue(const std::string& name) const;

  int processIdentifier() const;
  // The executable's file name.
  std::string processName() const;
  std::string hostName() const;

  // The kernel release read as major.minor.patch.
  OperatingSystemVersion operatingSystemVersion() const;
  // "Version 6.1 (Build 6.1.0-18-amd64)": the version without a zero patch, then the release.
  std::string operatingSystemVersionString() const;
  // The leading numbers of a kernel release: "6.1.0-18-amd64" → 6.1.0, "5.15" → 5.15.0;
  // anything unreadable is 0.
  static OperatingSystemVersion parseOperatingSystemVersion(std::string_view release);
  // The hardware name, as "x86_64" or "aarch64".
  std::string machine() const;

  // Bytes of physical memory.
  std::uint64_t physicalMemory() const;
  // Processors configured, and those online now.
  int processorCount() const;
  int activeProcessorCount() const;
  // Seconds since boot, from the installed Clock.
  double systemUptime() const;

  bool isMainThread() const;
  // A fresh upper-case UUID string on each call.
  std::string globallyUniqueString() const;

 private:
  ProcessInfo() = default;
};

}  // namespace platform
