#include "foundation/ZULURLSessionPromise.h"

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/url_session.h"
#include "tests/support/fake_service.h"
#include "tests/support/main_queue.h"

namespace {

using testing_support::FakeService;

class ZULURLSessionPromiseTest : public ::testing::Test {
 protected:
  // Pumps the main queue, where the promise's work runs, until the promise settles.
  ZBLPromisePtr settle(platform::URLRequest request) {
    const ZBLPromisePtr promise = zul_dataTaskPromiseWithRequest(session_, std::move(request));
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return !promise->isPending(); }));
    return promise;
  }

  void TearDown() override {
    EXPECT_TRUE(
        testing_support::pumpMainQueueUntil([] { return ZBLPromise::dispatchGroup().wait(0); }));
  }

  FakeService service_;
  std::shared_ptr<platform::URLSession> session_ = platform::URLSession::create({});
};

struct AnswerCase {
  int status;
  std::string body;
};

TEST_F(ZULURLSessionPromiseTest, AnyStatusFulfilsWithTheResponseAndBody) {
  const AnswerCase cases[] = {{200, "fine"}, {404, "missing"}, {500, "broken"}, {204, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    const std::string path = "/answer" + std::to_string(c.status);
    service_.on("POST", path, {.status = c.status, .body = c.body});
    platform::URLRequest request(service_.baseURL() + path);
    request.httpMethod = "POST";
    request.body = platform::Data::fromString("payload");

    const ZBLPromisePtr promise = settle(std::move(request));
    ASSERT_TRUE(promise->isFulfilled()) << promise->description();
    const auto response = promise->value().as<ZULURLSessionDataResponse>();
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->HTTPResponse().statusCode, c.status);
    EXPECT_EQ(response->HTTPResponse().url, service_.baseURL() + path);
    if (c.body.empty()) {
      EXPECT_TRUE(!response->HTTPBody() || response->HTTPBody()->size() == 0);
    } else {
      ASSERT_TRUE(response->HTTPBody());
      EXPECT_EQ(*response->HTTPBody(), platform::Data::fromString(c.body));
    }
  }
  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "payload");
}

TEST_F(ZULURLSessionPromiseTest, TransportFailureRejectsWithTheSessionError) {
  service_.on("GET", "/drop", {.dropConnection = true});
  const ZBLPromisePtr dropped = settle(platform::URLRequest(service_.baseURL() + "/drop"));
  ASSERT_TRUE(dropped->isRejected());
  EXPECT_EQ(dropped->error()->domain(), platform::kURLErrorDomain);
  EXPECT_TRUE(dropped->value().isNil());

  platform::URLRequest slow(service_.baseURL() + "/slow");
  slow.timeoutInterval = 0.2;
  service_.on("GET", "/slow", {.body = "late", .delaySeconds = 3});
  const ZBLPromisePtr timedOut = settle(std::move(slow));
  ASSERT_TRUE(timedOut->isRejected());
  EXPECT_EQ(timedOut->error()->domain(), platform::kURLErrorDomain);
  EXPECT_EQ(timedOut->error()->code(), platform::URLErrorTimedOut);
}

TEST_F(ZULURLSessionPromiseTest, InvalidatedSessionRejectsAsCancelled) {
  session_->invalidateAndCancel();
  const ZBLPromisePtr promise = settle(platform::URLRequest(service_.baseURL() + "/any"));
  ASSERT_TRUE(promise->isRejected());
  EXPECT_EQ(promise->error()->code(), platform::URLErrorCancelled);
  EXPECT_TRUE(service_.requests().empty());
}

}  // namespace
