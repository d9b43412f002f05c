#include "analytics/data/APMDatabaseUserAttributes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analytics/messages/tests/recording_monitor.h"
#include "platform/value.h"
#include "tests/support/temp_home.h"

namespace {

using platform::Data;
using platform::Dictionary;
using platform::ErrorPtr;
using platform::Value;
using UserAttributePtr = APMDatabaseUserAttributes::UserAttributePtr;

class UserAttributesDatabase final : public APMDatabaseUserAttributes {};

UserAttributePtr attribute(const std::string& name, Value value, double setTimestamp = 1,
                           std::optional<std::string> origin = "app") {
  auto made = APMUserAttribute::initWithOrigin(
      std::move(origin), name, Value(APMValue::valueFromObject(std::move(value))), setTimestamp);
  EXPECT_TRUE(made) << name;
  return made;
}

std::vector<std::string> namesOf(const std::vector<UserAttributePtr>& attributes) {
  std::vector<std::string> names;
  for (const auto& attribute : attributes) names.push_back(attribute->name());
  return names;
}

class APMDatabaseUserAttributesTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(database_.initializeDatabaseResourcesWithContext(
        "Init", (home_.path() / "attributes.sql").string(), nullptr));
  }

  void store(const UserAttributePtr& userAttribute) {
    ErrorPtr error;
    ASSERT_TRUE(database_.updateUserAttribute(userAttribute, &error))
        << (error ? error->description() : "");
  }
  // A row as a damaged file might hold it.
  void putRow(const std::string& name, Value value, double setTimestamp) {
    ASSERT_TRUE(database_.sqliteStore()->upsertRecord(Dictionary{{"name", name},
                                                                 {"origin", "app"},
                                                                 {"value", std::move(value)},
                                                                 {"set_timestamp", setTimestamp}},
                                                      kAPMUserAttributesTable, nullptr));
  }

  analytics_test::ScopedMonitor monitor_;
  UserAttributesDatabase database_;
};

