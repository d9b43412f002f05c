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

#include "analytics/messages/APMPBMessages.h"
#include "bench/bundle_sample.h"
#include "platform/data.h"

namespace {

using namespace bench_bundles;

std::size_t totalBytes() {
  std::size_t total = 0;
  for (const platform::Data& data : bundles()) total += data.length();
  return total;
}

void report(benchmark::State& state, std::uint64_t counted) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * totalBytes()));
  state.counters["bundle_bytes"] = static_cast<double>(totalBytes()) / kBundles;
  state.counters["allocs_per_bundle"] =
      static_cast<double>(counted) / static_cast<double>(state.iterations() * kBundles);
}

void BM_DecodeBundles(benchmark::State& state) {
  std::uint64_t counted = 0;
  for (auto _ : state) counted += decodeEach(bundles());
  report(state, counted);
}
BENCHMARK(BM_DecodeBundles)->Unit(benchmark::kMillisecond);

void BM_EncodeBundles(benchmark::State& state) {
  std::vector<MessageInfo*> infos;
  for (const platform::Data& data : bundles()) infos.push_back(decodedBundle(data));
  std::uint64_t counted = 0;
  for (auto _ : state) counted += encodeEach(infos);
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
