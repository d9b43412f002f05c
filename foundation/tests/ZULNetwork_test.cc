#include "foundation/ZULNetwork.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/ZULGzip.h"
#include "foundation/tests/log_capture.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "tests/support/fake_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"

namespace {

using testing::HasSubstr;
using testing_support::FakeService;

struct Outcome {
  int calls = 0;
  std::optional<platform::HTTPURLResponse> response;
  std::optional<platform::Data> data;
  platform::ErrorPtr error;
};

class ZULNetworkTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override {
    network_ = ZULNetwork::initWithReachabilityHost("127.0.0.1");
    ASSERT_NE(network_, nullptr);
  }

  ZULNetwork::CompletionHandler record() {
    return [this](std::optional<platform::HTTPURLResponse> response,
                  std::optional<platform::Data> data, platform::ErrorPtr error) {
      ++outcome_.calls;
      outcome_.response = std::move(response);
      outcome_.data = std::move(data);
      outcome_.error = std::move(error);
    };
  }

  // Runs what the main queue already holds, so a second call would have been made.
  void drainMainQueue() {
    bool drained = false;
    platform::Queue::main()->async([&] { drained = true; });
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return drained; }));
  }

  void waitForOutcome() {
    ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return outcome_.calls > 0; }));
    drainMainQueue();
    EXPECT_EQ(outcome_.calls, 1);
  }

  std::filesystem::path networkDirectory() const {
    return platform::applicationSupportDirectory() / "ZUL/Network/ZULNetworkTemporaryDirectory";
  }

  FakeService service_;
  std::shared_ptr<ZULNetwork> network_;
  Outcome outcome_;
};

TEST_F(ZULNetworkTest, PostSendsTheGzippedPayloadWithItsHeaders) {
  service_.on("POST", "/upload", {.status = 200, .body = "accepted"});
  struct Case {
    std::string payload;
  } cases[] = {{"event=1&name=launch"}, {""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    outcome_ = {};
    const auto before = service_.requests().size();
    auto sessionID =
        network_->postURL(service_.baseURL() + "/upload", {{"X-Caller", "tests"}},
                          platform::Data::fromString(c.payload), nullptr, false, record());
    ASSERT_TRUE(sessionID);
    EXPECT_THAT(*sessionID, testing::StartsWith("com.zul.network.background-upload-"));
    EXPECT_TRUE(network_->hasUploadInProgress());
    waitForOutcome();
    EXPECT_FALSE(network_->hasUploadInProgress());

    ASSERT_EQ(service_.requests().size(), before + 1);
    const auto request = service_.requests().back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("Content-Encoding"), "gzip");
    EXPECT_EQ(request.header("X-Caller"), "tests");
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    EXPECT_EQ(request.inflatedBody, c.payload);
    if (c.payload.empty()) {
      EXPECT_EQ(request.body, "");
    }

    ASSERT_TRUE(outcome_.response);
    EXPECT_EQ(outcome_.response->statusCode, 200);
    ASSERT_TRUE(outcome_.data);
    EXPECT_EQ(outcome_.data->toString(), "accepted");
    EXPECT_EQ(outcome_.error, nullptr);
  }
}

// Random bytes do not shrink under gzip, so the body on the wire is larger than the payload:
// well past the loopback service's default limit for form bodies.
TEST_F(ZULNetworkTest, LargeIncompressiblePayloadArrivesWhole) {
  const auto payload = platform::crypto::randomBytes(64 * 1024);
  service_.on("POST", "/upload", {.status = 200});
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "spooled" : "from memory");
    outcome_ = {};
    const auto before = service_.requests().size();
    ASSERT_TRUE(
        network_->postURL(service_.baseURL() + "/upload", payload, nullptr, background, record()));
    waitForOutcome();
    ASSERT_TRUE(outcome_.response);
    EXPECT_EQ(outcome_.response->statusCode, 200);
    ASSERT_EQ(service_.requests().size(), before + 1);
    const auto request = service_.requests().back();
    EXPECT_GT(request.body.size(), payload.size());
    EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
    // Compared whole without printing 64 KB on failure.
    EXPECT_EQ(request.inflatedBody.size(), payload.size());
    EXPECT_TRUE(request.inflatedBody == payload.toString());
  }
}

