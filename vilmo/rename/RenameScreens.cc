#include "vilmo/rename/RenameScreens.h"

#include <optional>
#include <string>

#include <QUrl>

#include "platform/workspace.h"
#include "vilmo/AppConfiguration.h"

look::ColorSpec fileRowBackground(std::size_t index) {
  if (index % 2 == 0) return {look::ColorRole::Primary, 0.06};
  return {look::ColorRole::WindowBackground};
}

void openFeedbackForm() {
  std::optional<std::string> address = AppConfiguration::feedbackFormURL();
  if (!address) return;
  QUrl url(QString::fromStdString(*address), QUrl::StrictMode);
  if (!url.isValid() || url.isRelative()) return;
  platform::Workspace::sharedWorkspace().openURL(*address);
}
