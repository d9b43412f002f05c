#include "analytics/engine/APMMonitor.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <sstream>
#include <utility>
#include <vector>

#include "analytics/data/APMAEU.h"
#include "analytics/data/APMUserDefaults.h"
#include "analytics/engine/APMMonitorStoredState.h"
#include "foundation/ZIRLogger.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/object_runtime.h"
#include "platform/process_info.h"

namespace {

struct LevelProperties {
  const char* severity;  // none for the verbose level
  int loggerLevel;
  bool silent;
  bool monitorable;
};

constexpr std::array<LevelProperties, 9> kLevels{{
    {"ERROR", ZULLoggerLevelError, false, false},
    {"ERROR", ZULLoggerLevelError, false, true},
    {"ERROR", ZULLoggerLevelError, true, true},
    {"WARNING", ZULLoggerLevelWarning, false, false},
    {"WARNING", ZULLoggerLevelWarning, false, true},
    {"WARNING", ZULLoggerLevelWarning, true, true},
    {"NOTICE", ZULLoggerLevelNotice, false, false},
    {"DEBUG", ZULLoggerLevelDebug, false, false},
    {nullptr, ZULLoggerLevelDebug, false, false},
}};
// Levels outside the table are never written and always sampled.
constexpr LevelProperties kUnknownLevel{nullptr, ZULLoggerLevelWarning, true, true};
constexpr std::int64_t kDefaultLevel = 6;
constexpr std::int64_t kDebugLevel = 7;
constexpr std::int64_t kVerboseLevel = 8;

const LevelProperties& propertiesOf(std::int64_t level) {
  if (level < 0 || level >= static_cast<std::int64_t>(kLevels.size())) return kUnknownLevel;
  return kLevels[static_cast<std::size_t>(level)];
}

// The decade of a number of at least 100 in magnitude. Worked out on the unsigned magnitude:
// the smallest signed number has no signed negation, and its decade's outer bound,
// -9999999999999999999, lies beyond the signed range, so bounds are written from magnitudes.
std::string encodedNumber(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  if (magnitude <= 99) return std::to_string(value);
  // Counting digits rather than taking a floating logarithm, which rounds 999999999999999999
  // up to the next decade.
  std::uint64_t lower = 1;
  while (magnitude / lower >= 10) lower *= 10;
  const std::uint64_t upper = lower * 10 - 1;
  if (value > 0) return std::to_string(lower) + "..." + std::to_string(upper);
  return "-" + std::to_string(upper) + "...-" + std::to_string(lower);
}

bool containsAPMIgnoringCase(const std::string& text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return true;
    }
  }
  return false;
}

std::vector<std::string> piecesOf(const std::string& line) {
  std::vector<std::string> pieces;
  std::istringstream stream(line);
  std::string piece;
  while (stream >> piece) pieces.push_back(piece);
  return pieces;
}

// The monitor contexts that measurement errors among the contexts carry, joined by ",".
std::string monitorContextsOf(const platform::Array& contexts) {
  std::string joined;
  for (const platform::Value& context : contexts) {
    const auto error = context.asObjectOf<APMErrorContext>();
    if (!error || !error->error() || error->error()->domain() != kAPMErrorDomain) continue;
    const std::string* text = error->error()->userInfo()[kAPMMonitorContextKey].asString();
    if (text == nullptr || text->empty()) continue;
    if (!joined.empty()) joined += ",";
    joined += *text;
  }
  return joined;
}

APMMonitor::Environment resolved(APMMonitor::Environment environment) {
  if (!environment.isFromAppStore) environment.isFromAppStore = &APMAEU::isFAS;
  if (!environment.classExists) {
    environment.classExists = [](std::string_view name) {
      return platform::ObjectRuntime::classNamed(name) != nullptr;
    };
  }
  if (!environment.sharedDefaults)
    environment.sharedDefaults = APMUserDefaults::sharedUserDefaults();
  if (!environment.monitorDefaults) {
    environment.monitorDefaults = std::make_shared<APMUserDefaults>(kAPMMonitorSuiteName);
  }
  return environment;
}

}  // namespace

