// APMDatabase: the analytics client's one SQLite database, "rerora-app-measurement.sql" in the
// analytics directory, with every family of queries over the one store they share.
#pragma once

#include <memory>
#include <string>

#include "analytics/data/APMDatabaseAppMetadata.h"
#include "analytics/data/APMDatabaseAudienceFilters.h"
#include "analytics/data/APMDatabaseConditionalProperties.h"
#include "analytics/data/APMDatabaseEventAggregates.h"
#include "analytics/data/APMDatabasePurchases.h"
#include "analytics/data/APMDatabaseRawEvents.h"
#include "analytics/data/APMDatabaseUploadQueue.h"
#include "analytics/data/APMDatabaseUserAttributes.h"
#include "platform/error.h"

class APMPersistedConfig;

class APMDatabase final : public APMDatabaseAppMetadata,
                          public APMDatabaseRawEvents,
                          public APMDatabaseEventAggregates,
                          public APMDatabaseUploadQueue,
                          public APMDatabaseUserAttributes,
                          public APMDatabasePurchases,
                          public APMDatabaseAudienceFilters,
                          public APMDatabaseConditionalProperties {
 public:
  // The database of that name in the analytics directory, its tables ensured and its
  // metadata row in place; null when that fails (a file whose tables could not be validated
  // is deleted on the way, so a second attempt starts from an empty one).
  static std::shared_ptr<APMDatabase>
  initWithDatabaseName(const std::string& databaseName,
                       std::shared_ptr<APMPersistedConfig> persistedConfig,
                       platform::ErrorPtr* error);

  // The upload queue's sweep of stale data reaches the raw events through this.
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::ErrorPtr* error) override;

 private:
  APMDatabase() = default;
};
