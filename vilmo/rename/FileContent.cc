#include "vilmo/rename/FileContent.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <libheif/heif.h>
#include <memory>
#include <mutex>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <string_view>
#include <zip.h>

#include "platform/dispatch.h"
#include "platform/files.h"
#include "platform/text.h"
#include "vilmo/rename/FileTypes.h"

namespace {

constexpr const char* kUnableToOpenPDF = "Unable to open PDF file";
// Pictures are decoded whole before they are re-encoded; this lets a photo of 100 megapixels
// through where the image reader's default of 128 MB stops at about 32.
constexpr int kDecodeAllocationLimitMB = 512;
constexpr int kLargestJPEGSide = 65500;
// An embedded preview larger than this is not a preview.
constexpr zip_uint64_t kLargestEmbeddedPreview = 64u << 20;

bool contains(const std::vector<ContentType>& types, const ContentType& type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

// An empty reduced image says nothing about the file.
std::optional<FileContent> imageContent(platform::Data jpeg) {
  if (jpeg.empty()) return std::nullopt;
  return FileContent{"image", std::move(jpeg)};
}

std::optional<FileContent> reducedImageContent(platform::Data jpeg) {
  if (jpeg.size() <= kImageSizeLimit) return imageContent(std::move(jpeg));
  return imageContent(shrinkJPEGData(jpeg));
}

FileContent textContent(std::string_view text, std::size_t prefix) {
  return FileContent{"text",
                     platform::Data::fromString(platform::text::characterPrefix(text, prefix))};
}

// --- Images ---

void allowLargeImages() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (QImageReader::allocationLimit() < kDecodeAllocationLimitMB) {
      QImageReader::setAllocationLimit(kDecodeAllocationLimitMB);
    }
  });
}

// The first image in the bytes, as stored: no rotation from metadata is applied.
std::optional<QImage> decodeImage(const platform::Data& bytes) {
  allowLargeImages();
  QByteArray array = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.bytes()),
                                             static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&array);
  if (!buffer.open(QIODevice::ReadOnly)) return std::nullopt;
  QImageReader reader(&buffer);
  reader.setAutoTransform(false);
  const QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  // Only the pixels are re-encoded: the encoder would otherwise carry the file's text chunks
  // and comments, of any size, into every JPEG.
  QImage pixels =
      QImage(image.constBits(), image.width(), image.height(), image.bytesPerLine(), image.format())
          .copy();
  pixels.setColorTable(image.colorTable());
  pixels.setColorSpace(image.colorSpace());
  return pixels;
}

std::optional<QImage> decodeHEIF(const platform::Data& bytes) {
  std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                      &heif_context_free);
  if (!context) return std::nullopt;
  if (heif_context_read_from_memory_without_copy(context.get(), bytes.bytes(), bytes.size(),
                                                 nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* rawHandle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
    return std::nullopt;
  }
  std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
      rawHandle, &heif_image_handle_release);
  heif_image* rawImage = nullptr;
  if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                        nullptr)
          .code != heif_error_Ok) {
    return std::nullopt;
  }
  std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, &heif_image_release);
  int stride = 0;
  const uint8_t* pixels =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (!pixels || width <= 0 || height <= 0) return std::nullopt;
  // The decoder owns the pixels: copy them out.
  return QImage(pixels, width, height, stride, QImage::Format_RGB888).copy();
}

bool isHEIF(const platform::Data& bytes) {
  const int probe = static_cast<int>(std::min<std::size_t>(bytes.size(), 64));
  return heif_check_filetype(bytes.bytes(), probe) == heif_filetype_yes_supported;
}

// Quality from 0.0 to 1.0 as the encoder's 0 to 100; below zero, the encoder's default.
std::optional<platform::Data> encodeJPEG(const QImage& image, double quality) {
  QByteArray encoded;
  QBuffer buffer(&encoded);
  if (!buffer.open(QIODevice::WriteOnly)) return std::nullopt;
  // Larger pictures are refused by the encoder, which would also say so on standard error.
  if (image.width() > kLargestJPEGSide || image.height() > kLargestJPEGSide) return std::nullopt;
  QImageWriter writer(&buffer, "jpeg");
  if (quality >= 0) {
    writer.setQuality(static_cast<int>(std::clamp<long>(std::lround(quality * 100), 0, 100)));
  }
  if (!writer.write(image)) return std::nullopt;
  return platform::Data(encoded.constData(), static_cast<std::size_t>(encoded.size()));
}

