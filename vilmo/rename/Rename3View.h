// Rename3View: the rename flow's finished screen (step 1003), where applied names are
// shown and can be revoked.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/rename/RenameResult.h"
#include "vilmo/widgets/Sidebar.h"

struct Rename3View {
  Binding<std::vector<RenameResult>> renameResults;
  Binding<std::map<std::filesystem::path, std::filesystem::path>> urlMap;
  std::function<void()> revokeAllAction;
  std::function<void()> renameAgainAction;
  bool revokedAll = false;
  std::function<void(const std::filesystem::path&)> revokeAction;
  // The sidebar's "Settings".
  std::function<void()> setupAction;

  static constexpr char kTitle[] = "Name applied";

  Sidebar sidebar() const;
};
