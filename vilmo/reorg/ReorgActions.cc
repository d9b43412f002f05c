#include "vilmo/reorg/ReorgActions.h"

#include <cmath>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "vilmo/ContentView/ContentView.h"
#include "vilmo/UsageEvents.h"
#include "vilmo/reorg/FolderResponse.h"
#include "vilmo/reorg/ReorgApply.h"
#include "vilmo/reorg/ReorgRequest.h"
#include "vilmo/reorg/VirtualFolder.h"

namespace {

void logReorgEvent(const char* name, const ContentView& view) {
  logUsageEvent(name, {{usage_event::kScreenName, reorgScreenName(view.currentStep())}});
}

}  // namespace

void runOnMainQueue(const std::shared_ptr<ContentView>& view,
                    std::function<void(ContentView& view)> action) {
  std::weak_ptr<ContentView> weakView = view;
  platform::Queue::main()->async([weakView, action = std::move(action)] {
    if (std::shared_ptr<ContentView> strong = weakView.lock()) action(*strong);
  });
}

void startReorganize(const std::shared_ptr<ContentView>& view) {
  const std::shared_ptr<const VirtualFolder> scanned = view->selectedFolder();
  if (!scanned) return;
  logReorgEvent(usage_event::kOrganizeStart, *view);
  view->setProcessing(true);
  invalidateProgressTimer(*view);
  view->setProgressValue(0);
  view->setEstimatedTotalTime(10.0);
  startProgressTimer(view);

  std::vector<std::string> paths;
  scanned->collectRelativePaths(paths);
  view->setEstimatedTotalTime(static_cast<double>(paths.size()) * kEstimatedSecondsPerFile);
  startProgressTimer(view);

  const std::uint64_t run = view->beginReorgRun();
  std::weak_ptr<ContentView> weakView = view;
  std::optional<platform::URLRequest> request = makeReorgRequest(paths);
  if (!request) {
    std::cout << "Request failed: No naming service address." << std::endl;
    deliverReorganizeOutcome(weakView, run, scanned, {});
    return;
  }
  sendReorgRequest(std::move(*request), scanned, [weakView, run, scanned](ReorgOutcome outcome) {
    deliverReorganizeOutcome(weakView, run, scanned, std::move(outcome));
  });
}

void startProgressTimer(const std::shared_ptr<ContentView>& view) {
  view->setProgressValue(0);
  invalidateProgressTimer(*view);
  std::shared_ptr<platform::TimerSource> timer =
      platform::TimerSource::create(platform::Queue::main());
  std::weak_ptr<ContentView> weakView = view;
  timer->setEventHandler([weakView] {
    if (std::shared_ptr<ContentView> strong = weakView.lock()) progressTimerTick(*strong);
  });
  timer->setTimer(kProgressTickSeconds, kProgressTickSeconds);
  timer->resume();
  view->setTimer(std::move(timer));
}

void progressTimerTick(ContentView& view) {
  const double value = view.progressValue();
  if (value >= 1.0) return;
  const double estimate = view.estimatedTotalTime();
  // A folder without files is estimated at no time at all; its bar goes straight to the
  // ceiling rather than through a division by zero.
  double next = estimate > 0 ? value + kProgressTickSeconds / estimate : kProgressCeiling;
  if (!(next <= kProgressCeiling)) next = kProgressCeiling;
  if (next != value) view.setProgressValue(next);
}

void invalidateProgressTimer(ContentView& view) {
  if (!view.timer()) return;
  view.timer()->cancel();
  view.setTimer(nullptr);
}

void deliverReorganizeOutcome(const std::weak_ptr<ContentView>& view, std::uint64_t run,
                              std::shared_ptr<const VirtualFolder> scanned, ReorgOutcome outcome) {
  platform::Queue::main()->async(
      [view, run, scanned = std::move(scanned), outcome = std::move(outcome)]() mutable {
        std::shared_ptr<ContentView> strong = view.lock();
        // An answer for a run that was cancelled, restarted or reselected, or for a folder
        // that is no longer the one shown, describes nothing the user is looking at.
        if (!strong || strong->reorgRun() != run || strong->selectedFolder() != scanned) return;
        if (!outcome.succeeded) {
          endReorganizeProcessing(*strong);
          return;
        }
        if (outcome.proposedTree) showReorganizePreview(*strong, std::move(outcome.proposedTree));
        completeReorganizeProgress(*strong);
      });
}

