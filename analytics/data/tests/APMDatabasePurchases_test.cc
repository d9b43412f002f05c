#include "analytics/data/APMDatabasePurchases.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/messages/tests/recording_monitor.h"
#include "platform/value.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;

class PurchasesDatabase final : public APMDatabasePurchases {};

class APMDatabasePurchasesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "purchases.sql").string(), nullptr));
  }
  std::int64_t rows(const char* table) {
    return *database_.sqliteStore()->rowCountForTableWithName(table, nullptr);
  }

  analytics_test::ScopedMonitor monitor_;
  PurchasesDatabase database_;
};

TEST_F(APMDatabasePurchasesTest, AFingerprintIsNewOnceAndTheNewestThousandAreKept) {
  ErrorPtr error;
  EXPECT_EQ(database_.insertIfNotDuplicatePurchaseFingerprint("fp-0", &error), true);
  EXPECT_EQ(database_.insertIfNotDuplicatePurchaseFingerprint("fp-0", &error), false);
  EXPECT_EQ(rows(kAPMPurchaseTransactionsTable), 1);
  EXPECT_EQ(database_.insertIfNotDuplicatePurchaseFingerprint("", &error), false);
  EXPECT_EQ(rows(kAPMPurchaseTransactionsTable), 1);

  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (database_.insertIfNotDuplicatePurchaseFingerprint("fp-" + std::to_string(i), nullptr) !=
          true)
        return false;
    }
    return true;
  }));
  EXPECT_EQ(rows(kAPMPurchaseTransactionsTable), 1000);
  // The oldest was trimmed away and counts as new again; the newest is still known.
  EXPECT_EQ(database_.insertIfNotDuplicatePurchaseFingerprint("fp-1000", &error), false);
  EXPECT_EQ(database_.insertIfNotDuplicatePurchaseFingerprint("fp-0", &error), true);
  EXPECT_FALSE(error);
}

TEST_F(APMDatabasePurchasesTest, SubscriptionIDsAreTrimmedOnlyOnRequest) {
  EXPECT_EQ(database_.insertIfNotDuplicateSubscriptionID("", nullptr), false);
  EXPECT_EQ(rows(kAPMSubscriptionsTable), 0);
  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 0; i < 1003; ++i) {
      if (database_.insertIfNotDuplicateSubscriptionID("sub-" + std::to_string(i), nullptr) != true)
        return false;
    }
    return true;
  }));
  EXPECT_EQ(database_.insertIfNotDuplicateSubscriptionID("sub-7", nullptr), false);
  EXPECT_EQ(rows(kAPMSubscriptionsTable), 1003);
  EXPECT_EQ(database_.deleteSubscriptionsOverLimit(nullptr), 3);
  EXPECT_EQ(rows(kAPMSubscriptionsTable), 1000);
  EXPECT_EQ(database_.insertIfNotDuplicateSubscriptionID("sub-0", nullptr), true);
  EXPECT_EQ(database_.insertIfNotDuplicateSubscriptionID("sub-1002", nullptr), false);
}

TEST_F(APMDatabasePurchasesTest, ComplexEventRoundTripsAndIsReplacedAndDeleted) {
  ErrorPtr error;
  EXPECT_EQ(database_.mainEventAndChildCountPairWithEventID(42, &error), std::nullopt);
  EXPECT_FALSE(error);

  const auto event =
      APMEvent::initWithOrigin("app", true, "purchase", 100, 90, Dictionary{{"value", 3.5}});
  ASSERT_TRUE(event);
  ASSERT_TRUE(database_.updateComplexEventForAudienceEvaluationWithEventID(42, 3, event, &error));
  ASSERT_TRUE(database_.updateComplexEventForAudienceEvaluationWithEventID(42, 2, event, &error));
  EXPECT_EQ(rows(kAPMMainEventParamsTable), 1);

  const auto pair = database_.mainEventAndChildCountPairWithEventID(42, &error);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->childrenToProcess, 2);
  EXPECT_EQ(pair->mainEvent->name(), "purchase");
  EXPECT_EQ(*pair->mainEvent->protoEvent()->protoBuffer(), *event->protoEvent()->protoBuffer());

  ASSERT_TRUE(database_.deleteComplexEventForAudienceEvaluationWithEventID(42, &error));
  EXPECT_EQ(database_.mainEventAndChildCountPairWithEventID(42, &error), std::nullopt);
  EXPECT_FALSE(error);

  EXPECT_FALSE(database_.updateComplexEventForAudienceEvaluationWithEventID(1, 1, nullptr, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received nil main event");
}

TEST_F(APMDatabasePurchasesTest, DamagedComplexEventRowsAreRefused) {
  ASSERT_TRUE(database_.sqliteStore()->upsertRecord(
      Dictionary{{"event_id", std::int64_t{7}},
                 {"children_to_process", std::int64_t{1}},
                 {"main_event", Data::fromString("\xff\xff\xff")}},
      kAPMMainEventParamsTable, nullptr));
  ErrorPtr error;
  EXPECT_EQ(database_.mainEventAndChildCountPairWithEventID(7, &error), std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Main event blob is nil in database");
}

}  // namespace
