#include "foundation/ZULSwizzler.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/object_runtime.h"

namespace {

using platform::Class;
using platform::IMP;
using platform::Object;
using platform::ObjectPtr;
using platform::ObjectRuntime;

constexpr platform::Selector<std::string()> kGreeting{"greeting"};

struct Base : Object {
  std::string name = "base object";
};
struct Middle : Base {};
struct Leaf : Middle {};

// Records assertion failures instead of throwing, for the life of the object.
class RecordingAssertions {
 public:
  RecordingAssertions() {
    previous_ = platform::AssertionHandler::setHandler(
        [this](const platform::AssertionHandler::Failure& failure) {
          descriptions.push_back(failure.description);
        });
  }
  ~RecordingAssertions() { platform::AssertionHandler::setHandler(std::move(previous_)); }

  std::vector<std::string> descriptions;

 private:
  platform::AssertionHandler::Handler previous_;
};

// Three classes in a line, the top one with a "greeting" instance method and a "count"
// class method.
class ZULSwizzlerTest : public ::testing::Test {
 protected:
  ZULSwizzlerTest()
      : base_(ObjectRuntime::registerClass<Base>("SWZBase")),
        middle_(ObjectRuntime::registerClass<Middle>("SWZMiddle", &base_)),
        leaf_(ObjectRuntime::registerClass<Leaf>("SWZLeaf", &middle_)) {
    base_.addMethod(kGreeting,
                    std::function<std::string(Object&)>([](Object&) { return "hello"; }));
    base_.addClassMethod<int()>("count", [] { return 1; });
  }

  static std::string greet(Object& object) { return ObjectRuntime::send(object, kGreeting); }

