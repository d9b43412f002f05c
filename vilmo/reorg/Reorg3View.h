// Reorg3View: the reorganise flow's finished screen (step 2003), showing the tree as it
// was applied on disk.
#pragma once

#include <functional>
#include <memory>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/widgets/Sidebar.h"

class VirtualFolder;

struct Reorg3View {
  Binding<std::shared_ptr<VirtualFolder>> appliedFolder;
  std::function<void()> retryAction;
  std::function<void()> restartAction;

  // Shown only over an applied tree; without one the error text stands alone.
  static constexpr char kTitle[] = "Folder organized";
  static constexpr char kErrorText[] = "Error occurs, please retry";

  Sidebar sidebar() const;
};
