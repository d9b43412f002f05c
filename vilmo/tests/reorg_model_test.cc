#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/data.h"
#include "tests/support/temp_home.h"
#include "vilmo/reorg/FolderResponse.h"
#include "vilmo/reorg/VirtualFolder.h"
#include "vilmo/tests/reorg_fixtures.h"

namespace {

using Path = std::filesystem::path;
using reorg_fixtures::makeTree;
using Strings = std::vector<std::string>;

// A tree written one node per line, folders with their relative path, files with their
// relative path and where they are now (below the root), so a whole tree compares at once.
void outline(const VirtualSubFolder& folder, const Path& root, std::string indent,
             std::ostringstream& out);

void outlineFiles(const std::vector<std::shared_ptr<VirtualFile>>& files, const Path& root,
                  const std::string& indent, std::ostringstream& out) {
  for (const auto& file : files) {
    out << indent << file->name() << " -> " << file->relativePath() << " @ "
        << file->sourceURL().lexically_relative(root).string() << "\n";
  }
}

void outline(const VirtualSubFolder& folder, const Path& root, std::string indent,
             std::ostringstream& out) {
  out << indent << folder.name() << "/ (" << folder.relativePath() << ")\n";
  outlineFiles(folder.files(), root, indent + "  ", out);
  for (const auto& child : folder.subFolders()) {
    outline(*child, root, indent + "  ", out);
  }
}

std::string outline(const VirtualFolder& tree) {
  std::ostringstream out;
  out << tree.name() << "/\n";
  outlineFiles(tree.files(), tree.rootURL(), "  ", out);
  for (const auto& folder : tree.subFolders()) {
    outline(*folder, tree.rootURL(), "  ", out);
  }
  return out.str();
}

FolderResponse decode(const std::string& json) {
  std::string error;
  std::optional<FolderResponse> response =
      decodeFolderResponse(platform::Data::fromString(json), &error);
  EXPECT_TRUE(response) << error;
  return response.value_or(FolderResponse{});
}

class ReorgModelTest : public testing_support::TemporaryHomeTest {
 protected:
  Path root() const { return home_.path() / "Docs"; }
};

TEST_F(ReorgModelTest, ScanSkipsHiddenEntriesAndListsRelativePathsDepthFirst) {
  makeTree(root(), {"b.txt", "a.txt", ".hidden", ".Secret/inside.txt", "Invoices/x.pdf",
                    "Invoices/2023/y.pdf", "Invoices/2023/.DS_Store", "Empty/", "Only/Empty/"});
  std::filesystem::create_directory_symlink(root() / "Invoices", root() / "link");

  std::shared_ptr<VirtualFolder> tree = scanFolder(root());

  EXPECT_EQ(tree->name(), "Docs");
  EXPECT_EQ(tree->rootURL(), root());
  // A link is a file, even when it leads to a folder: the scan never leaves the folder.
  EXPECT_EQ(outline(*tree), "Docs/\n"
                            "  a.txt -> a.txt @ a.txt\n"
                            "  b.txt -> b.txt @ b.txt\n"
                            "  link -> link @ link\n"
                            "  Empty/ (Empty)\n"
                            "  Invoices/ (Invoices)\n"
                            "    x.pdf -> Invoices/x.pdf @ Invoices/x.pdf\n"
                            "    2023/ (Invoices/2023)\n"
                            "      y.pdf -> Invoices/2023/y.pdf @ Invoices/2023/y.pdf\n"
                            "  Only/ (Only)\n"
                            "    Empty/ (Only/Empty)\n");
  Strings paths;
  tree->collectRelativePaths(paths);
  EXPECT_EQ(paths, (Strings{"a.txt", "b.txt", "link", "Invoices/x.pdf", "Invoices/2023/y.pdf"}));

  const VirtualSubFolder& invoices = *tree->subFolders()[1];
  const VirtualSubFolder& only = *tree->subFolders()[2];
  EXPECT_EQ(invoices.totalFileCount(), 2u);
  EXPECT_EQ(invoices.totalSubFolderCount(), 1u);
  EXPECT_EQ(invoices.subFolders()[0]->totalSubFolderCount(), 0u);
  EXPECT_EQ(only.totalFileCount(), 0u);
  EXPECT_EQ(only.totalSubFolderCount(), 1u);
  EXPECT_EQ(totalFolderCount(*tree), 5u);
}

TEST_F(ReorgModelTest, EmptyFolderAndUnreadableFolder) {
  makeTree(root(), {});
  std::shared_ptr<VirtualFolder> empty = scanFolder(root());
  Strings paths;
  empty->collectRelativePaths(paths);
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(empty->subFolders().empty());
  EXPECT_EQ(totalFolderCount(*empty), 0u);

  // A folder that vanished between the drop and its listing: one console line, no entries.
  VirtualSubFolder gone("Gone", "Gone");
  testing::internal::CaptureStdout();
  loadFolderTree(gone, root() / "Gone", root());
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.rfind("Error while enumerating folder " +
                              fileURLDescription(root() / "Gone", true) + ": ",
                          0),
            0u)
      << console;
  EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1);
  EXPECT_TRUE(gone.files().empty());
}

