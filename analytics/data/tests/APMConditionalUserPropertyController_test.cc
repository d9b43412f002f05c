// The conditional user property controller over a real database and worker queue: request
// checks, activation at once and by a trigger event (also by the public name of an internal
// one), the order of the events written for one event, updates of an active property,
// removal and clearing, the query with its time-out and on the worker queue itself, the
// rollback of a failed sweep, and damaged rows that must not block it.

#include "analytics/data/APMConditionalUserPropertyController.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/APMDataServices.h"
#include "analytics/data/APMDatabase.h"
#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/dispatch.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::ErrorPtr;
using platform::Value;
using Controller = APMConditionalUserPropertyController;

constexpr double kStart = 1'700'000'000;

// The engine as the controller meets it: a real serial worker queue and database, and a
// write pipeline that hands each event to the controller first, then records it and the
// events it triggered, as the engine's own does.
class FakeEngine final : public APMMeasurementEngine {
 public:
  FakeEngine(std::shared_ptr<APMDatabase> database, std::shared_ptr<Controller> controller)
      : database_(std::move(database)), controller_(std::move(controller)),
        queue_(platform::Queue::serial("test.cup.worker")) {}

  bool isEnabled() const override {
    std::lock_guard lock(mutex_);
    return enabled_;
  }
  std::shared_ptr<APMIdentity> identity() const override { return nullptr; }
  std::shared_ptr<APMDatabase> database() const override { return database_; }

  void scheduleOnWorkerQueueBlockID(const std::string& blockID,
                                    std::function<void()> block) override {
    std::lock_guard lock(mutex_);
    blockIDs_.push_back(blockID);
    if (holdBlocks_) {
      held_.push_back(std::move(block));
    } else {
      queue_->async(std::move(block));
    }
  }

  platform::QueuePtr workerQueue() const override { return queue_; }

  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) override {
    auto triggered = controller_->processEventOnWorkerQueue(event);
    record(event);
    for (const auto& t : triggered.value_or(Controller::Events{}))
      writeFilteredEventOnWorkerQueue(t);
  }
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) override {
    record(event);
  }

  void setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
  }
  void setHoldBlocks(bool hold) {
    std::lock_guard lock(mutex_);
    holdBlocks_ = hold;
  }
  std::vector<std::function<void()>> takeHeldBlocks() {
    std::lock_guard lock(mutex_);
    return std::move(held_);
  }

  // Runs the work on the worker queue and waits for everything queued before it.
  void runOnWorker(std::function<void()> work) {
    queue_->async(std::move(work));
    drain();
  }
  void drain() {
    platform::Semaphore done;
    queue_->async([&done] { done.signal(); });
    done.wait();
  }

  std::vector<std::string> blockIDs() const {
    std::lock_guard lock(mutex_);
    return blockIDs_;
  }
  std::vector<std::shared_ptr<APMEvent>> written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }
  std::vector<std::string> writtenNames() const {
    std::vector<std::string> names;
    for (const auto& event : written()) names.push_back(event->name());
    return names;
  }

 private:
  void record(const std::shared_ptr<APMEvent>& event) {
    std::lock_guard lock(mutex_);
    written_.push_back(event);
  }

  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<Controller> controller_;
  platform::QueuePtr queue_;
  mutable std::mutex mutex_;
  bool enabled_ = true;
  bool holdBlocks_ = false;
  std::vector<std::string> blockIDs_;
  std::vector<std::function<void()>> held_;
  std::vector<std::shared_ptr<APMEvent>> written_;
};

std::shared_ptr<APMEvent> handedOver(const std::string& name) {
  return APMEvent::initWithOrigin("app", false, name, 1, 0, {{"k", Value("v")}});
}

APMConditionalUserProperty request(const std::string& triggerEventName = "",
                                   double triggerTimeout = 60, double timeToLive = 3600) {
  APMConditionalUserProperty p;
  p.origin = "frc";
  p.value = APMValue::initWithInt64(5);
  p.triggerEventName = triggerEventName;
  p.triggerTimeout = triggerTimeout;
  p.timeToLive = timeToLive;
  return p;
}

class APMConditionalUserPropertyControllerTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ErrorPtr error;
    database_ = APMDatabase::initWithDatabaseName("cup-test.sql", nullptr, &error);
    ASSERT_TRUE(database_) << (error ? error->description() : "");
    engine_ = std::make_shared<FakeEngine>(database_, controller_);
    APMMeasurementSetSharedInstance(engine_);
  }
  void TearDown() override {
    if (engine_) engine_->drain();
    APMMeasurementSetSharedInstance(nullptr);
  }

  void set(const APMConditionalUserProperty& p, const std::string& name) {
    controller_->setConditionalUserProperty(&p, name);
    engine_->drain();
  }
  void logEvent(const std::string& name) {
    auto event = APMEvent::initWithOrigin("app", false, name,
                                          clock_.clock().now().timeIntervalSince1970(), 0, {});
    ASSERT_TRUE(event);
    engine_->runOnWorker([this, event] { engine_->writeEventOnWorkerQueue(event); });
  }
  void execute(const std::string& sql) {
    ASSERT_TRUE(analytics_test::executedSQL(database_->sqliteStore()->sqliteHandle(), sql));
  }

  APMConditionalUserPropertyPtr stored(const std::string& name) {
    ErrorPtr error;
    auto p = database_->conditionalUserPropertyWithName(name, &error);
    EXPECT_FALSE(error) << error->description();
    return p;
  }
  std::shared_ptr<const APMUserAttribute> attribute(const std::string& name) {
    ErrorPtr error;
    auto a = database_->userAttributeWithName(name, &error);
    EXPECT_FALSE(error) << error->description();
    return a;
  }
  bool logged(std::int64_t code) const {
    for (const auto& line : monitor_->lines()) {
      if (line.messageCode == code) return true;
    }
    return false;
  }

  testing_support::ManualClockScope clock_{platform::Date::fromTimeIntervalSince1970(kStart)};
  analytics_test::ScopedMonitor monitor_;
  std::shared_ptr<Controller> controller_ = std::make_shared<Controller>();
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<FakeEngine> engine_;
};

TEST_F(APMConditionalUserPropertyControllerTest, IntervalBoundsDecideWhetherARequestIsScheduled) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double triggerTimeout;
    double timeToLive;
    std::int64_t expectedCode;  // 0: accepted
  };
  const Case cases[] = {
      {0.001, 0.001, 0}, {15552000, 15552000, 0}, {0, 60, 11000}, {15552000.001, 60, 11000},
      {-1, 60, 11000},   {nan, 60, 11000},        {60, 0, 11001}, {60, 15552001, 11001},
      {60, nan, 11001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.triggerTimeout << " / " << c.timeToLive);
    analytics_test::ScopedMonitor monitor;
    const auto before = engine_->blockIDs().size();
    set(request("go", c.triggerTimeout, c.timeToLive), "bounded");
    const bool scheduled = engine_->blockIDs().size() > before;
    EXPECT_EQ(scheduled, c.expectedCode == 0);
    if (c.expectedCode != 0) {
      ASSERT_FALSE(monitor->lines().empty());
      EXPECT_EQ(monitor->lines().back().messageCode, c.expectedCode);
      EXPECT_EQ(monitor->lines().back().level, 2);
    }
  }
}

TEST_F(APMConditionalUserPropertyControllerTest, InvalidRequestsAreNotScheduled) {
  APMConditionalUserProperty badOrigin = request();
  badOrigin.origin = "";
  APMConditionalUserProperty badValue = request();
  badValue.value = APMValue::initWithString(Value(std::string(500, 'x')));

  controller_->setConditionalUserProperty(nullptr, "name");
  EXPECT_TRUE(logged(11002));
  const APMConditionalUserProperty valid = request();
  controller_->setConditionalUserProperty(&valid, std::nullopt);
  controller_->setConditionalUserProperty(&valid, "");
  controller_->setConditionalUserProperty(&badOrigin, "name");
  controller_->setConditionalUserProperty(&badValue, "name");
  controller_->clearConditionalUserPropertyWithClearEvent(nullptr, std::nullopt);
  controller_->clearConditionalUserPropertyWithClearEvent(nullptr, "");
  engine_->drain();
  EXPECT_TRUE(engine_->blockIDs().empty());
}

