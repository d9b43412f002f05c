#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/KCTTestMessages.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "platform/process_info.h"
#include "platform/url_session.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using transport_testing::BytesObject;

std::string littleEndianImage(std::uint8_t hasType, std::int32_t type, std::uint8_t hasSubtype,
                              std::uint32_t subtype) {
  std::string image(16, '\0');
  image[0] = static_cast<char>(hasType);
  image[8] = static_cast<char>(hasSubtype);
  for (int i = 0; i < 4; ++i) {
    image[4 + i] = static_cast<char>((static_cast<std::uint32_t>(type) >> (8 * i)) & 0xff);
    image[12 + i] = static_cast<char>((subtype >> (8 * i)) & 0xff);
  }
  return image;
}

class KCTMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RDTCOREvent::load();
    home_.useBundle({{"CFBundleIdentifier", "com.example.vilmo"}, {"CFBundleVersion", "321"}});
  }

  static std::shared_ptr<RDTCOREvent> makeEvent(const std::string& mappingID,
                                                std::string payload = "payload") {
    auto event = RDTCOREvent::initWithMappingID(mappingID, RDTCORTargetFLL);
    event->setDataObject(std::make_shared<BytesObject>(std::move(payload)));
    event->setClockSnapshot(std::make_shared<RDTCORClock>(1'650'000'000'123, -3600, 7, 5'000'000));
    return event;
  }

  static kct_testing::BatchRequest encodeAndDecode(const RDTCOREventSet& events) {
    const Data body = KCTEncodeBatchRequest(events);
    auto decoded = kct_testing::DecodeBatchRequest(body);
    EXPECT_TRUE(decoded.has_value());
    return decoded.value_or(kct_testing::BatchRequest{});
  }

  testing_support::TemporaryHome home_;
  testing_support::ManualClockScope clock_;
};

TEST_F(KCTMessagesTest, EachMappingIDGetsItsOwnSourceRequestWithClientAndRequestTime) {
  const RDTCOREventSet events = {makeEvent("1206", "a"), makeEvent("1710", "b"),
                                 makeEvent("1206", "c")};
  const auto batch = encodeAndDecode(events);
  ASSERT_EQ(batch.source_requests.size(), 2u);

  const platform::OperatingSystemVersion os =
      platform::ProcessInfo::processInfo().operatingSystemVersion();
  const std::string major = std::to_string(os.majorVersion) + "." + std::to_string(os.minorVersion);
  const std::int64_t nowMillis = 1'700'000'000'000;
  const std::int64_t uptimeMillis = 1'000'000;
  for (const auto& request : batch.source_requests) {
    ASSERT_TRUE(request.client.has_value());
    EXPECT_EQ(request.client->client_type, 15);
    EXPECT_FALSE(request.client->has_mobile_client);
    ASSERT_TRUE(request.client->desktop_client.has_value());
    const auto& desktop = *request.client->desktop_client;
    EXPECT_EQ(desktop.os_major_version, major);
    EXPECT_EQ(desktop.os_full_version, major + "." + std::to_string(os.patchVersion));
    EXPECT_EQ(desktop.application_build, "321");
    EXPECT_EQ(desktop.application_bundle_id, "com.example.vilmo");
    EXPECT_EQ(request.request_time_millis, nowMillis);
    EXPECT_EQ(request.request_uptime_millis, uptimeMillis);
    EXPECT_FALSE(request.qos_tier.has_value());
  }
  // Groups keep the order in which their mapping IDs first appear, events their batch order.
  EXPECT_EQ(batch.source_requests[0].log_source, 1206);
  ASSERT_EQ(batch.source_requests[0].events.size(), 2u);
  EXPECT_EQ(batch.source_requests[0].events[0].payload, "a");
  EXPECT_EQ(batch.source_requests[0].events[1].payload, "c");
  EXPECT_EQ(batch.source_requests[1].log_source, 1710);
  ASSERT_EQ(batch.source_requests[1].events.size(), 1u);
  EXPECT_EQ(batch.source_requests[1].events[0].payload, "b");
}

TEST_F(KCTMessagesTest, MappingIDIsReadAsItsLeadingInteger) {
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"1710", 1710}, {"12abc", 12}, {"abc", 0}, {" 42", 42}, {"99999999999", INT32_MAX}};
  for (const auto& [mappingID, expected] : cases) {
    const auto batch = encodeAndDecode({makeEvent(mappingID)});
    ASSERT_EQ(batch.source_requests.size(), 1u) << mappingID;
    EXPECT_EQ(batch.source_requests[0].log_source, expected) << mappingID;
  }
}

