// Drives the measurement core over stored state as a damaged disk hands it back. The input
// is the state first: the daily counts of the "app_metadata" row, then rows of
// "user_attributes", "events" (the event aggregates) and "raw_events_metadata" whose columns
// are of any kind, and the persisted default event parameters, first-open count, feature
// rollouts and session number as values of any shape; then a run of operations on the
// worker queue: user property writes and removals, default event parameters of any shape and
// events logged through the whole pipeline. Nothing may crash or hang; defaults written by
// the core hold only valid names with strings and numbers, within the configured limit; an
// event's own parameters win over the defaults; a property the core says it stored reads
// back with its value.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMDataTypeValidator.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMSqliteStore.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/engine/APMAlarm.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/APMScheduler.h"
#include "analytics/messages/APMServices.h"
#include "fuzz/analytics_fuzz_home.h"
#include "fuzz/fuzz_input.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr int kMaxRows = 6;
constexpr int kMaxOperations = 12;
constexpr int kMaxEntries = 8;
constexpr int kMaxDepth = 2;

constexpr const char* kPropertyNames[] = {"_id",  "_lair", "_npa", "_fot",  "_fi",
                                          "_sid", "_sno",  "_se",  "colour"};
constexpr const char* kOrigins[] = {"app", "auto", "am", "fa"};
constexpr const char* kEventNames[] = {"_f",  "_s",   "_e",  "_err",     "_ssr",
                                       "_ae", "_iap", "_vs", "purchase", "file_renamed"};
constexpr const char* kParameterNames[] = {
    "a", "b", "value", "currency", "_ffr", "_et", "extend_session", "_did", "items", "_o"};

struct Core {
  std::shared_ptr<APMPersistedConfig> persisted;
  std::shared_ptr<APMMeasurement> measurement;
  std::string databasePath;
};

// One started core for the process; each input replaces the stored state it works on.
Core& core() {
  static Core* const shared = [] {
    fuzz::isolateHome("vilmo-fuzz-core");
    APMMeasurement::monitor();
    APMServicesSetMonitor(std::make_shared<fuzz::SilentMonitor>());
    auto* made = new Core;
    made->persisted = APMPersistedConfig::initWithSuiteName("com.rerora.viz.measurement.fuzz");
    fuzzCheck(made->persisted != nullptr, "the persisted configuration opens");
    auto scheduler = std::make_shared<APMScheduler>(APMMeasurement::kWorkerQueueLabel);
    auto alarm =
        APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), APMMeasurement::kAlarmName);
    made->measurement = APMMeasurement::initWithDatabaseName(
        APMMeasurement::kDatabaseName, made->persisted, nullptr, std::move(scheduler),
        std::move(alarm), "1:123:ios:abc", true, false, std::nullopt, nullptr);
    fuzzCheck(made->measurement != nullptr, "the core is made");
    bool started = false;
    made->measurement->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "fuzz", [&] { started = made->measurement->startMeasurementOnWorkerQueue(); });
    fuzzCheck(started && made->measurement->database(), "the core starts with its database");
    made->databasePath = made->measurement->database()->sqliteStore()->databasePath();
    return made;
  }();
  return *shared;
}

// A column value of any kind, blobs included.
platform::Value columnValue(fuzz::FuzzInput& input) {
  const unsigned selector = input.byte() % 6;
  if (auto value = fuzz::columnValue(input, selector)) return *value;
  if (selector == 4) return platform::Value(platform::Data::fromString(input.shortText()));
  return platform::Value(static_cast<std::int64_t>(input.byte()));
}

// Mostly one of the names the core knows, so that the state meets the code that reads it.
template <std::size_t N>
std::string nameFrom(fuzz::FuzzInput& input, const char* const (&names)[N]) {
  const std::uint8_t choice = input.byte();
  if (choice < 224) return names[choice % N];
  return input.shortText();
}

platform::Value anyValue(fuzz::FuzzInput& input, int depth) {
  switch (input.byte() % 9) {
  case 0:
    return platform::Value();
  case 1:
    return platform::Value(input.byte() % 2 == 1);
  case 2:
    return platform::Value(static_cast<std::int64_t>(input.integer(input.byte() % 9)));
  case 3:
    return platform::Value(input.real());
  case 4:
  case 5:
    return platform::Value(input.shortText());
  case 6:
    return platform::Value(platform::Data::fromString(input.shortText()));
  case 7: {
    platform::Array array;
    const int count = depth < kMaxDepth ? input.byte() % (kMaxEntries + 1) : 0;
    for (int i = 0; i < count; ++i) array.push_back(anyValue(input, depth + 1));
    return platform::Value(std::move(array));
  }
  default: {
    platform::Dictionary dictionary;
    const int count = depth < kMaxDepth ? input.byte() % (kMaxEntries + 1) : 0;
    for (int i = 0; i < count; ++i) {
      std::string key = nameFrom(input, kParameterNames);
      dictionary.set(std::move(key), anyValue(input, depth + 1));
    }
    return platform::Value(std::move(dictionary));
  }
  }
}