// --- PDF ---

// Failures are silent here; the library would otherwise print them.
void quietPDFLibrary() {
  static std::once_flag once;
  std::call_once(
      once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

std::unique_ptr<poppler::document> openPDF(const std::filesystem::path& url) {
  quietPDFLibrary();
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(url.string()));
  if (!document || document->is_locked()) return nullptr;
  return document;
}

// The bytes must outlive the document.
std::unique_ptr<poppler::document> openPDF(const platform::Data& pdf) {
  quietPDFLibrary();
  if (pdf.empty() || pdf.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  std::unique_ptr<poppler::document> document(poppler::document::load_from_raw_data(
      reinterpret_cast<const char*>(pdf.bytes()), static_cast<int>(pdf.size())));
  if (!document || document->is_locked()) return nullptr;
  return document;
}

std::string pdfDocumentText(const poppler::document& document) {
  std::string text;
  const int pages = std::min(kPDFPagesReadForText, document.pages());
  for (int index = 0; index < pages; ++index) {
    std::unique_ptr<poppler::page> page(document.create_page(index));
    if (!page) continue;
    const poppler::byte_array utf8 = page->text().to_utf8();
    std::string_view pageText(utf8.data(), utf8.size());
    // The library closes every line with a newline and the page with a form feed; the page's
    // own text ends before them.
    while (!pageText.empty() && (pageText.back() == '\f' || pageText.back() == '\n')) {
      pageText.remove_suffix(1);
    }
    text.append(pageText);
  }
  return text;
}

// The page drawn at one pixel per point over its media box (sizes truncated), as a JPEG at
// the encoder's default quality.
std::optional<platform::Data> renderPDFPageAsJPEG(const poppler::page& page) {
  const poppler::rectf box = page.page_rect(poppler::media_box);
  const int width = static_cast<int>(box.width());
  const int height = static_cast<int>(box.height());
  if (width <= 0 || height <= 0) return std::nullopt;
  poppler::page_renderer renderer;
  renderer.set_image_format(poppler::image::format_argb32);
  renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
  renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
  poppler::image rendered = renderer.render_page(&page, 72, 72, 0, 0, width, height);
  if (!rendered.is_valid() || rendered.format() != poppler::image::format_argb32) {
    return std::nullopt;
  }
  const QImage image(reinterpret_cast<const uchar*>(rendered.const_data()), rendered.width(),
                     rendered.height(), rendered.bytes_per_row(), QImage::Format_ARGB32);
  return encodeJPEG(image, -1);
}

std::optional<FileContent> firstPageContent(const poppler::document& document) {
  if (document.pages() < 1) return std::nullopt;
  std::unique_ptr<poppler::page> page(document.create_page(0));
  if (!page) return std::nullopt;
  std::optional<platform::Data> jpeg = renderPDFPageAsJPEG(*page);
  if (!jpeg) return std::nullopt;
  return reducedImageContent(std::move(*jpeg));
}

// Opaque RGB rows of the image, transparent parts laid over white paper.
QByteArray rgbSamples(const QImage& image) {
  const int width = image.width();
  const int height = image.height();
  QByteArray samples;
  samples.resize(static_cast<qsizetype>(width) * height * 3);
  auto* out = reinterpret_cast<uchar*>(samples.data());
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    for (int x = 0; x < width; ++x) {
      const QRgb pixel = row[x];
      const int alpha = qAlpha(pixel);
      for (int channel : {qRed(pixel), qGreen(pixel), qBlue(pixel)}) {
        *out++ = static_cast<uchar>((channel * alpha + 255 * (255 - alpha) + 127) / 255);
      }
    }
  }
  return samples;
}

// --- Document thumbnails ---

std::vector<std::string> previewEntryNames(const ContentType& type) {
  if (type == ContentType::docx()) {
    return {"docProps/thumbnail.jpeg", "docProps/thumbnail.jpg", "docProps/thumbnail.png"};
  }
  if (type == ContentType::pages()) return {"preview.jpg", "QuickLook/Thumbnail.jpg"};
  return {};
}

std::optional<platform::Data> readZipEntry(zip_t* archive, const std::string& name) {
  const zip_int64_t index = zip_name_locate(archive, name.c_str(), ZIP_FL_NOCASE);
  if (index < 0) return std::nullopt;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0 ||
      !(stat.valid & ZIP_STAT_SIZE) || stat.size > kLargestEmbeddedPreview) {
    return std::nullopt;
  }
  std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
      zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0), &zip_fclose);
  if (!file) return std::nullopt;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stat.size));
  if (zip_fread(file.get(), bytes.data(), bytes.size()) != static_cast<zip_int64_t>(bytes.size())) {
    return std::nullopt;
  }
  return platform::Data(std::move(bytes));
}