TEST_F(KCTMessagesTest, PlainEventCarriesTimingAndPayloadOnly) {
  const auto batch = encodeAndDecode({makeEvent("1206", "bytes")});
  ASSERT_EQ(batch.source_requests.size(), 1u);
  ASSERT_EQ(batch.source_requests[0].events.size(), 1u);
  const auto& event = batch.source_requests[0].events[0];
  EXPECT_EQ(event.event_time_millis, 1'650'000'000'123);
  EXPECT_EQ(event.timezone_offset_seconds, -3600);
  EXPECT_EQ(event.event_uptime_millis, 5);
  EXPECT_EQ(event.payload, "bytes");
  EXPECT_FALSE(event.event_code.has_value());
  EXPECT_FALSE(event.network_connection_info.has_value());
  EXPECT_FALSE(event.compliance.has_value());
}

TEST_F(KCTMessagesTest, EventWithoutClockOrPayloadStillWritesThoseFields) {
  auto event = RDTCOREvent::initWithMappingID("1206", RDTCORTargetFLL);
  event->setClockSnapshot(nullptr);
  const auto batch = encodeAndDecode({event});
  ASSERT_EQ(batch.source_requests.size(), 1u);
  ASSERT_EQ(batch.source_requests[0].events.size(), 1u);
  const auto& decoded = batch.source_requests[0].events[0];
  EXPECT_EQ(decoded.event_time_millis, 0);
  EXPECT_EQ(decoded.timezone_offset_seconds, 0);
  EXPECT_EQ(decoded.event_uptime_millis, 0);
  EXPECT_EQ(decoded.payload, "");
}

TEST_F(KCTMessagesTest, CustomBytesAndProductDataFillCodeNetworkAndCompliance) {
  auto event = makeEvent("1206");
  event->setEventCode(-7);
  event->setNetworkConnectionInfoData(Data::fromString(littleEndianImage(1, 4, 1, 13)));
  auto withProduct = RDTCOREvent::initWithMappingID(
      "1206", std::make_shared<RDTCORProductData>(98765), RDTCORTargetFLL);
  withProduct->setDataObject(std::make_shared<BytesObject>("p"));

  const auto batch = encodeAndDecode({event, withProduct});
  ASSERT_EQ(batch.source_requests.size(), 1u);
  ASSERT_EQ(batch.source_requests[0].events.size(), 2u);
  const auto& coded = batch.source_requests[0].events[0];
  EXPECT_EQ(coded.event_code, -7);
  ASSERT_TRUE(coded.network_connection_info.has_value());
  EXPECT_EQ(coded.network_connection_info->network_type, 4);
  EXPECT_EQ(coded.network_connection_info->mobile_subtype, 13u);
  EXPECT_FALSE(coded.compliance.has_value());

  const auto& product = batch.source_requests[0].events[1];
  EXPECT_FALSE(product.event_code.has_value());
  EXPECT_FALSE(product.network_connection_info.has_value());
  ASSERT_TRUE(product.compliance.has_value());
  EXPECT_TRUE(product.compliance->has_privacy_context);
  EXPECT_TRUE(product.compliance->has_product_context);
  EXPECT_EQ(product.compliance->product_id, 98765);
  EXPECT_EQ(product.compliance->product_id_origin, 5);
}

