// Running one test of the current test program in a fresh process, for behaviour that
// only shows across processes (what a new process reads from disk, first-use settings).
#pragma once

#include <map>
#include <string>

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

}  // namespace testing_support
