#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/data.h"
#include "tests/support/temp_home.h"
#include "vilmo/reorg/FolderResponse.h"
#include "vilmo/reorg/ReorgApply.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/reorg_fixtures.h"

namespace {

using Path = std::filesystem::path;
using reorg_fixtures::contentsOf;
using reorg_fixtures::listTree;
using reorg_fixtures::makeTree;
using Strings = std::vector<std::string>;

class ReorgApplyTest : public testing_support::TemporaryHomeTest {
 protected:
  Path root() const { return home_.path() / "Docs"; }

  // Scans the folder, builds the proposed tree from the answer's contents and applies it;
  // returns the applied tree, with the console in console_.
  std::shared_ptr<VirtualFolder> apply(const std::string& contents) {
    propose(contents);
    return applyProposed();
  }

  // The first half of apply: the scan and the proposed tree, as the preview shows them.
  void propose(const std::string& contents) {
    scanned_ = scanFolder(root());
    std::string error;
    std::optional<FolderResponse> response = decodeFolderResponse(
        platform::Data::fromString(R"({"folderName":"","type":"","contents":)" + contents + "}"),
        &error);
    EXPECT_TRUE(response) << error;
    proposed_ = makeProposedTree(response.value_or(FolderResponse{}), *scanned_);
  }

  std::shared_ptr<VirtualFolder> applyProposed() {
    testing::internal::CaptureStdout();
    std::shared_ptr<VirtualFolder> applied = applyProposedTree(*proposed_, *scanned_);
    console_ = testing::internal::GetCapturedStdout();
    return applied;
  }

  static Strings appliedFiles(const VirtualFolder& applied) {
    Strings files;
    applied.collectRelativePaths(files);
    return files;
  }

  std::shared_ptr<VirtualFolder> scanned_;
  std::shared_ptr<VirtualFolder> proposed_;
  std::string console_;
};

TEST_F(ReorgApplyTest, CreatesFoldersMovesFilesAndRemovesOnlyEmptiedDirectories) {
  makeTree(root(), {"top.txt", "Invoices/x.pdf", "Invoices/2023/y.pdf", "Invoices/2023/Empty/",
                    "Photos/p.jpg", "Photos/.DS_Store", "Keep/Deep/k.txt", "Hidden/h.txt",
                    "Hidden/.inner/"});

  std::shared_ptr<VirtualFolder> applied = apply(R"([
      {"type":"folder","folderName":"Finance","contents":[
        {"type":"file","sourcePath":"Invoices/x.pdf","newPath":"Finance/x.pdf"},
        {"type":"folder","folderName":"2023","contents":[
          {"type":"file","sourcePath":"Invoices/2023/y.pdf","newPath":"Finance/2023/y.pdf"}]}]},
      {"type":"folder","folderName":"Media","contents":[
        {"type":"file","sourcePath":"Photos/p.jpg","newPath":"Media/p.jpg"}]},
      {"type":"file","sourcePath":"Hidden/h.txt","newPath":"h.txt"},
      {"type":"file","sourcePath":"top.txt","newPath":"top.txt"}])");

  // Invoices and Hidden held only moved files and empty folders (a hidden one counts as
  // well): gone. Photos keeps its hidden file; Keep's unplaced file went to others/Keep/Deep.
  EXPECT_EQ(listTree(root()),
            (Strings{"Finance/", "Finance/2023/", "Finance/2023/y.pdf", "Finance/x.pdf", "Media/",
                     "Media/p.jpg", "Photos/", "Photos/.DS_Store", "h.txt", "others/",
                     "others/Keep/", "others/Keep/Deep/", "others/Keep/Deep/k.txt", "top.txt"}));
  EXPECT_EQ(contentsOf(root() / "Finance/2023/y.pdf"), "Invoices/2023/y.pdf");
  // "top.txt" is already where the tree puts it.
  EXPECT_EQ(console_, "");
  EXPECT_EQ(appliedFiles(*applied),
            (Strings{"h.txt", "top.txt", "Finance/x.pdf", "Finance/2023/y.pdf", "Media/p.jpg",
                     "others/Keep/Deep/k.txt"}));
  EXPECT_EQ(applied->name(), "Docs");
  EXPECT_EQ(applied->rootURL(), root());
  EXPECT_EQ(applied->files()[0]->sourceURL(), root() / "h.txt");
  EXPECT_EQ(totalFolderCount(*applied), totalFolderCount(*proposed_));

  std::ostringstream out;
  printAppliedFolderContents(*applied, out);
  std::ostringstream dump;
  printAppliedFolder(*applied, dump);
  EXPECT_EQ(out.str(), "Applied Folder Contents:\n" + dump.str());
}

