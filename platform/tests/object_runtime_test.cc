#include "platform/object_runtime.h"

#include <any>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

using platform::Class;
using platform::IMP;
using platform::KeyValueChange;
using platform::KeyValueObserver;
using platform::Object;
using platform::ObjectPtr;
using platform::ObjectRuntime;
using platform::Selector;
using testing::HasSubstr;

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

// ---- The dynamic part: methods by selector, run-time classes, attached objects, observation

constexpr Selector<std::string(std::string)> kGreetSelector{"greet:"};
constexpr Selector<int()> kNumberSelector{"number"};

IMP greeting(std::string prefix) {
  return platform::makeImplementation<std::string(Object&, std::string)>(
      [prefix](Object&, std::string name) { return prefix + name; });
}

IMP number(int value) {
  return platform::makeImplementation<int(Object&)>([value](Object&) { return value; });
}

// A plain object given the class for the test.
std::shared_ptr<Object> instanceOf(Class& cls) {
  auto object = std::make_shared<Object>();
  ObjectRuntime::setClass(*object, cls);
  return object;
}

// The exception the block threw, if it threw one.
std::optional<platform::Exception> thrown(const std::function<void()>& block) {
  try {
    block();
  } catch (const platform::Exception& exception) {
    return exception;
  }
  return std::nullopt;
}

std::string addressOf(const void* object) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", object);
  return text;
}

TEST(ObjectRuntimeDynamicTest, ReplacingAnInheritedMethodNeverChangesTheSuperclass) {
  Class& base = ObjectRuntime::registerClass("IsolationBase");
  Class& middle = ObjectRuntime::registerClass("IsolationMiddle", &base);
  Class& leaf = ObjectRuntime::registerClass("IsolationLeaf", &middle);
  const IMP original = greeting("base ");
  ASSERT_TRUE(base.addMethod(kGreetSelector.name, original));
  EXPECT_FALSE(base.addMethod(kGreetSelector.name, greeting("again ")));
  EXPECT_EQ(base.methodImplementation(kGreetSelector.name), original);
  const auto onBase = instanceOf(base);
  const auto onMiddle = instanceOf(middle);
  const auto onLeaf = instanceOf(leaf);
  EXPECT_EQ(ObjectRuntime::send(*onLeaf, kGreetSelector, "Ann"), "base Ann");

  // The middle class only inherits the method: replacing it there adds its own.
  const IMP replacement = greeting("middle ");
  EXPECT_EQ(middle.replaceMethod(kGreetSelector.name, replacement), nullptr);
  EXPECT_EQ(middle.methodNames(), std::vector<std::string>{"greet:"});
  EXPECT_EQ(base.methodImplementation(kGreetSelector.name), original);
  EXPECT_EQ(leaf.methodImplementation(kGreetSelector.name), replacement);
  EXPECT_EQ(ObjectRuntime::send(*onBase, kGreetSelector, "Ann"), "base Ann");
  EXPECT_EQ(ObjectRuntime::send(*onMiddle, kGreetSelector, "Ann"), "middle Ann");
  EXPECT_EQ(ObjectRuntime::send(*onLeaf, kGreetSelector, "Ann"), "middle Ann");

  // Setting the implementation from the leaf changes it where it is defined: the middle.
  const IMP set = greeting("set ");
  EXPECT_EQ(leaf.setMethodImplementation(kGreetSelector.name, set), replacement);
  EXPECT_TRUE(leaf.methodNames().empty());
  EXPECT_EQ(middle.methodImplementation(kGreetSelector.name), set);
  EXPECT_EQ(ObjectRuntime::send(*onBase, kGreetSelector, "Ann"), "base Ann");
  EXPECT_EQ(ObjectRuntime::send(*onLeaf, kGreetSelector, "Ann"), "set Ann");
  // No class has it: nothing is set anywhere.
  EXPECT_EQ(leaf.setMethodImplementation("absent:", set), nullptr);
  EXPECT_FALSE(leaf.instancesRespondToSelector("absent:"));
  EXPECT_FALSE(base.instancesRespondToSelector("absent:"));

  // Class methods behave the same way.
  base.addClassMethod<int()>("count", [] { return 1; });
  const IMP classReplacement = platform::makeImplementation<int()>([] { return 2; });
  EXPECT_EQ(leaf.replaceClassMethod("count", classReplacement), nullptr);
  EXPECT_EQ(base.classMethod<int()>("count")(), 1);
  EXPECT_EQ(middle.classMethod<int()>("count")(), 1);
  EXPECT_EQ(leaf.classMethod<int()>("count")(), 2);
}

