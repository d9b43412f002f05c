#include "vilmo/shell/MenuBar.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QString>

namespace shell {
namespace {

QString toQString(const std::string& text) { return QString::fromStdString(text); }

// Choosing the action sends the item's action. The item is held weakly: the bar is
// redrawn from the model, never the other way round.
void bindAction(QAction& action, const std::shared_ptr<platform::MenuItem>& item) {
  if (!item->keyEquivalent().empty()) {
    action.setShortcut(QKeySequence(QStringLiteral("Ctrl+") + toQString(item->keyEquivalent())));
  }
  std::weak_ptr<platform::MenuItem> weak = item;
  QObject::connect(&action, &QAction::triggered, [weak] {
    if (auto strong = weak.lock()) strong->perform();
  });
}

void fillMenu(QMenu& menu, const platform::Menu& model) {
  for (const auto& item : model.itemArray()) {
    if (auto submenu = item->submenu()) {
      fillMenu(*menu.addMenu(toQString(item->title())), *submenu);
    } else {
      bindAction(*menu.addAction(toQString(item->title())), item);
    }
  }
}

}  // namespace

void renderMenuBar(QMenuBar& bar, const platform::Menu& mainMenu) {
  bar.clear();
  for (const auto& item : mainMenu.itemArray()) {
    auto submenu = item->submenu();
    std::string title = item->title();
    if (title.empty() && submenu) title = submenu->title();
    if (submenu) {
      fillMenu(*bar.addMenu(toQString(title)), *submenu);
    } else {
      bindAction(*bar.addAction(toQString(title)), item);
    }
  }
}

}  // namespace shell