std::shared_ptr<APMMonitor> APMMonitor::initWithLibraryVersion(std::int64_t libraryVersion) {
  return initWithLogLevel(kDefaultLevel, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<APMMonitor> APMMonitor::initWithLogLevel(std::int64_t logLevel,
                                                         std::shared_ptr<APMASLLogger> logger,
                                                         std::int64_t libraryVersion,
                                                         Environment environment) {
  return std::shared_ptr<APMMonitor>(
      new APMMonitor(logLevel, std::move(logger), libraryVersion, std::move(environment)));
}

APMMonitor::APMMonitor(std::int64_t logLevel, std::shared_ptr<APMASLLogger> logger,
                       std::int64_t libraryVersion, Environment environment)
    : logLevel_(logLevel), logger_(std::move(logger)),
      monitorQueue_(platform::Queue::serial("APMMonitorQueue")), libraryVersion_(libraryVersion),
      environment_(std::move(environment)), logTag_("<DedArorarivuva>"),
      monitoringSampledData_(std::nullopt, environment_.randomBelow) {}

void APMMonitor::ensureStarted() const {
  if (started_.load(std::memory_order_acquire)) return;
  std::call_once(startOnce_, [this] {
    const_cast<APMMonitor*>(this)->start();
    started_.store(true, std::memory_order_release);
  });
}

void APMMonitor::start() {
  environment_ = resolved(std::move(environment_));
  isFromAppStore_ = environment_.isFromAppStore();
  monitorQueue_->async([weak = weak_from_this()] {
    if (const auto self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    }
  });
  if (isFromAppStore_) return;
  const std::vector<std::string> arguments = platform::ProcessInfo::processInfo().arguments();
  const bool storedDebugMode = environment_.sharedDefaults->boolForKey(kAPMDebugModeKey);
  const APMMonitorSwitches switches = APMMonitorSwitches::fromLaunch(
      arguments, storedDebugMode, environment_.sharedDefaults->boolForKey(kAPMVerboseLoggingKey),
      environment_.classExists("ZIRConfiguration"));
  deferToZIRLogger_.store(switches.deferToZIRLogger);
  if (switches.debugMode) switchDebugMode(*switches.debugMode);
  if (switches.verboseLogging) switchVerboseLogging(*switches.verboseLogging);
}

std::int64_t APMMonitor::logLevel() const {
  ensureStarted();
  return logLevel_.load();
}

void APMMonitor::setLogLevel(std::int64_t logLevel) {
  ensureStarted();
  logLevel_.store(logLevel);
}

bool APMMonitor::deferToZIRLogger() const {
  ensureStarted();
  return deferToZIRLogger_.load();
}

bool APMMonitor::isDebugModeEnabled() const {
  ensureStarted();
  return debugModeEnabled_.load();
}

bool APMMonitor::isVerboseLoggingEnabled() const {
  ensureStarted();
  return verboseLoggingEnabled_.load();
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
  ensureStarted();
  switchDebugMode(enabled);
}

void APMMonitor::switchDebugMode(bool enabled) {
  std::lock_guard lock(switchesMutex_);
  const bool on = enabled && !isFromAppStore_;
  logLevel_.store(on ? kDebugLevel : kDefaultLevel);
  if (!deferToZIRLogger_.load()) ZIRLoggerSetLevel(on ? ZULLoggerLevelDebug : ZULLoggerLevelNotice);
  if (on) {
    environment_.sharedDefaults->setBool(true, kAPMDebugModeKey);
    write(kDebugLevel, 24000, "Debug mode is on", {});
  } else {
    environment_.sharedDefaults->removeObjectForKey(kAPMDebugModeKey);
    write(kDebugLevel, 24001, "Debug mode is off", {});
  }
  debugModeEnabled_.store(on);
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  ensureStarted();
  switchVerboseLogging(enabled);
}

void APMMonitor::switchVerboseLogging(bool enabled) {
  std::lock_guard lock(switchesMutex_);
  if (enabled && !isFromAppStore_) {
    logLevel_.store(kVerboseLevel);
    if (!deferToZIRLogger_.load()) ZIRLoggerSetLevel(ZULLoggerLevelDebug);
    environment_.sharedDefaults->setBool(true, kAPMVerboseLoggingKey);
    // Written only when verbose logging was on already: the switch follows the line.
    write(kVerboseLevel, 24003, "Verbose logging is on", {});
    verboseLoggingEnabled_.store(true);
    return;
  }
  const std::int64_t level = debugModeEnabled_.load() ? kDebugLevel : kDefaultLevel;
  logLevel_.store(level);
  if (!deferToZIRLogger_.load()) ZIRLoggerSetLevel(sharedLoggerLevelOf(level));
  environment_.sharedDefaults->removeObjectForKey(kAPMVerboseLoggingKey);
  verboseLoggingEnabled_.store(false);
}

std::string APMMonitor::logTag() const {
  std::lock_guard lock(logTagMutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string logTag) {
  std::lock_guard lock(logTagMutex_);
  logTag_ = std::move(logTag);
}

bool APMMonitor::isLoggableLevel(std::int64_t level) const {
  const LevelProperties& properties = propertiesOf(level);
  return !properties.silent && ZULLoggerLevelPasses(properties.loggerLevel);
}

void APMMonitor::logWithLevel(std::int64_t level, std::int64_t messageCode,
                              const std::optional<std::string>& message,
                              const platform::Array& contexts) {
  ensureStarted();
  write(level, messageCode, message, contexts);
}

void APMMonitor::write(std::int64_t level, std::int64_t messageCode,
                       const std::optional<std::string>& message, const platform::Array& contexts) {
  // Console lines are stamped with the SDK version and follow the core logger's launch
  // switches, which it applies once.
  ZIRLoggerSetUpOnce();
  const bool loggable = isLoggableLevel(level);
  const bool monitorable = isMonitorableLevel(level);
  if (!loggable && !monitorable) return;
  if (level >= kVerboseLevel && !verboseLoggingEnabled_.load()) return;

  if (loggable) {
    logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts()),
                 level);
  }
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    const std::string monitorContexts = monitorContextsOf(contexts);
    if (!monitorContexts.empty()) encoded += "," + monitorContexts;
    insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
  }
}

