// APMMonitor: the analytics client's own diagnostic logger. A call carries a monitor level (0 to
// 8), a message code fixed per call site and contexts; loggable calls become shared-logger lines
// "I-ACS" plus six digits under the log tag, monitorable ones feed the health sample that bundles
// carry. It also owns the analytics debug mode and verbose logging switches.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/data/APMConfigStore.h"
#include "analytics/engine/APMASLLogger.h"
#include "analytics/engine/APMMonitoringSampledData.h"
#include "analytics/messages/APMServices.h"
#include "platform/dispatch.h"
#include "platform/value.h"

class APMMonitor : public APMMonitorLogging, public std::enable_shared_from_this<APMMonitor> {
 public:
  // What the monitor asks of the process; an empty member asks the real one (the App Store
  // check, the class registry, the shared analytics defaults, the monitor's own suite, a
  // uniform random source).
  struct Environment {
    std::function<bool()> isFromAppStore;
    std::function<bool(std::string_view className)> classExists;
    std::shared_ptr<APMConfigStore> sharedDefaults;
    std::shared_ptr<APMConfigStore> monitorDefaults;
    APMMonitoringSampledData::RandomBelow randomBelow;
  };

  // Level 6 and a new console logger.
  static std::shared_ptr<APMMonitor> initWithLibraryVersion(std::int64_t libraryVersion);
  // At its first use, not at creation, the monitor moves the stored sample into place and loads
  // it on the monitor queue, then, unless this is an App Store build, sets the switches from the
  // launch arguments and the stored flags: the shared monitor is made at class-load time, before
  // the process's bundle and preferences are in place.
  static std::shared_ptr<APMMonitor> initWithLogLevel(std::int64_t logLevel,
                                                      std::shared_ptr<APMASLLogger> logger,
                                                      std::int64_t libraryVersion,
                                                      Environment environment = {});

  std::int64_t logLevel() const;
  void setLogLevel(std::int64_t logLevel);
  std::int64_t libraryVersion() const { return libraryVersion_; }
  bool deferToZIRLogger() const;

  // The switches may be set from any queue; each setter's steps run as one.
  bool isDebugModeEnabled() const override;
  void setDebugModeEnabled(bool enabled);
  bool isVerboseLoggingEnabled() const;
  void setVerboseLoggingEnabled(bool enabled);
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setEncodeContexts(bool encodeContexts) { encodeContexts_.store(encodeContexts); }
  // The service tag of console lines, "<DedArorarivuva>" at creation.
  std::string logTag() const;
  void setLogTag(std::string logTag);

  // Never fails towards the caller; console writes and sample updates run on the monitor
  // queue, in the order of the calls.
  void logWithLevel(std::int64_t level, std::int64_t messageCode,
                    const std::optional<std::string>& message,
                    const platform::Array& contexts = {}) override;

  // Waits for the sample updates queued before it.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Empties the sample and removes the stored debug flag; the switches stay as they are.
  void clearMonitoringData();

  // "ERROR", "WARNING", "NOTICE" or "DEBUG" for levels 0..7, none otherwise.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(std::int64_t level);
  // Levels 2, 5 and any outside 0..8 never reach the console.
  static bool isSilentLevel(std::int64_t level);
  // Levels 1, 2, 4, 5 and any outside 0..8 feed the health sample.
  static bool isMonitorableLevel(std::int64_t level);
  // The shared-logger level of a monitor level (3, 4, 5 or 7; 4 outside 0..8).
  static int sharedLoggerLevelOf(std::int64_t level);

  // The contexts in a form that shows no user data: strings as "-", numbers as themselves up to
  // 99 and as their decade beyond, errors by their domain.
  static std::string encodedStringWithContextArray(const platform::Array& contexts,
                                                   bool insertSpaces);
  static std::string encodedStringWithContextObject(const platform::Value& context);
  // The console text: the message (or "(Message was nil)" / "(Message was empty)"), then ": "
  // and the contexts, described or encoded.
  static std::string stringWithLogMessage(const std::optional<std::string>& message,
                                          std::int64_t logLevel, const platform::Array& contexts,
                                          bool encodeContexts);
  // The first analytics frame of the exception's call stack from its third line on, else its
  // name; none for no exception.
  static std::optional<std::string>
  lastAPMSymbolFromException(const std::shared_ptr<const APMExceptionContext>& exception);
  // "1", the severity letter (E, W or ?), "_", the library version, ":" and the message.
  static std::string monitoringDataKeyWithMessage(const std::optional<std::string>& message,
                                                  std::int64_t logLevel,
                                                  std::int64_t libraryVersion);

  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

 private:
  APMMonitor(std::int64_t logLevel, std::shared_ptr<APMASLLogger> logger,
             std::int64_t libraryVersion, Environment environment);
  // Runs the start once; every public entry that reads or changes state comes through it.
  void ensureStarted() const;
  void start();
  void switchDebugMode(bool enabled);
  void switchVerboseLogging(bool enabled);
  void write(std::int64_t level, std::int64_t messageCode,
             const std::optional<std::string>& message, const platform::Array& contexts);

  bool isLoggableLevel(std::int64_t level) const;
  void logToConsole(std::int64_t messageCode, std::string text, std::int64_t logLevel);
  void insertOrUpdateMonitoringDataWithMessage(const std::optional<std::string>& message,
                                               std::string encodedContext, std::int64_t logLevel);
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void migrateMonitorDataOnMonitorQueue();
  void synchronizeToDiskOnMonitorQueue();

  std::atomic<std::int64_t> logLevel_;
  const std::shared_ptr<APMASLLogger> logger_;
  const platform::QueuePtr monitorQueue_;
  const std::int64_t libraryVersion_;
  // Filled in by the start, before anything reads them.
  Environment environment_;
  bool isFromAppStore_ = false;
  std::atomic<bool> deferToZIRLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable std::once_flag startOnce_;
  mutable std::atomic<bool> started_{false};

  // Makes each switch setter's level, shared-logger level, stored flag and line one step.
  std::mutex switchesMutex_;
  mutable std::mutex logTagMutex_;
  std::string logTag_;

  // Touched only on the monitor queue.
  APMMonitoringSampledData monitoringSampledData_;
};
