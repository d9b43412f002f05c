// One event evaluated against 100 audiences of 10 dynamic event filters each, stored in a real
// database (filters read by name, one result row per audience read and written back in the
// bundle's transaction), against the floor of the same 1000 leaf comparisons called directly
// on the same values. An iteration is 20 events, so its time in milliseconds times 50 is the
// microseconds per event; the ratio is at the end.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "analytics/audiences/APMAudience.h"
#include "analytics/audiences/APMAudienceComparisons.h"
#include "analytics/audiences/tests/audience_test_support.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/APMPersistedConfig.h"
#include "analytics/data/APMValue.h"
#include "analytics/messages/APMServices.h"
#include "bench/ratio_reporter.h"
#include "tests/support/temp_home.h"

namespace {

using namespace audience_test;

constexpr int kAudiences = 100;
constexpr int kFiltersPerAudience = 10;
// Events per timed iteration, all in one transaction as a bundle evaluates them.
constexpr int kEventsPerIteration = 20;
const char* const kEventName = "level_up";

class SilentMonitor : public APMMonitorLogging {
 public:
  void logWithLevel(std::int64_t, std::int64_t, const std::optional<std::string>&,
                    const platform::Array&) override {}
  bool isDebugModeEnabled() const override { return false; }
};

// The parameter filter of filter i: half number filters on "score", half string filters on
// "level", so that both comparison paths and both outcomes are exercised.
std::shared_ptr<APMPBFilter> parameterFilterAt(int i) {
  if (i % 2 == 0)
    return parameterFilter("score", numberFilter(kGreater, std::to_string(i * 10)), nullptr);
  return parameterFilter("level", nullptr, stringFilter(i % 4 == 1 ? kBeginsWith : kExact, "gold"));
}

const platform::Dictionary& eventParameters() {
  static const auto* const parameters = new platform::Dictionary{
      {"score", platform::Value(APMValue::initWithInt64(42))},
      {"level", platform::Value(APMValue::initWithString(platform::Value("golden")))}};
  return *parameters;
}

struct Fixture {
  testing_support::TemporaryHome home;
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMAudience> audience;

  Fixture() {
    APMServicesSetMonitor(std::make_shared<SilentMonitor>());
    database = APMDatabase::initWithDatabaseName(
        "audience-bench.sql", APMPersistedConfig::initWithSuiteName("audience-bench"), nullptr);
    audience = APMAudience::initWithDatabase(database);
    std::vector<APMEventFilterPtr> filters;
    for (int a = 0; a < kAudiences; ++a) {
      for (int f = 0; f < kFiltersPerAudience; ++f) {
        auto message =
            eventFilter(f, kEventName, {parameterFilterAt(f)}, nullptr, {.dynamic = true});
        auto filter = std::make_shared<APMEventFilter>();
        filter->audienceID = a;
        filter->filterID = f;
        filter->eventName = kEventName;
        filter->data = message->protoBuffer().value();
        filter->dynamic = true;
        filters.push_back(filter);
      }
    }
    database->performTransaction([&] { return database->updateEventFilters(filters, nullptr); });
  }
};

void EventEvaluated_Project(benchmark::State& state) {
  Fixture fixture;
  double time = 1700000000;
  for (auto _ : state) {
    fixture.database->performTransaction([&] {
      APMAudienceTimestampsCache cache;
      for (int i = 0; i < kEventsPerIteration; ++i)
        fixture.audience->evaluateFiltersForEventName(kEventName, eventParameters(), nullptr,
                                                      time += 1, &cache);
      return true;
    });
  }
}

void EventEvaluated_Floor(benchmark::State& state) {
  std::vector<std::shared_ptr<APMPBFilter>> filters;
  for (int a = 0; a < kAudiences; ++a)
    for (int f = 0; f < kFiltersPerAudience; ++f) filters.push_back(parameterFilterAt(f));
  const auto score = APMValueOf(eventParameters()["score"]);
  const auto level = APMValueOf(eventParameters()["level"]);
  for (auto _ : state) {
    for (int i = 0; i < kEventsPerIteration; ++i) {
      for (std::size_t f = 0; f < filters.size(); ++f)
        benchmark::DoNotOptimize(
            APMEvaluateFilter(filters[f].get(), (f % 2 == 0 ? score : level).get()));
    }
  }
}

}  // namespace

BENCHMARK(EventEvaluated_Project)->Unit(benchmark::kMillisecond);
BENCHMARK(EventEvaluated_Floor)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return bench_support::runWithRatios(argc, argv); }
