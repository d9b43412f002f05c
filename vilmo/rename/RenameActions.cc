#include "vilmo/rename/RenameActions.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <system_error>
#include <tuple>
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
  return isValidFileName(name) && (names == RenameNames::Restored || !isPlaceholderName(name));
}

// The name tried at `counter`: the new name itself at 0, else with "_" and the counter.
Path candidateAt(const Path& directory, const std::string& name, const std::string& extension,
                 int counter) {
  return candidate(directory, counter == 0 ? name : name + "_" + std::to_string(counter),
                   extension);
}

// Where one walk goes on looking for a free name for a (folder, name, extension). A file
// given a taken name tries "_1", "_2", ... in turn; starting each search from 1 would make a
// batch given one name cost the square of its size, so the walk remembers the lowest counter
// not known to be taken. A file the walk moves away frees its name, which may be one of the
// counters passed over (or, for a document package, a whole folder of them); the search then
// starts there again, so every file gets the name a search from 1 would give it.
class FreeNames {
 public:
  struct Found {
    Path target;
    int counter = 0;
  };

  // The first candidate that nothing occupies.
  Found find(const Path& directory, const std::string& name, const std::string& extension) {
    int& next = next_.try_emplace({directory, name, extension}, 0).first->second;
    Found found{candidateAt(directory, name, extension, next), next};
    while (isTaken(found.target)) {
      found.target = candidateAt(directory, name, extension, ++found.counter);
    }
    next = found.counter;
    return found;
  }

  // A file moved from `source` to what find gave for the name.
  void moved(const Path& source, const Path& directory, const std::string& name,
             const std::string& extension, const Found& found) {
    next_[{directory, name, extension}] = found.counter + 1;
    freed(source);
  }

 private:
  using Key = std::tuple<Path, std::string, std::string>;

  static bool isWithin(const Path& path, const Path& folder) {
    return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
           folder.end();
  }

  void freed(const Path& source) {
    // Names inside a folder that moved away: searched afresh.
    auto inside = next_.lower_bound({source, "", ""});
    while (inside != next_.end() && isWithin(std::get<0>(inside->first), source)) {
      inside = next_.erase(inside);
    }
    // The name itself is a candidate of the whole name without extension, or of the part
    // before its last "." with the rest as extension.
    const Path directory = source.parent_path();
    const std::string file = source.filename().string();
    freedCandidate(directory, file, "");
    const std::size_t dot = file.rfind('.');
    if (dot != std::string::npos && dot + 1 < file.size()) {
      freedCandidate(directory, file.substr(0, dot), file.substr(dot + 1));
    }
  }

  // `stem` is the name itself at counter 0, and, when it ends in "_" and a counter written
  // as the walk writes it, the name before them at that counter.
  void freedCandidate(const Path& directory, const std::string& stem,
                      const std::string& extension) {
    lower({directory, stem, extension}, 0);
    const std::size_t underscore = stem.rfind('_');
    if (underscore == std::string::npos) return;
    const std::string digits = stem.substr(underscore + 1);
    int counter = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), counter);
    if (error != std::errc() || end != digits.data() + digits.size() || counter < 1 ||
        std::to_string(counter) != digits) {
      return;
    }
    lower({directory, stem.substr(0, underscore), extension}, counter);
  }

  void lower(const Key& key, int counter) {
    const auto entry = next_.find(key);
    if (entry != next_.end() && counter < entry->second) entry->second = counter;
  }

  std::map<Key, int> next_;
};

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

bool isPlaceholderName(const std::string& name) {
  return name == kPendingName || name == kErrorRenamingName;
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
  FreeNames freeNames;
  for (const RenameResult& row : rows) {
    const Path& source = row.url;
    if (!isUsableName(row.newName, names)) {
      std::cout << "Error renaming file " << source.filename().string() << ": invalid name\n";
      map[source] = source;
      continue;
    }
    const Path directory = source.parent_path();
    const std::string extension = extensionOf(source);
    if (candidate(directory, row.newName, extension) == source) {
      map[source] = source;
      continue;
    }
    const FreeNames::Found found = freeNames.find(directory, row.newName, extension);
    const Path& target = found.target;
    std::cout << "Renaming file from " << source.string() << " to " << target.string() << '\n';
    platform::ErrorPtr error;
    if (platform::moveItem(source, target, &error)) {
      std::cout << "Successfully renamed file to " << target.string() << '\n';
      freeNames.moved(source, directory, row.newName, extension, found);
      map[source] = target;
    } else {
      std::cout << "Error renaming file " << source.filename().string() << ": "
                << error->localizedDescription() << '\n';
    }
  }
  // One flush for the whole walk, not a write to the console per line on the main thread.
  std::cout.flush();
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
