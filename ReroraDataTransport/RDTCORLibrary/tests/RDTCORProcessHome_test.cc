// The cases of this program share one process, and CTest runs its shards side by side: the
// transport's folders and its cross-process upload lock live under the user's Caches, fixed
// once per process. Each process gets a home of its own, so shards never take each other's
// upload lock or events, and nothing lands in the real home.
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"

namespace {

class ProcessHome : public ::testing::Environment {
 public:
  void SetUp() override { home_ = std::make_unique<testing_support::TemporaryHome>(); }
  void TearDown() override { home_.reset(); }

 private:
  std::unique_ptr<testing_support::TemporaryHome> home_;
};

[[maybe_unused]] const auto* const kProcessHome =
    ::testing::AddGlobalTestEnvironment(new ProcessHome);

}  // namespace
