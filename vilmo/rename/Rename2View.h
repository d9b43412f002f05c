// Rename2View: the rename flow's preview screen (step 1002), where the proposed names are
// edited, retried and applied.
#pragma once

#include <functional>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/rename/RenameResult.h"
#include "vilmo/widgets/Sidebar.h"

struct Rename2View {
  Binding<std::vector<RenameResult>> renameResults;
  std::function<void(const RenameResult&)> retryAction;
  std::function<void()> applyRenameAction;
  std::function<void()> goBackAction;
  // Read at each redraw.
  bool isApplyButtonDisabled = true;
  bool isApplyingRename = false;
  // The sidebar's "Settings".
  std::function<void()> setupAction;

  static constexpr char kTitle[] = "Previews";

  Sidebar sidebar() const;
};
