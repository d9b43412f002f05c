// ContentView: the root of the window's content and the one owner of all state of both
// flows. Its step code selects the screen shown; it hands each screen bindings to its
// state and the actions the screen fires. Main thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/data.h"
#include "platform/dispatch.h"
#include "vilmo/rename/Rename1View.h"
#include "vilmo/rename/Rename2View.h"
#include "vilmo/rename/Rename3View.h"
#include "vilmo/rename/RenameResult.h"
#include "vilmo/reorg/Reorg1View.h"
#include "vilmo/reorg/Reorg2View.h"
#include "vilmo/reorg/Reorg3View.h"
#include "vilmo/settings/SettingsView.h"

class VirtualFolder;

// Step codes: which screen the window shows. Any other value shows "Unknown Step".
namespace step {
inline constexpr std::int64_t kSettings = -1;
inline constexpr std::int64_t kRenameDrop = 1001;
inline constexpr std::int64_t kRenamePreview = 1002;
inline constexpr std::int64_t kRenameFinished = 1003;
inline constexpr std::int64_t kReorgDrop = 2001;
inline constexpr std::int64_t kReorgPreview = 2002;
inline constexpr std::int64_t kReorgFinished = 2003;
}  // namespace step

class ContentView : public std::enable_shared_from_this<ContentView> {
 public:
  using FileList = std::vector<std::filesystem::path>;
  using URLMap = std::map<std::filesystem::path, std::filesystem::path>;
  using ChangeObserver = std::function<void()>;
  using ObserverID = std::uint64_t;

  // Reads the settings and the first screen from the standard user defaults.
  static std::shared_ptr<ContentView> create();

  // The first screen for a stored "defaultStepType": 1001 + 1000 × value. A value so
  // large that this leaves the 64-bit range gives the nearest end of the range, which
  // shows "Unknown Step" like any other code outside the table.
  static std::int64_t stepForDefaultStepType(std::int64_t defaultStepType);

  // Told after every change of state, on the main thread, so the window redraws.
  ObserverID addChangeObserver(ChangeObserver observer);
  void removeChangeObserver(ObserverID id);

  // The state. Every setter tells the observers; renameFormat and selectedLanguage are
  // also stored under their keys whenever they change.
  const FileList& supportedFiles() const { return supportedFiles_; }
  void setSupportedFiles(FileList files);
  const std::vector<std::string>& unsupportedFileTypes() const { return unsupportedFileTypes_; }
  void setUnsupportedFileTypes(std::vector<std::string> types);
  const std::map<std::filesystem::path, std::string>& renameMap() const { return renameMap_; }
  void setRenameMap(std::map<std::filesystem::path, std::string> map);
  const std::string& renameFormat() const { return renameFormat_; }
  void setRenameFormat(std::string format);
  const std::string& selectedLanguage() const { return selectedLanguage_; }
  void setSelectedLanguage(std::string language);
  std::int64_t currentStep() const { return currentStep_; }
  void setCurrentStep(std::int64_t step);
  std::int64_t tempCurrentStep() const { return tempCurrentStep_; }
  void setTempCurrentStep(std::int64_t step);
  const std::string& tempRenameFormat() const { return tempRenameFormat_; }
  void setTempRenameFormat(std::string format);
  const std::string& tempSelectedLanguage() const { return tempSelectedLanguage_; }
  void setTempSelectedLanguage(std::string language);
  const std::vector<RenameResult>& renameResults() const { return renameResults_; }
  void setRenameResults(std::vector<RenameResult> results);
  bool isApplyButtonDisabled() const { return isApplyButtonDisabled_; }
  void setApplyButtonDisabled(bool disabled);
  bool isApplyingRename() const { return isApplyingRename_; }
  void setApplyingRename(bool applying);
  const URLMap& urlMap() const { return urlMap_; }
  void setURLMap(URLMap map);
  bool revokedAll() const { return revokedAll_; }
  void setRevokedAll(bool revoked);
  const std::shared_ptr<VirtualFolder>& selectedFolder() const { return selectedFolder_; }
  void setSelectedFolder(std::shared_ptr<VirtualFolder> folder);
  const std::shared_ptr<VirtualFolder>& aiFolder() const { return aiFolder_; }
  void setAiFolder(std::shared_ptr<VirtualFolder> folder);
  const std::shared_ptr<VirtualFolder>& appliedFolder() const { return appliedFolder_; }
  void setAppliedFolder(std::shared_ptr<VirtualFolder> folder);
  const std::optional<platform::Data>& folderBookmark() const { return folderBookmark_; }
  void setFolderBookmark(std::optional<platform::Data> bookmark);
  bool isProcessing() const { return isProcessing_; }
  void setProcessing(bool processing);
  double progressValue() const { return progressValue_; }
  void setProgressValue(double value);
  const std::shared_ptr<platform::TimerSource>& timer() const { return timer_; }
  void setTimer(std::shared_ptr<platform::TimerSource> timer);
  double estimatedTotalTime() const { return estimatedTotalTime_; }
  void setEstimatedTotalTime(double seconds);