TEST_F(APMConditionalUserPropertyControllerTest, APropertyWithoutTriggerIsActiveAtOnce) {
  APMConditionalUserProperty p = request();
  p.name = "ignored";  // the name given with the request wins
  p.triggeredEvent = handedOver("cup_on");
  set(p, "level");

  EXPECT_EQ(engine_->blockIDs(),
            std::vector<std::string>{"APMConditionalUserPropertyController:88"});
  auto row = stored("level");
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->isActive());
  EXPECT_EQ(row->creationTimestamp, kStart);
  EXPECT_EQ(row->triggeredTimestamp, kStart);
  EXPECT_FALSE(stored("ignored"));

  auto a = attribute("level");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->lastSetTimestamp(), kStart);
  EXPECT_EQ(a->value()->int64Value(), 5);
  EXPECT_EQ(a->origin(), "frc");

  const auto written = engine_->written();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]->name(), "cup_on");
  EXPECT_EQ(written[0]->origin(), "frc");
  EXPECT_EQ(written[0]->timestamp(), kStart);
  EXPECT_EQ(written[0]->previousTimestamp(), 0);
  EXPECT_EQ(written[0]->parameters()["k"].description(), "v");
  EXPECT_TRUE(logged(11012));
  EXPECT_TRUE(logged(11013));
}

TEST_F(APMConditionalUserPropertyControllerTest,
       OneEventWritesTimedOutThenExpiredThenItselfThenTriggered) {
  APMConditionalUserProperty waitsInVain = request("never", 10);
  waitsInVain.timedOutEvent = handedOver("cup_timed_out");
  set(waitsInVain, "in_vain");

  APMConditionalUserProperty shortLived = request("", 60, 10);
  shortLived.expiredEvent = handedOver("cup_expired");
  set(shortLived, "short_lived");

  APMConditionalUserProperty waitsForGo = request("go", 100);
  waitsForGo.triggeredEvent = handedOver("cup_triggered");
  set(waitsForGo, "waits");
  ASSERT_TRUE(engine_->written().empty());
  ASSERT_TRUE(stored("waits") && !stored("waits")->isActive());
  EXPECT_FALSE(attribute("waits"));

  clock_.advance(20);
  logEvent("go");

  EXPECT_EQ(engine_->writtenNames(),
            (std::vector<std::string>{"cup_timed_out", "cup_expired", "go", "cup_triggered"}));
  for (const auto& event : engine_->written()) {
    EXPECT_EQ(event->timestamp(), kStart + 20) << event->name();
  }
  EXPECT_FALSE(stored("in_vain"));
  EXPECT_FALSE(stored("short_lived"));
  EXPECT_FALSE(attribute("short_lived"));
  auto triggered = stored("waits");
  ASSERT_TRUE(triggered);
  EXPECT_TRUE(triggered->isActive());
  EXPECT_EQ(triggered->triggeredTimestamp, kStart + 20);
  ASSERT_TRUE(attribute("waits"));
  EXPECT_EQ(attribute("waits")->lastSetTimestamp(), kStart + 20);

  // Nothing is left to sweep or trigger.
  logEvent("go");
  EXPECT_EQ(engine_->writtenNames().size(), 5u);
}

TEST_F(APMConditionalUserPropertyControllerTest,
       APublicEventTriggersPropertiesWaitingForItsInternalName) {
  set(request("_ai"), "ads");
  logEvent("ad_impression");
  ASSERT_TRUE(stored("ads"));
  EXPECT_TRUE(stored("ads")->isActive());

  // Events not in the public mapping look only for their own name.
  set(request("_vs"), "screens");
  logEvent("screen_view");
  ASSERT_TRUE(stored("screens"));
  EXPECT_FALSE(stored("screens")->isActive());
}

TEST_F(APMConditionalUserPropertyControllerTest, UpdatingAnActivePropertyKeepsHowItBecameActive) {
  APMConditionalUserProperty first = request("go", 100);
  set(first, "level");
  clock_.advance(5);
  logEvent("go");
  ASSERT_TRUE(stored("level")->isActive());

  clock_.advance(5);
  APMConditionalUserProperty second = request("other", 200, 7200);
  second.origin = "other_origin";
  second.value = APMValue::initWithInt64(9);
  set(second, "level");

  EXPECT_TRUE(logged(11010));
  auto row = stored("level");
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->isActive());
  EXPECT_EQ(row->creationTimestamp, kStart);
  EXPECT_EQ(row->triggeredTimestamp, kStart + 5);
  EXPECT_EQ(row->triggerEventName, "go");
  EXPECT_EQ(row->triggerTimeout, 100);
  EXPECT_EQ(row->origin, "frc");
  EXPECT_EQ(row->timeToLive, 7200);
  EXPECT_EQ(row->value->int64Value(), 9);
  // Without the active flag on the request the user property itself stays as it was.
  EXPECT_EQ(attribute("level")->value()->int64Value(), 5);

  APMConditionalUserProperty third = second;
  third.active = true;
  third.value = APMValue::initWithInt64(11);
  set(third, "level");
  EXPECT_EQ(attribute("level")->value()->int64Value(), 11);
  EXPECT_EQ(stored("level")->triggeredTimestamp, kStart + 5);
}

