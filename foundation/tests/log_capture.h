// LogCapture: collects what the SDK log writes, for tests of log lines. The logger writes
// on its own queue, so a test flushes it (or waits for a line) before looking.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ZULLogger.h"
#include "platform/system_log.h"

class LogCapture {
 public:
  LogCapture() : state_(std::make_shared<State>()) {
    // The sink owns what it writes to, so a write still under way when the capture ends
    // finds it in place.
    previous_ = platform::SystemLog::setCaptureSink(
        [state = state_](const platform::SystemLog::Entry& entry) {
          std::lock_guard lock(state->mutex);
          state->entries.push_back(entry);
          state->changed.notify_all();
        });
  }
  ~LogCapture() {
    ZULLoggerFlush();
    platform::SystemLog::setCaptureSink(std::move(previous_));
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written so far, once the lines already queued have been written.
  std::vector<platform::SystemLog::Entry> entries() {
    ZULLoggerFlush();
    std::lock_guard lock(state_->mutex);
    return state_->entries;
  }
  std::vector<std::string> lines() {
    std::vector<std::string> result;
    for (const auto& entry : entries()) result.push_back(entry.message);
    return result;
  }
  // Whether some written line contains the text.
  bool contains(const std::string& text) {
    const auto all = lines();
    return std::any_of(all.begin(), all.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }
  // Waits (real time) for a line containing the text, for lines that pass through another
  // queue before they reach the logger.
  bool waitFor(const std::string& text, double timeoutSeconds = 10) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
      return std::any_of(state_->entries.begin(), state_->entries.end(), [&](const auto& entry) {
        return entry.message.find(text) != std::string::npos;
      });
    });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<platform::SystemLog::Entry> entries;
  };
  std::shared_ptr<State> state_;
  platform::SystemLog::Sink previous_;
};