TEST(ObjectRuntimeDynamicTest, ReplacedImplementationsAreComparedByIdentityAndRestored) {
  Class& cls = ObjectRuntime::registerClass("RoundTrip");
  const auto object = instanceOf(cls);
  const IMP original = number(1);
  ASSERT_TRUE(cls.addMethod(kNumberSelector.name, original));

  // Two implementations made from one callable are still two.
  const std::function<int(Object&)> block = [](Object&) { return 2; };
  const IMP first = platform::makeImplementation(block);
  const IMP second = platform::makeImplementation(block);
  EXPECT_NE(first, second);

  EXPECT_EQ(cls.replaceMethod(kNumberSelector.name, first), original);
  EXPECT_EQ(cls.methodImplementation(kNumberSelector.name), first);
  EXPECT_NE(cls.methodImplementation(kNumberSelector.name), second);
  EXPECT_EQ(ObjectRuntime::send(*object, kNumberSelector), 2);
  // The implementation handed back still runs, as a replacement calling the original does.
  EXPECT_EQ(ObjectRuntime::call(original, *object, kNumberSelector), 1);

  EXPECT_EQ(cls.replaceMethod(kNumberSelector.name, original), first);
  EXPECT_EQ(cls.methodImplementation(kNumberSelector.name), original);
  EXPECT_EQ(ObjectRuntime::send(*object, kNumberSelector), 1);

  // A method that swaps itself out while it runs: the class drops the last reference to
  // it, yet it finishes with its captures intact.
  cls.replaceMethod(kNumberSelector.name,
                    platform::makeImplementation<int(Object&)>(
                        [&cls, original, tail = std::string(64, 'x')](Object&) {
                          cls.replaceMethod(kNumberSelector.name, original);
                          return static_cast<int>(tail.size());
                        }));
  EXPECT_EQ(ObjectRuntime::send(*object, kNumberSelector), 64);
  EXPECT_EQ(cls.methodImplementation(kNumberSelector.name), original);

  // Class methods round-trip the same way.
  cls.addClassMethod<int()>("count", [] { return 1; });
  const IMP classOriginal = cls.classMethodImplementation("count");
  const IMP classReplacement = platform::makeImplementation<int()>([] { return 5; });
  EXPECT_EQ(cls.replaceClassMethod("count", classReplacement), classOriginal);
  EXPECT_EQ(cls.classMethod<int()>("count")(), 5);
  EXPECT_EQ(cls.replaceClassMethod("count", classOriginal), classReplacement);
  EXPECT_EQ(cls.classMethod<int()>("count")(), 1);
}

TEST(ObjectRuntimeDynamicTest, AReplacementOfAnotherSignatureIsRefused) {
  Class& cls = ObjectRuntime::registerClass("SignatureChecked");
  Class& sub = ObjectRuntime::registerClass("SignatureCheckedSub", &cls);
  const IMP original = number(1);
  cls.addMethod(kNumberSelector.name, original);
  cls.addClassMethod<int()>("count", [] { return 1; });
  const IMP classOriginal = cls.classMethodImplementation("count");
  const IMP wrong = greeting("wrong ");

  const struct {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"replaced", [&] { cls.replaceMethod(kNumberSelector.name, wrong); }},
      {"set", [&] { cls.setMethodImplementation(kNumberSelector.name, wrong); }},
      {"set from a subclass", [&] { sub.setMethodImplementation(kNumberSelector.name, wrong); }},
      {"replaced where only inherited", [&] { sub.replaceMethod(kNumberSelector.name, wrong); }},
      {"class method", [&] { cls.replaceClassMethod("count", wrong); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto exception = thrown(c.change);
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->name(), "NSInvalidArgumentException");
    EXPECT_EQ(cls.methodImplementation(kNumberSelector.name), original);
    EXPECT_EQ(cls.classMethodImplementation("count"), classOriginal);
    EXPECT_TRUE(sub.methodNames().empty());
  }

  // The forwarding implementation stands in for a method of any signature, both ways.
  const IMP forwarding = ObjectRuntime::forwardingImplementation();
  EXPECT_EQ(cls.replaceMethod(kNumberSelector.name, forwarding), original);
  EXPECT_EQ(cls.replaceMethod(kNumberSelector.name, original), forwarding);
  EXPECT_EQ(ObjectRuntime::send(*instanceOf(sub), kNumberSelector), 1);
}

