// Conditional user properties in the analytics database: rows written and read back whole,
// the timed-out, expired and triggered queries at their time boundaries, the prefix and origin
// query with its literal matching of "%" and "_", the cap, refused arguments, and rows of a
// damaged file.

#include "analytics/data/APMDatabaseConditionalProperties.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/data/tests/sqlite_test_support.h"
#include "analytics/messages/APMPBMessageRuntime.h"
#include "analytics/messages/APMPBMessages.h"
#include "analytics/messages/tests/recording_monitor.h"
#include "platform/date.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;
using testing_support::ManualClockScope;

class TestDatabase final : public APMDatabaseConditionalProperties {
 public:
  TestDatabase() = default;
};

std::shared_ptr<APMEvent> event(const std::string& name, double timestamp) {
  return APMEvent::initWithOrigin("app", false, name, timestamp, 0, {{"n", Value(4)}});
}

APMConditionalUserProperty property(const std::string& name, double creationTimestamp = 1000,
                                    double triggerTimeout = 60, bool active = false,
                                    double triggeredTimestamp = 0, double timeToLive = 100,
                                    const std::string& triggerEventName = "go") {
  APMConditionalUserProperty p;
  p.name = name;
  p.origin = "app";
  p.value = APMValue::initWithInt64(3);
  p.triggerEventName = triggerEventName;
  p.triggerTimeout = triggerTimeout;
  p.timeToLive = timeToLive;
  p.creationTimestamp = creationTimestamp;
  p.active = active;
  p.triggeredTimestamp = triggeredTimestamp;
  return p;
}

std::vector<std::string>
names(const std::optional<std::vector<APMConditionalUserPropertyPtr>>& properties) {
  std::vector<std::string> result;
  if (!properties) return {"<none>"};
  for (const auto& p : *properties) result.push_back(p->name);
  std::sort(result.begin(), result.end());
  return result;
}

class APMDatabaseConditionalPropertiesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ErrorPtr error;
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "measurement.sql").string(), &error))
        << (error ? error->description() : "");
  }

  void write(const APMConditionalUserProperty& p) {
    ErrorPtr error;
    ASSERT_TRUE(database_.updateConditionalUserProperty(&p, &error))
        << (error ? error->description() : "");
  }

  void execute(const std::string& sql) {
    ASSERT_TRUE(analytics_test::executedSQL(database_.sqliteStore()->sqliteHandle(), sql));
  }

  analytics_test::ScopedMonitor monitor_;
  TestDatabase database_;
};

