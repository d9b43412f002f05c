#include "tests/support/fake_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <optional>
#include <thread>

namespace testing_support {
namespace {

// A client that shows the bytes on the wire: it neither asks for nor undoes compression.
httplib::Client rawClient(const FakeService& service) {
  httplib::Client client(service.baseURL());
  client.set_decompress(false);
  client.set_keep_alive(false);
  return client;
}

TEST(FakeServiceTest, RecordsRequestsAsTheyCame) {
  FakeService service;
  auto client = rawClient(service);
  const std::string compressed = gzip("{\"event\":1}");
  ASSERT_TRUE(client.Post("/v1/events?b=x%20y&a=1&a=2",
                          {{"X-Thing", "one"}, {"x-thing", "two"}, {"Content-Encoding", "gzip"}},
                          compressed, "application/json"));
  ASSERT_TRUE(client.Put("/plain", "as is", "text/plain"));

  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& posted = requests[0];
  EXPECT_EQ(posted.method, "POST");
  EXPECT_EQ(posted.path, "/v1/events");
  EXPECT_EQ(posted.query, "b=x%20y&a=1&a=2");
  EXPECT_EQ(posted.queryItems, (std::map<std::string, std::string>{{"a", "1"}, {"b", "x y"}}));
  EXPECT_EQ(posted.header("X-THING"), "one, two");
  EXPECT_EQ(posted.header("content-encoding"), "gzip");
  EXPECT_EQ(posted.header("Content-Type"), "application/json");
  EXPECT_EQ(posted.header("REMOTE_ADDR"), std::nullopt);
  EXPECT_EQ(posted.body, compressed);
  EXPECT_EQ(posted.inflatedBody, "{\"event\":1}");

  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(requests[1].body, "as is");
  EXPECT_EQ(requests[1].inflatedBody, "as is");
}

TEST(FakeServiceTest, AnswersFromTheScriptInOrderAndKeepsTheLast) {
  FakeService service;
  service.on("GET", "/config", {.status = 503, .headers = {{"Retry-After", "1"}}});
  service.on("GET", "/config",
             {.status = 200, .headers = {{"Content-Type", "application/json"}}, .body = "{}"});
  service.on("GET", "/moved", FakeService::Response::redirect("/config", 301));
  auto client = rawClient(service);

  auto first = client.Get("/config");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 503);
  EXPECT_EQ(first->get_header_value("Retry-After"), "1");
  for (int i = 0; i < 2; ++i) {
    auto later = client.Get("/config");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->status, 200);
    EXPECT_EQ(later->body, "{}");
    EXPECT_EQ(later->get_header_value("Content-Type"), "application/json");
  }
  auto moved = client.Get("/moved");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->status, 301);
  EXPECT_EQ(moved->get_header_value("Location"), "/config");

  auto unscripted = client.Post("/config", "", "text/plain");
  ASSERT_TRUE(unscripted);
  EXPECT_EQ(unscripted->status, 404);
  EXPECT_EQ(unscripted->body, "");
}

TEST(FakeServiceTest, NeverCompressesOnItsOwn) {
  FakeService service;
  const std::string text(4096, 'a');
  service.on("GET", "/text", {.headers = {{"Content-Type", "application/json"}}, .body = text});
  service.on("GET", "/gzipped", {.headers = {{"Content-Encoding", "gzip"}}, .body = gzip(text)});
  auto client = rawClient(service);
  const httplib::Headers acceptsCompression{{"Accept-Encoding", "gzip, deflate, br"}};

  auto plain = client.Get("/text", acceptsCompression);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->has_header("Content-Encoding"));
  EXPECT_EQ(plain->body, text);

  auto scripted = client.Get("/gzipped", acceptsCompression);
  ASSERT_TRUE(scripted);
  EXPECT_EQ(scripted->get_header_value("Content-Encoding"), "gzip");
  EXPECT_EQ(scripted->body, gzip(text));
}

TEST(FakeServiceTest, DropsTheConnectionWithoutAnswering) {
  FakeService service;
  service.on("GET", "/drop", {.dropConnection = true});
  auto client = rawClient(service);
  auto result = client.Get("/drop");
  EXPECT_FALSE(result);
  EXPECT_EQ(service.requests().size(), 1u);
}

TEST(FakeServiceTest, DestructionCutsDelaysShort) {
  std::optional<FakeService> service;
  service.emplace();
  service->on("GET", "/slow", {.body = "late", .delaySeconds = 600});
  EXPECT_FALSE(service->waitForRequests(1, 0.01));

  std::thread caller([client = rawClient(*service)]() mutable { client.Get("/slow"); });
  ASSERT_TRUE(service->waitForRequests(1));
  const auto start = std::chrono::steady_clock::now();
  service.reset();
  // Far below the scripted delay: the waiting answer was abandoned.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  caller.join();
}

}  // namespace
}  // namespace testing_support