TEST_F(ZULNetworkTest, GetIsPlainAndAnswersOnTheCallersQueue) {
  service_.on("GET", "/config", {.status = 200, .body = "{}"});
  auto queue = platform::Queue::serial("caller");
  std::atomic<bool> onCaller{false};
  std::atomic<int> calls{0};
  std::string body;
  network_->getURL(service_.baseURL() + "/config", {{"Accept", "text/plain"}}, queue, false,
                   [&](auto, std::optional<platform::Data> data, platform::ErrorPtr error) {
                     onCaller = platform::Queue::currentLabel() == "caller";
                     body = data ? data->toString() : "";
                     EXPECT_EQ(error, nullptr);
                     ++calls;
                   });
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return calls.load() > 0; }));
  queue->sync([] {});
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onCaller);
  EXPECT_EQ(body, "{}");
  const auto request = service_.requests().at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.header("Accept"), "text/plain");
  EXPECT_EQ(request.header("Content-Encoding"), std::nullopt);
  EXPECT_EQ(request.body, "");
}

TEST_F(ZULNetworkTest, FollowsSeeOtherButRefusesTemporaryRedirect) {
  service_.on("GET", "/final", {.status = 200, .body = "final"});
  struct Case {
    int status;
    long expectedStatus;
    bool followed;
  } cases[] = {{303, 200, true}, {307, 307, false}, {302, 302, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    outcome_ = {};
    const std::string path = "/moved" + std::to_string(c.status);
    service_.on("GET", path, FakeService::Response::redirect("/final", c.status));
    const auto before = service_.requests().size();
    network_->getURL(service_.baseURL() + path, {}, nullptr, false, record());
    waitForOutcome();
    ASSERT_TRUE(outcome_.response);
    EXPECT_EQ(outcome_.response->statusCode, c.expectedStatus);
    EXPECT_EQ(service_.requests().size(), before + (c.followed ? 2 : 1));
  }
}

TEST_F(ZULNetworkTest, APostSentOnBySeeOtherBecomesAPlainGet) {
  service_.on("POST", "/upload", FakeService::Response::redirect("/done", 303));
  service_.on("GET", "/done", {.status = 200, .body = "done"});
  network_->postURL(service_.baseURL() + "/upload", platform::Data::fromString("a=1&b=2"), nullptr,
                    false, record());
  waitForOutcome();
  ASSERT_TRUE(outcome_.response);
  EXPECT_EQ(outcome_.response->statusCode, 200);
  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 2u);
  const FakeService::Request& get = requests[1];
  EXPECT_EQ(get.method, "GET");
  EXPECT_TRUE(get.body.empty());
  // The body's length, type and encoding stayed with the POST: a server waiting for the
  // announced bytes would otherwise hang.
  for (const char* field : {"Content-Length", "Content-Type", "Content-Encoding"}) {
    EXPECT_EQ(get.header(field), std::nullopt) << field;
  }
}

TEST_F(ZULNetworkTest, SchemesIgnoreCaseAndTheTimeoutIsTheClients) {
  service_.on("GET", "/slow", {.status = 200, .delaySeconds = 1.5});
  service_.on("GET", "/quick", {.status = 200});
  const std::string upper = "HTTP" + service_.baseURL().substr(4);
  network_->getURL(upper + "/quick", {}, nullptr, false, record());
  waitForOutcome();
  ASSERT_TRUE(outcome_.response);
  EXPECT_EQ(outcome_.response->statusCode, 200);

  // 0 means the default (60 s): a slow answer still arrives; a short one set here fails it.
  network_->setTimeoutInterval(0);
  outcome_ = {};
  network_->getURL(service_.baseURL() + "/slow", {}, nullptr, false, record());
  waitForOutcome();
  ASSERT_TRUE(outcome_.response);
  network_->setTimeoutInterval(0.5);
  outcome_ = {};
  network_->getURL(service_.baseURL() + "/slow", {}, nullptr, false, record());
  waitForOutcome();
  ASSERT_NE(outcome_.error, nullptr);
  EXPECT_EQ(outcome_.error->domain(), platform::kURLErrorDomain);
  EXPECT_EQ(outcome_.error->code(), platform::URLErrorTimedOut);
}

