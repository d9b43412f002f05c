// Rename fixtures: the files the rename flow's tests and benchmarks extract content from
// (images of given sizes, PDFs with given text, zipped documents), made on the spot.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <libheif/heif.h>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#include <zip.h>

#include "platform/data.h"
#include "platform/files.h"

namespace rename_fixtures {

inline void writeFile(const std::filesystem::path& path, const platform::Data& data) {
  if (!platform::writeFileAtomically(path, data)) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

inline void writeFile(const std::filesystem::path& path, std::string_view text) {
  writeFile(path, platform::Data::fromString(text));
}

// Random pixels: the hardest case for a compressor, so the sizes are predictable.
inline QImage noiseImage(int width, int height, std::uint32_t seed = 1) {
  QImage image(width, height, QImage::Format_RGB32);
  std::mt19937 random(seed);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) row[x] = 0xff000000u | (random() & 0xffffffu);
  }
  return image;
}

// Smooth gradients with a little grain, which compress like a photograph.
inline QImage photoLikeImage(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  std::mt19937 random(7);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const int grain = static_cast<int>(random() % 16);
      row[x] = qRgb((x * 255 / width + grain) & 0xff, (y * 255 / height + grain) & 0xff,
                    ((x + y) * 127 / (width + height) + grain) & 0xff);
    }
  }
  return image;
}

// Quality -1 is the encoder's default.
inline platform::Data encodeImage(const QImage& image, const char* format, int quality = -1) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, format);
  writer.setQuality(quality);
  if (!writer.write(image)) throw std::runtime_error("cannot encode " + std::string(format));
  return platform::Data(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline std::uint32_t crc32(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A PNG of the image padded with a comment chunk to exactly `size` bytes.
inline platform::Data pngOfExactSize(const QImage& image, std::size_t size) {
  const platform::Data png = encodeImage(image, "png");
  constexpr std::size_t kAfterHeader = 8 + 25;  // signature, then the IHDR chunk
  const std::string keyword("Comment\0", 8);
  if (png.size() + 12 + keyword.size() > size) throw std::runtime_error("PNG already too large");
  std::vector<std::uint8_t> chunk;
  const std::size_t dataLength = size - png.size() - 12;
  for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back((dataLength >> shift) & 0xff);
  for (char c : std::string("tEXt") + keyword) chunk.push_back(static_cast<std::uint8_t>(c));
  chunk.resize(8 + dataLength, 'x');
  const std::uint32_t crc = crc32(chunk.data() + 4, chunk.size() - 4);
  for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back((crc >> shift) & 0xff);

  std::vector<std::uint8_t> bytes(png.bytes(), png.bytes() + kAfterHeader);
  bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  bytes.insert(bytes.end(), png.bytes() + kAfterHeader, png.bytes() + png.size());
  return platform::Data(std::move(bytes));
}

inline platform::Data encodeHEIC(const QImage& source) {
  const QImage image = source.convertToFormat(QImage::Format_RGB888);
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* picture = nullptr;
  heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
  if (!encoder) throw std::runtime_error("no HEVC encoder");
  heif_image_create(image.width(), image.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                    &picture);
  heif_image_add_plane(picture, heif_channel_interleaved, image.width(), image.height(), 8);
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(picture, heif_channel_interleaved, &stride);
  for (int y = 0; y < image.height(); ++y) {
    std::copy_n(image.constScanLine(y), image.width() * 3, plane + y * stride);
  }
  heif_encoder_set_lossy_quality(encoder, 80);
  const heif_error encoded = heif_context_encode_image(context, picture, encoder, nullptr, nullptr);
  platform::Data out;
  heif_writer writer{};
  writer.writer_api_version = 1;
  writer.write = [](heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<platform::Data*>(userdata)->append(data, size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
  };
  if (encoded.code == heif_error_Ok) heif_context_write(context, &writer, &out);
  heif_image_release(picture);
  heif_encoder_release(encoder);
  heif_context_free(context);
  if (encoded.code != heif_error_Ok || out.empty()) throw std::runtime_error("cannot make HEIC");
  return out;
}

// A PDF whose pages hold the given lines, one text line each, in a standard font that needs
// no embedding. Text must not contain "(", ")" or "\". No pages gives a PDF of zero pages.
inline std::string makeTextPDF(const std::vector<std::vector<std::string>>& pages) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  object("<< /Type /Catalog /Pages 2 0 R >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 "
           "0 R >> >> /Contents " +
           std::to_string(5 + 2 * i) + " 0 R >>");
    std::string content = "BT /F1 6 Tf 8 TL 20 770 Td";
    for (const std::string& line : pages[i]) content += " (" + line + ") Tj T*";
    content += " ET";
    object("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
           "\nendstream");
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char entry[21];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

// A zip archive holding the named entries.
inline void writeZip(const std::filesystem::path& path,
                     const std::vector<std::pair<std::string, platform::Data>>& entries) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) throw std::runtime_error("cannot create " + path.string());
  for (const auto& [name, data] : entries) {
    zip_source_t* source = zip_source_buffer(archive, data.bytes(), data.size(), 0);
    if (!source || zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
      zip_source_free(source);
      zip_discard(archive);
      throw std::runtime_error("cannot add " + name);
    }
  }
  if (zip_close(archive) != 0) {
    zip_discard(archive);
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace rename_fixtures
