// Helpers shared by the ZBLPromise sources: argument checks, settling from a resolution and
// the conversion of intervals; not for use outside promises/.
#pragma once

#include <source_location>

#include "promises/zbl_promise.h"

namespace zbl_internal {

// Reports "Invalid parameter not satisfying: <name>" to the assertion handler unless
// satisfied; returns whether it was.
bool parameterSatisfied(bool satisfied, const char* name,
                        std::source_location where = std::source_location::current());
// Reports a failed check with its own description.
void assertionFailure(const std::string& description,
                      std::source_location where = std::source_location::current());

// Settles the promise from a resolution: adopts a promise's outcome (observed on the queue),
// rejects with an error, fulfils with anything else.
void resolve(const ZBLPromisePtr& promise, const platform::QueuePtr& queue,
             const ZBLObject& resolution);

// Submits the task to the queue as a member of the promise dispatch group. Cheaper than
// Group::async, which wraps the task in a second callable.
template <typename F> void submitInGroup(const platform::QueuePtr& queue, F task) {
  ZBLPromise::dispatchGroup().enter();
  queue->async([task = std::move(task)]() mutable {
    struct Leave {
      ~Leave() { ZBLPromise::dispatchGroup().leave(); }
    } leave;
    task();
  });
}

// An interval in seconds as the timers take it: truncated to whole nanoseconds.
double truncatedInterval(double seconds);

}  // namespace zbl_internal