TEST_F(ReorgApplyTest, NeverReplacesAFile) {
  makeTree(root(), {"Old/a.txt", "New/a.txt"});
  std::shared_ptr<VirtualFolder> applied = apply(R"([{"type":"folder","folderName":"New",
      "contents":[{"type":"file","sourcePath":"Old/a.txt","newPath":"New/a.txt"},
                  {"type":"file","sourcePath":"New/a.txt","newPath":"New/a.txt"}]}])");
  EXPECT_EQ(listTree(root()), (Strings{"New/", "New/a.txt", "Old/", "Old/a.txt"}));
  EXPECT_EQ(contentsOf(root() / "New/a.txt"), "New/a.txt");
  // Old/a.txt is refused; New/a.txt is already where the tree puts it.
  EXPECT_EQ(std::count(console_.begin(), console_.end(), '\n'), 1) << console_;
  EXPECT_EQ(console_.find("Error moving file: "), 0u) << console_;
  EXPECT_EQ(appliedFiles(*applied), Strings{"New/a.txt"});
  ASSERT_EQ(applied->subFolders().size(), 1u);
}

// However its new path spells the place, a file the tree leaves where it is counts as placed:
// nothing moves, nothing is reported, and the applied tree lists it.
TEST_F(ReorgApplyTest, AFileAlreadyWhereTheTreePutsItCountsAsPlaced) {
  makeTree(root(), {"top.txt", "Sub/a.txt", "Sub/b.txt", "Sub/c.txt", "Sub/d.txt"});
  std::filesystem::create_directory_symlink("Sub", root() / "Link");
  const Strings before = listTree(root());
  std::shared_ptr<VirtualFolder> applied = apply(R"([
      {"type":"file","sourcePath":"top.txt","newPath":"top.txt"},
      {"type":"file","sourcePath":"Sub/a.txt","newPath":"Sub//a.txt"},
      {"type":"file","sourcePath":"Sub/b.txt","newPath":"Sub/./b.txt"},
      {"type":"file","sourcePath":"Link","newPath":"Link"},
      {"type":"file","sourcePath":"Sub/c.txt","newPath":"Link/c.txt"},
      {"type":"folder","folderName":"Sub","contents":[
        {"type":"file","sourcePath":"Sub/d.txt","newPath":"Sub/d.txt"}]}])");

  EXPECT_EQ(listTree(root()), before);
  EXPECT_EQ(console_, "");
  EXPECT_EQ(appliedFiles(*applied),
            (Strings{"top.txt", "Sub//a.txt", "Sub/./b.txt", "Link", "Link/c.txt", "Sub/d.txt"}));
  ASSERT_FALSE(applied->files().empty());
  EXPECT_EQ(applied->files()[0]->sourceURL(), root() / "top.txt");

  // A file gone since the preview is not there, whatever its new path says.
  propose(R"([{"type":"file","sourcePath":"top.txt","newPath":"top.txt"}])");
  std::filesystem::remove(root() / "top.txt");
  applied = applyProposed();
  EXPECT_EQ(console_.find("Error moving file: "), 0u) << console_;
  EXPECT_EQ(std::count(console_.begin(), console_.end(), '\n'), 1) << console_;
  EXPECT_TRUE(applied->files().empty());
}

// A file whose new path names no place, the folder itself, stays where it is and says so.
TEST_F(ReorgApplyTest, AFileWithoutANewPathIsToldSo) {
  for (const char* newPath :
       {R"()", R"(,"newPath":"")", R"(,"newPath":".")", R"(,"newPath":"./")"}) {
    std::filesystem::remove_all(root());
    makeTree(root(), {"Sub/a.txt"});
    std::shared_ptr<VirtualFolder> applied =
        apply(std::string(R"([{"type":"file","sourcePath":"Sub/a.txt")") + newPath + "}]");
    EXPECT_EQ(listTree(root()), (Strings{"Sub/", "Sub/a.txt"})) << newPath;
    EXPECT_EQ(console_.find("Error moving file: "), 0u) << console_;
    EXPECT_NE(console_.find("“a.txt” has no new path in the folder being organised."),
              std::string::npos)
        << console_;
    EXPECT_EQ(console_.find("lies outside"), std::string::npos) << console_;
    EXPECT_TRUE(appliedFiles(*applied).empty()) << newPath;
  }
}

TEST_F(ReorgApplyTest, WhichOldDirectoriesStay) {
  struct Case {
    const char* name;
    Strings before;
    std::string contents;
    Strings after;
  };
  const Case cases[] = {
      {"an existing proposed folder is kept and its old sub-folders examined",
       {"Finance/a.pdf", "Finance/Old/o.pdf", "Finance/Busy/b.pdf"},
       R"([{"type":"folder","folderName":"Finance","contents":[
           {"type":"file","sourcePath":"Finance/Old/o.pdf","newPath":"Finance/o.pdf"},
           {"type":"file","sourcePath":"Finance/a.pdf","newPath":"Finance/a.pdf"},
           {"type":"file","sourcePath":"Finance/Busy/b.pdf","newPath":"Finance/Busy/b.pdf"}]}])",
       {"Finance/", "Finance/Busy/", "Finance/Busy/b.pdf", "Finance/a.pdf", "Finance/o.pdf"}},
      {"an old folder that now holds a moved file stays",
       {"Old/a.txt"},
       R"([{"type":"file","sourcePath":"Old/a.txt","newPath":"Old/renamed.txt"}])",
       {"Old/", "Old/renamed.txt"}},
      {"without proposed folders every emptied folder goes",
       {"A/a.txt", "B/C/D/d.txt", "B/E/"},
       R"([{"type":"file","sourcePath":"A/a.txt","newPath":"a.txt"},
           {"type":"file","sourcePath":"B/C/D/d.txt","newPath":"d.txt"}])",
       {"a.txt", "d.txt"}},
      {"an empty proposed folder keeps the old folder it stands in",
       {"Old/x.txt"},
       R"([{"type":"folder","folderName":"Old/New","contents":[]},
           {"type":"file","sourcePath":"Old/x.txt","newPath":"x.txt"}])",
       {"Old/", "Old/New/", "x.txt"}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(root());
    makeTree(root(), c.before);
    apply(c.contents);
    EXPECT_EQ(listTree(root()), c.after) << c.name << "\n" << console_;
  }
}

