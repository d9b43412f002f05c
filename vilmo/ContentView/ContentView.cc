#include "vilmo/ContentView/ContentView.h"

#include <limits>
#include <utility>

#include "platform/error.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/rename/RenameActions.h"
#include "vilmo/reorg/ReorgActions.h"
#include "vilmo/settings/SettingsKeys.h"

namespace {

std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standard(); }

std::string storedString(const char* key, const char* fallback) {
  return defaults()->stringForKey(key).value_or(fallback);
}

std::int64_t storedFirstStep() {
  return ContentView::stepForDefaultStepType(
      defaults()->integerForKey(settings::kDefaultStepTypeKey));
}

// A binding whose reads and writes go through the view's accessors.
template <typename T, typename Getter, typename Setter>
Binding<T> bindState(const std::shared_ptr<ContentView>& view, Getter getter, Setter setter) {
  return Binding<T>([view, getter] { return T(((*view).*getter)()); },
                    [view, setter](T value) { ((*view).*setter)(std::move(value)); });
}

template <typename Action>
std::function<void()> bindAction(const std::shared_ptr<ContentView>& view, Action action) {
  return [view, action] { ((*view).*action)(); };
}

}  // namespace

ContentView::ContentView()
    : renameFormat_(settings::kDefaultRenameFormat),
      selectedLanguage_(settings::kDefaultSelectedLanguage),
      tempRenameFormat_(settings::kDefaultRenameFormat),
      tempSelectedLanguage_(settings::kDefaultSelectedLanguage) {}

std::shared_ptr<ContentView> ContentView::create() {
  std::shared_ptr<ContentView> view(new ContentView());
  view->renameFormat_ = storedString(settings::kRenameFormatKey, settings::kDefaultRenameFormat);
  view->selectedLanguage_ =
      storedString(settings::kSelectedLanguageKey, settings::kDefaultSelectedLanguage);
  view->currentStep_ = storedFirstStep();
  view->tempCurrentStep_ = storedFirstStep();
  return view;
}

std::int64_t ContentView::stepForDefaultStepType(std::int64_t defaultStepType) {
  std::int64_t product = 0;
  std::int64_t step = 0;
  if (__builtin_mul_overflow(defaultStepType, std::int64_t{1000}, &product) ||
      __builtin_add_overflow(product, std::int64_t{1001}, &step)) {
    return defaultStepType < 0 ? std::numeric_limits<std::int64_t>::min()
                               : std::numeric_limits<std::int64_t>::max();
  }
  return step;
}

ContentView::ObserverID ContentView::addChangeObserver(ChangeObserver observer) {
  ObserverID id = nextObserverID_++;
  observers_.emplace_back(id, std::make_shared<ChangeObserver>(std::move(observer)));
  return id;
}

void ContentView::removeChangeObserver(ObserverID id) {
  for (auto it = observers_.begin(); it != observers_.end(); ++it) {
    if (it->first == id) {
      // Emptied as well, so that a notification already under way skips it.
      *it->second = nullptr;
      observers_.erase(it);
      return;
    }
  }
}

void ContentView::changed() {
  std::vector<std::shared_ptr<ChangeObserver>> observers;
  observers.reserve(observers_.size());
  for (const auto& entry : observers_) observers.push_back(entry.second);
  for (const auto& observer : observers) {
    if (*observer) (*observer)();
  }
}

void ContentView::setSupportedFiles(FileList files) {
  supportedFiles_ = std::move(files);
  changed();
}

void ContentView::setUnsupportedFileTypes(std::vector<std::string> types) {
  unsupportedFileTypes_ = std::move(types);
  changed();
}

void ContentView::setRenameMap(std::map<std::filesystem::path, std::string> map) {
  renameMap_ = std::move(map);
  changed();
}

void ContentView::setRenameFormat(std::string format) {
  if (format == renameFormat_) return;
  renameFormat_ = std::move(format);
  storeSettingValue(renameFormat_, settings::kRenameFormatKey);
  changed();
}

void ContentView::setSelectedLanguage(std::string language) {
  if (language == selectedLanguage_) return;
  selectedLanguage_ = std::move(language);
  storeSettingValue(selectedLanguage_, settings::kSelectedLanguageKey);
  changed();
}

void ContentView::setCurrentStep(std::int64_t step) {
  currentStep_ = step;
  changed();
}

void ContentView::setTempCurrentStep(std::int64_t step) {
  tempCurrentStep_ = step;
  changed();
}

void ContentView::setTempRenameFormat(std::string format) {
  tempRenameFormat_ = std::move(format);
  changed();
}

