#include "vilmo/rename/Rename2View.h"

#include <algorithm>

#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/rename/RenameActions.h"
#include "vilmo/rename/RenameRequest.h"

namespace {

constexpr char kScreenName[] = "rename_step_2";

}  // namespace

void Rename2View::keepScreenState(const Rename2View& shown) {
  showAlert = shown.showAlert;
  feedbackGiven = shown.feedbackGiven;
  feedbackText = shown.feedbackText;
}

Rename2View::RowState Rename2View::rowState(const RenameResult& row) {
  if (row.newName == kPendingName) return RowState::Pending;
  if (row.newName == kErrorRenamingName) return RowState::Failed;
  return RowState::Named;
}

bool Rename2View::hasPendingRow() const {
  std::vector<RenameResult> rows = renameResults.get();
  return std::any_of(rows.begin(), rows.end(),
                     [](const RenameResult& row) { return rowState(row) == RowState::Pending; });
}

bool Rename2View::applyDisabled() const {
  if (isApplyButtonDisabled || isApplyingRename) return true;
  std::vector<RenameResult> rows = renameResults.get();
  // A row still waiting for its name keeps Apply off too, whatever the flag says.
  return std::any_of(rows.begin(), rows.end(),
                     [](const RenameResult& row) { return rowState(row) != RowState::Named; });
}

Rename2View::RatingBlock Rename2View::ratingBlock() const {
  if (feedbackGiven) return RatingBlock::Commented;
  return hasPendingRow() ? RatingBlock::Waiting : RatingBlock::Asking;
}

look::ColorSpec Rename2View::proposalColor(const RenameResult& row) {
  return {rowState(row) == RowState::Failed ? look::ColorRole::SystemRed : look::ColorRole::Accent};
}

look::ColorSpec Rename2View::proposalTint(const RenameResult& row) {
  return proposalColor(row).withOpacity(0.1);
}

const char* Rename2View::retryIcon(const RenameResult& row) {
  return rowState(row) == RowState::Failed ? kFailedRetryIcon : kRetryIcon;
}

bool Rename2View::rowButtonsEnabled(const RenameResult& row) {
  return rowState(row) != RowState::Pending;
}

void Rename2View::commitEditedName(std::size_t index, const std::string& text) const {
  logUsageEvent(usage_event::kRenameEditFileName, {{usage_event::kScreenName, kScreenName}});
  std::vector<RenameResult> rows = renameResults.get();
  if (index >= rows.size()) return;
  rows[index].newName = text;
  renameResults.set(std::move(rows));
}

void Rename2View::clearEditedName(std::size_t index) const {
  logUsageEvent(usage_event::kRenamePreviewClear, {{usage_event::kScreenName, kScreenName}});
  std::vector<RenameResult> rows = renameResults.get();
  if (index >= rows.size()) return;
  // The file's current name, not oldName; only the last extension goes.
  rows[index].newName = baseName(rows[index].url);
  renameResults.set(std::move(rows));
}

void Rename2View::retry(std::size_t index) const {
  std::vector<RenameResult> rows = renameResults.get();
  if (index >= rows.size() || !retryAction) return;
  // The action redraws the screen, which replaces this view and its closures.
  auto action = retryAction;
  action(rows[index]);
}

void Rename2View::logThumbFeedback(const std::string& feedbackType) {
  logUsageEvent(usage_event::kFeedbackGivenInApp, {{usage_event::kFeedbackType, feedbackType},
                                                   {usage_event::kScreenName, kScreenName}});
  showCommentPrompt();
}

void Rename2View::showCommentPrompt() {
  feedbackGiven = true;
  feedbackText = kCommentText;
  logUsageEvent(usage_event::kFeedbackGivenCommented, {{usage_event::kScreenName, kScreenName}});
}

void Rename2View::togglePreview(const std::filesystem::path& url) {
  QuickLookPreviewHelper::togglePreview(url);
}
