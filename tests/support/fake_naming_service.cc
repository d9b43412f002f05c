#include "tests/support/fake_naming_service.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "platform/json.h"
#include "platform/text.h"

namespace testing_support {
namespace {

constexpr std::size_t kRuleWords = 3;
constexpr std::size_t kRuleWordLength = 20;

platform::Dictionary bodyOf(const FakeService::Request& request) {
  const std::optional<platform::Value> body = platform::json::parse(request.inflatedBody);
  const platform::Dictionary* fields = body ? body->asDictionary() : nullptr;
  return fields ? *fields : platform::Dictionary();
}

// The strings of a JSON array body; empty for any other body.
std::vector<std::string> pathsOf(const FakeService::Request& request) {
  std::vector<std::string> paths;
  const std::optional<platform::Value> body = platform::json::parse(request.inflatedBody);
  const platform::Array* items = body ? body->asArray() : nullptr;
  if (!items) return paths;
  for (const platform::Value& item : *items) {
    const std::string* path = item.asString();
    if (!path) return {};
    paths.push_back(*path);
  }
  return paths;
}

std::string stringField(const platform::Dictionary& body, const char* key) {
  const std::string* value = body[key].asString();
  return value ? *value : std::string();
}

bool isWordByte(unsigned char byte) { return byte >= 0x80 || std::isalnum(byte); }

// Runs of letters and digits, each shortened and capitalised.
std::vector<std::string> wordsOf(const std::string& text, std::size_t count) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size() && words.size() < count) {
    while (i < text.size() && !isWordByte(static_cast<unsigned char>(text[i]))) ++i;
    const std::size_t start = i;
    while (i < text.size() && isWordByte(static_cast<unsigned char>(text[i]))) ++i;
    if (i == start) break;
    std::string word = text.substr(start, i - start);
    if (platform::text::isValidUTF8(word)) {
      word = platform::text::characterPrefix(word, kRuleWordLength);
    } else {
      word = word.substr(0, kRuleWordLength);
    }
    word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    words.push_back(std::move(word));
  }
  return words;
}

std::string joined(std::string first, const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (!first.empty()) first += "_";
    first += word;
  }
  return first;
}

}  // namespace

struct FakeNamingService::State {
  struct Script {
    std::string path;
    BodyMatcher matcher;
    Response response;
    std::optional<std::size_t> remaining;
    bool held = false;
  };

  std::mutex mutex;
  std::condition_variable releasedOrStopping;
  std::vector<Script> scripts;  // newest last
  double ruleDelay = 0;
  bool released = false;
  bool stopping = false;
};

FakeNamingService::FakeNamingService() : state_(std::make_unique<State>()) {
  service_.respond("POST", kRenamePath,
                   [this](const Request& request) { return answerRename(request); });
  service_.respond("POST", kReorgPath,
                   [this](const Request& request) { return answerReorg(request); });
}

FakeNamingService::~FakeNamingService() {
  // Held answers wake up before the service joins the threads that wait on them.
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->releasedOrStopping.notify_all();
}

void FakeNamingService::scriptRename(BodyMatcher matcher, Response response,
                                     std::optional<std::size_t> times) {
  std::lock_guard lock(state_->mutex);
  state_->scripts.push_back({kRenamePath, std::move(matcher), std::move(response), times});
}

void FakeNamingService::holdRename(BodyMatcher matcher, Response response,
                                   std::optional<std::size_t> times) {
  std::lock_guard lock(state_->mutex);
  state_->scripts.push_back({kRenamePath, std::move(matcher), std::move(response), times, true});
}

void FakeNamingService::scriptReorg(Response response, std::optional<std::size_t> times) {
  std::lock_guard lock(state_->mutex);
  state_->scripts.push_back({kReorgPath, anyRequest(), std::move(response), times});
}

void FakeNamingService::holdReorg(Response response, std::optional<std::size_t> times) {
  std::lock_guard lock(state_->mutex);
  state_->scripts.push_back({kReorgPath, anyRequest(), std::move(response), times, true});
}

void FakeNamingService::release() {
  {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
  }
  state_->releasedOrStopping.notify_all();
}

void FakeNamingService::setRuleDelay(double seconds) {
  std::lock_guard lock(state_->mutex);
  state_->ruleDelay = seconds;
}

FakeNamingService::BodyMatcher FakeNamingService::textContains(std::string fragment) {
  return [fragment = std::move(fragment)](const platform::Dictionary& body) {
    const std::string* text = body["text"].asString();
    return text && text->find(fragment) != std::string::npos;
  };
}

