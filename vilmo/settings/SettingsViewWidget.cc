#include "vilmo/settings/SettingsViewWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "vilmo/settings/SettingsKeys.h"
#include "vilmo/widgets/Sidebar.h"
#include "vilmo/widgets/StyledButton.h"
#include "vilmo/widgets/Theme.h"

namespace {

QWidget* settingsIconColumn() {
  auto* column = new QWidget;
  column->setFixedWidth(static_cast<int>(Sidebar::kWidth));
  column->setMinimumHeight(static_cast<int>(Sidebar::kMinimumHeight));
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(20, 20, 20, 20);
  layout->addWidget(
      look::imageLabel("SettingsIcon", static_cast<int>(SettingsView::kIconSize), column), 0,
      Qt::AlignHCenter);
  layout->addStretch(1);
  return column;
}

}  // namespace

SettingsViewWidget::SettingsViewWidget(SettingsView view, QWidget* parent)
    : TwoColumnScreen(settingsIconColumn(), false, parent), view_(std::move(view)) {
  QWidget* main = mainColumn()->parentWidget();
  mainColumn()->setSpacing(8);
  QLabel* header = addTitle(SettingsView::kTitle);
  header->setContentsMargins(0, 0, 0, 10);

  auto* form = new QFrame(main);
  form->setFrameShape(QFrame::StyledPanel);
  auto* rows = new QFormLayout(form);

  languagePicker_ = new QComboBox(form);
  for (std::string_view name : settings::kLanguageDisplayNames) {
    languagePicker_->addItem(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
  }
  rows->addRow(look::localized("Filename Language"), languagePicker_);

  auto* toggleLabel = new QWidget(form);
  auto* toggleTexts = new QVBoxLayout(toggleLabel);
  toggleTexts->setContentsMargins(0, 0, 0, 0);
  toggleTexts->setSpacing(0);
  toggleTexts->addWidget(new QLabel(look::localized("Naming Convention"), toggleLabel));
  auto* subtitle = new QLabel(look::localized("Use your preferred naming convention"), toggleLabel);
  QFont subheadline = subtitle->font();
  subheadline.setPointSizeF(subheadline.pointSizeF() * 0.85);
  subtitle->setFont(subheadline);
  look::setTextColor(subtitle, {look::ColorRole::Gray});
  toggleTexts->addWidget(subtitle);
  namingConventionToggle_ = new QCheckBox(form);
  rows->addRow(toggleLabel, namingConventionToggle_);

  presetLabel_ = new QLabel(look::localized("Preset"), form);
  presetPicker_ = new QComboBox(form);
  for (std::string_view preset : settings::kPresets) {
    presetPicker_->addItem(QString::fromUtf8(preset.data(), static_cast<int>(preset.size())));
  }
  rows->addRow(presetLabel_, presetPicker_);
  mainColumn()->addWidget(form);
  mainColumn()->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  cancelButton_ =
      new StyledButton(look::localized("Cancel Changes"), look::WhiteButtonStyle{}, main);
  cancelButton_->setLabelColor(look::ColorSpec{look::ColorRole::Primary});
  saveButton_ =
      new StyledButton(look::localized("Save Changes"), look::BlueButtonStyle{false}, main);
  saveButton_->setLabelColor(look::ColorSpec{look::ColorRole::White});
  buttons->addWidget(cancelButton_);
  buttons->addWidget(saveButton_);
  mainColumn()->addLayout(buttons);

  connect(languagePicker_, &QComboBox::currentIndexChanged, this,
          [this](int index) { view_.setSelectedLanguageIndex(index); });
  connect(namingConventionToggle_, &QCheckBox::toggled, this, [this](bool on) {
    view_.setNamingConventionEnabled(on);
    refresh();
  });
  connect(presetPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0) view_.selectPreset(static_cast<std::size_t>(index));
  });
  connect(cancelButton_, &QAbstractButton::clicked, this, [this] {
    if (view_.revokeSettingsAction) view_.revokeSettingsAction();
  });
  connect(saveButton_, &QAbstractButton::clicked, this, [this] {
    if (view_.applySettingsAction) view_.applySettingsAction();
  });
  refresh();
}

void SettingsViewWidget::refresh() {
  QSignalBlocker blockLanguage(languagePicker_);
  QSignalBlocker blockToggle(namingConventionToggle_);
  QSignalBlocker blockPreset(presetPicker_);
  languagePicker_->setCurrentIndex(static_cast<int>(view_.selectedLanguageIndex()));
  namingConventionToggle_->setChecked(view_.isNamingConventionEnabled());
  // Hidden, not removed: turning the toggle off keeps the preset last chosen.
  presetLabel_->setVisible(view_.isNamingConventionEnabled());
  presetPicker_->setVisible(view_.isNamingConventionEnabled());
  std::optional<std::size_t> preset = view_.presetIndex();
  presetPicker_->setCurrentIndex(preset ? static_cast<int>(*preset) : -1);
}

void SettingsViewWidget::showEvent(QShowEvent* event) {
  TwoColumnScreen::showEvent(event);
  if (appeared_ || event->spontaneous()) return;
  appeared_ = true;
  view_.syncSettingsOnAppear();
  refresh();
}