TEST(ObjectRuntimeDynamicTest, MessagesWithoutAMatchingMethodThrow) {
  Class& cls = ObjectRuntime::registerClass("SendErrors");
  cls.addMethod(kNumberSelector.name, number(7));
  const auto object = instanceOf(cls);
  const std::string address = addressOf(object.get());
  const Selector<std::string()> numberAsText{"number"};

  const struct {
    const char* what;
    std::function<void()> send;
    std::string reason;
  } cases[] = {
      {"unknown selector", [&] { ObjectRuntime::send(*object, kGreetSelector, "Ann"); },
       "-[SendErrors greet:]: unrecognized selector sent to instance " + address},
      {"another signature", [&] { ObjectRuntime::send(*object, numberAsText); },
       "-[SendErrors number]: sent with another signature than the method's"},
      {"no implementation", [&] { ObjectRuntime::call(nullptr, *object, kNumberSelector); },
       "-[SendErrors number]: unrecognized selector sent to instance " + address},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto exception = thrown(c.send);
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->name(), "NSInvalidArgumentException");
    EXPECT_EQ(exception->reason(), c.reason);
  }
  EXPECT_EQ(ObjectRuntime::send(*object, kNumberSelector), 7);

  // A method set to the forwarding implementation is not answered, and sending it anyway
  // fails as for a selector the class does not know, whatever signature it is sent with.
  const IMP original =
      cls.replaceMethod(kNumberSelector.name, ObjectRuntime::forwardingImplementation());
  EXPECT_FALSE(ObjectRuntime::respondsToSelector(*object, kNumberSelector.name));
  for (const auto& send :
       std::vector<std::function<void()>>{[&] { ObjectRuntime::send(*object, kNumberSelector); },
                                          [&] { ObjectRuntime::send(*object, numberAsText); }}) {
    const auto exception = thrown(send);
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->name(), "NSInvalidArgumentException");
    EXPECT_THAT(exception->reason(), HasSubstr("unrecognized selector sent to instance"));
  }
  cls.replaceMethod(kNumberSelector.name, original);
}

TEST(ObjectRuntimeDynamicTest, DescriptionsComeFromTheRootClassUnlessOverridden) {
  const auto plain = std::make_shared<Object>();
  EXPECT_EQ(ObjectRuntime::describe(*plain), "<NSObject: " + addressOf(plain.get()) + ">");
  EXPECT_THAT(ObjectRuntime::describe(*plain), testing::MatchesRegex("<NSObject: 0x[0-9a-f]+>"));

  Class& described = ObjectRuntime::registerClass("Described");
  const auto object = instanceOf(described);
  EXPECT_EQ(ObjectRuntime::describe(*object), "<Described: " + addressOf(object.get()) + ">");

  Class& custom = ObjectRuntime::registerClass("CustomDescription", &described);
  custom.addMethod(platform::kDescriptionSelector,
                   std::function<std::string(Object&)>([](Object&) { return "custom"; }));
  ObjectRuntime::setClass(*object, custom);
  EXPECT_EQ(ObjectRuntime::describe(*object), "custom");
  EXPECT_EQ(ObjectRuntime::describe(*instanceOf(described)).rfind("<Described: 0x", 0), 0u);
}

