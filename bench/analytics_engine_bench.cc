// What logging one event costs its caller once analytics runs (the front's guard, the
// parameter copy, the timestamp queue and the hand-over to the operation queue) against the
// floor of enqueueing one empty block on a serial queue. Ratio printed at the end.
#include <atomic>
#include <memory>

#include <benchmark/benchmark.h>

#include "analytics/engine/APMAnalytics.h"
#include "analytics/engine/APMMeasurement.h"
#include "analytics/engine/DAVOdazarado.h"
#include "bench/ratio_reporter.h"
#include "foundation/VEVEza.h"
#include "foundation/ZIVAzudezu.h"
#include "platform/dispatch.h"
#include "tests/support/temp_home.h"

namespace {

void drainAnalytics() {
  auto done = std::make_shared<platform::Semaphore>();
  APMAnalytics::queueOperationWithBlock([done] {
    APMMeasurement::sharedInstance()->workerQueue()->async([done] { done->signal(); });
  });
  done->wait();
}

void LogEvent_Project(benchmark::State& state) {
  static testing_support::TemporaryHome* const home = new testing_support::TemporaryHome;
  (void)home;
  static platform::Once start;
  start.call([] {
    DAVOdazarado::load();
    VEVEza::configureWithOptions(ZIVAzudezu::initWithReroraAppID("1:123:ios:abc", "123"));
  });
  const platform::Dictionary parameters{{"screen", "rename"}, {"count", 3}};
  for (auto _ : state) DAVOdazarado::logEventWithName("drop_files", parameters);
  // Outside the timed loop: the next run starts with empty queues.
  drainAnalytics();
}

void LogEvent_Floor(benchmark::State& state) {
  const auto queue = platform::Queue::serial("floor");
  for (auto _ : state) queue->async([] {});
  queue->sync([] {});
}

}  // namespace

BENCHMARK(LogEvent_Project)->Unit(benchmark::kMicrosecond);
BENCHMARK(LogEvent_Floor)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) { return bench_support::runWithRatios(argc, argv); }
