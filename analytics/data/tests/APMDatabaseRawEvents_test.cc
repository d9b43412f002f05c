// Raw events and their metadata in the analytics database: round trips, the bounded reads,
// trimming and stale deletion, and rows of a damaged or older file read back.

#include "analytics/data/APMDatabaseRawEvents.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMEvent.h"
#include "analytics/data/APMRawEventData.h"
#include "analytics/data/APMRemoteConfig.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMDigestAndEncoding.h"
#include "analytics/messages/APMPBFieldIndexes.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using analytics_test::ScopedMonitor;
using platform::Array;
using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

using namespace APMPBEventFields;

class TestDatabase final : public APMDatabaseRawEvents {};

std::int64_t codeOf(const ErrorPtr& error) { return error ? error->code() : 0; }
std::string messageOf(const ErrorPtr& error) {
  return error ? error->localizedDescription() : std::string();
}

// A wire parameter: named (or not), with one value or nested parameters.
std::shared_ptr<APMPBEventParam> param(std::optional<std::string> name,
                                       std::optional<Value> value = std::nullopt,
                                       std::vector<std::shared_ptr<APMPBEventParam>> nested = {}) {
  auto p = APMPBEventParam::initWithMessageInfo(nullptr);
  if (name) nano_set_string_field(p.get(), kParamName, *name);
  if (value) {
    if (const std::string* text = value->asString())
      nano_set_string_field(p.get(), kParamStringValue, *text);
    else if (value->type() == Value::Type::Double)
      nano_set_double_field(p.get(), kParamDoubleValue, *value->asDouble());
    else
      nano_set_int64(p.get(), kParamIntValue, *value->asInt());
  }
  if (!nested.empty()) {
    NanoObjectArray elements;
    for (auto& n : nested) elements.emplace_back(NanoMessagePtr(n));
    nano_set_array(p.get(), kParamParamValue, &elements);
  }
  return p;
}

Data eventBlob(const std::vector<std::shared_ptr<APMPBEventParam>>& params,
               std::int64_t previousMillis = 0) {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  NanoObjectArray elements;
  for (const auto& p : params) elements.emplace_back(NanoMessagePtr(p));
  nano_set_array(event.get(), kEventParams, &elements);
  if (previousMillis != 0)
    nano_set_int64(event.get(), kEventPreviousTimestampMillis, previousMillis);
  return *event->protoBuffer();
}

Dictionary rawRow(std::int64_t rowID, Data data, const std::string& name = "e",
                  Value timestamp = Value(5.0), std::int64_t fingerprint = 9) {
  return Dictionary{{"rowid", Value(rowID)},
                    {"name", Value(name)},
                    {"timestamp", std::move(timestamp)},
                    {"metadata_fingerprint", Value(fingerprint)},
                    {"data", Value(std::move(data))}};
}

APMValuePtr typed(const APMEvent& event, std::string_view name) {
  const Value* object = event.parameters().find(name);
  return object != nullptr ? APMValueOf(*object) : nullptr;
}

std::shared_ptr<APMPBMeasurementBundle> bundleWithIndex(std::int32_t index) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  // Field 0 of a bundle is its protocol version; any field makes the metadata distinct.
  nano_set_int32(bundle.get(), 0, index);
  return bundle;
}

class APMDatabaseRawEventsTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    config_ = std::make_shared<APMRemoteConfig>();
    APMMeasurementSetRemoteConfig(config_);
    ErrorPtr error;
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "measurement.sql").string(), &error))
        << messageOf(error);
  }
  void TearDown() override { APMMeasurementSetRemoteConfig(nullptr); }

  std::shared_ptr<APMEvent> event(const std::string& name, double timestamp,
                                  const Dictionary& parameters = {}) {
    return APMEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
  }
  void insert(const std::string& name, double timestamp, std::int64_t fingerprint,
              bool realtime = false) {
    ErrorPtr error;
    ASSERT_TRUE(database_.insertRawEvent(event(name, timestamp), fingerprint, realtime, &error))
        << messageOf(error);
  }
  void insertRow(const Dictionary& record) {
    Dictionary stored = record;
    stored.erase("rowid");
    ErrorPtr error;
    ASSERT_TRUE(database_.insertDataType(stored, kAPMRawEventsTable, &error)) << messageOf(error);
  }
  std::int64_t count(const std::string& table) {
    return database_.sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1);
  }
  std::vector<Dictionary> rows(const std::string& query) {
    return database_.sqliteStore()
        ->recordsForQuery(query, {}, nullptr)
        .value_or(std::vector<Dictionary>{});
  }

  ScopedMonitor monitor_;
  std::shared_ptr<APMRemoteConfig> config_;
  TestDatabase database_;
};

