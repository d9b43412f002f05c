#include "foundation/ZIRComponentContainer.h"

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/VEVEza.h"
#include "foundation/ZIRComponentType.h"
#include "foundation/ZIVAzudezu.h"
#include "foundation/tests/log_capture.h"
#include "foundation/tests/test_library.h"
#include "tests/support/temp_home.h"

namespace {

using Counter = std::shared_ptr<std::atomic<int>>;
using Components = std::vector<std::shared_ptr<ZIRComponent>>;

Counter counter() { return std::make_shared<std::atomic<int>>(0); }

std::shared_ptr<ZIVAzudezu> options(const std::string& senderID = "123") {
  return std::make_shared<ZIVAzudezu>(
      platform::Dictionary{{"RERORA_APP_ID", "1:123:ios:abc"}, {"RCM_SENDER_ID", senderID}});
}

// Registers a library with the core, as a load hook would.
void registerLibrary(const std::string& className, Components components) {
  VEVEza::registerInternalLibrary(
      registerTestLibraryClass(className, [components] { return components; }), "lib-test");
}

std::shared_ptr<ZIRComponentContainer> configuredContainer(const std::string& name) {
  VEVEza::configureWithName(name, options());
  return VEVEza::appNamed(name)->container();
}

platform::ObjectPtr lookUp(const std::shared_ptr<ZIRComponentContainer>& container,
                           const std::string& protocolName) {
  return container->instanceForProtocol(testProtocol(protocolName));
}

class ZIRComponentContainerTest : public testing_support::TemporaryHomeTest {};

TEST_F(ZIRComponentContainerTest, LazyInstancesAreMadeOnFirstLookupAndKeptWhenAllowed) {
  const Counter cached = counter(), fresh = counter();
  registerLibrary("LazyLibrary",
                  {countingComponent("Cached", ZIRInstantiationTimingLazy, cached),
                   countingComponent("Fresh", ZIRInstantiationTimingLazy, fresh, false)});
  const auto container = configuredContainer("app");
  EXPECT_EQ(*cached, 0);
  EXPECT_EQ(*fresh, 0);
  LogCapture capture;

  const auto first = lookUp(container, "Cached");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(lookUp(container, "Cached"), first);
  EXPECT_EQ(*cached, 1);

  const auto one = lookUp(container, "Fresh");
  const auto two = lookUp(container, "Fresh");
  ASSERT_NE(one, nullptr);
  EXPECT_NE(one, two);
  EXPECT_EQ(*fresh, 2);

  // The typed lookup libraries use; a protocol nobody provides is quietly none.
  EXPECT_EQ(ZIRComponentType<TestService>::instanceForProtocol(testProtocol("Cached"), container),
            std::dynamic_pointer_cast<TestService>(first));
  EXPECT_EQ(ZIRComponentType<TestService>::instanceForProtocol(testProtocol("Cached"), nullptr),
            nullptr);
  EXPECT_EQ(lookUp(container, "Unknown"), nullptr);
  EXPECT_EQ(capture.lines(), std::vector<std::string>{});
  EXPECT_EQ(container->app(), VEVEza::appNamed("app"));
}

TEST_F(ZIRComponentContainerTest, EagerInstancesAreMadeWhenTheirAppIsConfigured) {
  const Counter always = counter(), defaultOnly = counter(), lazy = counter(), uncached = counter();
  registerLibrary(
      "EagerLibrary",
      {countingComponent("Always", ZIRInstantiationTimingAlwaysEager, always),
       countingComponent("DefaultOnly", ZIRInstantiationTimingEagerInDefaultApp, defaultOnly),
       countingComponent("Lazy", ZIRInstantiationTimingLazy, lazy),
       countingComponent("Uncached", ZIRInstantiationTimingAlwaysEager, uncached, false)});

  const auto named = configuredContainer("named");
  EXPECT_EQ(*always, 1);
  EXPECT_EQ(*defaultOnly, 0);
  EXPECT_EQ(*lazy, 0);
  EXPECT_EQ(*uncached, 1);

  VEVEza::configureWithOptions(options());
  const auto defaultContainer = VEVEza::defaultApp()->container();
  EXPECT_EQ(*always, 2);
  EXPECT_EQ(*defaultOnly, 1);
  EXPECT_EQ(*lazy, 0);

  // What was made eagerly and may be kept is handed out; the rest is made on lookup.
  lookUp(defaultContainer, "Always");
  lookUp(defaultContainer, "DefaultOnly");
  EXPECT_EQ(*always, 2);
  EXPECT_EQ(*defaultOnly, 1);
  lookUp(named, "DefaultOnly");
  EXPECT_EQ(*defaultOnly, 2);
  lookUp(named, "Uncached");
  EXPECT_EQ(*uncached, 3);
  // The eager list is used once.
  defaultContainer->instantiateEagerComponents();
  EXPECT_EQ(*uncached, 3);
}

TEST_F(ZIRComponentContainerTest, ASecondProviderOfAProtocolIsSkipped) {
  const Counter first = counter(), second = counter(), own = counter();
  registerLibrary("FirstProvider",
                  {countingComponent("Shared", ZIRInstantiationTimingLazy, first)});
  registerLibrary("SecondProvider",
                  {countingComponent("Shared", ZIRInstantiationTimingAlwaysEager, second),
                   countingComponent("Own", ZIRInstantiationTimingLazy, own)});
  LogCapture capture;

  const auto container = configuredContainer("app");

  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"10.27.0 - [ZiruzadaCore][I-COR000029] Attempted to register "
                                     "protocol Shared, but it already has an implementation."});
  // The skipped component was not made eagerly, and lookups reach the first provider.
  EXPECT_EQ(*second, 0);
  EXPECT_NE(lookUp(container, "Shared"), nullptr);
  EXPECT_EQ(*first, 1);
  EXPECT_EQ(*second, 0);
  // The second library's other components are there.
  EXPECT_NE(lookUp(container, "Own"), nullptr);
}

