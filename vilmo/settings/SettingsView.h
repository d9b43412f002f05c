// SettingsView: the settings screen (filename language and naming convention) over the
// root view's two settings, with its own picker and toggle state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vilmo/ContentView/Binding.h"

class SettingsView {
 public:
  Binding<std::string> renameFormat;
  Binding<std::string> selectedLanguage;
  // Cancel Changes and Save Changes.
  std::function<void()> revokeSettingsAction;
  std::function<void()> applySettingsAction;

  static constexpr char kTitle[] = "Settings";
  static constexpr double kIconSize = 104;

  // Screen state: both start anew (false, 0) each time the screen is built.
  bool isNamingConventionEnabled() const { return isNamingConventionEnabled_; }
  // Turning it off only hides the preset picker; the format keeps the preset last chosen.
  void setNamingConventionEnabled(bool enabled) { isNamingConventionEnabled_ = enabled; }
  std::int64_t selectedLanguageIndex() const { return selectedLanguageIndex_; }
  // The language picker: a change of index stores the language of that index. An index
  // outside the list is not offered by the picker and changes nothing.
  void setSelectedLanguageIndex(std::int64_t index);

  // The preset picker's selection: the index of the format among the presets, none when
  // the format is not one of them.
  std::optional<std::size_t> presetIndex() const;
  void selectPreset(std::size_t index);

  // Runs when the screen appears: an empty format becomes "Content", the picker shows the
  // stored language (index 0 for one not in the list) and the toggle is on for any format
  // other than "Content".
  void syncSettingsOnAppear();

 private:
  bool isNamingConventionEnabled_ = false;
  std::int64_t selectedLanguageIndex_ = 0;
};