TEST_F(APMDatabaseRawEventsTest, MetadataIsStoredOncePerFingerprintAndReadBack) {
  const auto bundle = bundleWithIndex(3);
  const std::int64_t fingerprint = apm_64LSBMD5(*bundle->protoBuffer());
  ErrorPtr error;
  ASSERT_TRUE(database_.insertIfNotExistsRawEventMetadata(bundle.get(), &error));
  // The second call finds the row and writes nothing, even where a write would now fail.
  database_.sqliteStore()->executeSQL(
      "CREATE TRIGGER no_writes BEFORE INSERT ON raw_events_metadata BEGIN SELECT RAISE(FAIL, "
      "'written'); END",
      nullptr);
  EXPECT_TRUE(database_.insertIfNotExistsRawEventMetadata(bundle.get(), &error));
  EXPECT_EQ(count(kAPMRawEventsMetadataTable), 1);
  EXPECT_FALSE(database_.insertIfNotExistsRawEventMetadata(bundleWithIndex(4).get(), &error));

  const auto back = database_.queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(*back->protoBuffer(), *bundle->protoBuffer());
  EXPECT_EQ(database_.queryRawEventsMetadataWithFingerprint(fingerprint + 1, nullptr), nullptr);

  ASSERT_TRUE(database_.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error));
  EXPECT_EQ(count(kAPMRawEventsMetadataTable), 0);
}

TEST_F(APMDatabaseRawEventsTest, EmptyOrDamagedMetadataIsRefused) {
  ErrorPtr error;
  const auto empty = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  for (const APMPBMeasurementBundle* bundle : {empty.get(), (APMPBMeasurementBundle*)nullptr}) {
    error = nullptr;
    EXPECT_FALSE(database_.insertIfNotExistsRawEventMetadata(bundle, &error));
    EXPECT_EQ(codeOf(error), 3);
    EXPECT_EQ(messageOf(error),
              "Received empty measurement bundle metadata for getting dictionary representation");
  }

  // Rows of a damaged file: an empty blob, and bytes that do not decode.
  ASSERT_TRUE(database_.insertDataType(
      Dictionary{{"metadata_fingerprint", Value(1)}, {"metadata", Value(Data())}},
      kAPMRawEventsMetadataTable, nullptr));
  ASSERT_TRUE(database_.insertDataType(
      Dictionary{{"metadata_fingerprint", Value(2)}, {"metadata", Value(Data("\xff\xff\xff", 3))}},
      kAPMRawEventsMetadataTable, nullptr));
  error = nullptr;
  EXPECT_EQ(database_.queryRawEventsMetadataWithFingerprint(1, &error), nullptr);
  EXPECT_EQ(codeOf(error), 2);  // the generic read: no row could be converted
  error = nullptr;
  EXPECT_EQ(database_.queryRawEventsMetadataWithFingerprint(2, &error), nullptr);
  EXPECT_NE(error, nullptr);
}

TEST_F(APMDatabaseRawEventsTest, ADamagedMetadataRowIsReplacedByTheBytesOfItsFingerprint) {
  // Left in place, the damaged row would keep every event of its fingerprint from being
  // bundled; storing the metadata again must mend it, not find it "already there".
  const auto bundle = bundleWithIndex(7);
  const std::int64_t fingerprint = apm_64LSBMD5(*bundle->protoBuffer());
  for (const Value& damaged : {Value(Data("\xff\xff\xff", 3)), Value(Data()), Value("text")}) {
    SCOPED_TRACE(damaged.description());
    ASSERT_TRUE(database_.sqliteStore()->upsertRecord(
        Dictionary{{"metadata_fingerprint", Value(fingerprint)}, {"metadata", damaged}},
        kAPMRawEventsMetadataTable, nullptr));
    ASSERT_EQ(database_.queryRawEventsMetadataWithFingerprint(fingerprint, nullptr), nullptr);

    ErrorPtr error;
    ASSERT_TRUE(database_.insertIfNotExistsRawEventMetadata(bundle.get(), &error))
        << messageOf(error);
    EXPECT_EQ(count(kAPMRawEventsMetadataTable), 1);
    const auto back = database_.queryRawEventsMetadataWithFingerprint(fingerprint, &error);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(*back->protoBuffer(), *bundle->protoBuffer());
  }
}