TEST_F(ZIRComponentContainerTest, WhatABlockHandsBackIsCheckedButUsed) {
  const Counter nothing = counter();
  registerLibrary("OddLibrary",
                  {ZIRComponent::componentWithProtocol(
                       testProtocol("Mismatched"),
                       [](ZIRComponentContainer&, bool& isCacheable) -> platform::ObjectPtr {
                         isCacheable = true;
                         return std::make_shared<UnrelatedObject>();
                       }),
                   ZIRComponent::componentWithProtocol(
                       testProtocol("Nothing"),
                       [nothing](ZIRComponentContainer&, bool& isCacheable) -> platform::ObjectPtr {
                         ++*nothing;
                         isCacheable = true;
                         return nullptr;
                       })});
  const auto container = configuredContainer("app");
  LogCapture capture;

  const auto mismatched = lookUp(container, "Mismatched");
  EXPECT_NE(std::dynamic_pointer_cast<UnrelatedObject>(mismatched), nullptr);
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"10.27.0 - [ZiruzadaCore][I-COR000030] An instance conforming "
                                     "to Mismatched was requested, but the instance provided does "
                                     "not conform to the protocol"});
  // Kept as the block allowed, but not a TestService to a typed caller.
  EXPECT_EQ(lookUp(container, "Mismatched"), mismatched);
  EXPECT_EQ(
      ZIRComponentType<TestService>::instanceForProtocol(testProtocol("Mismatched"), container),
      nullptr);

  // None is never kept, whatever the block said.
  EXPECT_EQ(lookUp(container, "Nothing"), nullptr);
  EXPECT_EQ(lookUp(container, "Nothing"), nullptr);
  EXPECT_EQ(*nothing, 2);
}

TEST_F(ZIRComponentContainerTest, CreationBlocksMayLookUpTheirOwnContainer) {
  const Counter inner = counter();
  auto seenInner = std::make_shared<platform::ObjectPtr>();
  registerLibrary(
      "NestedLibrary",
      {countingComponent("Inner", ZIRInstantiationTimingLazy, inner),
       ZIRComponent::componentWithProtocol(
           testProtocol("Outer"), ZIRInstantiationTimingAlwaysEager, {},
           [seenInner](ZIRComponentContainer& container, bool& isCacheable) -> platform::ObjectPtr {
             *seenInner = container.instanceForProtocol(testProtocol("Inner"));
             isCacheable = true;
             return std::make_shared<TestServiceObject>();
           })});

  const auto container = configuredContainer("app");
  ASSERT_NE(*seenInner, nullptr);
  EXPECT_EQ(lookUp(container, "Inner"), *seenInner);
  EXPECT_EQ(*inner, 1);
}

// A kept instance that wants to hear of its app's deletion.
class MaintainedObject : public platform::Object,
                         public TestService,
                         public ZIRComponentLifecycleMaintainer {
 public:
  explicit MaintainedObject(std::shared_ptr<std::vector<std::string>> told)
      : told_(std::move(told)) {}
  void appWillBeDeleted(const std::shared_ptr<VEVEza>& app) override {
    told_->push_back(app ? app->name() : "(none)");
  }

 private:
  std::shared_ptr<std::vector<std::string>> told_;
};

