#include "tests/support/fake_installations_service.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/format.h"
#include "platform/json.h"

namespace testing_support {
namespace {

constexpr const char* kGenerateTokenSuffix = "/authTokens:generate";
constexpr const char* kAuthorizationPrefix = "ZIS_v2 ";

FakeService::Response jsonResponse(int status, const platform::Value& body) {
  return {.status = status,
          .headers = {{"Content-Type", "application/json"}},
          .body = platform::json::write(body).value_or("{}")};
}

FakeService::Response errorResponse(int status, const char* message) {
  platform::Dictionary error;
  error.set("code", status);
  error.set("message", message);
  platform::Dictionary body;
  body.set("error", std::move(error));
  return jsonResponse(status, body);
}

}  // namespace

struct FakeInstallationsService::State {
  // One scripted request: a response in place of the service's own, or the own one delayed.
  struct Scripted {
    std::optional<Response> response;
    double delaySeconds = 0;
  };

  mutable std::mutex mutex;
  std::map<Operation, std::deque<Scripted>> scripts;
  std::vector<Installation> installations;  // in order of registration
  std::set<std::string> routed;             // fids whose paths lead here
  std::optional<std::string> assignedFID;
  std::string tokenLifetime = kDefaultTokenLifetime;
  int issued = 0;  // tokens and identifiers made so far, for unique values

  Installation* find(const std::string& fid) {
    for (Installation& installation : installations) {
      if (installation.fid == fid) return &installation;
    }
    return nullptr;
  }
  std::string next(const char* prefix) { return platform::format("%@%d", {prefix, ++issued}); }
};

FakeInstallationsService::FakeInstallationsService(std::string projectID)
    : projectID_(std::move(projectID)), state_(std::make_unique<State>()) {
  service_.respond("POST", createPath(),
                   [this](const Request& request) { return answer(Operation::Create, request); });
}

FakeInstallationsService::~FakeInstallationsService() = default;

std::string FakeInstallationsService::createPath() const {
  return "/v1/projects/" + projectID_ + "/installations/";
}

std::string FakeInstallationsService::generateTokenPath(const std::string& fid) const {
  return createPath() + fid + kGenerateTokenSuffix;
}

std::string FakeInstallationsService::deletePath(const std::string& fid) const {
  return createPath() + fid + "/";
}

void FakeInstallationsService::script(Operation operation, Response response, std::size_t times) {
  std::lock_guard lock(state_->mutex);
  for (std::size_t i = 0; i < times; ++i) state_->scripts[operation].push_back({response, 0});
}

void FakeInstallationsService::scriptStatus(Operation operation, int status, std::size_t times) {
  script(operation, errorResponse(status, "Scripted failure."), times);
}

void FakeInstallationsService::scriptDroppedConnection(Operation operation, std::size_t times) {
  script(operation, Response{.dropConnection = true}, times);
}

void FakeInstallationsService::scriptDelay(Operation operation, double seconds, std::size_t times) {
  std::lock_guard lock(state_->mutex);
  for (std::size_t i = 0; i < times; ++i) {
    state_->scripts[operation].push_back({std::nullopt, seconds});
  }
}

void FakeInstallationsService::assignFIDAtRegistration(std::string fid) {
  std::lock_guard lock(state_->mutex);
  state_->assignedFID = std::move(fid);
}

void FakeInstallationsService::setTokenLifetime(std::string expiresIn) {
  std::lock_guard lock(state_->mutex);
  state_->tokenLifetime = std::move(expiresIn);
}

void FakeInstallationsService::addInstallation(const std::string& fid,
                                               const std::string& refreshToken,
                                               const std::string& appID) {
  {
    std::lock_guard lock(state_->mutex);
    if (Installation* known = state_->find(fid)) {
      known->refreshToken = refreshToken;
    } else {
      state_->installations.push_back({fid, appID, refreshToken, ""});
    }
  }
  serveInstallation(fid);
}

std::optional<FakeInstallationsService::Installation>
FakeInstallationsService::installation(const std::string& fid) const {
  std::lock_guard lock(state_->mutex);
  if (const Installation* known = state_->find(fid)) return *known;
  return std::nullopt;
}

std::vector<FakeInstallationsService::Installation>
FakeInstallationsService::installations() const {
  std::lock_guard lock(state_->mutex);
  return state_->installations;
}

std::vector<FakeInstallationsService::Request>
FakeInstallationsService::requests(Operation operation) const {
  std::vector<Request> matching;
  for (Request& request : service_.requests()) {
    if (operationOf(request) == operation) matching.push_back(std::move(request));
  }
  return matching;
}

std::optional<FakeInstallationsService::Operation>
FakeInstallationsService::operationOf(const Request& request) const {
  const std::string prefix = createPath();
  if (request.path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::string rest = request.path.substr(prefix.size());
  if (rest.empty()) {
    if (request.method == "POST") return Operation::Create;
    return std::nullopt;
  }
  const std::string suffix = kGenerateTokenSuffix;
  if (request.method == "POST" && rest.size() > suffix.size() &&
      rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0 &&
      rest.find('/') == rest.size() - suffix.size()) {
    return Operation::GenerateToken;
  }
  if (request.method == "DELETE" && rest.find('/') == rest.size() - 1 && rest.size() > 1) {
    return Operation::Delete;
  }
  return std::nullopt;
}

platform::Dictionary FakeInstallationsService::bodyOf(const Request& request) {
  const std::optional<platform::Value> body = platform::json::parse(request.inflatedBody);
  const platform::Dictionary* fields = body ? body->asDictionary() : nullptr;
  return fields ? *fields : platform::Dictionary();
}

std::string FakeInstallationsService::fidOf(const Request& request) const {
  const std::string rest = request.path.substr(createPath().size());
  return rest.substr(0, rest.find('/'));
}

void FakeInstallationsService::serveInstallation(const std::string& fid) {
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->routed.insert(fid).second) return;
  }
  service_.respond("POST", generateTokenPath(fid), [this](const Request& request) {
    return answer(Operation::GenerateToken, request);
  });
  service_.respond("DELETE", deletePath(fid),
                   [this](const Request& request) { return answer(Operation::Delete, request); });
}

