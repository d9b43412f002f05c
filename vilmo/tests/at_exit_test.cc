// Files are still sorted and summarised on workers when the process exits: what they read of
// the rename flow's shared state must not be torn down under them.
#include <algorithm>
#include <memory>

#include <QImage>
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "vilmo/rename/FileContent.h"
#include "vilmo/rename/FileTypes.h"

namespace {

TEST(RenameExitChild, DISABLED_WorkersReadSharedStateWhileTheProcessExits) {
  // A generator that owns something, as the tests' fakes do.
  auto owned = std::make_shared<int>(0);
  setThumbnailGenerator([owned](const std::filesystem::path&, ThumbnailCompletion completion) {
    completion(QImage());
  });
  testing_support::keepRunningWhileTheProcessExits({
      [] { (void)generateThumbnail("/nonexistent/file.pages", 1); },
      [] {
        for (const auto* types : {&imageFileTypes(), &convertibleImageTypes(), &textFileTypes(),
                                  &pdfFileTypes(), &documentFileTypes(), &supportedFileTypes()}) {
          (void)std::count(types->begin(), types->end(), ContentType::pdf());
        }
      },
  });
}

TEST(RenameExitTest, SharedStateOutlivesWorkersStillRunningAtExit) {
  auto result = testing_support::runTestInChildProcess(
      "RenameExitChild.DISABLED_WorkersReadSharedStateWhileTheProcessExits");
  EXPECT_TRUE(result.passed()) << result.output;
}

}  // namespace
