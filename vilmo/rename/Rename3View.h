// Rename3View: the rename flow's finished screen (step 1003), where applied names are
// shown and can be revoked.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/rename/RenameResult.h"
#include "vilmo/widgets/ColorSpec.h"
#include "vilmo/widgets/Sidebar.h"

struct Rename3View {
  Binding<std::vector<RenameResult>> renameResults;
  Binding<std::map<std::filesystem::path, std::filesystem::path>> urlMap;
  std::function<void()> revokeAllAction;
  std::function<void()> renameAgainAction;
  bool revokedAll = false;
  std::function<void(const std::filesystem::path&)> revokeAction;
  // The sidebar's "Settings".
  std::function<void()> setupAction;

  // Screen state: starts afresh each time the screen is shown, and lasts while it stays.
  bool feedbackGiven = false;
  // A localisable key.
  std::string feedbackText = kAskingText;

  static constexpr char kTitle[] = "Name applied";
  static constexpr char kColumnHeader[] = "File names";
  static constexpr char kAskingText[] = "How are the results?";
  static constexpr char kCommentText[] = "Tell us what we can do!";
  static constexpr char kRevokeAll[] = "Revoke All";
  static constexpr char kStartOver[] = "Start Over";
  static constexpr char kArrow[] = "\u2192";
  static constexpr char kRevokeIcon[] = "Revoke";
  static constexpr char kThumbsUpIcon[] = "uil_thumbs-up";
  static constexpr char kThumbsDownIcon[] = "uil_thumbs-down";
  static constexpr char kFormIcon[] = "uil_query";
  static constexpr double kIconSize = 16;
  static constexpr double kRowLineHeight = 20;

  Sidebar sidebar() const;

  // Keeps the screen state of the screen as shown when the root view hands over a new
  // build of it.
  void keepScreenState(const Rename3View& shown);

  // The per-row revoke icons and "Revoke All" go once everything was revoked.
  bool showsRevokeControls() const { return !revokedAll; }

  // A click on a row's old name: the preview panel opens or closes on the file where it
  // is now (its place in urlMap, else the row's own URL). A row that is no longer there
  // does nothing.
  void togglePreview(std::size_t index) const;
  // A row's revoke icon: hands the row's URL to the root view.
  void revoke(std::size_t index) const;
  // A thumb: the link to the form replaces the thumbs, and "feedback_given" goes straight
  // to analytics with "satisfaction" alone.
  void rateResults(bool positive);
};
