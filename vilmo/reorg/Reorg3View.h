// Reorg3View: the reorganise flow's finished screen (step 2003), showing the tree as it
// was applied on disk.
#pragma once

#include <functional>
#include <memory>
#include <string>

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
  static constexpr char kStartOver[] = "Start Over";
  static constexpr char kRetry[] = "Retry";

  Sidebar sidebar() const;

  // The title, banner, tree and "Start Over"; else the error text and "Retry" alone.
  bool showsTree() const;
  std::string bannerText(const std::string& localizedFormat) const;
};
