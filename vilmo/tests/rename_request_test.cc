#include "vilmo/rename/RenameRequest.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/base64.h"
#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/run_loop.h"
#include "tests/support/fake_naming_service.h"
#include "tests/support/main_queue.h"
#include "tests/support/temp_home.h"
#include "vilmo/tests/rename_fixtures.h"

namespace {

using Path = std::filesystem::path;
using testing_support::FakeNamingService;
using testing_support::pumpMainQueueUntil;

// Sets an environment variable for its lifetime and puts the old value back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnvironment() { set(old_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_, value->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

// "/" as the request's JSON writes it.
std::string escapedSlashes(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// The outcome of one requestNewName, set on the main queue.
struct Outcome {
  bool done = false;
  std::optional<std::string> name;
};

class RenameRequestTest : public testing_support::TemporaryHomeTest {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::createDirectory(folder_, true)); }

  Path textFile(const std::string& name, const std::string& text) {
    rename_fixtures::writeFile(folder_ / name, text);
    return folder_ / name;
  }

  // Asks for one name and waits for the answer.
  std::optional<std::string> nameFor(const Path& url, const std::optional<std::string>& format,
                                     const std::string& language) {
    auto outcome = std::make_shared<Outcome>();
    requestNewName(url, format, language, [outcome](std::optional<std::string> name) {
      platform::Queue::main()->async([outcome, name] {
        outcome->name = name;
        outcome->done = true;
      });
    });
    EXPECT_TRUE(pumpMainQueueUntil([&] { return outcome->done; }));
    return outcome->name;
  }

  FakeNamingService service_;
  ScopedEnvironment serviceURL_{"VILMO_NAMING_SERVICE_URL", service_.baseURL()};
  Path folder_ = home_.path() / "files";
};

TEST(RenameLanguageTest, DefaultFollowsTheLocaleAndOtherSettingsPassThrough) {
  struct Case {
    const char* setting;
    const char* locale;
    const char* language;
  } cases[] = {
      {"Default", "fr_FR.UTF-8", "French"},  {"Default", "de_DE", "German"},
      {"Default", "zh_CN.UTF-8", "Chinese"}, {"Default", "zh", "Chinese"},
      {"Default", "en_US.UTF-8", "English"}, {"Default", "pt_BR", "English"},
      {"Default", "C", "English"},           {"Default", "", "English"},
      {"Legacy", "fr_FR", "Legacy"},         {"English", "de_DE", "English"},
      {"German", "fr_FR", "German"},         {"default", "fr_FR", "default"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " in \"" + c.locale + "\"");
    ScopedEnvironment all("LC_ALL", c.locale);
    ScopedEnvironment messages("LC_MESSAGES", std::nullopt);
    ScopedEnvironment lang("LANG", std::nullopt);
    EXPECT_EQ(resolveFilenameLanguage(c.setting), c.language);
  }
  ScopedEnvironment all("LC_ALL", "fr_CA.UTF-8");
  EXPECT_EQ(preferredLocalization(), "fr");
}

TEST_F(RenameRequestTest, TextBodyCarriesTheLanguageAndFormatAsGiven) {
  const Path url = textFile("notes.txt", "Q3 sales/report, naïve");
  const std::string text = R"("text":"Q3 sales\/report, naïve")";
  struct Case {
    const char* language;
    std::optional<std::string> format;
    std::string body;
  } cases[] = {
      {"English", "Content",
       R"({"file_type":"text","language":"English",)" + text + R"(,"custom_format":"Content"})"},
      {"Legacy", "Content_Date_Category",
       R"({"file_type":"text",)" + text + R"(,"custom_format":"Content_Date_Category"})"},
      {"French", "_Owner_Content",
       R"({"file_type":"text","language":"French",)" + text +
           R"(,"custom_format":"Owner_Content"})"},
      {"German", "__Owner",
       R"({"file_type":"text","language":"German",)" + text + R"(,"custom_format":"_Owner"})"},
      {"Chinese", std::nullopt, R"({"file_type":"text","language":"Chinese",)" + text + "}"},
  };
  service_.scriptRename(FakeNamingService::anyRequest(), FakeNamingService::filename("Sales"));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.language);
    EXPECT_EQ(nameFor(url, c.format, c.language), "Sales");
    const auto requests = service_.requests();
    ASSERT_EQ(requests.size(), i + 1);
    const auto& request = requests.back();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/rename");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Authorization"), std::nullopt);
    EXPECT_EQ(request.body, c.body);
  }
  const auto request = makeRenameRequest(url, "Content", "English");
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->timeoutInterval, 60);
  EXPECT_EQ(request->httpMethod, "POST");
}

