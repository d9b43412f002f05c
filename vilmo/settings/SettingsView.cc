#include "vilmo/settings/SettingsView.h"

#include "vilmo/settings/SettingsKeys.h"

void SettingsView::setSelectedLanguageIndex(std::int64_t index) {
  if (index < 0 || index >= static_cast<std::int64_t>(settings::kLanguages.size())) return;
  if (index == selectedLanguageIndex_) return;
  selectedLanguageIndex_ = index;
  selectedLanguage.set(std::string(settings::kLanguages[static_cast<std::size_t>(index)]));
}

std::optional<std::size_t> SettingsView::presetIndex() const {
  std::string format = renameFormat.get();
  for (std::size_t i = 0; i < settings::kPresets.size(); ++i) {
    if (settings::kPresets[i] == format) return i;
  }
  return std::nullopt;
}

void SettingsView::selectPreset(std::size_t index) {
  if (index >= settings::kPresets.size()) return;
  renameFormat.set(std::string(settings::kPresets[index]));
}

void SettingsView::syncSettingsOnAppear() {
  if (renameFormat.get().empty()) renameFormat.set(settings::kDefaultRenameFormat);
  std::string language = selectedLanguage.get();
  std::int64_t index = 0;
  for (std::size_t i = 0; i < settings::kLanguages.size(); ++i) {
    if (settings::kLanguages[i] == language) {
      index = static_cast<std::int64_t>(i);
      break;
    }
  }
  setSelectedLanguageIndex(index);
  isNamingConventionEnabled_ = renameFormat.get() != settings::kDefaultRenameFormat;
}
