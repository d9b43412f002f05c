// Test-only readers and writers of the collection service's messages: a batch request body
// decoded into plain structs (every field, with its presence), a metrics report decoded the
// same way, and an answer body encoded with a given wait. Header-only, so that any test of the
// module can include it.
#pragma once

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ReroraDataTransport/RDTCORLibrary/Protos/kct.pb.h"
#include "ReroraDataTransport/RDTCORLibrary/Protos/metrics.pb.h"
#include "platform/data.h"

namespace kct_testing {

// An absent field is std::nullopt.
struct DesktopClient {
  std::optional<std::string> os_major_version;
  std::optional<std::string> os_full_version;
  std::optional<std::string> application_build;
  std::optional<std::string> application_bundle_id;
};

struct Client {
  std::optional<std::int64_t> client_type;
  bool has_mobile_client = false;
  std::optional<DesktopClient> desktop_client;
};

struct NetworkConnection {
  std::optional<std::int32_t> network_type;
  std::optional<std::uint32_t> mobile_subtype;
};

struct Compliance {
  // privacy_context.product_context.product_id, present only when all three are.
  bool has_privacy_context = false;
  bool has_product_context = false;
  std::optional<std::int32_t> product_id;
  std::optional<std::int64_t> product_id_origin;
};

struct Event {
  std::optional<std::int64_t> event_time_millis;
  std::optional<std::string> payload;
  std::optional<std::int32_t> event_code;
  std::optional<std::int64_t> timezone_offset_seconds;
  std::optional<std::int64_t> event_uptime_millis;
  std::optional<NetworkConnection> network_connection_info;
  std::optional<Compliance> compliance;
};

struct SourceRequest {
  std::optional<Client> client;
  std::optional<std::int32_t> log_source;
  std::vector<Event> events;
  std::optional<std::int64_t> request_time_millis;
  std::optional<std::int64_t> request_uptime_millis;
  std::optional<std::int64_t> qos_tier;
};

struct BatchRequest {
  std::vector<SourceRequest> source_requests;
};

// The metrics report follows proto3 rules: scalars have no presence, sub-messages do.
struct DroppedEvents {
  std::int64_t events_dropped_count = 0;
  std::int64_t reason = 0;
};

struct LogSourceMetrics {
  std::string log_source;
  std::vector<DroppedEvents> dropped_events;
};

struct MetricsReport {
  bool has_window = false;
  std::int64_t start_millis = 0;
  std::int64_t end_millis = 0;
  std::vector<LogSourceMetrics> log_source_metrics;
  bool has_global_metrics = false;
  bool has_storage_metrics = false;
  std::int64_t current_cache_size_bytes = 0;
  std::int64_t max_cache_size_bytes = 0;
  std::string app_namespace;
};

namespace detail {

inline bool readBytes(pb_istream_t* stream, std::string& out) {
  out.resize(stream->bytes_left);
  return pb_read(stream, reinterpret_cast<pb_byte_t*>(out.data()), out.size());
}

inline bool decodeOptionalString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto& out = *static_cast<std::optional<std::string>*>(*arg);
  out.emplace();
  return readBytes(stream, *out);
}

inline bool decodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  return readBytes(stream, *static_cast<std::string*>(*arg));
}

inline void expectString(pb_callback_t& callback, std::optional<std::string>* out) {
  callback.funcs.decode = &decodeOptionalString;
  callback.arg = out;
}

template <typename T> std::optional<T> present(bool has, T value) {
  return has ? std::optional<T>(value) : std::nullopt;
}

inline bool decodeEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto& events = *static_cast<std::vector<Event>*>(*arg);
  Event event;
  KCTEvent message = KCTEvent_init_zero;
  expectString(message.payload, &event.payload);
  if (!pb_decode(stream, KCTEvent_fields, &message)) return false;
  event.event_time_millis = present(message.has_event_time_millis, message.event_time_millis);
  event.event_code = present(message.has_event_code, message.event_code);
  event.timezone_offset_seconds =
      present(message.has_timezone_offset_seconds, message.timezone_offset_seconds);
  event.event_uptime_millis = present(message.has_event_uptime_millis, message.event_uptime_millis);
  if (message.has_network_connection_info) {
    const KCTNetworkConnection& connection = message.network_connection_info;
    event.network_connection_info =
        NetworkConnection{present(connection.has_network_type, connection.network_type),
                          present(connection.has_mobile_subtype, connection.mobile_subtype)};
  }
  if (message.has_compliance) {
    const KCTCompliance& compliance = message.compliance;
    Compliance out;
    out.has_privacy_context = compliance.has_privacy_context;
    out.has_product_context = compliance.privacy_context.has_product_context;
    out.product_id = present(compliance.privacy_context.product_context.has_product_id,
                             compliance.privacy_context.product_context.product_id);
    out.product_id_origin = present(compliance.has_product_id_origin,
                                    static_cast<std::int64_t>(compliance.product_id_origin));
    event.compliance = out;
  }
  events.push_back(std::move(event));
  return true;
}