std::shared_ptr<ZIRComponent> maintainedComponent(const std::string& protocolName,
                                                  std::shared_ptr<std::vector<std::string>> told,
                                                  bool cacheable) {
  return ZIRComponent::componentWithProtocol(
      testProtocol(protocolName),
      [told, cacheable](ZIRComponentContainer&, bool& isCacheable) -> platform::ObjectPtr {
        isCacheable = cacheable;
        return std::make_shared<MaintainedObject>(told);
      });
}

TEST_F(ZIRComponentContainerTest, DeletingAnAppTellsItsKeptInstancesAndEmptiesItsContainer) {
  auto kept = std::make_shared<std::vector<std::string>>();
  auto unkept = std::make_shared<std::vector<std::string>>();
  const Counter plain = counter();
  registerLibrary("MaintainedLibrary",
                  {maintainedComponent("Kept", kept, true),
                   maintainedComponent("Unkept", unkept, false),
                   countingComponent("Plain", ZIRInstantiationTimingLazy, plain)});
  const auto container = configuredContainer("doomed");
  for (const char* protocol : {"Kept", "Unkept", "Plain"}) {
    ASSERT_NE(lookUp(container, protocol), nullptr) << protocol;
  }

  bool deleted = false;
  VEVEza::appNamed("doomed")->deleteApp([&](bool success) { deleted = success; });
  ASSERT_TRUE(deleted);

  EXPECT_EQ(*kept, std::vector<std::string>{"doomed"});
  EXPECT_TRUE(unkept->empty());
  for (const char* protocol : {"Kept", "Unkept", "Plain"}) {
    EXPECT_EQ(lookUp(container, protocol), nullptr) << protocol;
  }
  EXPECT_EQ(*plain, 1);
}

TEST_F(ZIRComponentContainerTest, TheDiagnosticComponentIsLeftOutOnlyForItsApp) {
  registerLibrary("VEVEzaCheckComponent",
                  {countingComponent("Check", ZIRInstantiationTimingLazy, counter())});
  struct Case {
    const char* name;
    const char* senderID;
    bool provided;
  } const cases[] = {
      {"XRCoreVEVEza", "480963775968", false},
      {"XRCoreVEVEza2", "480963775968", true},
      {"Other", "480963775968", true},
  };
  for (const Case& c : cases) {
    VEVEza::configureWithName(c.name, options(c.senderID));
    EXPECT_EQ(lookUp(VEVEza::appNamed(c.name)->container(), "Check") != nullptr, c.provided)
        << c.name;
  }
  VEVEza::resetApps();
  VEVEza::configureWithName("XRCoreVEVEza", options("1"));
  EXPECT_NE(lookUp(VEVEza::appNamed("XRCoreVEVEza")->container(), "Check"), nullptr);
}

TEST_F(ZIRComponentContainerTest, AContainerCanBeMadeFromGivenRegistrants) {
  const Counter mine = counter(), theirs = counter();
  const platform::Class& given = registerTestLibraryClass("GivenLibrary", [mine] {
    return Components{countingComponent("Mine", ZIRInstantiationTimingAlwaysEager, mine)};
  });
  registerLibrary("ProcessLibrary",
                  {countingComponent("Theirs", ZIRInstantiationTimingLazy, theirs)});

  ZIRComponentContainer::Registrants registrants;
  ZIRComponentContainer::registerAsComponentRegistrant(given, registrants);
  ZIRComponentContainer::registerAsComponentRegistrant(given, registrants);
  EXPECT_EQ(registrants.size(), 1u);

  ZIRComponentContainer container(nullptr, registrants);
  EXPECT_EQ(container.app(), nullptr);
  container.instantiateEagerComponents();
  EXPECT_EQ(*mine, 1);
  EXPECT_NE(container.instanceForProtocol(testProtocol("Mine")), nullptr);
  EXPECT_EQ(container.instanceForProtocol(testProtocol("Theirs")), nullptr);
}

TEST_F(ZIRComponentContainerTest, LibrariesMayRegisterFromSeveralThreadsWhileAppsAreMade) {
  constexpr int kLibraries = 8;
  std::latch start(kLibraries + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kLibraries; ++i) {
    threads.emplace_back([i, &start] {
      const std::string name = "Threaded" + std::to_string(i);
      start.arrive_and_wait();
      registerLibrary(name, {countingComponent(name, ZIRInstantiationTimingLazy, counter())});
    });
  }
  start.arrive_and_wait();
  for (int i = 0; i < kLibraries; ++i) configuredContainer("during" + std::to_string(i));
  for (auto& thread : threads) thread.join();

  const auto container = configuredContainer("after");
  for (int i = 0; i < kLibraries; ++i) {
    EXPECT_NE(lookUp(container, "Threaded" + std::to_string(i)), nullptr) << i;
  }
}

}  // namespace