TEST_F(APMDatabaseRawEventsTest, RawEventsRoundTripWithTheirParametersItemsAndFlags) {
  const Array items{Value(Dictionary{{"item_id", Value("a")}, {"quantity", Value(2)}}),
                    Value(Dictionary{{"item_id", Value("b")}, {"price", Value(1.5)}})};
  const auto purchase = APMEvent::initWithOrigin(
      "app", false, "purchase", 1700000000.25, 1699999999.5,
      {{"items", Value(items)}, {"d", Value(0.5)}, {"n", Value(7)}, {"s", Value("x")}});
  ASSERT_NE(purchase, nullptr);
  ErrorPtr error;
  ASSERT_TRUE(database_.insertRawEvent(purchase, 42, true, &error)) << messageOf(error);
  insert("_e", 1700000001, 42);
  insert("_s", 1700000002, 43);

  // The wire form is stored without its name, which has a column of its own.
  const auto stored = rows("SELECT * FROM raw_events ORDER BY rowid");
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0]["name"], Value("purchase"));
  EXPECT_EQ(stored[0]["is_realtime"], Value(1));
  EXPECT_EQ(stored[1]["is_realtime"], Value(0));
  const auto wire = APMPBEvent::initWithBuffer(stored[0]["data"].asData());
  ASSERT_NE(wire, nullptr);
  EXPECT_FALSE(nano_get_string(wire.get(), kEventName).has_value());

  const auto events = database_.rawEventsWithMetadataFingerprint(42, &error, nullptr);
  ASSERT_TRUE(events) << messageOf(error);
  ASSERT_EQ(events->size(), 2u);
  const auto& first = *(*events)[0];
  EXPECT_EQ(first.rowID(), 1);
  EXPECT_EQ(first.metadataFingerprint(), 42);
  const APMEvent& back = *first.rawEvent();
  EXPECT_EQ(back.name(), "purchase");
  EXPECT_EQ(back.origin(), "app");
  EXPECT_EQ(back.timestamp(), 1700000000.25);
  EXPECT_EQ(back.previousTimestamp(), 1699999999.5);
  EXPECT_EQ(typed(back, "d")->doubleValue(), 0.5);
  EXPECT_EQ(typed(back, "n")->int64Value(), 7);
  EXPECT_EQ(typed(back, "s")->stringValue(), "x");
  const APMValuePtr backItems = typed(back, "items");
  ASSERT_NE(backItems, nullptr);
  ASSERT_TRUE(backItems->isArray());
  ASSERT_EQ(backItems->arrayValue()->size(), 2u);
  const Dictionary* a = (*backItems->arrayValue())[0].asDictionary();
  const Dictionary* b = (*backItems->arrayValue())[1].asDictionary();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->size(), 2u);
  EXPECT_EQ(APMValueOf((*a)["item_id"])->stringValue(), "a");
  EXPECT_EQ(APMValueOf((*a)["quantity"])->int64Value(), 2);
  EXPECT_EQ(APMValueOf((*b)["price"])->doubleValue(), 1.5);
  EXPECT_EQ((*events)[1]->rawEvent()->name(), "_e");
  EXPECT_EQ((*events)[1]->rowID(), 2);

  EXPECT_EQ(database_.containsRawEventWithMetadataFingerprint(43, nullptr), Value(1));
  EXPECT_EQ(database_.containsRawEventWithMetadataFingerprint(44, nullptr), Value(0));
  EXPECT_EQ(database_.containsRealtimeRawEventsWithError(nullptr), Value(1));
  EXPECT_EQ(database_.queryLatestRawEventTime(nullptr), Value(1700000002.0));
  EXPECT_EQ(database_.isRawEventsTableEmpty(nullptr), Value(0));

  ASSERT_TRUE(database_.deleteRawEventsWithMaxRowID(2, &error));
  EXPECT_EQ(database_.containsRealtimeRawEventsWithError(nullptr), Value(0));
  EXPECT_EQ(count(kAPMRawEventsTable), 1);
}

