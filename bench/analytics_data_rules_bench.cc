// The cost of the parameter rules every logged event pays: cleaning a public event's 25
// plain parameters (the default maximum), and cleaning a "purchase" event's "items" array of
// 200 element dictionaries (the most an array keeps), each element with five standard item
// parameters. Both run with the default settings and the monitor that drops every line.
#include <string>

#include <benchmark/benchmark.h>

#include "analytics/data/APMParameterSanitizer.h"
#include "platform/value.h"

namespace {

platform::Dictionary publicParameters() {
  platform::Dictionary parameters;
  for (int i = 0; i < 25; ++i) {
    const std::string name = "parameter_" + std::to_string(i);
    if (i % 3 == 0)
      parameters.set(name, platform::Value(i));
    else if (i % 3 == 1)
      parameters.set(name, platform::Value(i + 0.5));
    else
      parameters.set(name, platform::Value("value number " + std::to_string(i)));
  }
  return parameters;
}

platform::Dictionary itemsParameters() {
  platform::Array items;
  for (int i = 0; i < 200; ++i)
    items.emplace_back(platform::Dictionary{{"item_id", platform::Value("sku" + std::to_string(i))},
                                            {"item_name", platform::Value("Item name")},
                                            {"item_category", platform::Value("Category")},
                                            {"price", platform::Value(9.99)},
                                            {"quantity", platform::Value(2)}});
  return {{"items", platform::Value(std::move(items))},
          {"currency", platform::Value("EUR")},
          {"value", platform::Value(3996.0)}};
}

void BM_SanitizePublicParameters(benchmark::State& state) {
  const platform::Dictionary parameters = publicParameters();
  for (auto _ : state) {
    auto result = APMSanitizedEventParameters(parameters, "my_event", true, false);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * 25);
}
BENCHMARK(BM_SanitizePublicParameters)->Unit(benchmark::kMicrosecond);

void BM_SanitizeItems(benchmark::State& state) {
  const platform::Dictionary parameters = itemsParameters();
  for (auto _ : state) {
    auto result = APMSanitizedEventParameters(parameters, "purchase", true, false);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_SanitizeItems)->Unit(benchmark::kMicrosecond);

}  // namespace
