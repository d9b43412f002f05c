// RunLoop: the main thread's loop, which drains the main queue. The application hands it
// to its GUI event loop through the wake-up hook; tests pump it with runUntil.
#pragma once

#include <functional>

namespace platform {

class RunLoop {
 public:
  // Marks the calling thread as the main thread. Unless this is called, the main thread
  // is the one the process started on.
  static void setMainThread();
  static bool isMainThread();

  // Runs every main-queue task that is ready now (and those they enqueue), then returns.
  // Only on the main thread. Returns how many ran.
  static std::size_t drain();
  // Pumps the main queue until the predicate holds or the timeout (real seconds) passes;
  // returns the predicate's last answer.
  static bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds);
  // Pumps for a fixed real time.
  static void runFor(double seconds);

  // Called from any thread each time a task is put on the main queue, so that a GUI
  // event loop can schedule a drain(). Empty to unset.
  static void setWakeUpHook(std::function<void()> hook);
};

}  // namespace platform