platform::Dictionary anyDictionary(fuzz::FuzzInput& input) {
  platform::Dictionary dictionary;
  const int count = input.byte() % (kMaxEntries + 1);
  for (int i = 0; i < count; ++i) {
    std::string key = nameFrom(input, kParameterNames);
    dictionary.set(std::move(key), anyValue(input, 1));
  }
  return dictionary;
}

void bind(sqlite3_stmt* statement, int index, const platform::Value& value) {
  if (value.type() == platform::Value::Type::Int) {
    sqlite3_bind_int64(statement, index, *value.asInt());
  } else if (value.type() == platform::Value::Type::Double) {
    sqlite3_bind_double(statement, index, value.doubleValue());
  } else if (const std::string* text = value.asString()) {
    sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                      SQLITE_TRANSIENT);
  } else if (const platform::Data* data = value.asData()) {
    sqlite3_bind_blob(statement, index, data->bytes(), static_cast<int>(data->length()),
                      SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(statement, index);
  }
}

// Runs one statement with the values bound in order; a row the table refuses is no matter.
void execute(sqlite3* db, const char* sql, std::initializer_list<platform::Value> values) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return;
  }
  int index = 1;
  for (const platform::Value& value : values) bind(statement, index++, value);
  sqlite3_step(statement);
  sqlite3_finalize(statement);
}

