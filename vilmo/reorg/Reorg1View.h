// Reorg1View: the reorganise flow's drop screen (step 2001), where one folder is dropped
// and sent, with the progress panel while the request runs.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  static constexpr char kDropZoneText[] = "Drag & Drop";
  static constexpr char kSummaryFormat[] = "Loaded %lld files in %@ folder";
  static constexpr char kReselect[] = "Reselect";
  static constexpr char kNext[] = "Next";
  static constexpr char kProgressTitle[] = "Organizing";
  static constexpr char kCancel[] = "Cancel";
  static constexpr char kProgressImage[] = "Step2Icon";
  static constexpr double kSummaryHeight = 24;
  static constexpr double kSheetMinimumWidth = 260;
  static constexpr double kSheetMinimumHeight = 215;

  Sidebar sidebar() const;

  // The summary strip, tree and buttons replace the drop zone once a folder is loaded.
  bool showsTree() const;
  // "Loaded <n> files in <name> folder", n counting files at every depth.
  std::string summaryText(const std::string& localizedFormat) const;
  // "Reselect" and "Next" while a request runs.
  bool areButtonsDisabled() const;
  // The progress panel's label for a progress value, as a localisable key.
  static const char* progressText(double value);

  // A drop on the drop zone, with the dropped items as local paths. Only exactly one item
  // that is a folder is accepted; it is then read on a later turn of the main queue through
  // the bindings taken now.
  bool acceptFolderDrop(std::vector<std::filesystem::path> items) const;
  // Scans the folder into a new tree, stores it and its bookmark, logs "drop_folder".
  void loadDroppedFolder(const std::filesystem::path& url) const;
  // A reference to the folder that can be kept in a file: its absolute path. Prints
  // "Error creating bookmark: " with the error and gives nothing when the folder is gone.
  static std::optional<platform::Data> createFolderBookmark(const std::filesystem::path& url);
};
