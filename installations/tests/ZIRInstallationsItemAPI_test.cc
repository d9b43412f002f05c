#include "installations/ZIRInstallationsItemAPI.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "installations/ZIRInstallationsErrors.h"
#include "platform/json.h"

namespace {

const platform::Date kDate = platform::Date::fromTimeIntervalSince1970(1'700'000'000);

platform::Data data(const std::string& text) { return platform::Data::fromString(text); }

ZIRInstallationsItem sentItem() {
  ZIRInstallationsItem item("1:123:ios:abc", "app-name");
  item.setZiruzadaInstallationID("cSentIdentifier");
  item.setRegistrationStatus(ZIRInstallationStatusUnregistered);
  item.setIIDDefaultToken("legacy-token");
  return item;
}

std::string missingField(const std::string& field) {
  return "A required response field with name " + field + " is missing";
}

TEST(ZIRInstallationsItemAPITest, ARegistrationAnswerGivesTheRegisteredItem) {
  struct Case {
    const char* answer;
    const char* expectedFID;
  } cases[] = {
      {R"({"fid": "dFromTheService", "refreshToken": "refresh",
           "authToken": {"token": "token", "expiresIn": "604800s"}})",
       "dFromTheService"},
      // Without an identifier of its own the answer keeps the one that was sent.
      {R"({"refreshToken": "refresh", "authToken": {"token": "token", "expiresIn": "604800s"}})",
       "cSentIdentifier"},
      {R"({"fid": "", "refreshToken": "refresh",
           "authToken": {"token": "token", "expiresIn": "604800s"}, "extra": [1, 2]})",
       "cSentIdentifier"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    platform::ErrorPtr error;
    const auto item = ZIRInstallationsItemAPI::registeredInstallationWithJSONData(
        sentItem(), data(c.answer), kDate, &error);
    ASSERT_NE(item, nullptr) << error->description();
    EXPECT_EQ(item->appID(), "1:123:ios:abc");
    EXPECT_EQ(item->ziruzadaAppName(), "app-name");
    EXPECT_EQ(item->ziruzadaInstallationID(), c.expectedFID);
    EXPECT_EQ(item->refreshToken(), "refresh");
    EXPECT_EQ(item->registrationStatus(), ZIRInstallationStatusRegistered);
    EXPECT_EQ(item->IIDDefaultToken(), std::nullopt);
    ASSERT_NE(item->authToken(), nullptr);
    EXPECT_EQ(item->authToken()->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
    EXPECT_EQ(item->authToken()->token(), "token");
    EXPECT_EQ(item->authToken()->expirationDate(), kDate.addingTimeInterval(604800));
  }
}

// The number before the last character is the lifetime in seconds, whatever that character.
TEST(ZIRInstallationsItemAPITest, TheLifetimeIsTheNumberBeforeTheUnitLetter) {
  struct Case {
    const char* expiresIn;
    double seconds;
  } cases[] = {{"3600s", 3600}, {"0.5s", 0.5}, {"3600", 360}, {"s", 0}, {"12é", 12}, {"-60s", -60}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expiresIn);
    platform::Dictionary answer;
    answer.set("token", "token");
    answer.set("expiresIn", c.expiresIn);
    platform::ErrorPtr error;
    const auto token = ZIRInstallationsItemAPI::authTokenWithGenerateTokenAPIJSONData(
        *platform::json::writeData(platform::Value(answer)), kDate, &error);
    ASSERT_NE(token, nullptr) << error->description();
    EXPECT_EQ(token->token(), "token");
    EXPECT_EQ(token->status(), ZIRInstallationsAuthTokenStatusTokenReceived);
    EXPECT_EQ(token->expirationDate(), kDate.addingTimeInterval(c.seconds));
  }
}

