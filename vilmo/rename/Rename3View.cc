#include "vilmo/rename/Rename3View.h"

#include "analytics/engine/DAVOdazarado.h"
#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/UsageEvents.h"

void Rename3View::keepScreenState(const Rename3View& shown) {
  feedbackGiven = shown.feedbackGiven;
  feedbackText = shown.feedbackText;
}

void Rename3View::togglePreview(std::size_t index) const {
  std::vector<RenameResult> rows = renameResults.get();
  if (index >= rows.size()) return;
  const std::filesystem::path& url = rows[index].url;
  std::map<std::filesystem::path, std::filesystem::path> map = urlMap.get();
  auto moved = map.find(url);
  QuickLookPreviewHelper::togglePreview(moved != map.end() ? moved->second : url);
}

void Rename3View::revoke(std::size_t index) const {
  std::vector<RenameResult> rows = renameResults.get();
  if (index >= rows.size() || !revokeAction) return;
  // The action redraws the screen, which replaces this view and its closures.
  auto action = revokeAction;
  action(rows[index].url);
}

void Rename3View::rateResults(bool positive) {
  feedbackGiven = true;
  feedbackText = kCommentText;
  // Straight to analytics: no common parameters, no screen name, no timestamp.
  DAVOdazarado::logEventWithName(
      usage_event::kFeedbackGiven,
      {{usage_event::kSatisfaction, positive ? usage_event::kPositive : usage_event::kNegative}});
}
