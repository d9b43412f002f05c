#include "vilmo/reorg/Reorg1View.h"
#include "vilmo/reorg/Reorg2View.h"
#include "vilmo/reorg/Reorg3View.h"

namespace {

// The reorganise flow's sidebar; steps up to and including the screen's own are active.
Sidebar reorgSidebar(const char* imageName, int lastActiveStep, std::vector<CustomButton> buttons) {
  return {imageName,
          "Auto folder",
          {{"\u2460", "Drop folder", lastActiveStep >= 1},
           {"\u2461", "Organize", lastActiveStep >= 2},
           {"\u2462", "Finished", lastActiveStep >= 3}},
          std::move(buttons)};
}

}  // namespace

Sidebar Reorg1View::sidebar() const {
  return reorgSidebar("Step1Icon", 1, {{"uil_file-check", "File Rename", true, switchMode}});
}

Sidebar Reorg2View::sidebar() const { return reorgSidebar("Step2Icon", 2, {}); }

Sidebar Reorg3View::sidebar() const { return reorgSidebar("Step3Icon", 3, {}); }
