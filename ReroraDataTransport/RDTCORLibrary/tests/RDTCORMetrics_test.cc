#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "platform/keyed_archive.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Date;
using platform::Dictionary;
using platform::Value;

std::shared_ptr<RDTCOREvent> eventWithMappingID(const std::string& mappingID) {
  // The default-made event has an empty mapping ID, which initWithMappingID refuses.
  if (mappingID.empty()) return std::make_shared<RDTCOREvent>();
  return RDTCOREvent::initWithMappingID(mappingID, RDTCORTargetFLL);
}

RDTCOREventSet eventsWithMappingIDs(const std::vector<std::string>& mappingIDs) {
  RDTCOREventSet events;
  for (const auto& mappingID : mappingIDs) events.push_back(eventWithMappingID(mappingID));
  return events;
}

// Writes exactly the keys a case gives, under a chosen class name, so that a case can make
// archives the classes themselves never write.
class HandMadeArchive : public platform::SecureCodingObject {
 public:
  HandMadeArchive(std::string className, std::function<void(platform::KeyedArchiver&)> encode)
      : className_(std::move(className)), encode_(std::move(encode)) {}
  std::string archiveClassName() const override { return className_; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::string className_;
  std::function<void(platform::KeyedArchiver&)> encode_;
};

platform::SecureCodingPtr handMade(std::string className,
                                   std::function<void(platform::KeyedArchiver&)> encode) {
  return std::make_shared<HandMadeArchive>(std::move(className), std::move(encode));
}

class RDTCORMetricsTest : public ::testing::Test {
 protected:
  // The hand-made archives use the real class names, so that the real decoders read them.
  void SetUp() override { RDTCORMetricsLoad(); }

  static std::shared_ptr<RDTCORMetricsMetadata> unarchiveMetadata(const platform::Data& data) {
    const auto object =
        platform::KeyedUnarchiver::unarchivedObject({kRDTCORMetricsMetadataClassName}, data);
    return platform::recordAs<RDTCORMetricsMetadata>(object);
  }

  static std::shared_ptr<RDTCORMetricsMetadata>
  unarchiveHandMadeMetadata(std::function<void(platform::KeyedArchiver&)> encode) {
    const auto data = platform::KeyedArchiver::archivedData(
        handMade(kRDTCORMetricsMetadataClassName, std::move(encode)));
    EXPECT_TRUE(data.has_value());
    return data ? unarchiveMetadata(*data) : nullptr;
  }

