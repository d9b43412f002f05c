// Rename1View: the rename flow's drop screen (step 1001), where files are dropped and the
// renaming starts.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/widgets/Sidebar.h"

struct Rename1View {
  Binding<std::vector<std::filesystem::path>> supportedFiles;
  Binding<std::vector<std::string>> unsupportedFileTypes;
  std::function<void()> clearAction;
  std::function<void()> nextAction;
  // The sidebar's "Settings" and "Auto Folder".
  std::function<void()> setupAction;
  std::function<void()> switchMode;

  static constexpr char kTitle[] = "Drop files";

  Sidebar sidebar() const;
};