TEST_F(APMDatabaseConditionalPropertiesTest, APropertyReadsBackWhole) {
  APMConditionalUserProperty full = property("full", 1000.5, 60.25, true, 1010.75, 99.5);
  full.value = APMValue::initWithDouble(2.5);
  full.triggeredEvent = event("triggered", 1);
  full.timedOutEvent = event("timed_out", 2);
  full.expiredEvent = event("expired", 3);
  write(full);

  ErrorPtr error;
  auto read = database_.conditionalUserPropertyWithName("full", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->name, "full");
  EXPECT_EQ(read->origin, "app");
  ASSERT_TRUE(read->value);
  EXPECT_TRUE(read->value->isDouble());
  EXPECT_EQ(read->value->doubleValue(), 2.5);
  EXPECT_EQ(read->triggerEventName, "go");
  EXPECT_EQ(read->triggerTimeout, 60.25);
  EXPECT_EQ(read->timeToLive, 99.5);
  EXPECT_EQ(read->creationTimestamp, 1000.5);
  EXPECT_TRUE(read->isActive());
  EXPECT_EQ(read->triggeredTimestamp, 1010.75);
  ASSERT_TRUE(read->triggeredEvent && read->timedOutEvent && read->expiredEvent);
  EXPECT_EQ(read->triggeredEvent->name(), "triggered");
  EXPECT_EQ(read->timedOutEvent->name(), "timed_out");
  EXPECT_EQ(read->expiredEvent->name(), "expired");
  EXPECT_EQ(read->expiredEvent->timestamp(), 3);
  EXPECT_TRUE(read->expiredEvent->parameters().contains("n"));

  // The same name written again without trigger event name or events replaces the whole row.
  APMConditionalUserProperty bare = property("full", 5, 1, false, 0, 1, "");
  bare.value = APMValue::initWithString(Value("blue"));
  write(bare);
  read = database_.conditionalUserPropertyWithName("full", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value->stringValue(), "blue");
  EXPECT_TRUE(read->triggerEventName.empty());
  EXPECT_FALSE(read->triggeredEvent || read->timedOutEvent || read->expiredEvent);
  EXPECT_FALSE(read->isActive());
  auto rows = database_.sqliteStore()->recordsForQuery(
      "SELECT trigger_event_name, triggered_event FROM conditional_properties", {}, nullptr);
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_TRUE((*rows)[0]["trigger_event_name"].isNull());
  EXPECT_TRUE((*rows)[0]["triggered_event"].isNull());

  EXPECT_EQ(database_.conditionalUserPropertyWithName("missing", &error), nullptr);
  // Integers stay integers.
  write(property("int"));
  EXPECT_TRUE(database_.conditionalUserPropertyWithName("int", &error)->value->isInt64());

  ASSERT_TRUE(database_.deleteConditionalUserPropertyWithName("full", &error));
  EXPECT_EQ(database_.conditionalUserPropertyWithName("full", &error), nullptr);
  EXPECT_NE(database_.conditionalUserPropertyWithName("int", &error), nullptr);
}

