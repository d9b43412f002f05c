// Reorg1View: the reorganise flow's drop screen (step 2001), where one folder is dropped
// and sent, with the progress panel while the request runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/data.h"
#include "vilmo/ContentView/Binding.h"
#include "vilmo/widgets/Sidebar.h"

class VirtualFolder;

struct Reorg1View {
  Binding<std::shared_ptr<VirtualFolder>> selectedFolder;
  Binding<std::optional<platform::Data>> folderBookmark;
  std::function<void()> clearAction;
  std::function<void()> nextAction;
  Binding<bool> isProcessing;
  Binding<double> progressValue;
  // The sidebar's "File Rename".
  std::function<void()> switchMode;
  std::function<void()> cancelReorg;

  static constexpr char kTitle[] = "Drop folder";

  Sidebar sidebar() const;
};