inline bool decodeSourceRequest(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto& requests = *static_cast<std::vector<SourceRequest>*>(*arg);
  SourceRequest request;
  DesktopClient desktop;
  KCTSourceRequest message = KCTSourceRequest_init_zero;
  message.events.funcs.decode = &decodeEvent;
  message.events.arg = &request.events;
  KCTDesktopClient& desktopMessage = message.client.desktop_client;
  expectString(desktopMessage.os_major_version, &desktop.os_major_version);
  expectString(desktopMessage.os_full_version, &desktop.os_full_version);
  expectString(desktopMessage.application_build, &desktop.application_build);
  expectString(desktopMessage.application_bundle_id, &desktop.application_bundle_id);
  if (!pb_decode(stream, KCTSourceRequest_fields, &message)) return false;
  if (message.has_client) {
    Client client;
    client.client_type = present(message.client.has_client_type,
                                 static_cast<std::int64_t>(message.client.client_type));
    client.has_mobile_client = message.client.has_mobile_client;
    if (message.client.has_desktop_client) client.desktop_client = desktop;
    request.client = client;
  }
  request.log_source = present(message.has_log_source, message.log_source);
  request.request_time_millis =
      present(message.has_request_time_millis, message.request_time_millis);
  request.request_uptime_millis =
      present(message.has_request_uptime_millis, message.request_uptime_millis);
  request.qos_tier = present(message.has_qos_tier, static_cast<std::int64_t>(message.qos_tier));
  requests.push_back(std::move(request));
  return true;
}

inline bool decodeDroppedEvents(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto& list = *static_cast<std::vector<DroppedEvents>*>(*arg);
  MetricsDroppedEvents message = MetricsDroppedEvents_init_zero;
  if (!pb_decode(stream, MetricsDroppedEvents_fields, &message)) return false;
  list.push_back({message.events_dropped_count, static_cast<std::int64_t>(message.reason)});
  return true;
}

inline bool decodeLogSource(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto& list = *static_cast<std::vector<LogSourceMetrics>*>(*arg);
  LogSourceMetrics entry;
  MetricsLogSource message = MetricsLogSource_init_zero;
  message.log_source.funcs.decode = &decodeString;
  message.log_source.arg = &entry.log_source;
  message.dropped_events.funcs.decode = &decodeDroppedEvents;
  message.dropped_events.arg = &entry.dropped_events;
  if (!pb_decode(stream, MetricsLogSource_fields, &message)) return false;
  list.push_back(std::move(entry));
  return true;
}

inline bool encodeQosTierEntries(pb_ostream_t* stream, const pb_field_t* field, void* const*) {
  for (std::int32_t value : {1, 2}) {
    KCTQosTierEntry entry = KCTQosTierEntry_init_zero;
    entry.has_qos_tier = true;
    entry.has_tier_value = true;
    entry.tier_value = value;
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, KCTQosTierEntry_fields, &entry)) {
      return false;
    }
  }
  return true;
}

inline platform::Data encode(const pb_msgdesc_t* fields, const void* message) {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, fields, message)) return {};
  std::vector<std::uint8_t> bytes(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  if (!pb_encode(&stream, fields, message)) return {};
  return platform::Data(std::move(bytes));
}

}  // namespace detail

// None when the body is not a KCTBatchRequest.
inline std::optional<BatchRequest> DecodeBatchRequest(const platform::Data& body) {
  BatchRequest batch;
  KCTBatchRequest message = KCTBatchRequest_init_zero;
  message.source_requests.funcs.decode = &detail::decodeSourceRequest;
  message.source_requests.arg = &batch.source_requests;
  pb_istream_t stream = pb_istream_from_buffer(body.bytes(), body.length());
  if (!pb_decode(&stream, KCTBatchRequest_fields, &message)) return std::nullopt;
  return batch;
}

// None when the bytes are not a MetricsReport.
inline std::optional<MetricsReport> DecodeMetricsReport(const platform::Data& bytes) {
  MetricsReport report;
  ::MetricsReport message = MetricsReport_init_zero;
  message.log_source_metrics.funcs.decode = &detail::decodeLogSource;
  message.log_source_metrics.arg = &report.log_source_metrics;
  message.app_namespace.funcs.decode = &detail::decodeString;
  message.app_namespace.arg = &report.app_namespace;
  pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.length());
  if (!pb_decode(&stream, MetricsReport_fields, &message)) return std::nullopt;
  report.has_window = message.has_window;
  report.start_millis = message.window.start_millis;
  report.end_millis = message.window.end_millis;
  report.has_global_metrics = message.has_global_metrics;
  report.has_storage_metrics = message.global_metrics.has_storage_metrics;
  report.current_cache_size_bytes = message.global_metrics.storage_metrics.current_cache_size_bytes;
  report.max_cache_size_bytes = message.global_metrics.storage_metrics.max_cache_size_bytes;
  return report;
}

// A KCTResponse body: the wait when given, and with a QoS configuration (two tier entries and
// a version) when asked for.
inline platform::Data EncodeResponse(std::optional<std::int64_t> nextRequestWaitMillis,
                                     bool withQosConfiguration = false) {
  KCTResponse message = KCTResponse_init_zero;
  message.has_next_request_wait_millis = nextRequestWaitMillis.has_value();
  message.next_request_wait_millis = nextRequestWaitMillis.value_or(0);
  message.has_qos_configuration = withQosConfiguration;
  if (withQosConfiguration) {
    message.qos_configuration.qos_tier_entries.funcs.encode = &detail::encodeQosTierEntries;
    message.qos_configuration.has_configuration_version = true;
    message.qos_configuration.configuration_version = 42;
  }
  return detail::encode(KCTResponse_fields, &message);
}

}  // namespace kct_testing
