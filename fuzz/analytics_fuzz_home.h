// What the analytics targets that open a real database share: a monitor that drops every line
// (fuzzing would drown in them), and a home of the process's own so that the database and the
// defaults never touch the user's.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "analytics/messages/APMServices.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"
#include "platform/value.h"

namespace fuzz {

class SilentMonitor : public APMMonitorLogging {
 public:
  void logWithLevel(std::int64_t, std::int64_t, const std::optional<std::string>&,
                    const platform::Array&) override {}
  bool isDebugModeEnabled() const override { return false; }
};

// HOME and the XDG folders in a new folder named after `prefix`, removed at exit. Once per
// process.
inline void isolateHome(const std::string& prefix) {
  std::string folder = (platform::temporaryDirectory() / (prefix + "-XXXXXX")).string();
  fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  setenv("HOME", folder.c_str(), 1);
  setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
}

}  // namespace fuzz