TEST_F(ZULNetworkTest, BackgroundPostSpoolsToAFileItRemovesAfterwards) {
  const auto folder = networkDirectory();
  std::atomic<bool> spooled{false};
  std::atomic<bool> privately{false};
  service_.respond("POST", "/upload", [&](const FakeService::Request&) {
    const auto entries = platform::contentsOfDirectory(folder, false);
    spooled = entries && entries->size() == 1 &&
              entries->front().filename().string().starts_with("ZULUpload_temp_");
    // Request bodies are the user's: only they may read the spool or list its folder.
    privately =
        spooled &&
        std::filesystem::status(entries->front()).permissions() == std::filesystem::perms(0600) &&
        std::filesystem::status(folder).permissions() == std::filesystem::perms(0700);
    return FakeService::Response{.status = 200};
  });
  auto sessionID =
      network_->postURL(service_.baseURL() + "/upload", platform::Data::fromString("payload"),
                        nullptr, true, record());
  ASSERT_TRUE(sessionID);
  waitForOutcome();
  EXPECT_TRUE(spooled);
  EXPECT_TRUE(privately);
  EXPECT_FALSE(platform::fileExists(folder / ("ZULUpload_temp_" + *sessionID)));
  EXPECT_EQ(service_.requests().at(0).inflatedBody, "payload");
}

TEST_F(ZULNetworkTest, BackgroundPostUploadsFromMemoryWhenItCannotSpool) {
  // A file where the spool folder belongs: the folder can be neither found nor made.
  const auto folder = networkDirectory();
  ASSERT_TRUE(platform::createDirectory(folder.parent_path(), true));
  ASSERT_TRUE(platform::writeFileAtomically(folder, platform::Data::fromString("x")));
  service_.on("POST", "/upload", {.status = 200});
  network_->postURL(service_.baseURL() + "/upload", platform::Data::fromString("payload"), nullptr,
                    true, record());
  waitForOutcome();
  ASSERT_TRUE(outcome_.response);
  EXPECT_EQ(service_.requests().at(0).inflatedBody, "payload");
}

