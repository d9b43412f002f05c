// Audience definitions from a configuration: the validation rules with their codes and texts,
// names stored in their internal form, the wholesale replacement of stored filters inside or
// outside the caller's transaction, the clean-up of stale results, and database failures.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/audiences/APMAudience.h"
#include "analytics/audiences/tests/audience_test_support.h"
#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMNameMaps.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using namespace audience_test;
using analytics_test::ScopedMonitor;
using platform::ErrorPtr;
using platform::Value;
using AudiencePtr = std::shared_ptr<APMPBAudience>;

std::shared_ptr<APMPBNumberFilter> validNumber() { return numberFilter(kEqual, "5"); }
std::shared_ptr<APMPBNumberFilter> invalidNumber() { return numberFilter(std::nullopt, "5"); }
std::shared_ptr<APMPBStringFilter> validString() { return stringFilter(kExact, "abc"); }
std::shared_ptr<APMPBStringFilter> invalidString() { return stringFilter(std::nullopt, "abc"); }

std::shared_ptr<APMPBEventFilter> goodEvent(std::int32_t filterID) {
  return eventFilter(filterID, "purchase");
}
std::shared_ptr<APMPBEventFilter> eventWithParameter(std::shared_ptr<APMPBFilter> parameter) {
  return eventFilter(0, "purchase", {std::move(parameter)});
}
std::shared_ptr<APMPBPropertyFilter> goodProperty(std::int32_t filterID) {
  return propertyFilter(filterID, "level", filter(validNumber()));
}
std::shared_ptr<APMPBPropertyFilter> propertyWith(std::shared_ptr<APMPBFilter> condition) {
  return propertyFilter(0, "level", std::move(condition));
}

class APMAudienceDefinitionsTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    APMMeasurementSetRemoteConfig(config_);
    auto persisted = APMPersistedConfig::initWithSuiteName("audience-definitions-test");
    ASSERT_TRUE(persisted);
    ErrorPtr error;
    database_ = APMDatabase::initWithDatabaseName("rerora-app-measurement.sql", persisted, &error);
    ASSERT_TRUE(database_);
    audience_ = APMAudience::initWithDatabase(database_);
    ASSERT_TRUE(audience_);
  }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }

  void setting(const std::string& key, const std::string& value) {
    config_->cachedValueByRemoteConfigKeys().setObject(Value(value), key);
  }
  void sql(const std::string& statement) {
    ErrorPtr error;
    ASSERT_TRUE(database_->sqliteStore()->executeSQL(statement, &error))
        << statement << (error ? error->description() : "");
  }
  // (audience, filter, name) of every stored filter of the table, in key order.
  std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>
  stored(const std::string& table, const std::string& nameColumn) {
    ErrorPtr error;
    auto rows = database_->sqliteStore()->recordsForQuery(
        "SELECT audience_id, filter_id, " + nameColumn + " AS name FROM " + table +
            " ORDER BY audience_id, filter_id",
        {}, &error);
    EXPECT_TRUE(rows);
    std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> result;
    for (const auto& row : rows.value_or(std::vector<platform::Dictionary>{}))
      result.emplace_back(row["audience_id"].longLongValue(), row["filter_id"].longLongValue(),
                          *row["name"].asString());
    return result;
  }
  std::set<std::int32_t> resultAudiences() {
    std::set<std::int32_t> ids;
    const auto results = database_->allFilterResults(nullptr);
    EXPECT_TRUE(results);
    for (const auto& [id, result] : results.value_or(decltype(results)::value_type{}))
      ids.insert(id);
    return ids;
  }
  void storeResults(std::int32_t from, std::int32_t to) {
    auto evaluated = APMPBResultData::initWithMessageInfo(nullptr);
    NanoObjectArray words{Value(static_cast<std::uint64_t>(1))};
    nano_set_array(evaluated.get(), APMPBResultDataFields::kStatus, &words);
    nano_set_array(evaluated.get(), APMPBResultDataFields::kResults, &words);
    const platform::Data bytes = evaluated->protoBuffer().value();
    std::vector<APMFilterResultPtr> results;
    for (std::int32_t id = from; id <= to; ++id)
      results.push_back(
          std::make_shared<APMFilterResult>(APMFilterResult{id, bytes, std::nullopt}));
    ASSERT_TRUE(database_->updateFilterResults(results, nullptr));
  }
  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> codes;
    for (const auto& line : monitor_->lines()) codes.push_back(line.messageCode);
    return codes;
  }
  std::optional<analytics_test::RecordingMonitor::Line> line(std::int64_t code) const {
    for (const auto& logged : monitor_->lines())
      if (logged.messageCode == code) return logged;
    return std::nullopt;
  }

  std::shared_ptr<APMRemoteConfig> config_ = std::make_shared<APMRemoteConfig>();
  ScopedMonitor monitor_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMAudience> audience_;
};

