// Feeds the monitor's stored state with values of any kind, as a damaged preferences file may
// hold them (the health sample in the shared defaults and in the monitor's suite, the move's
// state, the debug and verbose flags), and launch arguments of any text, through the move, the
// sample's load, its updates and its dispatch, and the reading of the switches. A loaded sample
// is a valid entry or none, its count never passes the largest 32-bit count, a dispatch gives
// none, "0:" or the entry's count and key, and a switch-off argument always wins.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "analytics/data/tests/memory_config_store.h"
#include "analytics/engine/APMMonitorStoredState.h"
#include "analytics/engine/APMMonitoringSampledData.h"
#include "fuzz/fuzz_input.h"
#include "platform/clock.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;
using platform::Value;

constexpr int kMaxDepth = 3;
constexpr std::size_t kMaxElements = 6;

const char* const kSwitches[] = {"-DAVOdazaradoDebugEnabled",
                                 "-noDAVOdazaradoDebugEnabled",
                                 "-APMAnalyticsDebugEnabled",
                                 "-noAPMAnalyticsDebugEnabled",
                                 "-ZIRDebugEnabled",
                                 "-ZIRDebugDisabled",
                                 "-APMAnalyticsVerboseLoggingEnabled",
                                 "-APMAnalyticsVerboseLoggingDisabled",
                                 "-DAVOdazaradoVerboseLoggingEnabled",
                                 "-DAVOdazaradoVerboseLoggingDisabled"};

Value readValue(fuzz::FuzzInput& input, int depth) {
  switch (input.byte() % 11) {
  case 0:
    return Value();
  case 1:
    return Value(input.byte() % 2 == 1);
  case 2:
    return Value(static_cast<std::int64_t>(input.integer(8)));
  case 3:
    return Value(static_cast<std::uint64_t>(input.integer(8)));
  case 4:
    return Value(input.real());
  case 5:
    return Value(input.shortText());
  case 6:
    return Value(platform::Data::fromString(input.shortText()));
  case 7:
    return Value(platform::Date::fromTimeIntervalSince1970(input.real()));
  case 8:
    // A small count, most often the entry's own four elements.
    if (depth < kMaxDepth) {
      platform::Array array;
      const std::size_t count = input.byte() % kMaxElements;
      for (std::size_t i = 0; i < count; ++i) array.push_back(readValue(input, depth + 1));
      return Value(std::move(array));
    }
    return Value();
  case 9:
    if (depth < kMaxDepth) {
      platform::Dictionary dictionary;
      const std::size_t count = input.byte() % kMaxElements;
      for (std::size_t i = 0; i < count; ++i) {
        dictionary.set(input.shortText(), readValue(input, depth + 1));
      }
      return Value(std::move(dictionary));
    }
    return Value();
  default: {
    // An entry of the right shape whose elements may still be of any kind.
    platform::Array entry{
        Value(input.shortText()), Value(static_cast<std::int64_t>(input.integer(4))),
        Value(input.shortText()),
        Value(platform::Date::fromTimeIntervalSince1970(static_cast<double>(input.integer(4))))};
    if (input.byte() % 4 == 0) entry[input.byte() % 4] = readValue(input, kMaxDepth);
    return Value(std::move(entry));
  }
  }
}

void maybeStore(fuzz::FuzzInput& input, MemoryConfigStore& store, const char* key) {
  if (input.byte() % 3 != 0) store.setObject(readValue(input, 0), key);
}

bool isCount(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool clockInstalled = [] {
    platform::Clock::install(std::make_shared<platform::ManualClock>());
    return true;
  }();
  (void)clockInstalled;
  fuzz::FuzzInput input(data, size);

  MemoryConfigStore shared;
  MemoryConfigStore suite;
  maybeStore(input, shared, kAPMHealthMonitorKey);
  maybeStore(input, suite, kAPMHealthMonitorKey);
  maybeStore(input, suite, kAPMMonitorMigrationStateKey);
  maybeStore(input, shared, kAPMDebugModeKey);
  maybeStore(input, shared, kAPMVerboseLoggingKey);

  const std::int64_t stateBefore = suite.integerForKey(kAPMMonitorMigrationStateKey);
  APMMonitorMigrateStoredSample(shared, suite);
  const std::int64_t stateAfter = suite.integerForKey(kAPMMonitorMigrationStateKey);
  if (stateBefore == 0 || stateBefore == 1) {
    fuzzCheck(stateAfter == 2, "a started move finishes");
    fuzzCheck(!shared.objectForKey(kAPMHealthMonitorKey), "a finished move empties the old place");
  } else {
    fuzzCheck(stateAfter == stateBefore, "a finished or unknown move state is left alone");
  }

  const std::optional<platform::Array> stored = suite.arrayForKey(kAPMHealthMonitorKey);
  APMMonitoringSampledData sample(stored, [&input](std::uint64_t bound) {
    return static_cast<std::uint64_t>(input.integer(2)) % bound;
  });
  if (stored && APMMonitoringSampledData::isValidUserDefaultsArrayEntry(*stored)) {
    fuzzCheck(sample.sampledData() == stored, "a valid stored entry loads as it is");
  } else {
    fuzzCheck(!sample.sampledData(), "anything else loads as no entry");
  }

  const int calls = input.byte() % 8;
  for (int i = 0; i < calls; ++i) {
    sample.insertOrUpdateSampledDataWithKey(input.shortText(), input.shortText());
    const auto entry = sample.sampledData();
    fuzzCheck(entry && APMMonitoringSampledData::isValidUserDefaultsArrayEntry(*entry),
              "an updated entry stays valid");
  }
  const auto before = sample.sampledData();
  const auto health = sample.monitoringDataForDispatchWithSamplePeriod(input.real(), input.real());
  if (health && *health != "0:") {
    fuzzCheck(before.has_value(), "only an entry dispatches its count");
    fuzzCheck(!sample.sampledData(), "a dispatched entry is gone");
    const std::string prefix =
        std::to_string((*before)[1].integerValue()) + ":" + *(*before)[2].asString();
    fuzzCheck(health->compare(0, prefix.size(), prefix) == 0, "the count and key lead");
    fuzzCheck(isCount(health->substr(0, health->find(':'))), "the count is written in digits");
  }

  std::vector<std::string> arguments;
  const int argumentCount = input.byte() % 6;
  for (int i = 0; i < argumentCount; ++i) {
    const std::uint8_t choice = input.byte();
    arguments.push_back(choice < 200 ? std::string(kSwitches[choice % std::size(kSwitches)])
                                     : input.shortText());
  }
  const bool hasClass = input.byte() % 2 == 1;
  const APMMonitorSwitches switches =
      APMMonitorSwitches::fromLaunch(arguments, shared.boolForKey(kAPMDebugModeKey),
                                     shared.boolForKey(kAPMVerboseLoggingKey), hasClass);
  const auto holds = [&](const char* name) {
    return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
  };
  if (holds("-noDAVOdazaradoDebugEnabled") || holds("-noAPMAnalyticsDebugEnabled") ||
      holds("-ZIRDebugDisabled")) {
    fuzzCheck(switches.debugMode == false, "a debug switch-off argument wins");
  }
  if (holds("-APMAnalyticsVerboseLoggingDisabled") ||
      holds("-DAVOdazaradoVerboseLoggingDisabled")) {
    fuzzCheck(switches.verboseLogging == false, "a verbose switch-off argument wins");
  }
  fuzzCheck(!switches.deferToZIRLogger || hasClass, "deferring needs the configuration class");
  return 0;
}