TEST_F(ZULNetworkTest, RequestFailuresReachTheHandlerOnceWithTheirCode) {
  const auto failing = [](const platform::Data&, platform::ErrorPtr* error) {
    *error = platform::makeError(kZULNSDataZlibErrorDomain, ZULNSDataZlibErrorInternal);
    return std::optional<platform::Data>();
  };
  const auto silent = [](const platform::Data&, platform::ErrorPtr*) {
    return std::optional<platform::Data>();
  };
  const std::string upload = service_.baseURL() + "/upload";
  struct Case {
    const char* name;
    bool post;
    std::string url;
    platform::HTTPHeaderFields headers;
    ZULNetwork::PayloadCompressor compressor;
    std::int64_t code;
    std::string context;
  } cases[] = {
      {"empty URL, POST", true, "", {}, nullptr, 1, "Failed to create network request"},
      {"empty URL, GET", false, "", {}, nullptr, 1, "Failed to create network request"},
      // No task can carry this scheme: error 2 only, never a second call with error 4.
      {"no task", true, "ftp://127.0.0.1/file", {}, nullptr, 2, "Cannot create network session"},
      {"gzip fails", true, upload, {}, failing, 3, "Failed to create network request"},
      {"gzip yields nothing", true, upload, {}, silent, 3, "Failed to create network request"},
      {"line break in a value",
       true,
       upload,
       {{"X-Caller", "a\r\nX-Injected: yes"}},
       nullptr,
       4,
       "Failed to create network request"},
      {"space in a name",
       false,
       upload,
       {{"X Caller", "a"}},
       nullptr,
       4,
       "Failed to create network request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    outcome_ = {};
    network_->setPayloadCompressorForTesting(c.compressor);
    const auto sessionID =
        c.post ? network_->postURL(c.url, c.headers, platform::Data::fromString("x"), nullptr,
                                   false, record())
               : network_->getURL(c.url, c.headers, nullptr, false, record());
    EXPECT_FALSE(sessionID);
    waitForOutcome();
    ASSERT_NE(outcome_.error, nullptr);
    EXPECT_EQ(outcome_.error->domain(), "com.zul.network.ErrorDomain");
    EXPECT_EQ(outcome_.error->code(), c.code);
    EXPECT_EQ(*outcome_.error->userInfo()["Context"].asString(), c.context);
    EXPECT_FALSE(outcome_.response);
    EXPECT_FALSE(outcome_.data);
    EXPECT_FALSE(network_->hasUploadInProgress());
    // The session reports error 2 itself, without the client's line.
    const auto code = std::to_string(c.code);
    EXPECT_EQ(log.contains("[I-NET900002] <Rerora/Utilities/Network/WARNING> Failed to create "
                           "network request. Code, error: " +
                           code + ", Error Domain=com.zul.network.ErrorDomain Code=" + code),
              c.code != 2);
  }
  EXPECT_THAT(service_.requests(), testing::IsEmpty());
}

TEST_F(ZULNetworkTest, ConnectionFailureIsPassedOnAndLogged) {
  LogCapture log;
  int port = 0;
  {
    FakeService closed;
    port = closed.port();
  }
  network_->getURL("http://127.0.0.1:" + std::to_string(port) + "/", {}, nullptr, false, record());
  waitForOutcome();
  ASSERT_NE(outcome_.error, nullptr);
  EXPECT_EQ(outcome_.error->domain(), platform::kURLErrorDomain);
  EXPECT_TRUE(log.contains("[I-NET901017] <Rerora/Utilities/Network/ERROR> Encounter network "
                           "error. Code, error: -1004"));
}

TEST_F(ZULNetworkTest, SessionReportsAnEmptyOutcomeOnceAsError5) {
  service_.on("GET", "/slow", {.status = 200, .delaySeconds = 0.3});
  auto session = ZULNetworkURLSession::initWithNetworkLoggerDelegate(network_);
  int calls = 0;
  platform::ErrorPtr error;
  platform::URLRequest request(service_.baseURL() + "/slow");
  auto sessionID = session->sessionIDFromAsyncGETRequest(
      request, [&](auto, auto, const std::string&, platform::ErrorPtr e) {
        ++calls;
        error = e;
      });
  ASSERT_TRUE(sessionID);
  EXPECT_EQ(ZULNetworkURLSession::sessionFromFetcherMapForSessionID(*sessionID), session);
  session->didCompleteWithError(std::nullopt, std::nullopt, nullptr);
  EXPECT_EQ(ZULNetworkURLSession::sessionFromFetcherMapForSessionID(*sessionID), nullptr);
  ASSERT_TRUE(service_.waitForRequests(1));
  // The real answer arrives later and must not call the handler again.
  bool late = false;
  platform::Queue::main()->after(0.6, [&] { late = true; });
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return late; }));
  EXPECT_EQ(calls, 1);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 5);
  EXPECT_EQ(*error->userInfo()["Context"].asString(), "Network Error: Empty network response");
}

