// RenameRequest: asks the naming service for a new name for each file, one "/rename" request
// per file, and reads its answer.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/error.h"
#include "platform/url_session.h"

class ContentView;

// The two names a row shows while it has no proposal: its request is under way, or it
// produced nothing.
inline constexpr char kPendingName[] = "Pending...";
inline constexpr char kErrorRenamingName[] = "Error renaming";

inline constexpr char kRenameEndpointPath[] = "/rename";
inline constexpr double kRenameRequestTimeoutSeconds = 60;

// The language the user's interface is in, as a bare language code ("fr"): the part of the
// current locale's identifier before its first "_" ("fr_CA" gives "fr"); "en" when the
// locale names no language ("C", "POSIX" or nothing set). This program carries no
// translations of its own to choose among, so the locale's language is the one preferred.
std::string preferredLocalization();

// The language sent with the requests: a setting other than exactly "Default" unchanged;
// for "Default", "Chinese", "French" or "German" when the preferred localization is exactly
// "zh", "fr" or "de", else "English".
std::string resolveFilenameLanguage(const std::string& selectedLanguage);

// The "/rename" request for one file: the extracted content, the language (left out when it
// is "Legacy") and the format (one leading "_" dropped), posted as compact JSON with a 60 s
// time-out. None when nothing can be sent: no content could be extracted, text that is not
// UTF-8, or no naming service address configured.
std::optional<platform::URLRequest> makeRenameRequest(const std::filesystem::path& url,
                                                      const std::optional<std::string>& format,
                                                      const std::string& language);

// Called exactly once with the proposed name, or none when the request produced nothing.
using NameCompletion = std::function<void(std::optional<std::string> name)>;

// One request for one file. Extraction runs on the calling thread; when it yields nothing
// the completion runs at once, there, and nothing is sent. Otherwise the completion runs
// on the shared URL session's queue.
void requestNewName(const std::filesystem::path& url, const std::optional<std::string>& format,
                    const std::string& language, NameCompletion completion);

// The batch: one request per file, in list order, all in flight together. `perFile` gets,
// once per URL, the URL's last path component, the proposed name or "Error renaming", and
// the URL, on whichever thread the answer came; `finished` runs once on the main queue
// after every `perFile` call has returned.
using PerFileCompletion =
    std::function<void(std::string oldName, std::string newName, std::filesystem::path url)>;
void requestNewNames(const std::vector<std::filesystem::path>& urls, const std::string& format,
                     const std::string& language, PerFileCompletion perFile,
                     std::function<void()> finished);

// The preview screen's per-row retry: the same request for the file of row `index`, whose
// answer (or none) goes to deliverRenameResult together with the row and the batch the
// view shows now, so that it lands only on that row of that batch. Main thread only.
void requestNewNameForRow(const std::filesystem::path& url,
                          const std::optional<std::string>& format, const std::string& language,
                          const std::shared_ptr<ContentView>& view, std::size_t index);

// Reads an answer: a 200 response whose body is a JSON object of strings only, with a
// "filename" entry. That name loses one leading and then one trailing "_"; what is left must
// be neither a placeholder nor something no file can be called ("", ".", "..", a "/" or a
// NUL). Anything else gives none.
void handleRenameResponse(const std::optional<platform::Data>& data,
                          const std::optional<platform::HTTPURLResponse>& response,
                          const platform::ErrorPtr& error, const NameCompletion& completion);
