// Reorg2View: the reorganise flow's preview screen (step 2002), showing the proposed tree
// before anything on disk changes.
#pragma once

#include <functional>
#include <memory>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/widgets/Sidebar.h"

class VirtualFolder;

struct Reorg2View {
  Binding<std::shared_ptr<VirtualFolder>> aiFolder;
  std::function<void()> retryAction;
  std::function<void()> applyAction;
  std::function<void()> cancelReorg;

  // Shown whether or not there is a proposed tree.
  static constexpr char kTitle[] = "Previews";
  // Shown below the title when the service gave no tree.
  static constexpr char kErrorText[] = "Error occurs, please retry";

  Sidebar sidebar() const;
};
