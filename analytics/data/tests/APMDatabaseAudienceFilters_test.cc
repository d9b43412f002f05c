// The audience definitions and results in the analytics database: filters stored and found by
// event or property name with their flags read from the stored message, the audience and
// session-scoped look-ups, the results with their optional previous state, deletions, and
// rows of a damaged file.

#include "analytics/data/APMDatabaseAudienceFilters.h"

#include <sqlite3.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using platform::ErrorPtr;

class TestDatabase final : public APMDatabaseAudienceFilters {
 public:
  TestDatabase() = default;
};

// An encoded EventFilter with the three flags (session scoped, dynamic, sequence).
Data eventFilterData(std::int32_t filterID, bool sessionScoped, bool dynamic = false,
                     bool sequence = false) {
  auto message = APMPBEventFilter::initWithMessageInfo(nullptr);
  nano_set_int32(message.get(), 0, filterID);
  nano_set_bool_field(message.get(), 5, dynamic);
  nano_set_bool_field(message.get(), 6, sequence);
  nano_set_bool_field(message.get(), 7, sessionScoped);
  return message->protoBuffer().value();
}

Data propertyFilterData(std::int32_t filterID, bool sessionScoped, bool dynamic = false,
                        bool sequence = false) {
  auto message = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  nano_set_int32(message.get(), 0, filterID);
  nano_set_bool_field(message.get(), 3, dynamic);
  nano_set_bool_field(message.get(), 4, sequence);
  nano_set_bool_field(message.get(), 5, sessionScoped);
  return message->protoBuffer().value();
}

APMEventFilterPtr eventFilter(std::int32_t audienceID, std::int32_t filterID,
                              const std::string& eventName, bool sessionScoped = false,
                              bool dynamic = false, bool sequence = false) {
  auto filter = std::make_shared<APMEventFilter>();
  filter->audienceID = audienceID;
  filter->filterID = filterID;
  filter->eventName = eventName;
  filter->data = eventFilterData(filterID, sessionScoped, dynamic, sequence);
  filter->sessionScoped = sessionScoped;
  filter->dynamic = dynamic;
  filter->sequence = sequence;
  return filter;
}

APMPropertyFilterPtr propertyFilter(std::int32_t audienceID, std::int32_t filterID,
                                    const std::string& propertyName, bool sessionScoped = false,
                                    bool dynamic = false, bool sequence = false) {
  auto filter = std::make_shared<APMPropertyFilter>();
  filter->audienceID = audienceID;
  filter->filterID = filterID;
  filter->propertyName = propertyName;
  filter->data = propertyFilterData(filterID, sessionScoped, dynamic, sequence);
  filter->sessionScoped = sessionScoped;
  filter->dynamic = dynamic;
  filter->sequence = sequence;
  return filter;
}

APMFilterResultPtr filterResult(std::int32_t audienceID, const std::string& current,
                                std::optional<std::string> previous = std::nullopt) {
  auto result = std::make_shared<APMFilterResult>();
  result->audienceID = audienceID;
  result->currentResults = Data::fromString(current);
  if (previous) result->previousResults = Data::fromString(*previous);
  return result;
}

class APMDatabaseAudienceFiltersTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ErrorPtr error;
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "measurement.sql").string(), &error))
        << (error ? error->description() : "");
  }

  std::int64_t rowCount(const char* table) {
    return database_.sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1);
  }

  void execute(const std::string& sql) {
    ASSERT_TRUE(analytics_test::executedSQL(database_.sqliteStore()->sqliteHandle(), sql));
  }

  analytics_test::ScopedMonitor monitor_;
  TestDatabase database_;
};

