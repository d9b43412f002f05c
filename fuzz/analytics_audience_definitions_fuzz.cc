// A configuration document of any bytes, as the service may send it, whose audiences are
// handed to the audience evaluator over a temporary analytics database (every other input
// inside the caller's transaction). The update never fails on a healthy database, and every
// filter it leaves stored decodes, carries the names and ID of its row, and belongs to an
// audience that passes the definition check again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "analytics/audiences/APMAudience.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "fuzz/fuzz_input.h"
#include "platform/files.h"

namespace {

// The configuration's repeated `audiences` field.
constexpr std::int32_t kAudiencesIndex = 5;

std::shared_ptr<APMAudience> makeAudience() {
  std::string folder =
      (platform::temporaryDirectory() / "vilmo-fuzz-audience-definitions-XXXXXX").string();
  fuzz::fuzzCheck(mkdtemp(folder.data()) != nullptr, "a temporary folder is made");
  static const std::string* const root = new std::string(folder);
  std::atexit([] { std::filesystem::remove_all(*root); });
  for (const char* variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
    setenv(variable, folder.c_str(), 1);
  }
  const auto persisted = APMPersistedConfig::initWithSuiteName("fuzz-audience-definitions");
  fuzz::fuzzCheck(persisted != nullptr, "the persisted configuration is made");
  platform::ErrorPtr error;
  auto database =
      APMDatabase::initWithDatabaseName("rerora-app-measurement.sql", persisted, &error);
  fuzz::fuzzCheck(database != nullptr, "the database is made");
  return APMAudience::initWithDatabase(database);
}

std::vector<platform::Dictionary> rows(APMDatabase& database, const std::string& query) {
  platform::ErrorPtr error;
  auto records = database.sqliteStore()->recordsForQuery(query, {}, &error);
  fuzz::fuzzCheck(records.has_value(), "the stored filters can be read");
  return records.value_or(std::vector<platform::Dictionary>{});
}

template <typename Message>
std::shared_ptr<Message> storedMessage(const platform::Dictionary& row) {
  const platform::Data* data = row["data"].asData();
  fuzz::fuzzCheck(data != nullptr, "a stored filter has its message");
  auto message = Message::initWithBuffer(data);
  fuzz::fuzzCheck(message != nullptr, "a stored filter's message decodes");
  return message;
}

// Every stored filter, regrouped into its audience, passes the check that let it in.
void checkStoredFilters(APMDatabase& database) {
  std::map<std::int32_t, NanoObjectArray> eventFilters;
  std::map<std::int32_t, NanoObjectArray> propertyFilters;
  for (const auto& row : rows(database, "SELECT * FROM event_filters")) {
    auto message = storedMessage<APMPBEventFilter>(row);
    fuzz::fuzzCheck(
        nano_get_int32(message.get(), APMPBEventFilterFields::kFilterID) ==
                row["filter_id"].intValue() &&
            row["event_name"] ==
                platform::Value(nano_get_string(message.get(), APMPBEventFilterFields::kEventName)
                                    .value_or("")),
        "an event filter row holds its message's ID and name");
    eventFilters[row["audience_id"].intValue()].emplace_back(NanoMessagePtr(message));
  }
  for (const auto& row : rows(database, "SELECT * FROM property_filters")) {
    auto message = storedMessage<APMPBPropertyFilter>(row);
    fuzz::fuzzCheck(
        nano_get_int32(message.get(), APMPBPropertyFilterFields::kFilterID) ==
                row["filter_id"].intValue() &&
            row["property_name"] ==
                platform::Value(
                    nano_get_string(message.get(), APMPBPropertyFilterFields::kPropertyName)
                        .value_or("")),
        "a property filter row holds its message's ID and name");
    propertyFilters[row["audience_id"].intValue()].emplace_back(NanoMessagePtr(message));
  }
  std::set<std::int32_t> audienceIDs;
  for (const auto& [id, filters] : eventFilters) audienceIDs.insert(id);
  for (const auto& [id, filters] : propertyFilters) audienceIDs.insert(id);
  for (std::int32_t id : audienceIDs) {
    auto audience = APMPBAudience::initWithMessageInfo(nullptr);
    nano_set_int32(audience.get(), APMPBAudienceFields::kAudienceID, id);
    nano_set_array(audience.get(), APMPBAudienceFields::kEventFilters, &eventFilters[id]);
    nano_set_array(audience.get(), APMPBAudienceFields::kPropertyFilters, &propertyFilters[id]);
    platform::ErrorPtr error;
    fuzz::fuzzCheck(APMValidateAudience(audience.get(), {}, &error),
                    "a stored audience passes the definition check");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::shared_ptr<APMAudience> evaluator = makeAudience();
  const platform::Data bytes = fuzz::dataOf(data, size);
  const auto config = APMPBMeasurementConfig::initWithBuffer(&bytes);
  if (!config) return 0;
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (const auto& object :
       nano_get_array(config.get(), kAudiencesIndex, &APMPBAudience::messageClass())
           .value_or(NanoObjectArray{})) {
    if (const auto* message = std::get_if<NanoMessagePtr>(&object)) {
      if (auto audience = std::dynamic_pointer_cast<APMPBAudience>(*message))
        audiences.push_back(audience);
    }
  }
  APMDatabase& database = *evaluator->database();
  if (size % 2 == 0) {
    bool updated = false;
    fuzz::fuzzCheck(database.performTransaction([&] {
      updated = evaluator->updateAudiences(audiences);
      return updated;
    }),
                    "the update commits inside the caller's transaction");
    fuzz::fuzzCheck(updated, "the update succeeds inside a transaction");
  } else {
    fuzz::fuzzCheck(evaluator->updateAudiences(audiences), "the update succeeds");
  }
  checkStoredFilters(database);
  return 0;
}