TEST_F(APMAudienceDefinitionsTest, ValidationNamesTheFirstBrokenRule) {
  std::vector<std::shared_ptr<APMPBFilter>> tooManyParameters;
  for (int i = 0; i < 26; ++i)
    tooManyParameters.push_back(parameterFilter("p" + std::to_string(i), validNumber(), nullptr));
  std::vector<std::shared_ptr<APMPBEventFilter>> elevenFilters;
  for (int i = 0; i < 11; ++i) elevenFilters.push_back(goodEvent(i % 10));

  struct Case {
    const char* name;
    AudiencePtr audience;
    std::int64_t code;  // 0: valid
    const char* description;
    std::set<std::int32_t> accepted = {};
  };
  const std::vector<Case> cases = {
      {"1", audience(std::nullopt, {goodEvent(0)}), 9, "Missing audience ID"},
      {"2", audience(-1, {goodEvent(0)}), 9, "Audience ID is negative"},
      {"3", audience(5, {goodEvent(0)}), 9, "Duplicate audience ID", {5}},
      {"3 other accepted", audience(5, {goodEvent(0)}), 0, "", {4, 6}},
      {"5 none", audience(1, {}), 9, "Audience filter count out of range"},
      {"5 eleven", audience(1, elevenFilters), 9, "Audience filter count out of range"},
      {"5 ten",
       audience(
           1, {goodEvent(0), goodEvent(1), goodEvent(2), goodEvent(3), goodEvent(4)},
           {goodProperty(5), goodProperty(6), goodProperty(7), goodProperty(8), goodProperty(9)}),
       0, ""},
      {"6 absent", audience(1, {eventFilter(0, std::nullopt)}), 10,
       "Event filter missing event name"},
      {"6 empty", audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
      {"7", audience(1, {eventFilter(std::nullopt, "purchase")}), 10, "Missing event filter ID"},
      {"8 ten", audience(1, {goodEvent(10)}), 10, "Event filter ID is out of range"},
      {"8 negative", audience(1, {goodEvent(-1)}), 10, "Event filter ID is out of range"},
      {"8 nine", audience(1, {goodEvent(9)}), 0, ""},
      {"9", audience(1, {goodEvent(2), goodEvent(2)}), 10, "Duplicate event filter ID"},
      {"10", audience(1, {eventFilter(0, "e", {}, numberFilter(kGreater, "1", {}, {}, true))}), 10,
       "Event filter has float event count filter"},
      {"11", audience(1, {eventFilter(0, "e", {}, invalidNumber())}), 10,
       "Event filter has invalid event count filter"},
      {"11 valid count", audience(1, {eventFilter(0, "e", {}, numberFilter(kGreater, "1"))}), 0,
       ""},
      {"12", audience(1, {eventFilter(0, "e", tooManyParameters)}), 10,
       "Event filter parameters filters count out of range"},
      {"13 absent", audience(1, {eventWithParameter(filter(validNumber()))}), 10,
       "Event filter missing parameter name"},
      {"13 empty", audience(1, {eventWithParameter(parameterFilter("", validNumber(), nullptr))}),
       10, "Event filter missing parameter name"},
      {"14 both",
       audience(1, {eventWithParameter(parameterFilter("v", validNumber(), validString()))}), 10,
       "Event filter must have exactly one of number or string filter"},
      {"14 neither", audience(1, {eventWithParameter(parameterFilter("v", nullptr, nullptr))}), 10,
       "Event filter must have exactly one of number or string filter"},
      {"15", audience(1, {eventWithParameter(parameterFilter("v", invalidNumber(), nullptr))}), 10,
       "Event filter has invalid number filter"},
      {"16", audience(1, {eventWithParameter(parameterFilter("v", nullptr, invalidString()))}), 10,
       "Event filter has invalid string filter"},
      {"16 valid string",
       audience(1, {eventWithParameter(parameterFilter("v", nullptr, validString()))}), 0, ""},
      {"17 absent", audience(1, {}, {propertyFilter(0, std::nullopt, filter(validNumber()))}), 11,
       "Property filter missing property name"},
      {"17 empty", audience(1, {}, {propertyFilter(0, "", filter(validNumber()))}), 11,
       "Property filter missing property name"},
      {"18", audience(1, {}, {propertyFilter(std::nullopt, "level", filter(validNumber()))}), 11,
       "Missing property filter ID"},
      {"19", audience(1, {}, {goodProperty(10)}), 11, "Property filter ID is out of range"},
      {"19 nine", audience(1, {}, {goodProperty(9)}), 0, ""},
      {"20 event and property", audience(1, {goodEvent(3)}, {goodProperty(3)}), 11,
       "Duplicate property filter ID"},
      {"20 two properties", audience(1, {}, {goodProperty(4), goodProperty(4)}), 11,
       "Duplicate property filter ID"},
      {"21", audience(1, {}, {propertyFilter(0, "level", nullptr)}), 11,
       "Property filter has no filter"},
      {"22 both", audience(1, {}, {propertyWith(filter(validNumber(), validString()))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {"22 neither", audience(1, {}, {propertyWith(filter(nullptr, nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {"23", audience(1, {}, {propertyWith(filter(invalidNumber()))}), 11,
       "Property filter has invalid number filter"},
      {"24", audience(1, {}, {propertyWith(filter(nullptr, invalidString()))}), 11,
       "Property filter has invalid string filter"},
      // Every event filter is checked before any property filter.
      {"event filters first",
       audience(1, {goodEvent(0), eventFilter(1, "")}, {propertyFilter(2, "", nullptr)}), 10,
       "Event filter missing event name"},
      {"no parameters and no count", audience(1, {goodEvent(0)}, {goodProperty(1)}), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ErrorPtr error;
    const bool valid = APMValidateAudience(c.audience.get(), c.accepted, &error);
    if (c.code == 0) {
      EXPECT_TRUE(valid);
      EXPECT_FALSE(error);
      continue;
    }
    EXPECT_FALSE(valid);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.description);
  }
  ErrorPtr error;
  EXPECT_FALSE(APMValidateAudience(nullptr, {}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Missing audience ID");
}

TEST_F(APMAudienceDefinitionsTest, LimitsComeFromTheRemoteSettings) {
  setting("measurement.audience.filter_max_count_per_audience", "3");
  setting("measurement.audience.parameter_max_count_filter", "1");
  ErrorPtr error;
  EXPECT_FALSE(APMValidateAudience(audience(1, {goodEvent(3)}).get(), {}, &error));
  EXPECT_EQ(error->localizedDescription(), "Event filter ID is out of range");
  error = nullptr;
  EXPECT_FALSE(APMValidateAudience(
      audience(1, {goodEvent(0), goodEvent(1)}, {goodProperty(2), goodProperty(0)}).get(), {},
      &error));
  EXPECT_EQ(error->localizedDescription(), "Audience filter count out of range");
  error = nullptr;
  const auto two = eventFilter(
      0, "e",
      {parameterFilter("a", validNumber(), nullptr), parameterFilter("b", validNumber(), nullptr)});
  EXPECT_FALSE(APMValidateAudience(audience(1, {two}).get(), {}, &error));
  EXPECT_EQ(error->localizedDescription(), "Event filter parameters filters count out of range");
}

TEST_F(APMAudienceDefinitionsTest, ValidAudiencesAreStoredUnderInternalNamesAndInvalidOnesSkipped) {
  const std::string publicEvent = "in_app_purchase";
  const std::string internalEvent = *APMEventNameMap().find(publicEvent)->asString();
  ASSERT_NE(internalEvent, publicEvent);
  const auto& parameterMap = APMParameterNameMap();
  const std::string publicParameter = parameterMap.keys().front();
  const std::string internalParameter = *parameterMap.find(publicParameter)->asString();
  const auto& propertyMap = internalUserPropertyNamesByPublicName();
  const std::string publicProperty = propertyMap.keys().front();
  const std::string internalProperty = *propertyMap.find(publicProperty)->asString();

  const std::vector<AudiencePtr> audiences = {
      // Invalid first: its ID does not block the valid audience of the same ID after it.
      audience(7, {eventFilter(0, "")}),
      audience(7,
               {eventFilter(2, publicEvent,
                            {parameterFilter(publicParameter, validNumber(), nullptr),
                             parameterFilter("custom", nullptr, validString())},
                            nullptr, Flags{.dynamic = true, .sessionScoped = true})},
               {propertyFilter(1, publicProperty, filter(validNumber()), Flags{.sequence = true})}),
      audience(8, {eventFilter(0, "custom_event", {}, nullptr, Flags{.sequence = true})}),
      audience(8, {goodEvent(1)}),  // a duplicate of an accepted ID
  };
  ASSERT_TRUE(audience_->updateAudiences(audiences));

  EXPECT_EQ(stored("event_filters", "event_name"),
            (std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>{
                {7, 2, internalEvent}, {8, 0, "custom_event"}}));
  EXPECT_EQ(
      stored("property_filters", "property_name"),
      (std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>{{7, 1, internalProperty}}));

  // The stored messages carry the internal names and the flags the rows are looked up by.
  auto events = database_->eventFiltersForEventName(internalEvent, nullptr).value();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0]->isDynamic());
  EXPECT_TRUE(events[0]->isSessionScoped());
  EXPECT_FALSE(events[0]->isSequence());
  auto message = APMPBEventFilter::initWithBuffer(&events[0]->data);
  ASSERT_TRUE(message);
  EXPECT_EQ(nano_get_string(message.get(), APMPBEventFilterFields::kEventName), internalEvent);
  auto parameters =
      nano_get_array(message.get(), APMPBEventFilterFields::kFilters, &APMPBFilter::messageClass())
          .value();
  ASSERT_EQ(parameters.size(), 2u);
  EXPECT_EQ(
      nano_get_string(std::get<NanoMessagePtr>(parameters[0]).get(), APMPBFilterFields::kParamName),
      internalParameter);
  EXPECT_EQ(
      nano_get_string(std::get<NanoMessagePtr>(parameters[1]).get(), APMPBFilterFields::kParamName),
      "custom");
  auto properties = database_->propertyFiltersForPropertyName(internalProperty, nullptr).value();
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_TRUE(properties[0]->isSequence());
  auto property = APMPBPropertyFilter::initWithBuffer(&properties[0]->data);
  EXPECT_EQ(nano_get_string(property.get(), APMPBPropertyFilterFields::kPropertyName),
            internalProperty);
  // The caller's messages keep their public names.
  EXPECT_EQ(
      nano_get_string(std::get<NanoMessagePtr>(nano_get_array(audiences[1].get(),
                                                              APMPBAudienceFields::kEventFilters,
                                                              &APMPBEventFilter::messageClass())
                                                   ->front())
                          .get(),
                      APMPBEventFilterFields::kEventName),
      publicEvent);

  EXPECT_EQ(codes(), (std::vector<std::int64_t>{6009, 6009}));
  const auto skipped = line(6009);
  ASSERT_TRUE(skipped);
  EXPECT_EQ(skipped->level, 2);
  EXPECT_EQ(skipped->message,
            "Audience definition is invalid. Audience will not be saved. Audience, error");
  ASSERT_EQ(skipped->contexts.size(), 2u);
  EXPECT_EQ(skipped->contexts[0], Value(7));
  EXPECT_NE(skipped->contexts[1].description().find("Event filter missing event name"),
            std::string::npos);
}

TEST_F(APMAudienceDefinitionsTest, AnUpdateReplacesEveryFilterInsideOrOutsideATransaction) {
  storeResults(1, 3);
  ASSERT_TRUE(audience_->updateAudiences(
      {audience(1, {goodEvent(0)}, {goodProperty(1)}), audience(2, {goodEvent(0)})}));
  // Inside the caller's transaction: no BEGIN of its own, which would fail there.
  bool updated = false;
  ASSERT_TRUE(database_->performTransaction([&] {
    updated = audience_->updateAudiences({audience(3, {eventFilter(4, "other")})});
    return updated;
  }));
  EXPECT_TRUE(updated);
  EXPECT_EQ(stored("event_filters", "event_name"),
            (std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>{{3, 4, "other"}}));
  EXPECT_TRUE(stored("property_filters", "property_name").empty());
  // Results outlive the definitions while they stay under their limit.
  EXPECT_EQ(resultAudiences(), (std::set<std::int32_t>{1, 2, 3}));

  // An update with no valid audience empties the tables.
  ASSERT_TRUE(audience_->updateAudiences({audience(4, {})}));
  EXPECT_TRUE(stored("event_filters", "event_name").empty());
  EXPECT_EQ(codes(), (std::vector<std::int64_t>{6009}));
}

TEST_F(APMAudienceDefinitionsTest, TooManyAudiencesSaveNothingAndSucceed) {
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {goodEvent(0)})}));
  std::vector<AudiencePtr> audiences;
  for (int i = 0; i < 101; ++i) audiences.push_back(audience(100 + i, {goodEvent(0)}));
  EXPECT_TRUE(audience_->updateAudiences(audiences));
  EXPECT_EQ(stored("event_filters", "event_name"),
            (std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>{{1, 0, "purchase"}}));
  ASSERT_EQ(codes(), (std::vector<std::int64_t>{6008}));
  const auto& lines = monitor_->lines();
  EXPECT_EQ(lines[0].level, 2);
  EXPECT_EQ(lines[0].message, "Configuration contains too many audiences. Audiences will not be "
                              "saved. Audience count");
  EXPECT_EQ(lines[0].contexts, platform::Array{Value(101)});

  // A hundred are within the limit.
  audiences.pop_back();
  EXPECT_TRUE(audience_->updateAudiences(audiences));
  EXPECT_EQ(stored("event_filters", "event_name").size(), 100u);
}

TEST_F(APMAudienceDefinitionsTest, StaleResultsGoOnlyOnceTheyOutnumberTheirLimit) {
  // Old definitions: audiences 0-9. New configuration: audiences 5-14.
  std::vector<AudiencePtr> old;
  for (int i = 0; i < 10; ++i) old.push_back(audience(i, {goodEvent(0)}));
  ASSERT_TRUE(audience_->updateAudiences(old));
  std::vector<AudiencePtr> fresh;
  for (int i = 5; i < 15; ++i) fresh.push_back(audience(i, {goodEvent(0)}));

  // 200 results: at the limit, nothing is deleted.
  storeResults(0, 199);
  ASSERT_TRUE(audience_->updateAudiences(fresh));
  EXPECT_EQ(resultAudiences().size(), 200u);
  EXPECT_TRUE(codes().empty());

  // 201 results: exactly those of audiences in neither the old tables (now 5-14, as the
  // previous update stored) nor the new configuration (an audience 0 added back) go.
  storeResults(200, 200);
  fresh.push_back(audience(0, {goodEvent(0)}));
  ASSERT_TRUE(audience_->updateAudiences(fresh));
  std::set<std::int32_t> kept{0};
  for (int i = 5; i < 15; ++i) kept.insert(i);
  EXPECT_EQ(resultAudiences(), kept);
  ASSERT_EQ(codes(), (std::vector<std::int64_t>{6016}));
  const auto tooMany = line(6016);
  ASSERT_TRUE(tooMany);
  EXPECT_EQ(tooMany->level, 3);
  EXPECT_EQ(tooMany->message, "Too many Audience filter results. Deleting filter results for "
                              "deleted Audiences. Filter result count, max filter result count");
  EXPECT_EQ(tooMany->contexts, (platform::Array{Value(201), Value(200)}));
  EXPECT_EQ(stored("event_filters", "event_name").size(), 11u);
}

TEST_F(APMAudienceDefinitionsTest, AFailingDatabaseStepStopsTheUpdate) {
  struct Case {
    std::vector<std::string> damage;
    bool overLimit;
    std::int64_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"DROP TABLE audience_filter_values"},
       false,
       6015,
       "Unable to query Audience filter results. Audiences will not be saved. Error"},
      {{"DROP TABLE property_filters"},
       true,
       6017,
       "Unable to query current Audience IDs. Audiences will not be saved. Error"},
      {{"CREATE TRIGGER keep BEFORE DELETE ON audience_filter_values BEGIN SELECT RAISE(ABORT, "
        "'kept'); END"},
       true,
       6018,
       "Unable to delete stale Audience filter results. Audiences will not be saved. "
       "Error"},
      {{"DROP TABLE event_filters"},
       false,
       6010,
       "Unable to delete existing Audience event filters. Audiences will not be saved. Error"},
      {{"DROP TABLE property_filters"},
       false,
       6011,
       "Unable to delete existing Audience user property filters. Audiences will not be saved. "
       "Error"},
      {{"DROP TABLE event_filters", "CREATE TABLE event_filters (audience_id INTEGER)"},
       false,
       6012,
       "Unable to save Audience event filters. Audiences will not be saved. Error"},
      {{"DROP TABLE property_filters", "CREATE TABLE property_filters (audience_id INTEGER)"},
       false,
       6013,
       "Unable to save Audience user property filters. Audiences will not be saved. Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage.front());
    // A fresh database each time.
    ErrorPtr error;
    ASSERT_TRUE(database_->reset(&error));
    if (c.overLimit) storeResults(0, 200);
    for (const auto& statement : c.damage) sql(statement);
    ScopedMonitor monitor;
    EXPECT_FALSE(audience_->updateAudiences({audience(1, {goodEvent(0)}, {goodProperty(1)})}));
    const auto lines = monitor->lines();
    ASSERT_FALSE(lines.empty());
    const auto& last = lines.back();
    EXPECT_EQ(last.level, 1);
    EXPECT_EQ(last.messageCode, c.code);
    EXPECT_EQ(last.message, c.message);
    ASSERT_EQ(last.contexts.size(), 1u);
    EXPECT_FALSE(last.contexts[0].isNull());
  }
}

}  // namespace
