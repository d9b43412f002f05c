#include "foundation/ZULMutableDictionary.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/value.h"

namespace {

using platform::Value;

TEST(ZULMutableDictionaryTest, ReadsSeeTheWritesIssuedBeforeThemOnTheSameThread) {
  ZULMutableDictionary<std::string, Value> dictionary;
  dictionary.setObject(Value(1), "a");
  EXPECT_EQ(dictionary.count(), 1u);
  EXPECT_EQ(dictionary.objectForKey("a"), Value(1));

  dictionary.setObject(Value("two"), "a");
  dictionary.setObjectForKeyedSubscript(Value(2), "b");
  EXPECT_EQ(dictionary.objectForKeyedSubscript("a"), Value("two"));
  EXPECT_EQ(dictionary.objectForKey("b"), Value(2));
  EXPECT_EQ(dictionary.count(), 2u);

  dictionary.removeObjectForKey("a");
  EXPECT_FALSE(dictionary.objectForKey("a").has_value());
  dictionary.setObjectForKeyedSubscript(std::nullopt, "b");
  EXPECT_FALSE(dictionary.objectForKeyedSubscript("b").has_value());
  EXPECT_EQ(dictionary.count(), 0u);
}

TEST(ZULMutableDictionaryTest, AConditionalRemovalSparesWhatWasSetSince) {
  ZULMutableDictionary<std::string, std::shared_ptr<int>> objects;
  const auto first = std::make_shared<int>(1);
  const auto second = std::make_shared<int>(1);  // equal value, another object
  objects.setObject(first, "id");
  objects.setObject(second, "id");
  objects.removeObjectForKeyIfIdentical("id", first);
  EXPECT_EQ(objects.objectForKey("id"), second);
  objects.removeObjectForKeyIfIdentical("id", second);
  EXPECT_EQ(objects.count(), 0u);
}

TEST(ZULMutableDictionaryTest, ACopyKeepsTheContentsOfItsMoment) {
  ZULMutableDictionary<std::string, Value> dictionary;
  dictionary.setObject(Value(1), "a");
  dictionary.setObject(Value(2), "b");
  const auto snapshot = dictionary.dictionary();
  dictionary.removeAllObjects();
  dictionary.setObject(Value(3), "c");

  const std::map<std::string, Value, std::less<>> expected = {{"a", Value(1)}, {"b", Value(2)}};
  EXPECT_EQ(snapshot, expected);
  EXPECT_EQ(dictionary.count(), 1u);
}

TEST(ZULMutableDictionaryTest, DescribesItsContentsInKeyOrder) {
  ZULMutableDictionary<std::string, Value> values;
  values.setObject(Value("x y"), "b");
  values.setObject(Value(platform::Array{Value(1)}), "a");
  EXPECT_EQ(
      values.description(),
      Value(platform::Dictionary{{"a", Value(platform::Array{Value(1)})}, {"b", Value("x y")}})
          .description());

  struct Described {
    std::string description() const { return "described"; }
  };
  ZULMutableDictionary<int, std::shared_ptr<Described>> objects;
  objects.setObject(std::make_shared<Described>(), 7);
  EXPECT_EQ(objects.description(),
            Value(platform::Dictionary{{"7", Value("described")}}).description());
}

// The underlying table cannot hold a null, and a queued write can no longer tell its caller.
TEST(ZULMutableDictionaryTest, NullKeysAndObjectsAreIgnored) {
  ZULMutableDictionary<std::string, std::shared_ptr<int>> objects;
  objects.setObject(std::make_shared<int>(1), "a");
  objects.setObject(nullptr, "a");
  objects.setObject(nullptr, "b");
  ASSERT_NE(objects.objectForKey("a"), nullptr);
  EXPECT_EQ(*objects.objectForKey("a"), 1);
  EXPECT_EQ(objects.objectForKey("b"), nullptr);
  EXPECT_EQ(objects.count(), 1u);
  // Through the subscript a null object removes the key, as it does everywhere.
  objects.setObjectForKeyedSubscript(nullptr, "a");
  EXPECT_EQ(objects.count(), 0u);

  ZULMutableDictionary<std::shared_ptr<const int>, std::function<void()>> blocks;
  const auto key = std::make_shared<const int>(1);
  blocks.setObject([] {}, key);
  blocks.setObject([] {}, nullptr);
  blocks.setObjectForKeyedSubscript([] {}, nullptr);
  blocks.setObject(nullptr, key);
  blocks.removeObjectForKey(nullptr);
  EXPECT_EQ(blocks.objectForKey(nullptr), nullptr);
  EXPECT_TRUE(static_cast<bool>(blocks.objectForKey(key)));
  EXPECT_EQ(blocks.count(), 1u);
}

TEST(ZULMutableDictionaryTest, ManyThreadsWriteAndReadAtOnce) {
  ZULMutableDictionary<std::string, Value> dictionary;
  constexpr int kThreads = 8;
  constexpr int kKeysPerThread = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&dictionary, t] {
      for (int i = 0; i < kKeysPerThread; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        dictionary.setObject(Value(i), key);
        // Each thread's own write is visible to its next read.
        EXPECT_EQ(dictionary.objectForKey(key), Value(i));
        dictionary.dictionary();
        if (i % 2) dictionary.removeObjectForKey(key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dictionary.count(), std::uint64_t{kThreads * kKeysPerThread / 2});
}

TEST(ZULMutableDictionaryTest, WritesStillQueuedWhenTheDictionaryGoesAreHarmless) {
  auto counter = std::make_shared<int>(0);
  {
    ZULMutableDictionary<int, std::shared_ptr<int>> dictionary;
    for (int i = 0; i < 1000; ++i) dictionary.setObject(counter, i);
  }
  // Every queued write has run or been dropped with the table once the queue lets go.
  for (int attempt = 0; attempt < 1000 && counter.use_count() > 1; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(counter.use_count(), 1);
}

}  // namespace
