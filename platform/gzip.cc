#include "platform/gzip.h"

#include <zlib.h>

#include <cstdint>
#include <limits>

#include "platform/error.h"

namespace platform::gzip {

Data compress(const Data& bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Exception("GzipFailure", "deflateInit2 failed");
  }
  stream.next_in = const_cast<Bytef*>(bytes.bytes());
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::vector<std::uint8_t> out(deflateBound(&stream, static_cast<uLong>(bytes.size())));
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw Exception("GzipFailure", "deflate failed");
  out.resize(stream.total_out);
  return Data(std::move(out));
}

std::optional<Data> decompress(const Data& compressed) {
  if (compressed.size() > std::numeric_limits<uInt>::max()) return std::nullopt;
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<Bytef*>(compressed.bytes());
  stream.avail_in = static_cast<uInt>(compressed.size());
  Data out;
  std::uint8_t buffer[16384];
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      inflateEnd(&stream);
      return std::nullopt;
    }
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_STREAM_END && stream.avail_in > 0) {
      inflateReset(&stream);
      status = Z_OK;
    }
  }
  inflateEnd(&stream);
  return out;
}

}  // namespace platform::gzip