TEST(ObjectRuntimeDynamicTest, ARunTimeSubclassCallsItsSuperclassesImplementation) {
  Class& shape = ObjectRuntime::registerClass("Shape");
  shape.addMethod(kGreetSelector.name, greeting("shape "));

  Class* made = ObjectRuntime::allocateClassPair(&shape, "Shape_Framed");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->superclass(), &shape);
  EXPECT_TRUE(made->isSubclassOfClass(shape));
  EXPECT_EQ(ObjectRuntime::classNamed("Shape_Framed"), nullptr);
  EXPECT_EQ(ObjectRuntime::allocateClassPair(&shape, "Shape"), nullptr);
  made->addMethod(
      kGreetSelector,
      std::function<std::string(Object&, std::string)>([made](Object& self, std::string name) {
        const IMP above = made->superclass()->methodImplementation(kGreetSelector.name);
        return "[" + ObjectRuntime::call(above, self, kGreetSelector, name) + "]";
      }));
  EXPECT_TRUE(ObjectRuntime::registerClassPair(made));
  EXPECT_EQ(ObjectRuntime::classNamed("Shape_Framed"), made);
  EXPECT_FALSE(ObjectRuntime::registerClassPair(made));

  const auto object = std::make_shared<Object>();
  EXPECT_EQ(&ObjectRuntime::setClass(*object, shape), &ObjectRuntime::rootClass());
  EXPECT_EQ(ObjectRuntime::send(*object, kGreetSelector, "Ann"), "shape Ann");
  EXPECT_EQ(&ObjectRuntime::setClass(*object, *made), &shape);
  EXPECT_EQ(&ObjectRuntime::classOf(*object), made);
  EXPECT_EQ(ObjectRuntime::send(*object, kGreetSelector, "Ann"), "[shape Ann]");
  EXPECT_EQ(ObjectRuntime::describe(*object).rfind("<Shape_Framed: 0x", 0), 0u);

  // The superclass's implementation is looked up on each call, so a later change above shows.
  shape.replaceMethod(kGreetSelector.name, greeting("figure "));
  EXPECT_EQ(ObjectRuntime::send(*object, kGreetSelector, "Ann"), "[figure Ann]");
  // Other objects of the superclass are untouched; the object can go back.
  EXPECT_EQ(ObjectRuntime::send(*instanceOf(shape), kGreetSelector, "Ann"), "figure Ann");
  ObjectRuntime::setClass(*object, shape);
  EXPECT_EQ(ObjectRuntime::send(*object, kGreetSelector, "Ann"), "figure Ann");
}

TEST(ObjectRuntimeDynamicTest, AllocatedClassesAreRegisteredOnceOrDisposed) {
  Class* first = ObjectRuntime::allocateClassPair(nullptr, "Pending");
  Class* second = ObjectRuntime::allocateClassPair(nullptr, "Pending");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->superclass(), &ObjectRuntime::rootClass());
  EXPECT_TRUE(ObjectRuntime::registerClassPair(first));
  // The name was taken meanwhile.
  EXPECT_FALSE(ObjectRuntime::registerClassPair(second));
  EXPECT_EQ(ObjectRuntime::classNamed("Pending"), first);
  ObjectRuntime::disposeClassPair(second);

  Class* disposed = ObjectRuntime::allocateClassPair(nullptr, "Disposed");
  ASSERT_NE(disposed, nullptr);
  disposed->addMethod(kNumberSelector.name, number(1));
  ObjectRuntime::disposeClassPair(disposed);
  EXPECT_EQ(ObjectRuntime::classNamed("Disposed"), nullptr);
  Class* again = ObjectRuntime::allocateClassPair(nullptr, "Disposed");
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(again->instancesRespondToSelector(kNumberSelector.name));
  ObjectRuntime::disposeClassPair(again);
  // Disposing a registered class leaves it in place.
  ObjectRuntime::disposeClassPair(first);
  EXPECT_EQ(ObjectRuntime::classNamed("Pending"), first);
}

class Animal : public Object {};
class Dog : public Animal {};
class Puppy : public Dog {};
class Newborn : public Puppy {};
class Cat : public Animal {};
class GreetingDog : public Dog, public Greeter {
 public:
  std::string greet() const override { return "woof"; }
};

