// Audience evaluation over a real database: the bit words of one filter, events and user
// properties against stored filters, the results handed to a bundle, the session clear, and
// what each database failure leaves behind.

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/audiences/APMAudience.h"
#include "analytics/audiences/tests/audience_test_support.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMEventAggregates.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMUserAttribute.h"
#include "analytics/data/APMValue.h"
#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/temp_home.h"

namespace {

using namespace audience_test;
using platform::Data;
using platform::Dictionary;
using platform::Value;
namespace RD = APMPBResultDataFields;
using Words = std::vector<std::uint64_t>;

constexpr std::uint64_t bit(int n) { return std::uint64_t{1} << n; }

struct Decoded {
  Words status;
  Words results;
  std::map<std::int32_t, std::int64_t> dynamicTimes;
  std::map<std::int32_t, std::vector<std::int64_t>> sequenceTimes;
};

Words wordsOf(const NANOMessageBase* message, std::int32_t index) {
  Words words;
  if (auto array = nano_get_array(message, index, nullptr))
    for (const auto& element : *array)
      words.push_back(std::get<Value>(element).unsignedLongLongValue());
  return words;
}

Decoded decode(const APMPBResultData* data) {
  Decoded decoded;
  decoded.status = wordsOf(data, RD::kStatus);
  decoded.results = wordsOf(data, RD::kResults);
  if (auto entries = nano_get_array(data, RD::kDynamicFilterTimestamps,
                                    &APMPBDynamicFilterResultTimestamp::messageClass()))
    for (const auto& entry : *entries) {
      const auto* message = std::get<NanoMessagePtr>(entry).get();
      decoded.dynamicTimes[nano_get_int32(message, RD::kDynamicFilterID)] =
          nano_get_int64(message, RD::kDynamicTimestamp);
    }
  if (auto entries = nano_get_array(data, RD::kSequenceFilterTimestamps,
                                    &APMPBSequenceFilterResultTimestamp::messageClass()))
    for (const auto& entry : *entries) {
      const auto* message = std::get<NanoMessagePtr>(entry).get();
      auto& times = decoded.sequenceTimes[nano_get_int32(message, RD::kSequenceFilterID)];
      if (const auto values = nano_get_array(message, RD::kSequenceEvalTimestamps, nullptr))
        for (const auto& time : *values) times.push_back(std::get<Value>(time).integerValue());
    }
  return decoded;
}

Decoded decode(const Data& data) {
  auto message = APMPBResultData::initWithBuffer(&data);
  EXPECT_TRUE(message);
  return message ? decode(message.get()) : Decoded{};
}

APMFilterResultPtr row(std::int32_t audienceID, Data current,
                       std::optional<Data> previous = std::nullopt) {
  auto result = std::make_shared<APMFilterResult>();
  result->audienceID = audienceID;
  result->currentResults = std::move(current);
  result->previousResults = std::move(previous);
  return result;
}

class APMAudienceEvaluationTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    platform::ErrorPtr error;
    database_ = APMDatabase::initWithDatabaseName(
        "measurement.sql", APMPersistedConfig::initWithSuiteName("audience-evaluation"), &error);
    ASSERT_TRUE(database_) << (error ? error->description() : "");
    audience_ = APMAudience::initWithDatabase(database_);
    ASSERT_TRUE(audience_);
  }

  void storeEventFilter(std::int32_t audienceID, const std::shared_ptr<APMPBEventFilter>& message) {
    auto filter = std::make_shared<APMEventFilter>();
    filter->audienceID = audienceID;
    filter->filterID = nano_get_int32(message.get(), APMPBEventFilterFields::kFilterID);
    filter->eventName = *nano_get_string(message.get(), APMPBEventFilterFields::kEventName);
    filter->data = message->protoBuffer().value();
    const auto flags = APMEventFilterFlagsFromData(filter->data);
    filter->dynamic = flags.dynamic;
    filter->sequence = flags.sequence;
    filter->sessionScoped = flags.sessionScoped;
    ASSERT_TRUE(database_->updateEventFilters({filter}, nullptr));
  }

  void storePropertyFilter(std::int32_t audienceID,
                           const std::shared_ptr<APMPBPropertyFilter>& message) {
    auto filter = std::make_shared<APMPropertyFilter>();
    filter->audienceID = audienceID;
    filter->filterID = nano_get_int32(message.get(), APMPBPropertyFilterFields::kFilterID);
    filter->propertyName =
        *nano_get_string(message.get(), APMPBPropertyFilterFields::kPropertyName);
    filter->data = message->protoBuffer().value();
    const auto flags = APMPropertyFilterFlagsFromData(filter->data);
    filter->dynamic = flags.dynamic;
    filter->sequence = flags.sequence;
    filter->sessionScoped = flags.sessionScoped;
    ASSERT_TRUE(database_->updatePropertyFilters({filter}, nullptr));
  }

  void storeResult(const APMFilterResultPtr& result) {
    ASSERT_TRUE(database_->updateFilterResults({result}, nullptr));
  }

  APMFilterResultPtr stored(std::int32_t audienceID) {
    return database_->filterResultForAudienceID(audienceID, nullptr);
  }

  // The stored current results of the audience, empty (and a failure) when it has no row.
  Decoded storedWords(std::int32_t audienceID) {
    auto result = stored(audienceID);
    if (result == nullptr) {
      ADD_FAILURE() << "no row for audience " << audienceID;
      return {};
    }
    return decode(result->currentResults);
  }

  void execute(const std::string& sql) {
    ASSERT_TRUE(analytics_test::executedSQL(database_->sqliteStore()->sqliteHandle(), sql));
  }

  bool logged(std::int64_t level, std::int64_t code) {
    for (const auto& line : monitor_->lines())
      if (line.level == level && line.messageCode == code) return true;
    return false;
  }

  bool evaluateEvent(const std::string& name, Dictionary parameters,
                     const APMEventAggregates* aggregates = nullptr, double time = 100) {
    return audience_->evaluateFiltersForEventName(name, parameters, aggregates, time, nullptr);
  }

  bool evaluateProperty(const std::string& name, Value value, double time = 100) {
    auto property = APMUserAttribute::initWithOrigin("app", name, value, time);
    EXPECT_TRUE(property);
    return audience_->evaluateFiltersForUserProperty(*property, nullptr, time);
  }

  analytics_test::ScopedMonitor monitor_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMAudience> audience_;
};