TEST_F(APMDatabaseAudienceFiltersTest, FiltersAreFoundByNameWithFlagsReadFromTheirMessage) {
  ErrorPtr error;
  ASSERT_TRUE(database_.updateEventFilters({eventFilter(7, 1, "purchase", false, true, false),
                                            eventFilter(7, 2, "purchase", true, false, true),
                                            eventFilter(9, 1, "login")},
                                           &error));
  ASSERT_TRUE(database_.updatePropertyFilters(
      {propertyFilter(7, 3, "level", true, true, true), propertyFilter(8, 1, "tier")}, &error));

  auto purchases = database_.eventFiltersForEventName("purchase", &error);
  ASSERT_TRUE(purchases);
  ASSERT_EQ(purchases->size(), 2u);
  EXPECT_EQ((*purchases)[0]->audienceID, 7);
  EXPECT_EQ((*purchases)[0]->filterID, 1);
  EXPECT_EQ((*purchases)[0]->eventName, "purchase");
  EXPECT_EQ((*purchases)[0]->data, eventFilterData(1, false, true, false));
  EXPECT_FALSE((*purchases)[0]->isSessionScoped());
  EXPECT_TRUE((*purchases)[0]->isDynamic());
  EXPECT_FALSE((*purchases)[0]->isSequence());
  EXPECT_TRUE((*purchases)[1]->isSessionScoped());
  EXPECT_FALSE((*purchases)[1]->isDynamic());
  EXPECT_TRUE((*purchases)[1]->isSequence());

  auto levels = database_.propertyFiltersForPropertyName("level", &error);
  ASSERT_TRUE(levels);
  ASSERT_EQ(levels->size(), 1u);
  EXPECT_EQ((*levels)[0]->filterID, 3);
  EXPECT_EQ((*levels)[0]->propertyName, "level");
  EXPECT_TRUE((*levels)[0]->isSessionScoped());
  EXPECT_TRUE((*levels)[0]->isDynamic());
  EXPECT_TRUE((*levels)[0]->isSequence());

  auto none = database_.eventFiltersForEventName("unknown", &error);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  // Writing a filter of the same key replaces it.
  ASSERT_TRUE(database_.updateEventFilters({eventFilter(7, 1, "renamed")}, &error));
  EXPECT_EQ(database_.eventFiltersForEventName("purchase", &error)->size(), 1u);
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 3);
}

TEST_F(APMDatabaseAudienceFiltersTest, TheFlagsComeFromTheMessageNotFromTheColumn) {
  // A filter whose message does not decode is still handed out, all flags off; the column
  // that says session scoped is not what the reader believes.
  execute("INSERT INTO event_filters (audience_id, filter_id, event_name, data, session_scoped) "
          "VALUES (4, 1, 'broken', x'ffffffff', 1)");
  execute("INSERT INTO property_filters (audience_id, filter_id, property_name, data, "
          "session_scoped) VALUES (4, 2, 'broken', x'0a', 1)");
  auto events = database_.eventFiltersForEventName("broken", nullptr);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_FALSE((*events)[0]->isSessionScoped());
  EXPECT_FALSE((*events)[0]->isDynamic());
  EXPECT_FALSE((*events)[0]->isSequence());
  auto properties = database_.propertyFiltersForPropertyName("broken", nullptr);
  ASSERT_TRUE(properties);
  ASSERT_EQ(properties->size(), 1u);
  EXPECT_FALSE((*properties)[0]->isSessionScoped());
}

TEST_F(APMDatabaseAudienceFiltersTest, AudienceIDsAndSessionScopedFilters) {
  ErrorPtr error;
  ASSERT_TRUE(database_.updateEventFilters(
      {eventFilter(7, 1, "a"), eventFilter(7, 2, "b", true), eventFilter(9, 1, "c", true)},
      &error));
  ASSERT_TRUE(database_.updatePropertyFilters({propertyFilter(7, 5, "p")}, &error));

  auto audienceIDs = database_.allAudienceIDs(&error);
  ASSERT_TRUE(audienceIDs);
  EXPECT_EQ(*audienceIDs, (std::vector<std::int32_t>{7, 9}));

  auto sessionScoped = database_.allSessionScopedFilters(&error);
  ASSERT_TRUE(sessionScoped);
  EXPECT_EQ(*sessionScoped,
            (std::map<std::int32_t, std::vector<std::int32_t>>{{7, {2}}, {9, {1}}}));

  // A session-scoped property filter joins its audience's list.
  ASSERT_TRUE(database_.updatePropertyFilters({propertyFilter(7, 6, "q", true)}, &error));
  EXPECT_EQ((*database_.allSessionScopedFilters(&error))[7], (std::vector<std::int32_t>{2, 6}));
}

