// The upload-sized load of the message benchmarks (bundles of events with a mix of parameter
// kinds) and the loops that decode and encode it through the generic engine, counting the
// allocations made. It brings bench/allocation_counter.h with it: include it in one file of a
// benchmark program only.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/messages/APMPBMessageEngine.h"
#include "analytics/messages/APMPBMessageTables.h"
#include "bench/allocation_counter.h"
#include "bench/wire_bytes.h"
#include "platform/data.h"

namespace bench_bundles {

inline constexpr int kBundles = 50;
inline constexpr int kEvents = 100;
inline constexpr int kParams = 10;

// A bundle as the client uploads one: `events` events of kParams parameters, one a second up
// to `endMillis`, and the bundle's own identity and timing fields.
inline std::string bundleBytes(int bundle, int events, std::int64_t endMillis) {
  using namespace bench_wire;
  std::string out;
  putVarintField(out, 1, 1);
  for (int e = 0; e < events; ++e) {
    std::string event = eventBytes(e, kParams, endMillis - (events - e) * 1000);
    putVarintField(event, 4, endMillis - (events - e) * 1000 - 500);
    putBytesField(out, 2, event);
  }
  putVarintField(out, 4, endMillis + 1000);
  putVarintField(out, 5, endMillis - events * 1000);
  putVarintField(out, 6, endMillis);
  putBytesField(out, 8, "desktop");
  putBytesField(out, 9, "12.4");
  putBytesField(out, 10, "model-7");
  putBytesField(out, 14, "1:1234567890:desktop:abcdef");
  putBytesField(out, 21, "0123456789abcdef0123456789abcdef");
  putVarintField(out, 23, bundle);
  return out;
}

// kBundles bundles of kEvents events.
inline const std::vector<platform::Data>& bundles() {
  static const std::vector<platform::Data> kData = [] {
    std::vector<platform::Data> all;
    for (int b = 0; b < kBundles; ++b)
      all.push_back(platform::Data::fromString(bundleBytes(b, kEvents, 1700000100000)));
    return all;
  }();
  return kData;
}

// The engine's message of one bundle; aborts when it does not decode.
inline MessageInfo* decodedBundle(const platform::Data& data) {
  auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (info == nullptr || !nano_message_init(nano_MeasurementBundle_table, info) ||
      !nano_message_decode(nano_MeasurementBundle_table, data.bytes(), data.length(), info))
    std::abort();
  return info;
}

// Decodes and frees each bundle; the allocations of the decodes.
inline std::uint64_t decodeEach(const std::vector<platform::Data>& data) {
  std::uint64_t counted = 0;
  for (const platform::Data& bytes : data) {
    const std::uint64_t before = bench_allocations::count;
    MessageInfo* info = decodedBundle(bytes);
    counted += bench_allocations::count - before;
    benchmark::DoNotOptimize(info);
    nano_message_free(nano_MeasurementBundle_table, info);
  }
  return counted;
}

// Encodes each message; the allocations of the encodes.
inline std::uint64_t encodeEach(const std::vector<MessageInfo*>& infos) {
  std::uint64_t counted = 0;
  for (MessageInfo* info : infos) {
    std::uint8_t* buffer = nullptr;
    const std::uint64_t before = bench_allocations::count;
    const std::int32_t length = nano_message_encode(nano_MeasurementBundle_table, info, &buffer);
    counted += bench_allocations::count - before;
    if (length <= 0) std::abort();
    benchmark::DoNotOptimize(buffer);
    std::free(buffer);
  }
  return counted;
}

}  // namespace bench_bundles