TEST_F(ZULNetworkTest, PrintsByLevelAndDebugMode) {
  struct Case {
    bool debug;
    int level;
    std::optional<std::string> message;
    std::vector<platform::Value> contexts;
    std::optional<std::string> printed;
  } cases[] = {
      {false, 7, "quiet", {}, std::nullopt},
      {false, 5, "notice", {}, std::nullopt},
      {false, 6, "info", {}, "<Rerora/Utilities/Network/INFO> info"},
      {true, 7, "loud", {}, "<Rerora/Utilities/Network/DEBUG> loud"},
      {false, 3, std::nullopt, {}, "<Rerora/Utilities/Network/ERROR> (Message was nil)"},
      {false, 4, "", {}, "<Rerora/Utilities/Network/WARNING> (Message was empty)"},
      {false,
       3,
       "Parts",
       {platform::Value("a"), platform::Value(), platform::Value(std::int64_t{7})},
       "<Rerora/Utilities/Network/ERROR> Parts: a, (nil), 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.value_or("nil"));
    LogCapture log;
    network_->setIsDebugModeEnabled(c.debug);
    network_->ZULNetwork_logWithLevel(c.level, 901999, c.message, c.contexts);
    const auto lines = log.lines();
    if (!c.printed) {
      // Only this message's lines count: a reachability monitor of an earlier test in the same
      // process may still be logging.
      EXPECT_THAT(lines, testing::Not(testing::Contains(HasSubstr(*c.message))));
      continue;
    }
    EXPECT_THAT(lines, testing::Contains(*c.printed));
    // The coded copy goes through the SDK logger, whose own level (notice) stops the rest.
    if (c.level <= 4) {
      EXPECT_THAT(lines, testing::Contains(HasSubstr("[ZULNetwork][I-NET901999] " + *c.printed)));
    }
  }
}

class RecordingLogger : public ZULNetworkLoggerDelegate {
 public:
  void ZULNetwork_logWithLevel(int, std::int64_t code, std::optional<std::string>,
                               std::vector<platform::Value>) override {
    codes.push_back(code);
  }
  void ZULNetwork_logWithLevel(int level, std::int64_t code, std::optional<std::string> message,
                               platform::Value context) override {
    ZULNetwork_logWithLevel(level, code, message, std::vector<platform::Value>{context});
  }
  void ZULNetwork_logWithLevel(int level, std::int64_t code,
                               std::optional<std::string> message) override {
    ZULNetwork_logWithLevel(level, code, message, std::vector<platform::Value>{});
  }
  std::vector<std::int64_t> codes;
};

TEST_F(ZULNetworkTest, LoggerDelegateTakesTheLinesAndANullOneIsRefused) {
  auto logger = std::make_shared<RecordingLogger>();
  network_->setLoggerDelegate(logger);
  LogCapture log;
  network_->setLoggerDelegate(nullptr);
  EXPECT_EQ(network_->loggerDelegate(), logger);
  EXPECT_TRUE(log.contains("[ZULNetwork][I-NET900002] Cannot set the network logger delegate: "
                           "delegate does not conform to the network logger protocol."));

  service_.on("POST", "/upload", {.status = 200});
  network_->postURL(service_.baseURL() + "/upload", platform::Data::fromString("x"), nullptr, false,
                    record());
  waitForOutcome();
  EXPECT_THAT(logger->codes, testing::Contains(900000));
  EXPECT_FALSE(log.contains("Uploading data"));
}

TEST_F(ZULNetworkTest, BackgroundEventsOfThisClientRunTheSystemHandlerOnce) {
  int ours = 0;
  int foreign = 0;
  const std::string id = "com.zul.network.background-upload-relaunched";
  ZULNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ++ours; });
  ZULNetwork::handleEventsForBackgroundURLSessionID("com.other.upload", [&] { ++foreign; });
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return ours > 0; }));
  drainMainQueue();
  EXPECT_EQ(ours, 1);
  EXPECT_EQ(foreign, 0);

  // A live session keeps the handler until its task completes.
  service_.on("POST", "/upload", {.status = 200, .delaySeconds = 0.2});
  auto sessionID = network_->postURL(service_.baseURL() + "/upload",
                                     platform::Data::fromString("x"), nullptr, true, record());
  ASSERT_TRUE(sessionID);
  int live = 0;
  ZULNetwork::handleEventsForBackgroundURLSessionID(*sessionID, [&] { ++live; });
  drainMainQueue();
  EXPECT_EQ(live, 0);
  waitForOutcome();
  ASSERT_TRUE(testing_support::pumpMainQueueUntil([&] { return live > 0; }));
  EXPECT_EQ(live, 1);
}

class CountingReachabilityDelegate : public ZULNetworkReachabilityDelegate {
 public:
  void reachabilityDidChange() override { ++changes; }
  int changes = 0;
};

TEST_F(ZULNetworkTest, FollowsTheReachabilityStatus) {
  auto delegate = std::make_shared<CountingReachabilityDelegate>();
  network_->setReachabilityDelegate(delegate);
  network_->reachability(nullptr, ZULReachabilityStatusConnected);
  EXPECT_TRUE(network_->isNetworkConnected());
  network_->reachability(nullptr, ZULReachabilityStatusDisconnected);
  EXPECT_FALSE(network_->isNetworkConnected());
  EXPECT_EQ(delegate->changes, 2);
}

}  // namespace
