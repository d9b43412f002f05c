#include "analytics/data/APMDatabasePurchases.h"

#include <utility>

#include "analytics/data/APMDatabaseConditionalProperties.h"

namespace {

constexpr const char* kColumnEventID = "event_id";
constexpr const char* kColumnChildrenToProcess = "children_to_process";
constexpr const char* kColumnMainEvent = "main_event";

// True when the key is new and now written; false when it was there already.
std::optional<bool> insertIfNotDuplicate(APMSqliteStore* store, const std::string& existsQuery,
                                         const char* tableName, const char* columnName,
                                         const std::string& key, platform::ErrorPtr* error) {
  const auto exists = store->numberForQuery(existsQuery, {key}, error);
  if (!exists || !exists->asInt()) return std::nullopt;
  if (*exists->asInt() != 0) return false;
  if (!store->upsertRecord(platform::Dictionary{{columnName, key}}, tableName, error)) {
    return std::nullopt;
  }
  return true;
}

}  // namespace

std::optional<bool>
APMDatabasePurchases::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              platform::ErrorPtr* error) {
  if (fingerprint.empty()) return false;
  const auto inserted = insertIfNotDuplicate(
      sqliteStore(),
      "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
      kAPMPurchaseTransactionsTable, "fingerprint", fingerprint, error);
  if (!inserted || !*inserted) return inserted;
  if (!sqliteStore()->deleteRecordsFromTableWithName(
          kAPMPurchaseTransactionsTable,
          "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 "
          "OFFSET ?)",
          {kAPMDeduplicationKeepLimit}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool>
APMDatabasePurchases::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                         platform::ErrorPtr* error) {
  if (subscriptionID.empty()) return false;
  return insertIfNotDuplicate(
      sqliteStore(),
      "SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
      kAPMSubscriptionsTable, "subscription_id", subscriptionID, error);
}

std::optional<std::int64_t>
APMDatabasePurchases::deleteSubscriptionsOverLimit(platform::ErrorPtr* error) {
  return sqliteStore()->deleteRecordsFromTableWithName(
      kAPMSubscriptionsTable,
      "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {kAPMDeduplicationKeepLimit}, error);
}

std::optional<APMComplexEvent>
APMDatabasePurchases::mainEventAndChildCountPairWithEventID(std::int64_t eventID,
                                                            platform::ErrorPtr* error) {
  const auto records = sqliteStore()->recordsForQuery(
      "SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {eventID}, error);
  if (!records || records->empty()) return std::nullopt;
  const platform::Dictionary& record = records->front();
  const platform::Value* blob = record.find(kColumnMainEvent);
  std::shared_ptr<APMEvent> mainEvent =
      blob != nullptr ? APMEventFromProtoData(*blob, nullptr) : nullptr;
  if (!mainEvent) {
    APMSetError(error, 3, "Main event blob is nil in database");
    return std::nullopt;
  }
  const platform::Value* children = record.find(kColumnChildrenToProcess);
  if (children == nullptr || !children->asInt()) {
    APMSetError(error, 3, "Complex event does not have children count in database");
    return std::nullopt;
  }
  return APMComplexEvent{std::move(mainEvent), *children->asInt()};
}

bool APMDatabasePurchases::updateComplexEventForAudienceEvaluationWithEventID(
    std::int64_t eventID, std::int64_t childEventCount,
    const std::shared_ptr<const APMEvent>& mainEvent, platform::ErrorPtr* error) {
  if (!mainEvent) {
    APMSetError(error, 1, "Received nil main event");
    return false;
  }
  auto blob = APMProtoDataFromEvent(*mainEvent);
  if (!blob || blob->length() == 0) {
    APMSetError(error, 1, "Cannot create the main event blob");
    return false;
  }
  const platform::Dictionary record{{kColumnMainEvent, std::move(*blob)},
                                    {kColumnEventID, eventID},
                                    {kColumnChildrenToProcess, childEventCount}};
  return sqliteStore()->upsertRecord(record, kAPMMainEventParamsTable, error);
}

bool APMDatabasePurchases::deleteComplexEventForAudienceEvaluationWithEventID(
    std::int64_t eventID, platform::ErrorPtr* error) {
  return sqliteStore()
      ->deleteRecordsFromTableWithName(kAPMMainEventParamsTable, "event_id=?", {eventID}, error)
      .has_value();
}