std::optional<QImage> fittedThumbnail(const platform::Data& encoded) {
  std::optional<QImage> image = decodeImage(encoded);
  if (!image) return std::nullopt;
  if (image->width() > kThumbnailSide || image->height() > kThumbnailSide) {
    *image = image->scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio,
                           Qt::SmoothTransformation);
  }
  return image;
}

void previewThumbnailGenerator(const std::filesystem::path& url, ThumbnailCompletion completion) {
  platform::Queue::global(platform::Queue::QoS::UserInitiated)
      ->async([url, completion = std::move(completion)] {
        std::optional<platform::Data> preview = embeddedDocumentPreview(url);
        std::optional<QImage> image = preview ? fittedThumbnail(*preview) : std::nullopt;
        completion(image.value_or(QImage()));
      });
}

std::mutex& generatorMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: a thumbnail may still be under way on a worker while the process exits.
ThumbnailGenerator& installedGenerator() {
  static auto* const generator = new ThumbnailGenerator;
  return *generator;
}

ThumbnailGenerator currentGenerator() {
  std::lock_guard<std::mutex> lock(generatorMutex());
  if (installedGenerator()) return installedGenerator();
  return &previewThumbnailGenerator;
}

}  // namespace

std::optional<FileContent> extractFileContent(const std::filesystem::path& url) {
  const std::optional<ContentType> type = contentTypeOfFile(url);
  if (!type) return std::nullopt;

  if (contains(imageFileTypes(), *type)) {
    std::optional<platform::Data> bytes = platform::readFile(url);
    if (!bytes) return std::nullopt;
    if (bytes->size() <= kImageSizeLimit) return FileContent{"image", std::move(*bytes)};
    return imageContent(shrinkJPEGData(*bytes));
  }
  if (contains(convertibleImageTypes(), *type)) {
    std::optional<platform::Data> jpeg = jpegDataFromImageFile(url);
    if (!jpeg) return std::nullopt;
    return reducedImageContent(std::move(*jpeg));
  }
  if (type->conformsTo(ContentType::plainText())) {
    std::optional<platform::Data> bytes = platform::readFile(url);
    if (!bytes) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(bytes->bytes()), bytes->size());
    if (!platform::text::isValidUTF8(text)) return std::nullopt;
    return textContent(text, kPlainTextPrefix);
  }
  if (contains(pdfFileTypes(), *type)) return pdfContentFromURL(url);
  if (contains(documentFileTypes(), *type)) {
    std::optional<platform::Data> thumbnail = generateThumbnail(url);
    if (!thumbnail) return std::nullopt;
    return pdfContentFromData(*thumbnail);
  }
  return std::nullopt;
}

platform::Data shrinkJPEGData(const platform::Data& input, std::size_t sizeLimit) {
  platform::Data current = input;
  double quality = kStartQuality;
  // Every pass encodes the same decoded input, so it is decoded once.
  bool decoded = false;
  std::optional<QImage> image;
  while (current.size() > sizeLimit && quality > 0) {
    if (!decoded) {
      image = decodeImage(input);
      decoded = true;
    }
    current = image ? encodeJPEG(*image, quality).value_or(platform::Data()) : input;
    quality -= kQualityStep;
  }
  return current;
}

std::optional<platform::Data> jpegDataFromImageFile(const std::filesystem::path& url) {
  std::optional<platform::Data> bytes = platform::readFile(url);
  if (!bytes) return std::nullopt;
  std::optional<QImage> image = isHEIF(*bytes) ? decodeHEIF(*bytes) : decodeImage(*bytes);
  if (!image) return std::nullopt;
  return encodeJPEG(*image, -1);
}

std::string pdfText(const std::filesystem::path& url) {
  std::unique_ptr<poppler::document> document = openPDF(url);
  if (!document) return kUnableToOpenPDF;
  return pdfDocumentText(*document);
}

