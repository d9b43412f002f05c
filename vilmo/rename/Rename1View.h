// Rename1View: the rename flow's drop screen (step 1001), where files are dropped and the
// renaming starts.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "vilmo/ContentView/Binding.h"
#include "vilmo/widgets/ColorSpec.h"
#include "vilmo/widgets/Sidebar.h"

// The question-mark icon of the drop screen's banner; hovering it shows which types were
// refused and which are supported.
struct TooltipButton {
  // One line of the popover.
  struct Line {
    std::string text;
    // A localisable key, or a text shown as it stands (the joined refused types).
    bool localizable = true;
    bool bold = false;
    look::ColorSpec color;
    int topPadding = 0;

    friend bool operator==(const Line&, const Line&) = default;
  };

  // A copy taken each time the screen is rebuilt.
  std::vector<std::string> unsupportedFileTypes;
  // Follows the pointer; presents the popover.
  bool isHovered = false;

  static constexpr char kSymbolName[] = "questionmark.circle";
  static constexpr char kUnsupportedTitle[] = "Unsupported filetypes:";
  static constexpr char kSupportedTitle[] = "Support file types";
  // A fixed text, not built from the supported-type lists.
  static constexpr char kSupportedTypes[] =
      "Doc, Docx, PDF, Pages, PNG, JPEG, GIF, TXT, TIFF, HEIC, WEBP";
  static constexpr double kIconSize = 16;
  static constexpr double kLineWidth = 180;
  static constexpr double kFontSize = 13;

  // The popover's lines: the red block of refused types only when there are some.
  std::vector<Line> popoverLines() const;
};

struct Rename1View {
  Binding<std::vector<std::filesystem::path>> supportedFiles;
  Binding<std::vector<std::string>> unsupportedFileTypes;
  std::function<void()> clearAction;
  std::function<void()> nextAction;
  // The sidebar's "Settings" and "Auto Folder".
  std::function<void()> setupAction;
  std::function<void()> switchMode;

  static constexpr char kTitle[] = "Drop files";
  static constexpr char kBannerFormat[] = "%lld supported files loaded";
  static constexpr char kDropZoneText[] = "Drag & Drop";
  static constexpr char kClear[] = "Clear";
  static constexpr char kNext[] = "Next";
  static constexpr double kBannerHeight = 24;
  static constexpr double kFilledDropZoneMaximumHeight = 90;
  static constexpr double kExtensionWidth = 64;

  Sidebar sidebar() const;

  // What the screen shows follows from the two lists alone.
  bool showsBanner() const;
  // The banner's text with the number of accepted files, from the localised format.
  std::string bannerText(const std::string& localizedFormat) const;
  // The file list and the "Clear" / "Next" row.
  bool showsFileList() const;
  // "Next" never reacts while there is nothing to rename.
  bool isNextDisabled() const;
  // The drop zone is at most 90 high once files are listed; else it takes the room.
  bool limitsDropZoneHeight() const;
  TooltipButton tooltipButton() const;

  // A drop on the drop zone or on the file list, with the dropped items as local file
  // paths. Never refused: the split and merge run on a later turn of the main queue, through
  // the bindings taken now, so a drop still completes when the screen has been left.
  bool handleFileDrop(std::vector<std::filesystem::path> urls) const;
  // Keeps the supported files, logs "drop_files" with the counts, then merges.
  void finishFileDrop(const std::vector<std::filesystem::path>& urls) const;
  // Appends the accepted files not yet listed, each once (in one write), and joins the
  // refused extensions without duplicates.
  void mergeDroppedFiles(const std::vector<std::filesystem::path>& accepted,
                         const std::vector<std::string>& refused) const;
  // A click on a file name: opens or closes the preview panel on it.
  static void togglePreview(const std::filesystem::path& url);
};
