// The analytics wire messages' costs on an upload-sized load: 50 bundles of 100 events with 10
// parameters each, decoded and encoded through the generic engine, and decoded as the bundle
// wrapper reads them (decode plus the wrapper's own copy). Throughput is over the encoded
// bytes; allocations per bundle as bench/allocation_counter.h counts them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/messages/APMPBMessageEngine.h"
#include "analytics/messages/APMPBMessageTables.h"
#include "analytics/messages/APMPBMessages.h"
#include "bench/allocation_counter.h"
#include "bench/wire_bytes.h"
#include "platform/data.h"

namespace {

constexpr int kBundles = 50;
constexpr int kEvents = 100;
constexpr int kParams = 10;

using namespace bench_wire;

// A bundle as the client uploads one: events with a mix of string, integer and double
// parameters, and the bundle's own identity and timing fields.
std::string bundleBytes(int bundle) {
  std::string out;
  putVarintField(out, 1, 1);
  for (int e = 0; e < kEvents; ++e) {
    std::string event = eventBytes(e, kParams, 1700000000000 + e * 1000);
    putVarintField(event, 4, 1700000000000 + e * 1000 - 500);
    putBytesField(out, 2, event);
  }
  putVarintField(out, 4, 1700000100000);
  putVarintField(out, 5, 1700000000000);
  putVarintField(out, 6, 1700000099000);
  putBytesField(out, 8, "desktop");
  putBytesField(out, 9, "12.4");
  putBytesField(out, 10, "model-7");
  putBytesField(out, 14, "1:1234567890:desktop:abcdef");
  putBytesField(out, 21, "0123456789abcdef0123456789abcdef");
  putVarintField(out, 23, bundle);
  return out;
}

const std::vector<platform::Data>& bundles() {
  static const std::vector<platform::Data> kBundlesData = [] {
    std::vector<platform::Data> all;
    for (int b = 0; b < kBundles; ++b) all.push_back(platform::Data::fromString(bundleBytes(b)));
    return all;
  }();
  return kBundlesData;
}

std::size_t totalBytes() {
  std::size_t total = 0;
  for (const platform::Data& data : bundles()) total += data.length();
  return total;
}

MessageInfo* decoded(const platform::Data& data) {
  auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (info == nullptr || !nano_message_init(nano_MeasurementBundle_table, info) ||
      !nano_message_decode(nano_MeasurementBundle_table, data.bytes(), data.length(), info))
    std::abort();
  return info;
}

void report(benchmark::State& state, std::uint64_t counted) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
  state.counters["bundle_bytes"] = static_cast<double>(totalBytes()) / kBundles;
  state.counters["allocs_per_bundle"] =
      static_cast<double>(counted) / static_cast<double>(state.iterations() * kBundles);
}

void BM_DecodeBundles(benchmark::State& state) {
  std::uint64_t counted = 0;
  for (auto _ : state) {
    for (const platform::Data& data : bundles()) {
      const std::uint64_t before = bench_allocations::count;
      MessageInfo* info = decoded(data);
      counted += bench_allocations::count - before;
      benchmark::DoNotOptimize(info);
      nano_message_free(nano_MeasurementBundle_table, info);
    }
  }
  report(state, counted);
}
BENCHMARK(BM_DecodeBundles)->Unit(benchmark::kMillisecond);

void BM_EncodeBundles(benchmark::State& state) {
  std::vector<MessageInfo*> infos;
  for (const platform::Data& data : bundles()) infos.push_back(decoded(data));
  std::uint64_t counted = 0;
  for (auto _ : state) {
    for (MessageInfo* info : infos) {
      std::uint8_t* buffer = nullptr;
      const std::uint64_t before = bench_allocations::count;
      const std::int32_t length = nano_message_encode(nano_MeasurementBundle_table, info, &buffer);
      counted += bench_allocations::count - before;
      if (length <= 0) std::abort();
      benchmark::DoNotOptimize(buffer);
      std::free(buffer);
    }
  }
  for (MessageInfo* info : infos) nano_message_free(nano_MeasurementBundle_table, info);
  report(state, counted);
}
BENCHMARK(BM_EncodeBundles)->Unit(benchmark::kMillisecond);

void BM_DecodeBundleWrappers(benchmark::State& state) {
  std::uint64_t counted = 0;
  for (auto _ : state) {
    for (const platform::Data& data : bundles()) {
      const std::uint64_t before = bench_allocations::count;
      auto message = APMPBMeasurementBundle::initWithBuffer(&data);
      counted += bench_allocations::count - before;
      if (!message) std::abort();
      benchmark::DoNotOptimize(message);
    }
  }
  report(state, counted);
}
BENCHMARK(BM_DecodeBundleWrappers)->Unit(benchmark::kMillisecond);

}  // namespace