void APMMonitor::logToConsole(std::int64_t messageCode, std::string text, std::int64_t logLevel) {
  monitorQueue_->async([weak = weak_from_this(), messageCode, text = std::move(text), logLevel] {
    if (const auto self = weak.lock()) {
      self->logger_->logMessage(text, self->logTag(), messageCode, logLevel);
    }
  });
}

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(const std::optional<std::string>& message,
                                                         std::string encodedContext,
                                                         std::int64_t logLevel) {
  std::string key = monitoringDataKeyWithMessage(message, logLevel, libraryVersion_);
  // The period starts at the call, not at the later moment the queue gets to it.
  monitorQueue_->async([weak = weak_from_this(), key = std::move(key),
                        encodedContext = std::move(encodedContext),
                        callTime = platform::Clock::current().now()] {
    if (const auto self = weak.lock()) {
      self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(key, encodedContext, callTime);
      self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
    }
  });
}

std::optional<std::string>
APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                      double lastSampledTimestamp) {
  ensureStarted();
  std::optional<std::string> result;
  monitorQueue_->sync([&] {
    result = monitoringSampledData_.monitoringDataForDispatchWithSamplePeriod(samplePeriod,
                                                                              lastSampledTimestamp);
    if (result) saveMonitoringDataToUserDefaultsOnMonitorQueue();
  });
  return result;
}

