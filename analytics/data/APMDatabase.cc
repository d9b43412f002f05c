#include "analytics/data/APMDatabase.h"

#include "analytics/data/APMPersistentDictionary.h"
#include "analytics/messages/APMServices.h"

std::shared_ptr<APMDatabase>
APMDatabase::initWithDatabaseName(const std::string& databaseName,
                                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                                  platform::ErrorPtr* error) {
  if (!APMCheckCondition(!databaseName.empty(), error, 1, "Received empty database name in init")) {
    return nullptr;
  }
  std::shared_ptr<APMDatabase> database(new APMDatabase);
  if (!database->initializeDatabaseResourcesWithContext(
          "Init", APMApplicationSupportPath(databaseName), error)) {
    return nullptr;
  }
  database->setPersistedConfig(std::move(persistedConfig));
  return database;
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                          platform::ErrorPtr* error) {
  return APMDatabaseRawEvents::deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error);
}
