// The evaluation times of dynamic, session-scoped and sequence filters while one bundle is
// evaluated: what a stored result loads, how true evaluations advance the times, and the
// messages written back into results.

#include "analytics/audiences/APMAudienceTimestampsCache.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/tests/recording_monitor.h"

namespace {

namespace R = APMPBResultDataFields;
using analytics_test::ScopedMonitor;

enum class Kind { kPlain, kDynamic, kSessionScoped, kSequence };

APMEventFilter eventFilter(std::int32_t audienceID, std::int32_t filterID, Kind kind) {
  APMEventFilter filter;
  filter.audienceID = audienceID;
  filter.filterID = filterID;
  filter.eventName = "_e";
  filter.dynamic = kind == Kind::kDynamic;
  filter.sessionScoped = kind == Kind::kSessionScoped;
  filter.sequence = kind == Kind::kSequence;
  return filter;
}

APMPropertyFilter propertyFilter(std::int32_t audienceID, std::int32_t filterID, Kind kind) {
  APMPropertyFilter filter;
  filter.audienceID = audienceID;
  filter.filterID = filterID;
  filter.propertyName = "_p";
  filter.dynamic = kind == Kind::kDynamic;
  filter.sessionScoped = kind == Kind::kSessionScoped;
  filter.sequence = kind == Kind::kSequence;
  return filter;
}

using Pairs = std::vector<std::pair<std::int32_t, std::int64_t>>;
using Lists = std::vector<std::pair<std::int32_t, std::vector<std::int64_t>>>;

Pairs dynamicPairs(const APMAudienceTimestampsCache& cache, std::int32_t audienceID) {
  Pairs pairs;
  for (const auto& message : cache.dynamicTimestampsForAudienceID(audienceID)) {
    EXPECT_TRUE(nano_has_field(message.get(), R::kDynamicTimestamp));
    pairs.emplace_back(nano_get_int32(message.get(), R::kDynamicFilterID),
                       nano_get_int64(message.get(), R::kDynamicTimestamp));
  }
  return pairs;
}

Lists listsOf(const std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>& messages) {
  Lists lists;
  for (const auto& message : messages) {
    std::vector<std::int64_t> times;
    for (const auto& element : nano_get_array(message.get(), R::kSequenceEvalTimestamps, nullptr)
                                   .value_or(NanoObjectArray{}))
      times.push_back(std::get<platform::Value>(element).longLongValue());
    lists.emplace_back(nano_get_int32(message.get(), R::kSequenceFilterID), std::move(times));
  }
  return lists;
}

std::optional<Lists> sequenceLists(const APMAudienceTimestampsCache& cache,
                                   std::int32_t audienceID) {
  auto messages = cache.sequenceTimestampsForAudienceID(audienceID);
  if (!messages) return std::nullopt;
  return listsOf(*messages);
}

std::vector<std::int64_t> codesOf(const ScopedMonitor& monitor) {
  std::vector<std::int64_t> codes;
  for (const auto& line : monitor->lines()) {
    EXPECT_EQ(line.level, 5) << line.messageCode;
    codes.push_back(line.messageCode);
  }
  return codes;
}

// A stored result holding these dynamic times and sequence lists.
APMFilterResult storedResult(std::int32_t audienceID, const Pairs& dynamic, const Lists& sequence) {
  auto results = APMPBResultData::initWithMessageInfo(nullptr);
  NanoObjectArray dynamicEntries;
  for (const auto& [filterID, time] : dynamic) {
    auto entry = APMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    nano_set_int32(entry.get(), R::kDynamicFilterID, filterID);
    nano_set_int64(entry.get(), R::kDynamicTimestamp, time);
    dynamicEntries.emplace_back(NanoMessagePtr(entry));
  }
  nano_set_array(results.get(), R::kDynamicFilterTimestamps, &dynamicEntries);
  NanoObjectArray sequenceEntries;
  for (const auto& [filterID, times] : sequence) {
    auto entry = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    nano_set_int32(entry.get(), R::kSequenceFilterID, filterID);
    NanoObjectArray stamps;
    for (std::int64_t time : times) stamps.emplace_back(platform::Value(time));
    nano_set_array(entry.get(), R::kSequenceEvalTimestamps, &stamps);
    sequenceEntries.emplace_back(NanoMessagePtr(entry));
  }
  nano_set_array(results.get(), R::kSequenceFilterTimestamps, &sequenceEntries);
  return APMFilterResult{audienceID, results->protoBuffer().value(), std::nullopt};
}

TEST(APMAudienceTimestampsCacheTest, DynamicAndSessionScopedTimesOnlyMoveForward) {
  struct Case {
    Kind kind;
    bool propertyFilter;
  };
  for (const Case c : {Case{Kind::kDynamic, false}, Case{Kind::kSessionScoped, false},
                       Case{Kind::kDynamic, true}, Case{Kind::kSessionScoped, true}}) {
    SCOPED_TRACE(testing::Message()
                 << "kind " << static_cast<int>(c.kind) << " property " << c.propertyFilter);
    ScopedMonitor monitor;
    APMAudienceTimestampsCache cache;
    cache.populateCachedTimestamps(nullptr, 1);
    auto add = [&](double time, std::int32_t filterID) {
      if (c.propertyFilter)
        cache.addEvaluationTimestamp(time, propertyFilter(1, filterID, c.kind));
      else
        cache.addEvaluationTimestamp(time, eventFilter(1, filterID, c.kind));
    };
    add(100.2, 7);
    add(100.9, 7);
    add(50.0, 2);
    EXPECT_TRUE(codesOf(monitor).empty());
    // Stored whole seconds, filters ascending.
    EXPECT_EQ(dynamicPairs(cache, 1), (Pairs{{2, 50}, {7, 100}}));

    // The cached time is 100.9, not the 100 written out: 100.5 is earlier, and so is an equal
    // time; neither changes it, while 101.3 does.
    add(100.5, 7);
    add(100.9, 7);
    EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{6037, 6037}));
    EXPECT_EQ(monitor->lines()[0].message,
              "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
    EXPECT_EQ(dynamicPairs(cache, 1), (Pairs{{2, 50}, {7, 100}}));
    add(101.3, 7);
    EXPECT_EQ(dynamicPairs(cache, 1), (Pairs{{2, 50}, {7, 101}}));
    EXPECT_EQ(sequenceLists(cache, 1), Lists{});
  }
}

