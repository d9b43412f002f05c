// FakeNamingService: a loopback stand-in for the naming service. "/rename" proposes a name and
// "/Vilmo_Reorg" a folder tree by simple rules unless a test scripted the answer; every
// request is recorded.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"
#include "tests/support/fake_service.h"

namespace testing_support {

class FakeNamingService {
 public:
  using Response = FakeService::Response;
  using Request = FakeService::Request;
  // Picks the requests a script answers, by the request's JSON body (an empty dictionary
  // when the body is not a JSON object).
  using BodyMatcher = std::function<bool(const platform::Dictionary& body)>;

  static constexpr const char* kRenamePath = "/rename";
  static constexpr const char* kReorgPath = "/Vilmo_Reorg";

  // Listening on 127.0.0.1 once constructed.
  FakeNamingService();
  ~FakeNamingService();
  FakeNamingService(const FakeNamingService&) = delete;
  FakeNamingService& operator=(const FakeNamingService&) = delete;

  int port() const { return service_.port(); }
  // "http://127.0.0.1:<port>", the naming service's base address.
  std::string baseURL() const { return service_.baseURL(); }

  // Answers the "/rename" requests the matcher accepts with the response; with `times`, only
  // that many of them, after which the script steps aside. The latest script added that
  // accepts a request answers it; requests no script takes get the rules' answer.
  void scriptRename(BodyMatcher matcher, Response response,
                    std::optional<std::size_t> times = std::nullopt);
  // Like scriptRename, but each answer, once chosen, waits until release() is called (or
  // the service ends, which drops the connection): a request held in flight for as long as
  // a test needs.
  void holdRename(BodyMatcher matcher, Response response,
                  std::optional<std::size_t> times = std::nullopt);
  // Lets every held answer go, now and from now on.
  void release();
  // Every rule answer waits this long first (real seconds), like a service that thinks.
  void setRuleDelay(double seconds);

  // Answers the next "/Vilmo_Reorg" requests with the response (with `times`, only that many;
  // the latest script added answers first); requests no script takes get the rule tree.
  void scriptReorg(Response response, std::optional<std::size_t> times = std::nullopt);
  // Like scriptReorg, but each answer waits until release() (or the service's end, which
  // drops the connection).
  void holdReorg(Response response, std::optional<std::size_t> times = std::nullopt);

  // Matchers: a text request whose text contains the fragment; an image request for the file.
  static BodyMatcher textContains(std::string fragment);
  static BodyMatcher imagePathIs(std::string path);
  static BodyMatcher anyRequest();

  // A 200 answer carrying {"filename": name}.
  static Response filename(const std::string& name);
  // An answer with this JSON text as its body.
  static Response json(std::string body, int status = 200);

  // The rules: a text is named by its first three words, each capitalised, joined by "_"
  // ("Quarterly_Sales_Report"); an image by "Image" and the words of its file's name
  // ("Image_Beach_2023"). Words are runs of letters and digits (any non-ASCII character
  // counts as a letter), at most 20 characters each. "Text" or "Image" when there is no word.
  static std::string ruleName(const platform::Dictionary& body);

  // The rule tree for the relative paths of a "/Vilmo_Reorg" request: one top-level folder per
  // file extension (lower-cased, without the dot; "no extension" for files without one), in
  // the order the extensions first occur, each holding its files under their own names. A
  // name already given in that folder gets " (2)", " (3)", ... before its extension, so no
  // two files are sent to the same place.
  static std::string ruleTree(const std::vector<std::string>& paths);

  // Everything received, in arrival order.
  std::vector<Request> requests() const { return service_.requests(); }
  // The JSON bodies of the "/rename" requests, in arrival order.
  std::vector<platform::Dictionary> renameBodies() const;
  // The relative paths each "/Vilmo_Reorg" request sent, in arrival order (empty for a body
  // that is not a JSON array of strings).
  std::vector<std::vector<std::string>> reorgBodies() const;
  bool waitForRequests(std::size_t count, double timeoutSeconds = 5) const {
    return service_.waitForRequests(count, timeoutSeconds);
  }

  // The service underneath, for endpoints answered elsewhere.
  FakeService& service() { return service_; }

 private:
  struct State;
  Response answerRename(const Request& request);
  Response answerReorg(const Request& request);
  // The answer of the newest script for the path that takes the body and still has uses,
  // waiting first when the script holds its answers; none when no script takes it. Also
  // gives the rule answers' delay.
  std::optional<Response> scriptedAnswer(const std::string& path, const platform::Dictionary& body,
                                         double* ruleDelay);

  // Declared before the service, so the service (and its threads) stop first.
  std::unique_ptr<State> state_;
  FakeService service_;
};

}  // namespace testing_support