TEST_F(ReorgModelTest, OnlyTheLeadingRootPathIsRemoved) {
  Path a = home_.path() / "a";
  makeTree(a, {"b/a/c.txt"});
  Strings paths;
  scanFolder(a)->collectRelativePaths(paths);
  EXPECT_EQ(paths, Strings{"b/a/c.txt"});

  // A root given with a trailing "/" reads the same.
  paths.clear();
  scanFolder(a.string() + "/")->collectRelativePaths(paths);
  EXPECT_EQ(paths, Strings{"b/a/c.txt"});
}

TEST(ReorgInsertFileTest, FilesAlongTheRelativePathCreatingEachFolderOnce) {
  VirtualSubFolder others("others", "others");
  for (const char* path : {"others/a.txt", "others/2023/Taxes/a.pdf", "others/2023/Taxes/b.pdf",
                           "others//2023/c.pdf"}) {
    insertFileAtPath(
        std::make_shared<VirtualFile>(Path(path).filename().string(), Path("/x") / path, path),
        others);
  }
  VirtualFolder root("x", "/x");
  root.subFolders().push_back(std::make_shared<VirtualSubFolder>(others));
  EXPECT_EQ(outline(root), "x/\n"
                           "  others/ (others)\n"
                           "    a.txt -> others/a.txt @ others/a.txt\n"
                           "    2023/ (others/2023)\n"
                           "      c.pdf -> others//2023/c.pdf @ others/2023/c.pdf\n"
                           "      Taxes/ (others/2023/Taxes)\n"
                           "        a.pdf -> others/2023/Taxes/a.pdf @ others/2023/Taxes/a.pdf\n"
                           "        b.pdf -> others/2023/Taxes/b.pdf @ others/2023/Taxes/b.pdf\n");
}

TEST(FolderResponseTest, DecodesLikeAStrictDecoder) {
  struct Case {
    const char* name;
    const char* json;
    bool decodes;
  };
  const Case cases[] = {
      {"full", R"({"folderName":"Docs","type":"folder","extra":1,"contents":[
          {"type":"folder","folderName":"A","newPath":null,"contents":[
            {"type":"file","sourcePath":"x.pdf","newPath":"A/x.pdf","folderName":null}]},
          {"type":"file"}]})",
       true},
      {"empty contents", R"({"folderName":"","type":"","contents":[]})", true},
      {"nested contents null", R"({"folderName":"","type":"","contents":[
          {"type":"folder","contents":null}]})",
       true},
      {"root contents missing", R"({"folderName":"Docs","type":"folder"})", false},
      {"root folderName null", R"({"folderName":null,"type":"folder","contents":[]})", false},
      {"root type missing", R"({"folderName":"Docs","contents":[]})", false},
      {"entry type missing", R"({"folderName":"","type":"","contents":[{"folderName":"A"}]})",
       false},
      {"entry type null", R"({"folderName":"","type":"","contents":[{"type":null}]})", false},
      {"newPath a number", R"({"folderName":"","type":"","contents":[
          {"type":"file","newPath":3}]})",
       false},
      {"nested entry not an object", R"({"folderName":"","type":"","contents":[
          {"type":"folder","contents":["x"]}]})",
       false},
      {"contents an object", R"({"folderName":"","type":"","contents":{}})", false},
      {"top level an array", R"([])", false},
      {"not JSON", R"({"contents":)", false},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<FolderResponse> response =
        decodeFolderResponse(platform::Data::fromString(c.json), &error);
    EXPECT_EQ(response.has_value(), c.decodes) << c.name;
    EXPECT_EQ(error.empty(), c.decodes) << c.name << ": " << error;
  }

  FolderResponse full = decode(cases[0].json);
  ASSERT_EQ(full.contents.size(), 2u);
  EXPECT_EQ(full.contents[0].folderName, "A");
  EXPECT_EQ(full.contents[0].newPath, std::nullopt);
  ASSERT_TRUE(full.contents[0].contents);
  EXPECT_EQ((*full.contents[0].contents)[0].sourcePath, "x.pdf");
  EXPECT_EQ(full.contents[1].contents, std::nullopt);
  EXPECT_NE(full.description().find("\"A/x.pdf\""), std::string::npos) << full.description();
}