TEST(APMAudienceTimestampsCacheTest, OnlyPopulatedAudiencesAndTimedFiltersRecordTimes) {
  ScopedMonitor monitor;
  APMAudienceTimestampsCache cache;
  // Never populated: a dynamic time has nowhere to go, and nothing is logged.
  cache.addEvaluationTimestamp(100, eventFilter(3, 1, Kind::kDynamic));
  EXPECT_TRUE(dynamicPairs(cache, 3).empty());
  EXPECT_EQ(cache.sequenceTimestampsForAudienceID(3), std::nullopt);

  // A plain filter records nothing even in a populated audience.
  cache.populateCachedTimestamps(nullptr, 3);
  cache.addEvaluationTimestamp(100, eventFilter(3, 1, Kind::kPlain));
  cache.addEvaluationTimestamp(100, propertyFilter(3, 2, Kind::kPlain));
  EXPECT_TRUE(dynamicPairs(cache, 3).empty());
  EXPECT_EQ(sequenceLists(cache, 3), Lists{});

  // A sequence filter makes its audience's sequence cache when missing.
  cache.addEvaluationTimestamp(100, eventFilter(4, 1, Kind::kSequence));
  EXPECT_EQ(sequenceLists(cache, 4), (Lists{{1, {100}}}));
  EXPECT_TRUE(codesOf(monitor).empty());
}

TEST(APMAudienceTimestampsCacheTest, SequenceEventFiltersKeepOneTimePerWholeSecond) {
  ScopedMonitor monitor;
  APMAudienceTimestampsCache cache;
  const APMEventFilter filter = eventFilter(1, 5, Kind::kSequence);
  cache.addEvaluationTimestamp(100.2, filter);
  cache.addEvaluationTimestamp(100.7, filter);
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{5, {100}}}));
  cache.addEvaluationTimestamp(101.0, filter);
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{5, {100, 101}}}));
  EXPECT_TRUE(codesOf(monitor).empty());

  // An earlier time is logged and still kept; the written list is ascending.
  cache.addEvaluationTimestamp(90.0, filter);
  EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{42000}));
  EXPECT_EQ(monitor->lines()[0].message,
            "Adding a sequence timestamp less than the last added timestamp");
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{5, {90, 100, 101}}}));
  // Sequence filters never touch the dynamic times.
  EXPECT_TRUE(dynamicPairs(cache, 1).empty());
}