void APMMonitor::clearMonitoringData() {
  ensureStarted();
  monitorQueue_->sync([&] {
    environment_.sharedDefaults->removeObjectForKey(kAPMDebugModeKey);
    environment_.sharedDefaults->removeObjectForKey(kAPMHealthMonitorKey);
    environment_.monitorDefaults->removeObjectForKey(kAPMHealthMonitorKey);
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = APMMonitoringSampledData(
      environment_.monitorDefaults->arrayForKey(kAPMHealthMonitorKey), environment_.randomBelow);
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  const std::optional<platform::Array> entry = monitoringSampledData_.sampledData();
  environment_.monitorDefaults->setObject(
      entry ? std::optional<platform::Value>(platform::Value(*entry)) : std::nullopt,
      kAPMHealthMonitorKey);
  synchronizeToDiskOnMonitorQueue();
}

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  APMMonitorMigrateStoredSample(*environment_.sharedDefaults, *environment_.monitorDefaults);
}

void APMMonitor::synchronizeToDiskOnMonitorQueue() { environment_.monitorDefaults->synchronize(); }

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(std::int64_t level) {
  if (level < 0 || level >= kVerboseLevel) return std::nullopt;
  return propertiesOf(level).severity;
}

bool APMMonitor::isSilentLevel(std::int64_t level) { return propertiesOf(level).silent; }

bool APMMonitor::isMonitorableLevel(std::int64_t level) { return propertiesOf(level).monitorable; }

int APMMonitor::sharedLoggerLevelOf(std::int64_t level) { return propertiesOf(level).loggerLevel; }

std::string APMMonitor::encodedStringWithContextArray(const platform::Array& contexts,
                                                      bool insertSpaces) {
  std::string joined;
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) joined += insertSpaces ? ", " : ",";
    joined += encodedStringWithContextObject(contexts[i]);
  }
  return joined;
}

std::string APMMonitor::encodedStringWithContextObject(const platform::Value& context) {
  switch (context.type()) {
  case platform::Value::Type::Null:
    return "";
  case platform::Value::Type::String:
    return "-";
  case platform::Value::Type::Bool:
  case platform::Value::Type::Int:
  case platform::Value::Type::UInt:
  case platform::Value::Type::Double:
    return encodedNumber(context.integerValue());
  case platform::Value::Type::Object:
    if (const auto exception = context.asObjectOf<APMExceptionContext>()) {
      const std::optional<std::string> symbol = lastAPMSymbolFromException(exception);
      return symbol && !symbol->empty() ? *symbol : "-";
    }
    if (const auto error = context.asObjectOf<APMErrorContext>()) {
      return error->error() && !error->error()->domain().empty() ? error->error()->domain() : "-";
    }
    return "?";
  default:
    return "?";
  }
}

std::string APMMonitor::stringWithLogMessage(const std::optional<std::string>& message,
                                             std::int64_t, const platform::Array& contexts,
                                             bool encodeContexts) {
  std::string text = !message           ? "(Message was nil)"
                     : message->empty() ? "(Message was empty)"
                                        : *message;
  if (contexts.empty()) return text;
  if (encodeContexts) return text + ": " + encodedStringWithContextArray(contexts, true);
  text += ": ";
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    const platform::Value& context = contexts[i];
    if (context.isNull()) {
      text += "(nil)";
    } else if (const auto exception = context.asObjectOf<APMExceptionContext>()) {
      const std::optional<std::string> symbol = lastAPMSymbolFromException(exception);
      text += symbol ? *symbol + ": " + exception->description() : exception->description();
    } else {
      text += context.description();
    }
  }
  return text;
}

std::optional<std::string> APMMonitor::lastAPMSymbolFromException(
    const std::shared_ptr<const APMExceptionContext>& exception) {
  if (!exception) return std::nullopt;
  const std::vector<std::string>& lines = exception->callStackSymbols();
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<std::string> pieces = piecesOf(lines[i]);
    if (pieces.size() <= 4) continue;
    // A method name holds a space: "-[APMDatabase open]" splits in two.
    const std::string symbol = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
    if (containsAPMIgnoringCase(symbol)) return symbol;
  }
  return exception->name();
}

std::string APMMonitor::monitoringDataKeyWithMessage(const std::optional<std::string>& message,
                                                     std::int64_t logLevel,
                                                     std::int64_t libraryVersion) {
  const char severity = logLevel >= 0 && logLevel <= 2   ? 'E'
                        : logLevel >= 3 && logLevel <= 5 ? 'W'
                                                         : '?';
  return std::string("1") + severity + "_" + std::to_string(libraryVersion) + ":" +
         (message ? *message : std::string("(null)"));
}
