#include "vilmo/rename/RenameActions.h"

#include <algorithm>
#include <iostream>
#include <system_error>
#include <utility>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/files.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/rename/RenameRequest.h"

namespace {

using Path = std::filesystem::path;

// The index of the first row of the file, if any.
std::optional<std::size_t> rowOf(const std::vector<RenameResult>& rows, const Path& url) {
  const auto it = std::find_if(rows.begin(), rows.end(),
                               [&](const RenameResult& row) { return row.url == url; });
  if (it == rows.end()) return std::nullopt;
  return static_cast<std::size_t>(it - rows.begin());
}

platform::Dictionary screenParameters(const ContentView& view) {
  return {{usage_event::kScreenName, renameScreenName(view.currentStep())}};
}

// The extension without its dot; "" when the name has none.
std::string extensionOf(const Path& url) {
  std::string extension = url.filename().extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  return extension;
}

Path candidate(const Path& directory, const std::string& name, const std::string& extension) {
  return directory / (extension.empty() ? name : name + "." + extension);
}

// Anything at all occupies the name, also a link that points nowhere. A name that cannot be
// examined counts as free: the move itself then fails, and it never replaces anything.
bool isTaken(const Path& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

bool isUsableName(const std::string& name, RenameNames names) {
  if (!isValidFileName(name)) return false;
  return names == RenameNames::Restored || (name != kPendingName && name != kErrorRenamingName);
}

template <typename Handler>
void onMainQueue(const std::weak_ptr<ContentView>& view, Handler handler) {
  platform::Queue::main()->async([view, handler = std::move(handler)]() mutable {
    if (std::shared_ptr<ContentView> strong = view.lock()) handler(*strong);
  });
}

}  // namespace

std::string baseName(const Path& url) { return url.filename().stem().string(); }

bool isPendingRow(const RenameResult& row) { return row.newName == kPendingName; }

bool anyRowPending(const std::vector<RenameResult>& rows) {
  return std::any_of(rows.begin(), rows.end(), isPendingRow);
}

bool isValidFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

void clearDroppedFiles(const std::shared_ptr<ContentView>& view) {
  const platform::Dictionary parameters = screenParameters(*view);
  view->setSupportedFiles({});
  view->setUnsupportedFileTypes({});
  logUsageEvent(usage_event::kDropFileClear, parameters);
}

void startRename(const std::shared_ptr<ContentView>& view) {
  logUsageEvent(
      usage_event::kSettingsStart,
      {{usage_event::kScreenName, renameScreenName(view->currentStep())},
       {usage_event::kRenameFileCount, static_cast<std::int64_t>(view->supportedFiles().size())}});
  if (view->renameFormat().empty()) view->setRenameFormat("Content");
  view->setCurrentStep(step::kRenamePreview);
  const ContentView::FileList files = view->supportedFiles();
  std::vector<RenameResult> rows;
  rows.reserve(files.size());
  for (const Path& url : files) rows.push_back({url.filename().string(), kPendingName, url});
  view->setRenameResults(std::move(rows));
  view->setApplyButtonDisabled(true);
  const std::uint64_t batch = view->beginRenameBatch();

  std::weak_ptr<ContentView> weakView = view;
  requestNewNames(
      files, view->renameFormat(), resolveFilenameLanguage(view->selectedLanguage()),
      [weakView, batch](std::string oldName, std::string newName, Path url) {
        deliverBatchResult(weakView, batch, std::move(oldName), std::move(newName), std::move(url));
      },
      [weakView, batch] { finishBatchRename(weakView, batch); });
}

void deliverBatchResult(const std::weak_ptr<ContentView>& view, std::uint64_t batch,
                        std::string oldName, std::string newName, Path url) {
  onMainQueue(view,
              [batch, row = RenameResult{std::move(oldName), std::move(newName), std::move(url)}](
                  ContentView& view) mutable { storeBatchResult(view, batch, std::move(row)); });
}

void storeBatchResult(ContentView& view, std::uint64_t batch, RenameResult row) {
  if (batch != view.renameBatch()) return;
  std::vector<RenameResult> rows = view.renameResults();
  const std::optional<std::size_t> index = rowOf(rows, row.url);
  if (!index) return;
  rows[*index] = std::move(row);
  view.setRenameResults(std::move(rows));
}

void finishBatchRename(const std::weak_ptr<ContentView>& view, std::uint64_t batch) {
  onMainQueue(view, [batch](ContentView& view) {
    if (batch != view.renameBatch()) return;
    view.setApplyButtonDisabled(anyRowPending(view.renameResults()));
  });
}

void retryRename(const std::shared_ptr<ContentView>& view, const RenameResult& row) {
  // A copy: the row handed in may be one of the rows replaced below.
  const Path url = row.url;
  std::vector<RenameResult> rows = view->renameResults();
  const std::optional<std::size_t> index = rowOf(rows, url);
  if (!index) return;
  logUsageEvent(usage_event::kRenameRetry, screenParameters(*view));
  rows[*index].newName = kPendingName;
  view->setRenameResults(std::move(rows));
  view->setApplyButtonDisabled(true);
  requestNewNameForRow(url, view->renameFormat(), resolveFilenameLanguage(view->selectedLanguage()),
                       view, *index);
}

void deliverRenameResult(std::optional<std::string> name, const std::weak_ptr<ContentView>& view,
                         RowTicket ticket) {
  onMainQueue(view, [name = std::move(name), ticket = std::move(ticket)](ContentView& view) {
    storeRenameResult(view, name, ticket);
  });
}

void storeRenameResult(ContentView& view, std::optional<std::string> name,
                       const RowTicket& ticket) {
  std::vector<RenameResult> rows = view.renameResults();
  if (ticket.batch != view.renameBatch() || ticket.index >= rows.size() ||
      rows[ticket.index].url != ticket.url) {
    return;
  }
  rows[ticket.index].newName = name ? std::move(*name) : std::string(kErrorRenamingName);
  const bool pending = anyRowPending(rows);
  view.setRenameResults(std::move(rows));
  view.setApplyButtonDisabled(pending);
}

void applyRenamePreview(const std::shared_ptr<ContentView>& view) {
  // A second press before the first walk has finished would walk files already moved.
  if (view->isApplyingRename()) return;
  view->setApplyingRename(true);
  const std::vector<RenameResult> rows = view->renameResults();
  const auto changed = std::count_if(
      rows.begin(), rows.end(), [](const RenameResult& row) { return row.newName != row.oldName; });
  logUsageEvent(usage_event::kRenamePreviewApply,
                {{usage_event::kScreenName, renameScreenName(view->currentStep())},
                 {usage_event::kRenamePreviewApplyFileCount, static_cast<std::int64_t>(changed)}});
  std::weak_ptr<ContentView> weakView = view;
  renameFiles(rows, RenameNames::Proposed, [weakView](RenameURLMap map) {
    onMainQueue(weakView, [map = std::move(map)](ContentView& view) mutable {
      finishApplyRenames(view, std::move(map));
    });
  });
}

void finishApplyRenames(ContentView& view, RenameURLMap map) {
  // Each row shows the name its file has now: the suffix a collision added, or the old
  // name when the file could not be moved.
  std::vector<RenameResult> rows = view.renameResults();
  for (RenameResult& row : rows) {
    const auto moved = map.find(row.url);
    row.newName = baseName(moved != map.end() ? moved->second : row.url);
  }
  view.setRenameResults(std::move(rows));
  view.setURLMap(std::move(map));
  view.setCurrentStep(step::kRenameFinished);
  view.setApplyingRename(false);
}

void renameGoBack(const std::shared_ptr<ContentView>& view, std::int64_t step) {
  logUsageEvent(usage_event::kRenameGoBack, screenParameters(*view));
  view->setCurrentStep(step);
}

void renameFiles(const std::vector<RenameResult>& rows, RenameNames names,
                 const std::function<void(RenameURLMap)>& completion) {
  RenameURLMap map;
  for (const RenameResult& row : rows) {
    const Path& source = row.url;
    if (!isUsableName(row.newName, names)) {
      std::cout << "Error renaming file " << source.filename().string() << ": invalid name"
                << std::endl;
      map[source] = source;
      continue;
    }
    const Path directory = source.parent_path();
    const std::string extension = extensionOf(source);
    Path target = candidate(directory, row.newName, extension);
    if (target == source) {
      map[source] = source;
      continue;
    }
    for (int counter = 1; isTaken(target); ++counter) {
      target = candidate(directory, row.newName + "_" + std::to_string(counter), extension);
    }
    std::cout << "Renaming file from " << source.string() << " to " << target.string() << std::endl;
    platform::ErrorPtr error;
    if (platform::moveItem(source, target, &error)) {
      std::cout << "Successfully renamed file to " << target.string() << std::endl;
      map[source] = target;
    } else {
      std::cout << "Error renaming file " << source.filename().string() << ": "
                << error->localizedDescription() << std::endl;
    }
  }
  completion(std::move(map));
}

std::vector<RenameResult> buildRevokeRows(const std::vector<RenameResult>& results,
                                          const RenameURLMap& urlMap) {
  std::vector<RenameResult> rows;
  rows.reserve(results.size());
  for (const RenameResult& result : results) {
    const auto moved = urlMap.find(result.url);
    rows.push_back(
        {result.oldName, baseName(result.url), moved != urlMap.end() ? moved->second : result.url});
  }
  return rows;
}

void revokeAllAction(const std::shared_ptr<ContentView>& view) {
  const std::vector<RenameResult> rows = buildRevokeRows(view->renameResults(), view->urlMap());
  logUsageEvent(usage_event::kRenameFinishRevokeAll,
                {{usage_event::kScreenName, renameScreenName(view->currentStep())},
                 {usage_event::kRenameFinishRevokeAllFileCount,
                  static_cast<std::int64_t>(view->supportedFiles().size())}});
  std::weak_ptr<ContentView> weakView = view;
  renameFiles(rows, RenameNames::Restored, [weakView](RenameURLMap map) {
    onMainQueue(weakView,
                [map = std::move(map)](ContentView& view) { finishRevokeAll(view, map); });
  });
}

void finishRevokeAll(ContentView& view, const RenameURLMap& map) {
  std::vector<RenameResult> rows = view.renameResults();
  RenameURLMap urlMap = view.urlMap();
  for (RenameResult& row : rows) {
    const auto current = urlMap.find(row.url);
    if (current == urlMap.end()) continue;
    const auto restored = map.find(current->second);
    if (restored == map.end()) continue;
    row.url = restored->second;
    urlMap[restored->second] = restored->second;
    row.newName = baseName(restored->second);
  }
  view.setRenameResults(std::move(rows));
  view.setURLMap(std::move(urlMap));
  view.setCurrentStep(step::kRenameFinished);
  view.setRevokedAll(true);
}

void revokeOneAction(const std::shared_ptr<ContentView>& view, const Path& rowURL) {
  // A copy: the URL handed in may belong to a row that changes before the move completes.
  const Path url = rowURL;
  const std::vector<RenameResult>& rows = view->renameResults();
  const std::optional<std::size_t> index = rowOf(rows, url);
  if (!index) return;
  RenameResult revokeRow = rows[*index];
  revokeRow.newName = baseName(url);
  const auto moved = view->urlMap().find(url);
  revokeRow.url = moved != view->urlMap().end() ? moved->second : url;
  logUsageEvent(usage_event::kRenameFinishRevoke, screenParameters(*view));
  std::weak_ptr<ContentView> weakView = view;
  renameFiles({revokeRow}, RenameNames::Restored,
              [weakView, url, revokeRow, index = *index](RenameURLMap map) {
                onMainQueue(weakView,
                            [url, map = std::move(map), revokeRow, index](ContentView& view) {
                              finishRevokeOne(view, url, map, revokeRow, index);
                            });
              });
}

void finishRevokeOne(ContentView& view, const Path& url, const RenameURLMap& map,
                     const RenameResult& revokeRow, std::size_t index) {
  std::vector<RenameResult> rows = view.renameResults();
  // Rows made anew while the completion waited are not the ones revoked.
  if (index >= rows.size() || rows[index].url != url) return;
  RenameURLMap urlMap = view.urlMap();
  const auto restored = map.find(revokeRow.url);
  if (restored == map.end()) {
    urlMap.erase(url);
    view.setURLMap(std::move(urlMap));
    return;
  }
  urlMap[url] = restored->second;
  view.setURLMap(std::move(urlMap));
  rows[index].newName = baseName(restored->second);
  rows[index].url = restored->second;
  view.setRenameResults(std::move(rows));
}

void renameAgain(const std::shared_ptr<ContentView>& view) {
  logUsageEvent(usage_event::kRenameFinishRenameAgain, screenParameters(*view));
  resetRenameFlow(*view);
}

void resetRenameFlow(ContentView& view) {
  view.setSupportedFiles({});
  view.setRenameMap({});
  view.setRenameResults({});
  view.beginRenameBatch();
  view.setCurrentStep(step::kRenameDrop);
  view.setApplyingRename(false);
  view.setURLMap({});
  view.setRevokedAll(false);
}
