// APMDatabasePurchases: the memory of purchases and subscriptions already reported (the
// newest 1000 of each), and the "complex" main events kept for audience evaluation with the
// number of their child events still to process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/data/APMDatabaseCore.h"
#include "analytics/data/APMEvent.h"
#include "platform/error.h"

// How many purchase fingerprints and subscription ids are remembered.
inline constexpr std::int64_t kAPMDeduplicationKeepLimit = 1000;

struct APMComplexEvent {
  std::shared_ptr<APMEvent> mainEvent;
  std::int64_t childrenToProcess = 0;
};

class APMDatabasePurchases : public virtual APMDatabaseCore {
 public:
  // True when the key is new and now recorded; false when it is empty or already seen.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              platform::ErrorPtr* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                         platform::ErrorPtr* error);
  // The number of subscription ids removed beyond the newest 1000.
  std::optional<std::int64_t> deleteSubscriptionsOverLimit(platform::ErrorPtr* error);
  // None without an error when no row has that event id.
  std::optional<APMComplexEvent> mainEventAndChildCountPairWithEventID(std::int64_t eventID,
                                                                       platform::ErrorPtr* error);
  bool updateComplexEventForAudienceEvaluationWithEventID(
      std::int64_t eventID, std::int64_t childEventCount,
      const std::shared_ptr<const APMEvent>& mainEvent, platform::ErrorPtr* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                          platform::ErrorPtr* error);
};
