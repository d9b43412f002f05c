// ReorgRequest: the one request that sends a scanned folder's relative file paths to the
// naming service's "/Vilmo_Reorg" endpoint, and the checks and decoding of its answer.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/url_session.h"

class VirtualFolder;

inline constexpr char kReorgEndpointPath[] = "/Vilmo_Reorg";
// A whole folder is judged at once, so the service gets ten times the rename time-out.
inline constexpr double kReorgRequestTimeoutSeconds = 600;

// The body: the paths as a compact JSON array of strings, "/" written as "\/" ("[]" for no
// paths). None for a path that is not UTF-8, which JSON cannot carry.
std::optional<platform::Data> reorgRequestBody(const std::vector<std::string>& paths);

// The POST request with that body and only a "Content-Type: application/json" header.
// None without a naming service address or without a body.
std::optional<platform::URLRequest> makeReorgRequest(const std::vector<std::string>& paths);

// How a request ended: `succeeded` for a 200 answer (whatever its body held), with the
// proposed tree when the body decoded and a scanned tree was given.
struct ReorgOutcome {
  bool succeeded = false;
  std::shared_ptr<VirtualFolder> proposedTree;
};
using ReorgCompletion = std::function<void(ReorgOutcome outcome)>;

// Starts the request; the completion runs once, on the shared URL session's queue. The tree
// is read there and must not change meanwhile (trees are only replaced, never edited).
std::shared_ptr<platform::URLSessionDataTask>
sendReorgRequest(platform::URLRequest request, std::shared_ptr<const VirtualFolder> scanned,
                 ReorgCompletion completion);

// The answer's checks, in order, each failure with its console lines: an error ("Request
// failed with error: ", and the status when there is an HTTP response), no data, no HTTP
// response, a status other than 200 ("Request failed with status code: " and the body
// when it is UTF-8). A 200 goes through processReorganizeResult.
void handleReorganizeResponse(const std::optional<platform::Data>& data,
                              const std::optional<platform::HTTPURLResponse>& response,
                              const platform::ErrorPtr& error,
                              const std::shared_ptr<const VirtualFolder>& scanned,
                              const ReorgCompletion& completion);

// A 200 answer's body: "success", the answer pretty-printed, its decoded description, and the
// proposed tree for `scanned`. None (with "Failed to decode JSON response: " and the reason)
// for a body that is not JSON or not a folder answer, and none without a scanned tree.
std::shared_ptr<VirtualFolder>
processReorganizeResult(const platform::Data& data,
                        const std::shared_ptr<const VirtualFolder>& scanned);