TEST_F(APMConditionalUserPropertyControllerTest, RemovalDeletesThePropertyAndLogsTheClearEvent) {
  for (const bool viaClear : {false, true}) {
    SCOPED_TRACE(viaClear ? "clear" : "set without value");
    set(request(), "gone");
    ASSERT_TRUE(attribute("gone"));
    const auto writtenBefore = engine_->written().size();
    clock_.advance(3);

    if (viaClear) {
      controller_->clearConditionalUserPropertyWithClearEvent(handedOver("cup_cleared"), "gone");
      engine_->drain();
      EXPECT_EQ(engine_->blockIDs().back(), "APMConditionalUserPropertyController:113");
    } else {
      APMConditionalUserProperty removal = request();
      removal.value = nullptr;
      removal.origin = "someone_else";
      removal.expiredEvent = handedOver("cup_cleared");
      set(removal, "gone");
    }

    EXPECT_FALSE(stored("gone"));
    EXPECT_FALSE(attribute("gone"));
    const auto written = engine_->written();
    ASSERT_EQ(written.size(), writtenBefore + 1);
    EXPECT_EQ(written.back()->name(), "cup_cleared");
    EXPECT_EQ(written.back()->origin(), "frc");  // the stored property's origin
    EXPECT_EQ(written.back()->timestamp(), clock_.clock().now().timeIntervalSince1970());
  }
}

TEST_F(APMConditionalUserPropertyControllerTest, RemovingAnUnknownNameChangesNothing) {
  set(request("go"), "kept");
  controller_->clearConditionalUserPropertyWithClearEvent(handedOver("cup_cleared"), "unknown");
  engine_->drain();
  EXPECT_TRUE(logged(11018));
  EXPECT_TRUE(stored("kept"));
  EXPECT_TRUE(engine_->written().empty());
}