void ContentView::setTempSelectedLanguage(std::string language) {
  tempSelectedLanguage_ = std::move(language);
  changed();
}

void ContentView::setRenameResults(std::vector<RenameResult> results) {
  renameResults_ = std::move(results);
  changed();
}

void ContentView::setApplyButtonDisabled(bool disabled) {
  isApplyButtonDisabled_ = disabled;
  changed();
}

void ContentView::setApplyingRename(bool applying) {
  isApplyingRename_ = applying;
  changed();
}

void ContentView::setURLMap(URLMap map) {
  urlMap_ = std::move(map);
  changed();
}

void ContentView::setRevokedAll(bool revoked) {
  revokedAll_ = revoked;
  changed();
}

void ContentView::setSelectedFolder(std::shared_ptr<VirtualFolder> folder) {
  selectedFolder_ = std::move(folder);
  changed();
}

void ContentView::setAiFolder(std::shared_ptr<VirtualFolder> folder) {
  aiFolder_ = std::move(folder);
  changed();
}

void ContentView::setAppliedFolder(std::shared_ptr<VirtualFolder> folder) {
  appliedFolder_ = std::move(folder);
  changed();
}

void ContentView::setFolderBookmark(std::optional<platform::Data> bookmark) {
  folderBookmark_ = std::move(bookmark);
  changed();
}

void ContentView::setProcessing(bool processing) {
  isProcessing_ = processing;
  changed();
}

void ContentView::setProgressValue(double value) {
  progressValue_ = value;
  changed();
}

void ContentView::setTimer(std::shared_ptr<platform::TimerSource> timer) {
  timer_ = std::move(timer);
  changed();
}

void ContentView::setEstimatedTotalTime(double seconds) {
  estimatedTotalTime_ = seconds;
  changed();
}

void ContentView::openSettings() {
  tempCurrentStep_ = currentStep_;
  tempRenameFormat_ = renameFormat_;
  tempSelectedLanguage_ = selectedLanguage_;
  currentStep_ = step::kSettings;
  changed();
  logUsageEvent(usage_event::kSettingsStart,
                {{usage_event::kScreenName, renameScreenName(tempCurrentStep_)}});
}

void ContentView::switchToReorganize() {
  logUsageEvent(usage_event::kSidebarAutoFolderClick,
                {{usage_event::kScreenName, renameScreenName(currentStep_)}});
  defaults()->setInteger(settings::kDefaultStepTypeKey, 1);
  runOnMainQueue(shared_from_this(), resetReorganizeFlow);
}

void ContentView::switchToRename() {
  logUsageEvent(usage_event::kFileRenameEntranceClick,
                {{usage_event::kScreenName, reorgScreenName(currentStep_)}});
  defaults()->setInteger(settings::kDefaultStepTypeKey, 0);
  // A reorganise answer still on its way must not bring the reorganise screens back.
  beginReorgRun();
  invalidateProgressTimer(*this);
  supportedFiles_.clear();
  renameMap_.clear();
  renameResults_.clear();
  beginRenameBatch();
  currentStep_ = step::kRenameDrop;
  isApplyingRename_ = false;
  urlMap_.clear();
  revokedAll_ = false;
  changed();
}

void ContentView::loadSettings() {
  setRenameFormat(storedString(settings::kRenameFormatKey, settings::kDefaultRenameFormat));
  setSelectedLanguage(
      storedString(settings::kSelectedLanguageKey, settings::kDefaultSelectedLanguage));
}

void ContentView::storeSettings() {
  storeSettingValue(renameFormat_, settings::kRenameFormatKey);
  storeSettingValue(selectedLanguage_, settings::kSelectedLanguageKey);
}

void ContentView::storeSettingValue(const std::string& value, const std::string& key) {
  try {
    defaults()->setObject(key, platform::Value(value));
  } catch (const platform::Exception& refused) {
    // Text the settings file cannot hold (a NUL, broken UTF-8) leaves the stored value as it
    // was rather than ending the application.
    platform::SystemLog::write(platform::SystemLog::Error, refused.reason());
  }
}

void ContentView::cancelSettings() {
  currentStep_ = tempCurrentStep_;
  setRenameFormat(tempRenameFormat_);
  setSelectedLanguage(tempSelectedLanguage_);
  changed();
}

void ContentView::saveSettings() {
  currentStep_ = tempCurrentStep_;
  changed();
  logUsageEvent(usage_event::kSettingsApply,
                {{usage_event::kFilenameLanguage, selectedLanguage_},
                 {usage_event::kNamingConvention, renameFormat_ == settings::kDefaultRenameFormat},
                 {usage_event::kPresetSelection, renameFormat_}});
}

