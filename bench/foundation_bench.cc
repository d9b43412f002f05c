// Costs of the SDK foundation's hot paths: a log call whose level is filtered out (made at
// every debug site, so it must be near free), gzip throughput of the data helpers, and
// building the heartbeat header value that goes with each installations request.
#include <string>

#include <benchmark/benchmark.h>

#include "foundation/HeartbeatsPayload.h"
#include "foundation/ZIRLogger.h"
#include "foundation/ZULGzip.h"
#include "foundation/ZULLogger.h"

namespace {

// Text shaped like what the SDK compresses: JSON with repeated keys and varying values.
platform::Data jsonLikeText(std::size_t length) {
  std::string text;
  for (int i = 0; text.size() < length; ++i) {
    text += R"({"name":"event_)" + std::to_string(i % 97) + R"(","timestamp":)" +
            std::to_string(1'700'000'000'000LL + i * 7919LL) + R"(,"params":{"value":)" +
            std::to_string((i * 2654435761u) % 100000) + "}},";
  }
  text.resize(length);
  return platform::Data::fromString(text);
}

void BM_LogCallBelowTheLevel(benchmark::State& state) {
  ZIRLoggerSetLevel(ZULLoggerLevelNotice);
  for (auto _ : state) {
    ZIRLogAtDebug("[ZiruzadaCore]", "I-COR000001", "Configuring %@ with %ld components.",
                  {"app", 12});
  }
}
BENCHMARK(BM_LogCallBelowTheLevel);

// The same without arguments: the floor, with no argument values to build.
void BM_LogCallBelowTheLevelWithoutArguments(benchmark::State& state) {
  ZIRLoggerSetLevel(ZULLoggerLevelNotice);
  for (auto _ : state) ZIRLogAtDebug("[ZiruzadaCore]", "I-COR000001", "Configuring the app.");
}
BENCHMARK(BM_LogCallBelowTheLevelWithoutArguments);

// The utility layer's entry, which user defaults, the swizzler and reachability call.
void BM_UtilityLogCallBelowTheLevel(benchmark::State& state) {
  ZIRLoggerSetLevel(ZULLoggerLevelNotice);
  for (auto _ : state) {
    ZULLogAtDebug("[ZULReachability]", false, "I-REA000001", "Reachability changed to %@ (%ld)",
                  {"online", 2});
  }
}
BENCHMARK(BM_UtilityLogCallBelowTheLevel);

void BM_GzipCompress(benchmark::State& state) {
  const platform::Data input = jsonLikeText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(zul_dataByGzippingData(input));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GzipCompress)->Arg(1 << 10)->Arg(1 << 20);

void BM_GzipInflate(benchmark::State& state) {
  const platform::Data compressed =
      *zul_dataByGzippingData(jsonLikeText(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(zul_dataByInflatingGzippedData(compressed));
  // Throughput of the inflated output.
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GzipInflate)->Arg(1 << 10)->Arg(1 << 20);

// A full ring's worth: 30 days of one agent, as after a month without requests.
void BM_HeaderValueOfThirtyDays(benchmark::State& state) {
  ZiruzadaCoreInternal::HeartbeatsPayload payload;
  auto& entry = payload.userAgentPayloads.emplace_back();
  entry.agent = "apple-platform/linux apple-sdk/1 appstore/false deploy/source device/x86_64 "
                "os-version/6.1.0 zere-install/10.27.0 zere-ios/10.27.0 zere-zcm/10.27.0";
  for (int day = 0; day < 30; ++day) {
    entry.dates.push_back(platform::Date::fromTimeIntervalSince1970(1'699'920'000.0 + day * 86400));
  }
  for (auto _ : state) benchmark::DoNotOptimize(payload.headerValue());
}
BENCHMARK(BM_HeaderValueOfThirtyDays);

void BM_HeaderValueOfTheEmptyPayload(benchmark::State& state) {
  const auto& payload = ZiruzadaCoreInternal::HeartbeatsPayload::emptyPayload();
  for (auto _ : state) benchmark::DoNotOptimize(payload.headerValue());
}
BENCHMARK(BM_HeaderValueOfTheEmptyPayload);

}  // namespace