  testing_support::ManualClockScope clock_;
};

TEST_F(RDTCORMetricsTest, CountsEventsPerMappingIDAndReason) {
  const auto stored = RDTCORLogSourceMetrics::metricsWithEvents(
      eventsWithMappingIDs({"1206", "1974", "1206", "", "1206"}), RDTCOREventDropReasonStorageFull);
  const RDTCORDroppedEventCounterByLogSource expected = {{"1206", {{2, 3}}}, {"1974", {{2, 1}}}};
  EXPECT_EQ(stored->droppedEventCounterByLogSource(), expected);

  const auto expired = RDTCORLogSourceMetrics::metricsWithEvents(
      eventsWithMappingIDs({"1206"}), RDTCOREventDropReasonMessageTooOld);
  const auto merged = stored->logSourceMetricsByMergingWithLogSourceMetrics(*expired);
  const RDTCORDroppedEventCounterByLogSource expectedMerged = {{"1206", {{1, 1}, {2, 3}}},
                                                               {"1974", {{2, 1}}}};
  EXPECT_EQ(merged->droppedEventCounterByLogSource(), expectedMerged);
  // Merging makes a new object; both sides stay as they were.
  EXPECT_EQ(stored->droppedEventCounterByLogSource(), expected);

  EXPECT_TRUE(RDTCORLogSourceMetrics::metricsWithEvents(eventsWithMappingIDs({"", ""}), 2)
                  ->droppedEventCounterByLogSource()
                  .empty());
  EXPECT_TRUE(RDTCORLogSourceMetrics::metrics()->droppedEventCounterByLogSource().empty());
}

TEST_F(RDTCORMetricsTest, MergingAddsMatchingCountsAndKeepsEverythingElse) {
  const RDTCORLogSourceMetrics first({{"a", {{1, 2}, {2, 5}}}, {"b", {{1, 1}}}});
  const RDTCORLogSourceMetrics second({{"a", {{2, 10}, {6, 1}}}, {"c", {{5, 4}}}});
  const RDTCORDroppedEventCounterByLogSource expected = {
      {"a", {{1, 2}, {2, 15}, {6, 1}}}, {"b", {{1, 1}}}, {"c", {{5, 4}}}};
  EXPECT_EQ(
      first.logSourceMetricsByMergingWithLogSourceMetrics(second)->droppedEventCounterByLogSource(),
      expected);

  // Counts read from disk may be at the limit already: they stay there.
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const RDTCORLogSourceMetrics full({{"a", {{1, max}}}});
  EXPECT_EQ(
      full.logSourceMetricsByMergingWithLogSourceMetrics(RDTCORLogSourceMetrics({{"a", {{1, 3}}}}))
          ->droppedEventCounterByLogSource()
          .at("a")
          .at(1),
      max);

  // The block sees the first map's value, then the second's.
  const std::map<std::string, std::string> mergedText =
      RDTCORLogSourceMetrics::dictionaryByMergingDictionary(
          std::map<std::string, std::string>{{"k", "first"}, {"only1", "x"}},
          std::map<std::string, std::string>{{"k", "second"}, {"only2", "y"}},
          [](const std::string& a, const std::string& b) { return a + "+" + b; });
  EXPECT_EQ(mergedText, (std::map<std::string, std::string>{
                            {"k", "first+second"}, {"only1", "x"}, {"only2", "y"}}));
}

TEST_F(RDTCORMetricsTest, EqualityAndHash) {
  const RDTCORLogSourceMetrics counts({{"1206", {{2, 3}}}});
  const RDTCORLogSourceMetrics same({{"1206", {{2, 3}}}});
  const RDTCORLogSourceMetrics other({{"1206", {{2, 4}}}});
  EXPECT_EQ(counts, same);
  EXPECT_EQ(counts.hash(), same.hash());
  EXPECT_FALSE(counts == other);

  const Date start = Date::fromTimeIntervalSince1970(1000);
  const RDTCORMetricsMetadata metadata(start, std::make_shared<RDTCORLogSourceMetrics>(counts));
  EXPECT_EQ(metadata, RDTCORMetricsMetadata(start, std::make_shared<RDTCORLogSourceMetrics>(same)));
  EXPECT_EQ(metadata.hash(),
            RDTCORMetricsMetadata(start, std::make_shared<RDTCORLogSourceMetrics>(same)).hash());
  EXPECT_FALSE(metadata == RDTCORMetricsMetadata(start.addingTimeInterval(1),
                                                 std::make_shared<RDTCORLogSourceMetrics>(counts)));
  EXPECT_FALSE(metadata ==
               RDTCORMetricsMetadata(start, std::make_shared<RDTCORLogSourceMetrics>(other)));

  const auto make = [&](double startSeconds, double endSeconds, const RDTCORLogSourceMetrics& lsm,
                        std::uint64_t current, std::uint64_t max, std::string bundleID) {
    return RDTCORMetrics(
        Date::fromTimeIntervalSince1970(startSeconds), Date::fromTimeIntervalSince1970(endSeconds),
        std::make_shared<RDTCORLogSourceMetrics>(lsm), current, max, std::move(bundleID));
  };
  const RDTCORMetrics metrics = make(1, 2, counts, 3, 4, "id");
  EXPECT_EQ(metrics, make(1, 2, same, 3, 4, "id"));
  EXPECT_EQ(metrics.hash(), make(1, 2, same, 3, 4, "id").hash());
  const std::vector<RDTCORMetrics> differing = {
      make(9, 2, counts, 3, 4, "id"), make(1, 9, counts, 3, 4, "id"),
      make(1, 2, other, 3, 4, "id"),  make(1, 2, counts, 9, 4, "id"),
      make(1, 2, counts, 3, 9, "id"), make(1, 2, counts, 3, 4, "other")};
  for (std::size_t i = 0; i < differing.size(); ++i) {
    EXPECT_FALSE(metrics == differing[i]) << "field " << i;
  }
}

TEST_F(RDTCORMetricsTest, MetadataArchivesAndReadsBack) {
  const auto metadata = RDTCORMetricsMetadata::metadataWithCollectionStartDate(
      Date::fromTimeIntervalSince1970(1'699'999'000.5),
      RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
          {{"1206", {{1, 1}, {2, 3}}},
           {"1974", {{-4, std::numeric_limits<std::int64_t>::max()}}},
           {"empty", {}}}));
  const auto data = platform::KeyedArchiver::archivedData(platform::SecureCodingPtr(metadata));
  ASSERT_TRUE(data.has_value());
  const auto read = unarchiveMetadata(*data);
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(read->isEqualToMetricsMetadata(*metadata));
}

TEST_F(RDTCORMetricsTest, MalformedMetadataArchivesDecodeAsNothing) {
  const Value date = Value(Date::fromTimeIntervalSince1970(1000));
  const auto counterArchive = [](Value counter) {
    return handMade(kRDTCORLogSourceMetricsClassName, [counter](platform::KeyedArchiver& coder) {
      coder.encodeObject(kRDTCORDroppedEventCounterByLogSourceKey, counter);
    });
  };
  const auto goodCounter = counterArchive(Dictionary{{"1206", Dictionary{{"2", 3}}}});

  struct Case {
    const char* name;
    std::function<void(platform::KeyedArchiver&)> encode;
  };
  const auto withCounter = [&](Value counter) {
    return [date, archive = counterArchive(std::move(counter))](platform::KeyedArchiver& coder) {
      coder.encodeObject(kRDTCORCollectionStartDateKey, date);
      coder.encodeObject(kRDTCORLogSourceMetricsKey, archive);
    };
  };
  const std::vector<Case> cases = {
      {"no logSourceMetrics",
       [&](platform::KeyedArchiver& coder) {
         coder.encodeObject(kRDTCORCollectionStartDateKey, date);
       }},
      {"no date",
       [&](platform::KeyedArchiver& coder) {
         coder.encodeObject(kRDTCORLogSourceMetricsKey, goodCounter);
       }},
      {"date of another class",
       [&](platform::KeyedArchiver& coder) {
         coder.encodeObject(kRDTCORCollectionStartDateKey, Value(1000));
         coder.encodeObject(kRDTCORLogSourceMetricsKey, goodCounter);
       }},
      {"logSourceMetrics of another class",
       [&](platform::KeyedArchiver& coder) {
         coder.encodeObject(kRDTCORCollectionStartDateKey, date);
         coder.encodeObject(kRDTCORLogSourceMetricsKey, Value(Dictionary{}));
       }},
      {"counter not a dictionary", withCounter(Value("1206"))},
      {"counter missing", withCounter(Value())},
      {"inner value not a dictionary", withCounter(Dictionary{{"1206", 3}})},
      {"count not a number", withCounter(Dictionary{{"1206", Dictionary{{"2", "3"}}}})},
      {"count of a refused class",
       withCounter(Dictionary{{"1206", Dictionary{{"2", platform::Data::fromString("x")}}}})},
      {"reason not a number", withCounter(Dictionary{{"1206", Dictionary{{"two", 3}}}})},
      {"reason with a leading zero", withCounter(Dictionary{{"1206", Dictionary{{"02", 3}}}})},
      {"reason beyond 64 bits",
       withCounter(Dictionary{{"1206", Dictionary{{"99999999999999999999", 3}}}})},
      {"empty reason", withCounter(Dictionary{{"1206", Dictionary{{"", 3}}}})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unarchiveHandMadeMetadata(c.encode), nullptr) << c.name;
  }
  // The same layout with good parts reads.
  EXPECT_NE(unarchiveHandMadeMetadata(withCounter(Dictionary{{"1206", Dictionary{{"-2", 3.9}}}})),
            nullptr);

  // A log source that is not UTF-8 (which no writer makes, hence the patched bytes) is refused:
  // it could never be written back.
  const auto metadata = RDTCORMetricsMetadata::metadataWithCollectionStartDate(
      Date::fromTimeIntervalSince1970(1000),
      RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource({{"12@@", {{2, 3}}}}));
  auto data = platform::KeyedArchiver::archivedData(platform::SecureCodingPtr(metadata));
  ASSERT_TRUE(data.has_value());
  std::string bytes = data->toString();
  const auto at = bytes.find("12@@");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 4, "12\xff\xfe");
  EXPECT_EQ(unarchiveMetadata(platform::Data::fromString(bytes)), nullptr);
}