TEST_F(ReorgModelTest, ProposedTreePlacesExistingFilesAndPutsTheRestInOthers) {
  makeTree(root(), {"top.txt", "loose.txt", "Invoices/x.pdf", "Invoices/y.pdf",
                    "Old/2020/Taxes/t.pdf", "Photos/p.jpg"});
  std::shared_ptr<VirtualFolder> scanned = scanFolder(root());
  FolderResponse response = decode(R"({"folderName":"ignored","type":"folder","contents":[
      {"type":"folder","folderName":"Finance","contents":[
        {"type":"file","sourcePath":"/Invoices/x.pdf/","newPath":"Finance/x.pdf"},
        {"type":"file","sourcePath":"Invoices/./y.pdf"},
        {"type":"file","sourcePath":"Invoices/missing.pdf","newPath":"Finance/missing.pdf"},
        {"type":"folder","folderName":"Sub//Deeper/","contents":[]}]},
      {"type":"File","sourcePath":"Photos/p.jpg","newPath":"p.jpg"},
      {"type":"album","folderName":"Pics","contents":[
        {"type":"file","sourcePath":"Photos/p.jpg","newPath":"Pics/p.jpg"}]},
      {"type":"file","sourcePath":"top.txt","newPath":"top.txt"},
      {"type":"file","sourcePath":"top.txt","newPath":"again.txt"},
      {"type":"folder","folderName":"others","contents":[]}]})");

  std::shared_ptr<VirtualFolder> proposed = makeProposedTree(response, *scanned);

  EXPECT_EQ(proposed->name(), "Docs");
  EXPECT_EQ(proposed->rootURL(), root());
  EXPECT_EQ(outline(*proposed),
            "Docs/\n"
            "  top.txt -> top.txt @ top.txt\n"
            "  top.txt -> again.txt @ top.txt\n"
            "  Finance/ (Finance)\n"
            "    x.pdf -> Finance/x.pdf @ Invoices/x.pdf\n"
            "    y.pdf ->  @ Invoices/y.pdf\n"
            "    Sub//Deeper// (Finance/Sub/Deeper)\n"
            "  others/ (others)\n"
            "  others/ (others)\n"
            "    loose.txt -> others/loose.txt @ loose.txt\n"
            "    Old/ (others/Old)\n"
            "      2020/ (others/Old/2020)\n"
            "        Taxes/ (others/Old/2020/Taxes)\n"
            "          t.pdf -> others/Old/2020/Taxes/t.pdf @ Old/2020/Taxes/t.pdf\n"
            "    Photos/ (others/Photos)\n"
            "      p.jpg -> others/Photos/p.jpg @ Photos/p.jpg\n");
  // Finance, Sub//Deeper/, the answer's own others, and others with Old, 2020, Taxes, Photos.
  EXPECT_EQ(totalFolderCount(*proposed), 8u);
}

