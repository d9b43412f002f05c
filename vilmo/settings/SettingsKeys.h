// SettingsKeys: the user-defaults keys of the application's settings, their defaults, and
// the fixed lists the settings screen offers.
#pragma once

#include <array>
#include <string_view>

namespace settings {

inline constexpr char kRenameFormatKey[] = "renameFormat";
inline constexpr char kSelectedLanguageKey[] = "selectedLanguage";
// 0 opens the rename flow at launch, 1 the reorganise flow.
inline constexpr char kDefaultStepTypeKey[] = "defaultStepType";
inline constexpr char kUserIDKey[] = "userID";

inline constexpr char kDefaultRenameFormat[] = "Content";
inline constexpr char kDefaultSelectedLanguage[] = "Default";

// Stored values; index i of languageDisplayNames is what the picker shows for index i.
inline constexpr std::array<std::string_view, 6> kLanguages = {"Default", "Legacy", "English",
                                                               "Chinese", "French", "German"};
inline constexpr std::array<std::string_view, 6> kLanguageDisplayNames = {
    "Default (System)", "Legacy (File)", "English", "中文", "Français", "Deutsch"};
// Naming formats, shown and stored as they are.
inline constexpr std::array<std::string_view, 7> kPresets = {
    "Content",
    "Content_Owner_Date",
    "Content_Date_Category",
    "Owner_Content_Category",
    "Date_Content_Owner",
    "Category_Date_Content",
    "FirstAuthor_Year_Keyword_Journal_CorrespondingAuthor"};

}  // namespace settings
