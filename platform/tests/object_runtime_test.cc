#include "platform/object_runtime.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::Class;
using platform::ObjectRuntime;

class Greeter {
 public:
  virtual ~Greeter() = default;
  virtual std::string greet() const = 0;
};

class Counter {
 public:
  virtual ~Counter() = default;
};

class EnglishGreeter : public platform::Object, public Greeter {
 public:
  std::string greet() const override { return "hello"; }
};

TEST(ObjectRuntimeTest, ClassesAreFoundByNameOnceRegistered) {
  EXPECT_EQ(ObjectRuntime::classNamed("RuntimeTestClass"), nullptr);
  Class& registered = ObjectRuntime::registerClass("RuntimeTestClass");
  EXPECT_EQ(registered.name(), "RuntimeTestClass");
  EXPECT_EQ(ObjectRuntime::classNamed("RuntimeTestClass"), &registered);
  // Registering again hands back the same class, with what was added to it.
  registered.addProtocol("Library");
  EXPECT_EQ(&ObjectRuntime::registerClass("RuntimeTestClass"), &registered);
  EXPECT_TRUE(ObjectRuntime::classNamed("RuntimeTestClass")->conformsToProtocol("Library"));
  EXPECT_FALSE(registered.conformsToProtocol("Other"));
  EXPECT_EQ(ObjectRuntime::classNamed("runtimetestclass"), nullptr);
}

TEST(ObjectRuntimeTest, ClassMethodsAreLookedUpBySelectorAndSignature) {
  Class& cls = ObjectRuntime::registerClass("RuntimeMethods");
  EXPECT_FALSE(cls.respondsToSelector("add:to:"));
  EXPECT_FALSE(cls.classMethod<int(int, int)>("add:to:"));

  cls.addClassMethod<int(int, int)>("add:to:", [](int a, int b) { return a + b; });
  EXPECT_TRUE(cls.respondsToSelector("add:to:"));
  const auto add = cls.classMethod<int(int, int)>("add:to:");
  ASSERT_TRUE(add);
  EXPECT_EQ(add(2, 3), 5);
  // Asked for with another signature, the method is not handed out.
  EXPECT_FALSE(cls.classMethod<int(int)>("add:to:"));
  EXPECT_FALSE(cls.classMethod<void(int, int)>("add:to:"));

  // A later addition under the same selector replaces the first.
  cls.addClassMethod<int(int, int)>("add:to:", [](int a, int b) { return a * b; });
  EXPECT_EQ(cls.classMethod<int(int, int)>("add:to:")(2, 3), 6);
}

TEST(ObjectRuntimeTest, ProtocolsTellWhichInterfacesAnObjectImplements) {
  const auto greeter = platform::Protocol::of<Greeter>("Greeter");
  const auto counter = platform::Protocol::of<Counter>("Counter");
  const platform::ObjectPtr object = std::make_shared<EnglishGreeter>();
  EXPECT_EQ(greeter.name(), "Greeter");
  EXPECT_TRUE(greeter.isConformedBy(*object));
  EXPECT_FALSE(counter.isConformedBy(*object));
  EXPECT_TRUE(greeter == platform::Protocol::of<Counter>("Greeter"));
  EXPECT_FALSE(greeter == counter);
}

std::atomic<int> firstRuns{0};
std::atomic<int> secondRuns{0};
std::vector<std::string> order;
void firstHook() {
  ++firstRuns;
  order.push_back("first");
  ObjectRuntime::registerClass("LoadedByFirstHook");
}
void secondHook() {
  ++secondRuns;
  order.push_back("second");
}

TEST(ObjectRuntimeTest, EachLoadHookRunsOnceInListOrder) {
  static constexpr ObjectRuntime::LoadHook kList[] = {&firstHook, &secondHook};
  ObjectRuntime::runLoadHooks(kList);
  EXPECT_NE(ObjectRuntime::classNamed("LoadedByFirstHook"), nullptr);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));

  // Running the list again, or a list that repeats a hook, runs nothing twice.
  static constexpr ObjectRuntime::LoadHook kRepeated[] = {&secondHook, &firstHook, &secondHook};
  ObjectRuntime::runLoadHooks(kList);
  ObjectRuntime::runLoadHooks(kRepeated);
  EXPECT_EQ(firstRuns, 1);
  EXPECT_EQ(secondRuns, 1);
}

std::atomic<bool> slowHookDone{false};
void slowHook() {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  slowHookDone = true;
}

TEST(ObjectRuntimeTest, ConcurrentStartUpsReturnOnlyAfterTheHooksRan) {
  static constexpr ObjectRuntime::LoadHook kList[] = {&slowHook};
  std::atomic<int> sawDone{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      ObjectRuntime::runLoadHooks(kList);
      if (slowHookDone) ++sawDone;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sawDone, 4);
}

}  // namespace