TEST_F(ReorgModelTest, EmptyAnswerPutsEverythingInOthers) {
  makeTree(root(), {"a.txt", "Sub/b.txt"});
  FolderResponse empty = decode(R"({"folderName":"","type":"","contents":[]})");
  std::shared_ptr<VirtualFolder> proposed = makeProposedTree(empty, *scanFolder(root()));
  EXPECT_EQ(outline(*proposed), "Docs/\n"
                                "  others/ (others)\n"
                                "    a.txt -> others/a.txt @ a.txt\n"
                                "    Sub/ (others/Sub)\n"
                                "      b.txt -> others/Sub/b.txt @ Sub/b.txt\n");

  Path bare = home_.path() / "Bare";
  makeTree(bare, {});
  std::shared_ptr<VirtualFolder> nothing = makeProposedTree(empty, *scanFolder(bare));
  EXPECT_TRUE(nothing->subFolders().empty());
  EXPECT_TRUE(nothing->files().empty());
  EXPECT_EQ(totalFolderCount(*nothing), 0u);
}

// Names from the service never reach outside the dropped folder: such a file is not placed
// (so it lands in "others" when it was scanned), such a folder is skipped with its children.
TEST_F(ReorgModelTest, NamesLeavingTheDroppedFolderAreNotPlaced) {
  makeTree(root(), {"a.txt", "Sub/b.txt"});
  makeTree(home_.path(), {"outside.txt"});
  std::shared_ptr<VirtualFolder> scanned = scanFolder(root());
  struct Case {
    const char* name;
    std::string entry;
  };
  const std::string nul = "a.txt\\u0000x";
  const Case cases[] = {
      {"source up and out", R"({"type":"file","sourcePath":"../outside.txt","newPath":"o.txt"})"},
      {"source up inside a path",
       R"({"type":"file","sourcePath":"Sub/../../outside.txt","newPath":"o.txt"})"},
      {"source the folder itself", R"({"type":"file","sourcePath":"/./","newPath":"x"})"},
      {"source empty", R"({"type":"file","sourcePath":"","newPath":"a.txt"})"},
      {"source absent", R"({"type":"file","newPath":"a.txt"})"},
      {"source with NUL", R"({"type":"file","sourcePath":")" + nul + R"(","newPath":"n.txt"})"},
      {"destination up and out", R"({"type":"file","sourcePath":"a.txt","newPath":"../a.txt"})"},
      {"destination absolute", R"({"type":"file","sourcePath":"a.txt","newPath":"/tmp/a.txt"})"},
      {"destination up inside a path",
       R"({"type":"file","sourcePath":"Sub/b.txt","newPath":"Sub/../../b.txt"})"},
      {"destination with NUL", R"({"type":"file","sourcePath":"a.txt","newPath":")" + nul + "\"}"},
      {"folder up", R"({"type":"folder","folderName":"..","contents":[
          {"type":"file","sourcePath":"a.txt","newPath":"../a.txt"}]})"},
      {"folder absolute", R"({"type":"folder","folderName":"/etc","contents":[
          {"type":"file","sourcePath":"a.txt","newPath":"a.txt"}]})"},
      {"folder up inside a path", R"({"type":"folder","folderName":"x/../..","contents":[]})"},
      {"folder with NUL",
       R"({"type":"folder","folderName":"x\u0000","contents":[
          {"type":"folder","folderName":"y","contents":[]}]})"},
  };
  for (const Case& c : cases) {
    FolderResponse response = decode(R"({"folderName":"","type":"","contents":[)" + c.entry + "]}");
    std::shared_ptr<VirtualFolder> proposed = makeProposedTree(response, *scanned);
    EXPECT_EQ(outline(*proposed), "Docs/\n"
                                  "  others/ (others)\n"
                                  "    a.txt -> others/a.txt @ a.txt\n"
                                  "    Sub/ (others/Sub)\n"
                                  "      b.txt -> others/Sub/b.txt @ Sub/b.txt\n")
        << c.name;
  }
}