SettingsView ContentView::settingsView() {
  auto self = shared_from_this();
  SettingsView view;
  view.renameFormat =
      bindState<std::string>(self, &ContentView::renameFormat, &ContentView::setRenameFormat);
  view.selectedLanguage = bindState<std::string>(self, &ContentView::selectedLanguage,
                                                 &ContentView::setSelectedLanguage);
  view.revokeSettingsAction = bindAction(self, &ContentView::cancelSettings);
  view.applySettingsAction = bindAction(self, &ContentView::saveSettings);
  return view;
}

Rename1View ContentView::rename1View() {
  auto self = shared_from_this();
  Rename1View view;
  view.supportedFiles =
      bindState<FileList>(self, &ContentView::supportedFiles, &ContentView::setSupportedFiles);
  view.unsupportedFileTypes = bindState<std::vector<std::string>>(
      self, &ContentView::unsupportedFileTypes, &ContentView::setUnsupportedFileTypes);
  view.clearAction = [self] { clearDroppedFiles(self); };
  view.nextAction = [self] { startRename(self); };
  view.setupAction = bindAction(self, &ContentView::openSettings);
  view.switchMode = bindAction(self, &ContentView::switchToReorganize);
  return view;
}

Rename2View ContentView::rename2View() {
  auto self = shared_from_this();
  Rename2View view;
  view.renameResults = bindState<std::vector<RenameResult>>(self, &ContentView::renameResults,
                                                            &ContentView::setRenameResults);
  view.retryAction = [self](const RenameResult& row) { retryRename(self, row); };
  view.applyRenameAction = [self] { applyRenamePreview(self); };
  view.goBackAction = [self] { renameGoBack(self, step::kRenameDrop); };
  view.isApplyButtonDisabled = isApplyButtonDisabled_;
  view.isApplyingRename = isApplyingRename_;
  view.setupAction = bindAction(self, &ContentView::openSettings);
  return view;
}

Rename3View ContentView::rename3View() {
  auto self = shared_from_this();
  Rename3View view;
  view.renameResults = bindState<std::vector<RenameResult>>(self, &ContentView::renameResults,
                                                            &ContentView::setRenameResults);
  view.urlMap = bindState<URLMap>(self, &ContentView::urlMap, &ContentView::setURLMap);
  view.revokeAllAction = [self] { revokeAllAction(self); };
  view.renameAgainAction = [self] { renameAgain(self); };
  view.revokedAll = revokedAll_;
  view.revokeAction = [self](const std::filesystem::path& url) { revokeOneAction(self, url); };
  view.setupAction = bindAction(self, &ContentView::openSettings);
  return view;
}

Reorg1View ContentView::reorg1View() {
  auto self = shared_from_this();
  Reorg1View view;
  view.selectedFolder = bindState<std::shared_ptr<VirtualFolder>>(
      self, &ContentView::selectedFolder, &ContentView::setSelectedFolder);
  view.folderBookmark = bindState<std::optional<platform::Data>>(self, &ContentView::folderBookmark,
                                                                 &ContentView::setFolderBookmark);
  view.isProcessing =
      bindState<bool>(self, &ContentView::isProcessing, &ContentView::setProcessing);
  view.progressValue =
      bindState<double>(self, &ContentView::progressValue, &ContentView::setProgressValue);
  view.clearAction = [self] { reselectFolder(self); };
  view.nextAction = [self] { startReorganize(self); };
  view.switchMode = bindAction(self, &ContentView::switchToRename);
  view.cancelReorg = [self] { cancelReorganize(self); };
  return view;
}

Reorg2View ContentView::reorg2View() {
  auto self = shared_from_this();
  Reorg2View view;
  view.aiFolder = bindState<std::shared_ptr<VirtualFolder>>(self, &ContentView::aiFolder,
                                                            &ContentView::setAiFolder);
  view.retryAction = [self] { retryReorganize(self); };
  view.applyAction = [self] { applyReorganization(self); };
  view.cancelReorg = [self] { cancelReorganize(self); };
  return view;
}

Reorg3View ContentView::reorg3View() {
  auto self = shared_from_this();
  Reorg3View view;
  view.appliedFolder = bindState<std::shared_ptr<VirtualFolder>>(self, &ContentView::appliedFolder,
                                                                 &ContentView::setAppliedFolder);
  view.retryAction = [self] { retryReorganize(self); };
  view.restartAction = [self] { organizeAgain(self); };
  return view;
}