// The state of the tables the core reads, written behind its back through a connection of
// our own, as another program or a damaged disk would leave it.
void plantRows(fuzz::FuzzInput& input, const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return;
  }
  sqlite3_exec(db,
               "BEGIN; DELETE FROM user_attributes; DELETE FROM events; "
               "DELETE FROM raw_events; DELETE FROM raw_events_metadata; "
               "DELETE FROM subscriptions;",
               nullptr, nullptr, nullptr);
  if (input.byte() % 2 == 1) {
    // Today's index mostly, so that the counts are not simply reset.
    const auto today =
        static_cast<std::int64_t>(platform::Clock::current().now().timeIntervalSince1970() / 86400);
    const platform::Value day = input.byte() < 192 ? platform::Value(today) : columnValue(input);
    execute(db,
            "UPDATE app_metadata SET day = ?, daily_conversions_count = ?, "
            "daily_events_count = ?, daily_public_events_count = ?, "
            "daily_error_events_count = ?, daily_real_time_conversion_events_count = ?, "
            "daily_real_time_dcu_events_count = ?",
            {day, columnValue(input), columnValue(input), columnValue(input), columnValue(input),
             columnValue(input), columnValue(input)});
  }
  for (int rows = input.byte() % (kMaxRows + 1); rows > 0; --rows) {
    const platform::Value name =
        input.byte() < 224 ? platform::Value(nameFrom(input, kPropertyNames)) : columnValue(input);
    execute(db,
            "INSERT OR REPLACE INTO user_attributes (name, set_timestamp, value, origin) "
            "VALUES (?, ?, ?, ?)",
            {name, columnValue(input), columnValue(input),
             input.byte() < 192 ? platform::Value(nameFrom(input, kOrigins)) : columnValue(input)});
  }
  for (int rows = input.byte() % (kMaxRows + 1); rows > 0; --rows) {
    const platform::Value name =
        input.byte() < 224 ? platform::Value(nameFrom(input, kEventNames)) : columnValue(input);
    execute(db,
            "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, "
            "last_fire_timestamp, current_session_count) VALUES (?, ?, ?, ?, ?)",
            {name, columnValue(input), columnValue(input), columnValue(input), columnValue(input)});
  }
  for (int rows = input.byte() % (kMaxRows + 1); rows > 0; --rows) {
    const platform::Data metadata =
        platform::Data::fromString(input.text(static_cast<std::size_t>(input.integer(2))));
    execute(db,
            "INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) "
            "VALUES (?, ?)",
            {columnValue(input), platform::Value(metadata)});
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

void plantPersisted(fuzz::FuzzInput& input, APMPersistedConfig& persisted) {
  if (input.byte() % 4 != 0)
    persisted.setDefaultEventParameters(anyDictionary(input));
  else
    persisted.setDefaultEventParameters(std::nullopt);
  persisted.setNumber(anyValue(input, kMaxDepth), "/rerora/measurement/previous_first_open_count");
  persisted.setNumber(anyValue(input, kMaxDepth), "/rerora/measurement/ziruzada_feature_rollouts");
  persisted.setNumber(anyValue(input, kMaxDepth), "/rerora/measurement/session_number");
}

void checkDefaults(APMMeasurement& measurement, APMPersistedConfig& persisted) {
  const auto stored = persisted.defaultEventParameters();
  fuzzCheck(stored.has_value(), "written defaults are stored");
  const auto limit =
      static_cast<std::size_t>(measurement.remoteConfigInstance()->maxPublicEventParams());
  fuzzCheck(stored->size() <= limit, "written defaults keep within the limit");
  for (const auto& [name, value] : *stored) {
    fuzzCheck(value.isNumber() || value.isString(), "a written default is a string or a number");
    fuzzCheck(APMDataTypeValidator::isValidPublicEventParameterName(platform::Value(name)),
              "a written default has a valid name");
  }
}

void setProperty(fuzz::FuzzInput& input, APMMeasurement& measurement) {
  const std::string origin = nameFrom(input, kOrigins);
  const std::string name = nameFrom(input, kPropertyNames);
  const platform::Value value =
      input.byte() % 2 == 1
          ? platform::Value(APMValue::initWithString(platform::Value(input.shortText())))
          : platform::Value(APMValue::initWithInt64(static_cast<std::int64_t>(input.integer(8))));
  const auto attribute = APMUserAttribute::initWithOrigin(
      origin, name, value, platform::Clock::current().now().timeIntervalSince1970());
  if (!attribute) return;
  if (!measurement.setUserPropertyInDatabaseOnWorkerQueue(attribute)) return;
  const auto stored = measurement.database()->userAttributeWithName(name, nullptr);
  fuzzCheck(stored && stored->value() &&
                stored->value()->value().description() == attribute->value()->value().description(),
            "a property the core stored reads back with its value");
}

void logEvent(fuzz::FuzzInput& input, APMMeasurement& measurement) {
  const std::string origin = nameFrom(input, kOrigins);
  const std::string name = nameFrom(input, kEventNames);
  const bool isPublic = !name.empty() && name[0] != '_';
  const platform::Dictionary parameters = anyDictionary(input);

  const platform::Dictionary merged =
      measurement.parametersWithAddedDefaultEventParameters(parameters);
  // Compared as text: a NaN is not equal to itself.
  for (const auto& [key, value] : parameters) {
    fuzzCheck(merged.contains(key) && merged[key].description() == value.description(),
              "an event's own parameters win over the defaults");
  }
  measurement.logEventOnWorkerQueueWithOrigin(
      origin, isPublic, name, parameters, platform::Clock::current().now().timeIntervalSince1970(),
      true, false, false, nullptr, {});
}

void operate(fuzz::FuzzInput& input, Core& state) {
  APMMeasurement& measurement = *state.measurement;
  switch (input.byte() % 5) {
  case 0:
    setProperty(input, measurement);
    break;
  case 1: {
    const std::string name = nameFrom(input, kPropertyNames);
    const auto attribute = APMUserAttribute::initWithOrigin(
        nameFrom(input, kOrigins), name, platform::Value(APMValue::initWithInt64(0)), 0);
    if (attribute) measurement.removeUserAttributeOnWorkerQueue(attribute);
    break;
  }
  case 2: {
    const std::optional<platform::Dictionary> given =
        input.byte() % 8 == 0 ? std::nullopt : std::optional(anyDictionary(input));
    measurement.handleSetDefaultEventParametersOnWorkerQueue(given);
    if (measurement.isEnabled()) checkDefaults(measurement, *state.persisted);
    break;
  }
  default:
    logEvent(input, measurement);
    break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Core& state = core();
  fuzz::FuzzInput input(data, size);
  state.measurement->scheduler()->dispatchSyncOnWorkerQueueBlockID("fuzz", [&] {
    plantRows(input, state.databasePath);
    plantPersisted(input, *state.persisted);
    for (int operations = input.byte() % (kMaxOperations + 1); operations > 0; --operations) {
      operate(input, state);
    }
  });
  return 0;
}
