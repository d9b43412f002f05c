// The shared store fixes its folders and joins the shared registrar and coordinator once per
// process, so each case here runs in a fresh process with its own home.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORFlatFileStorage.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORTestSupport.h"
#include "platform/files.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using testing::Contains;
using testing::Not;
using transport_testing::BytesObject;
using transport_testing::FakeUploader;
using Upload = FakeUploader::Upload;

// Makes the transport's reachability say "reachable": the platform's own first report of the
// routes lands before, so that only a real change of routes could replace these flags.
void makeNetworkReachable() {
  const auto reachability = RDTCORReachability::sharedInstance();
  const auto routes = [](const char* file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  if (platform::NetworkReachabilityFlagsForHost("0.0.0.0", routes("/proc/net/route"),
                                                routes("/proc/net/ipv6_route")) != 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reachability->callbackFlags() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  reachability->setFlags(platform::kNetworkReachabilityFlagsReachable);
  reachability->setCallbackFlags(platform::kNetworkReachabilityFlagsReachable);
}

class RDTCORFlatFileStorageSharedTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    RDTCOREvent::load();
    RDTCORApplication::load();
  }
  // The coordinator's timer never fires on a clock that stands still, so every upload seen
  // here was forced.
  testing_support::ManualClockScope clock_;
};

TEST_F(RDTCORFlatFileStorageSharedTest, LoadRegistersTheSharedStoreUnderCaches) {
  RDTCORFlatFileStorage::load();
  RDTCORFlatFileStorage::load();
  const auto storage = RDTCORFlatFileStorage::sharedInstance();
  const auto registered = RDTCORRegistrar::sharedInstance()->targetToStorage();
  ASSERT_EQ(registered.size(), 5u);
  for (RDTCORTarget target = 999; target <= 1003; ++target) {
    EXPECT_EQ(registered.at(target), storage) << target;
  }
  EXPECT_EQ(RDTCORRegisteredStorage(1000), storage);
  EXPECT_EQ(storage->uploadCoordinator(), RDTCORUploadCoordinator::sharedInstance());
  EXPECT_EQ(storage->storageQueue()->label(), "com.rerora.RDTCORFlatFileStorage");

  const fs::path folder =
      platform::cachesDirectory() / "rerora-sdks-events" / "RDTCORFlatFileStorage";
  EXPECT_EQ(RDTCORFlatFileStorage::eventDataStoragePath(), (folder / "rdt_event_data").string());
  EXPECT_EQ(RDTCORFlatFileStorage::batchDataStoragePath(), (folder / "rdt_batch_data").string());
  EXPECT_EQ(RDTCORFlatFileStorage::libraryDataStoragePath(),
            (folder / "rdt_library_data").string());
  EXPECT_EQ(RDTCORFlatFileStorage::batchPathForTarget(
                1000, 3, platform::Date::fromTimeIntervalSince1970(1'700'000'600)),
            (folder / "rdt_batch_data" / "1000-3-1700000600").string());
  // Made again when asked for after they went.
  fs::remove_all(folder);
  RDTCORFlatFileStorage::eventDataStoragePath();
  EXPECT_TRUE(fs::is_directory(folder / "rdt_event_data"));

  auto event = RDTCOREvent::initWithMappingID("ab c/1-x", 1001);
  event->setDataObject(std::make_shared<BytesObject>());
  const std::string path = RDTCORFlatFileStorage::pathForTarget(
      1001, event->eventID(), 3, event->expirationDate(), event->mappingID());
  bool written = false;
  storage->storeEvent(event, [&](bool ok, const platform::ErrorPtr&) { written = ok; });
  storage->storageQueue()->sync([] {});
  EXPECT_TRUE(written);
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_TRUE(path.ends_with("-ab%20c%2F1-x"));
}

TEST_F(RDTCORFlatFileStorageSharedTest, AStoredTierFourEventForcesAnUploadOfItsTarget) {
  makeNetworkReachable();
  RDTCORFlatFileStorage::load();
  const auto uploader = std::make_shared<FakeUploader>();
  for (RDTCORTarget target : {1000, 1001}) {
    RDTCORRegistrar::sharedInstance()->registerUploader(uploader, target);
  }
  const auto storage = RDTCORFlatFileStorage::sharedInstance();
  const auto send = [&](RDTCOREventQoS tier, RDTCORTarget target) {
    auto event = RDTCOREvent::initWithMappingID("1249", target);
    event->setDataObject(std::make_shared<BytesObject>());
    event->setQosTier(tier);
    storage->storeEvent(event, nullptr);
    storage->storageQueue()->sync([] {});
    RDTCORUploadCoordinator::sharedInstance()->coordinationQueue()->sync([] {});
    // The forced pass is queued once more by the coordinator before it reaches uploaders.
    RDTCORUploadCoordinator::sharedInstance()->coordinationQueue()->sync([] {});
  };

  send(RDTCOREventQoSDefault, 1001);
  send(RDTCOREventQoSWifiOnly, 1001);
  EXPECT_TRUE(uploader->uploads().empty());
  send(RDTCOREventQoSFast, 1000);
  EXPECT_THAT(uploader->uploads(), testing::ElementsAre(Upload{1000, 20}));
}

// Nothing else in this process makes the event's classes known: the store must do it itself,
// or it could neither write nor read an event.
TEST(RDTCORFlatFileStorageLoadTest, AStoreKeepsEventsWithoutAnyoneElseLoadingTheirClasses) {
  testing_support::TemporaryHome home;
  auto event = RDTCOREvent::initWithMappingID("1249", 1000);
  event->setDataObject(std::make_shared<BytesObject>());
  ASSERT_FALSE(RDTCORArchiveToPath(event, {})) << "the classes are known already";

  const auto storage = std::make_shared<RDTCORFlatFileStorage>(home.path() / "root", nullptr);
  bool written = false;
  storage->storeEvent(event, [&](bool ok, const platform::ErrorPtr&) { written = ok; });
  std::optional<RDTCOREventSet> events;
  storage->batchWithEventSelector(
      RDTCORStorageEventSelector::eventSelectorForTarget(1000),
      platform::Date::fromTimeIntervalSince1970(1'900'000'000),
      [&](std::optional<std::int64_t>, std::optional<RDTCOREventSet> taken) { events = taken; });
  storage->storageQueue()->sync([] {});
  EXPECT_TRUE(written);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_TRUE((*events)[0]->isEqual(*event));
}

}  // namespace
