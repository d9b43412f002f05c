// FakeInstallationsService: a loopback stand-in for the installations service. It registers
// installations, generates auth tokens for them and deletes them, keeping its own registry,
// unless a test scripted the answer; every request is recorded.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"
#include "tests/support/fake_service.h"

namespace testing_support {

class FakeInstallationsService {
 public:
  using Response = FakeService::Response;
  using Request = FakeService::Request;

  enum class Operation { Create, GenerateToken, Delete };

  // One registered installation as the service keeps it.
  struct Installation {
    std::string fid;
    std::string appID;
    std::string refreshToken;
    // The latest auth token issued.
    std::string authToken;
  };

  static constexpr const char* kDefaultProjectID = "project-id";
  static constexpr const char* kDefaultTokenLifetime = "604800s";

  // Listening on 127.0.0.1 once constructed; serves the paths of this project only.
  explicit FakeInstallationsService(std::string projectID = kDefaultProjectID);
  ~FakeInstallationsService();
  FakeInstallationsService(const FakeInstallationsService&) = delete;
  FakeInstallationsService& operator=(const FakeInstallationsService&) = delete;

  // "http://127.0.0.1:<port>", the service's base address.
  std::string baseURL() const { return service_.baseURL(); }
  const std::string& projectID() const { return projectID_; }

  // "/v1/projects/<project>/installations/", ".../installations/<fid>/authTokens:generate",
  // ".../installations/<fid>/".
  std::string createPath() const;
  std::string generateTokenPath(const std::string& fid) const;
  std::string deletePath(const std::string& fid) const;

  // The service's own answers:
  // - create (POST, a JSON body with a non-empty "appId"; else 400): registers the sent "fid"
  //   (or the one set by assignFIDAtRegistration, or one of its own when the sent one is empty)
  //   with a new refresh token and answers 200 {"fid", "refreshToken", "authToken": {"token",
  //   "expiresIn"}}. Registering a known fid again gives it new tokens.
  // - generate token (POST): 404 for a fid it does not know, 401 unless "Authorization" is
  //   "ZIS_v2 <its refresh token>", else 200 {"token", "expiresIn"} with a new token.
  // - delete (DELETE): 404 and 401 the same way, else 200 {} and the fid is forgotten.
  // Requests without "X-Rerora-Api-Key" get 403. Requests for a fid the service has never
  // seen get the kit's bare 404 and are not scripted: seed it with addInstallation.

  // Scripts the next `times` requests of the operation (in order, after those scripted
  // before): the response goes out exactly as given in place of the service's own answer,
  // which leaves the registry unchanged.
  void script(Operation operation, Response response, std::size_t times = 1);
  // Like script, with a status and a JSON error body.
  void scriptStatus(Operation operation, int status, std::size_t times = 1);
  // The connection closes without an answer.
  void scriptDroppedConnection(Operation operation, std::size_t times = 1);
  // The service's own answer, sent after a wait (real seconds; the service's end cuts it
  // short by dropping the connection).
  void scriptDelay(Operation operation, double seconds, std::size_t times = 1);

  // The next registration keeps this identifier instead of the one sent.
  void assignFIDAtRegistration(std::string fid);
  // The "expiresIn" of every token issued from now on ("3600s"; kDefaultTokenLifetime at first).
  void setTokenLifetime(std::string expiresIn);

  // Adds an installation as if registered earlier (by another run), with these tokens.
  void addInstallation(const std::string& fid, const std::string& refreshToken,
                       const std::string& appID = "");
  std::optional<Installation> installation(const std::string& fid) const;
  // In order of registration.
  std::vector<Installation> installations() const;

  // Everything received, in arrival order; and the requests of one operation.
  std::vector<Request> requests() const { return service_.requests(); }
  std::vector<Request> requests(Operation operation) const;
  bool waitForRequests(std::size_t count, double timeoutSeconds = 5) const {
    return service_.waitForRequests(count, timeoutSeconds);
  }
  // The operation a request of this project asked for, if any.
  std::optional<Operation> operationOf(const Request& request) const;
  // The request's JSON body; an empty dictionary when it is not a JSON object.
  static platform::Dictionary bodyOf(const Request& request);

  // The service underneath.
  FakeService& service() { return service_; }

 private:
  struct State;
  Response answer(Operation operation, const Request& request);
  Response answerCreate(const Request& request);
  Response answerGenerateToken(const Request& request, const std::string& fid);
  Response answerDelete(const Request& request, const std::string& fid);
  // Routes the per-installation paths of the fid to this service.
  void serveInstallation(const std::string& fid);
  std::string fidOf(const Request& request) const;

  const std::string projectID_;
  // Declared before the service, so the service (and its threads) stop first.
  std::unique_ptr<State> state_;
  FakeService service_;
};

}  // namespace testing_support
