// SettingsViewWidget: draws the settings screen: the settings icon beside a form with the
// filename-language picker, the naming-convention toggle and its preset picker, and the
// Cancel and Save buttons.
#pragma once

#include "vilmo/settings/SettingsView.h"
#include "vilmo/widgets/ScreenWidget.h"

class QCheckBox;
class QComboBox;
class QLabel;
class StyledButton;

class SettingsViewWidget : public TwoColumnScreen {
  Q_OBJECT

 public:
  explicit SettingsViewWidget(SettingsView view, QWidget* parent = nullptr);

  const SettingsView& view() const { return view_; }
  QComboBox* languagePicker() const { return languagePicker_; }
  QCheckBox* namingConventionToggle() const { return namingConventionToggle_; }
  QComboBox* presetPicker() const { return presetPicker_; }
  StyledButton* cancelButton() const { return cancelButton_; }
  StyledButton* saveButton() const { return saveButton_; }

  void refresh() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  SettingsView view_;
  bool appeared_ = false;
  QComboBox* languagePicker_;
  QCheckBox* namingConventionToggle_;
  QLabel* presetLabel_;
  QComboBox* presetPicker_;
  StyledButton* cancelButton_;
  StyledButton* saveButton_;
};
