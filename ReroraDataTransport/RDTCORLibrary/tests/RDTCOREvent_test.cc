#include <cctype>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCOREvent.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "platform/keyed_archive.h"
#include "tests/support/main_queue.h"

namespace {

using platform::Data;
using transport_testing::BytesObject;
using transport_testing::LogCapture;

// Writes exactly the keys a case gives, under the event's class name, so that a case can
// make archives the event itself would never write.
class HandMadeEventArchive : public platform::SecureCodingObject {
 public:
  explicit HandMadeEventArchive(std::function<void(platform::KeyedArchiver&)> encode)
      : encode_(std::move(encode)) {}
  std::string archiveClassName() const override { return kRDTCOREventClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::function<void(platform::KeyedArchiver&)> encode_;
};

class RDTCOREventTest : public ::testing::Test {
 protected:
  void SetUp() override { RDTCOREvent::load(); }

  static std::shared_ptr<RDTCOREvent> makeEvent(std::string payload = "payload") {
    auto event = RDTCOREvent::initWithMappingID("1249", RDTCORTargetKCT);
    event->setDataObject(std::make_shared<BytesObject>(std::move(payload)));
    return event;
  }

  static std::shared_ptr<RDTCOREvent> roundTrip(const RDTCOREvent& event) {
    const auto data = RDTCORArchiveToPath(std::make_shared<RDTCOREvent>(event), {});
    if (!data) return nullptr;
    return std::dynamic_pointer_cast<RDTCOREvent>(
        RDTCORUnarchiveFromData(kRDTCOREventClassName, *data));
  }

  static std::shared_ptr<RDTCOREvent>
  decodeHandMade(std::function<void(platform::KeyedArchiver&)> encode,
                 platform::ErrorPtr* error = nullptr) {
    const auto data = platform::KeyedArchiver::archivedData(
        platform::SecureCodingPtr(std::make_shared<HandMadeEventArchive>(std::move(encode))));
    if (!data) return nullptr;
    return std::dynamic_pointer_cast<RDTCOREvent>(
        RDTCORUnarchiveFromData(kRDTCOREventClassName, *data, error));
  }

