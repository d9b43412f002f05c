#include "ReroraDataTransport/RDTCORLibrary/RDTCORKCTMessages.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/Protos/kct.pb.h"
#include "ReroraDataTransport/RDTCORLibrary/Protos/metrics.pb.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORClock.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORConsoleLogger.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORMetrics.h"
#include "platform/bundle.h"
#include "platform/process_info.h"
#include "platform/url_session.h"
#include "platform/value.h"

namespace {

// Byte strings and lists are written through callbacks straight from the objects that own
// them, which outlive the encoding; nothing is copied into nanopb-owned buffers.
bool encodeBytes(pb_ostream_t* stream, const pb_field_t* field, const void* bytes,
                 std::size_t length) {
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, static_cast<const pb_byte_t*>(bytes), length);
}

bool encodeStringField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* text = static_cast<const std::string*>(*arg);
  return encodeBytes(stream, field, text->data(), text->size());
}

// Written even when empty: the service expects a payload field on every event.
bool encodePayloadField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* data = static_cast<const platform::Data*>(*arg);
  return data ? encodeBytes(stream, field, data->bytes(), data->length())
              : encodeBytes(stream, field, nullptr, 0);
}

void setString(pb_callback_t& callback, const std::string* text) {
  callback.funcs.encode = &encodeStringField;
  callback.arg = const_cast<std::string*>(text);
}

template <typename Message>
bool encodeSubmessages(pb_ostream_t* stream, const pb_field_t* field,
                       const std::vector<Message>& messages, const pb_msgdesc_t* fields) {
  for (const Message& message : messages) {
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, fields, &message)) {
      return false;
    }
  }
  return true;
}

// The sizing pass, then the bytes into a buffer of exactly that size. What was written before
// a failure is still returned.
platform::Data encodeMessage(const pb_msgdesc_t* fields, const void* message) {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, fields, message)) {
    RDTCORLogError(RDTCORMCEGeneralError, "Error in nanopb encoding for size: %s",
                   {PB_GET_ERROR(&sizing)});
  }
  std::vector<std::uint8_t> bytes(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  if (!pb_encode(&stream, fields, message)) {
    RDTCORLogError(RDTCORMCEGeneralError, "Error in nanopb encoding for bytes: %s",
                   {PB_GET_ERROR(&stream)});
  }
  bytes.resize(stream.bytes_written);
  return platform::Data(std::move(bytes));
}

// ---- Batch request ----

// The client block every source request carries; the same for all of them.
struct ClientFacts {
  std::string osMajorVersion;
  std::string osFullVersion;
  std::optional<std::string> applicationBuild;
  std::optional<std::string> applicationBundleID;
};

ClientFacts currentClientFacts() {
  const platform::OperatingSystemVersion os =
      platform::ProcessInfo::processInfo().operatingSystemVersion();
  ClientFacts facts;
  facts.osMajorVersion = std::to_string(os.majorVersion) + "." + std::to_string(os.minorVersion);
  facts.osFullVersion = facts.osMajorVersion + "." + std::to_string(os.patchVersion);
  platform::Bundle& bundle = platform::Bundle::main();
  facts.applicationBuild = bundle.version();
  std::string bundleID = bundle.bundleIdentifier();
  if (!bundleID.empty()) facts.applicationBundleID = std::move(bundleID);
  return facts;
}

KCTClient makeClient(const ClientFacts& facts) {
  KCTClient client = KCTClient_init_zero;
  client.has_client_type = true;
  client.client_type = KCTClient_ClientType_CLIENT_TYPE_DESKTOP;
  client.has_desktop_client = true;
  KCTDesktopClient& desktop = client.desktop_client;
  setString(desktop.os_major_version, &facts.osMajorVersion);
  setString(desktop.os_full_version, &facts.osFullVersion);
  if (facts.applicationBuild) setString(desktop.application_build, &*facts.applicationBuild);
  if (facts.applicationBundleID) {
    setString(desktop.application_bundle_id, &*facts.applicationBundleID);
  }
  return client;
}

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The stored data is the record's 16-byte memory image (presence flag at 0, network type at
// 4-7, presence flag at 8, subtype at 12-15). It is read field by field rather than copied
// over the record, so that any stored bytes make a valid record; shorter data reads as zeros.
KCTNetworkConnection networkConnectionFromImage(const platform::Data& image) {
  std::uint8_t bytes[16] = {};
  for (std::size_t i = 0; i < sizeof(bytes) && i < image.length(); ++i) bytes[i] = image.bytes()[i];
  KCTNetworkConnection connection = KCTNetworkConnection_init_default;
  connection.has_network_type = bytes[0] != 0;
  connection.network_type = static_cast<std::int32_t>(littleEndian32(bytes + 4));
  connection.has_mobile_subtype = bytes[8] != 0;
  connection.mobile_subtype = littleEndian32(bytes + 12);
  return connection;
}