TEST_F(APMDatabaseUserAttributesTest, PublicCountAndListLeaveOutInternalAndReservedNames) {
  store(attribute("_fot", Value(std::int64_t{1})));
  store(attribute("favourite_food", Value("pizza")));
  store(attribute("ziruzada_x", Value("y")));
  ErrorPtr error;
  EXPECT_EQ(database_.publicUserAttributeCount(&error), 2);

  // A public name that stands for an internal one is not listed either.
  store(attribute("first_open_time", Value(std::int64_t{5})));
  const auto publicList = database_.userAttributesIncludingInternal(false, &error);
  ASSERT_TRUE(publicList);
  EXPECT_EQ(namesOf(*publicList), std::vector<std::string>{"favourite_food"});
  const auto all = database_.userAttributesIncludingInternal(true, &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(namesOf(*all),
            (std::vector<std::string>{"_fot", "favourite_food", "ziruzada_x", "first_open_time"}));
}

TEST_F(APMDatabaseUserAttributesTest, LifetimeValuesComeNewestFirstAndMatchThePrefixLiterally) {
  store(attribute("_ltv_USD", Value(10.5), 10));
  store(attribute("_ltv_EUR", Value(3.0), 20));
  // Each of these would match "_ltv_" were "_" a wildcard.
  store(attribute("altv_GBP", Value(1.0), 30));
  store(attribute("_ltvxJPY", Value(1.0), 40));
  store(attribute("ltv", Value(1.0), 50));

  ErrorPtr error;
  const auto lifetimeValues = database_.allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(lifetimeValues) << error->description();
  EXPECT_EQ(namesOf(*lifetimeValues), (std::vector<std::string>{"_ltv_EUR", "_ltv_USD"}));
}

TEST_F(APMDatabaseUserAttributesTest, ADamagedLifetimeValueIsDeletedAndTheOthersAreReturned) {
  store(attribute("_ltv_USD", Value(10.5), 10));
  putRow("_ltv_CHF", Value(Data::fromString("blob")), 15);
  store(attribute("_ltv_EUR", Value(3.0), 20));
  // A name far past the length limit makes no attribute either.
  const std::string longName = "_ltv_" + std::string(200, 'X');
  putRow(longName, Value(1.0), 25);
  store(attribute("plain", Value("kept"), 30));
  const auto rowIDOf = [&](const std::string& name) {
    return database_.sqliteStore()
        ->numberForQuery("SELECT rowid FROM user_attributes WHERE name = ?", {name}, nullptr)
        .value_or(Value());
  };
  const Value chf = rowIDOf("_ltv_CHF");
  const Value tooLong = rowIDOf(longName);

  ErrorPtr error;
  const auto lifetimeValues = database_.allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(lifetimeValues) << (error ? error->description() : "no error");
  EXPECT_EQ(namesOf(*lifetimeValues), (std::vector<std::string>{"_ltv_EUR", "_ltv_USD"}));
  std::vector<Value> deleted;
  for (const auto& line : monitor_->lines()) {
    if (line.messageCode == 12074) deleted.push_back(line.contexts.at(0));
  }
  // Newest first, as the rows were read.
  EXPECT_EQ(deleted, (std::vector<Value>{tooLong, chf}));
  const auto all = database_.userAttributesIncludingInternal(true, nullptr);
  ASSERT_TRUE(all);
  EXPECT_EQ(namesOf(*all), (std::vector<std::string>{"_ltv_USD", "_ltv_EUR", "plain"}));
}

TEST_F(APMDatabaseUserAttributesTest, ValuesReadBackWithTheirTypes) {
  store(attribute("ratio", Value(2.5), 7));
  store(attribute("level", Value(std::int64_t{3}), 8, "auto"));
  store(attribute("colour", Value("blue"), 9));

  const auto ratio = database_.userAttributeWithName("ratio", nullptr);
  ASSERT_TRUE(ratio);
  EXPECT_TRUE(ratio->value()->isDouble());
  EXPECT_EQ(ratio->value()->doubleValue(), 2.5);
  EXPECT_EQ(ratio->lastSetTimestamp(), 7);
  EXPECT_EQ(ratio->origin(), "app");

  const auto level = database_.userAttributeWithName("level", nullptr);
  ASSERT_TRUE(level);
  EXPECT_TRUE(level->value()->isInt64());
  EXPECT_EQ(level->value()->int64Value(), 3);
  EXPECT_EQ(level->origin(), "auto");

  const auto colour = database_.userAttributeWithName("colour", nullptr);
  ASSERT_TRUE(colour);
  EXPECT_EQ(colour->value()->stringValue(), "blue");

  ErrorPtr error;
  EXPECT_EQ(database_.userAttributeWithName("missing", &error), nullptr);
  EXPECT_FALSE(error);
  EXPECT_EQ(database_.userAttributeCountForOrigin("app", nullptr), 2);
  EXPECT_EQ(database_.userAttributeCountForOrigin("auto", nullptr), 1);
  EXPECT_EQ(database_.containsUserAttributeWithName("level", nullptr), true);
  ASSERT_TRUE(database_.deleteUserAttributeWithName("level", nullptr));
  EXPECT_EQ(database_.containsUserAttributeWithName("level", nullptr), false);
}

TEST_F(APMDatabaseUserAttributesTest, RowsThatDoNotConvertAreLeftOutOfTheList) {
  store(attribute("good", Value("yes")));
  putRow("damaged", Value(Data::fromString("blob")), 2);
  putRow("9bad name", Value("x"), 3);
  const auto all = database_.userAttributesIncludingInternal(true, nullptr);
  ASSERT_TRUE(all);
  EXPECT_EQ(namesOf(*all), std::vector<std::string>{"good"});
}

TEST_F(APMDatabaseUserAttributesTest, ArgumentsAreCheckedWithTheirCodes) {
  struct Case {
    const char* message;
    std::int64_t code;
    std::function<bool(ErrorPtr*)> call;
  };
  const Case cases[] = {
      {"Received empty user property origin for count query", 1,
       [&](ErrorPtr* e) { return database_.userAttributeCountForOrigin("", e).has_value(); }},
      {"Received empty user property name for exists query", 1,
       [&](ErrorPtr* e) { return database_.containsUserAttributeWithName("", e).has_value(); }},
      {"Received empty user property for getting dictionary representation", 3,
       [&](ErrorPtr* e) { return database_.updateUserAttribute(nullptr, e); }},
      {"Received user property with empty origin for getting dictionary representation", 3,
       [&](ErrorPtr* e) {
         return database_.updateUserAttribute(attribute("name", Value("v"), 1, ""), e);
       }},
      {"Received user property with empty origin for getting dictionary representation", 3,
       [&](ErrorPtr* e) {
         return database_.updateUserAttribute(attribute("name", Value("v"), 1, std::nullopt), e);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ErrorPtr error;
    EXPECT_FALSE(c.call(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.message);
  }
  EXPECT_EQ(*database_.sqliteStore()->rowCountForTableWithName(kAPMUserAttributesTable, nullptr),
            0);
}

TEST_F(APMDatabaseUserAttributesTest, AThousandNamesAreKeptAndOnlyKnownOnesReplaced) {
  ASSERT_TRUE(database_.performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      if (!database_.updateUserAttribute(attribute("p" + std::to_string(i), Value("v")), nullptr))
        return false;
    }
    return true;
  }));
  ErrorPtr error;
  EXPECT_TRUE(database_.updateUserAttribute(attribute("p500", Value("new"), 2), &error));
  EXPECT_EQ(database_.userAttributeWithName("p500", nullptr)->value()->stringValue(), "new");
  EXPECT_FALSE(database_.updateUserAttribute(attribute("p1000", Value("v")), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_EQ(*database_.sqliteStore()->rowCountForTableWithName(kAPMUserAttributesTable, nullptr),
            1000);
}

}  // namespace