// Links are followed when the tree is built: a name that leads outside through a link inside
// the dropped folder is left out as a ".." would be, so the preview shows no file placed
// that Apply would refuse to move. A link that stays inside is a way like any other.
TEST_F(ReorgModelTest, NamesLeavingThroughALinkAreNotPlaced) {
  Path outside = home_.path() / "Outside";
  makeTree(outside, {"secret.txt", "Deeper/"});
  makeTree(root(), {"a.txt", "Sub/b.txt"});
  std::filesystem::create_directory_symlink(outside, root() / "out");
  std::filesystem::create_directory_symlink("Sub", root() / "in");
  std::shared_ptr<VirtualFolder> scanned = scanFolder(root());
  const std::string everythingInOthers =
      outline(*makeProposedTree(decode(R"({"folderName":"","type":"","contents":[]})"), *scanned));

  struct Case {
    const char* name;
    std::string entry;
  };
  const Case cases[] = {
      {"destination through the link",
       R"({"type":"file","sourcePath":"a.txt","newPath":"out/a.txt"})"},
      {"destination below the link",
       R"({"type":"file","sourcePath":"a.txt","newPath":"out/Deeper/a.txt"})"},
      {"source through the link",
       R"({"type":"file","sourcePath":"out/secret.txt","newPath":"secret.txt"})"},
      {"folder that is the link", R"({"type":"folder","folderName":"out","contents":[
          {"type":"file","sourcePath":"a.txt","newPath":"a.txt"}]})"},
      {"folder below the link", R"({"type":"folder","folderName":"out/New","contents":[
          {"type":"file","sourcePath":"a.txt","newPath":"a.txt"}]})"},
  };
  for (const Case& c : cases) {
    FolderResponse response = decode(R"({"folderName":"","type":"","contents":[)" + c.entry + "]}");
    EXPECT_EQ(outline(*makeProposedTree(response, *scanned)), everythingInOthers) << c.name;
  }

  FolderResponse inside = decode(R"({"folderName":"","type":"","contents":[
      {"type":"file","sourcePath":"Sub/b.txt","newPath":"in/b2.txt"},
      {"type":"file","sourcePath":"a.txt","newPath":"in/a.txt"},
      {"type":"file","sourcePath":"out","newPath":"Links/out"},
      {"type":"file","sourcePath":"in"}]})");
  std::string proposed = outline(*makeProposedTree(inside, *scanned));
  EXPECT_EQ(proposed.substr(0, proposed.find("  others/")), "Docs/\n"
                                                            "  b.txt -> in/b2.txt @ Sub/b.txt\n"
                                                            "  a.txt -> in/a.txt @ a.txt\n"
                                                            "  out -> Links/out @ out\n"
                                                            "  in ->  @ in\n")
      << proposed;
}

TEST(PrintAppliedFolderTest, OneLinePerNodeWithFixedIndentation) {
  VirtualFolder root("Docs", "/d/Docs");
  auto finance = std::make_shared<VirtualSubFolder>("Finance", "Finance");
  finance->files().push_back(
      std::make_shared<VirtualFile>("x.pdf", "/d/Docs/Finance/x.pdf", "Finance/x.pdf"));
  auto taxes = std::make_shared<VirtualSubFolder>("Taxes", "Finance/Taxes");
  auto year = std::make_shared<VirtualSubFolder>("2023", "Finance/Taxes/2023");
  year->files().push_back(std::make_shared<VirtualFile>(
      "my t.pdf", "/d/Docs/Finance/Taxes/2023/my t.pdf", "Finance/Taxes/2023/my t.pdf"));
  taxes->subFolders().push_back(year);
  finance->subFolders().push_back(taxes);
  root.subFolders().push_back(finance);
  root.subFolders().push_back(std::make_shared<VirtualSubFolder>("Empty", "Empty"));
  root.files().push_back(std::make_shared<VirtualFile>("top.txt", "/d/Docs/top.txt", "top.txt"));

  std::ostringstream out;
  printAppliedFolder(root, out);
  EXPECT_EQ(out.str(),
            "Folder: Finance (Finance)\n"
            "  File: x.pdf - Source URL: file:///d/Docs/Finance/x.pdf - Relative Path: "
            "Finance/x.pdf\n"
            "  Folder: Taxes (Finance/Taxes)\n"
            "  Folder: 2023 (Finance/Taxes/2023)\n"
            "    File: my t.pdf - Source URL: file:///d/Docs/Finance/Taxes/2023/my%20t.pdf - "
            "Relative Path: Finance/Taxes/2023/my t.pdf\n"
            "Folder: Empty (Empty)\n"
            "File: top.txt - Source URL: file:///d/Docs/top.txt - Relative Path: top.txt\n");
}

}  // namespace