KCTEvent makeEvent(const RDTCOREvent& event) {
  KCTEvent message = KCTEvent_init_default;
  const RDTCORClock* clock = event.clockSnapshot().get();
  message.has_event_time_millis = true;
  message.event_time_millis = clock ? clock->timeMillis() : 0;
  message.has_timezone_offset_seconds = true;
  message.timezone_offset_seconds = clock ? clock->timezoneOffsetSeconds() : 0;
  message.has_event_uptime_millis = true;
  message.event_uptime_millis = clock ? clock->uptimeMilliseconds() : 0;

  message.payload.funcs.encode = &encodePayloadField;
  const auto& payload = event.serializedDataObjectBytes();
  message.payload.arg = payload ? const_cast<platform::Data*>(&*payload) : nullptr;

  if (event.customBytes()) {
    if (const std::optional<std::int64_t> code = event.eventCode()) {
      message.has_event_code = true;
      message.event_code = static_cast<std::int32_t>(*code);
    }
    if (const std::optional<platform::Data> image = event.networkConnectionInfoData()) {
      message.has_network_connection_info = true;
      message.network_connection_info = networkConnectionFromImage(*image);
    }
  }
  if (const auto& product = event.productData()) {
    message.has_compliance = true;
    message.compliance.has_privacy_context = true;
    message.compliance.privacy_context.has_product_context = true;
    message.compliance.privacy_context.product_context.has_product_id = true;
    message.compliance.privacy_context.product_context.product_id = product->productID();
    message.compliance.has_product_id_origin = true;
    message.compliance.product_id_origin = KCTCompliance_ProductIdOrigin_PRODUCT_ID_ORIGIN_EVENT;
  }
  return message;
}

bool encodeEventsField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  return encodeSubmessages(stream, field, *static_cast<const std::vector<KCTEvent>*>(*arg),
                           KCTEvent_fields);
}

// One source request with the events of its mapping ID. Kept at a fixed address: the
// request's callback points at its events.
struct SourceRequest {
  KCTSourceRequest message = KCTSourceRequest_init_default;
  std::vector<KCTEvent> events;
};

bool encodeSourceRequestsField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto& requests = *static_cast<const std::vector<std::unique_ptr<SourceRequest>>*>(*arg);
  for (const auto& request : requests) {
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, KCTSourceRequest_fields, &request->message)) {
      return false;
    }
  }
  return true;
}

// ---- Metrics report ----

// Whole seconds since 1970 in milliseconds. A stored start date may be anything, so values
// beyond what the field holds are clamped instead of overflowing.
std::int64_t wholeSecondsInMillis(platform::Date date) {
  constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000;
  const double seconds = std::trunc(date.timeIntervalSince1970());
  if (std::isnan(seconds)) return 0;
  if (seconds >= static_cast<double>(kMaxSeconds)) return kMaxSeconds * 1000;
  if (seconds <= -static_cast<double>(kMaxSeconds)) return -kMaxSeconds * 1000;
  return static_cast<std::int64_t>(seconds) * 1000;
}

MetricsDropReason wireReason(RDTCOREventDropReason reason) {
  return reason >= 1 && reason <= 6 ? static_cast<MetricsDropReason>(reason)
                                    : MetricsDropReason_REASON_UNKNOWN;
}

bool encodeDroppedEventsField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto& counts = *static_cast<const RDTCORDroppedEventCounts*>(*arg);
  for (const auto& [reason, count] : counts) {
    MetricsDroppedEvents message = MetricsDroppedEvents_init_zero;
    message.events_dropped_count = count;
    message.reason = wireReason(reason);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, MetricsDroppedEvents_fields, &message)) {
      return false;
    }
  }
  return true;
}

bool encodeLogSourcesField(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto& counter = *static_cast<const RDTCORDroppedEventCounterByLogSource*>(*arg);
  for (const auto& [logSource, counts] : counter) {
    MetricsLogSource message = MetricsLogSource_init_zero;
    // Proto3: an empty byte string is not written.
    if (!logSource.empty()) setString(message.log_source, &logSource);
    message.dropped_events.funcs.encode = &encodeDroppedEventsField;
    message.dropped_events.arg = const_cast<RDTCORDroppedEventCounts*>(&counts);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, MetricsLogSource_fields, &message)) {
      return false;
    }
  }
  return true;
}

