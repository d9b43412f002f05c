#include "vilmo/rename/Rename1View.h"

#include <cstdint>
#include <set>
#include <utility>

#include "platform/dispatch.h"
#include "platform/format.h"
#include "vilmo/QuickLookPreviewHelper.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/rename/FileTypes.h"

std::vector<TooltipButton::Line> TooltipButton::popoverLines() const {
  const look::ColorSpec red{look::ColorRole::SystemRed};
  const look::ColorSpec secondary{look::ColorRole::Secondary};
  std::vector<Line> lines;
  int supportedPadding = 0;
  if (!unsupportedFileTypes.empty()) {
    std::string joined;
    for (const std::string& type : unsupportedFileTypes) {
      if (&type != &unsupportedFileTypes.front()) joined += ", ";
      joined += type;
    }
    lines.push_back({kUnsupportedTitle, true, true, red, 0});
    lines.push_back({std::move(joined), false, false, red, 0});
    supportedPadding = 8;
  }
  lines.push_back({kSupportedTitle, true, true, secondary, supportedPadding});
  lines.push_back({kSupportedTypes, true, false, secondary, 0});
  return lines;
}

bool Rename1View::showsBanner() const {
  return !supportedFiles.get().empty() || !unsupportedFileTypes.get().empty();
}

std::string Rename1View::bannerText(const std::string& localizedFormat) const {
  return platform::format(localizedFormat,
                          {static_cast<std::int64_t>(supportedFiles.get().size())});
}

bool Rename1View::showsFileList() const { return !supportedFiles.get().empty(); }

bool Rename1View::isNextDisabled() const { return supportedFiles.get().empty(); }

bool Rename1View::limitsDropZoneHeight() const { return !supportedFiles.get().empty(); }

TooltipButton Rename1View::tooltipButton() const { return {unsupportedFileTypes.get(), false}; }

bool Rename1View::handleFileDrop(std::vector<std::filesystem::path> urls) const {
  // The bindings, not the screen, carry the drop to its end.
  Rename1View captured;
  captured.supportedFiles = supportedFiles;
  captured.unsupportedFileTypes = unsupportedFileTypes;
  platform::Queue::main()->async(
      [captured = std::move(captured), urls = std::move(urls)] { captured.finishFileDrop(urls); });
  return true;
}

void Rename1View::finishFileDrop(const std::vector<std::filesystem::path>& urls) const {
  std::vector<std::string> refused;
  std::vector<std::filesystem::path> accepted;
  for (const auto& url : urls) {
    if (isSupportedFile(url, refused)) accepted.push_back(url);
  }
  logUsageEvent(usage_event::kDropFiles,
                {{usage_event::kScreenName, "rename_step_1"},
                 {usage_event::kDropFileTotalCount, static_cast<std::int64_t>(urls.size())},
                 {usage_event::kDropFileAcceptedCount, static_cast<std::int64_t>(accepted.size())},
                 {usage_event::kAllFileSupported, accepted.size() == urls.size()}});
  mergeDroppedFiles(accepted, refused);
}

void Rename1View::mergeDroppedFiles(const std::vector<std::filesystem::path>& accepted,
                                    const std::vector<std::string>& refused) const {
  std::vector<std::filesystem::path> files = supportedFiles.get();
  // Also a file dropped twice at once is listed once: its answers find their row by the
  // file, so a second row of it would wait for ever.
  std::set<std::filesystem::path> listed(files.begin(), files.end());
  for (const auto& url : accepted) {
    if (listed.insert(url).second) files.push_back(url);
  }
  supportedFiles.set(std::move(files));

  std::vector<std::string> current = unsupportedFileTypes.get();
  std::set<std::string> types(current.begin(), current.end());
  types.insert(refused.begin(), refused.end());
  unsupportedFileTypes.set(std::vector<std::string>(types.begin(), types.end()));
}

void Rename1View::togglePreview(const std::filesystem::path& url) {
  QuickLookPreviewHelper::togglePreview(url);
}
