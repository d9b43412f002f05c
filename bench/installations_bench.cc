// The installations client against its loopback fake: how long a fresh device waits for its
// first auth token (create, save, register, save), and that a burst of token calls is served
// by one registration.
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "foundation/ZIRHeartbeatLogger.h"
#include "foundation/ZULKeychainStorage.h"
#include "installations/ZIRInstallationsAPIService.h"
#include "installations/ZIRInstallationsBackoffController.h"
#include "installations/ZIRInstallationsIDController.h"
#include "installations/ZIRInstallationsIIDStore.h"
#include "installations/ZIRInstallationsIIDTokenStore.h"
#include "installations/ZIRInstallationsStore.h"
#include "platform/url_session.h"
#include "tests/support/fake_installations_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";

std::shared_ptr<ZIRInstallationsIDController>
makeController(const testing_support::FakeInstallationsService& service) {
  auto APIService = std::make_shared<ZIRInstallationsAPIService>(
      platform::URLSession::create({}), "AKey", service.projectID(),
      std::make_shared<ZIRHeartbeatLogger>(kAppID), service.baseURL());
  auto store = std::make_shared<ZIRInstallationsStore>(
      std::make_shared<ZULKeychainStorage>(
          ZIRInstallationsIDController::keychainServiceWithAppID(kAppID)),
      std::nullopt);
  return ZIRInstallationsIDController::initWithReroraAppID(
      kAppID, "bench-app", std::move(store), std::move(APIService),
      std::make_shared<ZIRInstallationsIIDStore>(),
      std::make_shared<ZIRInstallationsIIDTokenStore>("123"),
      std::make_shared<ZIRInstallationsBackoffController>());
}

// Each iteration starts on an empty device (its own home) and a service that has never seen it;
// `calls` token requests are made at once and all must be answered.
void BM_TokenFromColdStart(benchmark::State& state) {
  const auto calls = static_cast<std::size_t>(state.range(0));
  std::size_t requests = 0;
  for (auto _ : state) {
    state.PauseTiming();
    testing_support::TemporaryHome home;
    home.useBundle();
    testing_support::FakeInstallationsService service;
    const auto controller = makeController(service);
    state.ResumeTiming();

    std::vector<ZBLPromisePtr> tokens;
    for (std::size_t i = 0; i < calls; ++i) {
      tokens.push_back(controller->getAuthTokenForcingRefresh(false));
    }
    const bool settled = testing_support::pumpMainQueueUntil([&] {
      for (const ZBLPromisePtr& token : tokens) {
        if (token->isPending()) return false;
      }
      return true;
    });

    state.PauseTiming();
    for (const ZBLPromisePtr& token : tokens) {
      if (!settled || token->error()) state.SkipWithError("a token call failed");
    }
    requests = service.requests().size();
    if (requests != 1) state.SkipWithError("the calls were not served by one registration");
    state.ResumeTiming();
  }
  state.counters["requests"] = static_cast<double>(requests);
}
BENCHMARK(BM_TokenFromColdStart)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
