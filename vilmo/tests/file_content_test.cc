#include "vilmo/rename/FileContent.h"

#include <QColor>
#include <QImage>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/support/temp_home.h"
#include "vilmo/tests/rename_fixtures.h"

// Kept for the process's life by libraries underneath: the HEVC encoder that makes the HEIC
// fixtures, and the font look-up behind PDF rendering.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libfontconfig.so\n";
}

namespace {

namespace fs = std::filesystem;
using namespace rename_fixtures;

bool isJPEG(const platform::Data& data) {
  return data.size() > 3 && data.bytes()[0] == 0xff && data.bytes()[1] == 0xd8 &&
         data.bytes()[2] == 0xff;
}

QImage decoded(const platform::Data& data) {
  return QImage::fromData(data.bytes(), static_cast<int>(data.size()));
}

std::string text(const FileContent& content) { return content.data.toString(); }

// A picture whose corners tell whether anything was cut off or shifted.
QImage cornersImage(int width, int height, QImage::Format format = QImage::Format_RGB32) {
  QImage image(width, height, format);
  image.fill(Qt::red);
  for (int y = height / 2; y < height; ++y) {
    for (int x = width / 2; x < width; ++x) image.setPixelColor(x, y, Qt::blue);
  }
  return image;
}

::testing::AssertionResult colourNear(const QImage& image, int x, int y, QColor expected) {
  const QColor actual = image.pixelColor(x, y);
  if (std::abs(actual.red() - expected.red()) < 48 &&
      std::abs(actual.green() - expected.green()) < 48 &&
      std::abs(actual.blue() - expected.blue()) < 48) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pixel (" << x << ", " << y << ") is " << actual.name().toStdString() << ", expected "
         << expected.name().toStdString();
}

class FileContentTest : public testing_support::TemporaryHomeTest {
 protected:
  fs::path write(const std::string& name, const platform::Data& data) {
    const fs::path path = home_.path() / name;
    writeFile(path, data);
    return path;
  }
  fs::path write(const std::string& name, std::string_view bytes) {
    return write(name, platform::Data::fromString(bytes));
  }
};

// --- Images ---

TEST_F(FileContentTest, SmallImagesAreSentAsTheirOwnBytes) {
  const QImage image = noiseImage(40, 30);
  // The image library writes no GIF: one white pixel, by hand.
  const platform::Data gif = platform::Data::fromString(
      std::string_view("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00"
                       ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                       35));
  ASSERT_EQ(decoded(gif).size(), QSize(1, 1));
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, platform::Data>>{
           {"small.gif", gif},
           {"small.png", encodeImage(image, "png")},
           {"small.jpeg", encodeImage(image, "jpeg")},
           {"small.webp", encodeImage(image, "webp")}}) {
    SCOPED_TRACE(name);
    const auto content = extractFileContent(write(name, bytes));
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, (FileContent{"image", bytes}));
  }
}

TEST_F(FileContentTest, ImagesOverTheSizeLimitAreSentAsJPEG) {
  const QImage image = noiseImage(64, 48);
  const platform::Data atLimit = pngOfExactSize(image, 1'000'000);
  const platform::Data overLimit = pngOfExactSize(image, 1'000'001);
  ASSERT_EQ(decoded(overLimit).size(), QSize(64, 48));

  const auto kept = extractFileContent(write("at-limit.png", atLimit));
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept, (FileContent{"image", atLimit}));

  const auto reduced = extractFileContent(write("over-limit.png", overLimit));
  ASSERT_TRUE(reduced);
  EXPECT_EQ(reduced->kind, "image");
  EXPECT_TRUE(isJPEG(reduced->data));
  // The first pass, at full quality, is already small enough.
  EXPECT_EQ(reduced->data, encodeImage(image, "jpeg", 100));
}

TEST_F(FileContentTest, ReductionStopsAtTheFirstQualityUnderTheLimit) {
  const QImage image = noiseImage(1000, 1000);
  ASSERT_GT(encodeImage(image, "jpeg", 100).size(), kImageSizeLimit);
  const platform::Data ninety = encodeImage(image, "jpeg", 90);
  ASSERT_LE(ninety.size(), kImageSizeLimit);

  const auto content = extractFileContent(write("noise.png", encodeImage(image, "png")));
  ASSERT_TRUE(content);
  EXPECT_EQ(*content, (FileContent{"image", ninety}));
}