TEST(ObjectRuntimeDynamicTest, AnUnregisteredTypeGetsTheClassOfItsNearestRegisteredBase) {
  const auto puppy = std::make_shared<Puppy>();
  const auto cat = std::make_shared<Cat>();
  const auto greetingDog = std::make_shared<GreetingDog>();
  EXPECT_EQ(&ObjectRuntime::classOf(*puppy), &ObjectRuntime::rootClass());

  Class& animal = ObjectRuntime::registerClass<Animal>("Animal");
  animal.addMethod(kGreetSelector.name, greeting("animal "));
  EXPECT_EQ(&ObjectRuntime::classOf(*puppy), &animal);
  EXPECT_EQ(&ObjectRuntime::classOf(*cat), &animal);
  EXPECT_EQ(ObjectRuntime::send(*puppy, kGreetSelector, "Rex"), "animal Rex");

  // A registration in between wins for the types below it, also for those already looked up.
  Class& dog = ObjectRuntime::registerClass<Dog>("Dog", &animal);
  const Dog plainDog;
  const Object plainObject;
  const struct {
    const char* what;
    const Object& object;
    Class& expected;
  } cases[] = {
      {"registered type", plainDog, dog},
      {"derived type", *puppy, dog},
      {"derived through several bases", *greetingDog, dog},
      {"sibling type", *cat, animal},
      {"root", plainObject, ObjectRuntime::rootClass()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(&ObjectRuntime::classOf(c.object), &c.expected);
  }
  dog.addMethod(kGreetSelector.name, greeting("dog "));
  EXPECT_EQ(ObjectRuntime::send(*puppy, kGreetSelector, "Rex"), "dog Rex");

  // A changed class takes precedence for that object only.
  Class& special = ObjectRuntime::registerClass("SpecialPuppy", &dog);
  EXPECT_EQ(&ObjectRuntime::setClass(*puppy, special), &dog);
  EXPECT_EQ(&ObjectRuntime::classOf(*puppy), &special);
  EXPECT_EQ(&ObjectRuntime::classOf(Puppy()), &dog);
  // A copy is a new object, of its type's class.
  const Puppy copy(*puppy);
  EXPECT_EQ(&ObjectRuntime::classOf(copy), &dog);

  // With a third level registered, the deepest of the three is the one found.
  const Newborn newborn;
  EXPECT_EQ(&ObjectRuntime::classOf(newborn), &dog);
  Class& puppyClass = ObjectRuntime::registerClass<Puppy>("Puppy", &dog);
  EXPECT_EQ(&ObjectRuntime::classOf(newborn), &puppyClass);
  EXPECT_EQ(&ObjectRuntime::classOf(*greetingDog), &dog);
  EXPECT_EQ(&ObjectRuntime::classOf(*puppy), &special);
}

TEST(ObjectRuntimeDynamicTest, TheNearestBaseFollowsTheTypesEvenWhenTheClassesDoNot) {
  // Both classes sit right under the root, so only the C++ types say that Dog is the nearer.
  Class& animal = ObjectRuntime::registerClass<Animal>("FlatAnimal");
  Class& dog = ObjectRuntime::registerClass<Dog>("FlatDog");
  ASSERT_FALSE(dog.isSubclassOfClass(animal));
  EXPECT_EQ(&ObjectRuntime::classOf(Newborn()), &dog);
  EXPECT_EQ(&ObjectRuntime::classOf(GreetingDog()), &dog);
  EXPECT_EQ(&ObjectRuntime::classOf(Cat()), &animal);
}

// A shared_ptr whose release the test can watch.
struct Watched {
  std::shared_ptr<int> value;
  std::weak_ptr<int> watch;
  explicit Watched(int v) : value(std::make_shared<int>(v)), watch(value) {}
};

TEST(ObjectRuntimeDynamicTest, AssociatedObjectsAreReplacedRemovedAndReleasedWithTheObject) {
  static const char kFirstKey = 0;
  static const char kSecondKey = 0;
  auto object = std::make_shared<Object>();
  EXPECT_FALSE(ObjectRuntime::associatedObject(*object, &kFirstKey).has_value());

  Watched first(1);
  ObjectRuntime::setAssociatedObject(*object, &kFirstKey, std::move(first.value));
  ObjectRuntime::setAssociatedObject(*object, &kSecondKey, std::string("label"));
  EXPECT_EQ(
      *std::any_cast<std::shared_ptr<int>>(ObjectRuntime::associatedObject(*object, &kFirstKey)),
      1);
  EXPECT_EQ(std::any_cast<std::string>(ObjectRuntime::associatedObject(*object, &kSecondKey)),
            "label");

  // Replacing releases the value replaced.
  Watched second(2);
  ObjectRuntime::setAssociatedObject(*object, &kFirstKey, std::move(second.value));
  EXPECT_TRUE(first.watch.expired());
  EXPECT_EQ(
      *std::any_cast<std::shared_ptr<int>>(ObjectRuntime::associatedObject(*object, &kFirstKey)),
      2);

  // An empty value removes the entry and releases it; the other key keeps its value.
  ObjectRuntime::setAssociatedObject(*object, &kFirstKey, std::any());
  EXPECT_TRUE(second.watch.expired());
  EXPECT_FALSE(ObjectRuntime::associatedObject(*object, &kFirstKey).has_value());
  ObjectRuntime::setAssociatedObject(*object, &kFirstKey, std::any());
  EXPECT_EQ(std::any_cast<std::string>(ObjectRuntime::associatedObject(*object, &kSecondKey)),
            "label");

  // A copy of the object carries none of it; the rest goes with the object.
  Watched third(3);
  ObjectRuntime::setAssociatedObject(*object, &kFirstKey, std::move(third.value));
  {
    const Object copy(*object);
    EXPECT_FALSE(ObjectRuntime::associatedObject(copy, &kFirstKey).has_value());
  }
  EXPECT_FALSE(third.watch.expired());
  object.reset();
  EXPECT_TRUE(third.watch.expired());
}

// An object with one observable object-valued key, "item".
class Model : public Object {
 public:
  void setItem(ObjectPtr item) {
    ObjectPtr old = std::exchange(item_, std::move(item));
    didChangeValueForKey("item", old, item_);
  }

 private:
  ObjectPtr item_;
};

class RecordingObserver : public KeyValueObserver {
 public:
  struct Seen {
    std::string keyPath;
    const Object* object;
    KeyValueChange change;
    void* context;
  };

  void observeValueForKeyPath(std::string_view keyPath, Object& object,
                              const KeyValueChange& change, void* context) override {
    seen.push_back({std::string(keyPath), &object, change, context});
    if (onChange) onChange(object, context);
  }

  std::vector<Seen> seen;
  std::function<void(Object&, void*)> onChange;
};

TEST(ObjectRuntimeObservationTest, OptionsChooseWhatAChangeCarries) {
  const struct {
    unsigned options;
    bool hasOld;
    bool hasNew;
  } cases[] = {
      {0, false, false},
      {platform::kKeyValueObservingOptionNew, false, true},
      {platform::kKeyValueObservingOptionOld, true, false},
      {platform::kKeyValueObservingOptionOld | platform::kKeyValueObservingOptionNew, true, true},
  };
  Model model;
  const auto first = std::make_shared<Object>();
  const auto second = std::make_shared<Object>();
  model.setItem(first);  // not observed yet
  std::vector<std::shared_ptr<RecordingObserver>> observers;
  std::vector<int> contexts(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    observers.push_back(std::make_shared<RecordingObserver>());
    model.addObserver(observers.back(), "item", cases[i].options, &contexts[i]);
  }
  const auto elsewhere = std::make_shared<RecordingObserver>();
  model.addObserver(elsewhere, "other", platform::kKeyValueObservingOptionNew, nullptr);

  model.setItem(second);
  model.setItem(nullptr);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].options);
    const auto& seen = observers[i]->seen;
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& change : seen) {
      EXPECT_EQ(change.keyPath, "item");
      EXPECT_EQ(change.object, &model);
      EXPECT_EQ(change.context, &contexts[i]);
      EXPECT_EQ(change.change.oldValue.has_value(), cases[i].hasOld);
      EXPECT_EQ(change.change.newValue.has_value(), cases[i].hasNew);
    }
    if (cases[i].hasOld) {
      EXPECT_EQ(*seen[0].change.oldValue, first);
      EXPECT_EQ(*seen[1].change.oldValue, second);
    }
    if (cases[i].hasNew) {
      EXPECT_EQ(*seen[0].change.newValue, second);
      // Present, and empty: the key now holds nothing.
      EXPECT_EQ(*seen[1].change.newValue, nullptr);
    }
    model.removeObserver(observers[i].get(), "item", &contexts[i]);
  }
  EXPECT_TRUE(elsewhere->seen.empty());
  model.removeObserver(elsewhere.get(), "other", nullptr);
}

