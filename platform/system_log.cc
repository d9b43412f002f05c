#include "platform/system_log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: worker queues may still log while the process exits.
SystemLog::Sink& installedSink() {
  static auto* const sink = new SystemLog::Sink;
  return *sink;
}

}  // namespace

void SystemLog::write(int level, std::string_view message, bool alsoToStandardError) {
  SystemLog::Sink sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = installedSink();
  }
  if (sink) {
    sink(Entry{level, std::string(message)});
  } else {
    syslog(level, "%.*s", static_cast<int>(message.size()), message.data());
  }
  if (alsoToStandardError) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  }
}

SystemLog::Sink SystemLog::setCaptureSink(Sink sink) {
  std::lock_guard lock(sinkMutex());
  return std::exchange(installedSink(), std::move(sink));
}

}  // namespace platform
