// Runs SQL on a connection beside the code under test, to set up or damage a database.
#pragma once

#include <sqlite3.h>

#include <string>

#include <gtest/gtest.h>

namespace analytics_test {

inline testing::AssertionResult executedSQL(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  const std::string why = message ? message : "";
  sqlite3_free(message);
  if (rc == SQLITE_OK) return testing::AssertionSuccess();
  return testing::AssertionFailure() << sql << ": " << why;
}

}  // namespace analytics_test
