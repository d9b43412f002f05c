#include "tests/support/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace testing_support {

bool ChildTestResult::passed() const {
  return exitStatus == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos;
}

ChildTestResult runTestInChildProcess(const std::string& fullTestName,
                                      const std::map<std::string, std::string>& environment) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals != std::string::npos) {
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  // The child runs exactly the named case, whatever shard of the program the parent is.
  variables.erase("GTEST_TOTAL_SHARDS");
  variables.erase("GTEST_SHARD_INDEX");
  for (const auto& [name, value] : environment) {
    variables[name] = value;
  }
  std::vector<std::string> environmentTexts;
  for (const auto& [name, value] : variables) {
    environmentTexts.push_back(name + "=" + value);
  }
  std::vector<char*> environmentPointers;
  for (std::string& text : environmentTexts) {
    environmentPointers.push_back(text.data());
  }
  environmentPointers.push_back(nullptr);

  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + fullTestName;
  std::string alsoDisabled = "--gtest_also_run_disabled_tests";
  std::vector<char*> arguments = {program.data(), filter.data(), alsoDisabled.data(), nullptr};

  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot create a pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  pid_t child = 0;
  int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, arguments.data(),
                              environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    throw std::runtime_error(std::string("cannot start the child: ") + std::strerror(spawned));
  }

  ChildTestResult result;
  char buffer[4096];
  for (;;) {
    ssize_t count = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeEnds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void keepRunningWhileTheProcessExits(std::vector<std::function<void()>> readers) {
  constexpr long kRounds = 100;
  std::vector<std::shared_ptr<std::atomic<long>>> rounds;
  for (auto& reader : readers) {
    auto count = std::make_shared<std::atomic<long>>(0);
    rounds.push_back(count);
    std::thread([reader = std::move(reader), count] {
      for (;;) {
        reader();
        // Relaxed: a count that synchronised would order the reads before the exit.
        count->fetch_add(1, std::memory_order_relaxed);
      }
    }).detach();
  }
  for (const auto& count : rounds) {
    while (count->load(std::memory_order_relaxed) < kRounds) std::this_thread::yield();
  }
}

}  // namespace testing_support
