// Throughput of the SDK utilities under contention: user-defaults operations from 8 threads
// on one suite, as the SDK's components share it. Every write saves the suite's file, so
// writes measure the disk as much as the lock.
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "foundation/ZULUserDefaults.h"
#include "tests/support/temp_home.h"

namespace {

constexpr int kKeys = 16;

// One home and one suite for the whole program: suites fix their file when first asked for.
ZULUserDefaults& defaults() {
  static testing_support::TemporaryHome home;
  static ZULUserDefaults suite(std::string("com.example.utilities-bench"));
  return suite;
}

std::string keyFor(int i) { return "key-" + std::to_string(i); }

void fillKeys() {
  for (int i = 0; i < kKeys; ++i) defaults().setInteger(i, keyFor(i));
}

void BM_UserDefaultsReads(benchmark::State& state) {
  if (state.thread_index() == 0) fillKeys();
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) keys.push_back(keyFor(i));
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(defaults().objectForKey(keys[i++ % kKeys]));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UserDefaultsReads)->Threads(8)->UseRealTime();

void BM_UserDefaultsWrites(benchmark::State& state) {
  const std::string key = "thread-" + std::to_string(state.thread_index());
  std::int64_t value = 0;
  for (auto _ : state) defaults().setInteger(++value, key);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UserDefaultsWrites)->Threads(8)->UseRealTime();

// Nine reads to one write, the SDK's usual mix.
void BM_UserDefaultsMixed(benchmark::State& state) {
  if (state.thread_index() == 0) fillKeys();
  std::vector<std::string> keys;
  for (int i = 0; i < kKeys; ++i) keys.push_back(keyFor(i));
  const std::string key = "thread-" + std::to_string(state.thread_index());
  std::int64_t n = 0;
  for (auto _ : state) {
    if (++n % 10 == 0) {
      defaults().setInteger(n, key);
    } else {
      benchmark::DoNotOptimize(defaults().objectForKey(keys[n % kKeys]));
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UserDefaultsMixed)->Threads(8)->UseRealTime();

}  // namespace
