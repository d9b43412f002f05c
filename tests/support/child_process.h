// Running one test of the current test program in a fresh process, for behaviour that
// only shows across processes (what a new process reads from disk, first-use settings).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ChildTestResult {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string output;   // its standard output and standard error

  // Exited with 0 and ran exactly one test, which passed.
  bool passed() const;
};

// Runs the named test (disabled tests included, so helpers named DISABLED_... never run on
// their own) in a new process of this program, with the current environment plus the
// given variables. Show result.output in the failure message of the check on passed().
ChildTestResult runTestInChildProcess(const std::string& fullTestName,
                                      const std::map<std::string, std::string>& environment = {});

// Runs each reader over and over on a thread of its own and returns once every one has run
// a few times; they go on while the process exits. Nothing orders their work before the
// exit, so under ThreadSanitizer shared state torn down under them is reported and the
// process fails.
void keepRunningWhileTheProcessExits(std::vector<std::function<void()>> readers);

}  // namespace testing_support