// What is left inside an old directory after the moves: only empty directories let it go.
TEST_F(ReorgApplyTest, RemovalKeepsDirectoriesHoldingAnyEntry) {
  struct Case {
    const char* name;
    void (*leave)(const Path& old);
    bool removed;
  };
  const Case cases[] = {
      {"nothing", [](const Path&) {}, true},
      {"only empty folders",
       [](const Path& old) {
         makeTree(old, {"A/B/", "C/", ".d/"});
       },
       true},
      {"a hidden file", [](const Path& old) { makeTree(old, {".DS_Store"}); }, false},
      {"a deep file", [](const Path& old) { makeTree(old, {"A/B/.f"}); }, false},
      {"a link to a folder",
       [](const Path& old) { std::filesystem::create_directory_symlink("/tmp", old / "l"); },
       false},
      {"a dangling link",
       [](const Path& old) { std::filesystem::create_symlink("gone", old / "A" / "l"); }, false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(root());
    makeTree(root(), {"Old/A/"});
    std::shared_ptr<VirtualFolder> scanned = scanFolder(root());
    c.leave(root() / "Old");
    removeEmptiedDirectories(*scanned, {});
    EXPECT_EQ(std::filesystem::exists(root() / "Old"), !c.removed) << c.name;
  }
}

TEST_F(ReorgApplyTest, FailedFolderIsListedButHoldsNothing) {
  makeTree(root(), {"a.txt", "b.txt"});
  std::shared_ptr<VirtualFolder> applied = apply(R"([{"type":"folder","folderName":"a.txt",
      "contents":[{"type":"folder","folderName":"sub","contents":[
        {"type":"file","sourcePath":"b.txt","newPath":"a.txt/sub/b.txt"}]}]},
      {"type":"file","sourcePath":"a.txt","newPath":"a.txt"}])");
  EXPECT_EQ(listTree(root()), (Strings{"a.txt", "b.txt"}));
  EXPECT_EQ(console_.find("Error creating directory: "), 0u) << console_;
  EXPECT_EQ(std::count(console_.begin(), console_.end(), '\n'), 2) << console_;
  EXPECT_EQ(console_.find("Error moving file: ", 1), console_.find('\n') + 1) << console_;
  EXPECT_EQ(appliedFiles(*applied), Strings{"a.txt"});  // already in place
  ASSERT_EQ(applied->subFolders().size(), 1u);
  ASSERT_EQ(applied->subFolders()[0]->subFolders().size(), 1u);
  EXPECT_EQ(applied->subFolders()[0]->subFolders()[0]->relativePath(), "a.txt/sub");
}

// A link inside the dropped folder that leads elsewhere is no way out: nothing is created,
// moved into or taken from the place it leads to, even when the link came after the preview
// (which leaves such names out of the tree).
TEST_F(ReorgApplyTest, LinksDoNotLeadOutsideTheDroppedFolder) {
  Path outside = home_.path() / "Outside";
  makeTree(outside, {"secret.txt"});
  makeTree(root(), {"a.txt"});
  std::filesystem::create_directory_symlink(outside, root() / "out");
  scanned_ = scanFolder(root());
  proposed_ = std::make_shared<VirtualFolder>(root());
  proposed_->subFolders().push_back(std::make_shared<VirtualSubFolder>("out/New", "out/New"));
  const std::pair<Path, std::string> files[] = {{root() / "a.txt", "out/a.txt"},
                                                {root() / "out/secret.txt", "secret.txt"},
                                                {root() / "out", "kept/out"}};
  for (const auto& [source, newPath] : files) {
    proposed_->files().push_back(
        std::make_shared<VirtualFile>(source.filename().string(), source, newPath));
  }

  std::shared_ptr<VirtualFolder> applied = applyProposed();

  EXPECT_EQ(listTree(outside), Strings{"secret.txt"});
  EXPECT_EQ(listTree(root()), (Strings{"a.txt", "out"}));
  EXPECT_EQ(console_.find("Error creating directory: "), 0u) << console_;
  EXPECT_EQ(std::count(console_.begin(), console_.end(), '\n'), 4) << console_;
  EXPECT_TRUE(appliedFiles(*applied).empty());
}

}  // namespace