TEST(ShrinkJPEGDataTest, QualityFallsByTenthsFromTheUnreducedInput) {
  const QImage image = noiseImage(300, 300);
  const platform::Data input = encodeImage(image, "png");
  const platform::Data full = encodeImage(image, "jpeg", 100);
  const platform::Data ninety = encodeImage(image, "jpeg", 90);
  const platform::Data lowest = encodeImage(image, "jpeg", 0);
  ASSERT_GT(input.size(), full.size());

  struct Case {
    std::size_t limit;
    const platform::Data& expected;
  } cases[] = {
      {full.size(), full},
      {full.size() - 1, ninety},
      {ninety.size(), ninety},
      // Never under the limit: what the last pass, just above zero quality, made.
      {100, lowest},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    EXPECT_EQ(shrinkJPEGData(input, c.limit), c.expected);
  }
  EXPECT_EQ(shrinkJPEGData(input, input.size()), input);
}

TEST_F(FileContentTest, UndecodableLargeImageIsSentUnchanged) {
  std::string bytes(1'000'001, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
  const auto content = extractFileContent(write("broken.png", bytes));
  ASSERT_TRUE(content);
  EXPECT_EQ(*content, (FileContent{"image", platform::Data::fromString(bytes)}));
}

TEST_F(FileContentTest, ImageTheEncoderRefusesGivesNoContent) {
  // Wider than JPEG allows, and over the limit as a PNG: every pass fails to encode.
  const platform::Data wide = encodeImage(noiseImage(70'000, 8), "png");
  ASSERT_GT(wide.size(), kImageSizeLimit);
  EXPECT_EQ(shrinkJPEGData(wide), platform::Data());
  EXPECT_EQ(extractFileContent(write("wide.png", wide)), std::nullopt);
}

TEST_F(FileContentTest, HEICAndTIFFAreAlwaysConvertedToJPEG) {
  const QImage image = cornersImage(64, 48);
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, platform::Data>>{
           {"photo.heic", encodeHEIC(image)}, {"scan.tiff", encodeImage(image, "tiff")}}) {
    SCOPED_TRACE(name);
    ASSERT_LT(bytes.size(), 100'000u);
    const auto content = extractFileContent(write(name, bytes));
    ASSERT_TRUE(content);
    EXPECT_EQ(content->kind, "image");
    ASSERT_TRUE(isJPEG(content->data));
    const QImage result = decoded(content->data);
    EXPECT_EQ(result.size(), QSize(64, 48));
    EXPECT_TRUE(colourNear(result, 4, 4, Qt::red));
    EXPECT_TRUE(colourNear(result, 60, 44, Qt::blue));
  }
}

TEST_F(FileContentTest, UnreadableConvertibleImageGivesNoContent) {
  EXPECT_EQ(extractFileContent(write("fake.heic", "not a picture")), std::nullopt);
  EXPECT_EQ(jpegDataFromImageFile(home_.path() / "missing.tiff"), std::nullopt);
}

// --- Text ---

TEST_F(FileContentTest, TextFilesGiveAPrefixOfCharacters) {
  std::string combining;
  for (int i = 0; i < 3000; ++i) combining += (i % 2 ? "a\xCC\x8A" : "n\xCC\x83");
  const std::string ascii(2500, 'q');

  struct Case {
    const char* name;
    std::string contents;
    std::optional<std::string> expected;
  } cases[] = {
      {"combining.txt", combining, combining.substr(0, 2000 * 3)},
      {"short.txt", "Grüße 👋🏽", "Grüße 👋🏽"},
      {"empty.txt", "", ""},
      {"invalid-after-prefix.txt", ascii + "\xFF", std::nullopt},
      {"notes.md", "# Title\nbody", "# Title\nbody"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto content = extractFileContent(write(c.name, c.contents));
    if (!c.expected) {
      EXPECT_EQ(content, std::nullopt);
      continue;
    }
    ASSERT_TRUE(content);
    EXPECT_EQ(content->kind, "text");
    EXPECT_EQ(text(*content), *c.expected);
  }
  EXPECT_EQ(platform::text::characterCount(combining.substr(0, 2000 * 3)), 2000u);
}

TEST_F(FileContentTest, MissingOrUnknownFilesGiveNoContent) {
  EXPECT_EQ(extractFileContent(home_.path() / "missing.txt"), std::nullopt);
  EXPECT_EQ(extractFileContent(write("movie.mov", "frames")), std::nullopt);
  fs::create_directories(home_.path() / "folder");
  EXPECT_EQ(extractFileContent(home_.path() / "folder"), std::nullopt);
}

// --- PDF ---

TEST_F(FileContentTest, PDFWithEnoughTextGivesText) {
  const std::string over(101, 'x');
  const auto justOver = extractFileContent(write("just-over.pdf", makeTextPDF({{over}})));
  ASSERT_TRUE(justOver);
  EXPECT_EQ(*justOver, (FileContent{"text", platform::Data::fromString(over)}));

  // Only the first three pages are read, joined without separators.
  const std::string line(40, 'p');
  const fs::path four =
      write("four.pdf",
            makeTextPDF({{"one " + line}, {"two " + line}, {"three " + line}, {"four " + line}}));
  const std::string firstThree = "one " + line + "two " + line + "three " + line;
  EXPECT_EQ(pdfText(four), firstThree);
  const auto content = extractFileContent(four);
  ASSERT_TRUE(content);
  EXPECT_EQ(text(*content), firstThree);
}

TEST_F(FileContentTest, LongPDFTextIsCutAtTenThousandCharacters) {
  std::vector<std::vector<std::string>> pages(4);
  std::string all;
  for (int page = 0; page < 4; ++page) {
    for (int line = 0; line < 60; ++line) {
      std::string words = "page " + std::to_string(page) + " line " + std::to_string(line) + " ";
      words.resize(80, 'w');
      pages[page].push_back(words);
      if (page < 3) all += (line ? "\n" : "") + words;
    }
  }
  const fs::path path = write("long.pdf", makeTextPDF(pages));
  ASSERT_EQ(pdfText(path), all);
  const auto content = extractFileContent(path);
  ASSERT_TRUE(content);
  EXPECT_EQ(*content, (FileContent{"text", platform::Data::fromString(all.substr(0, 10000))}));
}

TEST_F(FileContentTest, PDFWithLittleTextGivesAPictureOfItsFirstPage) {
  const auto content =
      extractFileContent(write("short.pdf", makeTextPDF({{std::string(100, 'x')}, {}})));
  ASSERT_TRUE(content);
  EXPECT_EQ(content->kind, "image");
  ASSERT_TRUE(isJPEG(content->data));
  const QImage page = decoded(content->data);
  EXPECT_EQ(page.size(), QSize(612, 792));
  EXPECT_TRUE(colourNear(page, 300, 400, Qt::white));
}

TEST_F(FileContentTest, PDFWithoutPagesOrUnreadableGivesNoContent) {
  const fs::path empty = write("empty.pdf", makeTextPDF({}));
  EXPECT_EQ(pdfText(empty), "");
  EXPECT_EQ(extractFileContent(empty), std::nullopt);

  const fs::path broken = write("broken.pdf", "%PDF-1.4 nothing else");
  EXPECT_EQ(pdfText(broken), "Unable to open PDF file");
  EXPECT_EQ(extractFileContent(broken), std::nullopt);
  EXPECT_EQ(pdfContentFromData(platform::Data()), std::nullopt);
}

// --- Document thumbnails ---

TEST(PDFDataFromImageTest, PageIsTheImageSizeSoNothingIsCropped) {
  EXPECT_EQ(pdfDataFromImage(QImage()), std::nullopt);

  for (QSize size : {QSize(37, 23), QSize(1000, 700), QSize(500, 1000)}) {
    SCOPED_TRACE(size.width());
    const auto pdf = pdfDataFromImage(cornersImage(size.width(), size.height()));
    ASSERT_TRUE(pdf);
    const auto content = pdfContentFromData(*pdf);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->kind, "image");
    const QImage page = decoded(content->data);
    ASSERT_EQ(page.size(), size);
    EXPECT_TRUE(colourNear(page, 2, 2, Qt::red));
    EXPECT_TRUE(colourNear(page, size.width() - 3, size.height() - 3, Qt::blue));
  }
}

TEST(PDFDataFromImageTest, TransparencyLiesOnWhite) {
  QImage image(20, 20, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  const auto content = pdfContentFromData(pdfDataFromImage(image).value());
  ASSERT_TRUE(content);
  EXPECT_TRUE(colourNear(decoded(content->data), 10, 10, Qt::white));
}

TEST_F(FileContentTest, DocumentsGiveTheirEmbeddedPreview) {
  const platform::Data jpeg = encodeImage(cornersImage(300, 200), "jpeg", 95);
  const platform::Data largePNG = encodeImage(cornersImage(1500, 900), "png");

  const fs::path docx = home_.path() / "report.docx";
  writeZip(docx, {{"[Content_Types].xml", platform::Data::fromString("<Types/>")},
                  {"docProps/thumbnail.jpeg", jpeg}});
  const fs::path docxPNG = home_.path() / "large.DOCX";
  writeZip(docxPNG, {{"docProps/thumbnail.png", largePNG}});
  const fs::path zippedPages = home_.path() / "letter.pages";
  writeZip(zippedPages,
           {{"Index/Document.iwa", platform::Data::fromString("...")}, {"preview.jpg", jpeg}});
  const fs::path packagePages = home_.path() / "package.pages";
  fs::create_directories(packagePages / "QuickLook");
  writeFile(packagePages / "QuickLook/Thumbnail.jpg", jpeg);

  struct Case {
    fs::path url;
    QSize size;
  } cases[] = {
      {docx, {300, 200}},
      {docxPNG, {1000, 600}},  // fitted in the thumbnail square
      {zippedPages, {300, 200}},
      {packagePages, {300, 200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url.filename().string());
    const auto content = extractFileContent(c.url);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->kind, "image");
    const QImage page = decoded(content->data);
    ASSERT_EQ(page.size(), c.size);
    EXPECT_TRUE(colourNear(page, 3, 3, Qt::red));
    EXPECT_TRUE(colourNear(page, c.size.width() - 4, c.size.height() - 4, Qt::blue));
  }
  EXPECT_EQ(embeddedDocumentPreview(docx), jpeg);
}

TEST_F(FileContentTest, DocumentsWithoutPreviewGiveNoContent) {
  const fs::path bare = home_.path() / "bare.docx";
  writeZip(bare, {{"word/document.xml", platform::Data::fromString("<w:document/>")}});
  const fs::path empty = home_.path() / "empty-thumbnail.docx";
  writeZip(empty, {{"docProps/thumbnail.jpeg", platform::Data()}});

  for (const fs::path& url : {bare, empty, write("binary.doc", "\xD0\xCF\x11\xE0 old format"),
                              write("not-a-zip.docx", "plain bytes")}) {
    SCOPED_TRACE(url.filename().string());
    EXPECT_EQ(extractFileContent(url), std::nullopt);
  }
  EXPECT_EQ(embeddedDocumentPreview(home_.path() / "binary.doc"), std::nullopt);
}

class ThumbnailGeneratorTest : public FileContentTest {
 protected:
  ~ThumbnailGeneratorTest() override { setThumbnailGenerator(nullptr); }
};

TEST_F(ThumbnailGeneratorTest, WaitIsBoundedAndALateAnswerIsHarmless) {
  std::mutex mutex;
  ThumbnailCompletion pending;
  setThumbnailGenerator([&](const fs::path&, ThumbnailCompletion completion) {
    std::lock_guard<std::mutex> lock(mutex);
    pending = std::move(completion);
  });

  EXPECT_EQ(generateThumbnail(write("slow.docx", "x"), 0.05), std::nullopt);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_TRUE(pending);
  pending(cornersImage(10, 10));
}

TEST_F(ThumbnailGeneratorTest, EmptyThumbnailIsNoContent) {
  std::atomic<int> calls{0};
  setThumbnailGenerator([&](const fs::path&, ThumbnailCompletion completion) {
    ++calls;
    completion(QImage());
  });
  EXPECT_EQ(extractFileContent(write("blank.docx", "x")), std::nullopt);
  EXPECT_EQ(calls, 1);
}

TEST_F(ThumbnailGeneratorTest, AnswerFromAnotherThreadIsWaitedFor) {
  std::thread worker;
  setThumbnailGenerator([&](const fs::path&, ThumbnailCompletion completion) {
    worker =
        std::thread([completion = std::move(completion)] { completion(cornersImage(80, 60)); });
  });
  const auto content = extractFileContent(write("threaded.pages", "x"));
  worker.join();
  ASSERT_TRUE(content);
  EXPECT_EQ(decoded(content->data).size(), QSize(80, 60));
}

}  // namespace
