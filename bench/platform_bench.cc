// Costs of the platform layer that every module pays: a queue hop and back to the main
// queue, JSON and property-list round trips of a 1 MB document, reading a 100 KB binary
// property list, one loopback request through the URL session, and a message sent by selector
// next to a plain virtual call.
#include <benchmark/benchmark.h>

#include <atomic>

#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/object_runtime.h"
#include "platform/plist.h"
#include "platform/run_loop.h"
#include "platform/url_session.h"
#include "tests/support/fake_service.h"

namespace {

using platform::Value;

void QueueHopToSerialAndBackToMain(benchmark::State& state) {
  platform::RunLoop::setMainThread();
  auto queue = platform::Queue::serial("bench.hop");
  for (auto _ : state) {
    bool back = false;
    queue->async([&] { platform::Queue::main()->async([&] { back = true; }); });
    platform::RunLoop::runUntil([&] { return back; }, 10);
  }
}
BENCHMARK(QueueHopToSerialAndBackToMain);

// A settings-like record with strings, integers, doubles, Booleans and nesting.
Value makeRecord(int i) {
  return platform::Dictionary{
      {"name", "file_" + std::to_string(i) + "_renamed_by_content.pdf"},
      {"index", i},
      {"score", i * 0.125},
      {"accepted", i % 3 == 0},
      {"tags", platform::Array{"report", "2026", "draft"}},
      {"origin", platform::Dictionary{{"folder", "/home/user/Documents"}, {"depth", i % 7}}},
  };
}

// About 1 MB of JSON made of such records.
Value makeDocument() {
  platform::Array records;
  for (int i = 0; records.size() < 5700; ++i) {
    records.push_back(makeRecord(i));
  }
  return platform::Dictionary{{"records", std::move(records)}};
}

void JsonRoundTrip1MB(benchmark::State& state) {
  const Value document = makeDocument();
  const std::size_t size = platform::json::write(document)->size();
  for (auto _ : state) {
    auto text = platform::json::write(document);
    auto back = platform::json::parse(*text);
    benchmark::DoNotOptimize(back);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["document_bytes"] = static_cast<double>(size);
}
BENCHMARK(JsonRoundTrip1MB)->Unit(benchmark::kMillisecond);

void PlistRoundTrip1MB(benchmark::State& state) {
  const Value document = makeDocument();
  const auto format = static_cast<platform::plist::Format>(state.range(0));
  for (auto _ : state) {
    auto data = platform::plist::write(document, format);
    auto back = platform::plist::parse(*data);
    benchmark::DoNotOptimize(back);
  }
  state.SetLabel(format == platform::plist::Format::XML ? "xml" : "binary");
}
BENCHMARK(PlistRoundTrip1MB)
    ->Arg(static_cast<int>(platform::plist::Format::XML))
    ->Arg(static_cast<int>(platform::plist::Format::Binary))
    ->Unit(benchmark::kMillisecond);

// Settings-like records until the binary property list holds about 100 KB: unique names, shared
// tags (which the writer stores once), numbers, Booleans and a nested dictionary each.
platform::Data makeBinaryList100KB() {
  platform::Array records;
  for (int i = 0;; ++i) {
    records.push_back(makeRecord(i));
    if (i % 50 == 49) {
      auto data = platform::plist::write(platform::Dictionary{{"records", records}},
                                         platform::plist::Format::Binary);
      if (data->size() >= 100 * 1024) return *data;
    }
  }
}

void PlistReadBinary100KB(benchmark::State& state) {
  const platform::Data data = makeBinaryList100KB();
  for (auto _ : state) {
    auto value = platform::plist::parse(data);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["document_bytes"] = static_cast<double>(data.size());
}
BENCHMARK(PlistReadBinary100KB)->Unit(benchmark::kMicrosecond);

void LoopbackRequest(benchmark::State& state) {
  testing_support::FakeService service;
  service.on("POST", "/echo", {.status = 200, .body = R"({"filename":"x"})"});
  auto session = platform::URLSession::create({});
  platform::URLRequest request;
  request.url = service.baseURL() + "/echo";
  request.httpMethod = "POST";
  request.body = platform::Data::fromString(R"({"text":"hello"})");
  for (auto _ : state) {
    platform::Semaphore done;
    session->dataTask(request, [&](auto, auto, auto) { done.signal(); })->resume();
    done.wait();
  }
}
BENCHMARK(LoopbackRequest)->Unit(benchmark::kMicrosecond);

class Counter : public platform::Object {
 public:
  virtual void add(int n) { total += n; }
  long total = 0;
};
// A type with no class of its own: its class is found through the type it derives from.
class DerivedCounter : public Counter {};

constexpr platform::Selector<void(int)> kAddSelector{"add:"};

platform::Class& counterClass() {
  static platform::Class& cls = []() -> platform::Class& {
    platform::Class& c = platform::ObjectRuntime::registerClass<Counter>("BenchCounter");
    c.addMethod(kAddSelector, &Counter::add);
    return c;
  }();
  return cls;
}

void VirtualCall(benchmark::State& state) {
  DerivedCounter counter;
  Counter& base = counter;
  for (auto _ : state) {
    base.add(1);
    benchmark::DoNotOptimize(base.total);
  }
}
BENCHMARK(VirtualCall);

// Class look-up (through the derived type), method look-up and the call.
void SendBySelector(benchmark::State& state) {
  counterClass();
  DerivedCounter counter;
  for (auto _ : state) {
    platform::ObjectRuntime::send(counter, kAddSelector, 1);
    benchmark::DoNotOptimize(counter.total);
  }
}
BENCHMARK(SendBySelector);

}  // namespace