TEST(ObjectRuntimeObservationTest, ObserversAreHeldWeakly) {
  Model model;
  auto gone = std::make_shared<RecordingObserver>();
  const std::weak_ptr<RecordingObserver> watch = gone;
  const auto staying = std::make_shared<RecordingObserver>();
  model.addObserver(gone, "item", platform::kKeyValueObservingOptionNew, nullptr);
  model.addObserver(staying, "item", platform::kKeyValueObservingOptionNew, nullptr);
  gone.reset();
  EXPECT_TRUE(watch.expired());
  model.setItem(std::make_shared<Object>());
  model.setItem(nullptr);
  EXPECT_EQ(staying->seen.size(), 2u);
  model.removeObserver(staying.get(), "item", nullptr);
}

TEST(ObjectRuntimeObservationTest, EachRegistrationIsToldAndRemovedOnItsOwn) {
  Model model;
  const auto observer = std::make_shared<RecordingObserver>();
  int context = 0;
  model.addObserver(observer, "item", 0, &context);
  model.addObserver(observer, "item", 0, &context);
  model.setItem(nullptr);
  EXPECT_EQ(observer->seen.size(), 2u);
  model.removeObserver(observer.get(), "item", &context);
  model.setItem(nullptr);
  EXPECT_EQ(observer->seen.size(), 3u);
  model.removeObserver(observer.get(), "item", &context);
  model.setItem(nullptr);
  EXPECT_EQ(observer->seen.size(), 3u);

  // Removing a registration that does not exist: one too many, another key, another
  // context, an observer never added.
  model.addObserver(observer, "item", 0, &context);
  const RecordingObserver stranger;
  int otherContext = 0;
  const struct {
    const char* what;
    const KeyValueObserver* observer;
    const char* keyPath;
    void* context;
  } cases[] = {
      {"another key", observer.get(), "other", &context},
      {"another context", observer.get(), "item", &otherContext},
      {"unknown observer", &stranger, "item", &context},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto exception = thrown([&] { model.removeObserver(c.observer, c.keyPath, c.context); });
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->name(), "NSRangeException");
    EXPECT_THAT(exception->reason(), HasSubstr("because it is not registered as an observer"));
  }
  model.removeObserver(observer.get(), "item", &context);
  const auto exception = thrown([&] { model.removeObserver(observer.get(), "item", &context); });
  ASSERT_TRUE(exception);
  EXPECT_EQ(exception->name(), "NSRangeException");
}