TEST(APMAudienceTimestampsCacheTest, SequencePropertyFiltersKeepOnlyTheLatestSetTime) {
  ScopedMonitor monitor;
  APMAudienceTimestampsCache cache;
  const APMPropertyFilter filter = propertyFilter(1, 5, Kind::kSequence);
  cache.addEvaluationTimestamp(100, filter);
  cache.addEvaluationTimestamp(120.5, filter);
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{5, {120}}}));
  EXPECT_TRUE(codesOf(monitor).empty());
  cache.addEvaluationTimestamp(90, filter);
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{5, {90}}}));
  EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{42001}));
  EXPECT_EQ(monitor->lines()[0].message,
            "Setting a sequence timestamp less than the last set timestamp");
}

TEST(APMAudienceTimestampsCacheTest, PopulatingLoadsStoredTimesOncePerAudience) {
  APMAudienceTimestampsCache cache;
  const APMFilterResult stored = storedResult(1, {{4, 70}, {2, 300}}, {{3, {10, 20, 30}}, {6, {}}});
  cache.populateCachedTimestamps(&stored, 1);
  EXPECT_EQ(dynamicPairs(cache, 1), (Pairs{{2, 300}, {4, 70}}));
  // Only the newest stored sequence time is loaded; a filter without times is not.
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{3, {30}}}));

  // A second populate, even with other results, changes nothing.
  const APMFilterResult other = storedResult(1, {{9, 900}}, {{9, {900}}});
  cache.populateCachedTimestamps(&other, 1);
  cache.populateCachedTimestamps(nullptr, 1);
  EXPECT_EQ(dynamicPairs(cache, 1), (Pairs{{2, 300}, {4, 70}}));
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{3, {30}}}));

  // The loaded time counts: an earlier dynamic time is refused, a later one accepted.
  ScopedMonitor monitor;
  cache.addEvaluationTimestamp(250, eventFilter(1, 2, Kind::kDynamic));
  EXPECT_EQ(codesOf(monitor), (std::vector<std::int64_t>{6037}));
  cache.addEvaluationTimestamp(31, eventFilter(1, 3, Kind::kSequence));
  EXPECT_EQ(sequenceLists(cache, 1), (Lists{{3, {30, 31}}}));
}

TEST(APMAudienceTimestampsCacheTest, AStoredResultThatDoesNotDecodeGivesEmptyEntries) {
  const std::vector<std::vector<std::uint8_t>> damaged = {
      {0xff},                    // a truncated varint key
      {0x1a, 0x05, 0x08},        // a nested message longer than the bytes left
      {0x22, 0x02, 0x12, 0x7f},  // a sequence entry whose times run past its end
  };
  for (const auto& bytes : damaged) {
    APMAudienceTimestampsCache cache;
    APMFilterResult stored{2, platform::Data(bytes.data(), bytes.size()), std::nullopt};
    cache.populateCachedTimestamps(&stored, 2);
    EXPECT_TRUE(dynamicPairs(cache, 2).empty());
    EXPECT_EQ(sequenceLists(cache, 2), Lists{});
    // Loaded all the same: a later good row does not replace the empty entries.
    const APMFilterResult good = storedResult(2, {{1, 5}}, {});
    cache.populateCachedTimestamps(&good, 2);
    EXPECT_TRUE(dynamicPairs(cache, 2).empty());
  }
}

TEST(APMSequenceTimestampsCacheTest, LookUpsGiveCopiesAndNoneForMissingIDs) {
  EXPECT_EQ(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt), nullptr);
  auto cache = APMSequenceTimestampsCache::initWithAudienceID(8);
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->audienceID(), 8);
  EXPECT_TRUE(cache->sequenceFilterResultTimestamps().empty());
  cache->addEventFilterTimestamp(12.5, 4);
  cache->setUserPropertyTimestamp(3, 1);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(std::nullopt), std::nullopt);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(2), std::nullopt);
  auto copy = cache->sequenceTimestampsForFilterID(4);
  ASSERT_TRUE(copy);
  EXPECT_EQ(*copy, std::vector<double>{12.5});
  copy->push_back(99);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(4), std::vector<double>{12.5});
  EXPECT_EQ(listsOf(cache->sequenceFilterResultTimestamps()), (Lists{{1, {3}}, {4, {12}}}));
}

}  // namespace