  Class& base_;
  Class& middle_;
  Class& leaf_;
};

TEST_F(ZULSwizzlerTest, ReplacingAnInheritedMethodChangesTheClassAndItsSubclassesOnly) {
  const IMP original = ZULSwizzler::currentImplementationForClass(&base_, "greeting", false);
  ASSERT_TRUE(original);
  EXPECT_EQ(ZULSwizzler::currentImplementationForClass(&middle_, "greeting", false), original);

  const IMP replacement = platform::makeImplementation(std::function<std::string(Object&)>(
      [](Object& self) { return "swizzled " + dynamic_cast<Base&>(self).name; }));
  ZULSwizzler::swizzleClass(&middle_, "greeting", false, replacement);

  Base base;
  Middle middle;
  Leaf leaf;
  EXPECT_EQ(greet(base), "hello");
  EXPECT_EQ(greet(middle), "swizzled base object");
  EXPECT_EQ(greet(leaf), "swizzled base object");
  EXPECT_EQ(ZULSwizzler::currentImplementationForClass(&base_, "greeting", false), original);
  EXPECT_EQ(ZULSwizzler::currentImplementationForClass(&middle_, "greeting", false), replacement);
  EXPECT_EQ(ZULSwizzler::currentImplementationForClass(&leaf_, "greeting", false), replacement);
}

TEST_F(ZULSwizzlerTest, ClassMethodsAreReplacedAndFoundOnlyWithTheFlag) {
  const IMP replacement = platform::makeImplementation(std::function<int()>([] { return 2; }));
  ZULSwizzler::swizzleClass(&middle_, "count", true, replacement);
  EXPECT_EQ(middle_.classMethod<int()>("count")(), 2);
  EXPECT_EQ(leaf_.classMethod<int()>("count")(), 2);
  EXPECT_EQ(base_.classMethod<int()>("count")(), 1);
  EXPECT_EQ(ZULSwizzler::currentImplementationForClass(&leaf_, "count", true), replacement);

  struct Case {
    const char* selector;
    const Class* cls;
    bool isClassSelector;
    bool exists;
  };
  const Case cases[] = {
      {"greeting", &leaf_, false, true},   {"greeting", &leaf_, true, false},
      {"count", &leaf_, true, true},       {"count", &base_, false, false},
      {"missing", &base_, false, false},   {nullptr, &base_, false, false},
      {"greeting", nullptr, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZULSwizzler::selectorExistsInClass(c.selector, c.cls, c.isClassSelector), c.exists)
        << (c.selector ? c.selector : "NULL") << " " << (c.cls ? c.cls->name() : "Nil") << " "
        << c.isClassSelector;
  }
}

TEST_F(ZULSwizzlerTest, RefusalsGoToTheAssertionHandlerAndChangeNothing) {
  // A declared method without implementation hides the inherited one.
  middle_.addMethod("hollow", nullptr);
  base_.addMethod("hollow", platform::makeImplementation(
                                std::function<std::string(Object&)>([](Object&) { return ""; })));
  const IMP replacement = platform::makeImplementation(
      std::function<std::string(Object&)>([](Object&) { return "swizzled"; }));

  struct Case {
    const char* label;
    std::function<void()> call;
    std::string description;
  };
  const Case cases[] = {
      {"swizzle NULL selector",
       [&] { ZULSwizzler::swizzleClass(&middle_, nullptr, false, replacement); },
       "The selector cannot be NULL"},
      {"swizzle Nil class",
       [&] { ZULSwizzler::swizzleClass(nullptr, "greeting", false, replacement); },
       "The class cannot be Nil"},
      {"swizzle missing method",
       [&] { ZULSwizzler::swizzleClass(&middle_, "missing", false, replacement); },
       "You're attempting to swizzle a method that doesn't exist. (SWZMiddle, missing)"},
      {"swizzle instance method as class method",
       [&] { ZULSwizzler::swizzleClass(&middle_, "greeting", true, replacement); },
       "You're attempting to swizzle a method that doesn't exist. (SWZMiddle, greeting)"},
      {"look up NULL selector",
       [&] { EXPECT_FALSE(ZULSwizzler::currentImplementationForClass(&middle_, nullptr, false)); },
       "The selector cannot be NULL"},
      {"look up Nil class",
       [&] {
         EXPECT_FALSE(ZULSwizzler::currentImplementationForClass(nullptr, "greeting", false));
       },
       "The class cannot be Nil"},
      {"look up missing method",
       [&] { EXPECT_FALSE(ZULSwizzler::currentImplementationForClass(&leaf_, "missing", true)); },
       "The Method for this class/selector combo doesn't exist (SWZLeaf, missing)."},
      {"look up method without implementation",
       [&] { EXPECT_FALSE(ZULSwizzler::currentImplementationForClass(&leaf_, "hollow", false)); },
       "The IMP for this class/selector combo doesn't exist (SWZLeaf, hollow)."},
  };
  for (const Case& c : cases) {
    RecordingAssertions assertions;
    c.call();
    EXPECT_EQ(assertions.descriptions, std::vector<std::string>{c.description}) << c.label;
  }
  Middle middle;
  EXPECT_EQ(greet(middle), "hello");
  EXPECT_FALSE(middle_.respondsToSelector("greeting"));

  // The default handler throws; the queue is free again afterwards.
  EXPECT_THROW(ZULSwizzler::swizzleClass(&middle_, "missing", false, replacement),
               platform::Exception);
  ZULSwizzler::swizzleClass(&middle_, "greeting", false, replacement);
  EXPECT_EQ(greet(middle), "swizzled");
}

TEST_F(ZULSwizzlerTest, AnImplementationOfAnotherSignatureIsRefusedByTheRuntime) {
  const IMP wrong =
      platform::makeImplementation(std::function<int(Object&)>([](Object&) { return 7; }));
  try {
    ZULSwizzler::swizzleClass(&middle_, "greeting", false, wrong);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& exception) {
    EXPECT_EQ(exception.name(), "NSInvalidArgumentException");
  }
  Middle middle;
  EXPECT_EQ(greet(middle), "hello");
}

struct Holder : Object {
  ObjectPtr first;
  ObjectPtr empty;
  int number = 3;
  ObjectPtr second;
  ObjectPtr inherited;
};
struct HolderChild : Holder {};

TEST(ZULSwizzlerIvarTest, ListsTheOwnClassesNonNullObjectFieldsInOrder) {
  Class& holderClass = ObjectRuntime::registerClass<Holder>("SWZHolder");
  Class& childClass = ObjectRuntime::registerClass<HolderChild>("SWZHolderChild", &holderClass);
  const auto field = [](ObjectPtr Holder::*member) {
    return [member](const Object& o) { return dynamic_cast<const Holder&>(o).*member; };
  };
  holderClass.addIvar({"inherited", "@", field(&Holder::inherited)});
  childClass.addIvar({"first", "@", field(&Holder::first)});
  childClass.addIvar({"empty", "@", field(&Holder::empty)});
  childClass.addIvar({"number", "i", {}});
  childClass.addIvar({"second", "@\"Holder\"", field(&Holder::second)});

  HolderChild object;
  object.first = std::make_shared<Object>();
  object.second = std::make_shared<Object>();
  object.inherited = std::make_shared<Object>();
  EXPECT_EQ(ZULSwizzler::ivarObjectsForObject(object),
            (std::vector<ObjectPtr>{object.first, object.second}));
  EXPECT_TRUE(ZULSwizzler::ivarObjectsForObject(Object()).empty());
}

}  // namespace