TEST(ObjectRuntimeObservationTest, AnObserverMayRemoveItselfWhileBeingTold) {
  Model model;
  const auto leaving = std::make_shared<RecordingObserver>();
  const auto staying = std::make_shared<RecordingObserver>();
  int context = 0;
  leaving->onChange = [&](Object& object, void* ctx) {
    object.removeObserver(leaving.get(), "item", ctx);
  };
  model.addObserver(leaving, "item", 0, &context);
  model.addObserver(staying, "item", 0, &context);
  model.setItem(nullptr);
  model.setItem(nullptr);
  EXPECT_EQ(leaving->seen.size(), 1u);
  EXPECT_EQ(staying->seen.size(), 2u);
  model.removeObserver(staying.get(), "item", &context);
}

TEST(ObjectRuntimeDynamicTest, SendsStaySoundWhileImplementationsAreReplaced) {
  Class& cls = ObjectRuntime::registerClass<Animal>("Animal");
  Class& sub = ObjectRuntime::registerClass("ConcurrentSub", &cls);
  cls.addMethod(kNumberSelector.name, number(1));
  // One receiver found through its C++ type, one through a changed class.
  const auto typed = std::make_shared<Cat>();
  const auto changed = instanceOf(sub);

  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&, i] {
      Object& receiver = i % 2 ? *typed : *changed;
      bool counted = false;
      while (!stop) {
        const int result = ObjectRuntime::send(receiver, kNumberSelector);
        if (result < 1 || result > 2) ++unexpected;
        if (!counted) {
          counted = true;
          ++started;
        }
      }
    });
  }
  while (started < static_cast<int>(senders.size())) std::this_thread::yield();

  // Each replacement is a fresh implementation whose only other owner is the class, so a
  // send that did not keep the one it runs alive would read freed captures.
  for (int i = 0; i < 2000; ++i) {
    const std::string payload(i % 2 + 1, 'x');
    const IMP fresh = platform::makeImplementation<int(Object&)>(
        [payload](Object&) { return static_cast<int>(payload.size()); });
    if (i % 3 == 0) {
      sub.replaceMethod(kNumberSelector.name, fresh);
    } else {
      cls.setMethodImplementation(kNumberSelector.name, fresh);
    }
  }
  stop = true;
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(unexpected, 0);
  // The last replacement, made on the superclass, is what the typed receiver runs.
  EXPECT_EQ(ObjectRuntime::send(*typed, kNumberSelector), 2);
}

}  // namespace
