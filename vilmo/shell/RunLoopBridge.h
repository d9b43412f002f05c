// RunLoopBridge: lets Qt's event loop run the platform's main queue, so that tasks put on
// the main queue from any thread run on the GUI thread between Qt's own events.
#pragma once

#include <memory>

namespace shell {

class RunLoopBridge {
 public:
  // Needs the QCoreApplication; runs whatever is already on the main queue at the next
  // turn of the event loop.
  RunLoopBridge();
  // After this no further drain is scheduled.
  ~RunLoopBridge();
  RunLoopBridge(const RunLoopBridge&) = delete;
  RunLoopBridge& operator=(const RunLoopBridge&) = delete;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace shell