TEST_F(APMDatabaseConditionalPropertiesTest, QueriesAtTheirTimeBoundaries) {
  // "waiting": created at 1000 s, timeout 60 s, inactive, waiting for "go".
  // "living": active, triggered at 2000 s, time to live 100 s.
  write(property("waiting", 1000, 60));
  write(property("living", 0, 60, true, 2000, 100));
  struct Case {
    double now;
    std::vector<std::string> timedOut, expired, triggered;
  };
  const Case cases[] = {
      {1060, {}, {"living"}, {"waiting"}},
      {1061, {"waiting"}, {"living"}, {}},
      // A clock set back further than the timeout also ends the wait.
      {939, {"waiting"}, {"living"}, {}},
      {940, {}, {"living"}, {"waiting"}},
      {2100, {"waiting"}, {}, {}},
      {2101, {"waiting"}, {"living"}, {}},
      {1899, {"waiting"}, {"living"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    ManualClockScope clock(platform::Date::fromTimeIntervalSince1970(c.now));
    ErrorPtr error;
    EXPECT_EQ(names(database_.timedOutConditionalUserPropertiesWithError(&error)), c.timedOut);
    EXPECT_EQ(names(database_.expiredConditionalUserPropertiesWithError(&error)), c.expired);
    EXPECT_EQ(names(database_.triggeredConditionalUserPropertiesWithEventName("go", &error)),
              c.triggered);
    EXPECT_EQ(names(database_.triggeredConditionalUserPropertiesWithEventName("other", &error)),
              std::vector<std::string>{});
  }
}

TEST_F(APMDatabaseConditionalPropertiesTest, PrefixAndOriginMatchLiterallyIgnoringCase) {
  for (const char* name : {"abcd", "ABCx", "abx", "a_c1", "aXc2", "50%off", "50xoff", "a!b"})
    write(property(name));
  APMConditionalUserProperty other = property("abcother");
  other.origin = "auto";
  write(other);
  APMConditionalUserProperty wild = property("wild");
  wild.origin = "a%";
  write(wild);

  struct Case {
    const char* prefix;
    const char* origin;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"abc", "", {"ABCx", "abcd", "abcother"}},
      {"abc", "APP", {"ABCx", "abcd"}},
      {"", "Auto", {"abcother"}},
      {"",
       "",
       {"50%off", "50xoff", "ABCx", "a!b", "aXc2", "a_c1", "abcd", "abcother", "abx", "wild"}},
      // "_" and "%" in the caller's text are not wildcards.
      {"a_c", "", {"a_c1"}},
      {"50%", "", {"50%off"}},
      {"a!", "", {"a!b"}},
      {"", "a%", {"wild"}},
      {"", "_pp", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " / " + c.origin);
    ErrorPtr error;
    EXPECT_EQ(names(database_.conditionalUserPropertiesWithPrefix(c.prefix, c.origin, &error)),
              c.expected);
  }
}

TEST_F(APMDatabaseConditionalPropertiesTest, TheTableHoldsAtMostAThousandNames) {
  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      APMConditionalUserProperty p = property("p" + std::to_string(i));
      if (!database_.updateConditionalUserProperty(&p, nullptr)) return false;
    }
    return true;
  }));
  EXPECT_EQ(database_.sqliteStore()
                ->rowCountForTableWithName(kAPMConditionalPropertiesTable, nullptr)
                .value_or(-1),
            1000);
  ErrorPtr error;
  APMConditionalUserProperty extra = property("extra");
  EXPECT_FALSE(database_.updateConditionalUserProperty(&extra, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  APMConditionalUserProperty known = property("p7", 5);
  EXPECT_TRUE(database_.updateConditionalUserProperty(&known, nullptr));
  EXPECT_EQ(database_.conditionalUserPropertyWithName("p7", nullptr)->creationTimestamp, 5);
}

TEST_F(APMDatabaseConditionalPropertiesTest, RefusedArgumentsCarryTheirCodes) {
  APMConditionalUserProperty noName = property("");
  APMConditionalUserProperty noOrigin = property("x");
  noOrigin.origin.clear();
  APMConditionalUserProperty noValue = property("x");
  noValue.value = nullptr;
  struct Case {
    const char* what;
    std::function<bool(ErrorPtr*)> call;
    std::int64_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"null property",
       [&](ErrorPtr* e) { return database_.updateConditionalUserProperty(nullptr, e); }, 3,
       "Received empty conditional user property for getting dictionary representation"},
      {"empty name",
       [&](ErrorPtr* e) { return database_.updateConditionalUserProperty(&noName, e); }, 3,
       "Received conditional user property with empty name for getting dictionary "
       "representation"},
      {"empty origin",
       [&](ErrorPtr* e) { return database_.updateConditionalUserProperty(&noOrigin, e); }, 3,
       "Received conditional user property with empty origin for getting dictionary "
       "representation"},
      {"no value",
       [&](ErrorPtr* e) { return database_.updateConditionalUserProperty(&noValue, e); }, 3,
       "Received conditional user property with nil value for getting dictionary "
       "representation"},
      {"empty event name",
       [&](ErrorPtr* e) {
         return database_.triggeredConditionalUserPropertiesWithEventName("", e).has_value();
       },
       1, "Received nil/empty event name for querying triggered conditional user properties"},
      {"empty condition",
       [&](ErrorPtr* e) {
         return database_.conditionalUserPropertiesWithCondition("", {}, e).has_value();
       },
       1, "Received empty condition for querying a conditional user property"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ErrorPtr error;
    EXPECT_FALSE(c.call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kAPMErrorDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
  EXPECT_EQ(database_.sqliteStore()
                ->rowCountForTableWithName(kAPMConditionalPropertiesTable, nullptr)
                .value_or(-1),
            0);
}

// A row a damaged file holds: "bad" written whole, then one column overwritten.
struct Damage {
  const char* what;
  std::string column;
  Value stored;
};

std::vector<Damage> damages() {
  // An Event message without its origin parameter decodes but makes no event.
  auto proto = APMPBEvent::initWithMessageInfo(nullptr);
  nano_set_string_field(proto.get(), 1, "e");
  return {
      {"undecodable event", "triggered_event", Value(Data::fromString("\xff\xff\xff"))},
      {"event as text", "expired_event", Value("text")},
      {"event without origin", "timed_out_event", Value(proto->protoBuffer().value())},
      {"value as data", "value", Value(Data::fromString("v"))},
      {"name as data", "name", Value(Data::fromString("n"))},
  };
}

TEST_F(APMDatabaseConditionalPropertiesTest, ADamagedRowIsDeletedAndTheOthersAreReturned) {
  // Each query meets the damaged row among good ones; the shape written suits the query.
  const APMConditionalUserProperty waiting = property("", 1000, 60);
  const APMConditionalUserProperty living = property("", 0, 60, true, 2000, 100);
  struct Query {
    const char* what;
    APMConditionalUserProperty shape;
    double now;
    std::function<std::vector<std::string>(ErrorPtr*)> run;
    std::vector<std::string> expected;
  };
  const std::vector<Query> queries = {
      {"prefix",
       waiting,
       1000,
       [&](ErrorPtr* e) { return names(database_.conditionalUserPropertiesWithPrefix("", "", e)); },
       {"good"}},
      {"timed out",
       waiting,
       1061,
       [&](ErrorPtr* e) { return names(database_.timedOutConditionalUserPropertiesWithError(e)); },
       {"good"}},
      {"expired",
       living,
       2101,
       [&](ErrorPtr* e) { return names(database_.expiredConditionalUserPropertiesWithError(e)); },
       {"good"}},
      {"triggered",
       waiting,
       1030,
       [&](ErrorPtr* e) {
         return names(database_.triggeredConditionalUserPropertiesWithEventName("go", e));
       },
       {"good"}},
      // The damaged row does not hold its name for good: it reads as absent and is gone.
      {"by name",
       waiting,
       1000,
       [&](ErrorPtr* e) {
         auto found = database_.conditionalUserPropertyWithName("bad", e);
         return found ? std::vector<std::string>{found->name} : std::vector<std::string>{};
       },
       {}},
  };
  for (const Query& query : queries) {
    for (const Damage& damage : damages()) {
      // A row whose name is damaged is not found by a name, nor does it hold one.
      if (query.expected.empty() && damage.column == "name") continue;
      SCOPED_TRACE(std::string(query.what) + ", " + damage.what);
      analytics_test::ScopedMonitor monitor;
      ManualClockScope clock(platform::Date::fromTimeIntervalSince1970(query.now));
      execute("DELETE FROM conditional_properties");
      APMConditionalUserProperty good = query.shape;
      good.name = "good";
      write(good);
      APMConditionalUserProperty bad = query.shape;
      bad.name = "bad";
      write(bad);
      const auto badRowID = database_.sqliteStore()->numberForQuery(
          "SELECT rowid FROM conditional_properties WHERE name = 'bad'", {}, nullptr);
      ASSERT_TRUE(badRowID);
      ASSERT_TRUE(database_.sqliteStore()->updateRecord(Dictionary{{damage.column, damage.stored}},
                                                        kAPMConditionalPropertiesTable, "name",
                                                        Value("bad"), nullptr));

      ErrorPtr error;
      EXPECT_EQ(query.run(&error), query.expected);
      EXPECT_FALSE(error) << error->description();
      std::vector<Value> deleted;
      for (const auto& line : monitor->lines()) {
        if (line.messageCode == 12072) deleted.push_back(line.contexts.at(0));
      }
      EXPECT_EQ(deleted, std::vector<Value>{*badRowID});
      EXPECT_EQ(names(database_.conditionalUserPropertiesWithPrefix("", "", nullptr)),
                std::vector<std::string>{"good"});
      EXPECT_EQ(database_.sqliteStore()
                    ->rowCountForTableWithName(kAPMConditionalPropertiesTable, nullptr)
                    .value_or(-1),
                1);
    }
  }
}

}  // namespace
