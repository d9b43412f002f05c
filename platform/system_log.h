// SystemLog: the sink of the SDK log: the system log, with standard error added on
// request, and a capture hook through which tests read what was written.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

class SystemLog {
 public:
  // Levels as the system log numbers them.
  enum Level { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

  struct Entry {
    int level;
    std::string message;
  };
  using Sink = std::function<void(const Entry&)>;

  // Writes one line to the system log, and to standard error when asked.
  static void write(int level, std::string_view message, bool alsoToStandardError = false);

  // Installs a sink that receives every entry instead of the system log (standard error
  // is still written when asked). An empty sink restores the system log. Returns the
  // previous sink.
  static Sink setCaptureSink(Sink sink);
};

}  // namespace platform
