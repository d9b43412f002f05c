// MenuBar: draws the application's main-menu model as a window's Qt menu bar.
#pragma once

#include "platform/application.h"

class QMenuBar;

namespace shell {

// Replaces the bar's menus with the model's: one menu per top-level item (titled by the
// item), whose entries send their item's action when chosen. A key equivalent becomes
// Ctrl plus that key.
void renderMenuBar(QMenuBar& bar, const platform::Menu& mainMenu);

}  // namespace shell
