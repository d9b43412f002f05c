// Drives the audience evaluator over stored filter rows and result blobs as a damaged analytics
// database may hand them back. The input is a run of rows, each a byte choosing the table, a
// small audience id, a filter id of any int32 and blobs of any bytes; the stored state then
// goes through the bit-word reader and writer, an event and a user property evaluation, the
// results for bundling and the session clear. Nothing may crash, and no row may grow beyond
// what the bytes it came from can justify.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/audiences/APMAudience.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMServices.h"
#include "fuzz/analytics_fuzz_home.h"
#include "fuzz/fuzz_input.h"
#include "platform/data.h"
#include "platform/files.h"
#include "platform/value.h"

namespace {

using fuzz::fuzzCheck;

constexpr int kMaxRows = 12;
// Re-encoding may spell each word out with its own tag and pad the shorter array, so a row
// may take a few times its stored bytes, plus the words a configured filter id can add; never
// the gigabytes a damaged int32 filter id would ask for.
constexpr std::size_t kRowSlack = 64;

APMAudience& audience() {
  // Kept for the process: the database stays open across inputs.
  static const std::shared_ptr<APMAudience>* const shared = [] {
    fuzz::isolateHome("vilmo-fuzz-audience");
    APMServicesSetMonitor(std::make_shared<fuzz::SilentMonitor>());
    auto persisted = APMPersistedConfig::initWithSuiteName("audience-results-fuzz");
    auto database = APMDatabase::initWithDatabaseName("audience-fuzz.sql", persisted, nullptr);
    fuzzCheck(database != nullptr, "the database opens");
    auto made = APMAudience::initWithDatabase(database);
    fuzzCheck(made != nullptr, "the evaluator is made");
    return new std::shared_ptr<APMAudience>(made);
  }();
  return **shared;
}

platform::Data blob(fuzz::FuzzInput& input) {
  return platform::Data::fromString(input.text(static_cast<std::size_t>(input.integer(2))));
}

const char* const kNames[] = {"e", "level"};

void run(APMAudience& evaluator, APMDatabase& database, const std::uint8_t* data,
         std::size_t size) {

  fuzz::FuzzInput input(data, size);
  std::vector<APMFilterResultPtr> results;
  std::vector<std::int32_t> filterIDs;
  for (int i = 0; i < kMaxRows && size > 0; ++i) {
    const unsigned kind = input.byte() % 3;
    const auto audienceID = static_cast<std::int32_t>(input.byte() % 4);
    const auto filterID = static_cast<std::int32_t>(static_cast<std::uint32_t>(input.integer(4)));
    filterIDs.push_back(filterID);
    const char* name = kNames[input.byte() % 2];
    if (kind == 0) {
      auto filter = std::make_shared<APMEventFilter>();
      filter->audienceID = audienceID;
      filter->filterID = filterID;
      filter->eventName = name;
      filter->data = blob(input);
      database.updateEventFilters({filter}, nullptr);
    } else if (kind == 1) {
      auto filter = std::make_shared<APMPropertyFilter>();
      filter->audienceID = audienceID;
      filter->filterID = filterID;
      filter->propertyName = name;
      filter->data = blob(input);
      database.updatePropertyFilters({filter}, nullptr);
    } else {
      auto result = std::make_shared<APMFilterResult>();
      result->audienceID = audienceID;
      result->currentResults = blob(input);
      if (input.byte() % 2) result->previousResults = blob(input);
      database.updateFilterResults({result}, nullptr);
      results.push_back(result);
    }
  }

  const APMAudienceTimestampsCache cache;
  for (const auto& result : results) {
    for (const auto filterID : filterIDs) {
      APMAudience::isFilterResultTrueForFilterID(result.get(), filterID);
      for (const std::optional<bool> value : {std::optional<bool>(true), std::optional<bool>()}) {
        auto updated = APMAudience::updatedFilterResult(filterID, result->audienceID, result.get(),
                                                        value, cache);
        fuzzCheck(updated != nullptr, "an updated row is made");
        fuzzCheck(updated->currentResults.length() <=
                      4 * result->currentResults.length() + kRowSlack,
                  "a filter id does not grow the words beyond the configured maximum");
      }
    }
  }

  const platform::Dictionary parameters{{"p", platform::Value(APMValue::initWithInt64(5))}};
  evaluator.evaluateFiltersForEventName("e", parameters, nullptr, 100, nullptr);
  if (auto property = APMUserAttribute::initWithOrigin(
          "app", "level", platform::Value(APMValue::initWithString(platform::Value("x"))), 100))
    evaluator.evaluateFiltersForUserProperty(*property, nullptr, 100);
  std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> bundled;
  evaluator.resultsForBundling(&bundled);
  evaluator.clearEvaluationResultsForSessionScopedFilters();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  APMAudience& evaluator = audience();
  auto& database = *evaluator.database();
  // Everything runs in one transaction that is rolled back, as bundling runs the evaluator
  // inside its own: each input starts from the empty tables and never waits on the disk.
  database.performTransaction([&] {
    run(evaluator, database, data, size);
    return false;
  });
  return 0;
}
