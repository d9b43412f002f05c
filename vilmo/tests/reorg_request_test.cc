#include "vilmo/reorg/ReorgRequest.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/reorg_fixtures.h"

namespace {

using Path = std::filesystem::path;
using testing_support::FakeNamingService;

platform::HTTPURLResponse responseWithStatus(long status) {
  platform::HTTPURLResponse response;
  response.statusCode = status;
  return response;
}

// The relative paths of the files of a tree, each with the folder it stands in.
std::vector<std::string> placedFiles(const VirtualFolder& root) {
  std::vector<std::string> placed;
  std::function<void(const VirtualSubFolder&)> walk = [&](const VirtualSubFolder& folder) {
    for (const auto& file : folder.files()) {
      placed.push_back(folder.relativePath() + ": " + file->relativePath());
    }
    for (const auto& child : folder.subFolders()) walk(*child);
  };
  for (const auto& file : root.files()) placed.push_back(": " + file->relativePath());
  for (const auto& folder : root.subFolders()) walk(*folder);
  return placed;
}

class ReorgRequestTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { setenv("VILMO_NAMING_SERVICE_URL", service_.baseURL().c_str(), 1); }
  void TearDown() override { unsetenv("VILMO_NAMING_SERVICE_URL"); }

  std::shared_ptr<VirtualFolder> scan(const std::vector<std::string>& entries) {
    reorg_fixtures::makeTree(folder_, entries);
    return scanFolder(folder_);
  }

  // Sends the scanned tree's paths and waits for the outcome.
  ReorgOutcome send(const std::shared_ptr<VirtualFolder>& scanned) {
    std::vector<std::string> paths;
    scanned->collectRelativePaths(paths);
    std::optional<platform::URLRequest> request = makeReorgRequest(paths);
    EXPECT_TRUE(request.has_value());
    auto outcome = std::make_shared<std::optional<ReorgOutcome>>();
    sendReorgRequest(std::move(*request), scanned, [outcome](ReorgOutcome result) {
      platform::Queue::main()->async([outcome, result] { *outcome = result; });
    });
    EXPECT_TRUE(testing_support::pumpMainQueueUntil([&] { return outcome->has_value(); }));
    return outcome->value_or(ReorgOutcome{});
  }

  FakeNamingService service_;
  Path folder_ = home_.path() / "Docs";
};

TEST_F(ReorgRequestTest, BodyIsTheCompactArrayOfRelativePaths) {
  struct Case {
    std::vector<std::string> paths;
    std::string body;
  } cases[] = {
      {{}, "[]"},
      {{"a.txt"}, R"(["a.txt"])"},
      {{"a.txt", "Invoices/2023/x.pdf", "naïve \"q\".md"},
       R"(["a.txt","Invoices\/2023\/x.pdf","naïve \"q\".md"])"},
  };
  for (const Case& c : cases) {
    const std::optional<platform::Data> body = reorgRequestBody(c.paths);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(body->toString(), c.body);
  }
  EXPECT_FALSE(reorgRequestBody({"bad\xff"}).has_value());
}

TEST_F(ReorgRequestTest, RequestPostsThePathsWithOnlyTheContentType) {
  const auto scanned = scan({"top.txt", "Invoices/x.pdf", "Invoices/Old/y.PDF", ".hidden"});
  testing::internal::CaptureStdout();
  const ReorgOutcome outcome = send(scanned);
  const std::string console = testing::internal::GetCapturedStdout();

  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/Vilmo_Reorg");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].header("Authorization"), std::nullopt);
  std::vector<std::string> paths;
  scanned->collectRelativePaths(paths);
  ASSERT_EQ(paths.size(), 3u);
  std::string expected = "[";
  for (const std::string& path : paths) {
    if (expected.size() > 1) expected += ",";
    std::string escaped;
    for (char c : path) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    expected += "\"" + escaped + "\"";
  }
  expected += "]";
  EXPECT_EQ(requests[0].body, expected);
  EXPECT_EQ(console.substr(0, console.find('\n')), std::to_string(expected.size()) + " bytes");

  // The stand-in's rule tree groups by extension; nothing is left for "others".
  ASSERT_TRUE(outcome.succeeded);
  ASSERT_TRUE(outcome.proposedTree);
  EXPECT_EQ(outcome.proposedTree->rootURL(), folder_);
  std::vector<std::string> placed = placedFiles(*outcome.proposedTree);
  std::sort(placed.begin(), placed.end());
  EXPECT_EQ(placed,
            (std::vector<std::string>{"pdf: pdf/x.pdf", "pdf: pdf/y.PDF", "txt: txt/top.txt"}));

  const std::optional<platform::URLRequest> request = makeReorgRequest({});
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->timeoutInterval, 600);
  EXPECT_EQ(request->headers.size(), 1u);
}