TEST_F(APMDatabaseRawEventsTest, AnEventWithAnEmptyArrayReadsBack) {
  // The array's wire form is its name alone; the event must not be lost for it.
  const auto purchase = APMEvent::initWithOrigin("app", false, "purchase", 10, 0,
                                                 {{"items", Value(Array{})}, {"n", Value(1)}});
  ASSERT_NE(purchase, nullptr);
  ASSERT_NE(typed(*purchase, "items"), nullptr);
  ErrorPtr error;
  ASSERT_TRUE(database_.insertRawEvent(purchase, 5, false, &error)) << messageOf(error);
  const auto events = database_.rawEventsWithMetadataFingerprint(5, &error, nullptr);
  ASSERT_TRUE(events) << messageOf(error);
  ASSERT_EQ(events->size(), 1u);
  const APMValuePtr items = typed(*(*events)[0]->rawEvent(), "items");
  ASSERT_NE(items, nullptr);
  ASSERT_TRUE(items->isArray());
  EXPECT_TRUE(items->arrayValue()->empty());
  EXPECT_EQ(typed(*(*events)[0]->rawEvent(), "n")->int64Value(), 1);
}

TEST_F(APMDatabaseRawEventsTest, AnEmptyTableAnswersWithoutErrors) {
  ErrorPtr error;
  EXPECT_EQ(database_.nextMetadataFingerprintToProcess(&error), std::nullopt);
  EXPECT_EQ(database_.queryLatestRawEventTime(&error), std::nullopt);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(database_.isRawEventsTableEmpty(&error), Value(1));
  const auto events = database_.rawEventsWithMetadataFingerprint(1, &error, nullptr);
  ASSERT_TRUE(events);
  EXPECT_TRUE(events->empty());
  EXPECT_EQ(error, nullptr);

  ErrorPtr refused;
  EXPECT_FALSE(database_.insertRawEvent(nullptr, 1, false, &refused));
  EXPECT_EQ(codeOf(refused), 1);
  EXPECT_EQ(messageOf(refused), "Received empty event for inserting in the database");
}

TEST_F(APMDatabaseRawEventsTest, TheNextFingerprintIsTheOldestEvents) {
  insert("e", 1, -5);
  insert("e", 2, 8);
  insert("e", 3, -5);
  ErrorPtr error;
  EXPECT_EQ(database_.nextMetadataFingerprintToProcess(&error), -5);
  ASSERT_TRUE(database_.deleteRawEventsWithMaxRowID(1, &error));
  EXPECT_EQ(database_.nextMetadataFingerprintToProcess(&error), 8);
  EXPECT_EQ(error, nullptr);

  // A damaged fingerprint cannot be bundled, and is not passed off as an empty table.
  database_.sqliteStore()->executeSQL("UPDATE raw_events SET metadata_fingerprint = 'x'", nullptr);
  EXPECT_EQ(database_.nextMetadataFingerprintToProcess(&error), std::nullopt);
  EXPECT_NE(error, nullptr);
}

TEST_F(APMDatabaseRawEventsTest, TrimmingKeepsTheNewestOneFewerThanTheLimit) {
  config_->cachedValueByRemoteConfigKeys().setObject(Value("1000"),
                                                     "measurement.store.max_stored_events_per_app");
  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 0; i < 1005; ++i) insert("e", i, 1);
    return true;
  }));
  ErrorPtr error;
  EXPECT_EQ(database_.deleteRawEventsOverAbsoluteLimit(&error), 6);
  EXPECT_EQ(count(kAPMRawEventsTable), 999);
  const auto kept = rows("SELECT MIN(rowid) AS first, MAX(rowid) AS last FROM raw_events");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["first"], Value(7));
  EXPECT_EQ(kept[0]["last"], Value(1005));
  EXPECT_EQ(database_.deleteRawEventsOverAbsoluteLimit(&error), 0);
}

TEST_F(APMDatabaseRawEventsTest, ReadsAreBoundedAndStopWhereTheFilterSays) {
  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 0; i < 1003; ++i) insert("e", i, 1);
    return true;
  }));
  ErrorPtr error;
  auto events = database_.rawEventsWithMetadataFingerprint(1, &error, nullptr);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1000u);
  EXPECT_EQ(events->back()->rowID(), 1000);

  std::vector<std::int64_t> seen;
  events = database_.rawEventsWithMetadataFingerprint(1, &error,
                                                      [&](std::int64_t index, const Dictionary&) {
                                                        seen.push_back(index);
                                                        return index < 2;
                                                      });
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 2u);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2}));
}

