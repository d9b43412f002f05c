// Costs of the SDK utilities: user-defaults operations from 8 threads on one suite, as the
// SDK's components share it (every write saves the suite's file, so writes measure the disk as
// much as the lock); keychain latency through the storage and through the bare item calls (the
// store is reopened at each call); and a loopback upload through the SDK's HTTP client.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "foundation/ZULKeychainStorage.h"
#include "foundation/ZULNetwork.h"
#include "foundation/ZULUserDefaults.h"
#include "platform/crypto.h"
#include "platform/keychain.h"
#include "platform/run_loop.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"

namespace {

constexpr int kKeys = 16;

// One home for the whole program, so nothing touches the real one.
testing_support::TemporaryHome& home() {
  static testing_support::TemporaryHome home;
  return home;
}

// One suite for the whole program: suites fix their file when first asked for.
ZULUserDefaults& defaults() {
  home();
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

// Promises settle through the main queue, which the benchmark thread (the process's first)
// pumps.
bool settle(const ZBLPromisePtr& promise) {
  return platform::RunLoop::runUntil([&] { return !promise->isPending(); }, 10) &&
         promise->isFulfilled();
}

const std::string kToken(64, 't');

void BM_KeychainStorageWrite(benchmark::State& state) {
  home();
  ZULKeychainStorage storage("com.example.utilities-bench.storage");
  std::int64_t n = 0;
  for (auto _ : state) {
    if (!settle(storage.setObject(platform::Value(kToken + std::to_string(++n)), "token", {}))) {
      state.SkipWithError("set failed");
      break;
    }
  }
}
BENCHMARK(BM_KeychainStorageWrite)->MinTime(0.3)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Each read misses the cache, so it reaches the keychain and decodes.
void BM_KeychainStorageRead(benchmark::State& state) {
  home();
  ZULKeychainStorage storage("com.example.utilities-bench.storage");
  if (!settle(storage.setObject(platform::Value(kToken), "token", {}))) {
    state.SkipWithError("set failed");
    return;
  }
  for (auto _ : state) {
    storage.resetInMemoryCache();
    auto promise = storage.getObjectForKey("token", platform::kStringClassName, {});
    if (!settle(promise) || promise->value().isNil()) {
      state.SkipWithError("get failed");
      break;
    }
  }
}
BENCHMARK(BM_KeychainStorageRead)->MinTime(0.3)->UseRealTime()->Unit(benchmark::kMicrosecond);

platform::Dictionary itemQuery(const std::string& account) {
  return {{platform::kSecClass, platform::kSecClassGenericPassword},
          {platform::kSecAttrService, "com.example.utilities-bench.items"},
          {platform::kSecAttrAccount, account}};
}

// A new item each time; the store grows by one row per iteration.
void BM_KeychainItemAdd(benchmark::State& state) {
  home();
  const auto data = platform::Data::fromString(kToken);
  std::int64_t n = 0;
  for (auto _ : state) {
    auto attributes = itemQuery("add-" + std::to_string(++n));
    attributes.set(platform::kSecValueData, data);
    if (platform::SecItemAdd(attributes) != platform::errSecSuccess) {
      state.SkipWithError("add failed");
      break;
    }
  }
  platform::SecItemDelete({{platform::kSecClass, platform::kSecClassGenericPassword},
                           {platform::kSecAttrService, "com.example.utilities-bench.items"}});
}
BENCHMARK(BM_KeychainItemAdd)->MinTime(0.3)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_KeychainItemUpdate(benchmark::State& state) {
  home();
  auto attributes = itemQuery("update");
  attributes.set(platform::kSecValueData, platform::Data::fromString(kToken));
  platform::SecItemAdd(attributes);
  std::int64_t n = 0;
  for (auto _ : state) {
    const platform::Dictionary change{
        {platform::kSecValueData, platform::Data::fromString(kToken + std::to_string(++n))}};
    if (platform::SecItemUpdate(itemQuery("update"), change) != platform::errSecSuccess) {
      state.SkipWithError("update failed");
      break;
    }
  }
  platform::SecItemDelete(itemQuery("update"));
}
BENCHMARK(BM_KeychainItemUpdate)->MinTime(0.3)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_KeychainItemCopyMatching(benchmark::State& state) {
  home();
  auto attributes = itemQuery("read");
  attributes.set(platform::kSecValueData, platform::Data::fromString(kToken));
  platform::SecItemAdd(attributes);
  auto query = itemQuery("read");
  query.set(platform::kSecReturnData, true);
  for (auto _ : state) {
    std::optional<platform::Value> result;
    if (platform::SecItemCopyMatching(query, &result) != platform::errSecSuccess) {
      state.SkipWithError("copy failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  platform::SecItemDelete(itemQuery("read"));
}
BENCHMARK(BM_KeychainItemCopyMatching)->MinTime(0.3)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 64 KB of random bytes posted to a loopback service and answered on the main queue. Random
// bytes do not shrink under the client's gzip, so a little over 64 KB crosses the wire (the
// wire_bytes counter): the dearest upload of that size.
void BM_NetworkPostRoundTrip(benchmark::State& state) {
  home();
  testing_support::FakeService service;
  service.on("POST", "/upload", {.status = 200, .body = "accepted"});
  auto network = ZULNetwork::initWithReachabilityHost("127.0.0.1");
  if (!network) {
    state.SkipWithError("no network");
    return;
  }
  const auto payload = platform::crypto::randomBytes(64 * 1024);
  const platform::URL url = service.baseURL() + "/upload";
  for (auto _ : state) {
    bool done = false;
    int status = 0;
    network->postURL(url, payload, nullptr, false,
                     [&](std::optional<platform::HTTPURLResponse> response,
                         std::optional<platform::Data>, platform::ErrorPtr) {
                       status = response ? response->statusCode : 0;
                       done = true;
                     });
    if (!platform::RunLoop::runUntil([&] { return done; }, 10) || status != 200) {
      state.SkipWithError("post failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
  const auto requests = service.requests();
  if (!requests.empty())
    state.counters["wire_bytes"] = static_cast<double>(requests.back().body.size());
}
BENCHMARK(BM_NetworkPostRoundTrip)->Iterations(300)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
