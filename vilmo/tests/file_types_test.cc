#include "vilmo/rename/FileTypes.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_home.h"
#include "vilmo/tests/rename_fixtures.h"

namespace {

namespace fs = std::filesystem;
using rename_fixtures::writeFile;

class FileTypesTest : public testing_support::TemporaryHomeTest {
 protected:
  fs::path file(const std::string& name) {
    const fs::path path = home_.path() / name;
    writeFile(path, "x");
    return path;
  }
  fs::path folder(const std::string& name) {
    const fs::path path = home_.path() / name;
    fs::create_directories(path);
    return path;
  }
};

TEST(FileTypesListsTest, SupportedTypesAreTheFiveListsInOrder) {
  std::vector<std::string> names;
  for (const ContentType& type : supportedFileTypes()) names.push_back(type.name());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "image/gif", "image/png", "image/jpeg", "image/webp", "image/tiff",
                       "image/heif", "text/plain", "application/pdf", "application/msword",
                       "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                       "application/vnd.apple.pages"}));
  EXPECT_EQ(imageFileTypes().size(), 4u);
  EXPECT_EQ(convertibleImageTypes().size(), 2u);
  EXPECT_EQ(documentFileTypes().size(), 3u);
}

TEST(FileTypesListsTest, ConformanceIsWiderThanEquality) {
  const ContentType markdown("text/markdown");
  EXPECT_NE(markdown, ContentType::plainText());
  EXPECT_TRUE(markdown.conformsTo(ContentType::plainText()));
  EXPECT_TRUE(ContentType("text/csv").conformsTo(ContentType::plainText()));
  EXPECT_TRUE(ContentType::plainText().conformsTo(ContentType::plainText()));
  EXPECT_FALSE(ContentType::plainText().conformsTo(markdown));
  EXPECT_FALSE(ContentType::png().conformsTo(ContentType::plainText()));
  EXPECT_FALSE(ContentType::docx().conformsTo(ContentType::plainText()));
}

TEST_F(FileTypesTest, SortsFilesByTheTypeOfTheirExtension) {
  struct Case {
    const char* name;
    bool supported;
    const char* refusedExtension;  // what a refused file adds to the list
  } cases[] = {
      {"a.gif", true, nullptr},     {"b.png", true, nullptr},       {"c.jpg", true, nullptr},
      {"d.JPEG", true, nullptr},    {"e.webp", true, nullptr},      {"f.tif", true, nullptr},
      {"g.tiff", true, nullptr},    {"h.heic", true, nullptr},      {"i.HEIF", true, nullptr},
      {"notes.txt", true, nullptr}, {"SCAN.PDF", true, nullptr},    {"old.doc", true, nullptr},
      {"new.docx", true, nullptr},  {"essay.pages", true, nullptr}, {"readme.md", false, "md"},
      {"table.csv", false, "csv"},  {"main.c", false, "c"},         {"archive.tar.GZ", false, "gz"},
      {"blob", false, ""},          {"trailing.", false, ""},       {".hidden", false, ""},
      {"Résumé.ÉXT", false, "éxt"}, {"clip.mov", false, "mov"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> refused{"earlier"};
    EXPECT_EQ(isSupportedFile(file(c.name), refused), c.supported);
    std::vector<std::string> expected{"earlier"};
    if (c.refusedExtension) expected.push_back(c.refusedExtension);
    EXPECT_EQ(refused, expected);
  }
}

TEST_F(FileTypesTest, FoldersAreRefusedExceptDocumentPackages) {
  std::vector<std::string> refused;
  EXPECT_FALSE(isSupportedFile(folder("Photos"), refused));
  EXPECT_FALSE(isSupportedFile(folder("Photos.png"), refused));
  EXPECT_TRUE(isSupportedFile(folder("Letter.pages"), refused));
  EXPECT_TRUE(isSupportedFile(home_.path() / "Letter.pages/", refused));
  EXPECT_EQ(refused, (std::vector<std::string>{"", "png"}));
  EXPECT_EQ(contentTypeOfFile(home_.path() / "Photos"), ContentType("inode/directory"));
}

TEST_F(FileTypesTest, UnreadableTypeIsRefusedWithoutListingIt) {
  std::vector<std::string> refused{"earlier"};
  EXPECT_FALSE(isSupportedFile(home_.path() / "missing.zip", refused));
  fs::create_symlink(home_.path() / "gone.png", home_.path() / "dangling.png");
  EXPECT_FALSE(isSupportedFile(home_.path() / "dangling.png", refused));
  EXPECT_EQ(refused, std::vector<std::string>{"earlier"});
  EXPECT_EQ(contentTypeOfFile(home_.path() / "missing.zip"), std::nullopt);
}

TEST_F(FileTypesTest, ExtensionsDifferingInCaseAreListedEachTime) {
  std::vector<std::string> refused;
  for (const char* name : {"one.ABC", "two.abc", "three.Abc"}) {
    EXPECT_FALSE(isSupportedFile(file(name), refused));
  }
  EXPECT_EQ(refused, (std::vector<std::string>{"abc", "abc", "abc"}));
}

TEST_F(FileTypesTest, ContentTypeFollowsTheNameNotTheBytes) {
  const fs::path path = home_.path() / "picture.txt";
  writeFile(path, rename_fixtures::encodeImage(rename_fixtures::noiseImage(4, 4), "png"));
  EXPECT_EQ(contentTypeOfFile(path), ContentType::plainText());
  EXPECT_EQ(contentTypeOfFile(file("x.heif")), ContentType::heic());
  EXPECT_EQ(contentTypeOfFile(file("notes.md")), ContentType("text/markdown"));
}

}  // namespace
