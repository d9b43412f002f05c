// FileContent: what the naming service is shown of one file, a short text or a reduced image,
// and the routines that take it from images, text files, PDFs and document thumbnails.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/data.h"

class QImage;

struct FileContent {
  std::string kind;  // "image" or "text"
  // UTF-8 text, or an encoded image (JPEG, or the file's own bytes for a small image).
  platform::Data data;

  friend bool operator==(const FileContent&, const FileContent&) = default;
};

// Images larger than this many bytes are re-encoded as JPEG with falling quality.
inline constexpr std::size_t kImageSizeLimit = 1'000'000;
inline constexpr double kStartQuality = 1.0;
inline constexpr double kQualityStep = 0.1;
// Prefixes, in user-perceived characters.
inline constexpr std::size_t kPlainTextPrefix = 2000;
inline constexpr std::size_t kPDFFileTextPrefix = 10000;
inline constexpr std::size_t kDocumentTextPrefix = 2000;
// Only the first pages of a PDF are read for text; more characters than the threshold
// are sent as text, fewer as a picture of the first page.
inline constexpr int kPDFPagesReadForText = 3;
inline constexpr std::size_t kPDFTextThreshold = 100;
// Document thumbnails fit in a square of this side.
inline constexpr int kThumbnailSide = 1000;
// How long extraction waits for a document thumbnail before giving up on the file.
inline constexpr double kThumbnailTimeoutSeconds = 20;

// One supported file's content, or none when nothing could be taken from it. Runs on the
// caller's thread, and blocks it (at most kThumbnailTimeoutSeconds) for a document thumbnail.
std::optional<FileContent> extractFileContent(const std::filesystem::path& url);

// Re-encodes an image as JPEG at qualities 1.0, 0.9, ... down to just above zero until it is
// at most `sizeLimit` bytes; each pass starts from `input`. Input that cannot be decoded comes
// back as it is; an encoder failure gives empty data. The result can still be over the limit.
platform::Data shrinkJPEGData(const platform::Data& input, std::size_t sizeLimit = kImageSizeLimit);

// The first image of the file (HEIC, TIFF or any other readable format) as JPEG at the
// encoder's default quality.
std::optional<platform::Data> jpegDataFromImageFile(const std::filesystem::path& url);

// The text of the first pages of the PDF, joined without separators: "" for a PDF without
// pages, "Unable to open PDF file" for one that cannot be opened.
std::string pdfText(const std::filesystem::path& url);

// A PDF file's content: its text (cut at kPDFFileTextPrefix) when there is enough, else a
// JPEG of its first page the size of the page's media box.
std::optional<FileContent> pdfContentFromURL(const std::filesystem::path& url);
// The same for PDF bytes made from a document thumbnail; text is cut at kDocumentTextPrefix.
std::optional<FileContent> pdfContentFromData(const platform::Data& pdf);

// A one-page PDF showing the image at its pixel size, with a media box of exactly that size.
// None for an empty image.
std::optional<platform::Data> pdfDataFromImage(const QImage& image);

// The picture a document carries of itself: a docx's "docProps/thumbnail.*" (JPEG or PNG), a
// Pages document's "preview.jpg" or "QuickLook/Thumbnail.jpg" (zipped or as a package folder).
// None for other files (a binary .doc has none) and for documents saved without one.
std::optional<platform::Data> embeddedDocumentPreview(const std::filesystem::path& url);

// Makes a document's thumbnail away from the caller's thread and hands it, fitted in
// kThumbnailSide x kThumbnailSide, to the completion on a thread of its choosing. A null image
// means there is none.
using ThumbnailCompletion = std::function<void(const QImage& thumbnail)>;
using ThumbnailGenerator =
    std::function<void(const std::filesystem::path& url, ThumbnailCompletion completion)>;
// Replaces the process's generator (tests); an empty one restores the one built on
// embeddedDocumentPreview. Returns the one it replaced.
ThumbnailGenerator setThumbnailGenerator(ThumbnailGenerator generator);

// Asks the generator for the file's thumbnail and waits at most `timeoutSeconds` for it: the
// thumbnail as a one-page PDF, or none (no thumbnail, an empty one, or no answer in time).
std::optional<platform::Data> generateThumbnail(const std::filesystem::path& url,
                                                double timeoutSeconds = kThumbnailTimeoutSeconds);