  // The number of the rename batch whose rows are shown. Every time the rows are made
  // anew the number changes, so that answers still arriving for earlier rows are known
  // and dropped.
  std::uint64_t renameBatch() const { return renameBatch_; }
  std::uint64_t beginRenameBatch() { return ++renameBatch_; }
  // The number of the reorganise run under way. Starting, cancelling or leaving a run
  // changes it, so that an answer (or a delayed step) of an earlier run is known and
  // dropped.
  std::uint64_t reorgRun() const { return reorgRun_; }
  std::uint64_t beginReorgRun() { return ++reorgRun_; }

  // The settings button of the rename screens: remembers the step and both settings,
  // shows the settings screen and logs "settings_start".
  void openSettings();
  // The rename drop screen's "Auto Folder": logs "sidebar_auto_folder_click", makes the
  // reorganise flow the one to open at launch, and on the next turn of the main queue
  // shows its empty drop screen. The rename state stays.
  void switchToReorganize();
  // The reorganise drop screen's "File Rename": logs "file_rename_entrance_click", makes
  // the rename flow the one to open at launch, and at once empties the rename state
  // (except the refused types and the Apply flag) and shows the rename drop screen.
  void switchToRename();

  // Settings: read when the window's content appears, written when it disappears and on
  // every change.
  void loadSettings();
  void storeSettings();
  void storeSettingValue(const std::string& value, const std::string& key);
  // The settings screen's Cancel: back to the remembered step and settings. No event.
  void cancelSettings();
  // Its Save: back to the remembered step with the edited settings; "settings_apply".
  void saveSettings();

  // The screens, built with bindings to this state and the actions they fire.
  SettingsView settingsView();
  Rename1View rename1View();
  Rename2View rename2View();
  Rename3View rename3View();
  Reorg1View reorg1View();
  Reorg2View reorg2View();
  Reorg3View reorg3View();

  ContentView(const ContentView&) = delete;
  ContentView& operator=(const ContentView&) = delete;

 private:
  ContentView();
  void changed();

  FileList supportedFiles_;
  std::vector<std::string> unsupportedFileTypes_;
  std::map<std::filesystem::path, std::string> renameMap_;
  std::string renameFormat_;
  std::string selectedLanguage_;
  std::int64_t currentStep_ = step::kRenameDrop;
  std::int64_t tempCurrentStep_ = step::kRenameDrop;
  std::string tempRenameFormat_;
  std::string tempSelectedLanguage_;
  std::vector<RenameResult> renameResults_;
  bool isApplyButtonDisabled_ = true;
  bool isApplyingRename_ = false;
  URLMap urlMap_;
  bool revokedAll_ = false;
  std::shared_ptr<VirtualFolder> selectedFolder_;
  std::shared_ptr<VirtualFolder> aiFolder_;
  std::shared_ptr<VirtualFolder> appliedFolder_;
  std::optional<platform::Data> folderBookmark_;
  bool isProcessing_ = false;
  double progressValue_ = 0.0;
  std::shared_ptr<platform::TimerSource> timer_;
  double estimatedTotalTime_ = 10.0;
  std::uint64_t renameBatch_ = 0;
  std::uint64_t reorgRun_ = 0;

  std::vector<std::pair<ObserverID, std::shared_ptr<ChangeObserver>>> observers_;
  ObserverID nextObserverID_ = 1;
};