  testing_support::ManualClockScope manualClock_;
};

TEST_F(RDTCOREventTest, EventIDsAre32UpperCaseHexCharactersWithoutDashes) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = RDTCOREvent::nextEventID();
    ASSERT_EQ(id.size(), 32u);
    for (const char c : id) {
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << id;
    }
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST_F(RDTCOREventTest, ANewEventHasTheDefaultTierAndExpiresInSevenDays) {
  const auto product = std::make_shared<RDTCORProductData>(17);
  const auto event = RDTCOREvent::initWithMappingID("1249", product, RDTCORTargetCSH);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->mappingID(), "1249");
  EXPECT_EQ(event->target(), RDTCORTargetCSH);
  EXPECT_EQ(event->productData(), product);
  EXPECT_EQ(event->qosTier(), RDTCOREventQoSDefault);
  EXPECT_EQ(event->expirationDate(),
            platform::Date::fromTimeIntervalSince1970(1'700'000'000 + 604800));
  EXPECT_FALSE(event->clockSnapshot());
  EXPECT_FALSE(event->serializedDataObjectBytes());
  EXPECT_EQ(event->eventID().size(), 32u);
}

TEST_F(RDTCOREventTest, AnEmptyMappingIDOrATargetBelowOneGivesNoEventAndAnAssertion) {
  struct Case {
    const char* mappingID;
    RDTCORTarget target;
    std::vector<std::string> lines;
  } const cases[] = {
      {"",
       RDTCORTargetKCT,
       {"[ReroraDataTransport][I-RDTCOR001006] (ReroraDataTransport/RDTCORLibrary/RDTCOREvent:38) "
        ": Please give a valid mapping ID"}},
      {"1249",
       0,
       {"[ReroraDataTransport][I-RDTCOR001006] (ReroraDataTransport/RDTCORLibrary/RDTCOREvent:39) "
        ": A target cannot be negative or 0"}},
      {"1249",
       -3,
       {"[ReroraDataTransport][I-RDTCOR001006] (ReroraDataTransport/RDTCORLibrary/RDTCOREvent:39) "
        ": A target cannot be negative or 0"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_FALSE(RDTCOREvent::initWithMappingID(c.mappingID, c.target)) << c.mappingID << c.target;
    EXPECT_EQ(log.lines(), c.lines);
  }
}

TEST_F(RDTCOREventTest, SettingADataObjectCapturesItsBytesEachTime) {
  auto event = makeEvent("first");
  const auto object = std::make_shared<BytesObject>("one");
  event->setDataObject(object);
  EXPECT_EQ(event->serializedDataObjectBytes(), Data::fromString("one"));
  object->setBytes("two");
  event->setDataObject(object);
  EXPECT_EQ(event->serializedDataObjectBytes(), Data::fromString("two"));

  const auto metrics =
      RDTCOREvent::eventWithMetrics(std::make_shared<BytesObject>("m"), RDTCORTargetFLL);
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->mappingID(), "1710");
  EXPECT_EQ(metrics->target(), RDTCORTargetFLL);
  EXPECT_EQ(metrics->serializedDataObjectBytes(), Data::fromString("m"));
}

TEST_F(RDTCOREventTest, ACopyKeepsTheEventIDButGetsAFreshExpiry) {
  auto event = makeEvent();
  event->setQosTier(RDTCOREventQoSFast);
  event->setClockSnapshot(RDTCORClock::snapshot());
  event->setEventCode(7);
  manualClock_.advance(60);
  const auto copy = event->copy();
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->eventID(), event->eventID());
  EXPECT_EQ(copy->qosTier(), RDTCOREventQoSFast);
  EXPECT_EQ(copy->customBytes(), event->customBytes());
  EXPECT_EQ(copy->dataObject(), event->dataObject());
  EXPECT_NE(copy->expirationDate(), event->expirationDate());
  EXPECT_EQ(copy->expirationDate(),
            platform::Date::fromTimeIntervalSince1970(1'700'000'060 + 604800));
  EXPECT_TRUE(copy->isEqual(*event));
}

TEST_F(RDTCOREventTest, EqualityComparesFieldsNotHashes) {
  const auto a = makeEvent();
  const auto sameButID = a->copy();
  sameButID->setEventID(RDTCOREvent::nextEventID());
  EXPECT_FALSE(a->isEqual(*sameButID));

  // Target and tier hashes are XORed: 1000 ^ 3 == 1003 ^ 0, so these two hash alike.
  const auto b = a->copy();
  auto c = RDTCOREvent::initWithMappingID("1249", RDTCORTargetINT);
  c->setEventID(a->eventID());
  c->setDataObject(a->dataObject());
  c->setQosTier(RDTCOREventQoSUnknown);
  ASSERT_EQ(a->hash(), c->hash());
  EXPECT_FALSE(a->isEqual(*c));
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
}

TEST_F(RDTCOREventTest, AnArchivedEventDecodesWithEveryField) {
  std::string payload(100 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31);
  auto event = makeEvent(payload);
  event = RDTCOREvent::initWithMappingID("1249", std::make_shared<RDTCORProductData>(-4),
                                         RDTCORTargetCSH);
  event->setDataObject(std::make_shared<BytesObject>(payload));
  event->setQosTier(RDTCOREventQoSFast);
  event->setClockSnapshot(RDTCORClock::snapshot());
  event->setEventCode(42);
  event->setNetworkConnectionInfoData(Data::fromString("0123456789abcdef"));

  const auto decoded = roundTrip(*event);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->isEqual(*event));
  EXPECT_EQ(decoded->eventID(), event->eventID());
  EXPECT_EQ(decoded->serializedDataObjectBytes(), Data::fromString(payload));
  EXPECT_FALSE(decoded->dataObject());
  EXPECT_EQ(decoded->productData()->productID(), -4);
  EXPECT_TRUE(decoded->clockSnapshot()->isEqual(*event->clockSnapshot()));
  EXPECT_EQ(decoded->customBytes(), event->customBytes());
  EXPECT_EQ(decoded->expirationDate(), event->expirationDate());
  EXPECT_EQ(decoded->eventCode(), 42);

  const auto plain = roundTrip(*makeEvent(""));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->serializedDataObjectBytes(), Data());
  EXPECT_FALSE(plain->productData());
  EXPECT_FALSE(plain->clockSnapshot());
  EXPECT_FALSE(plain->customBytes());
}

TEST_F(RDTCOREventTest, AnArchiveWithoutPayloadIsRefusedAndOneWithoutIDGetsANewID) {
  EXPECT_FALSE(decodeHandMade([](platform::KeyedArchiver& coder) {
    coder.encodeObject(kRDTCOREventEventIDKey, platform::Value("ID"));
    coder.encodeObject(kRDTCOREventMappingIDKey, platform::Value("1249"));
    coder.encodeInt64(kRDTCOREventTargetKey, 1000);
  }));
  const auto withoutID = decodeHandMade([](platform::KeyedArchiver& coder) {
    coder.encodeObject(kRDTCOREventMappingIDKey, platform::Value("1249"));
    coder.encodeInt64(kRDTCOREventTargetKey, 1000);
    coder.encodeObject(kRDTCOREventSerializedDataObjectBytesKey,
                       platform::Value(Data::fromString("p")));
  });
  ASSERT_TRUE(withoutID);
  EXPECT_EQ(withoutID->eventID().size(), 32u);
  EXPECT_EQ(withoutID->target(), 1000);
  EXPECT_FALSE(withoutID->expirationDate());
}

TEST_F(RDTCOREventTest, AnArchiveHoldingTheWrongKindsIsRefused) {
  // A string where the payload bytes belong, and a record of a class the key does not allow.
  platform::ErrorPtr error;
  EXPECT_FALSE(decodeHandMade(
      [](platform::KeyedArchiver& coder) {
        coder.encodeObject(kRDTCOREventSerializedDataObjectBytesKey, platform::Value("text"));
      },
      &error));
  EXPECT_TRUE(error);
  error.reset();
  EXPECT_FALSE(decodeHandMade(
      [](platform::KeyedArchiver& coder) {
        coder.encodeObject(kRDTCOREventSerializedDataObjectBytesKey, platform::Value(Data()));
        coder.encodeObject(kRDTCOREventClockSnapshotKey,
                           platform::SecureCodingPtr(std::make_shared<RDTCORProductData>(1)));
      },
      &error));
  EXPECT_TRUE(error);

  const auto data = RDTCORArchiveToPath(makeEvent(), {});
  ASSERT_TRUE(data);
  for (const std::size_t length : {std::size_t{0}, std::size_t{8}, data->length() / 2}) {
    error.reset();
    EXPECT_FALSE(
        RDTCORUnarchiveFromData(kRDTCOREventClassName, Data(data->bytes(), length), &error));
    EXPECT_TRUE(error) << length;
  }
  // An event ID whose bytes are not UTF-8.
  auto named = makeEvent();
  named->setEventID("QQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQ");
  auto archive = RDTCORArchiveToPath(named, {});
  ASSERT_TRUE(archive);
  const std::string bytes = archive->toString();
  const std::size_t at = bytes.find(named->eventID());
  ASSERT_NE(at, std::string::npos);
  archive->mutableBytes()[at + 3] = 0xCB;
  error.reset();
  EXPECT_FALSE(RDTCORUnarchiveFromData(kRDTCOREventClassName, *archive, &error));
  EXPECT_TRUE(RDTCORIsCorruptArchiveError(error));

  // An event ID that is there but empty: damage, not an event to give a new ID.
  error.reset();
  EXPECT_FALSE(decodeHandMade(
      [](platform::KeyedArchiver& coder) {
        coder.encodeObject(kRDTCOREventEventIDKey, platform::Value(""));
        coder.encodeObject(kRDTCOREventMappingIDKey, platform::Value("1249"));
        coder.encodeInt64(kRDTCOREventTargetKey, 1000);
        coder.encodeObject(kRDTCOREventSerializedDataObjectBytesKey,
                           platform::Value(Data::fromString("p")));
      },
      &error));
  EXPECT_TRUE(RDTCORIsCorruptArchiveError(error));

  // The event's own bytes are not a clock.
  EXPECT_FALSE(RDTCORUnarchiveFromData(kRDTCORClockClassName, *data));
}

TEST_F(RDTCOREventTest, EventCodeLivesInTheCustomBytes) {
  auto event = makeEvent();
  EXPECT_FALSE(event->eventCode());
  event->setEventCode(42);
  EXPECT_EQ(event->customBytes(), Data::fromString(R"({"event_code_info":"42"})"));
  EXPECT_EQ(event->eventCode(), 42);
  event->setNeedsNetworkConnectionInfoPopulated(true);
  EXPECT_TRUE(event->needsNetworkConnectionInfoPopulated());
  EXPECT_EQ(event->eventCode(), 42);
  event->setEventCode(std::nullopt);
  EXPECT_EQ(event->customBytes(), Data::fromString(R"({"needs_network_connection_info":true})"));
  EXPECT_FALSE(event->eventCode());

  auto bare = makeEvent();
  bare->setEventCode(std::nullopt);
  EXPECT_FALSE(bare->customBytes());
}

TEST_F(RDTCOREventTest, NetworkInfoIsBase64AndClearingTheFlagKeepsOnlyTheEventCode) {
  auto event = makeEvent();
  EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated());
  event->setNetworkConnectionInfoData(std::nullopt);
  EXPECT_FALSE(event->customBytes());
  const Data record =
      Data::fromString("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10");
  event->setNeedsNetworkConnectionInfoPopulated(true);
  event->setNetworkConnectionInfoData(record);
  EXPECT_EQ(event->networkConnectionInfoData(), record);
  EXPECT_EQ(
      event->customBytes(),
      Data::fromString(
          R"({"needs_network_connection_info":true,"network_connection_info":"AQIDBAUGBwgJCgsMDQ4PEA=="})"));

  // Without an event code, clearing the flag leaves the bytes as they are.
  const auto before = event->customBytes();
  event->setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_EQ(event->customBytes(), before);
  event->setEventCode(9);
  event->setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_EQ(event->customBytes(), Data::fromString(R"({"event_code_info":"9"})"));
  EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated());
}

TEST_F(RDTCOREventTest, CustomBytesThatAreNotAJSONObjectAreLoggedAndLeftAlone) {
  for (const char* bytes : {"not json", "[1,2]", R"({"event_code_info":"4x2"})", ""}) {
    auto event = makeEvent();
    event->setCustomBytes(Data::fromString(bytes));
    LogCapture log(RDTCORLoggingLevelDebug);
    EXPECT_FALSE(event->eventCode()) << bytes;
    EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated()) << bytes;
    EXPECT_FALSE(event->networkConnectionInfoData()) << bytes;
    if (std::string_view(bytes).starts_with("{")) continue;
    event->setEventCode(5);
    event->setNetworkConnectionInfoData(Data::fromString("x"));
    event->setNeedsNetworkConnectionInfoPopulated(true);
    EXPECT_EQ(event->customBytes(), Data::fromString(bytes));
    EXPECT_TRUE(log.contains("Error when setting an event's event_code: "));
    EXPECT_TRUE(log.contains("Error when getting an event's network_connection_info: "));
  }
}

}  // namespace