FakeNamingService::BodyMatcher FakeNamingService::imagePathIs(std::string path) {
  return [path = std::move(path)](const platform::Dictionary& body) {
    const std::string* imagePath = body["image_path"].asString();
    return imagePath && *imagePath == path;
  };
}

FakeNamingService::BodyMatcher FakeNamingService::anyRequest() {
  return [](const platform::Dictionary&) { return true; };
}

FakeNamingService::Response FakeNamingService::filename(const std::string& name) {
  return json(*platform::json::write(platform::Dictionary{{"filename", name}}));
}

FakeNamingService::Response FakeNamingService::json(std::string body, int status) {
  Response response;
  response.status = status;
  response.headers.emplace_back("Content-Type", "application/json");
  response.body = std::move(body);
  return response;
}

std::string FakeNamingService::ruleName(const platform::Dictionary& body) {
  if (stringField(body, "file_type") == "image") {
    const std::string stem =
        std::filesystem::path(stringField(body, "image_path")).filename().stem().string();
    return joined("Image", wordsOf(stem, kRuleWords));
  }
  const std::string name = joined("", wordsOf(stringField(body, "text"), kRuleWords));
  return name.empty() ? "Text" : name;
}

std::vector<platform::Dictionary> FakeNamingService::renameBodies() const {
  std::vector<platform::Dictionary> bodies;
  for (const Request& request : service_.requests()) {
    if (request.path == kRenamePath) bodies.push_back(bodyOf(request));
  }
  return bodies;
}

std::vector<std::vector<std::string>> FakeNamingService::reorgBodies() const {
  std::vector<std::vector<std::string>> bodies;
  for (const Request& request : service_.requests()) {
    if (request.path == kReorgPath) bodies.push_back(pathsOf(request));
  }
  return bodies;
}

std::string FakeNamingService::ruleTree(const std::vector<std::string>& paths) {
  struct Group {
    std::string extension;
    platform::Array files;
    std::set<std::string> names;
  };
  std::vector<Group> groups;
  for (const std::string& path : paths) {
    const std::filesystem::path file(path);
    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension.empty()) extension = "no extension";
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const Group& g) { return g.extension == extension; });
    if (group == groups.end()) group = groups.insert(groups.end(), Group{extension, {}, {}});
    std::string name = file.filename().string();
    for (int counter = 2; !group->names.insert(name).second; ++counter) {
      name =
          file.stem().string() + " (" + std::to_string(counter) + ")" + file.extension().string();
    }
    group->files.push_back(platform::Dictionary{
        {"type", "file"}, {"sourcePath", path}, {"newPath", extension + "/" + name}});
  }
  platform::Array contents;
  for (Group& group : groups) {
    contents.push_back(platform::Dictionary{
        {"type", "folder"}, {"folderName", group.extension}, {"contents", std::move(group.files)}});
  }
  return *platform::json::write(platform::Dictionary{
      {"folderName", "root"}, {"type", "folder"}, {"contents", std::move(contents)}});
}

std::optional<FakeNamingService::Response>
FakeNamingService::scriptedAnswer(const std::string& path, const platform::Dictionary& body,
                                  double* ruleDelay) {
  std::unique_lock lock(state_->mutex);
  for (auto it = state_->scripts.rbegin(); it != state_->scripts.rend(); ++it) {
    if (it->path != path || it->remaining == std::size_t{0} || !it->matcher(body)) continue;
    if (it->remaining) --*it->remaining;
    Response response = it->response;
    if (it->held) {
      state_->releasedOrStopping.wait(lock,
                                      [this] { return state_->released || state_->stopping; });
      if (state_->stopping) response.dropConnection = true;
    }
    return response;
  }
  *ruleDelay = state_->ruleDelay;
  return std::nullopt;
}

FakeNamingService::Response FakeNamingService::answerRename(const Request& request) {
  const platform::Dictionary body = bodyOf(request);
  double delay = 0;
  if (std::optional<Response> scripted = scriptedAnswer(kRenamePath, body, &delay)) {
    return *scripted;
  }
  Response response = filename(ruleName(body));
  response.delaySeconds = delay;
  return response;
}

FakeNamingService::Response FakeNamingService::answerReorg(const Request& request) {
  double delay = 0;
  if (std::optional<Response> scripted = scriptedAnswer(kReorgPath, {}, &delay)) {
    return *scripted;
  }
  Response response = json(ruleTree(pathsOf(request)));
  response.delaySeconds = delay;
  return response;
}

}  // namespace testing_support