FakeInstallationsService::Response FakeInstallationsService::answer(Operation operation,
                                                                    const Request& request) {
  double delaySeconds = 0;
  {
    std::lock_guard lock(state_->mutex);
    auto& queue = state_->scripts[operation];
    if (!queue.empty()) {
      State::Scripted scripted = std::move(queue.front());
      queue.pop_front();
      if (scripted.response) return *scripted.response;
      delaySeconds = scripted.delaySeconds;
    }
  }
  Response response;
  if (!request.header("X-Rerora-Api-Key").value_or("").empty()) {
    switch (operation) {
    case Operation::Create:
      response = answerCreate(request);
      break;
    case Operation::GenerateToken:
      response = answerGenerateToken(request, fidOf(request));
      break;
    case Operation::Delete:
      response = answerDelete(request, fidOf(request));
      break;
    }
  } else {
    response = errorResponse(403, "Requests need an API key.");
  }
  response.delaySeconds = delaySeconds;
  return response;
}

FakeInstallationsService::Response FakeInstallationsService::answerCreate(const Request& request) {
  const std::optional<platform::Value> body = platform::json::parse(request.inflatedBody);
  const std::string* appID = body ? (*body)["appId"].asString() : nullptr;
  if (!appID || appID->empty()) return errorResponse(400, "Invalid registration request.");
  const std::string* sentFID = (*body)["fid"].asString();

  platform::Dictionary answer;
  std::string fid;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->assignedFID) {
      fid = *std::exchange(state_->assignedFID, std::nullopt);
    } else if (sentFID && !sentFID->empty()) {
      fid = *sentFID;
    } else {
      fid = platform::format("fFakeInstallation%05d", {++state_->issued});
    }
    Installation registered{fid, *appID, state_->next("refresh-token-"),
                            state_->next("auth-token-")};
    if (Installation* known = state_->find(fid)) {
      *known = registered;
    } else {
      state_->installations.push_back(registered);
    }
    platform::Dictionary authToken;
    authToken.set("token", registered.authToken);
    authToken.set("expiresIn", state_->tokenLifetime);
    answer.set("fid", fid);
    answer.set("refreshToken", registered.refreshToken);
    answer.set("authToken", std::move(authToken));
  }
  serveInstallation(fid);
  return jsonResponse(200, answer);
}

FakeInstallationsService::Response
FakeInstallationsService::answerGenerateToken(const Request& request, const std::string& fid) {
  std::lock_guard lock(state_->mutex);
  Installation* known = state_->find(fid);
  if (!known) return errorResponse(404, "Installation not found.");
  if (request.header("Authorization") != kAuthorizationPrefix + known->refreshToken) {
    return errorResponse(401, "Invalid refresh token.");
  }
  known->authToken = state_->next("auth-token-");
  platform::Dictionary answer;
  answer.set("token", known->authToken);
  answer.set("expiresIn", state_->tokenLifetime);
  return jsonResponse(200, answer);
}

FakeInstallationsService::Response FakeInstallationsService::answerDelete(const Request& request,
                                                                          const std::string& fid) {
  std::lock_guard lock(state_->mutex);
  Installation* known = state_->find(fid);
  if (!known) return errorResponse(404, "Installation not found.");
  if (request.header("Authorization") != kAuthorizationPrefix + known->refreshToken) {
    return errorResponse(401, "Invalid refresh token.");
  }
  std::erase_if(state_->installations,
                [&](const Installation& installation) { return installation.fid == fid; });
  return jsonResponse(200, platform::Dictionary());
}

}  // namespace testing_support