TEST_F(APMConditionalUserPropertyControllerTest, AFailedSweepRollsTheWholeEventBack) {
  APMConditionalUserProperty waitsInVain = request("never", 10);
  waitsInVain.timedOutEvent = handedOver("cup_timed_out");
  set(waitsInVain, "in_vain");
  APMConditionalUserProperty shortLived = request("", 60, 10);
  shortLived.expiredEvent = handedOver("cup_expired");
  set(shortLived, "short_lived");
  set(request("go", 100), "waits");
  execute("CREATE TRIGGER refuse BEFORE DELETE ON user_attributes "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END;");

  clock_.advance(20);
  std::optional<Controller::Events> triggered = Controller::Events{};
  auto go = APMEvent::initWithOrigin("app", false, "go", kStart + 20, 0, {});
  engine_->runOnWorker([&] { triggered = controller_->processEventOnWorkerQueue(go); });

  EXPECT_FALSE(triggered);
  EXPECT_TRUE(logged(10006));
  EXPECT_TRUE(engine_->written().empty());
  EXPECT_TRUE(stored("in_vain"));
  EXPECT_TRUE(stored("short_lived"));
  EXPECT_TRUE(attribute("short_lived"));
  ASSERT_TRUE(stored("waits"));
  EXPECT_FALSE(stored("waits")->isActive());
  EXPECT_FALSE(attribute("waits"));
}

TEST_F(APMConditionalUserPropertyControllerTest, DamagedRowsDoNotStopTheSweepsOrTheTriggers) {
  APMConditionalUserProperty waitsInVain = request("never", 10);
  waitsInVain.timedOutEvent = handedOver("cup_timed_out");
  APMConditionalUserProperty shortLived = request("", 60, 10);
  shortLived.expiredEvent = handedOver("cup_expired");
  APMConditionalUserProperty waitsForGo = request("go", 100);
  waitsForGo.triggeredEvent = handedOver("cup_triggered");
  // Each query of the sweep meets a damaged row beside the good one.
  for (const char* prefix : {"", "damaged_"}) {
    set(waitsInVain, std::string(prefix) + "in_vain");
    set(shortLived, std::string(prefix) + "short_lived");
    set(waitsForGo, std::string(prefix) + "waits");
  }
  const auto writtenBefore = engine_->written().size();
  execute("UPDATE conditional_properties SET triggered_event = x'ffffff' "
          "WHERE name LIKE 'damaged!_%' ESCAPE '!'");

  clock_.advance(20);
  logEvent("go");

  const auto names = engine_->writtenNames();
  EXPECT_EQ(std::vector<std::string>(names.begin() + writtenBefore, names.end()),
            (std::vector<std::string>{"cup_timed_out", "cup_expired", "go", "cup_triggered"}));
  EXPECT_FALSE(stored("in_vain"));
  EXPECT_FALSE(stored("short_lived"));
  ASSERT_TRUE(stored("waits"));
  EXPECT_TRUE(stored("waits")->isActive());
  EXPECT_TRUE(attribute("waits"));
  int deleted = 0;
  for (const auto& line : monitor_->lines()) deleted += line.messageCode == 12072;
  EXPECT_EQ(deleted, 3);
  EXPECT_EQ(database_->sqliteStore()
                ->numberForQuery("SELECT count(1) FROM conditional_properties", {}, nullptr)
                .value_or(Value(-1)),
            Value(1));
}

TEST_F(APMConditionalUserPropertyControllerTest, ADamagedRowDoesNotHoldItsNameForGood) {
  struct Case {
    const char* what;
    std::function<void()> request;
    bool storedAfter;
  };
  const Case cases[] = {
      {"set", [&] { set(request("go"), "level"); }, true},
      {"clear",
       [&] {
         controller_->clearConditionalUserPropertyWithClearEvent(handedOver("cup_cleared"),
                                                                 "level");
         engine_->drain();
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set(request("go"), "level");
    execute("UPDATE conditional_properties SET value = x'00' WHERE name = 'level'");
    analytics_test::ScopedMonitor monitor;
    c.request();
    std::vector<std::int64_t> codes;
    for (const auto& line : monitor->lines()) codes.push_back(line.messageCode);
    EXPECT_NE(std::find(codes.begin(), codes.end(), 12072), codes.end());
    for (const std::int64_t failure : {11009, 11017}) {
      EXPECT_EQ(std::find(codes.begin(), codes.end(), failure), codes.end()) << failure;
    }
    const auto row = stored("level");
    EXPECT_EQ(static_cast<bool>(row), c.storedAfter);
    if (row) {
      EXPECT_EQ(row->value->int64Value(), 5);
    }
  }
}

TEST_F(APMConditionalUserPropertyControllerTest,
       AClearWhoseUserPropertyCannotGoKeepsThePropertyAndItsEvent) {
  set(request(), "kept");
  execute("CREATE TRIGGER refuse BEFORE DELETE ON user_attributes "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  controller_->clearConditionalUserPropertyWithClearEvent(handedOver("cup_cleared"), "kept");
  engine_->drain();

  EXPECT_TRUE(logged(11020));
  // The row was deleted before the user property failed: the rollback brings it back.
  ASSERT_TRUE(stored("kept"));
  EXPECT_TRUE(stored("kept")->isActive());
  EXPECT_TRUE(attribute("kept"));
  EXPECT_TRUE(engine_->written().empty());
}

TEST_F(APMConditionalUserPropertyControllerTest, UnreadableStoreEndsEachRequestWithoutChanges) {
  set(request(), "active");
  execute("DROP TABLE conditional_properties");

  struct Case {
    const char* what;
    std::function<void()> request;
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {"set", [&] { set(request(), "active"); }, {11009}},
      {"clear",
       [&] {
         controller_->clearConditionalUserPropertyWithClearEvent(handedOver("cup_cleared"),
                                                                 "active");
         engine_->drain();
       },
       {11017}},
      {"event", [&] { logEvent("go"); }, {10001, 10004, 10008}},
      {"query",
       [&] {
         EXPECT_FALSE(
             controller_->conditionalUserPropertiesWithNamePrefix(Value("act"), Value("frc")));
       },
       {11006}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.request();
    for (std::int64_t code : c.codes) EXPECT_TRUE(logged(code)) << code;
  }
  // The user property of the active one stays; only the logged event itself was written.
  EXPECT_TRUE(attribute("active"));
  EXPECT_EQ(engine_->writtenNames(), std::vector<std::string>{"go"});
}

TEST_F(APMConditionalUserPropertyControllerTest, WorkerQueueOperationsRefuseWhatTheyCannotDo) {
  const APMConditionalUserProperty valid = [] {
    APMConditionalUserProperty p = request();
    p.name = "level";
    return p;
  }();
  struct Case {
    const char* what;
    bool enabled;
    std::function<void(Controller&)> call;
    std::int64_t code;
  };
  const Case cases[] = {
      {"set while disabled", false,
       [&](Controller& c) { c.setConditionalUserPropertyOnWorkerQueue(&valid); }, 11007},
      {"set nothing", true,
       [](Controller& c) { c.setConditionalUserPropertyOnWorkerQueue(nullptr); }, 11008},
      {"remove while disabled", false,
       [&](Controller& c) { c.removeConditionalUserPropertyOnWorkerQueue(&valid); }, 11015},
      {"remove nothing", true,
       [](Controller& c) { c.removeConditionalUserPropertyOnWorkerQueue(nullptr); }, 11016},
      {"process nothing", true,
       [](Controller& c) { EXPECT_FALSE(c.processEventOnWorkerQueue(nullptr)); }, 10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    analytics_test::ScopedMonitor monitor;
    engine_->setEnabled(c.enabled);
    engine_->runOnWorker([&] { c.call(*controller_); });
    ASSERT_EQ(monitor->lines().size(), 1u);
    EXPECT_EQ(monitor->lines()[0].messageCode, c.code);
  }
  EXPECT_FALSE(stored("level"));
}

TEST_F(APMConditionalUserPropertyControllerTest, QueryAnswersFromTheWorkerQueue) {
  APMConditionalUserProperty fromA = request("go");
  set(fromA, "cup_one");
  set(fromA, "cup_two");
  APMConditionalUserProperty fromB = request("go");
  fromB.origin = "other";
  set(fromB, "cup_three");
  set(request("go"), "unrelated");

  auto names = [](const std::optional<Controller::Properties>& properties) {
    std::vector<std::string> result;
    for (const auto& p : properties.value_or(Controller::Properties{})) result.push_back(p->name);
    std::sort(result.begin(), result.end());
    return result;
  };
  EXPECT_EQ(
      names(controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), std::nullopt)),
      (std::vector<std::string>{"cup_one", "cup_three", "cup_two"}));
  EXPECT_EQ(
      names(controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), Value("other"))),
      std::vector<std::string>{"cup_three"});
  EXPECT_EQ(names(controller_->conditionalUserPropertiesWithNamePrefix(std::nullopt, std::nullopt))
                .size(),
            4u);
  EXPECT_EQ(engine_->blockIDs().back(), "APMConditionalUserPropertyController:161");

  // Arguments that are not strings end the query before it is scheduled.
  const auto scheduled = engine_->blockIDs().size();
  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(Value(3), std::nullopt));
  EXPECT_TRUE(logged(11003));
  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), Value(nullptr)));
  EXPECT_TRUE(logged(11004));
  EXPECT_EQ(engine_->blockIDs().size(), scheduled);

  engine_->setEnabled(false);
  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), std::nullopt));
  EXPECT_TRUE(logged(11005));
}

