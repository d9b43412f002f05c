// RenameResult: one row of a rename batch: the file's name before, the proposed or
// applied name, and the file's location.
#pragma once

#include <filesystem>
#include <string>

struct RenameResult {
  std::string oldName;
  std::string newName;
  std::filesystem::path url;

  friend bool operator==(const RenameResult&, const RenameResult&) = default;
};
