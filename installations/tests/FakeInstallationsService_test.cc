// The loopback installations service answers as the client's tests rely on: its own registry,
// refusals by status, and scripts that step in for a number of requests.
#include "tests/support/fake_installations_service.h"

#include <future>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/json.h"
#include "platform/url_session.h"

namespace {

using testing_support::FakeInstallationsService;
using Operation = FakeInstallationsService::Operation;

struct Answer {
  long status = 0;
  platform::Value body;
  platform::ErrorPtr error;
};

class FakeInstallationsServiceTest : public ::testing::Test {
 protected:
  // Sends one request and waits (real time) for the answer, which the session delivers on its
  // own queue.
  Answer send(const std::string& method, const std::string& path, const std::string& body = "{}",
              std::optional<std::string> refreshToken = std::nullopt,
              const char* APIKey = "api-key") {
    platform::URLRequest request(service_.baseURL() + path);
    request.httpMethod = method;
    request.setValue(APIKey, "X-Rerora-Api-Key");
    request.setValue("application/json", "Content-Type");
    if (refreshToken) request.setValue("ZIS_v2 " + *refreshToken, "Authorization");
    request.body = platform::Data::fromString(body);
    std::promise<Answer> answer;
    session_
        ->dataTask(request,
                   [&](std::optional<platform::Data> data,
                       std::optional<platform::HTTPURLResponse> response,
                       platform::ErrorPtr error) {
                     Answer received;
                     received.error = error;
                     if (response) received.status = response->statusCode;
                     if (data) {
                       received.body = platform::json::parse(*data).value_or(platform::Value());
                     }
                     answer.set_value(std::move(received));
                   })
        ->resume();
    return answer.get_future().get();
  }

  Answer create(const std::string& fid) {
    return send("POST", service_.createPath(), R"({"fid": ")" + fid + R"(", "appId": "app"})");
  }

  FakeInstallationsService service_;
  std::shared_ptr<platform::URLSession> session_ = platform::URLSession::create({});
};

TEST_F(FakeInstallationsServiceTest, TheRegistryDecidesTheAnswers) {
  const Answer created = create("fid-1");
  ASSERT_EQ(created.status, 200);
  const auto known = service_.installation("fid-1");
  ASSERT_TRUE(known);
  EXPECT_EQ(created.body["fid"], platform::Value("fid-1"));
  EXPECT_EQ(created.body["refreshToken"], platform::Value(known->refreshToken));
  EXPECT_EQ(created.body["authToken"]["token"], platform::Value(known->authToken));
  EXPECT_EQ(created.body["authToken"]["expiresIn"], platform::Value("604800s"));

  const std::string tokenPath = service_.generateTokenPath("fid-1");
  EXPECT_EQ(send("POST", tokenPath, "{}", "wrong").status, 401);
  EXPECT_EQ(send("POST", tokenPath, "{}").status, 401);
  service_.setTokenLifetime("60s");
  const Answer token = send("POST", tokenPath, "{}", known->refreshToken);
  ASSERT_EQ(token.status, 200);
  EXPECT_NE(token.body["token"], platform::Value(known->authToken));
  EXPECT_EQ(token.body["token"], platform::Value(service_.installation("fid-1")->authToken));
  EXPECT_EQ(token.body["expiresIn"], platform::Value("60s"));

  EXPECT_EQ(send("DELETE", service_.deletePath("fid-1"), "{}", "wrong").status, 401);
  EXPECT_EQ(send("DELETE", service_.deletePath("fid-1"), "{}", known->refreshToken).status, 200);
  EXPECT_FALSE(service_.installation("fid-1"));
  EXPECT_EQ(send("DELETE", service_.deletePath("fid-1"), "{}", known->refreshToken).status, 404);
  EXPECT_EQ(send("POST", tokenPath, "{}", known->refreshToken).status, 404);
  EXPECT_EQ(send("POST", service_.generateTokenPath("never-seen"), "{}", "r").status, 404);

  EXPECT_EQ(send("POST", service_.createPath(), R"({"fid": "fid-2"})").status, 400);
  EXPECT_EQ(send("POST", service_.createPath(), "not json").status, 400);
  EXPECT_EQ(
      send("POST", service_.createPath(), R"({"fid": "f", "appId": "a"})", std::nullopt, "").status,
      403);
  EXPECT_EQ(service_.requests(Operation::Create).size(), 4u);
  EXPECT_EQ(service_.requests(Operation::GenerateToken).size(), 5u);
  EXPECT_EQ(service_.requests(Operation::Delete).size(), 3u);
}

TEST_F(FakeInstallationsServiceTest, ScriptsStepInForTheirRequestsInOrder) {
  service_.scriptStatus(Operation::Create, 500);
  service_.scriptDroppedConnection(Operation::Create);
  service_.script(Operation::Create, {.status = 201, .body = R"({"scripted": true})"});
  service_.scriptDelay(Operation::Create, 0.2);
  service_.assignFIDAtRegistration("fid-assigned");

  const Answer failed = create("fid-1");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body["error"]["code"], platform::Value(500));
  const Answer dropped = create("fid-1");
  ASSERT_NE(dropped.error, nullptr);
  EXPECT_EQ(dropped.error->domain(), platform::kURLErrorDomain);
  const Answer scripted = create("fid-1");
  EXPECT_EQ(scripted.status, 201);
  EXPECT_EQ(scripted.body["scripted"], platform::Value(true));
  // Scripted answers leave the registry alone; the delayed one is the service's own.
  EXPECT_TRUE(service_.installations().empty());
  const Answer delayed = create("fid-1");
  EXPECT_EQ(delayed.status, 200);
  EXPECT_EQ(delayed.body["fid"], platform::Value("fid-assigned"));
  // Back to the service's own answers, which keep the identifier sent.
  EXPECT_EQ(create("fid-2").body["fid"], platform::Value("fid-2"));
  ASSERT_EQ(service_.installations().size(), 2u);
  EXPECT_EQ(service_.installations()[0].fid, "fid-assigned");

  // Seeded installations are served like registered ones, scripts included.
  service_.addInstallation("fid-seeded", "refresh-seeded");
  service_.scriptStatus(Operation::GenerateToken, 503);
  EXPECT_EQ(send("POST", service_.generateTokenPath("fid-seeded"), "{}", "refresh-seeded").status,
            503);
  EXPECT_EQ(send("POST", service_.generateTokenPath("fid-seeded"), "{}", "refresh-seeded").status,
            200);
}

TEST_F(FakeInstallationsServiceTest, RequestsAreSortedByTheOperationTheirPathNames) {
  const std::string base = service_.createPath();
  struct Case {
    const char* method;
    std::string path;
    std::optional<Operation> operation;
  } cases[] = {
      {"POST", base, Operation::Create},
      {"GET", base, std::nullopt},
      {"POST", base + "fid/authTokens:generate", Operation::GenerateToken},
      {"POST", base + "a/b/authTokens:generate", std::nullopt},
      {"DELETE", base + "fid/", Operation::Delete},
      {"DELETE", base + "fid", std::nullopt},
      {"DELETE", base + "fid/x/", std::nullopt},
      {"POST", "/v1/projects/other/installations/", std::nullopt},
  };
  for (const Case& c : cases) {
    FakeInstallationsService::Request request;
    request.method = c.method;
    request.path = c.path;
    EXPECT_EQ(service_.operationOf(request), c.operation) << c.method << " " << c.path;
  }
}

}  // namespace