// A parameter filter on "value" equal to 5.
std::shared_ptr<APMPBFilter> valueIsFive() {
  return parameterFilter("value", numberFilter(kEqual, "5"), nullptr);
}

TEST(APMAudienceBitWords, OneFilterUpdateSetsOnlyItsBitsAndKeepsPrevious) {
  const APMAudienceTimestampsCache cache;
  const Data previous = resultData({bit(2)}, {0});
  const auto current = row(1, resultData({bit(3) | bit(4)}, {bit(3) | bit(4)}), previous);
  struct Case {
    const char* name;
    std::int32_t filterID;
    std::optional<bool> value;
    Words status;
    Words results;
  };
  const Case cases[] = {
      {"filter 70 true extends with a zero word",
       70,
       true,
       {bit(3) | bit(4), bit(6)},
       {bit(3) | bit(4), bit(6)}},
      {"false keeps the evaluated bit", 3, false, {bit(3) | bit(4)}, {bit(4)}},
      {"none clears the evaluated bit", 4, std::nullopt, {bit(3)}, {bit(3) | bit(4)}},
      {"bit 63 is the word's top",
       63,
       true,
       {bit(3) | bit(4) | bit(63)},
       {bit(3) | bit(4) | bit(63)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto updated = APMAudience::updatedFilterResult(c.filterID, 1, current.get(), c.value, cache);
    ASSERT_TRUE(updated);
    EXPECT_EQ(updated->audienceID, 1);
    EXPECT_EQ(updated->previousResults, previous);
    const auto words = decode(updated->currentResults);
    EXPECT_EQ(words.status, c.status);
    EXPECT_EQ(words.results, c.results);
  }

  // With no row the words start empty: only filter 70 means two words, the first zero.
  auto fresh = APMAudience::updatedFilterResult(70, 2, nullptr, true, cache);
  EXPECT_EQ(decode(fresh->currentResults).status, (Words{0, bit(6)}));
  EXPECT_FALSE(fresh->previousResults);
}

TEST(APMAudienceBitWords, FilterIDsNoConfigurationAllowsDoNotGrowTheWords) {
  // A damaged row may carry any int32; bit words up to word 2^25 would take 256 MB.
  const APMAudienceTimestampsCache cache;
  const auto current = row(1, resultData({bit(1)}, {bit(1)}));
  for (const std::int32_t filterID : {-1, -64, 100, 6400, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(filterID);
    auto updated = APMAudience::updatedFilterResult(filterID, 1, current.get(), true, cache);
    ASSERT_TRUE(updated);
    EXPECT_EQ(updated->currentResults, current->currentResults);
    EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(current.get(), filterID));
  }
}

TEST_F(APMAudienceEvaluationTest, IsFilterResultTrueReadsBothWords) {
  struct Case {
    const char* name;
    APMFilterResultPtr result;
    std::int32_t filterID;
    bool expected;
    bool logs6023;
  };
  const Case cases[] = {
      {"no row", nullptr, 1, false, false},
      {"empty data", row(1, Data()), 1, false, false},
      {"evaluated true", row(1, resultData({0, bit(6)}, {0, bit(6)})), 70, true, false},
      {"evaluated false", row(1, resultData({0, bit(6)}, {0, 0})), 70, false, false},
      {"true but not evaluated", row(1, resultData({0, 0}, {0, bit(6)})), 70, false, false},
      {"word beyond the arrays", row(1, resultData({bit(6)}, {bit(6)})), 70, false, false},
      {"results shorter than status", row(1, resultData({0, bit(6)}, {bit(0)})), 70, false, false},
      {"no results array", row(1, resultData({bit(1)}, {})), 1, false, true},
      {"bytes that do not decode", row(1, Data::fromString("\xff\xff\xff")), 1, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = monitor_->lines().size();
    EXPECT_EQ(APMAudience::isFilterResultTrueForFilterID(c.result.get(), c.filterID), c.expected);
    const auto lines = monitor_->lines();
    const bool logs = lines.size() > before && lines.back().messageCode == 6023;
    EXPECT_EQ(logs, c.logs6023);
  }
}

TEST_F(APMAudienceEvaluationTest, EvaluatingOnlyFilter70CreatesTwoWordsTheFirstZero) {
  storeEventFilter(1, eventFilter(70, "level_up"));
  // A damaged row's filter ID beyond any configuration is skipped, not turned into words.
  storeEventFilter(2, eventFilter(5000, "level_up"));
  ASSERT_TRUE(evaluateEvent("level_up", {}));
  EXPECT_FALSE(stored(2));
  auto result = stored(1);
  ASSERT_TRUE(result);
  const auto words = decode(result->currentResults);
  EXPECT_EQ(words.status, (Words{0, bit(6)}));
  EXPECT_EQ(words.results, (Words{0, bit(6)}));
}

TEST_F(APMAudienceEvaluationTest, AnAlreadyTruePlainFilterIsNotEvaluatedAgain) {
  // The stored row carries a time the evaluation would rebuild; its bytes must survive.
  storeEventFilter(1, eventFilter(1, "level_up"));
  storeResult(row(1, resultData({bit(1)}, {bit(1)}, {{7, 55}})));
  const auto before = stored(1)->currentResults;
  ASSERT_TRUE(evaluateEvent("level_up", {}));
  EXPECT_EQ(stored(1)->currentResults, before);
}

TEST_F(APMAudienceEvaluationTest, EventFiltersNeverTurnFalseThroughEvaluation) {
  // Filter 1 is dynamic and true since 100 s; filter 2 has never matched.
  storeEventFilter(1, eventFilter(1, "level_up", {valueIsFive()}, nullptr, {.dynamic = true}));
  storeEventFilter(1, eventFilter(2, "level_up", {valueIsFive()}));
  storeResult(row(1, resultData({bit(1)}, {bit(1)}, {{1, 100}})));
  ASSERT_TRUE(
      evaluateEvent("level_up", {{"value", Value(APMValue::initWithInt64(3))}}, nullptr, 250));
  auto words = storedWords(1);
  EXPECT_EQ(words.status, (Words{bit(1) | bit(2)}));
  EXPECT_EQ(words.results, (Words{bit(1)}));
  EXPECT_EQ(words.dynamicTimes, (std::map<std::int32_t, std::int64_t>{{1, 100}}));

  // A matching event makes the second true too; plain values are accepted beside APMValues.
  ASSERT_TRUE(evaluateEvent("level_up", {{"value", Value(5)}}, nullptr, 300));
  words = storedWords(1);
  EXPECT_EQ(words.results, (Words{bit(1) | bit(2)}));
}

TEST_F(APMAudienceEvaluationTest, AFilterThatCannotBeEvaluatedIsLeftUntouched) {
  struct Case {
    const char* name;
    Dictionary parameters;
    std::int64_t level;
    std::int64_t code;
  };
  const Case cases[] = {
      {"missing parameter", {{"other", Value(5)}}, 3, 7009},
      {"string parameter against a number filter", {{"value", Value("5")}}, 3, 7010},
  };
  storeEventFilter(1, eventFilter(1, "level_up", {valueIsFive()}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(evaluateEvent("level_up", c.parameters));
    EXPECT_FALSE(stored(1)) << "nil, not false: no bit was set";
    EXPECT_TRUE(logged(c.level, c.code));
  }
}

TEST_F(APMAudienceEvaluationTest, EventFilterMessageChecksGiveNil) {
  auto aggregates = APMEventAggregates::initWithName("level_up", 7, 1, 2, 90);
  auto other = APMEventAggregates::initWithName("other", 7, 1, 2, 90);
  ASSERT_TRUE(aggregates && other);
  struct Case {
    const char* name;
    std::shared_ptr<APMPBEventFilter> filter;
    std::string eventName;
    const APMEventAggregates* aggregates;
    std::int64_t code;
  };
  const Case cases[] = {
      {"no message", nullptr, "level_up", nullptr, 7004},
      {"empty event name", eventFilter(1, "level_up"), "", nullptr, 7005},
      {"other event name", eventFilter(1, "other"), "level_up", nullptr, 7006},
      {"no event name in the filter", eventFilter(1, std::nullopt), "level_up", nullptr, 7006},
      {"aggregates of another event", eventFilter(1, "level_up", {}, numberFilter(kGreater, "1")),
       "level_up", other.get(), 7007},
      {"count filter without aggregates",
       eventFilter(1, "level_up", {}, numberFilter(kGreater, "1")), "level_up", nullptr, 7007},
      {"parameter filter without name",
       eventFilter(1, "level_up", {filter(numberFilter(kEqual, "5"))}), "level_up", nullptr, 7008},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(APMEvaluateEventFilter(c.filter.get(), c.eventName, {}, c.aggregates), std::nullopt);
    ASSERT_FALSE(monitor_->lines().empty());
    EXPECT_EQ(monitor_->lines().back().messageCode, c.code);
  }
  EXPECT_EQ(APMEvaluateEventFilter(eventFilter(1, "level_up").get(), "level_up", {}, nullptr),
            true);
}

TEST_F(APMAudienceEvaluationTest, TheCountFilterReadsSessionOrLifetimeCount) {
  // Lifetime 7, this session 2: "greater than 5" holds for the lifetime count only.
  auto aggregates = APMEventAggregates::initWithName("level_up", 7, 1, 2, 90);
  const auto lifetime = eventFilter(1, "level_up", {}, numberFilter(kGreater, "5"));
  const auto session =
      eventFilter(1, "level_up", {}, numberFilter(kGreater, "5"), {.sessionScoped = true});
  EXPECT_EQ(APMEvaluateEventFilter(lifetime.get(), "level_up", {}, aggregates.get()), true);
  EXPECT_EQ(APMEvaluateEventFilter(session.get(), "level_up", {}, aggregates.get()), false);
}

TEST_F(APMAudienceEvaluationTest, PropertyFiltersFollowThePropertyOnlyWhenDynamic) {
  const auto isFive = filter(numberFilter(kEqual, "5"));
  storePropertyFilter(1, propertyFilter(1, "level", isFive, {.dynamic = true}));
  storePropertyFilter(1, propertyFilter(2, "level", isFive));
  storePropertyFilter(1,
                      propertyFilter(3, "level", isFive, {.dynamic = true, .sessionScoped = true}));
  ASSERT_TRUE(evaluateProperty("level", Value(APMValue::initWithInt64(5))));
  EXPECT_EQ(storedWords(1).results, (Words{bit(1) | bit(2) | bit(3)}));

  ASSERT_TRUE(evaluateProperty("level", Value(APMValue::initWithInt64(3)), 200));
  const auto words = storedWords(1);
  EXPECT_EQ(words.status, (Words{bit(1) | bit(2) | bit(3)}));
  EXPECT_EQ(words.results, (Words{bit(2) | bit(3)}));
}

TEST_F(APMAudienceEvaluationTest, PropertyFilterMessageChecksGiveNil) {
  auto level =
      APMUserAttribute::initWithOrigin("app", "level", Value(APMValue::initWithInt64(5)), 1);
  ASSERT_TRUE(level);
  const auto isFive = filter(numberFilter(kEqual, "5"));
  struct Case {
    const char* name;
    std::shared_ptr<APMPBPropertyFilter> filter;
    const APMUserAttribute* property;
    std::int64_t code;
  };
  const Case cases[] = {
      {"no message", nullptr, level.get(), 7011},
      {"no property", propertyFilter(1, "level", isFive), nullptr, 7012},
      {"other name", propertyFilter(1, "score", isFive), level.get(), 7013},
      {"no filter", propertyFilter(1, "level", nullptr), level.get(), 7014},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(APMEvaluatePropertyFilter(c.filter.get(), c.property), std::nullopt);
    ASSERT_FALSE(monitor_->lines().empty());
    EXPECT_EQ(monitor_->lines().back().messageCode, c.code);
  }
}

TEST_F(APMAudienceEvaluationTest, WireUserPropertiesConvertOrAreRefused) {
  auto wire = APMPBUserAttribute::initWithMessageInfo(nullptr);
  nano_set_string_field(wire.get(), APMPBUserAttributeFields::kName, "level");
  nano_set_int64(wire.get(), APMPBUserAttributeFields::kSetTimestampMillis, 12500);
  EXPECT_FALSE(APMUserAttributeFromNano(*wire)) << "no value";
  EXPECT_FALSE(audience_->evaluateFiltersForNanoUserProperty(*wire, nullptr, std::nullopt));
  EXPECT_TRUE(logged(2, 6039));

  nano_set_double_field(wire.get(), APMPBUserAttributeFields::kDoubleValue, 2.5);
  auto property = APMUserAttributeFromNano(*wire);
  ASSERT_TRUE(property);
  EXPECT_EQ(property->name(), "level");
  EXPECT_TRUE(property->value()->isDouble());
  EXPECT_EQ(property->value()->doubleValue(), 2.5);
  EXPECT_EQ(property->lastSetTimestamp(), 12.5);
  EXPECT_EQ(property->origin(), "");
  nano_set_int64(wire.get(), APMPBUserAttributeFields::kIntValue, 4);
  EXPECT_EQ(APMUserAttributeFromNano(*wire)->value()->int64Value(), 4);
  nano_set_string_field(wire.get(), APMPBUserAttributeFields::kStringValue, "gold");
  EXPECT_EQ(APMUserAttributeFromNano(*wire)->value()->stringValue(), "gold");
}

TEST_F(APMAudienceEvaluationTest, ResultsForBundlingCarryFieldsOneToFour) {
  const Data changedPrevious = resultData({bit(1)}, {0});
  const Data unchanged = resultData({bit(1)}, {bit(1)}, {}, {{1, {90, 95, 99}}, {2, {80, 81}}});
  storeResult(row(1, resultData({bit(1)}, {bit(1)})));                   // never reported
  storeResult(row(2, resultData({bit(1)}, {bit(1)}), changedPrevious));  // changed
  storeResult(row(3, unchanged, unchanged));                             // unchanged
  storeResult(row(4, resultData({0}, {0})));                             // nothing evaluated
  storeResult(row(5, Data::fromString("\xff\xff")));                     // damaged

  std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> results;
  ASSERT_TRUE(audience_->resultsForBundling(&results));
  ASSERT_TRUE(results);
  std::map<std::int32_t, std::shared_ptr<APMPBAudienceLeafFilterResult>> byAudience;
  for (const auto& result : *results)
    byAudience[nano_get_int32(result.get(), RD::kLeafAudienceID)] = result;
  ASSERT_EQ(byAudience.size(), 3u);
  EXPECT_TRUE(logged(2, 6021));
  EXPECT_TRUE(logged(2, 6020));

  const auto current = [&](std::int32_t audienceID) {
    auto data = nano_get_message(byAudience[audienceID].get(), RD::kLeafCurrentResults,
                                 APMPBResultData::messageClass());
    return decode(static_cast<const APMPBResultData*>(data.get()));
  };
  const auto* first = byAudience[1].get();
  EXPECT_TRUE(nano_get_bool(first, RD::kLeafNoPreviousResults));
  EXPECT_FALSE(nano_has_field(first, RD::kLeafPreviousResults));
  EXPECT_EQ(current(1).results, Words{bit(1)});

  const auto* second = byAudience[2].get();
  EXPECT_TRUE(nano_has_field(second, RD::kLeafNoPreviousResults));
  EXPECT_FALSE(nano_get_bool(second, RD::kLeafNoPreviousResults));
  auto previous =
      nano_get_message(second, RD::kLeafPreviousResults, APMPBResultData::messageClass());
  ASSERT_TRUE(previous);
  EXPECT_EQ(previous->protoBuffer(), changedPrevious);

  const auto* third = byAudience[3].get();
  EXPECT_TRUE(nano_has_field(third, RD::kLeafNoPreviousResults));
  EXPECT_FALSE(nano_get_bool(third, RD::kLeafNoPreviousResults));
  EXPECT_FALSE(nano_has_field(third, RD::kLeafPreviousResults));
  const auto cut = std::map<std::int32_t, std::vector<std::int64_t>>{{1, {99}}, {2, {80, 81}}};
  EXPECT_EQ(current(3).sequenceTimes, cut);

  // What was reported became the previous results; the cut data is what is stored.
  EXPECT_EQ(stored(2)->previousResults, resultData({bit(1)}, {bit(1)}));
  EXPECT_EQ(stored(3)->previousResults, unchanged);
  EXPECT_EQ(storedWords(3).sequenceTimes, cut);
  EXPECT_FALSE(stored(4)->previousResults);

  // The next bundle sees audiences 1 and 2 unchanged. Audience 3 keeps its uncut data as
  // previous, so it is reported once more with it.
  ASSERT_TRUE(audience_->resultsForBundling(&results));
  ASSERT_EQ(results->size(), 3u);
  for (const auto& result : *results) {
    const auto audienceID = nano_get_int32(result.get(), RD::kLeafAudienceID);
    SCOPED_TRACE(audienceID);
    EXPECT_FALSE(nano_get_bool(result.get(), RD::kLeafNoPreviousResults));
    EXPECT_EQ(nano_has_field(result.get(), RD::kLeafPreviousResults), audienceID == 3);
  }
}

TEST_F(APMAudienceEvaluationTest, TheSessionClearForgetsSessionScopedFiltersOnly) {
  storeEventFilter(1, eventFilter(1, "level_up", {}, nullptr, {.sessionScoped = true}));
  storeEventFilter(2, eventFilter(1, "level_up", {}, nullptr, {.sessionScoped = true}));
  storeEventFilter(2, eventFilter(2, "level_up"));
  storePropertyFilter(2, propertyFilter(70, "level", filter(numberFilter(kEqual, "5")),
                                        {.dynamic = true, .sessionScoped = true}));
  storeEventFilter(3, eventFilter(1, "level_up"));
  const Data second = resultData({bit(1) | bit(2), bit(6)}, {bit(1) | bit(2), bit(6)},
                                 {{1, 100}, {2, 110}, {70, 120}}, {{1, {100, 101}}});
  const Data third = resultData({bit(1)}, {bit(1)});
  storeResult(row(1, resultData({bit(1)}, {bit(1)})));
  storeResult(row(2, second, resultData({bit(2)}, {0})));
  storeResult(row(3, third));

  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_FALSE(stored(1)) << "emptied audience's row is deleted";
  auto cleared = stored(2);
  ASSERT_TRUE(cleared);
  const auto words = decode(cleared->currentResults);
  EXPECT_EQ(words.status, (Words{bit(2), 0}));
  EXPECT_EQ(words.results, (Words{bit(2), 0}));
  EXPECT_EQ(words.dynamicTimes, (std::map<std::int32_t, std::int64_t>{{2, 110}}));
  EXPECT_TRUE(words.sequenceTimes.empty());
  EXPECT_EQ(cleared->previousResults, second);
  EXPECT_EQ(stored(3)->currentResults, third);
  EXPECT_FALSE(stored(3)->previousResults);
}

TEST_F(APMAudienceEvaluationTest, DatabaseFailuresEndWithNoAndTheirLine) {
  storeEventFilter(1, eventFilter(1, "level_up", {}, nullptr, {.sessionScoped = true}));
  storePropertyFilter(1, propertyFilter(2, "level", filter(numberFilter(kEqual, "5"))));
  storeResult(row(1, resultData({bit(1)}, {bit(1)})));
  const auto event = [&] { return evaluateEvent("level_up", {}); };
  const auto property = [&] {
    return evaluateProperty("level", Value(APMValue::initWithInt64(5)));
  };
  const auto bundle = [&] {
    std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> results;
    const bool ok = audience_->resultsForBundling(&results);
    EXPECT_FALSE(results) << "no results on failure";
    return ok;
  };
  const auto clear = [&] { return audience_->clearEvaluationResultsForSessionScopedFilters(); };
  const auto refuseWrites =
      "CREATE TRIGGER refuse BEFORE UPDATE ON audience_filter_values BEGIN "
      "SELECT RAISE(FAIL, 'refused'); END; CREATE TRIGGER refuse_insert BEFORE INSERT ON "
      "audience_filter_values BEGIN SELECT RAISE(FAIL, 'refused'); END; CREATE TRIGGER "
      "refuse_delete BEFORE DELETE ON audience_filter_values BEGIN SELECT RAISE(FAIL, "
      "'refused'); END";
  struct Case {
    const char* name;
    std::string damage;
    std::function<bool()> call;
    std::int64_t level;
    std::int64_t code;
  };
  const Case cases[] = {
      {"event filters", "DROP TABLE event_filters", event, 1, 6000},
      {"event's audience result", "DROP TABLE audience_filter_values", event, 1, 6001},
      {"event's save", refuseWrites, event, 1, 6003},
      {"property filters", "DROP TABLE property_filters", property, 1, 6004},
      {"property's audience result", "DROP TABLE audience_filter_values", property, 1, 6005},
      {"property's save", refuseWrites, property, 1, 6007},
      {"bundle's read", "DROP TABLE audience_filter_values", bundle, 1, 6019},
      {"bundle's save", refuseWrites, bundle, 1, 6022},
      {"clear's filters", "DROP TABLE event_filters", clear, 1, 6040},
      {"clear's results", "DROP TABLE audience_filter_values", clear, 1, 6041},
      {"clear's delete", refuseWrites, clear, 1, 6042},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    execute("SAVEPOINT damage");
    execute(c.damage);
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(logged(c.level, c.code));
    execute("ROLLBACK TO damage; RELEASE damage");
  }
}

}  // namespace