std::optional<FileContent> pdfContentFromURL(const std::filesystem::path& url) {
  const std::string text = pdfText(url);
  if (platform::text::characterCount(text) > kPDFTextThreshold) {
    return textContent(text, kPDFFileTextPrefix);
  }
  std::unique_ptr<poppler::document> document = openPDF(url);
  if (!document) return std::nullopt;
  return firstPageContent(*document);
}

std::optional<FileContent> pdfContentFromData(const platform::Data& pdf) {
  std::unique_ptr<poppler::document> document = openPDF(pdf);
  if (!document) return std::nullopt;
  const std::string text = pdfDocumentText(*document);
  if (platform::text::characterCount(text) > kPDFTextThreshold) {
    return textContent(text, kDocumentTextPrefix);
  }
  return firstPageContent(*document);
}

std::optional<platform::Data> pdfDataFromImage(const QImage& image) {
  if (image.isNull() || image.width() <= 0 || image.height() <= 0) return std::nullopt;
  const std::string width = std::to_string(image.width());
  const std::string height = std::to_string(image.height());
  // The compressor's output starts with four bytes of length; a PDF stream takes the zlib
  // data that follows.
  const QByteArray compressed = qCompress(rgbSamples(image)).mid(4);
  const std::string drawing = "q\n" + width + " 0 0 " + height + " 0 0 cm\n/Im0 Do\nQ\n";

  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<std::size_t> offsets;
  auto beginObject = [&] {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n";
  };
  beginObject();
  pdf += "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  beginObject();
  pdf += "<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n";
  beginObject();
  pdf += "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
         "] /Resources << /XObject << /Im0 4 0 R >> >> /Contents 5 0 R >>\nendobj\n";
  beginObject();
  pdf += "<< /Type /XObject /Subtype /Image /Width " + width + " /Height " + height +
         " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode /Length " +
         std::to_string(compressed.size()) + " >>\nstream\n";
  pdf.append(compressed.constData(), static_cast<std::size_t>(compressed.size()));
  pdf += "\nendstream\nendobj\n";
  beginObject();
  pdf += "<< /Length " + std::to_string(drawing.size()) + " >>\nstream\n" + drawing +
         "endstream\nendobj\n";

  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[21];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return platform::Data::fromString(pdf);
}

std::optional<platform::Data> embeddedDocumentPreview(const std::filesystem::path& url) {
  const std::optional<ContentType> type = contentTypeOfFile(url);
  if (!type) return std::nullopt;
  const std::vector<std::string> names = previewEntryNames(*type);
  if (names.empty()) return std::nullopt;

  bool isPackage = false;
  if (platform::fileExists(url, &isPackage) && isPackage) {
    for (const std::string& name : names) {
      if (std::optional<platform::Data> bytes = platform::readFile(url / name)) return bytes;
    }
    return std::nullopt;
  }

  int error = 0;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive(zip_open(url.c_str(), ZIP_RDONLY, &error),
                                                         &zip_discard);
  if (!archive) return std::nullopt;
  for (const std::string& name : names) {
    if (std::optional<platform::Data> bytes = readZipEntry(archive.get(), name)) return bytes;
  }
  return std::nullopt;
}

ThumbnailGenerator setThumbnailGenerator(ThumbnailGenerator generator) {
  std::lock_guard<std::mutex> lock(generatorMutex());
  ThumbnailGenerator previous = std::move(installedGenerator());
  installedGenerator() = std::move(generator);
  return previous;
}

std::optional<platform::Data> generateThumbnail(const std::filesystem::path& url,
                                                double timeoutSeconds) {
  // Shared with the completion, which may come after this call has stopped waiting.
  struct ResultBox {
    std::mutex mutex;
    std::optional<platform::Data> pdf;
  };
  auto box = std::make_shared<ResultBox>();
  platform::Semaphore done(0);

  currentGenerator()(url, [box, done](const QImage& thumbnail) mutable {
    std::optional<platform::Data> pdf = pdfDataFromImage(thumbnail);
    {
      std::lock_guard<std::mutex> lock(box->mutex);
      box->pdf = std::move(pdf);
    }
    done.signal();
  });

  if (!done.wait(timeoutSeconds)) return std::nullopt;
  std::lock_guard<std::mutex> lock(box->mutex);
  return std::move(box->pdf);
}
