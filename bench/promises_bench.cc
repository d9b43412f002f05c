// Throughput of promise callbacks: a long then-chain on one queue, and one promise fulfilled
// and then observed.
#include <cstdint>

#include <benchmark/benchmark.h>

#include "platform/dispatch.h"
#include "platform/run_loop.h"
#include "promises/zbl_promise.h"

namespace {

constexpr int kChainLength = 100'000;

// Callbacks per second through a chain of then-links on one serial queue: the chain is built
// untimed, then the head is fulfilled and the value travels link by link to the tail.
void BM_ThenChainOnOneQueue(benchmark::State& state) {
  auto queue = platform::Queue::serial("bench.promises.chain");
  for (auto _ : state) {
    state.PauseTiming();
    auto head = ZBLPromise::pendingPromise();
    ZBLPromisePtr tail = head;
    for (int i = 0; i < kChainLength; ++i) {
      tail = tail->then(queue, [](const ZBLObject& value) {
        return ZBLObject(value.asValue()->integerValue() + 1);
      });
    }
    platform::Semaphore done;
    tail->observeOnQueue(
        queue, [done](const ZBLObject&) mutable { done.signal(); },
        [done](const platform::ErrorPtr&) mutable { done.signal(); });
    state.ResumeTiming();

    head->fulfill(0);
    done.wait();
    benchmark::DoNotOptimize(tail->value());
  }
  state.SetItemsProcessed(state.iterations() * kChainLength);
}
BENCHMARK(BM_ThenChainOnOneQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

// One promise made pending, fulfilled, observed, and its callback run; the main queue is
// drained on this thread, so no thread hand-off is counted.
void BM_FulfilledThenObserved(benchmark::State& state) {
  auto main = platform::Queue::main();
  std::int64_t sum = 0;
  for (auto _ : state) {
    auto promise = ZBLPromise::pendingPromise();
    promise->fulfill(1);
    promise->observeOnQueue(
        main, [&sum](const ZBLObject& value) { sum += *value.asValue()->asInt(); },
        [](const platform::ErrorPtr&) {});
    platform::RunLoop::drain();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FulfilledThenObserved);

}  // namespace
