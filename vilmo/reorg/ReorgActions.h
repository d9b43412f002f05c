// ReorgActions: the reorganise flow's state machine behind its three screens: sending the
// scanned folder, pacing the progress bar, storing the proposed tree, applying it on disk,
// and the retry, reselect, cancel and start-over actions. Every action runs on the main
// thread and works on the root view's state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class ContentView;
class VirtualFolder;
struct ReorgOutcome;

// The progress timer's period, and the share of the bar it never passes before the answer.
inline constexpr double kProgressTickSeconds = 0.1;
inline constexpr double kProgressCeiling = 0.9;
// How long the full bar stays up after a successful answer.
inline constexpr double kProgressCloseDelaySeconds = 0.5;
// The estimate of the service's time per file sent.
inline constexpr double kEstimatedSecondsPerFile = 5.0;

// Submits the action to the main queue; it runs there unless the view is gone by then.
void runOnMainQueue(const std::shared_ptr<ContentView>& view,
                    std::function<void(ContentView& view)> action);

// The drop screen's "Next": "organize_start", the progress panel, a new run, the timer paced
// by five seconds per file, and the request with the scanned tree's relative paths. Without
// a scanned tree nothing happens.
void startReorganize(const std::shared_ptr<ContentView>& view);
// The bar back to 0 and a new 0.1 s timer in place of any other.
void startProgressTimer(const std::shared_ptr<ContentView>& view);
// One step of 0.1 s of the estimate, never past 0.9; nothing once the bar is full. An
// estimate of no time (a folder without files) goes straight to 0.9.
void progressTimerTick(ContentView& view);
// Stops and forgets the timer.
void invalidateProgressTimer(ContentView& view);

// The request's end for the run, on any thread: on the main queue, unless the run has been
// left by then or the scanned folder is no longer the one sent, shows the proposed tree
// (with "organize_pending_end") and completes or ends the progress.
void deliverReorganizeOutcome(const std::weak_ptr<ContentView>& view, std::uint64_t run,
                              std::shared_ptr<const VirtualFolder> scanned, ReorgOutcome outcome);
// "organize_pending_end" with the tree's folder count, then the preview of the tree.
void showReorganizePreview(ContentView& view, std::shared_ptr<VirtualFolder> tree);
// After a 200: the bar full, and the panel closed 0.5 s later if the run is still the same.
void completeReorganizeProgress(ContentView& view);
// After a failure: the panel closed at once; the bar keeps its value.
void endReorganizeProcessing(ContentView& view);

// The preview's "Reorganize" and the finished screen's "Retry": "reorganize_click", then on
// the main queue restartReorganize.
void retryReorganize(const std::shared_ptr<ContentView>& view);
// Back to the drop screen without the proposed tree, and the same folder sent again.
void restartReorganize(const std::shared_ptr<ContentView>& view);
// The drop screen's "Reselect": the folder and its bookmark forgotten, any run left;
// "drop_folder_reselect".
void reselectFolder(const std::shared_ptr<ContentView>& view);
// The panel's "Cancel" and the preview's "Back": the run left and the timer stopped at once,
// then on the main queue cancelReorganizeReset. No event.
void cancelReorganize(const std::shared_ptr<ContentView>& view);
// The drop screen with the same folder: no proposed or applied tree, no bookmark, no panel.
void cancelReorganizeReset(ContentView& view);
// The finished screen's "Start Over": "organize_again", then on the main queue
// resetReorganizeFlow.
void organizeAgain(const std::shared_ptr<ContentView>& view);
// The empty drop screen: no trees, no bookmark, no panel; any run left.
void resetReorganizeFlow(ContentView& view);

// The preview's "Apply": "organize_apply", the proposed tree applied inside the scanned
// folder, "Applied Folder Contents:" and the applied tree on the console, then on the main
// queue the finished screen. Nothing but the event without both trees.
void applyReorganization(const std::shared_ptr<ContentView>& view);
void showReorganizeResult(ContentView& view, std::shared_ptr<VirtualFolder> tree);