void showReorganizePreview(ContentView& view, std::shared_ptr<VirtualFolder> tree) {
  logUsageEvent(
      usage_event::kOrganizePendingEnd,
      {{usage_event::kScreenName, reorgScreenName(view.currentStep())},
       {usage_event::kFolderCreated, static_cast<std::int64_t>(totalFolderCount(*tree))}});
  view.setCurrentStep(step::kReorgPreview);
  view.setAiFolder(std::move(tree));
}

void completeReorganizeProgress(ContentView& view) {
  invalidateProgressTimer(view);
  view.setProgressValue(1.0);
  const std::uint64_t run = view.reorgRun();
  std::weak_ptr<ContentView> weakView = view.weak_from_this();
  platform::Queue::main()->after(kProgressCloseDelaySeconds, [weakView, run] {
    std::shared_ptr<ContentView> strong = weakView.lock();
    // A run started within the half second keeps its own panel.
    if (strong && strong->reorgRun() == run) strong->setProcessing(false);
  });
}

void endReorganizeProcessing(ContentView& view) {
  view.setProcessing(false);
  invalidateProgressTimer(view);
}

void retryReorganize(const std::shared_ptr<ContentView>& view) {
  logReorgEvent(usage_event::kReorganizeClick, *view);
  runOnMainQueue(view, [](ContentView& view) { restartReorganize(view.shared_from_this()); });
}

void restartReorganize(const std::shared_ptr<ContentView>& view) {
  view->setCurrentStep(step::kReorgDrop);
  view->setAiFolder(nullptr);
  startReorganize(view);
}

void reselectFolder(const std::shared_ptr<ContentView>& view) {
  view->beginReorgRun();
  if (view->isProcessing()) endReorganizeProcessing(*view);
  view->setSelectedFolder(nullptr);
  view->setFolderBookmark(std::nullopt);
  logReorgEvent(usage_event::kDropFolderReselect, *view);
}

void cancelReorganize(const std::shared_ptr<ContentView>& view) {
  view->beginReorgRun();
  invalidateProgressTimer(*view);
  runOnMainQueue(view, cancelReorganizeReset);
}

void cancelReorganizeReset(ContentView& view) {
  view.setCurrentStep(step::kReorgDrop);
  view.setAiFolder(nullptr);
  view.setAppliedFolder(nullptr);
  view.setFolderBookmark(std::nullopt);
  view.setProcessing(false);
}

void organizeAgain(const std::shared_ptr<ContentView>& view) {
  logReorgEvent(usage_event::kOrganizeAgain, *view);
  runOnMainQueue(view, resetReorganizeFlow);
}

void resetReorganizeFlow(ContentView& view) {
  view.beginReorgRun();
  view.setCurrentStep(step::kReorgDrop);
  view.setAiFolder(nullptr);
  view.setSelectedFolder(nullptr);
  view.setAppliedFolder(nullptr);
  view.setFolderBookmark(std::nullopt);
  view.setProcessing(false);
}

void applyReorganization(const std::shared_ptr<ContentView>& view) {
  logReorgEvent(usage_event::kOrganizeApply, *view);
  const std::shared_ptr<VirtualFolder> proposed = view->aiFolder();
  const std::shared_ptr<VirtualFolder> scanned = view->selectedFolder();
  if (!proposed || !scanned) return;
  std::shared_ptr<VirtualFolder> applied = applyProposedTree(*proposed, *scanned);
  runOnMainQueue(view, [applied](ContentView& view) { showReorganizeResult(view, applied); });
  printAppliedFolderContents(*applied, std::cout);
}

void showReorganizeResult(ContentView& view, std::shared_ptr<VirtualFolder> tree) {
  view.setCurrentStep(step::kReorgFinished);
  view.setAppliedFolder(std::move(tree));
}