TEST_F(RenameRequestTest, ImageBodyCarriesTheBytesAndThePath) {
  const platform::Data png =
      rename_fixtures::encodeImage(rename_fixtures::noiseImage(16, 16), "PNG");
  const Path url = folder_ / "photo.png";
  rename_fixtures::writeFile(url, png);

  EXPECT_EQ(nameFor(url, "_Content", "English"), "Image_Photo");
  const auto requests = service_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string base64 = platform::base64::encode(png);
  EXPECT_EQ(requests[0].body, R"({"file_type":"image","language":"English","image":")" +
                                  escapedSlashes(base64) + R"(","image_path":")" +
                                  escapedSlashes(url.string()) + R"(","custom_format":"Content"})");
  const auto bodies = service_.renameBodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(platform::base64::decode(*bodies[0]["image"].asString()), png);
}

TEST_F(RenameRequestTest, FileWithoutContentSendsNothingAndAnswersAtOnce) {
  rename_fixtures::writeFile(folder_ / "latin1.txt", std::string("caf\xe9 au lait"));
  for (const Path& url : {folder_ / "missing.txt", folder_ / "latin1.txt"}) {
    SCOPED_TRACE(url.filename().string());
    bool called = false;
    std::optional<std::string> name = "unset";
    requestNewName(url, "Content", "English", [&](std::optional<std::string> answer) {
      called = true;
      name = answer;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(name, std::nullopt);
  }
  EXPECT_TRUE(service_.requests().empty());
}

TEST(RenameAnswerTest, OnlyA200WithAStringFilenameGivesAName) {
  struct Case {
    const char* label;
    long status;
    std::optional<std::string> body;
    bool transportError;
    std::optional<std::string> name;
  } cases[] = {
      {"plain", 200, R"({"filename":"Q3_Summary"})", false, "Q3_Summary"},
      {"other strings ignored", 200, R"({"note":"x","filename":"A"})", false, "A"},
      {"one underscore each end", 200, R"({"filename":"_Q3_"})", false, "Q3"},
      {"two underscores each end", 200, R"({"filename":"__Q3__"})", false, "_Q3_"},
      {"inner spaces kept", 200, R"({"filename":" Q3 "})", false, " Q3 "},
      {"status 201", 201, R"({"filename":"A"})", false, std::nullopt},
      {"status 500", 500, R"({"filename":"A"})", false, std::nullopt},
      {"a number beside it", 200, R"({"filename":"A","score":1})", false, std::nullopt},
      {"a null filename", 200, R"({"filename":null})", false, std::nullopt},
      {"no filename", 200, R"({"name":"A"})", false, std::nullopt},
      {"an array", 200, R"(["A"])", false, std::nullopt},
      {"not JSON", 200, "A", false, std::nullopt},
      {"no data", 200, std::nullopt, false, std::nullopt},
      {"transport error", 200, R"({"filename":"A"})", true, std::nullopt},
      // What a row shows while it has no name, and what no file can be called, are no name.
      {"the pending placeholder", 200, R"({"filename":"Pending..."})", false, std::nullopt},
      {"the failure placeholder", 200, R"({"filename":"Error renaming"})", false, std::nullopt},
      {"a placeholder once trimmed", 200, R"({"filename":"_Pending..._"})", false, std::nullopt},
      {"a placeholder in other case", 200, R"({"filename":"pending..."})", false, "pending..."},
      {"empty", 200, R"({"filename":""})", false, std::nullopt},
      {"a single underscore", 200, R"({"filename":"_"})", false, std::nullopt},
      {"a dot", 200, R"({"filename":"."})", false, std::nullopt},
      {"two dots", 200, R"({"filename":".."})", false, std::nullopt},
      {"two dots once trimmed", 200, R"({"filename":"_.._"})", false, std::nullopt},
      {"a slash", 200, R"({"filename":"Q3/Summary"})", false, std::nullopt},
      {"a NUL", 200, R"({"filename":"Q3\u0000Summary"})", false, std::nullopt},
      {"three dots", 200, R"({"filename":"..."})", false, "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    platform::HTTPURLResponse response;
    response.statusCode = c.status;
    std::optional<platform::Data> data;
    if (c.body) data = platform::Data::fromString(*c.body);
    platform::ErrorPtr error =
        c.transportError ? platform::makeError(platform::kURLErrorDomain, -1001) : nullptr;
    int calls = 0;
    std::optional<std::string> name = "unset";
    handleRenameResponse(data, response, error, [&](std::optional<std::string> answer) {
      ++calls;
      name = answer;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(name, c.name);
  }
  int calls = 0;
  handleRenameResponse(platform::Data::fromString(R"({"filename":"A"})"), std::nullopt, nullptr,
                       [&](std::optional<std::string> answer) {
                         ++calls;
                         EXPECT_EQ(answer, std::nullopt);
                       });
  EXPECT_EQ(calls, 1);
}

TEST_F(RenameRequestTest, FailuresOnTheWireGiveNothing) {
  const Path url = textFile("a.txt", "alpha");
  FakeNamingService::Response dropped;
  dropped.dropConnection = true;
  service_.scriptRename(FakeNamingService::anyRequest(), dropped, 1);
  EXPECT_EQ(nameFor(url, "Content", "English"), std::nullopt);
  service_.scriptRename(FakeNamingService::anyRequest(),
                        FakeNamingService::json(R"({"filename":"A"})", 201), 1);
  EXPECT_EQ(nameFor(url, "Content", "English"), std::nullopt);
  // Then the rules answer again.
  EXPECT_EQ(nameFor(url, "Content", "English"), "Alpha");

  ScopedEnvironment nowhere("VILMO_NAMING_SERVICE_URL", "http://127.0.0.1:1");
  EXPECT_EQ(nameFor(url, "Content", "English"), std::nullopt);
}

TEST_F(RenameRequestTest, BatchSendsEveryRequestAtOnceAndFinishesOnTheMainQueue) {
  const std::vector<Path> urls = {textFile("a.txt", "alpha one"), textFile("b.txt", "bravo two"),
                                  folder_ / "missing.txt", textFile("c.txt", "charlie three")};
  service_.holdRename(FakeNamingService::textContains("alpha"),
                      FakeNamingService::filename("Held_Alpha"));

  struct Call {
    std::string oldName, newName;
    Path url;
  };
  struct Shared {
    std::mutex mutex;
    std::vector<Call> calls;
    std::size_t callsWhenFinished = 0;
    bool finished = false;
    bool finishedOnMainThread = false;
  };
  auto shared = std::make_shared<Shared>();
  requestNewNames(
      urls, "Content", "English",
      [shared](std::string oldName, std::string newName, Path url) {
        std::lock_guard lock(shared->mutex);
        shared->calls.push_back({oldName, newName, url});
      },
      [shared] {
        std::lock_guard lock(shared->mutex);
        shared->finished = true;
        shared->finishedOnMainThread = platform::RunLoop::isMainThread();
        shared->callsWhenFinished = shared->calls.size();
      });
  {
    // A file without content is answered before the loop moves on.
    std::lock_guard lock(shared->mutex);
    ASSERT_FALSE(shared->calls.empty());
    EXPECT_EQ(shared->calls[0].oldName, "missing.txt");
    EXPECT_EQ(shared->calls[0].newName, "Error renaming");
  }
  // The other two answers arrive while the first request is still held.
  ASSERT_TRUE(pumpMainQueueUntil([&] {
    std::lock_guard lock(shared->mutex);
    return shared->calls.size() == 3;
  }));
  EXPECT_TRUE(service_.waitForRequests(3));
  {
    std::lock_guard lock(shared->mutex);
    EXPECT_FALSE(shared->finished);
  }
  service_.release();
  ASSERT_TRUE(pumpMainQueueUntil([&] {
    std::lock_guard lock(shared->mutex);
    return shared->finished;
  }));
  std::lock_guard lock(shared->mutex);
  EXPECT_TRUE(shared->finishedOnMainThread);
  EXPECT_EQ(shared->callsWhenFinished, 4u);
  std::map<std::string, std::pair<std::string, Path>> byOldName;
  for (const Call& call : shared->calls) byOldName[call.oldName] = {call.newName, call.url};
  EXPECT_EQ(byOldName["a.txt"], std::make_pair(std::string("Held_Alpha"), urls[0]));
  EXPECT_EQ(byOldName["b.txt"], std::make_pair(std::string("Bravo_Two"), urls[1]));
  EXPECT_EQ(byOldName["missing.txt"], std::make_pair(std::string("Error renaming"), urls[2]));
  EXPECT_EQ(byOldName["c.txt"], std::make_pair(std::string("Charlie_Three"), urls[3]));
}

}  // namespace