TEST_F(APMDatabaseAudienceFiltersTest, ResultsKeepTheirPreviousStateOnlyWhenNotEmpty) {
  ErrorPtr error;
  ASSERT_TRUE(database_.updateFilterResults({filterResult(7, "current7", "previous7"),
                                             filterResult(9, "current9", ""),
                                             filterResult(11, "current11")},
                                            &error));

  auto seven = database_.filterResultForAudienceID(7, &error);
  ASSERT_TRUE(seven);
  EXPECT_EQ(seven->currentResults, Data::fromString("current7"));
  EXPECT_EQ(seven->previousResults, Data::fromString("previous7"));
  auto nine = database_.filterResultForAudienceID(9, &error);
  ASSERT_TRUE(nine);
  EXPECT_FALSE(nine->previousResults);
  EXPECT_EQ(database_.filterResultForAudienceID(8, &error), nullptr);

  auto all = database_.allFilterResults(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ(all->at(11)->currentResults, Data::fromString("current11"));
  EXPECT_FALSE(all->at(11)->previousResults);

  // A result of the same audience replaces the stored one.
  ASSERT_TRUE(database_.updateFilterResults({filterResult(7, "newer")}, &error));
  EXPECT_EQ(database_.filterResultForAudienceID(7, &error)->currentResults,
            Data::fromString("newer"));
  EXPECT_FALSE(database_.filterResultForAudienceID(7, &error)->previousResults);
}

TEST_F(APMDatabaseAudienceFiltersTest, DeletionsRemoveExactlyTheGivenRows) {
  ErrorPtr error;
  ASSERT_TRUE(database_.updateEventFilters(
      {eventFilter(7, 1, "a"), eventFilter(7, 2, "a"), eventFilter(9, 1, "a")}, &error));
  ASSERT_TRUE(
      database_.deleteEventFilters({eventFilter(7, 1, "a"), eventFilter(9, 1, "a")}, &error));
  auto left = database_.eventFiltersForEventName("a", &error);
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), 1u);
  EXPECT_EQ((*left)[0]->audienceID, 7);
  EXPECT_EQ((*left)[0]->filterID, 2);

  ASSERT_TRUE(database_.updatePropertyFilters(
      {propertyFilter(1, 1, "p"), propertyFilter(1, 2, "p"), propertyFilter(2, 1, "p")}, &error));
  ASSERT_TRUE(database_.deletePropertyFilters({propertyFilter(1, 2, "p")}, &error));
  EXPECT_EQ(rowCount(kAPMPropertyFiltersTable), 2);

  ASSERT_TRUE(database_.updateFilterResults(
      {filterResult(1, "x"), filterResult(2, "y"), filterResult(3, "z")}, &error));
  ASSERT_TRUE(database_.deleteFilterResults(
      {filterResult(1, "x"), filterResult(3, "other"), filterResult(3, "z")}, &error));
  auto results = database_.allFilterResults(&error);
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 1u);
  EXPECT_TRUE(results->count(2));

  ASSERT_TRUE(database_.deleteAllEventFilters(&error));
  ASSERT_TRUE(database_.deleteAllPropertyFilters(&error));
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 0);
  EXPECT_EQ(rowCount(kAPMPropertyFiltersTable), 0);
}

TEST_F(APMDatabaseAudienceFiltersTest, ManyFiltersAreDeletedInOneCall) {
  // One OR per filter in a single condition would pass SQLite's limit of expression depth.
  std::vector<APMEventFilterPtr> filters;
  for (std::int32_t i = 0; i < 1500; ++i) filters.push_back(eventFilter(i / 10, i % 10, "e"));
  ErrorPtr error;
  ASSERT_TRUE(
      database_.performTransaction([&] { return database_.updateEventFilters(filters, &error); }));
  filters.pop_back();
  ASSERT_TRUE(database_.deleteEventFilters(filters, &error)) << (error ? error->description() : "");
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 1);
}