TEST_F(APMConditionalUserPropertyControllerTest, QueryOnTheWorkerQueueRunsThereAtOnce) {
  set(request("go"), "cup_one");
  set(request("go"), "other");
  // Scheduled, the query would wait behind this very block for the whole time-out.
  std::optional<Controller::Properties> found;
  engine_->runOnWorker([&] {
    found = controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), std::nullopt);
  });
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front()->name, "cup_one");
  EXPECT_NE(engine_->blockIDs().back(), "APMConditionalUserPropertyController:161");

  engine_->setEnabled(false);
  engine_->runOnWorker([&] {
    found = controller_->conditionalUserPropertiesWithNamePrefix(Value("cup_"), std::nullopt);
  });
  EXPECT_FALSE(found);
  EXPECT_TRUE(logged(11005));
}

TEST_F(APMConditionalUserPropertyControllerTest, AQueryThatTimesOutDropsTheLateAnswer) {
  set(request("go"), "late");
  // A zero time-out gives up at once while the worker queue holds the block back.
  auto impatient = std::make_shared<Controller>(0);
  engine_->setHoldBlocks(true);
  EXPECT_FALSE(impatient->conditionalUserPropertiesWithNamePrefix(Value("late"), std::nullopt));

  auto held = engine_->takeHeldBlocks();
  ASSERT_EQ(held.size(), 1u);
  engine_->runOnWorker(held[0]);  // answers after the caller has gone
  EXPECT_FALSE(logged(11006));
}

}  // namespace