TEST_F(APMDatabaseRawEventsTest, StaleDeletionRemovesEventsFarFromNowBothWaysAndTheirMetadata) {
  testing_support::ManualClockScope clock;  // now is 1,700,000,000
  const double now = 1'700'000'000;
  ASSERT_TRUE(database_.insertIfNotExistsRawEventMetadata(bundleWithIndex(1).get(), nullptr));
  ASSERT_TRUE(database_.insertIfNotExistsRawEventMetadata(bundleWithIndex(2).get(), nullptr));
  const std::int64_t kept = apm_64LSBMD5(*bundleWithIndex(1)->protoBuffer());
  const std::int64_t dropped = apm_64LSBMD5(*bundleWithIndex(2)->protoBuffer());
  insert("e", now, kept);
  insert("e", now - 100, kept);
  insert("e", now + 100, dropped);
  insert("e", now - 1000, dropped);

  ErrorPtr error;
  ASSERT_TRUE(database_.deleteStaleRawEventsDataOlderThanMaxAge(100, &error));
  EXPECT_EQ(count(kAPMRawEventsTable), 3);
  EXPECT_EQ(count(kAPMRawEventsMetadataTable), 2);  // still used by the future event

  ASSERT_TRUE(database_.deleteStaleRawEventsDataOlderThanMaxAge(0, &error));
  const auto left = rows("SELECT timestamp, metadata_fingerprint FROM raw_events");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["timestamp"], Value(now));
  const auto metadata = rows("SELECT metadata_fingerprint FROM raw_events_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0]["metadata_fingerprint"], Value(kept));

  EXPECT_FALSE(database_.deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(codeOf(error), 1);
  EXPECT_EQ(messageOf(error), "Cannot delete stale raw events given negative time period");
}

TEST_F(APMDatabaseRawEventsTest, RowsThatDoNotRebuildAreRefusedAndLeftOutOfTheBulkRead) {
  const auto origin = [] { return param("_o", Value("app")); };
  struct Case {
    const char* label;
    std::optional<Dictionary> record;
    std::int64_t code;
    const char* message;
  };
  const Data good = eventBlob({param("n", Value(1)), origin()});
  auto without = [&](const char* key) {
    Dictionary record = rawRow(1, good);
    record.erase(key);
    return record;
  };
  auto withNull = [&](const char* key) {
    Dictionary record = rawRow(1, good);
    record.set(key, Value());
    return record;
  };
  const Case cases[] = {
      {"no record", std::nullopt, 1, "Received empty dictionary for getting raw event data"},
      {"no row id", without("rowid"), 1, "Unable to find row ID in the database dictionary"},
      {"null data", withNull("data"), 1, "Unable to find event data in the database dictionary"},
      {"no fingerprint", without("metadata_fingerprint"), 1,
       "Unable to find event metadata in the database dictionary"},
      {"undecodable", rawRow(1, Data("\x0a\xff", 2)), 3, "Failed to parse event from data"},
      {"origin a number", rawRow(1, eventBlob({param("_o", Value(3))})), 2,
       "Cannot create an event from database. Origin parameter is not a string"},
      {"no origin", rawRow(1, eventBlob({param("n", Value(1))})), 2,
       "Cannot create an event from database. Missing origin parameter"},
      {"empty origin", rawRow(1, eventBlob({param("_o", Value(""))})), 2,
       "Cannot create an event from database. Missing origin parameter"},
      {"unnamed parameter", rawRow(1, eventBlob({param(std::nullopt, Value(1)), origin()})), 2,
       "Failed to parse event params from data"},
      {"negative row id", rawRow(-1, good), 2,
       "Failed to initialize raw event data from dictionary"},
      {"no name", without("name"), 2, "Failed to initialize raw event data from dictionary"},
      {"text for a time", rawRow(1, good, "e", Value("soon")), 2,
       "Failed to initialize raw event data from dictionary"},
      {"invalid name", rawRow(1, good, "bad name"), 2,
       "Failed to initialize raw event data from dictionary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ErrorPtr error;
    EXPECT_EQ(database_.rawEventDataFromDictionary(c.record ? &*c.record : nullptr, &error),
              nullptr);
    EXPECT_EQ(codeOf(error), c.code);
    EXPECT_EQ(messageOf(error), c.message);
  }

  // Stored between good rows, a bad one is skipped; alone, it makes the read fail.
  insertRow(rawRow(0, good, "e", Value(1.0), 9));
  insertRow(rawRow(0, eventBlob({param("_o", Value(3))}), "e", Value(2.0), 9));
  insertRow(rawRow(0, good, "e", Value(3.0), 9));
  insertRow(rawRow(0, Data("\x0a\xff", 2), "e", Value(4.0), 10));
  ErrorPtr error;
  const auto events = database_.rawEventsWithMetadataFingerprint(9, &error, nullptr);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ((*events)[0]->rowID(), 1);
  EXPECT_EQ((*events)[1]->rowID(), 3);
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(database_.rawEventsWithMetadataFingerprint(10, &error, nullptr));
  EXPECT_EQ(codeOf(error), 3);
}

TEST_F(APMDatabaseRawEventsTest, RowsOfOlderFilesAndHandWrittenItemsReadBack) {
  // An integer timestamp, as older files stored it, comes back as a double.
  const Data blob = eventBlob({param("_o", Value("auto")), param("v", Value(2.5))}, 4500);
  ErrorPtr error;
  const Dictionary olderRow = rawRow(3, blob, "_e", Value(1234));
  auto data = database_.rawEventDataFromDictionary(&olderRow, &error);
  ASSERT_NE(data, nullptr) << messageOf(error);
  EXPECT_EQ(data->rawEvent()->timestamp(), 1234.0);
  EXPECT_EQ(data->rawEvent()->previousTimestamp(), 4.5);
  EXPECT_EQ(data->rawEvent()->origin(), "auto");

  // Elements that each hold nested named values become dictionaries of those values; an
  // element field without a name has no place and is left out.
  const Data items =
      eventBlob({param("_o", Value("app")),
                 param("items", std::nullopt,
                       {param(std::nullopt, std::nullopt,
                              {param("item_id", Value("a")), param("price", Value(2.5)),
                               param(std::nullopt, Value(9))}),
                        param(std::nullopt, std::nullopt, {param("quantity", Value(3))})})});
  const Dictionary itemsRow = rawRow(4, items);
  data = database_.rawEventDataFromDictionary(&itemsRow, &error);
  ASSERT_NE(data, nullptr) << messageOf(error);
  const APMValuePtr array = typed(*data->rawEvent(), "items");
  ASSERT_NE(array, nullptr);
  ASSERT_TRUE(array->isArray());
  ASSERT_EQ(array->arrayValue()->size(), 2u);
  const Dictionary* first = (*array->arrayValue())[0].asDictionary();
  const Dictionary* second = (*array->arrayValue())[1].asDictionary();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->keys(), (std::vector<std::string>{"item_id", "price"}));
  EXPECT_EQ(APMValueOf((*first)["item_id"])->stringValue(), "a");
  EXPECT_EQ(APMValueOf((*first)["price"])->doubleValue(), 2.5);
  EXPECT_EQ(APMValueOf((*second)["quantity"])->int64Value(), 3);
}

TEST(APMDictionaryFromEventParamTest, DecodesOneParameterByItsFirstValue) {
  ErrorPtr error;
  // A string wins over a number; a parameter with nothing is invalid.
  auto p = param("s", Value("x"));
  nano_set_int64(p.get(), kParamIntValue, 4);
  auto entries = APMDictionaryFromEventParam(p.get(), false, &error);
  ASSERT_TRUE(entries);
  EXPECT_EQ(APMValueOf((*entries)["s"])->stringValue(), "x");

  EXPECT_FALSE(APMDictionaryFromEventParam(nullptr, false, &error));
  EXPECT_EQ(messageOf(error), "Failed to parse empty event params data");
  EXPECT_FALSE(APMDictionaryFromEventParam(param("", Value(1)).get(), false, &error));
  EXPECT_EQ(messageOf(error), "Event parameter name is empty");
  entries = APMDictionaryFromEventParam(param("", Value(1)).get(), true, &error);
  ASSERT_TRUE(entries);
  EXPECT_TRUE(entries->contains(""));
  // A name alone is how an empty array is written; as an element it is nothing.
  entries = APMDictionaryFromEventParam(param("n").get(), false, &error);
  ASSERT_TRUE(entries);
  const APMValuePtr empty = APMValueOf((*entries)["n"]);
  ASSERT_TRUE(empty && empty->isArray());
  EXPECT_TRUE(empty->arrayValue()->empty());
  EXPECT_FALSE(APMDictionaryFromEventParam(param("n").get(), true, &error));
  EXPECT_EQ(codeOf(error), 2);
  EXPECT_EQ(messageOf(error), "Failed to parse invalid event params data");
}

}  // namespace
