// Rename2View: the rename flow's preview screen (step 1002), where the proposed names are
// edited, retried and applied.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/rename/RenameResult.h"
#include "vilmo/widgets/ColorSpec.h"
#include "vilmo/widgets/Sidebar.h"

struct Rename2View {
  // A row's state, read from its new name alone.
  enum class RowState { Pending, Failed, Named };
  // What the rating block at the bottom shows.
  enum class RatingBlock {
    Waiting,    // some row is pending: nothing
    Asking,     // the question with the two thumbs
    Commented,  // the thanks with the link to the feedback form
  };

  Binding<std::vector<RenameResult>> renameResults;
  std::function<void(const RenameResult&)> retryAction;
  std::function<void()> applyRenameAction;
  std::function<void()> goBackAction;
  // Read at each redraw.
  bool isApplyButtonDisabled = true;
  bool isApplyingRename = false;
  // The sidebar's "Settings".
  std::function<void()> setupAction;

  // Screen state: starts afresh each time the screen is shown, and lasts while it stays.
  bool showAlert = false;
  bool feedbackGiven = false;
  // A localisable key.
  std::string feedbackText = kAskingText;

  static constexpr char kTitle[] = "Previews";
  static constexpr char kColumnHeader[] = "File names";
  static constexpr char kPlaceholder[] = "New Filename";
  static constexpr char kAskingText[] = "Are you satisfied with the results?";
  static constexpr char kCommentText[] = "Tell us what we can improve!";
  static constexpr char kGoBack[] = "Go back";
  static constexpr char kApply[] = "Apply";
  static constexpr char kArrow[] = "\u2192";
  static constexpr char kClearIcon[] = "Revoke";
  static constexpr char kRetryIcon[] = "Retry";
  static constexpr char kFailedRetryIcon[] = "Retry_Red";
  static constexpr char kThumbsUpIcon[] = "uil_thumbs-up";
  static constexpr char kThumbsDownIcon[] = "uil_thumbs-down";
  static constexpr char kFormIcon[] = "uil_query";
  static constexpr double kIconSize = 16;
  static constexpr double kRowHeight = 20;

  Sidebar sidebar() const;

  // Keeps the screen state of the screen as shown when the root view hands over a new
  // build of it.
  void keepScreenState(const Rename2View& shown);

  static RowState rowState(const RenameResult& row);
  bool hasPendingRow() const;
  // Apply waits for the answers, for the renaming under way and for every failed row.
  bool applyDisabled() const;
  RatingBlock ratingBlock() const;

  // Per row: the arrow's and the name's colour, the proposal's tint, the retry icon, and
  // whether the clear and retry buttons react (not while the row is pending).
  static look::ColorSpec proposalColor(const RenameResult& row);
  static look::ColorSpec proposalTint(const RenameResult& row);
  static const char* retryIcon(const RenameResult& row);
  static bool rowButtonsEnabled(const RenameResult& row);

  // Each change of a row's text: "rename_edit_file_name", then the text as typed becomes
  // the row's new name. A row that is no longer there is left alone.
  void commitEditedName(std::size_t index, const std::string& text) const;
  // "rename_preview_clear", then the row's new name is its file's current name without the
  // last extension.
  void clearEditedName(std::size_t index) const;
  // The row's retry button: hands the row as it is now to the root view.
  void retry(std::size_t index) const;
  // A thumb ("up_thumb" or "down_thumb"): "feedback_given_in_app", then the comment
  // prompt.
  void logThumbFeedback(const std::string& feedbackType);
  // "feedback_given_commented" and the thanks in place of the question.
  void showCommentPrompt();
  static void togglePreview(const std::filesystem::path& url);
};