TEST_F(RDTCORMetricsTest, MetricsFromMetadataEndNowWithStoreSizesAndBundleID) {
  testing_support::TemporaryHome home;
  home.useBundle({{"CFBundleIdentifier", "com.example.metrics"}});
  const auto counts =
      RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource({{"1206", {{2, 3}}}});
  const RDTCORMetricsMetadata metadata(Date::fromTimeIntervalSince1970(1'600'000'000), counts);
  clock_.advance(60);
  const auto metrics = RDTCORMetrics::metricsWithMetricsMetadata(
      metadata, RDTCORStorageMetadata(4096, kRDTCORFlatFileStorageSizeLimit));
  EXPECT_EQ(*metrics, RDTCORMetrics(Date::fromTimeIntervalSince1970(1'600'000'000),
                                    Date::fromTimeIntervalSince1970(1'700'000'060), counts, 4096,
                                    20'000'000, "com.example.metrics"));
}

TEST_F(RDTCORMetricsTest, Descriptions) {
  const RDTCORLogSourceMetrics counts({{"1206", {{2, 3}}}});
  EXPECT_TRUE(std::regex_match(
      counts.description(), std::regex("<RDTCORLogSourceMetrics: 0x[0-9a-f]+> "
                                       "\\{\\s*1206\\s*=\\s*\\{\\s*2\\s*=\\s*3;\\s*\\};\\s*\\}")))
      << counts.description();
  const RDTCORMetrics metrics(Date::fromTimeIntervalSince1970(0),
                              Date::fromTimeIntervalSince1970(0),
                              std::make_shared<RDTCORLogSourceMetrics>(counts), 12, 34, "b.id");
  const std::string text = metrics.description();
  EXPECT_TRUE(std::regex_search(text, std::regex("^<RDTCORMetrics: 0x[0-9a-f]+> \\{\n "
                                                 "collectionStartDate: ")))
      << text;
  EXPECT_NE(text.find(",\n currentCacheSize: 12,\n maxCacheSize: 34,\n bundleID: b.id,\n "
                      "logSourceMetrics: <RDTCORLogSourceMetrics: 0x"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
}

}  // namespace