// Fields that are missing, of the wrong kind, or that could not go into a later request's
// path or header, are refused with an error naming them.
TEST(ZIRInstallationsItemAPITest, ABadRegistrationAnswerNamesTheField) {
  const std::string token = R"("authToken": {"token": "t", "expiresIn": "60s"})";
  struct Case {
    std::string answer;
    std::string field;
  } cases[] = {
      {"{" + token + "}", "refreshToken"},
      {R"({"refreshToken": "", )" + token + "}", "refreshToken"},
      {R"({"refreshToken": 7, )" + token + "}", "refreshToken"},
      {R"({"refreshToken": "r\r\nX-Injected: 1", )" + token + "}", "refreshToken"},
      {R"({"refreshToken": "r"})", "authToken"},
      {R"({"refreshToken": "r", "authToken": "t"})", "authToken"},
      {R"({"refreshToken": "r", "authToken": ["t"]})", "authToken"},
      {R"({"refreshToken": "r", "authToken": {"expiresIn": "60s"}})", "authToken.token"},
      {R"({"refreshToken": "r", "authToken": {"token": "t\n", "expiresIn": "60s"}})",
       "authToken.token"},
      {R"({"refreshToken": "r", "authToken": {"token": "t"}})", "authToken.expiresIn"},
      {R"({"refreshToken": "r", "authToken": {"token": "t", "expiresIn": 60}})",
       "authToken.expiresIn"},
      {R"({"refreshToken": "r", "authToken": {"token": "t", "expiresIn": "1e400s"}})",
       "authToken.expiresIn"},
      {R"({"refreshToken": "r", "authToken": {"token": "t", "expiresIn": "1e300s"}})",
       "authToken.expiresIn"},
      {R"({"fid": "../other", "refreshToken": "r", )" + token + "}", "fid"},
      {R"({"fid": "a?b", "refreshToken": "r", )" + token + "}", "fid"},
      {R"({"fid": "..", "refreshToken": "r", )" + token + "}", "fid"},
      {R"({"fid": ")" + std::string(257, 'f') + R"(", "refreshToken": "r", )" + token + "}", "fid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    platform::ErrorPtr error;
    EXPECT_EQ(ZIRInstallationsItemAPI::registeredInstallationWithJSONData(
                  sentItem(), data(c.answer), kDate, &error),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), ZIRInstallationsErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_EQ(error->localizedFailureReason(), missingField(c.field));
  }
}

TEST(ZIRInstallationsItemAPITest, AnAnswerThatIsNoJSONObjectIsAJSONError) {
  struct Case {
    const char* name;
    std::string answer;
    bool parserError;
  } cases[] = {
      {"empty", "", true},
      {"not JSON", "<html>Bad gateway</html>", true},
      {"an array", R"([{"token": "t", "expiresIn": "60s"}])", false},
      {"too deep", std::string(100000, '[') + std::string(100000, ']'), true},
      {"too long",
       R"({"token": "t", "expiresIn": "60s", "padding": ")" +
           std::string(ZIRInstallationsItemAPI::kMaximumResponseLength, 'x') + "\"}",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int reader = 0; reader < 2; ++reader) {
      platform::ErrorPtr error;
      const bool read = reader == 0
                            ? ZIRInstallationsItemAPI::authTokenWithGenerateTokenAPIJSONData(
                                  data(c.answer), kDate, &error) != nullptr
                            : ZIRInstallationsItemAPI::registeredInstallationWithJSONData(
                                  sentItem(), data(c.answer), kDate, &error) != nullptr;
      EXPECT_FALSE(read);
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->domain(), ZIRInstallationsErrorDomain);
      EXPECT_EQ(error->localizedFailureReason(), "Failed to serialize JSON data.");
      EXPECT_EQ(error->underlyingError() != nullptr, c.parserError);
    }
  }
}

TEST(ZIRInstallationsItemAPITest, AValidStringHasAtLeastOneCharacter) {
  platform::Dictionary dict;
  dict.set("text", "x");
  dict.set("empty", "");
  dict.set("number", 1);
  dict.set("null", platform::Value());
  EXPECT_EQ(ZIRInstallationsItemAPI::validStringOrNilForKey("text", dict), "x");
  for (const char* key : {"empty", "number", "null", "absent"}) {
    EXPECT_EQ(ZIRInstallationsItemAPI::validStringOrNilForKey(key, dict), std::nullopt) << key;
  }
}

}  // namespace
