// The cost of reading a measurement setting: a resolved one (every read after the first, the
// validator's per-parameter limits among them), and the first read of a delivered string,
// which parses it, tests its range and stores the number.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/data/APMRemoteConfig.h"

namespace {

void BM_ResolvedSettingLookup(benchmark::State& state) {
  APMRemoteConfig config;
  config.cachedValueByRemoteConfigKeys().setObject(
      platform::Value("300"), "measurement.upload.max_event_parameter_value_length");
  config.maxPublicEventParameterValueLength();
  for (auto _ : state) {
    benchmark::DoNotOptimize(config.maxPublicEventParameterValueLength());
  }
}
BENCHMARK(BM_ResolvedSettingLookup);

// Batches of delivered names, each read once; the time is per first read.
void BM_FirstReadOfDeliveredString(benchmark::State& state) {
  constexpr int kBatch = 1000;
  std::vector<std::string> keys;
  for (int i = 0; i < kBatch; ++i) keys.push_back("measurement.bench.key_" + std::to_string(i));
  for (auto _ : state) {
    state.PauseTiming();
    APMRemoteConfig config;
    for (const auto& key : keys) {
      config.cachedValueByRemoteConfigKeys().setObject(platform::Value("60000"), key);
    }
    config.cachedValueByRemoteConfigKeys().count();  // the deliveries are in place
    state.ResumeTiming();
    for (const auto& key : keys) {
      benchmark::DoNotOptimize(config.timeIntervalInSecondsFromCacheWithKey(key, 3600, 86400, 15));
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FirstReadOfDeliveredString);

void BM_ParseSettingText(benchmark::State& state) {
  const std::string text = "2419200000";
  for (auto _ : state) {
    benchmark::DoNotOptimize(APMParseDecimalNumber(text));
  }
}
BENCHMARK(BM_ParseSettingText);

}  // namespace