bool decodeQosTierEntry(pb_istream_t* stream, const pb_field_t*, void**) {
  // Entries carry nothing the program uses: each is checked and dropped, so a long list
  // costs time in proportion to its bytes and no memory.
  KCTQosTierEntry entry = KCTQosTierEntry_init_default;
  return pb_decode(stream, KCTQosTierEntry_fields, &entry);
}

}  // namespace

platform::Data KCTEncodeBatchRequest(const RDTCOREventSet& events) {
  // Grouped by mapping ID in order of first sight.
  std::vector<std::pair<std::string, std::vector<const RDTCOREvent*>>> groups;
  std::map<std::string, std::size_t> groupIndex;
  for (const auto& event : events) {
    if (!event) continue;
    auto [found, inserted] = groupIndex.emplace(event->mappingID(), groups.size());
    if (inserted) groups.emplace_back(event->mappingID(), std::vector<const RDTCOREvent*>{});
    groups[found->second].second.push_back(event.get());
  }

  const ClientFacts facts = currentClientFacts();
  std::vector<std::unique_ptr<SourceRequest>> requests;
  requests.reserve(groups.size());
  for (const auto& [mappingID, groupEvents] : groups) {
    auto request = std::make_unique<SourceRequest>();
    KCTSourceRequest& message = request->message;
    message.has_client = true;
    message.client = makeClient(facts);
    message.has_log_source = true;
    message.log_source = platform::Value(mappingID).intValue();
    request->events.reserve(groupEvents.size());
    for (const RDTCOREvent* event : groupEvents) request->events.push_back(makeEvent(*event));
    message.events.funcs.encode = &encodeEventsField;
    message.events.arg = &request->events;
    const auto clock = RDTCORClock::snapshot();
    message.has_request_time_millis = true;
    message.request_time_millis = clock->timeMillis();
    message.has_request_uptime_millis = true;
    message.request_uptime_millis = clock->uptimeMilliseconds();
    requests.push_back(std::move(request));
  }

  KCTBatchRequest batch = KCTBatchRequest_init_zero;
  batch.source_requests.funcs.encode = &encodeSourceRequestsField;
  batch.source_requests.arg = &requests;
  return encodeMessage(KCTBatchRequest_fields, &batch);
}

KCTDecodedResponse KCTDecodeResponse(const platform::Data& body, platform::ErrorPtr* error) {
  KCTResponse response = KCTResponse_init_default;
  response.qos_configuration.qos_tier_entries.funcs.decode = &decodeQosTierEntry;
  pb_istream_t stream = pb_istream_from_buffer(body.bytes(), body.length());
  if (!pb_decode(&stream, KCTResponse_fields, &response)) {
    if (error) {
      *error = platform::makeError(
          platform::kURLErrorDomain, kKCTDecodeErrorCode,
          platform::Dictionary{{kKCTNanopbErrorKey, std::string(PB_GET_ERROR(&stream))}});
    }
    return {};
  }
  KCTDecodedResponse decoded;
  decoded.has_next_request_wait_millis = response.has_next_request_wait_millis;
  decoded.next_request_wait_millis = response.next_request_wait_millis;
  decoded.has_qos_configuration = response.has_qos_configuration;
  return decoded;
}

platform::Data KCTEncodeMetricsReport(const RDTCORMetrics& metrics) {
  MetricsReport report = MetricsReport_init_zero;
  report.window.start_millis = wholeSecondsInMillis(metrics.collectionStartDate());
  report.window.end_millis = wholeSecondsInMillis(metrics.collectionEndDate());
  report.has_window = report.window.start_millis != 0 || report.window.end_millis != 0;

  const auto& counter = metrics.logSourceMetrics()->droppedEventCounterByLogSource();
  report.log_source_metrics.funcs.encode = &encodeLogSourcesField;
  report.log_source_metrics.arg = const_cast<RDTCORDroppedEventCounterByLogSource*>(&counter);

  MetricsStorage& storage = report.global_metrics.storage_metrics;
  storage.current_cache_size_bytes = static_cast<std::int64_t>(metrics.currentCacheSize());
  storage.max_cache_size_bytes = static_cast<std::int64_t>(metrics.maxCacheSize());
  report.global_metrics.has_storage_metrics =
      storage.current_cache_size_bytes != 0 || storage.max_cache_size_bytes != 0;
  report.has_global_metrics = report.global_metrics.has_storage_metrics;

  if (!metrics.bundleID().empty()) setString(report.app_namespace, &metrics.bundleID());
  return encodeMessage(MetricsReport_fields, &report);
}
