#include "vilmo/rename/Rename1View.h"
#include "vilmo/rename/Rename2View.h"
#include "vilmo/rename/Rename3View.h"

namespace {

// The rename flow's sidebar with the step of this screen marked.
Sidebar renameSidebar(const char* imageName, int activeStep, std::vector<CustomButton> buttons) {
  return {imageName,
          "File rename",
          {{"\u2460", "Drop files", activeStep == 1},
           {"\u2461", "Rename", activeStep == 2},
           {"\u2462", "Finished", activeStep == 3}},
          std::move(buttons)};
}

CustomButton settingsButton(std::function<void()> action) {
  return {"uil_setting", "Settings", true, std::move(action)};
}

}  // namespace

Sidebar Rename1View::sidebar() const {
  return renameSidebar(
      "Step1Icon", 1,
      {settingsButton(setupAction), {"uil_folder-check", "Auto Folder", true, switchMode}});
}

Sidebar Rename2View::sidebar() const {
  return renameSidebar("Step2Icon", 2, {settingsButton(setupAction)});
}

Sidebar Rename3View::sidebar() const {
  return renameSidebar("Step3Icon", 3, {settingsButton(setupAction)});
}
