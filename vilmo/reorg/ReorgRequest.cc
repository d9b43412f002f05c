#include "vilmo/reorg/ReorgRequest.h"

#include <iostream>
#include <utility>

#include "platform/json.h"
#include "platform/text.h"
#include "platform/value.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/reorg/FolderResponse.h"
#include "vilmo/reorg/VirtualFolder.h"

namespace {

void printDecodingFailure(const std::string& reason) {
  std::cout << "Failed to decode JSON response: " << reason << std::endl;
}

}  // namespace

std::optional<platform::Data> reorgRequestBody(const std::vector<std::string>& paths) {
  platform::Array items;
  items.reserve(paths.size());
  for (const std::string& path : paths) items.emplace_back(path);
  return platform::json::writeData(platform::Value(std::move(items)));
}

std::optional<platform::URLRequest> makeReorgRequest(const std::vector<std::string>& paths) {
  const std::optional<std::string> base = AppConfiguration::namingServiceBaseURL();
  if (!base) return std::nullopt;
  std::optional<platform::Data> body = reorgRequestBody(paths);
  if (!body) return std::nullopt;
  std::cout << body->size() << " bytes" << std::endl;
  platform::URLRequest request(*base + kReorgEndpointPath);
  request.httpMethod = "POST";
  request.timeoutInterval = kReorgRequestTimeoutSeconds;
  request.setValue("application/json", "Content-Type");
  request.body = std::move(*body);
  return request;
}

std::shared_ptr<platform::URLSessionDataTask>
sendReorgRequest(platform::URLRequest request, std::shared_ptr<const VirtualFolder> scanned,
                 ReorgCompletion completion) {
  auto task = platform::URLSession::sharedSession()->dataTask(
      std::move(request),
      [scanned = std::move(scanned), completion = std::move(completion)](
          std::optional<platform::Data> data, std::optional<platform::HTTPURLResponse> response,
          platform::ErrorPtr error) {
        handleReorganizeResponse(data, response, error, scanned, completion);
      });
  task->resume();
  return task;
}

void handleReorganizeResponse(const std::optional<platform::Data>& data,
                              const std::optional<platform::HTTPURLResponse>& response,
                              const platform::ErrorPtr& error,
                              const std::shared_ptr<const VirtualFolder>& scanned,
                              const ReorgCompletion& completion) {
  if (error) {
    std::cout << "Request failed with error: " << error->localizedDescription() << std::endl;
    if (response) std::cout << "HTTP Response Status Code: " << response->statusCode << std::endl;
    completion({});
    return;
  }
  if (!data) {
    std::cout << "Request failed: No data received." << std::endl;
    completion({});
    return;
  }
  if (!response) {
    std::cout << "Request failed: Unable to parse HTTP response." << std::endl;
    completion({});
    return;
  }
  if (response->statusCode != 200) {
    std::cout << "Request failed with status code: " << response->statusCode << std::endl;
    const std::string body = data->toString();
    if (platform::text::isValidUTF8(body)) std::cout << "Response body: " << body << std::endl;
    completion({});
    return;
  }
  completion({true, processReorganizeResult(*data, scanned)});
}

std::shared_ptr<VirtualFolder>
processReorganizeResult(const platform::Data& data,
                        const std::shared_ptr<const VirtualFolder>& scanned) {
  std::cout << "success" << std::endl;
  platform::ErrorPtr error;
  const std::optional<platform::Value> parsed = platform::json::parse(data, {}, &error);
  if (!parsed) {
    printDecodingFailure(error ? error->description() : "not JSON");
    return nullptr;
  }
  platform::json::WriteOptions pretty;
  pretty.pretty = true;
  const std::optional<std::string> prettyText = platform::json::write(*parsed, pretty, &error);
  if (!prettyText) {
    printDecodingFailure(error ? error->description() : "not JSON");
    return nullptr;
  }
  std::cout << *prettyText << std::endl;

  std::string reason;
  const std::optional<FolderResponse> answer = decodeFolderResponse(data, &reason);
  if (!answer) {
    printDecodingFailure(reason);
    return nullptr;
  }
  std::cout << answer->description() << std::endl;
  if (!scanned) return nullptr;
  return makeProposedTree(*answer, *scanned);
}
