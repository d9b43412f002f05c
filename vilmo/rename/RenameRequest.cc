#include "vilmo/rename/RenameRequest.h"

#include <utility>

#include "platform/base64.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/locale.h"
#include "platform/text.h"
#include "platform/value.h"
#include "vilmo/AppConfiguration.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/rename/FileContent.h"
#include "vilmo/rename/RenameActions.h"

namespace {

constexpr char kImageKind[] = "image";
constexpr char kLegacyLanguage[] = "Legacy";

std::string droppingLeadingUnderscore(std::string text) {
  if (!text.empty() && text.front() == '_') text.erase(0, 1);
  return text;
}

void send(platform::URLRequest request, NameCompletion completion) {
  auto task = platform::URLSession::sharedSession()->dataTask(
      std::move(request),
      [completion = std::move(completion)](
          std::optional<platform::Data> data, std::optional<platform::HTTPURLResponse> response,
          platform::ErrorPtr error) { handleRenameResponse(data, response, error, completion); });
  task->resume();
}

}  // namespace

std::string preferredLocalization() {
  const std::string identifier = platform::Locale::currentIdentifier();
  const std::string language = identifier.substr(0, identifier.find('_'));
  return language.empty() ? "en" : language;
}

std::string resolveFilenameLanguage(const std::string& selectedLanguage) {
  if (selectedLanguage != "Default") return selectedLanguage;
  const std::string code = preferredLocalization();
  if (code == "zh") return "Chinese";
  if (code == "fr") return "French";
  if (code == "de") return "German";
  return "English";
}

std::optional<platform::URLRequest> makeRenameRequest(const std::filesystem::path& url,
                                                      const std::optional<std::string>& format,
                                                      const std::string& language) {
  std::optional<FileContent> content = extractFileContent(url);
  if (!content) return std::nullopt;
  const std::string encoded = platform::base64::encode(content->data);

  platform::Dictionary body{{"file_type", content->kind}, {"language", language}};
  if (content->kind == kImageKind) {
    body.set("image", encoded);
    body.set("image_path", url.string());
  } else {
    std::string text = content->data.toString();
    if (!platform::text::isValidUTF8(text)) return std::nullopt;
    body.set("text", std::move(text));
  }
  if (format) body.set("custom_format", droppingLeadingUnderscore(*format));
  if (language == kLegacyLanguage) body.erase("language");

  const std::optional<std::string> base = AppConfiguration::namingServiceBaseURL();
  if (!base) return std::nullopt;
  platform::URLRequest request(*base + kRenameEndpointPath);
  request.timeoutInterval = kRenameRequestTimeoutSeconds;
  request.httpMethod = "POST";
  request.setValue("application/json", "Content-Type");
  // A body that cannot be written (a path that is not UTF-8) leaves the request without
  // one; the service then answers with an error, and the row shows it.
  if (std::optional<platform::Data> json = platform::json::writeData(body)) {
    request.body = std::move(*json);
  }
  return request;
}

void requestNewName(const std::filesystem::path& url, const std::optional<std::string>& format,
                    const std::string& language, NameCompletion completion) {
  std::optional<platform::URLRequest> request = makeRenameRequest(url, format, language);
  if (!request) {
    completion(std::nullopt);
    return;
  }
  send(std::move(*request), std::move(completion));
}

void requestNewNames(const std::vector<std::filesystem::path>& urls, const std::string& format,
                     const std::string& language, PerFileCompletion perFile,
                     std::function<void()> finished) {
  platform::Group group;
  auto shared = std::make_shared<const PerFileCompletion>(std::move(perFile));
  for (const std::filesystem::path& url : urls) {
    group.enter();
    requestNewName(url, format, language,
                   [group, shared, url](std::optional<std::string> name) mutable {
                     (*shared)(url.filename().string(), name.value_or(kErrorRenamingName), url);
                     group.leave();
                   });
  }
  group.notify(platform::Queue::main(), std::move(finished));
}

void requestNewNameForRow(const std::filesystem::path& url,
                          const std::optional<std::string>& format, const std::string& language,
                          const std::shared_ptr<ContentView>& view, std::size_t index) {
  RowTicket ticket{view->renameBatch(), index, url};
  std::weak_ptr<ContentView> weakView = view;
  requestNewName(url, format, language,
                 [weakView, ticket = std::move(ticket)](std::optional<std::string> name) {
                   deliverRenameResult(std::move(name), weakView, ticket);
                 });
}

void handleRenameResponse(const std::optional<platform::Data>& data,
                          const std::optional<platform::HTTPURLResponse>& response,
                          const platform::ErrorPtr& error, const NameCompletion& completion) {
  if (error || !data || !response || response->statusCode != 200) {
    completion(std::nullopt);
    return;
  }
  const std::optional<platform::Value> answer = platform::json::parse(*data);
  const platform::Dictionary* fields = answer ? answer->asDictionary() : nullptr;
  if (!fields) {
    completion(std::nullopt);
    return;
  }
  for (const auto& [key, value] : *fields) {
    if (!value.isString()) {
      completion(std::nullopt);
      return;
    }
  }
  const platform::Value* filename = fields->find("filename");
  if (!filename) {
    completion(std::nullopt);
    return;
  }
  std::string name = droppingLeadingUnderscore(*filename->asString());
  if (!name.empty() && name.back() == '_') name.pop_back();
  // A placeholder would leave the row looking as if it still waited, and a name no file can
  // have would be applied as nothing: either is no name, which the row shows as a failure.
  if (isPlaceholderName(name) || !isValidFileName(name)) {
    completion(std::nullopt);
    return;
  }
  completion(std::move(name));
}
