// Reorg2View: the reorganise flow's preview screen (step 2002), showing the proposed tree
// before anything on disk changes.
#pragma once

#include <functional>
#include <memory>
#include <string>

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
  static constexpr char kBack[] = "Back";
  static constexpr char kReorganize[] = "Reorganize";
  static constexpr char kApply[] = "Apply";
  static constexpr char kRetry[] = "Retry";

  Sidebar sidebar() const;

  // The banner, tree and "Back" / "Reorganize" / "Apply"; else the error text and "Retry".
  bool showsTree() const;
  std::string bannerText(const std::string& localizedFormat) const;
};