TEST_F(KCTMessagesTest, NetworkConnectionImageIsReadFieldByField) {
  struct Case {
    const char* name;
    std::string image;
    std::optional<std::int32_t> networkType;
    std::optional<std::uint32_t> mobileSubtype;
  };
  const std::vector<Case> cases = {
      {"both present", littleEndianImage(1, 0x01020304, 1, 0xA0B0C0D0u), 0x01020304, 0xA0B0C0D0u},
      {"negative type", littleEndianImage(1, -1, 0, 9), -1, std::nullopt},
      {"only subtype", littleEndianImage(0, 5, 1, 0), std::nullopt, 0u},
      // Any non-zero flag byte counts as set.
      {"flag byte 7", littleEndianImage(7, 2, 0xff, 3), 2, 3u},
      {"longer than 16", littleEndianImage(1, 6, 1, 2) + "trailing", 6, 2u},
      {"short", std::string("\x01\0\0\0\x09", 5), 9, std::nullopt},
      {"empty", "", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    auto event = makeEvent("1206");
    event->setNetworkConnectionInfoData(Data::fromString(c.image));
    const auto batch = encodeAndDecode({event});
    ASSERT_EQ(batch.source_requests.size(), 1u) << c.name;
    ASSERT_EQ(batch.source_requests[0].events.size(), 1u) << c.name;
    const auto& info = batch.source_requests[0].events[0].network_connection_info;
    ASSERT_TRUE(info.has_value()) << c.name;
    EXPECT_EQ(info->network_type, c.networkType) << c.name;
    EXPECT_EQ(info->mobile_subtype, c.mobileSubtype) << c.name;
  }
}

TEST_F(KCTMessagesTest, LargePayloadRoundTrips) {
  std::string payload(100 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + 7);
  const auto batch = encodeAndDecode({makeEvent("1206", payload), makeEvent("1206", "small")});
  ASSERT_EQ(batch.source_requests.size(), 1u);
  ASSERT_EQ(batch.source_requests[0].events.size(), 2u);
  EXPECT_EQ(batch.source_requests[0].events[0].payload, payload);
  EXPECT_EQ(batch.source_requests[0].events[1].payload, "small");
}

TEST_F(KCTMessagesTest, NoEventsEncodeToEmptyData) {
  EXPECT_TRUE(KCTEncodeBatchRequest({}).empty());
  EXPECT_TRUE(KCTEncodeBatchRequest({nullptr}).empty());
}

TEST_F(KCTMessagesTest, ResponseDecodesWaitAndQosPresence) {
  struct Case {
    const char* name;
    Data body;
    KCTDecodedResponse expected;
  };
  const std::vector<Case> cases = {
      {"wait", kct_testing::EncodeResponse(30'000), {true, 30'000, false}},
      {"negative wait", kct_testing::EncodeResponse(-5), {true, -5, false}},
      {"wait and qos", kct_testing::EncodeResponse(1'000, true), {true, 1'000, true}},
      {"qos only", kct_testing::EncodeResponse(std::nullopt, true), {false, 0, true}},
      {"empty body", Data(), {false, 0, false}},
      // An unknown field is skipped.
      {"unknown field", Data::fromString(std::string("\x10\x05\x08\x07", 4)), {true, 7, false}},
  };
  for (const Case& c : cases) {
    platform::ErrorPtr error;
    const KCTDecodedResponse decoded = KCTDecodeResponse(c.body, &error);
    EXPECT_EQ(error, nullptr) << c.name;
    EXPECT_EQ(decoded.has_next_request_wait_millis, c.expected.has_next_request_wait_millis)
        << c.name;
    EXPECT_EQ(decoded.next_request_wait_millis, c.expected.next_request_wait_millis) << c.name;
    EXPECT_EQ(decoded.has_qos_configuration, c.expected.has_qos_configuration) << c.name;
  }
}

TEST_F(KCTMessagesTest, UndecodableResponseGivesZeroedRecordAndNanopbError) {
  const Data valid = kct_testing::EncodeResponse(30'000, true);
  const std::vector<std::pair<const char*, Data>> cases = {
      {"text", Data::fromString("not a protocol buffer")},
      {"truncated after the wait", Data(valid.bytes(), valid.length() - 1)},
      {"length past the end", Data::fromString(std::string("\x08\x01\x1a\x7f\x0a", 5))},
      {"unterminated varint", Data::fromString(std::string("\x08\xff\xff", 3))},
      {"wrong wire type for the wait", Data::fromString(std::string("\x0a\x01\x00", 3))},
      {"bad qos entry", Data::fromString(std::string("\x1a\x03\x0a\x01\xff", 5))},
  };
  for (const auto& [name, body] : cases) {
    platform::ErrorPtr error;
    const KCTDecodedResponse decoded = KCTDecodeResponse(body, &error);
    EXPECT_FALSE(decoded.has_next_request_wait_millis) << name;
    EXPECT_EQ(decoded.next_request_wait_millis, 0) << name;
    EXPECT_FALSE(decoded.has_qos_configuration) << name;
    ASSERT_NE(error, nullptr) << name;
    EXPECT_EQ(error->domain(), platform::kURLErrorDomain) << name;
    EXPECT_EQ(error->code(), -1) << name;
    ASSERT_EQ(error->userInfo().size(), 1u) << name;
    const std::string* text = error->userInfo()["nanopb error:"].asString();
    ASSERT_NE(text, nullptr) << name;
    EXPECT_FALSE(text->empty()) << name;
    // Without a slot the caller only gets the zeroed record.
    EXPECT_FALSE(KCTDecodeResponse(body).has_next_request_wait_millis) << name;
  }
}

class KCTMetricsReportTest : public ::testing::Test {
 protected:
  static kct_testing::MetricsReport decode(const RDTCORMetrics& metrics) {
    auto report = kct_testing::DecodeMetricsReport(metrics.transportBytes());
    EXPECT_TRUE(report.has_value());
    return report.value_or(kct_testing::MetricsReport{});
  }
};

TEST_F(KCTMetricsReportTest, ReportCarriesWindowCountsSizesAndBundle) {
  const auto counts = RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource(
      {{"1206", {{1, 4}, {2, 3}}}, {"1974", {{5, 1}, {7, 2}, {-1, 6}}}});
  const RDTCORMetrics metrics(platform::Date::fromTimeIntervalSince1970(1'700'000'000.75),
                              platform::Date::fromTimeIntervalSince1970(1'700'003'600.2), counts,
                              1234, 20'000'000, "com.example.vilmo");
  const auto report = decode(metrics);
  EXPECT_TRUE(report.has_window);
  EXPECT_EQ(report.start_millis, 1'700'000'000'000);
  EXPECT_EQ(report.end_millis, 1'700'003'600'000);
  EXPECT_TRUE(report.has_global_metrics);
  EXPECT_TRUE(report.has_storage_metrics);
  EXPECT_EQ(report.current_cache_size_bytes, 1234);
  EXPECT_EQ(report.max_cache_size_bytes, 20'000'000);
  EXPECT_EQ(report.app_namespace, "com.example.vilmo");

  ASSERT_EQ(report.log_source_metrics.size(), 2u);
  EXPECT_EQ(report.log_source_metrics[0].log_source, "1206");
  ASSERT_EQ(report.log_source_metrics[0].dropped_events.size(), 2u);
  EXPECT_EQ(report.log_source_metrics[0].dropped_events[0].reason, 1);
  EXPECT_EQ(report.log_source_metrics[0].dropped_events[0].events_dropped_count, 4);
  EXPECT_EQ(report.log_source_metrics[0].dropped_events[1].reason, 2);
  EXPECT_EQ(report.log_source_metrics[0].dropped_events[1].events_dropped_count, 3);
  // Reasons outside 1-6 are sent as 0.
  EXPECT_EQ(report.log_source_metrics[1].log_source, "1974");
  ASSERT_EQ(report.log_source_metrics[1].dropped_events.size(), 3u);
  EXPECT_EQ(report.log_source_metrics[1].dropped_events[0].reason, 0);
  EXPECT_EQ(report.log_source_metrics[1].dropped_events[0].events_dropped_count, 6);
  EXPECT_EQ(report.log_source_metrics[1].dropped_events[1].reason, 5);
  EXPECT_EQ(report.log_source_metrics[1].dropped_events[2].reason, 0);
  EXPECT_EQ(report.log_source_metrics[1].dropped_events[2].events_dropped_count, 2);
}

TEST_F(KCTMetricsReportTest, ZeroValuesAreNotWritten) {
  const RDTCORMetrics empty(platform::Date::fromTimeIntervalSince1970(0.5),
                            platform::Date::fromTimeIntervalSince1970(0), nullptr, 0, 0, "");
  EXPECT_TRUE(empty.transportBytes().empty());

  // One source with a zero count for reason 0: the entries are there, their fields are not.
  const RDTCORMetrics zeros(
      platform::Date::fromTimeIntervalSince1970(0), platform::Date::fromTimeIntervalSince1970(0),
      RDTCORLogSourceMetrics::initWithDroppedEventCounterByLogSource({{"", {{0, 0}}}}), 0, 0, "");
  // Field 2 holding a source whose field 2 holds an empty dropped-events entry.
  EXPECT_EQ(zeros.transportBytes(), Data::fromString(std::string("\x12\x02\x12\x00", 4)));
}

TEST_F(KCTMetricsReportTest, DatesBeyondTheFieldAreClamped) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const RDTCORMetrics metrics(platform::Date::fromTimeIntervalSince1970(1e300),
                              platform::Date::fromTimeIntervalSince1970(nan), nullptr, 1, 1, "");
  const auto report = decode(metrics);
  EXPECT_EQ(report.start_millis, INT64_MAX / 1000 * 1000);
  EXPECT_EQ(report.end_millis, 0);
}

}  // namespace
