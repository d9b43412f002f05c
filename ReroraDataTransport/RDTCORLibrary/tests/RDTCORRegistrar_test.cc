#include "ReroraDataTransport/RDTCORLibrary/RDTCORRegistrar.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ReroraDataTransport/RDTCORLibrary/RDTCORPlatform.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORLogCapture.h"
#include "ReroraDataTransport/RDTCORLibrary/tests/RDTCORRegistrarTestFakes.h"

namespace {

using transport_testing::FakeMetricsController;
using transport_testing::FakeStorage;
using transport_testing::FakeUploader;
using transport_testing::LifecycleJournal;
using transport_testing::LogCapture;

class RDTCORRegistrarTest : public ::testing::Test {
 protected:
  std::shared_ptr<RDTCORRegistrar> registrar_ = std::make_shared<RDTCORRegistrar>();
};

TEST_F(RDTCORRegistrarTest, ALaterRegistrationForATargetReplacesTheEarlierOne) {
  LogCapture log(RDTCORLoggingLevelDebug);
  const auto first = std::make_shared<FakeUploader>();
  const auto second = std::make_shared<FakeUploader>();
  const auto storage = std::make_shared<FakeStorage>();
  const auto controller = std::make_shared<FakeMetricsController>();
  registrar_->registerUploader(first, 1000);
  registrar_->registerUploader(second, 1000);
  registrar_->registerUploader(first, 1001);
  registrar_->registerStorage(std::make_shared<FakeStorage>(), 1002);
  registrar_->registerStorage(storage, 1002);
  registrar_->registerMetricsController(std::make_shared<FakeMetricsController>(), 1002);
  registrar_->registerMetricsController(controller, 1002);

  const auto uploaders = registrar_->targetToUploader();
  ASSERT_EQ(uploaders.size(), 2u);
  EXPECT_EQ(uploaders.at(1000), second);
  EXPECT_EQ(uploaders.at(1001), first);
  EXPECT_EQ(registrar_->targetToStorage(),
            (std::map<RDTCORTarget, std::shared_ptr<RDTCORStorageProtocol>>{{1002, storage}}));
  EXPECT_EQ(registrar_->targetToMetricsController().at(1002), controller);

  // Registering nothing empties the entry rather than keeping a null one.
  registrar_->registerUploader(nullptr, 1001);
  EXPECT_EQ(registrar_->targetToUploader().count(1001), 0u);

  EXPECT_TRUE(log.contains("[ReroraDataTransport][I-RDTCOR000000] Registered an uploader: "
                           "<transport_testing::FakeUploader: 0x"));
  EXPECT_TRUE(log.contains("for target:1000"));
  EXPECT_TRUE(log.contains("Registered storage: <transport_testing::FakeStorage: 0x"));
  EXPECT_TRUE(
      log.contains("Registered metrics controller: <transport_testing::FakeMetricsController: 0x"));
  EXPECT_TRUE(log.contains("Registered an uploader: (null) for target:1001"));
}

TEST_F(RDTCORRegistrarTest, MapsHandedOutAreSnapshotsThatLaterRegistrationsLeaveAlone) {
  const auto uploader = std::make_shared<FakeUploader>();
  registrar_->registerUploader(uploader, 1000);
  const auto before = registrar_->targetToUploader();
  registrar_->registerUploader(std::make_shared<FakeUploader>(), 1000);
  registrar_->registerUploader(uploader, 1003);
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before.at(1000), uploader);
  EXPECT_EQ(registrar_->targetToUploader().size(), 2u);

  // Readers on other threads copy while registrations run; ThreadSanitizer sees any race.
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        for (const auto& [target, storage] : registrar_->targetToStorage()) {
          EXPECT_NE(storage, nullptr) << target;
        }
      }
    });
  }
  for (RDTCORTarget target = 1; target <= 200; ++target) {
    registrar_->registerStorage(std::make_shared<FakeStorage>(), target);
  }
  EXPECT_EQ(registrar_->targetToStorage().size(), 200u);
  stop = true;
  for (auto& reader : readers) reader.join();
}

// Whichever of store and controller registers second completes the pair, and every run for a
// store overwrites its delegate with its own target's controller or with nothing.
TEST_F(RDTCORRegistrarTest, EachTargetsControllerBecomesItsStoresDelegate) {
  const auto controller = std::make_shared<FakeMetricsController>();
  const auto delegateOf = [](const std::shared_ptr<FakeStorage>& storage) {
    return storage->delegate().get();
  };

  const auto storeFirst = std::make_shared<FakeStorage>();
  registrar_->registerStorage(storeFirst, 1002);
  registrar_->targetToStorage();
  EXPECT_EQ(delegateOf(storeFirst), nullptr);
  registrar_->registerMetricsController(controller, 1002);
  registrar_->targetToStorage();
  EXPECT_EQ(delegateOf(storeFirst), controller.get());

  const auto controllerFirst = std::make_shared<FakeStorage>();
  registrar_->registerMetricsController(controller, 1001);
  registrar_->registerStorage(controllerFirst, 1001);
  registrar_->targetToStorage();
  EXPECT_EQ(delegateOf(controllerFirst), controller.get());

  // One store for several targets: the class-load order (stores, then the controllers of
  // 1002 and 1001) leaves the controller as its delegate; a later run for a target without
  // a controller clears it.
  const auto shared = std::make_shared<FakeStorage>();
  auto registrar = std::make_shared<RDTCORRegistrar>();
  for (RDTCORTarget target = 999; target <= 1003; ++target) {
    registrar->registerStorage(shared, target);
  }
  registrar->registerMetricsController(controller, 1002);
  registrar->registerMetricsController(controller, 1001);
  registrar->targetToStorage();
  EXPECT_EQ(delegateOf(shared), controller.get());
  EXPECT_EQ(shared->delegateSettings(), 7);
  registrar->registerStorage(shared, 1003);
  registrar->targetToStorage();
  EXPECT_EQ(delegateOf(shared), nullptr);
  registrar->setMetricsControllerAsStorageDelegateForTarget(1001);
  EXPECT_EQ(delegateOf(shared), controller.get());
}

TEST_F(RDTCORRegistrarTest, LifecycleReachesEveryUploaderThenEveryStoreOncePerTarget) {
  const auto journal = std::make_shared<LifecycleJournal>();
  const auto uploader = std::make_shared<FakeUploader>();
  uploader->setJournal(journal, "uploader");
  const auto storage = std::make_shared<FakeStorage>();
  storage->setJournal(journal, "storage");
  registrar_->registerStorage(storage, 999);
  registrar_->registerStorage(storage, 1000);
  registrar_->registerUploader(uploader, 1000);
  registrar_->registerUploader(uploader, 1001);
  const RDTCORApplicationPtr application = RDTCORApplication::sharedApplication();

  struct Case {
    void (RDTCORRegistrar::*operation)(const RDTCORApplicationPtr&);
    std::string call;
  } const cases[] = {{&RDTCORRegistrar::appWillBackground, "background"},
                     {&RDTCORRegistrar::appWillForeground, "foreground"},
                     {&RDTCORRegistrar::appWillTerminate, "terminate"}};
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    ((*registrar_).*c.operation)(application);
    for (const char* name : {"uploader", "uploader", "storage", "storage"}) {
      expected.push_back(std::string(name) + " " + c.call);
    }
  }
  EXPECT_EQ(journal->entries(), expected);
}

}  // namespace