TEST_F(ReorgRequestTest, EveryFailureWritesItsLinesAndEndsWithoutATree) {
  const platform::ErrorPtr error =
      platform::makeError(platform::kURLErrorDomain, platform::URLErrorCannotConnectToHost,
                          {{"NSLocalizedDescription", "Could not connect to the server."}});
  const std::string failed = "Request failed with error: " + error->localizedDescription() + "\n";
  struct Case {
    const char* name;
    std::optional<platform::Data> data;
    std::optional<platform::HTTPURLResponse> response;
    platform::ErrorPtr error;
    std::string console;
  } cases[] = {
      {"error", std::nullopt, std::nullopt, error, failed},
      {"error with a response", platform::Data(), responseWithStatus(502), error,
       failed + "HTTP Response Status Code: 502\n"},
      {"no data", std::nullopt, responseWithStatus(200), nullptr,
       "Request failed: No data received.\n"},
      {"no response", platform::Data::fromString("{}"), std::nullopt, nullptr,
       "Request failed: Unable to parse HTTP response.\n"},
      {"201", platform::Data::fromString("created"), responseWithStatus(201), nullptr,
       "Request failed with status code: 201\nResponse body: created\n"},
      {"204", platform::Data(), responseWithStatus(204), nullptr,
       "Request failed with status code: 204\nResponse body: \n"},
      {"500 with bytes that are not text", platform::Data::fromString("\xff\xfe"),
       responseWithStatus(500), nullptr, "Request failed with status code: 500\n"},
  };
  const auto scanned = scan({"a.txt"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    ReorgOutcome outcome{true, scanned};
    testing::internal::CaptureStdout();
    handleReorganizeResponse(c.data, c.response, c.error, scanned, [&](ReorgOutcome result) {
      ++calls;
      outcome = result;
    });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.console);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_FALSE(outcome.proposedTree);
  }
}

TEST_F(ReorgRequestTest, AnAnswerThatDoesNotDecodeSucceedsWithoutATree) {
  const auto scanned = scan({"a.txt"});
  struct Case {
    const char* name;
    std::string body;
    bool decodes;
  } cases[] = {
      {"not JSON", "<html>", false},
      {"a bare string", R"("text")", false},
      {"contents missing", R"({"folderName":"r","type":"folder"})", false},
      {"contents of the wrong type", R"({"contents":{},"folderName":"r","type":"folder"})", false},
      {"a folder answer", R"({"contents":[],"folderName":"r","type":"folder"})", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReorgOutcome outcome;
    testing::internal::CaptureStdout();
    handleReorganizeResponse(platform::Data::fromString(c.body), responseWithStatus(200), nullptr,
                             scanned, [&](ReorgOutcome result) { outcome = result; });
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.substr(0, 8), "success\n");
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.proposedTree != nullptr, c.decodes);
    EXPECT_EQ(console.find("Failed to decode JSON response: ") != std::string::npos, !c.decodes)
        << console;
  }

  // Pretty-printed before it is decoded; without a scanned tree there is nothing to build.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(processReorganizeResult(
      platform::Data::fromString(R"({"contents":[],"folderName":"r","type":"folder"})"), nullptr));
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("{\n  \"contents\" : [],\n  \"folderName\" : \"r\","), std::string::npos)
      << console;
  EXPECT_EQ(console.find("Failed"), std::string::npos);
}

TEST(ReorgRuleTreeTest, GroupsByExtensionWithoutSendingTwoFilesToOnePlace) {
  const std::string tree = FakeNamingService::ruleTree({"a/x.PDF", "b/x.pdf", "notes", "c.txt"});
  EXPECT_EQ(tree, R"({"folderName":"root","type":"folder","contents":[)"
                  R"({"type":"folder","folderName":"pdf","contents":[)"
                  R"({"type":"file","sourcePath":"a\/x.PDF","newPath":"pdf\/x.PDF"},)"
                  R"({"type":"file","sourcePath":"b\/x.pdf","newPath":"pdf\/x.pdf"}]},)"
                  R"({"type":"folder","folderName":"no extension","contents":[)"
                  R"({"type":"file","sourcePath":"notes","newPath":"no extension\/notes"}]},)"
                  R"({"type":"folder","folderName":"txt","contents":[)"
                  R"({"type":"file","sourcePath":"c.txt","newPath":"txt\/c.txt"}]}]})");
  EXPECT_NE(FakeNamingService::ruleTree({"a/x.pdf", "b/x.pdf"}).find(R"(pdf\/x (2).pdf)"),
            std::string::npos);
}

}  // namespace