TEST_F(APMDatabaseAudienceFiltersTest, RefusedArgumentsCarryTheirCodes) {
  struct Case {
    const char* what;
    std::function<bool(ErrorPtr*)> call;
    std::int64_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty event name",
       [&](ErrorPtr* e) { return database_.eventFiltersForEventName("", e).has_value(); }, 1,
       "Received empty event name for getting event filters"},
      {"empty property name",
       [&](ErrorPtr* e) { return database_.propertyFiltersForPropertyName("", e).has_value(); }, 1,
       "Received empty property name for getting property filters"},
      {"no event filters", [&](ErrorPtr* e) { return database_.updateEventFilters({}, e); }, 1,
       "Received empty event filters to update"},
      {"no property filters", [&](ErrorPtr* e) { return database_.updatePropertyFilters({}, e); },
       1, "Received empty property filters to update"},
      {"no results", [&](ErrorPtr* e) { return database_.updateFilterResults({}, e); }, 1,
       "Received empty filter results to update"},
      {"null event filter", [&](ErrorPtr* e) { return database_.updateEventFilters({nullptr}, e); },
       3, "Received empty event filter for getting dictionary representation"},
      {"event filter without data",
       [&](ErrorPtr* e) {
         auto filter = std::make_shared<APMEventFilter>(*eventFilter(1, 1, "e"));
         filter->data = Data();
         return database_.updateEventFilters({filter}, e);
       },
       3, "Received event filter with empty data for getting dictionary representation"},
      {"property filter without name",
       [&](ErrorPtr* e) { return database_.updatePropertyFilters({propertyFilter(1, 1, "")}, e); },
       3,
       "Received property filter with empty property name for getting dictionary "
       "representation"},
      {"null result", [&](ErrorPtr* e) { return database_.updateFilterResults({nullptr}, e); }, 3,
       "Received empty filter result for getting dictionary representation"},
      {"result without current results",
       [&](ErrorPtr* e) { return database_.updateFilterResults({filterResult(1, "")}, e); }, 3,
       "Received filter result with empty data for getting dictionary representation"},
      {"no event filters to delete",
       [&](ErrorPtr* e) { return database_.deleteEventFilters({}, e); }, 1,
       "Received empty event filters to delete"},
      {"null property filter to delete",
       [&](ErrorPtr* e) { return database_.deletePropertyFilters({nullptr}, e); }, 1,
       "Received unknown type to delete property filter"},
      {"no results to delete", [&](ErrorPtr* e) { return database_.deleteFilterResults({}, e); }, 1,
       "Received empty filter results to delete"},
      {"null result to delete",
       [&](ErrorPtr* e) { return database_.deleteFilterResults({nullptr}, e); }, 1,
       "Received unknown type to delete filter result"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ErrorPtr error;
    EXPECT_FALSE(c.call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kAPMErrorDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
}

TEST_F(APMDatabaseAudienceFiltersTest, AFilterWithoutEventNameStopsTheWritingThere) {
  ErrorPtr error;
  EXPECT_FALSE(database_.updateEventFilters(
      {eventFilter(1, 1, "first"), eventFilter(1, 2, ""), eventFilter(1, 3, "third")}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(),
            "Received event filter with empty event name for getting dictionary representation");
  // The one before is written; the one after is not.
  EXPECT_EQ(database_.eventFiltersForEventName("first", nullptr)->size(), 1u);
  EXPECT_TRUE(database_.eventFiltersForEventName("third", nullptr)->empty());
}

TEST_F(APMDatabaseAudienceFiltersTest, DamagedRowsOfADamagedFileAreReadSafely) {
  // Ids stored as text or null, results stored as text: nothing crashes, and a row without an
  // audience id makes the id list fail with its code.
  execute("INSERT INTO audience_filter_values (audience_id, current_results, previous_results) "
          "VALUES (5, 'text', 12)");
  auto result = database_.filterResultForAudienceID(5, nullptr);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->currentResults.empty());
  EXPECT_FALSE(result->previousResults);

  execute("DROP TABLE event_filters; CREATE TABLE event_filters (audience_id, filter_id, "
          "event_name, data, session_scoped)");
  execute("INSERT INTO event_filters VALUES (NULL, 'x', 'e', x'40', 1), (3, NULL, 'e', NULL, 1)");
  ErrorPtr error;
  EXPECT_FALSE(database_.allAudienceIDs(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(),
            "Received nil audience ID for querying all audience IDs");
  auto sessionScoped = database_.allSessionScopedFilters(nullptr);
  ASSERT_TRUE(sessionScoped);
  EXPECT_TRUE(sessionScoped->empty());
  auto filters = database_.eventFiltersForEventName("e", nullptr);
  ASSERT_TRUE(filters);
  EXPECT_EQ(filters->size(), 2u);
}

}  // namespace
