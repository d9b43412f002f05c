#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/HeartbeatStorage.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/user_defaults.h"
#include "tests/support/temp_home.h"

namespace ZiruzadaCoreInternal {
namespace {

using platform::Data;

constexpr const char* kAppID = "1:123:ios:abc";

std::filesystem::path heartbeatFile() {
  return platform::applicationSupportDirectory() / "rerora-heartbeat-storage" /
         "heartbeats-1_123_ios_abc";
}

// What a transform was handed.
struct Seen {
  bool called = false;
  std::optional<HeartbeatsBundle> stored;
};

HeartbeatsBundleTransform recordingAndReturning(Seen& seen,
                                                std::optional<HeartbeatsBundle> replacement) {
  return [&seen, replacement](std::optional<HeartbeatsBundle> stored) {
    seen = {true, std::move(stored)};
    return replacement;
  };
}

HeartbeatsBundle bundleWithCapacity(std::int64_t capacity) { return HeartbeatsBundle(capacity); }

class HeartbeatStorageTest : public testing_support::TemporaryHomeTest {};

TEST_F(HeartbeatStorageTest, OneFileAndOneQueuePerID) {
  auto storage = HeartbeatStorage::instance(kAppID);
  EXPECT_EQ(FileStorage::fileURL(kAppID), heartbeatFile());
  EXPECT_EQ(storage->queue()->label(), "com.heartbeat.storage.1:123:ios:abc");
  std::string labelInTransform;
  storage->updateSync([&](std::optional<HeartbeatsBundle> stored) {
    labelInTransform = platform::Queue::currentLabel();
    return stored;
  });
  EXPECT_EQ(labelInTransform, "com.heartbeat.storage.1:123:ios:abc");
  // The folder is made on the first write; nothing stored leaves an empty file.
  EXPECT_TRUE(platform::fileExists(heartbeatFile()));
  EXPECT_EQ(platform::fileSize(heartbeatFile()), 0u);
}

TEST_F(HeartbeatStorageTest, TheCacheHoldsStoragesOnlyWhileTheyLive) {
  auto first = HeartbeatStorage::instance(kAppID);
  EXPECT_EQ(HeartbeatStorage::instance(kAppID), first);
  EXPECT_NE(HeartbeatStorage::instance("1:999:ios:abc"), first);

  first->updateSync([](auto) { return bundleWithCapacity(7); });
  std::weak_ptr<HeartbeatStorage> dead = first;
  first.reset();
  EXPECT_TRUE(dead.expired());
  // A new storage over the same file.
  Seen seen;
  HeartbeatStorage::instance(kAppID)->updateSync(recordingAndReturning(seen, std::nullopt));
  ASSERT_TRUE(seen.stored.has_value());
  EXPECT_EQ(seen.stored->capacity(), 7);
}

// The cache is shared by every thread that asks for a storage or lets one die.
TEST_F(HeartbeatStorageTest, TheCacheIsSafeAcrossThreads) {
  auto kept = HeartbeatStorage::instance(kAppID);
  std::atomic<int> mismatches = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (HeartbeatStorage::instance(kAppID) != kept) ++mismatches;
        // Made and dropped at once: the destruction path races the look-ups.
        auto passing = HeartbeatStorage::instance("passing:" + std::to_string((t + i) % 3));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

TEST_F(HeartbeatStorageTest, WhatTheTransformIsHandedAndWhatIsSaved) {
  auto storage = HeartbeatStorage::instance(kAppID);
  ASSERT_TRUE(platform::createDirectory(heartbeatFile().parent_path(), true));

  struct Case {
    const char* name;
    std::optional<Data> file;  // none: no file
    bool handedABundle;
  } cases[] = {
      {"no file", std::nullopt, false},
      {"an empty file", Data(), false},
      {"a file that is not JSON", Data::fromString("{\"capacity\":"), false},
      {"JSON that is no bundle", Data::fromString("{\"capacity\":3}"), false},
      {"a bundle", *bundleWithCapacity(3).encoded(), true},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(heartbeatFile());
    if (c.file) {
      ASSERT_TRUE(platform::writeFileAtomically(heartbeatFile(), *c.file));
    }
    Seen seen;
    storage->updateSync(recordingAndReturning(seen, bundleWithCapacity(5)));
    EXPECT_TRUE(seen.called) << c.name;
    EXPECT_EQ(seen.stored.has_value(), c.handedABundle) << c.name;
    // Whatever was there is replaced by the transform's result.
    EXPECT_EQ(HeartbeatsBundle::decode(*platform::readFile(heartbeatFile())), bundleWithCapacity(5))
        << c.name;
  }
}

TEST_F(HeartbeatStorageTest, UpdatesRunInOrderAndSwapsReturnTheStoredBundle) {
  auto storage = HeartbeatStorage::instance(kAppID);
  // Each update counts one up in the capacity.
  for (int i = 0; i < 20; ++i) {
    storage->updateAsync([](std::optional<HeartbeatsBundle> stored) {
      return bundleWithCapacity(stored ? stored->capacity() + 1 : 1);
    });
  }
  // Queued updates still run after the last owner lets go.
  storage.reset();
  auto swapped = HeartbeatStorage::instance(kAppID)->swapSync([](auto) { return std::nullopt; });
  EXPECT_FALSE(swapped.failure);
  ASSERT_TRUE(swapped.previous.has_value());
  EXPECT_EQ(swapped.previous->capacity(), 20);
  EXPECT_EQ(platform::fileSize(heartbeatFile()), 0u);
}

TEST_F(HeartbeatStorageTest, OnlySwapsReportFailedSaves) {
  auto storage = HeartbeatStorage::instance(kAppID);
  storage->updateSync([](auto) { return bundleWithCapacity(4); });
  // A file where the folder should be makes every write fail.
  const auto folder = heartbeatFile().parent_path();
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(platform::writeFileAtomically(folder, Data::fromString("in the way")));

  Seen seen;
  storage->updateSync(recordingAndReturning(seen, bundleWithCapacity(6)));
  EXPECT_TRUE(seen.called);
  EXPECT_FALSE(seen.stored.has_value());

  auto swapped = storage->swapSync([](auto) { return bundleWithCapacity(8); });
  EXPECT_EQ(swapped.failure, HeartbeatsSwapResult::Failure::writeError);
  EXPECT_FALSE(swapped.previous.has_value());
}

// Twice as many worker tasks as workers may run at once wait in line for the storage while an
// update holds it, and each gets its turn. Every wait is bounded, so that a pool with no thread
// left to hand the storage on fails instead of hanging.
TEST_F(HeartbeatStorageTest, SyncUpdatesFromManyWorkerTasksAtOnceAllRun) {
  constexpr int kTasks = 128;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const auto secondsLeft = [&] {
    return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
  };
  const auto countSignals = [&](platform::Semaphore& semaphore) {
    int signals = 0;
    while (signals < kTasks && semaphore.wait(secondsLeft())) ++signals;
    return signals;
  };
  auto storage = HeartbeatStorage::instance(kAppID);
  platform::Semaphore gate;
  storage->updateAsync([gate](std::optional<HeartbeatsBundle> stored) mutable {
    gate.wait();
    return stored;
  });
  platform::Semaphore started;
  platform::Semaphore finished;
  for (int i = 0; i < kTasks; ++i) {
    platform::Queue::global()->async([storage, started, finished]() mutable {
      started.signal();
      storage->updateSync([](std::optional<HeartbeatsBundle> stored) {
        return bundleWithCapacity(stored ? stored->capacity() + 1 : 1);
      });
      finished.signal();
    });
  }
  EXPECT_EQ(countSignals(started), kTasks);
  gate.signal();
  ASSERT_EQ(countSignals(finished), kTasks);
  EXPECT_EQ(HeartbeatsBundle::decode(*platform::readFile(heartbeatFile()))->capacity(), kTasks);
}

TEST_F(HeartbeatStorageTest, UserDefaultsStorageKeepsDataUnderItsKey) {
  auto defaults = platform::UserDefaults::suite("heartbeat-storage-test");
  UserDefaultsStorage bytes(defaults, "heartbeats");
  EXPECT_EQ(bytes.readData(), std::nullopt);
  EXPECT_TRUE(bytes.writeData(Data::fromString("abc")));
  EXPECT_EQ(bytes.readData(), Data::fromString("abc"));
  defaults->setString("heartbeats", "not data");
  EXPECT_EQ(bytes.readData(), std::nullopt);

  auto storage = std::make_shared<HeartbeatStorage>(
      "defaults", std::make_unique<UserDefaultsStorage>(defaults, "heartbeats"));
  storage->updateSync([](auto) { return bundleWithCapacity(2); });
  EXPECT_EQ(HeartbeatsBundle::decode(*defaults->dataForKey("heartbeats")), bundleWithCapacity(2));
  // Saving nothing removes the key; the next load is none, not an error.
  storage->updateSync([](auto) { return std::nullopt; });
  EXPECT_FALSE(defaults->objectForKey("heartbeats").has_value());
  Seen seen;
  storage->updateSync(recordingAndReturning(seen, std::nullopt));
  EXPECT_TRUE(seen.called);
  EXPECT_FALSE(seen.stored.has_value());
}

}  // namespace
}  // namespace ZiruzadaCoreInternal
